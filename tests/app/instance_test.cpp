// One Tintguard per user: later launches hand their files over.
#include "app/single_instance.h"

#include <QDir>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

using namespace tg;

class InstanceTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void handOverIsOneRequest();
    void secondLaunchHandsItsFilesOver();
    void staleSocketIsReplaced();
    void secondServerStandsBack();
    void garbledRequestIsDropped();
    void quitDuringBatchEndsCleanly();

private:
    // Runs the blocking client beside the event loop that serves it.
    bool handOverAsync(const QString& name, const QList<QUrl>& files);

    std::unique_ptr<QTemporaryDir> dir_;
    QString name_;
};

void InstanceTest::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    name_ = dir_->filePath(QStringLiteral("tintguard-test"));
}

bool InstanceTest::handOverAsync(const QString& name, const QList<QUrl>& files) {
    std::atomic<bool> delivered = false;
    std::atomic<bool> done = false;
    std::thread client([&] {
        delivered = SingleInstance::handOver(name, files);
        done = true;
    });
    while (!done)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    client.join();
    return delivered;
}

void InstanceTest::handOverIsOneRequest() {
    SingleInstance server(name_);
    QVERIFY(server.listen());
    QSignalSpy requests(&server, &SingleInstance::filesRequested);
    const QList<QUrl> files{QUrl::fromLocalFile("/m/A clip.mov"),
                            QUrl::fromLocalFile("/m/b\nc.png")};
    QVERIFY(handOverAsync(name_, files));
    QTRY_COMPARE(requests.count(), 1);
    QCOMPARE(requests[0][0].value<QList<QUrl>>(), files);

    // An empty request is still a request.
    QVERIFY(handOverAsync(name_, {}));
    QTRY_COMPARE(requests.count(), 2);
    QVERIFY(requests[1][0].value<QList<QUrl>>().isEmpty());
}

void InstanceTest::secondLaunchHandsItsFilesOver() {
    // The program finds the running instance by the user's runtime folder.
    const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir_->path()));
    const QString name = SingleInstance::defaultName();
    if (saved.isNull())
        qunsetenv("XDG_RUNTIME_DIR");
    else
        qputenv("XDG_RUNTIME_DIR", saved);
    QVERIFY(name.startsWith(dir_->path() + "/tintguard-"));

    SingleInstance running(name);
    QVERIFY(running.listen());
    QSignalSpy requests(&running, &SingleInstance::filesRequested);

    QProcess second;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", dir_->path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    second.setProcessEnvironment(env);
    second.setWorkingDirectory(dir_->path());
    second.start(QStringLiteral(TG_APP_EXE), {"clip.mov", "/abs/photo.jpg"});
    QVERIFY(second.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning, 30000);
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(requests.count(), 1);
    QCOMPARE(requests[0][0].value<QList<QUrl>>(),
             (QList<QUrl>{QUrl::fromLocalFile(dir_->filePath("clip.mov")),
                          QUrl::fromLocalFile("/abs/photo.jpg")}));
}

void InstanceTest::staleSocketIsReplaced() {
    // A socket file nobody listens on, as a crashed instance leaves it.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QVERIFY(fd >= 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(name_);
    QVERIFY(std::size_t(path.size()) < sizeof(address.sun_path));
    std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(fd);
    QVERIFY(QFileInfo::exists(name_));

    QVERIFY(!SingleInstance::handOver(name_, {QUrl::fromLocalFile("/x.mov")}));
    SingleInstance server(name_);
    QVERIFY(server.listen());
    QSignalSpy requests(&server, &SingleInstance::filesRequested);
    QVERIFY(handOverAsync(name_, {QUrl::fromLocalFile("/x.mov")}));
    QTRY_COMPARE(requests.count(), 1);
}

void InstanceTest::secondServerStandsBack() {
    SingleInstance first(name_);
    QVERIFY(first.listen());
    SingleInstance second(name_);
    QVERIFY(!second.listen()); // someone answers there: it is left alone
    QSignalSpy requests(&first, &SingleInstance::filesRequested);
    QVERIFY(handOverAsync(name_, {}));
    QTRY_COMPARE(requests.count(), 1);
}

void InstanceTest::garbledRequestIsDropped() {
    SingleInstance server(name_);
    QVERIFY(server.listen());
    QSignalSpy requests(&server, &SingleInstance::filesRequested);
    QLocalSocket raw;
    raw.connectToServer(name_);
    QVERIFY(raw.waitForConnected());
    raw.write(QByteArray("\xff\xff\xff\xfe garbage that is no list of URLs", 37));
    QVERIFY(raw.waitForBytesWritten());
    // Refused: the server hangs up on it.
    QTRY_VERIFY(raw.state() == QLocalSocket::UnconnectedState);
    // The server still serves the next one, and only that one was a request.
    QVERIFY(handOverAsync(name_, {QUrl::fromLocalFile("/ok.png")}));
    QTRY_COMPARE(requests.count(), 1);
    QCOMPARE(requests[0][0].value<QList<QUrl>>(), QList<QUrl>{QUrl::fromLocalFile("/ok.png")});
}

void InstanceTest::quitDuringBatchEndsCleanly() {
    // One movie named many times: a batch long enough to be running when the quit comes.
    const QString movie = dir_->filePath(QStringLiteral("clip.mov"));
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 {"-nostdin", "-y", "-loglevel", "error", "-f", "lavfi", "-i",
                  "testsrc=size=64x48:rate=5", "-frames:v", "5", "-c:v", "libx264", movie});
    QVERIFY(ffmpeg.waitForFinished(60000) && ffmpeg.exitCode() == 0);

    QProcess app;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", dir_->path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    app.setProcessEnvironment(env);
    app.start(QStringLiteral(TG_APP_EXE), QStringList(400, movie));
    QVERIFY(app.waitForStarted());
    // The first copy shows the batch has begun; then the session ends.
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(dir_->filePath("clip_P3.mov")), 30000);
    app.terminate();
    QTRY_VERIFY_WITH_TIMEOUT(app.state() == QProcess::NotRunning, 30000);
    QCOMPARE(app.exitStatus(), QProcess::NormalExit);
    QCOMPARE(app.exitCode(), 0);
    // It took its socket with it: the next launch is a first launch again.
    QVERIFY(!QFileInfo::exists(dir_->filePath(QStringLiteral("tintguard-%1").arg(::getuid()))));
    QVERIFY(QFileInfo::exists(movie));
}

QTEST_MAIN(InstanceTest)
#include "instance_test.moc"

// One Tintguard per user: later launches hand their files over.
#include "app/single_instance.h"
#include "app_fixtures.h"

#include <QElapsedTimer>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

using namespace tg;

class InstanceTest : public QObject {
    Q_OBJECT
private slots:
    void secondLaunchHandsItsFilesOver() {
        // The program finds the running instance by the user's runtime folder.
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.path()));
        const QString name = SingleInstance::defaultName();
        qputenv("XDG_RUNTIME_DIR", saved);
        QVERIFY(name.startsWith(dir.path() + "/tintguard-"));
        SingleInstance running(name);
        QVERIFY(running.listen());
        QSignalSpy requests(&running, &SingleInstance::filesRequested);

        // A garbled request is refused (the server hangs up) and is no request.
        QLocalSocket raw;
        raw.connectToServer(name);
        QVERIFY(raw.waitForConnected());
        raw.write(QByteArray("\xff\xff\xff\xfe garbage that is no list of URLs", 37));
        QVERIFY(raw.waitForBytesWritten());
        QTRY_VERIFY(raw.state() == QLocalSocket::UnconnectedState);

        // The real program, launched again, hands its files over as one request and exits.
        QProcess second;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_RUNTIME_DIR", dir.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        second.setProcessEnvironment(env);
        second.setWorkingDirectory(dir.path());
        second.start(QStringLiteral(TG_APP_EXE), {"clip.mov", "/abs/photo.jpg"});
        QVERIFY(second.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning, 30000);
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(requests.count(), 1);
        QCOMPARE(requests[0][0].value<QList<QUrl>>(),
                 (QList<QUrl>{QUrl::fromLocalFile(dir.filePath("clip.mov")),
                              QUrl::fromLocalFile("/abs/photo.jpg")}));
    }

    // Quitting mid-batch lets the step in progress finish: the copy is never left half made.
    void quitDuringABatchFinishesTheStepInProgress() {
        QTemporaryDir dir;
        const QString movie = dir.filePath("big.mp4"), copy = dir.filePath("big_P3.mp4");
        QVERIFY(ffmpeg("-f lavfi -i testsrc2=s=1280x720:r=25:d=1 -vf noise=alls=100:allf=t "
                       "-c:v libx264 -qp 0 -preset ultrafast -movflags +faststart " +
                       movie));
        QProcess app;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_RUNTIME_DIR", dir.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        app.setProcessEnvironment(env);
        app.start(QStringLiteral(TG_APP_EXE), {movie});
        QVERIFY(app.waitForStarted());
        QElapsedTimer waited;
        waited.start();
        while (!QFile::exists(copy) && waited.elapsed() < 20000)
            QThread::usleep(200);
        app.terminate(); // the copy has just begun: the quit lands mid-step
        QVERIFY(app.waitForFinished(60000));
        QCOMPARE(app.exitCode(), 0);
        QCOMPARE(QFileInfo(copy).size(), QFileInfo(movie).size() + 19);
    }
};

QTEST_MAIN(InstanceTest)
#include "instance_test.moc"

// Showing produced files: the file manager's D-Bus call, and the folder when none answers.
#include "app/reveal.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDesktopServices>
#include <QProcess>
#include <QTest>

using namespace tg;

// Stands in for the desktop's file manager on a private session bus.
class FileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    QList<QPair<QStringList, QString>> calls;
public slots:
    void ShowItems(const QStringList& uris, const QString& startupId) {
        calls.append({uris, startupId});
    }
};

// Records what the desktop would be asked to open.
class Opener : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened << url; }
};

class RevealTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void asksTheFileManager();
    void opensTheFolderWhenNoneAnswers();

private:
    QProcess bus_;
    Opener opener_;
};

void RevealTest::initTestCase() {
    // A bus of our own, so the test never reaches the desktop's file manager.
    bus_.start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--print-address"});
    if (!bus_.waitForStarted()) QSKIP("dbus-daemon is not installed");
    QTRY_VERIFY(bus_.canReadLine());
    const QByteArray address = bus_.readLine().trimmed();
    QVERIFY(!address.isEmpty());
    qputenv("DBUS_SESSION_BUS_ADDRESS", address);
    QVERIFY(QDBusConnection::sessionBus().isConnected());
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &opener_, "open");
}

void RevealTest::cleanupTestCase() {
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    bus_.kill();
    bus_.waitForFinished();
}

void RevealTest::asksTheFileManager() {
    FileManager manager;
    QDBusConnection bus = QDBusConnection::sessionBus();
    QVERIFY(bus.registerObject(QStringLiteral("/org/freedesktop/FileManager1"), &manager,
                               QDBusConnection::ExportAllSlots));
    QVERIFY(bus.registerService(QStringLiteral("org.freedesktop.FileManager1")));

    revealInFileManager(
        {QUrl::fromLocalFile("/media/A clip_P3.mov"), QUrl::fromLocalFile("/media/photo.png")});
    QTRY_COMPARE(manager.calls.size(), 1);
    QCOMPARE(manager.calls[0].first,
             (QStringList{"file:///media/A%20clip_P3.mov", "file:///media/photo.png"}));
    QCOMPARE(manager.calls[0].second, QString());
    QVERIFY(opener_.opened.isEmpty());

    bus.unregisterService(QStringLiteral("org.freedesktop.FileManager1"));
    bus.unregisterObject(QStringLiteral("/org/freedesktop/FileManager1"));
}

void RevealTest::opensTheFolderWhenNoneAnswers() {
    opener_.opened.clear();
    revealInFileManager(
        {QUrl::fromLocalFile("/media/cut/one.mov"), QUrl::fromLocalFile("/other/two.mov")});
    QTRY_COMPARE(opener_.opened.size(), 1);
    QCOMPARE(opener_.opened[0], QUrl::fromLocalFile("/media/cut"));
    revealInFileManager({}); // nothing produced, nothing shown
    QCoreApplication::processEvents();
    QCOMPARE(opener_.opened.size(), 1);
}

QTEST_MAIN(RevealTest)
#include "reveal_test.moc"

// Showing produced files: the file manager's D-Bus call, and the folder when none answers.
#include "app/reveal.h"

#include <QDBusConnection>
#include <QDesktopServices>
#include <QProcess>
#include <QTest>

using namespace tg;

// Stands in for the desktop's file manager on a private session bus, and records what the
// desktop would be asked to open.
class FileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    QList<QStringList> shown;
    QList<QUrl> opened;
public slots:
    Q_SCRIPTABLE void ShowItems(const QStringList& uris, const QString&) { shown << uris; }
    void open(const QUrl& url) { opened << url; }
};

class RevealTest : public QObject {
    Q_OBJECT
private slots:
    void asksTheFileManagerElseOpensTheFolder() {
        // A bus of our own, so the test never reaches the desktop's file manager.
        QProcess daemon;
        daemon.start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--print-address"});
        if (!daemon.waitForStarted()) QSKIP("dbus-daemon is not installed");
        QTRY_VERIFY(daemon.canReadLine());
        qputenv("DBUS_SESSION_BUS_ADDRESS", daemon.readLine().trimmed());
        QDBusConnection bus = QDBusConnection::sessionBus();
        FileManager manager;
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &manager, "open");
        const QString name = QStringLiteral("org.freedesktop.FileManager1");
        const QString path = QStringLiteral("/org/freedesktop/FileManager1");
        QVERIFY(bus.registerObject(path, &manager, QDBusConnection::ExportScriptableSlots));
        QVERIFY(bus.registerService(name));

        const QList<QUrl> files{QUrl::fromLocalFile("/media/A clip_P3.mov"),
                                QUrl::fromLocalFile("/other/photo.png")};
        revealInFileManager(files);
        QTRY_COMPARE(manager.shown.size(), 1);
        QCOMPARE(manager.shown[0],
                 (QStringList{"file:///media/A%20clip_P3.mov", "file:///other/photo.png"}));

        // With no file manager on the bus, the first file's folder is opened instead.
        bus.unregisterService(name);
        bus.unregisterObject(path);
        revealInFileManager(files);
        QTRY_COMPARE(manager.opened, QList<QUrl>{QUrl::fromLocalFile("/media")});
        QCOMPARE(manager.shown.size(), 1);

        QDesktopServices::unsetUrlHandler(QStringLiteral("file")); // the bus ends with daemon
    }
};

QTEST_MAIN(RevealTest)
#include "reveal_test.moc"

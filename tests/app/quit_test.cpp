// Quitting in the middle of a bake, through the real event loop, the bake helper and real media.
#include "app/app_delegate.h"
#include "app/batch.h"
#include "app_fixtures.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

using namespace tg;

namespace {

const QString QUITTING =
    QStringLiteral("Quitting after this step \u2014 quit again to stop it now");

QString probe(const QString& entry, const QString& file) {
    QProcess p;
    p.start("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries", "stream=" + entry,
                        "-of", "csv=p=0", file});
    p.waitForFinished(60000);
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class QuitTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        // Long enough to be mid-encode when the quits arrive; the second file must never start.
        QVERIFY(media_.isValid());
        QVERIFY(ffmpeg("-f lavfi -i testsrc2=size=640x360:rate=30:duration=20 -c:v libx264 "
                       "-preset ultrafast -pix_fmt yuv420p " +
                       media_.filePath("long.mov")));
        QVERIFY(ffmpeg("-f lavfi -i testsrc2=size=64x48:rate=5:duration=1 -c:v libx264 "
                       "-pix_fmt yuv420p " +
                       media_.filePath("short.mov")));
    }

    void cleanup() { QTRY_VERIFY_WITH_TIMEOUT(!batchRunning(), 120000); }

    void quitDuringABake_data() {
        QTest::addColumn<int>("quits");
        QTest::newRow("one quit: the bake finishes, nothing else starts") << 1;
        QTest::newRow("a second quit: the bake is cancelled") << 2;
    }

    void quitDuringABake() {
        QFETCH(int, quits);
        QTemporaryDir dir;
        const QString first = dir.filePath("first.mov"), second = dir.filePath("second.mov");
        const QString earlier = dir.filePath("first_universal.mov");
        QVERIFY(QFile::copy(media_.filePath("long.mov"), first));
        QVERIFY(QFile::copy(media_.filePath("short.mov"), second));
        QFile old(earlier);
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("an earlier bake") > 0);
        old.close();
        const QByteArray secondBefore = contents(second);

        AppDelegate d;
        d.reveal = [](const QList<QUrl>&) {};
        d.finishLaunching();
        QTest::mouseClick(d.modeP3(), Qt::LeftButton);
        QTest::mouseClick(d.modeBake(), Qt::LeftButton);
        QCOMPARE(d.selectedModes(), std::vector<TGMode>{TGMode::bake});
        dropOn(d.dropView(), urlsOf({first, second}));
        QVERIFY(d.working());

        // Quit as the window's close button does, once the encode is under way; a second quit
        // as the menu and the desktop do.
        bool refused = false, shownWhileWorking = true;
        QString lineAfterQuit;
        QTimer watch;
        connect(&watch, &QTimer::timeout, &d, [&] {
            if (d.working()) shownWhileWorking &= d.window()->isVisible();
            if (!lineAfterQuit.isEmpty() || d.progressBar()->value() == 0) return;
            refused = !d.window()->close();
            lineAfterQuit = d.dropLine()->text();
            if (quits == 2) QCoreApplication::quit();
        });
        watch.start(10);
        QObject net; // a safety net, not a measurement: without the quit the test would hang
        QTimer::singleShot(300000, &net, [] { QCoreApplication::exit(3); });
        QCOMPARE(QApplication::exec(), 0);
        watch.stop();

        QVERIFY(refused);
        QVERIFY(shownWhileWorking);
        QCOMPARE(lineAfterQuit, QUITTING);
        QVERIFY(!d.working());
        QVERIFY(!d.window()->isVisible());
        // The second file's step never started.
        QCOMPARE(contents(second), secondBefore);
        QVERIFY(!QFileInfo::exists(dir.filePath("second_universal.mov")));
        QVERIFY(!d.entries()[1].outcome);

        const QStringList left = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
        QCOMPARE(left, QStringList({"first.mov", "first_universal.mov", "second.mov"}));
        if (quits == 1) {
            QCOMPARE(d.entries()[0].outcome, std::optional(TGOutcome::added));
            QCOMPARE(probe("color_primaries", earlier), QStringLiteral("bt709"));
        } else {
            QCOMPARE(d.entries()[0].outcome, std::optional(TGOutcome::error));
            QCOMPARE(contents(earlier), QByteArray("an earlier bake"));
        }
    }

private:
    QTemporaryDir media_;
};

QTEST_MAIN(QuitTest)
#include "quit_test.moc"

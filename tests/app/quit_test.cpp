// Quitting in the middle of a batch, through the real event loop, the bake helper and real media;
// and one Tintguard per user: later launches hand their files over.
#include "app/batch.h"
#include "app/single_instance.h"
#include "app_fixtures.h"

#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace tg;

namespace {

QString made(const std::string& name, const std::string& args) {
    return QString::fromStdString(tgtest::madeOnce(name, args).string());
}

// The real program started in dir, which is also its runtime folder: the one where it looks for
// the running instance.
void start(QProcess& app, const QString& dir, const QStringList& args) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", dir);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    app.setProcessEnvironment(env);
    app.setWorkingDirectory(dir);
    app.start(QStringLiteral(TG_APP_EXE), args);
}

} // namespace

class QuitTest : public QObject {
    Q_OBJECT
private slots:
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
        // Long enough to be mid-encode when the quits arrive; the second file must never start.
        QVERIFY(
            QFile::copy(made("long.mov", "-f lavfi -i testsrc2=size=640x360:rate=30:duration=20 "
                                         "-c:v libx264 -preset ultrafast -pix_fmt yuv420p"),
                        first));
        placed("bt709.mov", second);
        tgtest::writeBytes(earlier.toStdString(), tgtest::EARLIER);

        QList<QList<QUrl>> revealed;
        auto d = launch(revealed);
        QTest::mouseClick(d->modeP3(), Qt::LeftButton);
        QTest::mouseClick(d->modeBake(), Qt::LeftButton);
        QCOMPARE(d->selectedModes(), std::vector<TGMode>{TGMode::bake});
        dropOn(d->dropView(), urlsOf({first, second}));
        QVERIFY(d->working());

        // Quit as the window's close button does, once the encode is under way; a second quit
        // as the menu and the desktop do.
        bool refused = false, shownWhileWorking = true;
        QString lineAfterQuit;
        QTimer watch;
        connect(&watch, &QTimer::timeout, d.get(), [&] {
            if (d->working()) shownWhileWorking &= d->window()->isVisible();
            if (!lineAfterQuit.isEmpty() || d->progressBar()->value() == 0) return;
            refused = !d->window()->close();
            lineAfterQuit = d->dropLine()->text();
            if (quits == 2) QCoreApplication::quit();
        });
        watch.start(10);
        QObject net; // a safety net, not a measurement: without the quit the test would hang
        QTimer::singleShot(300000, &net, [] { QCoreApplication::exit(3); });
        QCOMPARE(QApplication::exec(), 0);
        watch.stop();

        QVERIFY(refused);
        QVERIFY(shownWhileWorking);
        QCOMPARE(lineAfterQuit, "Quitting after this step \u2014 quit again to stop it now");
        QVERIFY(!d->working());
        QVERIFY(!d->window()->isVisible());
        // The second file's step never started.
        QVERIFY(tgtest::readBytes(second.toStdString()) ==
                tgtest::readBytes(tgtest::clip("bt709.mov")));
        QVERIFY(!d->entries()[1].outcome);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList({"first.mov", "first_universal.mov", "second.mov"}));
        if (quits == 1) {
            QCOMPARE(d->entries()[0].outcome, std::optional(TGOutcome::added));
            QCOMPARE(QString::fromStdString(
                         tgtest::containerFields("stream=color_primaries", earlier.toStdString())),
                     "bt709");
        } else {
            QCOMPARE(d->entries()[0].outcome, std::optional(TGOutcome::error));
            QVERIFY(tgtest::readBytes(earlier.toStdString()) == tgtest::EARLIER);
        }
    }

    void secondLaunchHandsItsFilesOver() {
        QTemporaryDir dir;
        const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.path()));
        const QString name = SingleInstance::defaultName();
        qputenv("XDG_RUNTIME_DIR", saved);
        SingleInstance running(name);
        QVERIFY(running.listen());
        QSignalSpy requests(&running, &SingleInstance::filesRequested);

        // The real program, launched again, hands its files over as one request and exits.
        QProcess second;
        start(second, dir.path(), {"clip.mov", "/abs/photo.jpg"});
        QVERIFY(second.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning, 30000);
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(requests.count(), 1);
        QCOMPARE(requests[0][0].value<QList<QUrl>>(),
                 urlsOf({dir.filePath("clip.mov"), "/abs/photo.jpg"}));
    }
};

QTEST_MAIN(QuitTest)
#include "quit_test.moc"

// The window driven with real events: drops of real media, clicks, open requests.
#include "app/app_delegate.h"
#include "app/batch.h"
#include "app/visuals.h"
#include "app_fixtures.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileOpenEvent>
#include <QMenuBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTimer>

using namespace tg;

namespace {

#define WAIT_FOR_BATCH(d) QTRY_VERIFY_WITH_TIMEOUT(!(d).working(), 45000)

const QString FILE_TYPES =
    QStringLiteral(".mov  \u00b7  .mp4  \u00b7  .jpg  \u00b7  .png  \u00b7  .heic");

// The list's text, one string per line, and the format a line starts in: its colour, its
// tooltip.
QStringList blockTexts(const AppDelegate& d) {
    return d.textView()->toPlainText().split('\n');
}
QTextCharFormat blockFormat(const AppDelegate& d, int index) {
    const QTextBlock block = d.textView()->document()->findBlockByNumber(index);
    return block.begin().fragment().charFormat();
}
QColor blockColor(const AppDelegate& d, int index) {
    return blockFormat(d, index).foreground().color();
}

// Sets a switch by clicking it, as a user would.
void setSwitch(ToggleSwitch* toggle, bool on) {
    if (toggle->isChecked() != on) QTest::mouseClick(toggle, Qt::LeftButton);
    QCOMPARE(toggle->isChecked(), on);
}

// The status line one mode leaves on a movie or a photo, given whether a bake ran before it, and
// the file it produces (empty: none).
std::pair<QString, QString> expectedRun(const QString& path, TGMode mode, bool baked) {
    const QFileInfo info(path);
    const bool photo = info.suffix() == "png";
    const QString tagged =
        photo ? QStringLiteral("Tagged \u2192 Display-P3") : "No tag found \u2014 added Display-P3";
    const auto made = [&](const QString& ending, const QString& what) {
        const QString name = info.completeBaseName() + ending + info.suffix();
        return std::pair("\u2713  " + what + "  \u2192  " + name, info.absolutePath() + '/' + name);
    };
    if (mode == TGMode::p3Copy || (mode == TGMode::bake && photo)) return made("_P3.", tagged);
    if (mode == TGMode::bake) return made("_universal.", "Baked at full quality");
    if (baked && !photo) return {QStringLiteral("\u2022  Already Display-P3"), {}};
    return {"\u2713  " + tagged, path};
}

} // namespace

class WindowTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
        revealed_.clear();
    }

    void cleanup() {
        // Every test ends idle; a batch still running would outlive its files.
        QTRY_VERIFY_WITH_TIMEOUT(!batchRunning(), 45000);
        dir_.reset();
    }

    void dropRunsEverySelectedMode_data() {
        QTest::addColumn<QList<int>>("modes"); // the switches on, in the order their modes run
        const int copy = int(TGMode::p3Copy), bake = int(TGMode::bake), tag = int(TGMode::inPlace);
        QTest::newRow("no switch on") << QList<int>{};
        QTest::newRow("in place") << QList<int>{tag};
        QTest::newRow("all") << QList<int>{copy, bake, tag};
    }

    void dropRunsEverySelectedMode() {
        QFETCH(QList<int>, modes);
        const QStringList paths = {placed("untagged.mp4", dir_->filePath("movie.mp4")),
                                   placed("photo.png", dir_->filePath("photo.png"))};
        auto d = launch(revealed_);
        // Switched bottom-up, against the screen order: the modes still run in a fixed order.
        setSwitch(d->modeInPlace(), modes.contains(int(TGMode::inPlace)));
        setSwitch(d->modeBake(), modes.contains(int(TGMode::bake)));
        setSwitch(d->modeP3(), modes.contains(int(TGMode::p3Copy)));
        dropOn(d->dropView(), urlsOf(paths));
        // A batch with a bake starts with its bar and its rows at 0 %.
        const bool bake = modes.contains(int(TGMode::bake));
        if (!modes.empty())
            QCOMPARE(d->entries()[0].status, bake ? "encoding\u2026  0%" : "working\u2026");
        QCOMPARE(d->progressBar()->isHidden(), !bake);
        WAIT_FOR_BATCH(*d);

        // Each file's name, then one status line per mode; the text ends with a line break.
        QStringList expected, produced;
        for (const QString& path : paths) {
            expected << "\u2022  " + QFileInfo(path).fileName();
            if (modes.empty()) expected << "     Turn on at least one option above \u2191";
            bool baked = false;
            for (int mode : modes) {
                const auto [line, made] = expectedRun(path, TGMode(mode), baked);
                baked |= TGMode(mode) == TGMode::bake;
                expected << "     " + line;
                if (!made.isEmpty()) produced << made;
            }
        }
        const QStringList blocks = blockTexts(*d);
        QCOMPARE(blocks, expected << QString());

        // Names in ink; statuses green, or grey when nothing ran.
        for (int block = 0; block < blocks.size() - 1; ++block) {
            const bool name = blocks[block].startsWith(QStringLiteral("\u2022  "));
            QCOMPARE(blockColor(*d, block), name ? C_ink : modes.empty() ? C_sub : SYSTEM_GREEN);
        }

        // Produced files exist and are revealed once, at the end, in processing order.
        QCOMPARE(revealed_,
                 produced.isEmpty() ? QList<QList<QUrl>>() : QList<QList<QUrl>>{urlsOf(produced)});
        for (const QString& path : produced)
            QVERIFY2(QFileInfo::exists(path), qPrintable(path));
        QVERIFY(d->progressBar()->isHidden());
    }

    // Whatever arrives during a batch is refused where the user looks: the drop zone says it is
    // busy until the batch ends; the list and the files stay as they are.
    void arrivalsDuringABatchAreRefusedVisibly() {
        QDir(dir_->path()).mkpath("later");
        const QString first = placed("photo.jpg", dir_->filePath("first.jpg"));
        const QString second = placed("photo.png", dir_->filePath("later/second.png"));
        for (const QString how : {"drop file", "drop folder", "open", "drop text"}) {
            auto d = launch(revealed_);
            QCOMPARE(d->dropLine()->text(), FILE_TYPES);
            dropOn(d->dropView(), urlsOf({first}));
            QVERIFY(d->working());
            const QStringList during = blockTexts(*d);

            const QString arriving = how == "drop folder" ? dir_->filePath("later")
                                     : how == "drop text" ? dir_->filePath("notes.txt")
                                                          : second;
            if (how == "open")
                d->openFiles(urlsOf({arriving}));
            else
                dropOn(d->dropView(), urlsOf({arriving}));
            QCOMPARE(d->dropLine()->text(), "Busy \u2014 drop again when this batch is done");
            QCOMPARE(blockTexts(*d), during);
            QCOMPARE(d->entries().size(), std::size_t(1));

            WAIT_FOR_BATCH(*d);
            QCOMPARE(d->dropLine()->text(), FILE_TYPES);
            QCOMPARE(d->entries().size(), std::size_t(1));
            QVERIFY(!QFileInfo::exists(dir_->filePath("later/second_P3.png")));
        }
    }

    // Folders are walked by the worker (what a walk takes is the pipeline's test); the rows
    // become the files found, and a folder with none gets a line of its own, its reason the
    // row's tooltip. Unsupported files
    // add nothing, and a drop of nothing else leaves the list as it is.
    void droppedFoldersBecomeTheirFiles() {
        QDir(dir_->path()).mkpath("shots");
        QDir(dir_->path()).mkpath("empty");
        const QStringList files = {placed("photo.png", dir_->filePath("loose.png")),
                                   placed("photo.jpg", dir_->filePath("shots/a.jpg"))};
        const QString notes = dir_->filePath("notes.txt");
        auto d = launch(revealed_);
        dropOn(d->dropView(),
               urlsOf({notes, files[0], dir_->filePath("shots"), dir_->filePath("empty")}));
        WAIT_FOR_BATCH(*d);
        QList<QUrl> rows;
        for (const auto& entry : d->entries())
            rows << entry.url;
        QCOMPARE(rows, urlsOf(QStringList(files) << dir_->filePath("empty")));
        QCOMPARE(
            blockTexts(*d).mid(4, 2),
            QStringList({"\u2022  empty", "     \u2014  Skipped (no movies or photos inside)"}));
        QCOMPARE(blockColor(*d, 5), SYSTEM_ORANGE);
        // Why, over the whole row; a row that went well has nothing to add.
        for (int block : {4, 5})
            QCOMPARE(blockFormat(*d, block).toolTip(),
                     QStringLiteral("no movies or photos inside"));
        QVERIFY(blockFormat(*d, 1).toolTip().isEmpty());
        const QStringList after = blockTexts(*d);
        dropOn(d->dropView(), urlsOf({notes}));
        QCOMPARE(blockTexts(*d), after);
        QVERIFY(!d->working());
    }

    // A report for the second of four files moves that row, its line and the bar.
    void progressMovesTheRowAndTheBar() {
        auto d = launch(revealed_);
        setSwitch(d->modeP3(), false);
        d->addFiles(urlsOf({"/x/1.mov", "/x/2.mov", "/x/3.mov", "/x/4.mov"}));
        d->batchProgress(1, ProgressPhase::encoding, 0.426, 4);
        QCOMPARE(d->entries()[1].status, QStringLiteral("encoding\u2026  42%"));
        QCOMPARE(d->progressBar()->value(), qRound((0.426 + 1) / 4 * d->progressBar()->maximum()));
        QTRY_COMPARE(blockTexts(*d)[3], QStringLiteral("     encoding\u2026  42%"));

        // An in-place batch starts without the bar; a large move's report shows it. The files are
        // gone: the batch ends with errors, and none of them is revealed.
        setSwitch(d->modeInPlace(), true);
        d->addFiles(urlsOf({dir_->filePath("1.mov"), dir_->filePath("2.mov")}));
        QVERIFY(d->progressBar()->isHidden());
        d->batchProgress(0, ProgressPhase::moving, 0.5, 2);
        QCOMPARE(d->entries()[0].status, QStringLiteral("moving\u2026  50%"));
        QVERIFY(!d->progressBar()->isHidden());
        WAIT_FOR_BATCH(*d);
        QVERIFY(d->progressBar()->isHidden());
        QVERIFY(revealed_.isEmpty());
    }

    void filesAskedForBeforeLaunchArriveAsOneList() {
        AppDelegate d;
        d.openFiles(urlsOf({"/x/a.png"}));
        QFileOpenEvent opened(QUrl::fromLocalFile("/x/b.png")); // how macOS asks
        QApplication::sendEvent(qApp, &opened);
        d.openFiles(urlsOf({"/x/c.png", "/x/notes.txt"}));
        QCOMPARE(d.pending(), urlsOf({"/x/a.png", "/x/b.png", "/x/c.png", "/x/notes.txt"}));
        QVERIFY(!d.window());

        d.finishLaunching();
        QVERIFY(d.pending().isEmpty());
        QVERIFY(d.working());
        QCOMPARE(d.entries().size(), std::size_t(3)); // one addFiles call with everything
        WAIT_FOR_BATCH(d);
    }

    // A click on the drop zone opens the open dialog, for the types the program takes.
    void clickingTheDropZoneOpensTheDialog() {
        auto d = launch(revealed_);
        QTest::mouseClick(d->dropView(), Qt::LeftButton);
        auto* dialog = d->window()->findChild<QFileDialog*>();
        QVERIFY(dialog && dialog->isVisible());
        QCOMPARE(dialog->fileMode(), QFileDialog::ExistingFiles);
        for (const char* glob : {"*.mov", "*.mp4", "*.jpg", "*.png"})
            QVERIFY2(dialog->nameFilters().join(' ').contains(QLatin1String(glob)), glob);
        dialog->reject();
    }

    // Inspect… takes a folder from its dialog: a row per file, what it says of its colour,
    // marked as an in-place run would end. (That a look writes nothing is the report's test.)
    void inspectingAFolderListsEachFilesColour() {
        const QString folder = dir_->filePath("look");
        QDir().mkpath(folder);
        placed("p3.mov", folder + "/a.mov");
        placed("photo.png", folder + "/b.png");
        auto d = launch(revealed_);
        auto* inspect = d->window()->menuBar()->findChild<QAction*>("inspect");
        QVERIFY(inspect);
        QCOMPARE(inspect->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_I));
        inspect->trigger();
        auto* dialog = d->window()->findChild<QFileDialog*>();
        QVERIFY(dialog && dialog->isVisible());
        dialog->setDirectory(dir_->path());
        dialog->selectFile("look");
        dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Open)->click();
        QVERIFY(d->working());
        WAIT_FOR_BATCH(*d);

        QCOMPARE(d->entries().size(), std::size_t(2));
        const auto& movie = d->entries()[0];
        QVERIFY2(movie.status.startsWith("track 1 avc1  container: ") &&
                     movie.status.contains("bitstream: 12/1/1") &&
                     movie.status.endsWith("in place:  \u2022  Already Display-P3"),
                 qPrintable(movie.status));
        QCOMPARE(movie.outcome, TGOutcome::already);
        const auto& photo = d->entries()[1];
        QVERIFY2(photo.status.startsWith("colour: ") &&
                     photo.status.contains("Display P3: no") &&
                     photo.status.endsWith("in place:  \u2713  Tagged \u2192 Display-P3"),
                 qPrintable(photo.status));
        QCOMPARE(blockColor(*d, 5), SYSTEM_GREEN); // the photo's in-place line
        QVERIFY(revealed_.isEmpty());
    }

    void closingTheWindowQuits() {
        auto d = launch(revealed_);
        QTimer::singleShot(0, d->window(), [&] { d->window()->close(); });
        // A safety net, not a measurement: without the quit the test would hang.
        QObject net;
        QTimer::singleShot(20000, &net, [] { QCoreApplication::exit(3); });
        QCOMPARE(QApplication::exec(), 0);
    }

private:
    std::unique_ptr<QTemporaryDir> dir_;
    QList<QList<QUrl>> revealed_;
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"

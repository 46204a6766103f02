// The window driven with real events: drops of real media, clicks, open requests, rendering.
#include "app/app_delegate.h"
#include "app/batch.h"
#include "app/visuals.h"
#include "app_fixtures.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileOpenEvent>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTimer>

#include <memory>

using namespace tg;

namespace {

#define WAIT_FOR_BATCH(d) QTRY_VERIFY_WITH_TIMEOUT(!(d).working(), 45000)

const QString NO_MODE = QStringLiteral("     Turn on at least one option above \u2191");
const QString FILE_TYPES =
    QStringLiteral(".mov  \u00b7  .mp4  \u00b7  .jpg  \u00b7  .png  \u00b7  .heic");
const QString BUSY = QStringLiteral("Busy \u2014 drop again when this batch is done");

// A tiny H.264 movie (.mov, .mp4), BT.709-tagged or untagged, or a one-frame image, made at
// path by ffmpeg; empty on failure.
QString makeMedia(const QString& path, bool tagged = false) {
    const bool movie = path.endsWith(".mov") || path.endsWith(".mp4");
    QString args = "-f lavfi -i testsrc=size=64x48:rate=5 -frames:v ";
    args += movie ? "5 -c:v libx264 -pix_fmt yuv420p" : "1";
    if (tagged) args += " -color_primaries bt709 -color_trc bt709 -colorspace bt709";
    if (tagged) args += " -movflags +write_colr";
    return ffmpeg(args + ' ' + path) ? path : QString();
}

// The list's text, one string per line, and the colour a line starts in.
QStringList blockTexts(const AppDelegate& d) {
    return d.textView()->toPlainText().split('\n');
}

QColor blockColor(const AppDelegate& d, int index) {
    const QTextBlock block = d.textView()->document()->findBlockByNumber(index);
    return block.begin().fragment().charFormat().foreground().color();
}

// Sets a switch by clicking it, as a user would.
void setSwitch(ToggleSwitch* toggle, bool on) {
    if (toggle->isChecked() != on) QTest::mouseClick(toggle, Qt::LeftButton);
    QCOMPARE(toggle->isChecked(), on);
}

enum class Kind { taggedMovie, untaggedMovie, photo };

// The status line one mode leaves on one of the three test files, given whether a bake ran
// before it, and the file it produces (empty: none).
std::pair<QString, QString> expectedRun(Kind kind, const QString& path, TGMode mode, bool baked) {
    const QFileInfo info(path);
    const QString copy = info.completeBaseName() + "_P3." + info.suffix();
    const QString fixed = kind == Kind::taggedMovie     ? QStringLiteral("Fixed \u2192 Display-P3")
                          : kind == Kind::untaggedMovie ? "No tag found \u2014 added Display-P3"
                                                        : "Tagged \u2192 Display-P3";
    const QString check = QStringLiteral("\u2713  ");
    if (mode == TGMode::p3Copy || (mode == TGMode::bake && kind == Kind::photo))
        return {check + fixed + "  \u2192  " + copy, info.absolutePath() + '/' + copy};
    if (mode == TGMode::bake) {
        const QString baked = info.completeBaseName() + "_universal." + info.suffix();
        return {check + "Baked at full quality  \u2192  " + baked,
                info.absolutePath() + '/' + baked};
    }
    if (baked && kind != Kind::photo) return {QStringLiteral("\u2022  Already Display-P3"), {}};
    return {check + fixed, path};
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
        QTest::newRow("copy") << QList<int>{copy};
        QTest::newRow("bake") << QList<int>{bake};
        QTest::newRow("in place") << QList<int>{tag};
        QTest::newRow("copy, bake") << QList<int>{copy, bake};
        QTest::newRow("copy, in place") << QList<int>{copy, tag};
        QTest::newRow("bake, in place") << QList<int>{bake, tag};
        QTest::newRow("all") << QList<int>{copy, bake, tag};
    }

    void dropRunsEverySelectedMode() {
        QFETCH(QList<int>, modes);
        const std::pair<Kind, QString> files[] = {
            {Kind::taggedMovie, makeMedia(dir_->filePath("tagged.mov"), true)},
            {Kind::untaggedMovie, makeMedia(dir_->filePath("untagged.mp4"))},
            {Kind::photo, makeMedia(dir_->filePath("photo.png"))}};
        QStringList paths;
        for (const auto& [kind, path] : files)
            paths << path;
        QVERIFY(!paths.contains(QString()));

        auto d = launch();
        // Switched bottom-up, against the screen order: the modes still run in a fixed order.
        setSwitch(d->modeInPlace(), modes.contains(int(TGMode::inPlace)));
        setSwitch(d->modeBake(), modes.contains(int(TGMode::bake)));
        setSwitch(d->modeP3(), modes.contains(int(TGMode::p3Copy)));
        QList<int> selected;
        for (TGMode mode : d->selectedModes())
            selected << int(mode);
        QCOMPARE(selected, modes);
        dropOn(d->dropView(), urlsOf(paths));
        WAIT_FOR_BATCH(*d);

        // Each file's name, then one status line per mode.
        QStringList expected;
        QStringList produced;
        for (const auto& [kind, path] : files) {
            expected << "\u2022  " + QFileInfo(path).fileName();
            if (modes.empty()) expected << NO_MODE;
            bool baked = false;
            for (int mode : modes) {
                const auto [line, made] = expectedRun(kind, path, TGMode(mode), baked);
                baked |= TGMode(mode) == TGMode::bake;
                expected << "     " + line;
                if (!made.isEmpty()) produced << made;
            }
        }
        expected << QString(); // the text ends with a line break
        const QStringList blocks = blockTexts(*d);
        QCOMPARE(blocks, expected);

        // Names in ink; statuses green, or grey when nothing ran.
        for (int block = 0; block < blocks.size() - 1; ++block) {
            const bool name = blocks[block].startsWith(QStringLiteral("\u2022  "));
            QCOMPARE(blockColor(*d, block), name ? C_ink : modes.empty() ? C_sub : SYSTEM_GREEN);
        }

        // Produced files exist and are revealed once, at the end, in processing order.
        QCOMPARE(revealed_.size(), produced.isEmpty() ? 0 : 1);
        if (!produced.isEmpty()) QCOMPARE(revealed_[0], urlsOf(produced));
        for (const QString& path : produced)
            QVERIFY2(QFileInfo::exists(path), qPrintable(path));
        QVERIFY(d->progressBar()->isHidden());
    }

    // Whatever arrives during a batch is refused where the user looks: the drop zone says it is
    // busy until the batch ends; the list and the files stay as they are.
    void arrivalsDuringABatchAreRefusedVisibly() {
        QDir(dir_->path()).mkpath("later");
        const QString first = makeMedia(dir_->filePath("first.jpg"));
        const QString second = makeMedia(dir_->filePath("later/second.png"));
        QVERIFY(!first.isEmpty() && !second.isEmpty());
        for (const QString how : {"drop file", "drop folder", "open", "drop text"}) {
            auto d = launch();
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
            QCOMPARE(d->dropLine()->text(), BUSY);
            QCOMPARE(blockTexts(*d), during);
            QCOMPARE(d->entries().size(), std::size_t(1));

            WAIT_FOR_BATCH(*d);
            QCOMPARE(d->dropLine()->text(), FILE_TYPES);
            QCOMPARE(d->entries().size(), std::size_t(1));
            QVERIFY(!QFileInfo::exists(dir_->filePath("later/second_P3.png")));
        }
    }

    // Folders are walked by the worker (what a walk takes is the pipeline's test); the rows
    // become the files found, and a folder with none gets a line of its own. Unsupported files
    // add nothing, and a drop of nothing else leaves the list as it is.
    void droppedFoldersBecomeTheirFiles() {
        QDir(dir_->path()).mkpath("shots/sub");
        QDir(dir_->path()).mkpath("empty");
        const QStringList files = {makeMedia(dir_->filePath("loose.png")),
                                   makeMedia(dir_->filePath("shots/b.png")),
                                   makeMedia(dir_->filePath("shots/sub/a.jpg"))};
        QVERIFY(!files.contains(QString()));
        const QString notes = dir_->filePath("notes.txt");
        auto d = launch();
        dropOn(d->dropView(),
               urlsOf({notes, files[0], dir_->filePath("shots"), dir_->filePath("empty")}));
        QCOMPARE(d->entries()[0].status, QStringLiteral("working\u2026"));
        WAIT_FOR_BATCH(*d);
        QList<QUrl> rows;
        for (const auto& entry : d->entries())
            rows << entry.url;
        QCOMPARE(rows, urlsOf(QStringList(files) << dir_->filePath("empty")));
        QCOMPARE(
            blockTexts(*d).mid(6, 2),
            QStringList({"\u2022  empty", "     \u2014  Skipped (no movies or photos inside)"}));
        QCOMPARE(blockColor(*d, 7), SYSTEM_ORANGE);
        QVERIFY(QFileInfo::exists(dir_->filePath("shots/sub/a_P3.jpg")));
        const QStringList after = blockTexts(*d);
        dropOn(d->dropView(), urlsOf({notes}));
        QCOMPARE(blockTexts(*d), after);
        QVERIFY(!d->working());
    }

    // A bake starts with its bar and a 0 % row. A report for the second of four files moves that
    // row, its line and the bar.
    void progressMovesTheRowAndTheBar() {
        const QString movie = makeMedia(dir_->filePath("bake.mov"), true);
        QVERIFY(!movie.isEmpty());
        auto d = launch();
        setSwitch(d->modeP3(), false);
        setSwitch(d->modeBake(), true);
        dropOn(d->dropView(), urlsOf({movie}));
        QCOMPARE(d->entries()[0].status, QStringLiteral("encoding\u2026  0%"));
        QVERIFY(!d->progressBar()->isHidden());
        WAIT_FOR_BATCH(*d);
        QCOMPARE(revealed_.size(), 1);

        setSwitch(d->modeBake(), false);
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
        QCOMPARE(revealed_.size(), 1);
    }

    void clickOpensTheOpenDialog() {
        auto d = launch();
        QTest::mouseClick(d->dropView(), Qt::LeftButton);
        auto* dialog = d->window()->findChild<QFileDialog*>();
        QVERIFY(dialog && dialog->isVisible());
        QCOMPARE(dialog->fileMode(), QFileDialog::ExistingFiles);
        for (const char* glob : {"*.mov", "*.mp4", "*.jpg", "*.png"})
            QVERIFY2(dialog->nameFilters().join(' ').contains(QLatin1String(glob)), glob);
        dialog->reject();
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

    void rendering() {
        auto d = launch();
        QCOMPARE(d->textView()->toPlainText(),
                 "\u2726  Drop a video or photo and Tintguard matches its color everywhere.");
        QCOMPARE(d->textView()->document()->begin().blockFormat().alignment() &
                     Qt::AlignHorizontal_Mask,
                 Qt::AlignHCenter);
        QCOMPARE(blockColor(*d, 0), C_purple);
        QWidget* view = d->window()->findChild<QWidget*>("content");
        QVERIFY(view);
        auto pixel = [view](QPoint p) {
            const QImage image = view->grab().toImage();
            const double r = image.devicePixelRatio();
            return image.pixelColor(int(p.x() * r), int(p.y() * r)).toRgb();
        };
        auto close = [](const QColor& a, const QColor& b) {
            return std::abs(a.red() - b.red()) <= 2 && std::abs(a.green() - b.green()) <= 2 &&
                   std::abs(a.blue() - b.blue()) <= 2;
        };
        QCOMPARE(pixel({5, 300}), QColor(Qt::white));
        QCOMPARE(pixel({590, 810}), QColor(Qt::white));
        QVERIFY2(close(pixel({60, 300}), DropView::REST), qPrintable(pixel({60, 300}).name()));
        // The copy switch on (track at its left), the bake one off (grey track at its right).
        QVERIFY(close(pixel(d->modeP3()->mapTo(view, QPoint(6, 11))), ToggleSwitch::ON_COLOR));
        const QPoint bake = d->modeBake()->mapTo(view, QPoint(31, 11));
        QVERIFY(close(pixel(bake), ToggleSwitch::OFF_COLOR));
        // A click flips a switch, and the picture with it.
        QTest::mouseClick(d->modeBake(), Qt::LeftButton);
        QVERIFY(close(pixel(bake - QPoint(25, 0)), ToggleSwitch::ON_COLOR));
    }

    // The band above the title shows the picture made for it, at the screen's pixel density
    // (this suite runs once more with QT_SCALE_FACTOR=2).
    void heroBandShowsThePicture() {
        auto d = launch();
        auto* header = d->window()->findChild<QLabel*>("header");
        QVERIFY(header);
        QCOMPARE(header->geometry(), QRect(0, 0, 600, 160));
        const QImage shown = d->window()->findChild<QWidget*>("content")->grab().toImage();
        const int r = qRound(shown.devicePixelRatio());
        const QString dir = QCoreApplication::applicationDirPath() + "/../share/tintguard/";
        const QImage hero(dir + (r == 2 ? "hero@2x.png" : "hero.png"));
        QCOMPARE(hero.size(), QSize(600 * r, 160 * r));
        QSet<QRgb> colours;
        int far = 0;
        for (int y = 4 * r; y < hero.height(); y += 12)
            for (int x = 4 * r; x < hero.width(); x += 12) {
                const QColor want = hero.pixelColor(x, y);
                const QColor got = shown.pixelColor(x, y);
                colours.insert(want.rgb());
                if (std::abs(want.red() - got.red()) > 6 ||
                    std::abs(want.green() - got.green()) > 6 ||
                    std::abs(want.blue() - got.blue()) > 6)
                    ++far;
            }
        QCOMPARE(far, 0);
        QVERIFY(colours.size() > 50); // a picture, not an empty band
    }

    // The text frames of a row reach under its switch; the texts themselves must end before it,
    // in whatever font the desktop gives (DejaVu Sans on a plain Debian): a smaller size where
    // needed, never a cut text or another font.
    void noRowTextReachesItsSwitch() {
        const QStringList rows[] = {
            {"Write a P3 copy", "Keeps your original untouched. Needs room for a copy."},
            {"Tag this file in place",
             "No copy \u2014 uses no extra space. Changes the file itself."},
            {"Bake for web (YouTube, Vimeo, Google Photos)",
             "Matches everywhere. Full quality \u2014 needs room for one new file."}};
        auto d = launch();
        QWidget* card = d->window()->findChild<QWidget*>("optionsCard");
        const QString family = QFontInfo(roundedFont(12, QFont::Normal)).family();
        for (const QStringList& row : rows) {
            ToggleSwitch* toggle = nullptr;
            for (auto* candidate : card->findChildren<ToggleSwitch*>())
                if (candidate->accessibleName() == row[0]) toggle = candidate;
            QVERIFY(toggle);
            QStringList texts;
            for (auto* field : card->findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
                if (std::abs(field->geometry().center().y() - toggle->geometry().center().y()) > 20)
                    continue; // another row's
                texts << field->text();
                const QFont font = field->font();
                const int end = field->x() + QFontMetrics(font).horizontalAdvance(field->text());
                QVERIFY2(end <= toggle->x(), qPrintable(field->text() + " reaches its switch in " +
                                                        QFontInfo(font).family()));
                QVERIFY(font.pixelSize() >= (field->text() == row[0] ? 12 : 10));
                QCOMPARE(QFontInfo(font).family(), family);
            }
            QCOMPARE(texts, row);
        }
    }

    void closingTheWindowQuits() {
        auto d = launch();
        QTimer::singleShot(0, d->window(), [&] { d->window()->close(); });
        // A safety net, not a measurement: without the quit the test would hang.
        QObject net;
        QTimer::singleShot(20000, &net, [] { QCoreApplication::exit(3); });
        QCOMPARE(QApplication::exec(), 0);
    }

private:
    std::unique_ptr<AppDelegate> launch() {
        auto d = std::make_unique<AppDelegate>();
        d->reveal = [this](const QList<QUrl>& files) { revealed_ << files; };
        d->finishLaunching();
        return d;
    }

    std::unique_ptr<QTemporaryDir> dir_;
    QList<QList<QUrl>> revealed_;
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"

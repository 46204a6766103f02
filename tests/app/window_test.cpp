// The window driven with real events: drops of real media, clicks, open requests, rendering.
#include "app/app_delegate.h"
#include "app/batch.h"
#include "app/visuals.h"
#include "test_media.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileOpenEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextFrame>
#include <QTimer>

#include <limits>
#include <memory>

using namespace tg;
using namespace tgapptest;

namespace {

constexpr int BATCH_TIMEOUT_MS = 45000;

#define WAIT_FOR_BATCH(d) QTRY_VERIFY_WITH_TIMEOUT(!(d).working(), BATCH_TIMEOUT_MS)

const QString NO_MODE = QStringLiteral("     Turn on at least one option above \u2191");

// Which switches are on.
struct Switches {
    bool p3 = false;
    bool bake = false;
    bool inPlace = false;
};

QUrl urlOf(const QString& path) {
    return QUrl::fromLocalFile(path);
}

QList<QUrl> urlsOf(const QStringList& paths) {
    QList<QUrl> urls;
    for (const QString& path : paths)
        urls << urlOf(path);
    return urls;
}

// Sets a switch by clicking it, as a user would.
void setSwitch(ToggleSwitch* toggle, bool on) {
    if (toggle->isChecked() != on) QTest::mouseClick(toggle, Qt::LeftButton);
    QCOMPARE(toggle->isChecked(), on);
}

void dropOn(QWidget* target, const QList<QUrl>& urls) {
    QMimeData data;
    data.setUrls(urls);
    const QPointF at(target->width() / 2.0, target->height() / 2.0);
    QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
}

QWidget* content(const AppDelegate& d) {
    return d.window()->findChild<QWidget*>("content");
}

template <class T> T* topLevel() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* found = qobject_cast<T*>(w); found && found->isVisible()) return found;
    return nullptr;
}

// What one run is expected to show and to reveal.
struct Run {
    QString line;
    QString produced; // empty: nothing revealed
};

enum class Kind { taggedMovie, untaggedMovie, photo };

// The outcome of one mode on one of the three test files, given what ran before it.
Run expectedRun(Kind kind, const QString& path, TGMode mode, bool bakedBefore) {
    const QFileInfo info(path);
    const QString dir = info.absolutePath() + u'/';
    const QString copy = info.completeBaseName() + "_P3." + info.suffix();
    const QString fixedText = kind == Kind::taggedMovie ? QStringLiteral("Fixed \u2192 Display-P3")
                              : kind == Kind::untaggedMovie
                                  ? QStringLiteral("No tag found \u2014 added Display-P3")
                                  : QStringLiteral("Tagged \u2192 Display-P3");
    const QString check = QStringLiteral("\u2713  ");
    switch (mode) {
    case TGMode::p3Copy:
        return {check + fixedText + "  \u2192  " + copy, dir + copy};
    case TGMode::bake:
        if (kind == Kind::photo) return {check + fixedText + "  \u2192  " + copy, dir + copy};
        return {check + "Baked at full quality  \u2192  " + info.completeBaseName() +
                    "_universal." + info.suffix(),
                dir + info.completeBaseName() + "_universal." + info.suffix()};
    case TGMode::inPlace:
        if (bakedBefore && kind != Kind::photo)
            return {QStringLiteral("\u2022  Already Display-P3"), QString()};
        return {check + fixedText, path};
    }
    return {};
}

} // namespace

class WindowTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void freshWindowLayout();
    void tagLineAndWelcomeText();
    void menuEntries();
    void dropZoneLightsWhileFilesHover();
    void clickOpensTheOpenDialog();
    void filesAskedForBeforeLaunchArriveAsOneList();
    void eachRequestAfterLaunchIsOneCall();
    void selectedModesOrder_data();
    void selectedModesOrder();
    void dropRunsEverySelectedMode_data();
    void dropRunsEverySelectedMode();
    void outcomesColourTheirRows();
    void unsupportedFilesGetNoRow();
    void dropDuringBatchIsIgnored();
    void sameFileTwiceUpdatesBothRows();
    void bakeShowsProgress();
    void closingTheDelegateMidBatchIsSafe();
    void rendering();
    void aboutShowsNameAndVersion();
    void closingTheWindowQuits();

private:
    std::unique_ptr<AppDelegate> launch();

    std::unique_ptr<QTemporaryDir> dir_;
    QList<QList<QUrl>> revealed_;
};

void WindowTest::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    revealed_.clear();
}

void WindowTest::cleanup() {
    // Every test ends idle; a batch still running would outlive its files.
    QTRY_VERIFY_WITH_TIMEOUT(!batchRunning(), BATCH_TIMEOUT_MS);
    dir_.reset();
}

std::unique_ptr<AppDelegate> WindowTest::launch() {
    auto d = std::make_unique<AppDelegate>();
    d->reveal = [this](const QList<QUrl>& files) { revealed_ << files; };
    d->finishLaunching();
    return d;
}

void WindowTest::freshWindowLayout() {
    auto d = launch();
    QWidget* view = content(*d);
    QVERIFY(view);
    QCOMPARE(view->size(), QSize(600, 820));
    QCOMPARE(d->window()->minimumSize(), d->window()->maximumSize()); // not resizable
    QCOMPARE(view->palette().color(QPalette::Window), QColor(Qt::white));

    // No header without hero.png; title, drop zone, cards, bar at their frames (top-left origin).
    QVERIFY(!view->findChild<QLabel*>("header"));
    auto* title = view->findChild<QLabel*>("title");
    QCOMPARE(title->text(), QStringLiteral("Tintguard"));
    QCOMPARE(title->geometry(), QRect(0, 160, 600, 60));
    QCOMPARE(title->font().pixelSize(), 46);
    QCOMPARE(view->findChild<QLabel*>("tagLine")->geometry(), QRect(0, 238, 600, 26));
    QCOMPARE(d->dropView()->geometry(), QRect(40, 282, 520, 150));
    QCOMPARE(view->findChild<QWidget*>("optionsCard")->geometry(), QRect(40, 460, 520, 184));
    QCOMPARE(d->progressBar()->geometry(), QRect(40, 446, 520, 8));
    QCOMPARE(view->findChild<QWidget*>("resultsCard")->geometry(), QRect(40, 656, 520, 90));
    QCOMPARE(d->textView()->geometry(), QRect(4, 4, 512, 82));
    QCOMPARE(
        view->findChild<QLabel*>("footer")->text(),
        QStringLiteral("Lumen Harbor   \u00b7   color-accurate   \u00b7   your masters stay safe"));

    // The drop zone's symbol and three labels.
    QCOMPARE(d->dropView()->findChild<QLabel*>("dropSymbol")->geometry(), QRect(238, 14, 44, 44));
    QStringList dropTexts;
    for (QLabel* l : d->dropView()->findChildren<QLabel*>())
        if (!l->text().isEmpty()) dropTexts << l->text();
    QCOMPARE(dropTexts,
             (QStringList{"Drag & drop your videos or photos", "or click to choose files",
                          ".mov  \u00b7  .mp4  \u00b7  .jpg  \u00b7  .png  \u00b7  .heic"}));

    // Switches: only the copy on, at their frames; the bar hidden and empty.
    QCOMPARE(d->modeP3()->geometry(), QRect(462, 21, 38, 22));
    QCOMPARE(d->modeInPlace()->geometry(), QRect(462, 81, 38, 22));
    QCOMPARE(d->modeBake()->geometry(), QRect(462, 143, 38, 22));
    QVERIFY(d->modeP3()->isChecked());
    QVERIFY(!d->modeInPlace()->isChecked());
    QVERIFY(!d->modeBake()->isChecked());
    QVERIFY(d->progressBar()->isHidden());
    QCOMPARE(d->progressBar()->value(), 0);
    QVERIFY(d->ready());
    QVERIFY(d->entries().empty());

    // The option rows' texts, top to bottom.
    QStringList cardTexts;
    for (QLabel* l : view->findChild<QWidget*>("optionsCard")->findChildren<QLabel*>())
        if (!l->text().isEmpty()) cardTexts << l->text();
    QCOMPARE(
        cardTexts,
        (QStringList{"Write a P3 copy", "Keeps your original untouched. Needs room for a copy.",
                     "Tag this file in place",
                     "No copy \u2014 uses no extra space. Changes the file itself.",
                     "Bake for web (YouTube, Vimeo, Google Photos)",
                     "Matches everywhere. Full quality \u2014 needs room for one new file."}));
}

void WindowTest::tagLineAndWelcomeText() {
    auto d = launch();
    // The tag line: grey words around a rainbow "everywhere".
    QTextDocument tag;
    tag.setHtml(content(*d)->findChild<QLabel*>("tagLine")->text());
    QCOMPARE(tag.toPlainText(), QStringLiteral("Your grade \u2014 everywhere it plays."));
    QList<QColor> colours;
    for (QTextBlock::iterator it = tag.begin().begin(); !it.atEnd(); ++it)
        for (int k = 0; k < it.fragment().length(); ++k)
            colours << it.fragment().charFormat().foreground().color();
    const int word = QStringLiteral("Your grade \u2014 ").size();
    QCOMPARE(colours[0], C_sub);
    QCOMPARE(colours[word].name(), rainbowColor(0).name());
    QCOMPARE(colours[word + 9].name(), rainbowColor(1).name());
    QCOMPARE(colours[word + 10], C_sub);

    // The empty list: one centred line with the larger top inset.
    const QTextDocument* doc = d->textView()->document();
    QCOMPARE(
        blockTexts(doc),
        QStringList{"\u2726  Drop a video or photo and Tintguard matches its color everywhere."});
    QCOMPARE(doc->begin().blockFormat().alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
    const QTextFrameFormat inset = doc->rootFrame()->frameFormat();
    QCOMPARE(inset.topMargin(), 28.0);
    QCOMPARE(inset.bottomMargin(), 28.0);
    QCOMPARE(inset.leftMargin(), 10.0);
    QCOMPARE(blockColor(doc, 0), C_purple);
    QVERIFY(d->textView()->isReadOnly());
    QVERIFY(d->textView()->textInteractionFlags() & Qt::TextSelectableByMouse);
}

void WindowTest::menuEntries() {
    auto d = launch();
    QMenuBar* bar = d->window()->menuBar();
    QStringList shown;
    for (QAction* top : bar->actions()) {
        shown << top->text() + ":";
        for (QAction* entry : top->menu()->actions())
            shown << (entry->isSeparator() ? QStringLiteral("-")
                                           : entry->text() + " " + entry->shortcut().toString());
    }
    QCOMPARE(shown, (QStringList{"Tintguard:", "About Tintguard ", "-", "Hide Tintguard Ctrl+H",
                                 "-", "Quit Tintguard Ctrl+Q", "Edit:", "Cut Ctrl+X", "Copy Ctrl+C",
                                 "Paste Ctrl+V", "Select All Ctrl+A", "Window:", "Minimize Ctrl+M",
                                 "Close Ctrl+W"}));

    // Select All acts on the focused result list.
    d->window()->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(d->window()));
    d->textView()->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), d->textView());
    bar->actions()[1]->menu()->actions()[3]->trigger();
    QVERIFY(d->textView()->textCursor().hasSelection());
}

void WindowTest::dropZoneLightsWhileFilesHover() {
    auto d = launch();
    DropView* zone = d->dropView();
    QCOMPARE(zone->background(), DropView::REST);
    QList<QList<QUrl>> dropped;
    zone->onDrop = [&](const QList<QUrl>& urls) { dropped << urls; };

    QMimeData files;
    files.setUrls({urlOf("/a/one.mov"), urlOf("/b/two"), urlOf("/c/dir/")});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction | Qt::MoveAction, &files, Qt::LeftButton,
                          Qt::NoModifier);
    QApplication::sendEvent(zone, &enter);
    QVERIFY(enter.isAccepted());
    QCOMPARE(enter.dropAction(), Qt::CopyAction);
    QCOMPARE(zone->background(), DropView::HIGHLIGHT);
    QDragMoveEvent move(QPoint(20, 20), Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(zone, &move);
    QVERIFY(move.isAccepted());
    QCOMPARE(move.dropAction(), Qt::CopyAction);
    QDragLeaveEvent leave;
    QApplication::sendEvent(zone, &leave);
    QCOMPARE(zone->background(), DropView::REST);

    // Text or web links: lit while hovering, refused, never handed on.
    QMimeData noFiles;
    noFiles.setText("hello");
    noFiles.setUrls({QUrl("https://example.com/a.mov")});
    QDragEnterEvent enterText(QPoint(10, 10), Qt::CopyAction, &noFiles, Qt::LeftButton,
                              Qt::NoModifier);
    QApplication::sendEvent(zone, &enterText);
    QCOMPARE(enterText.dropAction(), Qt::IgnoreAction);
    QCOMPARE(zone->background(), DropView::HIGHLIGHT);
    QDragMoveEvent moveText(QPoint(20, 20), Qt::CopyAction, &noFiles, Qt::LeftButton,
                            Qt::NoModifier);
    QApplication::sendEvent(zone, &moveText);
    QVERIFY(!moveText.isAccepted());
    QDragLeaveEvent leaveText;
    QApplication::sendEvent(zone, &leaveText);
    QCOMPARE(zone->background(), DropView::REST);
    QDropEvent dropText(QPointF(10, 10), Qt::CopyAction, &noFiles, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(zone, &dropText);
    QVERIFY(dropped.isEmpty());

    // A drop of several files (a folder among them) calls onDrop once, in order, unfiltered.
    QDragEnterEvent again(QPoint(10, 10), Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(zone, &again);
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(zone, &drop);
    QVERIFY(drop.isAccepted());
    QCOMPARE(dropped.size(), 1);
    QCOMPARE(dropped[0], files.urls());
}

void WindowTest::clickOpensTheOpenDialog() {
    auto d = launch();
    setSwitch(d->modeP3(), false); // nothing is processed: the rows show what arrived
    const QString a = makeImage(dir_->filePath("a.png"));
    const QString b = makeImage(dir_->filePath("b.jpg"));
    QVERIFY(!a.isEmpty() && !b.isEmpty());

    QTest::mouseClick(d->dropView(), Qt::LeftButton);
    auto* dialog = topLevel<QFileDialog>();
    if (!dialog) // a child dialog is a window of its own
        dialog = d->window()->findChild<QFileDialog*>();
    QVERIFY(dialog && dialog->isVisible());
    QVERIFY(!dialog->isModal());
    QCOMPARE(dialog->fileMode(), QFileDialog::ExistingFiles);
    const QString filter = dialog->nameFilters().join(' ');
    for (const char* glob : {"*.mov", "*.mp4", "*.jpg", "*.png", "*.tiff"})
        QVERIFY2(filter.contains(QLatin1String(glob)), glob);

    // Cancel changes nothing.
    QPointer<QFileDialog> cancelled(dialog);
    dialog->reject();
    QTRY_VERIFY(!cancelled);
    QVERIFY(d->entries().empty());

    // Several files chosen arrive in one call, in the dialog's order.
    QTest::mouseClick(d->dropView(), Qt::LeftButton);
    dialog = d->window()->findChild<QFileDialog*>();
    QVERIFY(dialog);
    dialog->setDirectory(dir_->path());
    auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
    QVERIFY(name);
    name->setText("\"a.png\" \"b.jpg\"");
    QMetaObject::invokeMethod(dialog, "accept");
    QCOMPARE(d->entries().size(), std::size_t(2));
    QCOMPARE(d->entries()[0].url, urlOf(a));
    QCOMPARE(d->entries()[1].url, urlOf(b));
}

void WindowTest::filesAskedForBeforeLaunchArriveAsOneList() {
    const QString a = makeImage(dir_->filePath("a.png"));
    const QString b = makeImage(dir_->filePath("b.png"));
    const QString c = makeImage(dir_->filePath("c.png"));
    AppDelegate d;
    d.reveal = [this](const QList<QUrl>& files) { revealed_ << files; };
    d.openFiles({urlOf(a)});
    QFileOpenEvent opened(urlOf(b)); // how macOS asks
    QApplication::sendEvent(qApp, &opened);
    d.openFiles({urlOf(c), urlOf(dir_->filePath("notes.txt"))});
    QCOMPARE(d.pending(),
             (QList<QUrl>{urlOf(a), urlOf(b), urlOf(c), urlOf(dir_->filePath("notes.txt"))}));
    QVERIFY(d.entries().empty());
    QVERIFY(!d.window());

    d.finishLaunching();
    QVERIFY(d.pending().isEmpty());
    QVERIFY(d.working());
    QCOMPARE(d.entries().size(), std::size_t(3)); // one addFiles call with everything
    WAIT_FOR_BATCH(d);
    for (const auto& row : d.entries())
        QVERIFY2(row.outcome == TGOutcome::fixed, qPrintable(row.status));
}

void WindowTest::eachRequestAfterLaunchIsOneCall() {
    auto d = launch();
    setSwitch(d->modeP3(), false);
    d->openFiles({urlOf("/x/a.mov"), urlOf("/x/b.png")});
    QCOMPARE(d->entries().size(), std::size_t(2));
    d->openFiles({urlOf("/x/c.jpg")}); // a call of its own: the list is replaced
    QCOMPARE(d->entries().size(), std::size_t(1));
    QCOMPARE(d->entries()[0].url, urlOf("/x/c.jpg"));
    d->openFiles({});
    QCOMPARE(d->entries().size(), std::size_t(1));
    QFileOpenEvent opened(urlOf("/x/d.heic"));
    QApplication::sendEvent(qApp, &opened);
    QCOMPARE(d->entries()[0].url, urlOf("/x/d.heic"));
    QVERIFY(d->pending().isEmpty());
}

void WindowTest::selectedModesOrder_data() {
    QTest::addColumn<bool>("p3");
    QTest::addColumn<bool>("bake");
    QTest::addColumn<bool>("inPlace");
    QTest::addColumn<QList<int>>("expected");
    auto m = [](TGMode mode) { return int(mode); };
    QTest::newRow("none") << false << false << false << QList<int>{};
    QTest::newRow("copy") << true << false << false << QList<int>{m(TGMode::p3Copy)};
    QTest::newRow("in place") << false << false << true << QList<int>{m(TGMode::inPlace)};
    QTest::newRow("in place and copy")
        << true << false << true << QList<int>{m(TGMode::p3Copy), m(TGMode::inPlace)};
    QTest::newRow("bake and in place")
        << false << true << true << QList<int>{m(TGMode::bake), m(TGMode::inPlace)};
    QTest::newRow("all") << true << true << true
                         << QList<int>{m(TGMode::p3Copy), m(TGMode::bake), m(TGMode::inPlace)};
}

void WindowTest::selectedModesOrder() {
    QFETCH(bool, p3);
    QFETCH(bool, bake);
    QFETCH(bool, inPlace);
    QFETCH(QList<int>, expected);
    AppDelegate unbuilt;
    QVERIFY(unbuilt.selectedModes().empty()); // no switches yet: nothing selected
    auto d = launch();
    // Switched on bottom-up, against the screen order: the order stays fixed.
    setSwitch(d->modeInPlace(), inPlace);
    setSwitch(d->modeBake(), bake);
    setSwitch(d->modeP3(), p3);
    QList<int> got;
    for (TGMode mode : d->selectedModes())
        got << int(mode);
    QCOMPARE(got, expected);
}

void WindowTest::dropRunsEverySelectedMode_data() {
    QTest::addColumn<bool>("p3");
    QTest::addColumn<bool>("bake");
    QTest::addColumn<bool>("inPlace");
    for (int bits = 0; bits < 8; ++bits) {
        const bool p3 = bits & 1, bake = bits & 2, inPlace = bits & 4;
        QString name = QStringLiteral("%1%2%3").arg(p3 ? "copy " : "", bake ? "bake " : "",
                                                    inPlace ? "in-place" : "");
        if (name.isEmpty()) name = QStringLiteral("no switch on");
        QTest::newRow(qPrintable(name.trimmed())) << p3 << bake << inPlace;
    }
}

void WindowTest::dropRunsEverySelectedMode() {
    QFETCH(bool, p3);
    QFETCH(bool, bake);
    QFETCH(bool, inPlace);
    const QString tagged = makeMovie(dir_->filePath("tagged.mov"), bt709());
    const QString untagged = makeMovie(dir_->filePath("untagged.mp4"));
    const QString photo = makeImage(dir_->filePath("photo.png"));
    QVERIFY(!tagged.isEmpty() && !untagged.isEmpty() && !photo.isEmpty());

    auto d = launch();
    setSwitch(d->modeP3(), p3);
    setSwitch(d->modeBake(), bake);
    setSwitch(d->modeInPlace(), inPlace);
    dropOn(d->dropView(), urlsOf({tagged, untagged, photo}));
    WAIT_FOR_BATCH(*d);

    const QTextDocument* doc = d->textView()->document();
    const QStringList blocks = blockTexts(doc);
    QStringList expected;
    QList<QUrl> reveal;
    const std::vector<TGMode> modes = d->selectedModes();
    const std::pair<Kind, QString> files[] = {
        {Kind::taggedMovie, tagged}, {Kind::untaggedMovie, untagged}, {Kind::photo, photo}};
    for (const auto& [kind, path] : files) {
        expected << "\u2022  " + QFileInfo(path).fileName();
        if (modes.empty()) {
            expected << NO_MODE;
            continue;
        }
        QStringList lines;
        bool baked = false;
        for (TGMode mode : modes) {
            const Run run = expectedRun(kind, path, mode, baked);
            baked |= mode == TGMode::bake;
            lines << "     " + run.line;
            if (!run.produced.isEmpty()) reveal << urlOf(run.produced);
        }
        expected << lines;
    }
    expected << QString(); // the text ends with a line break
    QCOMPARE(blocks, expected);

    // Every row's status in its merged outcome's colour: green here, grey when nothing ran.
    const QColor statusColour = modes.empty() ? C_sub : SYSTEM_GREEN;
    for (int block = 0; block < blocks.size() - 1; ++block) {
        const bool nameLine = blocks[block].startsWith(QStringLiteral("\u2022  "));
        QCOMPARE(blockColor(doc, block), nameLine ? C_ink : statusColour);
    }
    QCOMPARE(doc->rootFrame()->frameFormat().topMargin(), 8.0);
    QCOMPARE(doc->rootFrame()->frameFormat().leftMargin(), 10.0);

    // Produced files exist and are revealed once, at the end, in processing order.
    if (reveal.isEmpty()) {
        QVERIFY(revealed_.isEmpty());
    } else {
        QCOMPARE(revealed_.size(), 1);
        QCOMPARE(revealed_[0], reveal);
        for (const QUrl& url : reveal)
            QVERIFY(QFileInfo::exists(url.toLocalFile()));
    }
    QVERIFY(d->progressBar()->isHidden());
}

void WindowTest::outcomesColourTheirRows() {
    const QString hdr = makeMovie(dir_->filePath("hdr.mov"), hdrPq());
    const QString broken = dir_->filePath("broken.mov");
    QFile junk(broken);
    QVERIFY(junk.open(QIODevice::WriteOnly));
    junk.write(QByteArray(4096, 'x'));
    junk.close();
    const QString tagged = makeMovie(dir_->filePath("tagged.mov"), bt709());
    QVERIFY(!hdr.isEmpty() && !tagged.isEmpty());

    auto d = launch();
    setSwitch(d->modeP3(), false);
    setSwitch(d->modeInPlace(), true);
    dropOn(d->dropView(), urlsOf({hdr, broken, tagged}));
    WAIT_FOR_BATCH(*d);
    const QTextDocument* doc = d->textView()->document();
    const QStringList blocks = blockTexts(doc);
    QCOMPARE(blocks.size(), 7);
    QCOMPARE(blocks[1], QStringLiteral("     \u2014  HDR \u2014 left unchanged"));
    QCOMPARE(blockColor(doc, 1), SYSTEM_ORANGE);
    QVERIFY2(blocks[3].startsWith(QStringLiteral("     \u2715  ")), qPrintable(blocks[3]));
    QCOMPARE(blockColor(doc, 3), SYSTEM_RED);
    QCOMPARE(blocks[5], QStringLiteral("     \u2713  Fixed \u2192 Display-P3"));
    QCOMPARE(d->entries()[0].outcome, std::optional(TGOutcome::hdr));
    QCOMPARE(d->entries()[1].outcome, std::optional(TGOutcome::error));
    QCOMPARE(revealed_, (QList<QList<QUrl>>{{urlOf(tagged)}}));

    // Dropped again, the tag is there: a grey "already" that reveals nothing.
    revealed_.clear();
    dropOn(d->dropView(), urlsOf({tagged}));
    WAIT_FOR_BATCH(*d);
    QCOMPARE(blockTexts(doc)[1], QStringLiteral("     \u2022  Already Display-P3"));
    QCOMPARE(blockColor(doc, 1), C_sub);
    QVERIFY(revealed_.isEmpty());
}

void WindowTest::unsupportedFilesGetNoRow() {
    const QString photo = makeImage(dir_->filePath("photo.jpg"));
    QVERIFY(!photo.isEmpty());
    QFile notes(dir_->filePath("notes.txt"));
    QVERIFY(notes.open(QIODevice::WriteOnly));
    notes.close();
    auto d = launch();
    dropOn(d->dropView(), {urlOf(notes.fileName()), urlOf(photo), urlOf(dir_->path() + "/")});
    QCOMPARE(d->entries().size(), std::size_t(1));
    QCOMPARE(d->entries()[0].url, urlOf(photo));
    QCOMPARE(d->entries()[0].status, QStringLiteral("working\u2026"));
    QVERIFY(d->progressBar()->isHidden()); // no bake, no bar
    WAIT_FOR_BATCH(*d);

    // Nothing supported: the list stays as it was.
    const QStringList before = blockTexts(d->textView()->document());
    dropOn(d->dropView(), {urlOf(notes.fileName())});
    QCOMPARE(blockTexts(d->textView()->document()), before);
    QVERIFY(!d->working());
}

void WindowTest::dropDuringBatchIsIgnored() {
    const QString first = makeImage(dir_->filePath("first.png"));
    const QString second = makeImage(dir_->filePath("second.png"));
    QVERIFY(!first.isEmpty() && !second.isEmpty());
    auto d = launch();
    dropOn(d->dropView(), urlsOf({first}));
    QVERIFY(d->working());
    const QStringList during = blockTexts(d->textView()->document());
    dropOn(d->dropView(), urlsOf({second}));
    QCOMPARE(d->entries().size(), std::size_t(1));
    QCOMPARE(blockTexts(d->textView()->document()), during);
    WAIT_FOR_BATCH(*d);
    QCOMPARE(d->entries().size(), std::size_t(1));
    QCOMPARE(d->entries()[0].url, urlOf(first));
    QVERIFY(!QFileInfo::exists(dir_->filePath("second_P3.png")));
}

void WindowTest::sameFileTwiceUpdatesBothRows() {
    const QString photo = makeImage(dir_->filePath("twice.png"));
    QVERIFY(!photo.isEmpty());
    auto d = launch();
    dropOn(d->dropView(), urlsOf({photo, photo}));
    WAIT_FOR_BATCH(*d);
    QCOMPARE(d->entries().size(), std::size_t(2));
    for (const auto& row : d->entries()) {
        QCOMPARE(row.status,
                 QStringLiteral("\u2713  Tagged \u2192 Display-P3  \u2192  twice_P3.png"));
        QCOMPARE(row.outcome, std::optional(TGOutcome::fixed));
    }
}

void WindowTest::bakeShowsProgress() {
    const QString movie = makeMovie(dir_->filePath("bake.mov"), bt709());
    QVERIFY(!movie.isEmpty());
    auto d = launch();
    setSwitch(d->modeP3(), false);
    setSwitch(d->modeBake(), true);
    dropOn(d->dropView(), urlsOf({movie}));
    QCOMPARE(d->entries()[0].status, QStringLiteral("encoding\u2026  0%"));
    QVERIFY(!d->progressBar()->isHidden());
    QCOMPARE(d->progressBar()->value(), 0);
    WAIT_FOR_BATCH(*d);
    QVERIFY(d->progressBar()->isHidden());
    QCOMPARE(d->progressBar()->value(), 0);
    QCOMPARE(d->entries()[0].outcome, std::optional(TGOutcome::added));

    // A report for the second of four files moves that row and the bar.
    setSwitch(d->modeBake(), false);
    d->addFiles(urlsOf({"/x/1.mov", "/x/2.mov", "/x/3.mov", "/x/4.mov"}));
    d->batchProgress(1, 0.426, 4);
    QCOMPARE(d->entries()[1].status, QStringLiteral("encoding\u2026  42%"));
    QCOMPARE(d->entries()[0].status, NO_MODE.trimmed());
    QCOMPARE(d->progressBar()->value(), qRound((0.426 + 1) / 4 * d->progressBar()->maximum()));
    QTRY_COMPARE(blockTexts(d->textView()->document())[3],
                 QStringLiteral("     encoding\u2026  42%"));
    // A broken report neither crashes nor shows nonsense; one for a row that is not there only
    // moves the bar.
    d->batchProgress(2, std::numeric_limits<double>::quiet_NaN(), 4);
    QCOMPARE(d->entries()[2].status, QStringLiteral("encoding\u2026  0%"));
    d->batchProgress(9, 0.5, 4);
    QCOMPARE(d->entries().size(), std::size_t(4));
}

void WindowTest::closingTheDelegateMidBatchIsSafe() {
    QStringList movies;
    for (int k = 0; k < 3; ++k) {
        movies << makeMovie(dir_->filePath(QStringLiteral("m%1.mov").arg(k)), bt709());
        QVERIFY(!movies.last().isEmpty());
    }
    auto d = launch();
    setSwitch(d->modeBake(), true);
    dropOn(d->dropView(), urlsOf(movies));
    QVERIFY(d->working());
    d.reset(); // the window goes while the worker runs; it stops after its current step
    QTRY_VERIFY_WITH_TIMEOUT(!batchRunning(), BATCH_TIMEOUT_MS);
    QCoreApplication::processEvents(); // any late post finds no one
}

void WindowTest::rendering() {
    auto d = launch();
    QWidget* view = content(*d);
    auto at = [](const QImage& image, QPoint p) { return image.pixelColor(p).toRgb(); };
    auto close = [](const QColor& a, const QColor& b) {
        return std::abs(a.red() - b.red()) <= 2 && std::abs(a.green() - b.green()) <= 2 &&
               std::abs(a.blue() - b.blue()) <= 2;
    };
    const QImage image = view->grab().toImage();
    QCOMPARE(image.deviceIndependentSize(), QSizeF(600, 820));
    const double r = image.devicePixelRatio();
    auto px = [&](int x, int y) { return at(image, QPoint(int(x * r), int(y * r))); };
    QCOMPARE(px(5, 100), QColor(Qt::white)); // no header image: white
    QCOMPARE(px(590, 810), QColor(Qt::white));
    QVERIFY2(close(px(60, 300), DropView::REST.toRgb()), qPrintable(px(60, 300).name()));
    QVERIFY(close(px(45, 500), C_card)); // options card background
    // The copy switch on (track at its left), the others off (grey track at their right).
    const QPoint p3 = d->modeP3()->mapTo(view, QPoint(6, 11));
    QVERIFY2(close(px(p3.x(), p3.y()), ToggleSwitch::ON_COLOR),
             qPrintable(px(p3.x(), p3.y()).name()));
    const QPoint bake = d->modeBake()->mapTo(view, QPoint(31, 11));
    QVERIFY(close(px(bake.x(), bake.y()), ToggleSwitch::OFF_COLOR));

    // Lit while files hover: C_violetBG at half strength over white.
    QMimeData files;
    files.setUrls({urlOf("/x/a.mov")});
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(d->dropView(), &enter);
    const QImage lit = view->grab().toImage();
    // (The purple glow shows through the translucent fill too, as a layer shadow does.)
    const QColor got = at(lit, QPoint(int(60 * r), int(300 * r)));
    QVERIFY2(got.blue() >= 250 && got.green() <= 245 && got.red() <= 247 && got.red() >= 225,
             qPrintable(got.name()));
    // A click flips a switch, and the picture with it.
    QTest::mouseClick(d->modeBake(), Qt::LeftButton);
    const QImage flipped = view->grab().toImage();
    QVERIFY(close(at(flipped, QPoint(int(bake.x() * r) - int(25 * r), int(bake.y() * r))),
                  ToggleSwitch::ON_COLOR));
}

void WindowTest::aboutShowsNameAndVersion() {
    auto d = launch();
    d->window()->menuBar()->actions()[0]->menu()->actions()[0]->trigger();
    auto* box = d->window()->findChild<QMessageBox*>();
    QVERIFY(box && box->isVisible());
    QVERIFY(box->text().contains(QStringLiteral("Tintguard")));
    QVERIFY(box->text().contains(QStringLiteral(TG_VERSION)));
    box->close();
}

void WindowTest::closingTheWindowQuits() {
    auto d = launch();
    QTimer::singleShot(0, d->window(), [&] { d->window()->close(); });
    // A safety net, not a measurement: without the quit the test would hang.
    QTimer safety;
    safety.setSingleShot(true);
    connect(&safety, &QTimer::timeout, qApp, [] { QCoreApplication::exit(3); });
    safety.start(20000);
    QCOMPARE(QApplication::exec(), 0);
}

QTEST_MAIN(WindowTest)
#include "window_test.moc"

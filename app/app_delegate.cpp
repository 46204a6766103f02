#include "app/app_delegate.h"

#include "app/batch.h"
#include "app/drop_view.h"
#include "app/mailbox.h"
#include "app/reveal.h"
#include "app/toggle_switch.h"
#include "app/visuals.h"
#include "app/window_bands.h"
#include "pipeline/modes.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QFile>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileOpenEvent>
#include <QLabel>
#include <QLayout>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QMouseEvent>
#include <QProgressBar>
#include <QScreen>
#include <QScrollBar>
#include <QSet>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>
#include <QTextFrame>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <utility>

namespace tg {

namespace {

const QString NO_MODE_TEXT = QStringLiteral("Turn on at least one option above \u2191");
const QString WORKING_TEXT = QStringLiteral("working\u2026");
const QString ENCODING_TEXT = QStringLiteral("encoding\u2026  ");
const QString MOVING_TEXT = QStringLiteral("moving\u2026  ");
const QString FILE_TYPES =
    QStringLiteral(".mov  \u00b7  .mp4  \u00b7  .jpg  \u00b7  .png  \u00b7  .heic");
const QString BUSY_TEXT = QStringLiteral("Busy \u2014 drop again when this batch is done");
const QString QUITTING_TEXT =
    QStringLiteral("Quitting after this step \u2014 quit again to stop it now");
const QString STOPPING_TEXT = QStringLiteral("Stopping\u2026");

constexpr int WIDTH = 600;
constexpr int HEIGHT = 820;

// The text view's inset, kept with the content so it scrolls with it.
void setInset(QTextDocument* document, double horizontal, double vertical) {
    QTextFrameFormat format = document->rootFrame()->frameFormat();
    format.setLeftMargin(horizontal);
    format.setRightMargin(horizontal);
    format.setTopMargin(vertical);
    format.setBottomMargin(vertical);
    document->rootFrame()->setFrameFormat(format);
}

StyledText plain(const QString& text, const QColor& color, const QFont& font) {
    return {TextRun{text, color, font}};
}

// The open dialog's filter: every movie and image type the desktop knows.
QString mediaFilter() {
    QStringList globs;
    QSet<QString> seen;
    for (const QMimeType& type : QMimeDatabase().allMimeTypes()) {
        const QString name = type.name();
        if (!name.startsWith(QLatin1String("video/")) && !name.startsWith(QLatin1String("image/")))
            continue;
        for (const QString& glob : type.globPatterns())
            if (!seen.contains(glob)) {
                seen.insert(glob);
                globs << glob;
            }
    }
    return QStringLiteral("Movies and images (%1)").arg(globs.join(QLatin1Char(' ')));
}

QAction* addEntry(QMenu* menu, const QString& title, const QKeySequence& key) {
    QAction* action = menu->addAction(title);
    action->setShortcut(key);
    return action;
}

// Edit commands act on whatever has the keyboard focus, if it knows them.
void sendToFocus(const char* slot) {
    QWidget* focus = QApplication::focusWidget();
    if (!focus) return;
    const QByteArray signature = QByteArray(slot) + "()";
    if (focus->metaObject()->indexOfMethod(signature.constData()) >= 0)
        QMetaObject::invokeMethod(focus, slot);
}

QWidget* activeOr(QWidget* fallback) {
    QWidget* active = QApplication::activeWindow();
    return active ? active : fallback;
}

} // namespace

AppDelegate::AppDelegate()
    : reveal(revealInFileManager), mailbox_(std::make_shared<Mailbox>(this)) {
    // Open requests from the desktop (macOS) arrive as application events.
    QCoreApplication::instance()->installEventFilter(this);
}

AppDelegate::~AppDelegate() {
    // A running batch must not reach a delegate that is going.
    mailbox_->close();
    window_.reset();
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FileOpen) {
        openFiles({static_cast<QFileOpenEvent*>(event)->url()});
        return true;
    }
    // Every way to quit (menu, window button, the desktop, a signal) arrives as one of these;
    // while a batch runs, the window stays until the step in progress has ended.
    if (working_ && !quitting_) {
        const bool quit = event->type() == QEvent::Quit && watched == QCoreApplication::instance();
        const bool close = event->type() == QEvent::Close && window_ && watched == window_.get();
        if (quit || close) {
            event->ignore();
            requestQuit();
            return true;
        }
    }
    // The window moves when dragged by its background.
    if (event->type() == QEvent::MouseButtonPress && content_ && watched == content_ &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton && window_ &&
        window_->windowHandle())
        return window_->windowHandle()->startSystemMove();
    return QObject::eventFilter(watched, event);
}

void AppDelegate::finishLaunching() {
    setupMenu();
    buildWindow();
    ready_ = true;
    if (!pending_.isEmpty()) {
        const QList<QUrl> taken = std::exchange(pending_, {});
        addFiles(taken);
    }
}

void AppDelegate::openFiles(const QList<QUrl>& urls) {
    if (!ready_) {
        pending_ << urls;
        return;
    }
    addFiles(urls);
}

// Files and folders this program can work on; folders are walked by the worker, since a large
// tree must not hold up the window.
QList<QUrl> AppDelegate::acceptable(const QList<QUrl>& urls) const {
    QList<QUrl> accepted;
    for (const QUrl& url : urls) {
        if (!url.isLocalFile()) continue;
        const std::filesystem::path path(QFile::encodeName(url.toLocalFile()).toStdString());
        if (isMovie(path) || isImage(path) || QFileInfo(url.toLocalFile()).isDir()) accepted << url;
    }
    return accepted;
}

bool AppDelegate::refuseWhileWorking() {
    if (!working_) return false;
    // Taken files would be lost from sight: say so instead, until the batch is done.
    if (!control_ || !control_->stop.load()) showDropLine(BUSY_TEXT);
    return true;
}

void AppDelegate::addFiles(const QList<QUrl>& urls) {
    if (refuseWhileWorking()) return;
    const QList<QUrl> accepted = acceptable(urls);
    if (accepted.isEmpty()) return;

    const std::vector<TGMode> modes = selectedModes();
    entries_.clear();
    if (modes.empty()) {
        for (const QUrl& url : accepted)
            entries_.push_back({url, NO_MODE_TEXT, std::nullopt, {}});
        renderList();
        return;
    }
    const bool hasBake = std::find(modes.begin(), modes.end(), TGMode::bake) != modes.end();
    showRows(accepted, hasBake ? ENCODING_TEXT + QStringLiteral("0%") : WORKING_TEXT);
    if (hasBake && progressBar_) {
        setProgress(0);
        progressBar_->show();
    }
    startBatch(accepted, modes, mailbox_, workerReports(), control_);
}

void AppDelegate::inspectFiles(const QList<QUrl>& urls) {
    if (refuseWhileWorking()) return;
    const QList<QUrl> accepted = acceptable(urls);
    if (accepted.isEmpty()) return;
    showRows(accepted, WORKING_TEXT);
    startInspect(accepted, mailbox_, workerReports(), control_);
}

void AppDelegate::showRows(const QList<QUrl>& files, const QString& placeholder) {
    entries_.clear();
    for (const QUrl& url : files)
        entries_.push_back({url, placeholder, std::nullopt, {}});
    renderList();
    working_ = true;
    control_ = std::make_shared<BatchControl>();
}

BatchReports AppDelegate::workerReports() {
    BatchReports reports;
    reports.listed = [this](QList<QUrl> files) { batchListed(files); };
    reports.progress = [this](int i, ProgressPhase phase, double f, double total) {
        batchProgress(i, phase, f, total);
    };
    reports.fileDone = [this](int i, QString text, QString detail, std::optional<TGOutcome> soFar,
                              double total) { fileDone(i, text, detail, soFar, total); };
    reports.ended = [this](QList<QUrl> produced) { batchEnded(produced); };
    return reports;
}

void AppDelegate::requestQuit() {
    if (!working_ || !control_) {
        quitting_ = true;
        QCoreApplication::quit();
        return;
    }
    if (!control_->stop.exchange(true)) {
        showDropLine(QUITTING_TEXT);
        return;
    }
    control_->cancel = true;
    showDropLine(STOPPING_TEXT);
}

void AppDelegate::showDropLine(const QString& text) {
    if (dropLine_) dropLine_->setText(text);
}

// One row per file the folders gave, each with the placeholder the batch started with.
void AppDelegate::batchListed(const QList<QUrl>& files) {
    const QString placeholder = entries_.empty() ? WORKING_TEXT : entries_.front().status;
    entries_.clear();
    for (const QUrl& url : files)
        entries_.push_back({url, placeholder, std::nullopt, {}});
    renderSoon();
}

std::vector<TGMode> AppDelegate::selectedModes() const {
    const auto checked = [](const auto& toggle) { return toggle && toggle->isChecked(); };
    return orderedModes(checked(modeInPlace_), checked(modeP3_), checked(modeBake_));
}

void AppDelegate::setProgress(double value) {
    if (!progressBar_) return;
    const double clamped = std::isnan(value) ? 0.0 : std::clamp(value, 0.0, 1.0);
    progressBar_->setValue(int(std::lround(clamped * progressBar_->maximum())));
}

// Rows are matched by position, so a file dropped twice has both its rows updated. A large move
// shows the bar too, in a batch without a bake where it starts hidden.
void AppDelegate::batchProgress(int i, ProgressPhase phase, double f, double total) {
    const double fraction = std::isnan(f) ? 0.0 : std::clamp(f, 0.0, 1.0);
    setProgress((fraction + i) / total);
    if (progressBar_ && working_) progressBar_->show();
    if (i < 0 || std::size_t(i) >= entries_.size()) return;
    const QString& word = phase == ProgressPhase::moving ? MOVING_TEXT : ENCODING_TEXT;
    entries_[std::size_t(i)].status = word + QString::number(int(fraction * 100)) + u'%';
    renderSoon();
}

void AppDelegate::fileDone(int i, const QString& text, const QString& detail,
                           std::optional<TGOutcome> soFar, double total) {
    if (i >= 0 && std::size_t(i) < entries_.size()) {
        entries_[std::size_t(i)].status = text;
        entries_[std::size_t(i)].outcome = soFar;
        entries_[std::size_t(i)].detail = detail;
    }
    setProgress((i + 1) / total);
    renderSoon();
}

void AppDelegate::batchEnded(const QList<QUrl>& produced) {
    working_ = false;
    const bool quit = control_ && control_->stop.load();
    control_.reset();
    if (renderPending_) renderList();
    if (progressBar_) {
        progressBar_->hide();
        setProgress(0);
    }
    showDropLine(FILE_TYPES);
    if (quit) {
        // The step the quit waited for has ended: now go, without opening a file manager.
        quitting_ = true;
        if (window_) window_->close();
        QCoreApplication::quit();
        return;
    }
    if (!produced.isEmpty() && reveal) reveal(produced);
}

// Reports that arrive together are drawn once: a batch of many small files would otherwise
// rebuild a long list for every file.
void AppDelegate::renderSoon() {
    if (renderPending_) return;
    renderPending_ = true;
    QTimer::singleShot(0, this, [this] {
        if (renderPending_) renderList();
    });
}

void AppDelegate::renderList() {
    renderPending_ = false;
    if (!textView_) return;
    QTextDocument* document = textView_->document();
    const int scrolled = textView_->verticalScrollBar()->value();
    document->clear();
    QTextCursor cursor(document);
    if (!entries_.empty()) {
        setInset(document, 10, 8);
        const QFont nameFont = monoFont(12, QFont::Medium);
        const QFont statusFont = monoFont(12, QFont::Normal);
        for (const Entry& row : entries_) {
            const QString name = QFileInfo(row.url.toLocalFile()).fileName();
            insertStyled(cursor, plain(QStringLiteral("\u2022  ") + name + u'\n', C_ink, nameFont),
                         row.detail);
            insertStyled(cursor,
                         plain(QStringLiteral("     ") + row.status + u'\n', colorFor(row.outcome),
                               statusFont),
                         row.detail);
        }
    } else {
        setInset(document, 10, 28);
        QTextBlockFormat centred;
        centred.setAlignment(Qt::AlignHCenter);
        cursor.setBlockFormat(centred);
        const QFont regular = roundedFont(13, QFont::Normal);
        StyledText welcome =
            plain(QStringLiteral("\u2726  "), C_purple, roundedFont(13, QFont::DemiBold));
        welcome << TextRun{QStringLiteral("Drop a video or photo and Tintguard matches its color "),
                           C_sub, regular};
        welcome << rainbowAttr(QStringLiteral("everywhere"), regular);
        welcome << TextRun{QStringLiteral("."), C_sub, regular};
        insertStyled(cursor, welcome);
    }
    textView_->verticalScrollBar()->setValue(scrolled);
}

void AppDelegate::choose() {
    auto* dialog = new QFileDialog(window_.get());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::NonModal);
    dialog->setFileMode(QFileDialog::ExistingFiles);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setNameFilter(mediaFilter());
    connect(dialog, &QDialog::accepted, this, [this, dialog] { addFiles(dialog->selectedUrls()); });
    dialog->show();
}

// Files and folders at once: the dialog's own button would enter a chosen folder instead of
// returning it, so its button is taken over (a double click still enters a folder).
void AppDelegate::chooseToInspect() {
    if (refuseWhileWorking()) return;
    auto* dialog = new QFileDialog(window_.get(), QStringLiteral("Inspect"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::NonModal);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setFileMode(QFileDialog::ExistingFiles);
    dialog->setNameFilter(mediaFilter());
    dialog->setLabelText(QFileDialog::Accept, QStringLiteral("Inspect"));
    if (auto* buttons = dialog->findChild<QDialogButtonBox*>()) {
        disconnect(buttons, &QDialogButtonBox::accepted, dialog, nullptr);
        connect(buttons, &QDialogButtonBox::accepted, this, [this, dialog] {
            const QList<QUrl> chosen = dialog->selectedUrls();
            dialog->close();
            inspectFiles(chosen);
        });
    }
    dialog->show();
}

void AppDelegate::showAbout() {
    auto* box =
        new QMessageBox(QMessageBox::NoIcon, QStringLiteral("About Tintguard"),
                        QStringLiteral("Tintguard\nVersion %1").arg(QStringLiteral(TG_VERSION)),
                        QMessageBox::Ok, window_.get());
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    if (auto icon = loadAsset(QStringLiteral("appicon_gpt_256"), QStringLiteral("png")))
        box->setIconPixmap(icon->scaled(64, 64, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    box->show();
}

void AppDelegate::setupMenu() {
    menuBar_ = std::make_unique<QMenuBar>();
    QMenu* appMenu = menuBar_->addMenu(QStringLiteral("Tintguard"));
    QAction* about = addEntry(appMenu, QStringLiteral("About Tintguard"), {});
    about->setMenuRole(QAction::AboutRole);
    connect(about, &QAction::triggered, this, &AppDelegate::showAbout);
    appMenu->addSeparator();
    // No desktop here has an application-wide hide; minimising is its nearest kin.
    connect(addEntry(appMenu, QStringLiteral("Hide Tintguard"), QKeySequence(Qt::CTRL | Qt::Key_H)),
            &QAction::triggered, this, [this] {
                if (window_) window_->showMinimized();
            });
    appMenu->addSeparator();
    QAction* quit =
        addEntry(appMenu, QStringLiteral("Quit Tintguard"), QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit->setMenuRole(QAction::QuitRole);
    connect(quit, &QAction::triggered, this, &AppDelegate::requestQuit, Qt::QueuedConnection);
    appMenu->addSeparator();
    QAction* inspect =
        addEntry(appMenu, QStringLiteral("Inspect\u2026"), QKeySequence(Qt::CTRL | Qt::Key_I));
    inspect->setObjectName(QStringLiteral("inspect"));
    connect(inspect, &QAction::triggered, this, &AppDelegate::chooseToInspect);

    QMenu* edit = menuBar_->addMenu(QStringLiteral("Edit"));
    const std::pair<const char*, const char*> editEntries[] = {
        {"Cut", "cut"}, {"Copy", "copy"}, {"Paste", "paste"}, {"Select All", "selectAll"}};
    const Qt::Key editKeys[] = {Qt::Key_X, Qt::Key_C, Qt::Key_V, Qt::Key_A};
    for (int k = 0; k < 4; ++k) {
        const char* slot = editEntries[k].second;
        connect(addEntry(edit, QString::fromLatin1(editEntries[k].first),
                         QKeySequence(Qt::CTRL | editKeys[k])),
                &QAction::triggered, this, [slot] { sendToFocus(slot); });
    }

    QMenu* windowMenu = menuBar_->addMenu(QStringLiteral("Window"));
    connect(addEntry(windowMenu, QStringLiteral("Minimize"), QKeySequence(Qt::CTRL | Qt::Key_M)),
            &QAction::triggered, this, [this] {
                if (QWidget* w = activeOr(window_.get())) w->showMinimized();
            });
    connect(addEntry(windowMenu, QStringLiteral("Close"), QKeySequence(Qt::CTRL | Qt::Key_W)),
            &QAction::triggered, this, [this] {
                if (QWidget* w = activeOr(window_.get())) w->close();
            });
}

void AppDelegate::buildWindow() {
    window_ = std::make_unique<QMainWindow>();
    if (menuBar_) window_->setMenuBar(menuBar_.release());

    content_ = new QWidget;
    content_->setObjectName(QStringLiteral("content"));
    content_->setFixedSize(WIDTH, HEIGHT);
    content_->setAutoFillBackground(true);
    QPalette white = content_->palette();
    white.setColor(QPalette::Window, Qt::white);
    content_->setPalette(white);
    window_->setCentralWidget(content_);
    window_->layout()->setSizeConstraint(QLayout::SetFixedSize); // not resizable

    addHeaderBand(content_);
    const DropBand drop = addDropBand(content_, FILE_TYPES);
    dropView_ = drop.view;
    dropLine_ = drop.line;
    connect(dropView_, &DropView::filesDropped, this, &AppDelegate::addFiles);
    connect(dropView_, &DropView::clicked, this, &AppDelegate::choose);
    const ModeSwitches modes = addOptionsBand(content_);
    modeP3_ = modes.copy;
    modeInPlace_ = modes.inPlace;
    modeBake_ = modes.bake;
    progressBar_ = addProgressBar(content_);
    textView_ = addResultsBand(content_);
    addFooter(content_);

    // Centred once; the desktop may place it elsewhere (Wayland always does).
    window_->adjustSize();
    if (QScreen* screen = window_->screen())
        window_->move(screen->availableGeometry().center() - window_->rect().center());
    window_->show();
    window_->raise();
    window_->activateWindow();
    renderList();
}

} // namespace tg

// The application's one delegate: it builds the window, takes open requests, runs batches and
// keeps the result list. Everything here lives on the GUI thread.
#pragma once

#include "app/drop_view.h"
#include "app/toggle_switch.h"
#include "model/job.h"
#include "pipeline/progress.h"

#include <QLabel>
#include <QList>
#include <QMainWindow>
#include <QObject>
#include <QPointer>
#include <QProgressBar>
#include <QString>
#include <QTextEdit>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QMenuBar;

namespace tg {

class Mailbox;
struct BatchControl;
struct BatchReports;

class AppDelegate : public QObject {
    Q_OBJECT
public:
    // One row of the result list.
    struct Entry {
        QUrl url;
        QString status;
        std::optional<TGOutcome> outcome;
        QString detail; // why, when the runs say: the row's tooltip
    };

    AppDelegate();
    ~AppDelegate() override;

    // Launching has finished: menu, window, then the files asked for meanwhile.
    void finishLaunching();
    // An open request: held in pending until the window exists, then straight to addFiles.
    void openFiles(const QList<QUrl>& urls);

    // Files and folders; while a batch runs they are refused with a busy line in the drop zone.
    void addFiles(const QList<QUrl>& urls);
    std::vector<TGMode> selectedModes() const;
    void renderList();
    // The open dialog; its choice goes to addFiles.
    void choose();
    // Files and folders looked at without changing anything, in the batch's rows: each says what
    // it states of its colour, marked with the outcome an in-place run would give. Refused like
    // a drop while a batch runs.
    void inspectFiles(const QList<QUrl>& urls);
    // The dialog behind "Inspect…"; its choice goes to inspectFiles.
    void chooseToInspect();

    // A quit from the menu, the window or the desktop. While a batch runs the first lets the step
    // in progress finish and then quits, with the window still showing its progress; a second
    // also cancels that step.
    void requestQuit();

    // The batch worker's reports.
    void batchListed(const QList<QUrl>& files);
    void batchProgress(int i, ProgressPhase phase, double f, double total);
    void fileDone(int i, const QString& text, const QString& detail, std::optional<TGOutcome> soFar,
                  double total);
    void batchEnded(const QList<QUrl>& produced);

    // How produced files are shown; replaceable so a test can record instead.
    std::function<void(const QList<QUrl>&)> reveal;

    const std::vector<Entry>& entries() const { return entries_; }
    bool ready() const { return ready_; }
    bool working() const { return working_; }
    const QList<QUrl>& pending() const { return pending_; }
    QMainWindow* window() const { return window_.get(); }
    QTextEdit* textView() const { return textView_; }
    QProgressBar* progressBar() const { return progressBar_; }
    ToggleSwitch* modeInPlace() const { return modeInPlace_; }
    ToggleSwitch* modeP3() const { return modeP3_; }
    ToggleSwitch* modeBake() const { return modeBake_; }
    DropView* dropView() const { return dropView_; }
    // The drop zone's bottom line: the file types, or why nothing is taken now.
    QLabel* dropLine() const { return dropLine_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void setupMenu();
    void buildWindow();
    void showAbout();
    void setProgress(double value);
    void renderSoon();
    void showDropLine(const QString& text);
    QList<QUrl> acceptable(const QList<QUrl>& urls) const;
    // While a batch runs, says so in the drop zone and returns true.
    bool refuseWhileWorking();
    // A row per file with its placeholder, and the batch under way.
    void showRows(const QList<QUrl>& files, const QString& placeholder);
    BatchReports workerReports();

    std::unique_ptr<QMenuBar> menuBar_; // until the window takes it
    std::unique_ptr<QMainWindow> window_;
    QWidget* content_ = nullptr;
    QPointer<QTextEdit> textView_;
    QPointer<QProgressBar> progressBar_;
    QPointer<ToggleSwitch> modeInPlace_;
    QPointer<ToggleSwitch> modeP3_;
    QPointer<ToggleSwitch> modeBake_;
    QPointer<DropView> dropView_;
    QPointer<QLabel> dropLine_;
    std::vector<Entry> entries_;
    bool ready_ = false;
    QList<QUrl> pending_;
    bool working_ = false;
    bool quitting_ = false; // the batch has stopped for a quit: let it through
    std::shared_ptr<BatchControl> control_;
    bool renderPending_ = false;
    std::shared_ptr<Mailbox> mailbox_;
};

} // namespace tg

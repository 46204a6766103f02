// The batch worker and the result list's per-outcome tables.
#pragma once

#include "model/job.h"
#include "pipeline/progress.h"

#include <QColor>
#include <QList>
#include <QString>
#include <QUrl>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace tg {

class Mailbox;

// The outcome that speaks for a file after several modes: the higher rank wins, ties go to the
// later one (error 4 > fixed = added 3 > hdr = skipped 2 > already 1).
TGOutcome mergeOutcome(std::optional<TGOutcome> soFar, TGOutcome next);
QString symbol(TGOutcome outcome);
QColor colorFor(std::optional<TGOutcome> outcome);

// What the window tells one batch's worker; set on the GUI thread, read by the worker.
struct BatchControl {
    std::atomic<bool> stop{false};   // start no further step
    std::atomic<bool> cancel{false}; // and end the one in progress (a bake's re-encode)
};

// What the worker reports; each runs on the GUI thread, in the order sent.
struct BatchReports {
    // The dropped folders are walked: these files, in this order, are what the batch runs.
    std::function<void(QList<QUrl> files)> listed;
    // Fraction f of file i's (of total) bake encode or large in-place move is done.
    std::function<void(int i, ProgressPhase phase, double f, double total)> progress;
    // File i is finished: its status lines, the causes behind them, and its merged outcome.
    std::function<void(int i, QString text, QString detail, std::optional<TGOutcome> soFar,
                       double total)>
        fileDone;
    // Every file is done; these were changed or made by fixed or added runs.
    std::function<void(QList<QUrl> produced)> ended;
};

// Runs every file through every mode, one at a time, on a worker thread of its own; folders are
// walked there first. Reports go through home; once home is closed, or control says stop, the
// worker ends after the step it is in (ended is still reported).
void startBatch(QList<QUrl> files, std::vector<TGMode> modes, std::shared_ptr<Mailbox> home,
                BatchReports reports, std::shared_ptr<BatchControl> control);

// Looks at every file as startBatch runs it: its row tells what it says of its colour and, by its
// mark, what an in-place run would do. Nothing is written and no leftover is cleared.
void startInspect(QList<QUrl> files, std::shared_ptr<Mailbox> home, BatchReports reports,
                  std::shared_ptr<BatchControl> control);

// Whether any batch worker is still running (for a quit in the middle of a batch).
bool batchRunning();
// Blocks until every worker has finished the step it is in and stopped.
void waitForBatches();

} // namespace tg

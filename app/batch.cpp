#include "app/batch.h"

#include "app/mailbox.h"
#include "app/visuals.h"
#include "pipeline/colour_report.h"
#include "pipeline/driver.h"
#include "pipeline/inputs.h"
#include "pipeline/leftovers.h"

#include <QFile>

#include <atomic>
#include <cmath>
#include <exception>
#include <functional>
#include <thread>

namespace tg {

namespace {

std::atomic<int> runningWorkers{0};

int rank(TGOutcome outcome) {
    switch (outcome) {
    case TGOutcome::error:
        return 4;
    case TGOutcome::fixed:
    case TGOutcome::added:
        return 3;
    case TGOutcome::hdr:
    case TGOutcome::skipped:
        return 2;
    case TGOutcome::already:
        return 1;
    }
    return 0;
}

std::filesystem::path localPath(const QUrl& url) {
    return std::filesystem::path(QFile::encodeName(url.toLocalFile()).toStdString());
}

QUrl fileUrl(const std::filesystem::path& path) {
    return QUrl::fromLocalFile(QFile::decodeName(QByteArray::fromStdString(path.native())));
}

// processOne never throws by contract; anything that still escapes becomes that run's error
// line instead of ending the program.
TGResult processSafely(const Input& input, TGMode mode, const ProgressFn& progress,
                       const std::atomic<bool>* cancel, SweptFolders& swept) {
    const std::string name = input.path.filename().string();
    try {
        return processInput(input, mode, progress, cancel, &swept);
    } catch (const std::exception& e) {
        return {name, TGOutcome::error, std::string("Failed: ") + e.what()};
    } catch (...) {
        return {name, TGOutcome::error, "Failed"};
    }
}

// The given files and folders as the files to run; the rows follow when folders changed them.
std::vector<Input> listInputs(const QList<QUrl>& given, const std::shared_ptr<Mailbox>& home,
                              const BatchReports& reports) {
    std::vector<std::filesystem::path> paths;
    for (const QUrl& url : given)
        paths.push_back(localPath(url));
    std::vector<Input> inputs;
    try {
        inputs = expandInputs(paths);
    } catch (const std::exception&) { // out of memory on a vast tree: run what was named
        for (const auto& path : paths)
            inputs.push_back({path, std::nullopt, {}, {}});
    }
    QList<QUrl> files;
    for (const Input& input : inputs)
        files << fileUrl(input.path);
    if (files != given) home->post([=] { reports.listed(files); });
    return inputs;
}

// One file's row when it is done; stopped when the batch ended before it.
struct FileReport {
    bool stopped = false;
    QString text, detail;
    std::optional<TGOutcome> outcome;
};
// File i of total.
using FileWork = std::function<FileReport(int i, double total, const Input& input)>;

// Every file through work, one at a time; rows are reported as each ends.
void runFiles(const QList<QUrl>& given, const std::shared_ptr<Mailbox>& home,
              const BatchReports& reports, const std::function<QList<QUrl>()>& produced,
              const FileWork& work) {
    const std::vector<Input> inputs = listInputs(given, home, reports);
    const double total = double(inputs.size());
    for (int i = 0; i < int(inputs.size()); ++i) {
        const FileReport r = work(i, total, inputs[std::size_t(i)]);
        if (r.stopped) break;
        home->post([=] { reports.fileDone(i, r.text, r.detail, r.outcome, total); });
    }
    home->post([=, made = produced()] { reports.ended(made); });
}

// Every mode on every file; a file's row merges its modes' outcomes.
void runModes(const QList<QUrl>& given, const std::vector<TGMode>& modes,
              const std::shared_ptr<Mailbox>& home, const BatchReports& reports,
              const BatchControl& control) {
    QList<QUrl> produced;
    SweptFolders swept; // each folder is cleared of leftovers once per batch
    const FileWork work = [&](int i, double total, const Input& input) {
        FileReport report;
        QStringList lines, details;
        for (TGMode mode : modes) {
            // The window is gone or quitting: no further step starts.
            if (!home->isOpen() || control.stop.load()) return FileReport{true, {}, {}, {}};
            // A bake reports every frame; the list and the bar show no finer than a permille.
            std::atomic<int> shown{-1};
            const ProgressFn onProgress = [&](ProgressPhase phase, double f) {
                const double clamped = std::isnan(f) ? 0.0 : std::clamp(f, 0.0, 1.0);
                const int step = int(clamped * 1000) + (phase == ProgressPhase::moving ? 2000 : 0);
                if (shown.exchange(step) == step) return;
                home->post([=] { reports.progress(i, phase, clamped, total); });
            };
            const TGResult r = processSafely(input, mode, onProgress, &control.cancel, swept);
            if (r.produced && (r.outcome == TGOutcome::fixed || r.outcome == TGOutcome::added))
                produced << fileUrl(*r.produced);
            lines << symbol(r.outcome) + QStringLiteral("  ") + QString::fromStdString(r.message);
            if (r.detail) details << QString::fromStdString(*r.detail);
            report.outcome = mergeOutcome(report.outcome, r.outcome);
        }
        report.text = lines.join(QStringLiteral("\n     "));
        report.detail = details.join(u'\n');
        return report;
    };
    runFiles(given, home, reports, [&] { return produced; }, work);
}

// What an in-place run would do to every file, and what each says of its colour; nothing is
// written, no leftover cleared.
void runInspect(const QList<QUrl>& given, const std::shared_ptr<Mailbox>& home,
                const BatchReports& reports, const BatchControl& control) {
    const FileWork work = [&](int, double, const Input& input) {
        if (!home->isOpen() || control.stop.load()) return FileReport{true, {}, {}, {}};
        FileReport report;
        Inspection in;
        try {
            in = inspectInput(input);
        } catch (const std::exception& e) {
            in.result = {input.path.filename().string(), TGOutcome::error,
                         std::string("Failed: ") + e.what()};
        }
        QStringList lines;
        for (const auto& line : colourLines(in))
            lines << QString::fromStdString(line);
        const bool looked = in.kind != Inspection::Kind::other && in.readable;
        lines << QString::fromStdString(looked ? inPlaceLine(in)
                                               : outcomeSymbol(in.result.outcome) +
                                                     std::string("  ") + in.result.message);
        report.text = lines.join(QStringLiteral("\n     "));
        report.detail = QString::fromStdString(in.result.detail.value_or(""));
        report.outcome = in.result.outcome;
        return report;
    };
    runFiles(given, home, reports, [] { return QList<QUrl>(); }, work);
}

} // namespace

TGOutcome mergeOutcome(std::optional<TGOutcome> soFar, TGOutcome next) {
    if (!soFar) return next;
    return rank(*soFar) > rank(next) ? *soFar : next;
}

QString symbol(TGOutcome outcome) {
    return QString::fromUtf8(outcomeSymbol(outcome));
}

QColor colorFor(std::optional<TGOutcome> outcome) {
    if (!outcome) return C_sub;
    switch (*outcome) {
    case TGOutcome::fixed:
    case TGOutcome::added:
        return SYSTEM_GREEN;
    case TGOutcome::already:
        return C_sub;
    case TGOutcome::hdr:
    case TGOutcome::skipped:
        return SYSTEM_ORANGE;
    case TGOutcome::error:
        return SYSTEM_RED;
    }
    return C_sub;
}

namespace {

// Runs body on a worker thread of its own, counted until it ends.
void startWorker(std::function<void()> body) {
    ++runningWorkers;
    std::thread([body = std::move(body)] {
        body();
        --runningWorkers;
        runningWorkers.notify_all();
    }).detach();
}

} // namespace

void startBatch(QList<QUrl> files, std::vector<TGMode> modes, std::shared_ptr<Mailbox> home,
                BatchReports reports, std::shared_ptr<BatchControl> control) {
    startWorker([=] { runModes(files, modes, home, reports, *control); });
}

void startInspect(QList<QUrl> files, std::shared_ptr<Mailbox> home, BatchReports reports,
                  std::shared_ptr<BatchControl> control) {
    startWorker([=] { runInspect(files, home, reports, *control); });
}

bool batchRunning() {
    return runningWorkers.load() > 0;
}

void waitForBatches() {
    for (int n = runningWorkers.load(); n > 0; n = runningWorkers.load())
        runningWorkers.wait(n);
}

} // namespace tg

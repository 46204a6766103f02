#include "app/batch.h"

#include "app/mailbox.h"
#include "app/visuals.h"
#include "pipeline/driver.h"
#include "pipeline/inputs.h"
#include "pipeline/leftovers.h"

#include <QFile>

#include <atomic>
#include <cmath>
#include <exception>
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

void runBatch(const QList<QUrl>& given, const std::vector<TGMode>& modes,
              const std::shared_ptr<Mailbox>& home, const BatchReports& reports,
              const BatchControl& control) {
    const std::vector<Input> inputs = listInputs(given, home, reports);
    QList<QUrl> produced;
    SweptFolders swept; // each folder is cleared of leftovers once per batch
    const double total = double(inputs.size());
    for (int i = 0; i < int(inputs.size()); ++i) {
        std::optional<TGOutcome> soFar;
        QStringList lines, details;
        bool stopped = false;
        for (TGMode mode : modes) {
            // The window is gone or quitting: no further step starts.
            if (!home->isOpen() || control.stop.load()) {
                stopped = true;
                break;
            }
            // A bake reports every frame; the list and the bar show no finer than a permille.
            std::atomic<int> shown{-1};
            const ProgressFn onProgress = [&](ProgressPhase phase, double f) {
                const double clamped = std::isnan(f) ? 0.0 : std::clamp(f, 0.0, 1.0);
                const int step = int(clamped * 1000) + (phase == ProgressPhase::moving ? 2000 : 0);
                if (shown.exchange(step) == step) return;
                home->post([=] { reports.progress(i, phase, clamped, total); });
            };
            const TGResult r =
                processSafely(inputs[std::size_t(i)], mode, onProgress, &control.cancel, swept);
            if (r.produced && (r.outcome == TGOutcome::fixed || r.outcome == TGOutcome::added))
                produced << fileUrl(*r.produced);
            lines << symbol(r.outcome) + QStringLiteral("  ") + QString::fromStdString(r.message);
            if (r.detail) details << QString::fromStdString(*r.detail);
            soFar = mergeOutcome(soFar, r.outcome);
        }
        if (stopped) break;
        home->post([=, text = lines.join(QStringLiteral("\n     ")), detail = details.join(u'\n')] {
            reports.fileDone(i, text, detail, soFar, total);
        });
    }
    home->post([=] { reports.ended(produced); });
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

void startBatch(QList<QUrl> files, std::vector<TGMode> modes, std::shared_ptr<Mailbox> home,
                BatchReports reports, std::shared_ptr<BatchControl> control) {
    ++runningWorkers;
    std::thread([files = std::move(files), modes = std::move(modes), home = std::move(home),
                 reports = std::move(reports), control = std::move(control)] {
        runBatch(files, modes, home, reports, *control);
        --runningWorkers;
        runningWorkers.notify_all();
    }).detach();
}

bool batchRunning() {
    return runningWorkers.load() > 0;
}

void waitForBatches() {
    for (int n = runningWorkers.load(); n > 0; n = runningWorkers.load())
        runningWorkers.wait(n);
}

} // namespace tg

// tintguard-cli: the window's per-file driver for scripts and servers.
#include "cli/report.h"
#include "pipeline/batch.h"
#include "pipeline/colour_report.h"
#include "pipeline/driver.h"
#include "pipeline/inputs.h"
#include "pipeline/modes.h"

#include <CLI/CLI.hpp>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <string_view>
#include <thread>
#include <utility>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace tg;

namespace {

constexpr int EXIT_USAGE = 2;

// Ctrl-C, a kill or a closed terminal never cuts a step short: a movie half rewritten or a copy
// half made is what this program exists to prevent. The steps in progress finish, no further
// one starts, and the exit status is 128 + the signal's number, as a shell reports a killed
// program. A re-encode can take many minutes and its output takes its name only when complete,
// so a second signal during a bake ends the re-encode early (the bake's in-place tag, like every
// other step, still finishes). The first signal decides the exit status.
class StopSignals {
public:
    static constexpr int SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

    // Must run before any other thread starts, so that every thread inherits the blocked set and
    // only the watcher receives the signals.
    static void start() {
        sigset_t set;
        sigemptyset(&set);
        for (int s : SIGNALS)
            sigaddset(&set, s);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        // Progress on a closed pipe must fail as a write, not end the program mid-step.
        std::signal(SIGPIPE, SIG_IGN);
        std::thread(watch, set).detach();
    }

    static int first() { return first_.load(); }
    static const std::atomic<bool>* endBake() { return &endBake_; }
    static void setBaking(bool baking) { baking_ += baking ? 1 : -1; }

private:
    static void watch(sigset_t set) {
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0) continue;
            int none = 0;
            if (first_.compare_exchange_strong(none, signal)) {
                say(baking_.load() > 0
                        ? "tintguard-cli: stopping after this bake (signal again to end it now)\n"
                        : "tintguard-cli: stopping after this step\n");
            } else if (baking_.load() > 0 && !endBake_.exchange(true)) {
                say("tintguard-cli: ending the bake\n");
            }
        }
    }

    // Straight to the descriptor: the main thread may be in the middle of a progress line.
    static void say(std::string_view text) {
        if (::write(STDERR_FILENO, text.data(), text.size()) < 0) return;
    }

    static inline std::atomic<int> first_{0};
    static inline std::atomic<bool> endBake_{false};
    static inline std::atomic<int> baking_{0}; // bakes under way
};

// Reads and reports; a signal stops it between files like any other run.
int runInspect(const std::vector<Input>& inputs, bool json) {
    bool unreadable = false;
    for (const Input& input : inputs) {
        if (StopSignals::first()) break;
        const Inspection inspection = inspectInput(input);
        unreadable |= !inspection.readable;
        if (json) {
            std::cout << cli::inspectJsonLine(input.path.string(), inspection) << std::endl;
            continue;
        }
        std::cout << cli::fileLine(input.path.filename().string()) << "\n";
        for (const auto& line : cli::inspectLines(inspection))
            std::cout << line << "\n";
        std::cout << std::flush;
    }
    if (const int signal = StopSignals::first()) return 128 + signal;
    return unreadable ? 1 : 0;
}

// What the command line asks for.
struct Request {
    bool inPlace = false, copy = false, bake = false, json = false, inspect = false;
    std::vector<std::string> files;
};

// The exit status when the program ends here: help, the version, or a usage error.
std::optional<int> parseArguments(int argc, char** argv, Request& request) {
    CLI::App app{"Tags movies and photos as Display P3.\n"
                 "Modes run in the order copy, bake, in place; with no mode, --copy.\n"
                 "SIGINT, SIGTERM or SIGHUP stops after the steps in progress (exit 130, 143, "
                 "129);\na second one ends a bake's re-encode early.",
                 "tintguard-cli"};
    app.add_flag("--in-place", request.inPlace, "Tag each file where it lies");
    app.add_flag("--copy", request.copy, "Write a tagged copy beside each file (name_P3.ext)");
    app.add_flag("--bake", request.bake,
                 "Bake a BT.709 web version of each movie (name_universal.ext)");
    app.add_flag("--inspect", request.inspect,
                 "Report each file's colour tags and what --in-place would do; change nothing")
        ->excludes(app.get_option("--in-place"))
        ->excludes(app.get_option("--copy"))
        ->excludes(app.get_option("--bake"));
    app.add_flag("--json", request.json, "Print one JSON object per file and mode");
    app.set_version_flag("--version", std::string("tintguard-cli ") + TG_VERSION);
    app.add_option("files", request.files,
                   "Movies (mov, mp4, m4v, mkv, webm), photos (jpg, png, heic, hif, avif, tiff, "
                   "webp), or folders of them")
        ->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "tintguard-cli: " << e.what() << "\n"
                  << "Usage: tintguard-cli [--in-place] [--copy] [--bake] [--json] FILE...\n"
                  << "       tintguard-cli --inspect [--json] FILE...\n"
                  << "Run tintguard-cli --help for more.\n";
        return EXIT_USAGE;
    }
    return std::nullopt;
}

// Every mode on every input, files overlapping, records printed in input order; a signal stops
// it between steps. A progress line is drawn for the file whose records come next.
int runModes(const std::vector<Input>& inputs, const std::vector<TGMode>& modes, bool json) {
    const bool liveProgress = !json && ::isatty(STDERR_FILENO);
    bool anyError = false;
    std::mutex terminal;
    bool shown = false; // a progress line is on the terminal

    BatchHooks hooks;
    hooks.stop = [] { return StopSignals::first() != 0; };
    hooks.cancel = StopSignals::endBake();
    if (liveProgress)
        hooks.onProgress = [&](ProgressPhase phase, double f) {
            std::lock_guard lock(terminal);
            shown = true;
            std::cerr << "\r\033[K" << cli::progressText(phase, f) << std::flush;
        };
    hooks.onInput = [&](const Input& input, const std::vector<std::pair<TGMode, TGResult>>& done) {
        std::lock_guard lock(terminal);
        if (std::exchange(shown, false)) std::cerr << "\r\033[K" << std::flush;
        const fs::path& path = input.path;
        if (!json) std::cout << cli::fileLine(path.filename().string()) << "\n";
        for (const auto& [mode, r] : done) {
            anyError |= r.outcome == TGOutcome::error;
            if (json)
                std::cout << cli::jsonLine(path.string(), mode, r) << "\n";
            else
                std::cout << cli::modeLine(r) << "\n";
        }
        std::cout << std::flush;
    };
    // While a bake runs, a second signal ends its re-encode.
    hooks.onStep = [](const Input& input, TGMode mode, bool running) {
        if (mode == TGMode::bake && isMovie(input.path)) StopSignals::setBaking(running);
    };
    runBatch(inputs, modes, hooks);
    if (const int signal = StopSignals::first()) return 128 + signal;
    return anyError ? 1 : 0;
}

} // namespace

int main(int argc, char** argv) {
    StopSignals::start();
    Request request;
    if (const auto status = parseArguments(argc, argv, request)) return *status;

    // A file met twice would meet its own lock: it runs once.
    const std::vector<Input> inputs = withoutRepeats(
        expandInputs(std::vector<fs::path>(request.files.begin(), request.files.end())));
    if (request.inspect) return runInspect(inputs, request.json);

    if (!request.inPlace && !request.copy && !request.bake)
        request.copy = true; // the window's default mode
    return runModes(inputs, orderedModes(request.inPlace, request.copy, request.bake),
                    request.json);
}

// tintguard-cli: the window's per-file driver for scripts and servers.
#include "cli/report.h"
#include "pipeline/driver.h"
#include "pipeline/inputs.h"
#include "pipeline/modes.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace tg;

namespace {

constexpr int EXIT_USAGE = 2;

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Tags movies and photos as Display P3.\n"
                 "Modes run in the order copy, bake, in place; with no mode, --copy.",
                 "tintguard-cli"};
    bool inPlace = false, copy = false, bake = false, json = false;
    std::vector<std::string> files;
    app.add_flag("--in-place", inPlace, "Tag each file where it lies");
    app.add_flag("--copy", copy, "Write a tagged copy beside each file (name_P3.ext)");
    app.add_flag("--bake", bake, "Bake a BT.709 web version of each movie (name_universal.ext)");
    app.add_flag("--json", json, "Print one JSON object per file and mode");
    app.set_version_flag("--version", std::string("tintguard-cli ") + TG_VERSION);
    app.add_option("files", files,
                   "Movies (mov, mp4, m4v), photos (jpg, png, heic, avif, tiff), or folders of them")
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
                  << "Run tintguard-cli --help for more.\n";
        return EXIT_USAGE;
    }

    if (!inPlace && !copy && !bake) copy = true; // the window's default mode
    const auto modes = orderedModes(inPlace, copy, bake);
    const bool liveProgress = !json && ::isatty(STDERR_FILENO);
    bool anyError = false;

    const std::vector<Input> inputs =
        expandInputs(std::vector<fs::path>(files.begin(), files.end()));
    for (const Input& input : inputs) {
        const fs::path& path = input.path;
        if (!json) std::cout << cli::fileLine(path.filename().string()) << std::endl;
        for (auto mode : modes) {
            ProgressFn onProgress;
            if (liveProgress && mode == TGMode::bake)
                onProgress = [](double f) {
                    std::cerr << "\r\033[K" << cli::encodingText(f) << std::flush;
                };
            TGResult r = processInput(input, mode, onProgress);
            if (onProgress) std::cerr << "\r\033[K" << std::flush;
            anyError |= r.outcome == TGOutcome::error;
            if (json)
                std::cout << cli::jsonLine(path.string(), mode, r) << std::endl;
            else
                std::cout << cli::modeLine(r) << std::endl;
        }
    }
    return anyError ? 1 : 0;
}

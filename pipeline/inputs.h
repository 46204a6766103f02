// What a run is given, turned into the files it works on: folders are walked, files pass as named.
#pragma once

#include "model/job.h"
#include "pipeline/driver.h"

#include <atomic>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tg {

// One file to run, or a folder that gave none (then outcome, message and detail are its line).
struct Input {
    std::filesystem::path path;
    std::optional<TGOutcome> outcome;
    std::string message;
    std::string detail;
};

// Each given path in order; a folder becomes the movies and photos inside it, walked
// recursively: names in byte order, a folder's files before its subfolders. Inside a walk no
// symbolic link is followed, hidden entries are passed over, only known extensions count, and
// X_P3.ext or X_universal.ext is left out when X.ext lies beside it, so a second run makes no
// copies of copies. A folder that cannot be read, or that holds nothing to run, stays as an
// Input of its own. A path that is not a folder is passed on as named, whatever its name.
std::vector<Input> expandInputs(const std::vector<std::filesystem::path>& given);

// processOne for a file; a folder's own line otherwise.
TGResult processInput(const Input& input, TGMode mode, const ProgressFn& onProgress = {},
                      const std::atomic<bool>* cancel = nullptr, SweptFolders* swept = nullptr);

} // namespace tg

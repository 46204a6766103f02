// What a killed run leaves behind, and how the next run in the folder clears it.
#pragma once

#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace tg {

// Hidden names of files in the making: prefix + UUID + "." + extension.
inline constexpr std::string_view COPY_PREFIX = ".tg_copy_";
inline constexpr std::string_view BAKE_PREFIX = ".tg_bake_";
inline constexpr std::string_view IMAGE_PREFIX = ".tg_img_"; // the photo tagger's

// Whether a file name is one of ours in the making. In-place journals never are.
bool isLeftoverName(std::string_view name);

// Removes every leftover in folder that no live run holds, and every stale edit journal (see
// docs/edit-safety.md); returns the names of the files whose stale journals went, to be said once.
// Failures are ignored: a folder we cannot list or change keeps what it has.
std::vector<std::string> sweepLeftovers(const std::filesystem::path& folder);

// The folders one run has cleared. A batch keeps one, so that a folder of N files is listed once
// for its leftovers, not N times; a run in progress makes no leftovers of its own to sweep. Its
// workers share it: one sweeps a folder while the others wait to write there.
class SweptFolders {
public:
    // sweepLeftovers the first time this folder is met, under whatever name; nothing after that.
    std::vector<std::string> sweepOnce(const std::filesystem::path& folder);

private:
    std::mutex mutex_;
    std::set<std::pair<dev_t, ino_t>> seen_;
};

} // namespace tg

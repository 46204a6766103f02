// Asked before any mode writes: is the file really here, may its folder be written, is there room.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace tg {

// Added to every need before comparing with the free space.
inline constexpr std::int64_t FREE_SPACE_MARGIN = 100'000'000;

// What stops a write before it starts: the sentence shown, and its cause in short.
struct WriteBlock {
    std::string message;
    std::string detail;
};

// Nothing when the write may go ahead, else what blocks it.
std::optional<WriteBlock> writeBlocker(const std::filesystem::path& file, std::int64_t need);

// Cloud placeholders do not exist on this platform: always false.
bool isNotDownloaded(const std::filesystem::path& file);

// Free bytes for unprivileged users on the folder's volume; nothing when it cannot be read.
std::optional<std::int64_t> freeSpace(const std::filesystem::path& folder);

// File-style byte count: "999 bytes", "1 KB", "101 MB", "5.05 GB", "Zero KB".
std::string fmtBytes(std::int64_t n);

} // namespace tg

// Small file helpers shared by the image formats.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

namespace tg {

// The whole file in memory, or nothing when it cannot be read (or is not a regular file).
std::optional<std::vector<std::uint8_t>> readWholeFile(const std::filesystem::path& path);

// Writes all bytes at the start of an empty file descriptor; false on any short or failed write.
bool writeAll(int fd, std::span<const std::uint8_t> bytes);

} // namespace tg

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

} // namespace tg

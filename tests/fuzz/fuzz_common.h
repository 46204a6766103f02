// What the fuzz targets share: a check that stops the run where it fails, and a file read from
// bytes in memory.
#pragma once

#include "base/file.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

namespace tgfuzz {

inline void require(bool ok) {
    if (!ok) __builtin_trap();
}

// Reads `bytes` as a file would be read: short at the end, nothing past it.
inline tg::ReadAt readerOf(std::span<const std::uint8_t> bytes) {
    return [bytes](std::uint64_t at, std::span<std::uint8_t> out) -> tg::Result<std::size_t> {
        if (at > bytes.size()) return std::size_t(0);
        const std::size_t n = std::min<std::uint64_t>(out.size(), bytes.size() - at);
        // An empty span may have no storage at all, which memcpy must not be given.
        if (n != 0) std::memcpy(out.data(), bytes.data() + at, n);
        return n;
    };
}

} // namespace tgfuzz

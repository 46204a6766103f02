// What the fuzz targets share: a check that stops the run where it fails, and a file read from
// bytes in memory.
#pragma once

#include "base/file.h"
#include "model/job.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

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

// A tag only grows the file (or takes padding); anything else leaves it. A second run finds the
// tag and writes nothing, or again skips a bitstream layer that could not be rewritten.
template <class Tag> void requireTagsOnce(const std::string& path, std::size_t size, Tag tag) {
    using tg::TGOutcome;
    const auto outcome = tag(path).outcome;
    const auto grown = tg::fileSizeOf(path);
    const bool wrote = outcome == TGOutcome::added || outcome == TGOutcome::fixed;
    require(wrote ? grown >= std::int64_t(size) : grown == std::int64_t(size));
    if (!wrote) return;
    const auto again = tag(path).outcome;
    require(again == TGOutcome::already || again == TGOutcome::skipped);
    require(tg::fileSizeOf(path) == grown);
}

} // namespace tgfuzz

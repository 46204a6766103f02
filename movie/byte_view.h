// Bounded big-endian reads over byte spans for the bitstream readers (standard library only, so
// that the pieces built on it stay free of the file and atom layers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tg::view {

// Whether width bytes at off lie inside size bytes; subtracts on the side known to be safe.
constexpr bool has(std::uint64_t size, std::uint64_t off, std::uint64_t width) {
    return off <= size && width <= size - off;
}

// width (1..8) bytes at off as a big-endian number; 0 when they are not all inside d.
constexpr std::uint64_t be(std::span<const std::uint8_t> d, std::uint64_t off, unsigned width) {
    if (width > 8 || !has(d.size(), off, width)) return 0;
    std::uint64_t v = 0;
    for (unsigned i = 0; i < width; ++i)
        v = (v << 8) | d[off + i];
    return v;
}

} // namespace tg::view

// Bounded big- and little-endian readers and writers over byte spans. Every reader checks that the
// bytes lie inside the span; a violation reads as 0 (or writes nothing) rather than leaving it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

namespace tg {

using Bytes = std::span<const std::uint8_t>;
using MutableBytes = std::span<std::uint8_t>;

// A text's characters as bytes, and whether a span of bytes begins with a text.
inline Bytes asBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}
inline bool startsWith(Bytes b, std::string_view prefix) {
    return b.size() >= prefix.size() && std::memcmp(b.data(), prefix.data(), prefix.size()) == 0;
}

// Whether width bytes at off lie inside a range of the given size (never wraps).
constexpr bool fits(std::uint64_t size, std::uint64_t off, std::uint64_t width) {
    return off <= size && width <= size - off;
}

constexpr std::uint64_t readUnsigned(Bytes d, std::uint64_t off, unsigned width,
                                     bool bigEndian = true) {
    if (!fits(d.size(), off, width)) return 0;
    std::uint64_t v = 0;
    for (unsigned i = 0; i < width; ++i)
        v = (v << 8) | d[off + (bigEndian ? i : width - 1 - i)];
    return v;
}

constexpr void writeUnsigned(MutableBytes d, std::uint64_t off, unsigned width, std::uint64_t v) {
    if (!fits(d.size(), off, width)) return;
    for (unsigned i = 0; i < width; ++i)
        d[off + width - 1 - i] = std::uint8_t(v >> (8 * i));
}

constexpr std::uint16_t u16(Bytes d, std::uint64_t off) {
    return std::uint16_t(readUnsigned(d, off, 2));
}
constexpr std::uint32_t u32(Bytes d, std::uint64_t off) {
    return std::uint32_t(readUnsigned(d, off, 4));
}
constexpr std::uint64_t u64(Bytes d, std::uint64_t off) {
    return readUnsigned(d, off, 8);
}
constexpr void wU16(MutableBytes d, std::uint64_t off, std::uint16_t v) {
    writeUnsigned(d, off, 2, v);
}
constexpr void wU32(MutableBytes d, std::uint64_t off, std::uint32_t v) {
    writeUnsigned(d, off, 4, v);
}
constexpr void wU64(MutableBytes d, std::uint64_t off, std::uint64_t v) {
    writeUnsigned(d, off, 8, v);
}

// The page size every aligned write and cache hint of the edits assumes.
inline constexpr std::uint64_t PAGE_BYTES = 4096;

// v rounded up to a multiple of unit (unit > 0).
constexpr std::uint64_t roundUp(std::uint64_t v, std::uint64_t unit) {
    return (v + unit - 1) / unit * unit;
}

// The four bytes at off as text; empty when any byte is not ASCII or they do not fit.
std::string fourCC(Bytes d, std::uint64_t off);

} // namespace tg

#include "base/checksum.h"

#include <cstring>

namespace tg {

namespace {

constexpr std::uint64_t P1 = 0x9E3779B185EBCA87ull;
constexpr std::uint64_t P2 = 0xC2B2AE3D27D4EB4Full;
constexpr std::uint64_t P3 = 0x165667B19E3779F9ull;
constexpr std::uint64_t P4 = 0x85EBCA77C2B2AE63ull;
constexpr std::uint64_t P5 = 0x27D4EB2F165667C5ull;

constexpr std::uint64_t rotl(std::uint64_t v, int r) {
    return (v << r) | (v >> (64 - r));
}

// Little-endian loads, as the algorithm defines them, on any host.
std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

std::uint32_t load32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

constexpr std::uint64_t round(std::uint64_t acc, std::uint64_t input) {
    return rotl(acc + input * P2, 31) * P1;
}

constexpr std::uint64_t merge(std::uint64_t acc, std::uint64_t v) {
    return (acc ^ round(0, v)) * P1 + P4;
}

} // namespace

std::uint64_t checksum64(Bytes data, std::uint64_t seed) {
    const std::uint8_t* p = data.data();
    std::size_t left = data.size();
    std::uint64_t h = 0;
    if (left >= 32) {
        std::uint64_t v1 = seed + P1 + P2, v2 = seed + P2, v3 = seed, v4 = seed - P1;
        while (left >= 32) {
            v1 = round(v1, load64(p));
            v2 = round(v2, load64(p + 8));
            v3 = round(v3, load64(p + 16));
            v4 = round(v4, load64(p + 24));
            p += 32;
            left -= 32;
        }
        h = rotl(v1, 1) + rotl(v2, 7) + rotl(v3, 12) + rotl(v4, 18);
        h = merge(merge(merge(merge(h, v1), v2), v3), v4);
    } else {
        h = seed + P5;
    }
    h += data.size();
    while (left >= 8) {
        h = rotl(h ^ round(0, load64(p)), 27) * P1 + P4;
        p += 8;
        left -= 8;
    }
    if (left >= 4) {
        h = rotl(h ^ (std::uint64_t(load32(p)) * P1), 23) * P2 + P3;
        p += 4;
        left -= 4;
    }
    while (left > 0) {
        h = rotl(h ^ (*p * P5), 11) * P1;
        ++p;
        --left;
    }
    h ^= h >> 33;
    h *= P2;
    h ^= h >> 29;
    h *= P3;
    h ^= h >> 32;
    return h;
}

} // namespace tg

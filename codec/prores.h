// The colour fields of a ProRes frame header. Every ProRes sample is one frame that opens with
// its size, the tag 'icpf' and a frame header; FFmpeg's decoder takes the frame's primaries,
// transfer and matrix bytes from that header over the container's colr atom.
//
// Layout (offsets in the sample): 0 frame size (32 bits), 4 'icpf', 8 header size (16 bits),
// 10 version (16 bits), 12 encoder id (4 bytes), 16 width, 18 height, 20 and 21 flags,
// 22 colour primaries, 23 transfer characteristics, 24 matrix coefficients, then the rest.
#pragma once

#include "codec/colour_codes.h"

#include <cstdint>
#include <optional>
#include <span>

namespace tg {

// Offset within the sample of the primaries byte.
inline constexpr std::uint64_t PRORES_PRIMARIES_AT = 22;

struct ProResHeader {
    std::uint16_t headerSize = 0, version = 0, width = 0, height = 0;
    std::uint8_t primaries = 0, transfer = 0, matrix = 0;
    std::uint64_t primariesAt = PRORES_PRIMARIES_AT; // offset within the sample
};

// Reads the header of one frame from the first bytes of its sample (head; 28 are enough) and the
// sample's full size. nullopt when the frame fails its checks: at least 28 bytes, 'icpf' at
// offset 4, a header of at least 20 bytes that fits in the sample, version 0 or 1.
std::optional<ProResHeader> readProResHeader(std::span<const std::uint8_t> head,
                                             std::uint64_t sampleSize);

enum class ProResPatch { patched, alreadyThatValue, failsChecks };

// Overwrites the primaries byte of a frame header in head, and nothing else.
ProResPatch patchProResPrimaries(std::span<std::uint8_t> head, std::uint64_t sampleSize,
                                 std::uint8_t newPrimaries = PRIMARIES_DISPLAY_P3);

} // namespace tg

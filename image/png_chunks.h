// The PNG chunk walk (CRCs checked), the embedded profile, codes and orientation, and the
// re-labelled chunk sequence. Everything works on memory, so the fuzzer can drive it; every read
// is bounded by the span it is given.
#pragma once

#include "base/bytes.h"
#include "image/exif_orientation.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace tg {

// PNG. Chunks are checked for their CRC as they are walked.
struct PngChunk {
    std::array<char, 4> type{};
    std::size_t begin = 0; // the length field
    std::size_t dataBegin = 0;
    std::size_t dataLength = 0;
    std::size_t end = 0; // after the CRC
};

// IHDR first, IEND last; nullopt on a bad signature, bad CRC, truncated chunk or missing IEND.
std::optional<std::vector<PngChunk>> walkPng(Bytes file);

struct PngMeta {
    std::optional<std::vector<std::uint8_t>> icc; // the first iCCP's profile, when it inflates
    std::optional<ExifOrientation> orientation;
    std::optional<std::array<std::uint8_t, 4>> cicp; // primaries, transfer, matrix, full range
};
PngMeta pngMeta(Bytes file, const std::vector<PngChunk>& chunks);

// IHDR, a new iCCP, an orientation-only eXIf, then the pixel chunks (PLTE, tRNS, IDAT) and the
// harmless ones that describe them (sBIT, bKGD, pHYs) in their order, then IEND. nullopt when an
// unknown critical chunk makes the image impossible to copy faithfully, or compression fails.
std::optional<std::vector<std::uint8_t>>
taggedPng(Bytes file, const std::vector<PngChunk>& chunks, Bytes icc,
          const std::optional<ExifOrientation>& orientation);

// Inflates an iCCP profile (zlib stream) with a size limit; nullopt when it is not valid.
std::optional<std::vector<std::uint8_t>> inflateProfile(Bytes zdata);

} // namespace tg

// The WebP RIFF chunk walk, what the chunks say (canvas, alpha, profile, orientation) and the
// re-labelled chunk sequence. Everything works on memory, so the fuzzer can drive it; every read
// is bounded by the span it is given.
#pragma once

#include "base/bytes.h"
#include "base/result.h"
#include "image/exif_orientation.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace tg {

struct WebpChunk {
    std::array<char, 4> type{};
    std::size_t begin = 0; // the FourCC
    std::size_t dataBegin = 0;
    std::size_t dataLength = 0;
};

// VP8X flags.
inline constexpr std::uint8_t WEBP_ICC = 0x20, WEBP_ALPHA = 0x10, WEBP_EXIF = 0x08, WEBP_XMP = 0x04,
                              WEBP_ANIMATION = 0x02;

struct WebpLayout {
    std::vector<WebpChunk> chunks;
    bool extended = false;   // starts with VP8X
    std::uint8_t flags = 0;  // VP8X's, or what a new one would say
    std::uint32_t width = 0; // canvas, in pixels
    std::uint32_t height = 0;
};

// The RIFF header, every chunk inside it and the picture's header: a failure names what is wrong
// (cut short, a size that runs past its container, no picture a decoder could start on).
Result<WebpLayout> walkWebp(Bytes file);

struct WebpMeta {
    std::optional<std::vector<std::uint8_t>> icc; // the first ICCP chunk
    bool iccFlagged = false;                      // and VP8X says decoders should apply it
    std::optional<ExifOrientation> orientation;
};
WebpMeta webpMeta(Bytes file, const WebpLayout& layout);

// RIFF, VP8X (made where there was none) with the ICC flag and the EXIF flag only for an
// orientation, ICCP, then the picture's chunks in their order (VP8, VP8L, ALPH, ANIM, ANMF) with
// an orientation-only EXIF where the old one was; other chunks go. nullopt when the result would
// not fit a RIFF size.
std::optional<std::vector<std::uint8_t>>
taggedWebp(Bytes file, const WebpLayout& layout, Bytes icc,
           const std::optional<ExifOrientation>& orientation);

} // namespace tg

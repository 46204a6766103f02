// The JPEG marker walk, the frame header, the embedded ICC profile and orientation, and the
// re-labelled marker sequence. Everything works on memory, so the fuzzer can drive it; every read
// is bounded by the span it is given.
#pragma once

#include "base/bytes.h"
#include "image/exif_orientation.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace tg {

// JPEG. One segment is a marker with everything that belongs to it: fill bytes before it, its
// length-counted body and, for SOS, the entropy-coded data up to the next marker.
struct JpegSegment {
    std::uint8_t marker = 0;
    std::size_t begin = 0;     // first byte to copy (fill bytes included)
    std::size_t end = 0;       // one past the last byte to copy
    std::size_t bodyBegin = 0; // after the 2-byte length, for segments that have one
    std::size_t bodyEnd = 0;   // end of the length-counted body (SOS: before the scan data)
};

struct JpegLayout {
    std::vector<JpegSegment> segments; // SOI first; EOI last when the file has one
    bool hasEoi = false;
};

// Walks the first image, from SOI to EOI; nullopt when the file is not a JPEG we can follow
// (no SOI, a length past the end, SOS before any frame header, no scan at all).
std::optional<JpegLayout> walkJpeg(Bytes file);

// The frame header (SOF0..SOF15 but DHT, JPG and DAC) read from its marker segment alone, so
// every coding process and precision (8- and 12-bit DCT, lossless up to 16 bits, arithmetic
// coding) is understood without decoding a scan. nullopt when there is none, a second one
// outside a hierarchical file, or it (or a scan header) does not hold together.
struct JpegFrame {
    std::uint8_t marker = 0;
    std::uint8_t precision = 0;
    std::uint16_t height = 0;
    std::uint16_t width = 0;
    std::vector<std::uint8_t> components; // component identifiers
};
std::optional<JpegFrame> jpegFrame(Bytes file, const JpegLayout& layout);

struct JpegMeta {
    std::optional<std::vector<std::uint8_t>> icc; // complete profile, when one is embedded whole
    std::optional<ExifOrientation> orientation;
};
JpegMeta jpegMeta(Bytes file, const JpegLayout& layout);

// Whether the file is an HDR photo with a gain map: gain-map metadata (ISO 21496-1 in APP2, or
// the XMP "hdrgm" namespace that preceded it) in the first image's segments or in an image after
// it. A secondary image alone, such as a camera's MPF preview, is not one.
bool hasGainMap(Bytes file, const JpegLayout& layout);

// The same image with only JFIF, Adobe, the given ICC profile and (optionally) an orientation-only
// EXIF segment; scans and tables copied byte for byte, nothing after EOI. nullopt when the
// profile cannot be split into at most 255 segments.
std::optional<std::vector<std::uint8_t>>
taggedJpeg(Bytes file, const JpegLayout& layout, Bytes icc,
           const std::optional<ExifOrientation>& orientation);

} // namespace tg

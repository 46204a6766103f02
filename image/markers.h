// The byte-level pieces of JPEG and PNG that we parse and write by hand: the JPEG marker walk, the
// PNG chunk walk, embedded ICC profiles and the EXIF orientation. Everything works on memory, so
// the fuzzer can drive it; every read is bounded by the span it is given.
#pragma once

#include "base/bytes.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tg::markers {

using tg::Bytes;

// EXIF: a TIFF structure ("II*\0" or "MM\0*"), as found after "Exif\0\0" in a JPEG APP1 or in a
// PNG eXIf chunk.
struct ExifOrientation {
    std::uint16_t value = 1; // 1..8
    bool bigEndian = false;  // the byte order of the source, kept when we write it back
};
std::optional<ExifOrientation> exifOrientation(Bytes tiff);
// A TIFF structure holding one IFD with the one Orientation entry.
std::vector<std::uint8_t> orientationExif(std::uint16_t orientation, bool bigEndian);

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

struct EmbeddedMeta {
    std::optional<std::vector<std::uint8_t>> icc; // complete profile, when one is embedded whole
    std::optional<ExifOrientation> orientation;
};
EmbeddedMeta jpegMeta(Bytes file, const JpegLayout& layout);

// The same image with only JFIF, Adobe, the given ICC profile and (optionally) an orientation-only
// EXIF segment; scans and tables copied byte for byte, nothing after EOI. nullopt when the
// profile cannot be split into at most 255 segments.
std::optional<std::vector<std::uint8_t>>
taggedJpeg(Bytes file, const JpegLayout& layout, Bytes icc,
           const std::optional<ExifOrientation>& orientation);

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

struct PngMeta : EmbeddedMeta {
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

} // namespace tg::markers

// One reader/writer per image format, as a table of operations. Each works on the descriptor the
// tagger opened: it first decides from the source (nothing written), then writes the re-labelled
// image into a fresh temporary file that the tagger owns.
#pragma once

#include "base/file.h"
#include "base/result.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tg {

enum class ImageCheck : std::uint8_t {
    taggable,   // three-component image without a Display P3 label
    unreadable, // not an image of this format, or no first image
    alreadyP3,  // ICC profile (or CICP 12/13) already says Display P3
    notRgb,     // greyscale, CMYK, mask: cannot be re-labelled
    refused,    // HDR, an image sequence, data in another file: cannot be re-labelled safely
};

struct ImageInfo {
    ImageCheck check = ImageCheck::unreadable;
    std::optional<std::uint16_t> orientation; // EXIF/TIFF orientation 1..8, when the source has one
    std::string reason; // why it is refused or unreadable, for the result's detail
};

// An unreadable verdict and its reason (a system error's text may be empty: then a read failed).
ImageInfo unreadableImage(std::string reason);
// Why an image with this many colour components is not RGB: "monochrome image", "CMYK image".
std::string componentsReason(std::size_t components);

// Why codes that say HDR (PQ, HLG, BT.2020) are refused: "HDR: PQ transfer (16)", for example.
std::string hdrReason(unsigned primaries, unsigned transfer);

// What a file is, from its first bytes, as an image source reports it: never from its name.
enum class ImageFormat { none, jpeg, png, tiff, heif, webp, other };
ImageFormat sniffFormat(std::span<const std::uint8_t> head);

// The colour signal of the (primary) image, as stored: an ICC profile, CICP codes (HEIF nclx,
// PNG cICP), both or neither.
struct ColourSignal {
    std::optional<std::vector<std::uint8_t>> icc;
    std::optional<std::array<std::uint16_t, 3>> cicp; // primaries, transfer, matrix
};

struct PhotoFormat {
    // The colour signal as stored; empty when the source cannot be read.
    ColourSignal (*recognise)(const FileHandle& source);
    // Reads only what it needs.
    ImageInfo (*decide)(const FileHandle& source);
    // `out` is an open, empty file; the writer leaves it open. Fails with the cause when the
    // output could not be completed.
    Status (*write)(const FileHandle& source, const ImageInfo& info, const FileHandle& out);
};

extern const PhotoFormat JPEG_FORMAT;
extern const PhotoFormat PNG_FORMAT;
extern const PhotoFormat TIFF_FORMAT;
extern const PhotoFormat HEIF_FORMAT;
extern const PhotoFormat WEBP_FORMAT;

// The operations of a format we write; nullptr for `none` and for images we only recognise.
const PhotoFormat* photoFormatOf(ImageFormat format);

} // namespace tg

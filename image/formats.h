// One reader/writer per image format. Each format first inspects the source (nothing written),
// then writes the re-labelled image into a fresh temporary file that the tagger owns.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
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
};

// What a file is, from its first bytes, as an image source reports it: never from its name.
enum class ImageFormat { none, jpeg, png, tiff, heif, other };
ImageFormat sniffFormat(std::span<const std::uint8_t> head);

// The colour signal of the (primary) image, as stored: an ICC profile, CICP codes (HEIF nclx,
// PNG cICP), both or neither.
struct ColourSignal {
    std::optional<std::vector<std::uint8_t>> icc;
    std::optional<std::array<std::uint16_t, 3>> cicp; // primaries, transfer, matrix
};
ColourSignal colourOfJpeg(const std::filesystem::path& source);
ColourSignal colourOfPng(const std::filesystem::path& source);
ColourSignal colourOfTiff(const std::filesystem::path& source);
ColourSignal colourOfHeif(const std::filesystem::path& source);

// Inspect reads only what it needs; write returns false when the output could not be completed.
// `out` is an open, empty file descriptor; the writer must not close it.
ImageInfo inspectJpeg(const std::filesystem::path& source);
bool writeJpeg(const std::filesystem::path& source, const ImageInfo& info, int out);
ImageInfo inspectPng(const std::filesystem::path& source);
bool writePng(const std::filesystem::path& source, const ImageInfo& info, int out);
ImageInfo inspectTiff(const std::filesystem::path& source);
bool writeTiff(const std::filesystem::path& source, const ImageInfo& info, int out);
ImageInfo inspectHeif(const std::filesystem::path& source);
bool writeHeif(const std::filesystem::path& source, const ImageInfo& info, int out);

} // namespace tg

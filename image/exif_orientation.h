// The EXIF orientation: a TIFF structure ("II*\0" or "MM\0*"), as found after "Exif\0\0" in a
// JPEG APP1 segment or in a PNG eXIf chunk. Works on memory; every read is bounded.
#pragma once

#include "base/bytes.h"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace tg {

// What precedes the TIFF structure in a JPEG APP1 segment (and in some PNG eXIf chunks).
inline constexpr std::string_view EXIF_PREFIX{"Exif\0\0", 6};

struct ExifOrientation {
    std::uint16_t value = 1; // 1..8
    bool bigEndian = false;  // the byte order of the source, kept when we write it back
};
std::optional<ExifOrientation> exifOrientation(Bytes tiff);
// A TIFF structure holding one IFD with the one Orientation entry.
std::vector<std::uint8_t> orientationExif(std::uint16_t orientation, bool bigEndian);

} // namespace tg

#include "image/formats.h"

#include "base/bytes.h"
#include "codec/colour_codes.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

namespace tg {

namespace {

using Format = ImageFormat;

bool hasPrefix(std::span<const std::uint8_t> b, std::string_view magic) {
    return b.size() >= magic.size() && std::memcmp(b.data(), magic.data(), magic.size()) == 0;
}

// Still images of the HEIF family (HEIC, AVIF); image sequences are recognised so that they are
// refused as such rather than called unreadable.
bool isHeifBrand(std::string_view brand) {
    constexpr std::array<std::string_view, 12> BRANDS = {"heic", "heix", "heim", "heis",
                                                         "mif1", "miaf", "avif", "heif",
                                                         "msf1", "avis", "hevc", "hevx"};
    for (auto b : BRANDS)
        if (brand == b) return true;
    return false;
}

// ISO-BMFF: the ftyp box names a major brand and a list of compatible ones.
Format classifyFtyp(std::span<const std::uint8_t> b) {
    if (b.size() < 16 || !hasPrefix(b.subspan(4), "ftyp")) return Format::none;
    const std::uint32_t boxSize = u32(b, 0);
    const std::size_t end = std::min<std::size_t>(boxSize, b.size());
    const auto brandAt = [&](std::size_t off) {
        return std::string_view(reinterpret_cast<const char*>(b.data()) + off, 4);
    };
    if (isHeifBrand(brandAt(8))) return Format::heif;
    for (std::size_t off = 16; off + 4 <= end; off += 4)
        if (isHeifBrand(brandAt(off))) return Format::heif;
    return Format::none;
}

// "BM" alone is too common a start for text; the reserved fields and header size must fit too.
bool isBmp(std::span<const std::uint8_t> b) {
    if (b.size() < 18 || !hasPrefix(b, "BM")) return false;
    if (b[6] | b[7] | b[8] | b[9]) return false;
    const auto header = readUnsigned(b, 14, 4, false);
    return header == 12 || header == 40 || header == 52 || header == 56 || header == 64 ||
           header == 108 || header == 124;
}

} // namespace

// The type comes from the content, as an image source reports it, never from the name.
ImageFormat sniffFormat(std::span<const std::uint8_t> b) {
    if (b.size() >= 3 && b[0] == 0xFF && b[1] == 0xD8 && b[2] == 0xFF) return Format::jpeg;
    if (hasPrefix(b, "\x89PNG\r\n\x1a\n")) return Format::png;
    if (hasPrefix(b, std::string_view("II*\0", 4)) || hasPrefix(b, std::string_view("MM\0*", 4)) ||
        hasPrefix(b, std::string_view("II+\0", 4)) || hasPrefix(b, std::string_view("MM\0+", 4)))
        return Format::tiff;
    if (const Format f = classifyFtyp(b); f != Format::none) return f;
    if (hasPrefix(b, "RIFF") && b.size() >= 12 && hasPrefix(b.subspan(8), "WEBP"))
        return Format::webp;
    // Images we recognise but do not write.
    if (hasPrefix(b, "GIF87a") || hasPrefix(b, "GIF89a") || isBmp(b)) return Format::other;
    return Format::none;
}

const PhotoFormat* photoFormatOf(ImageFormat format) {
    switch (format) {
    case ImageFormat::jpeg:
        return &JPEG_FORMAT;
    case ImageFormat::png:
        return &PNG_FORMAT;
    case ImageFormat::tiff:
        return &TIFF_FORMAT;
    case ImageFormat::heif:
        return &HEIF_FORMAT;
    case ImageFormat::webp:
        return &WEBP_FORMAT;
    case ImageFormat::other:
    case ImageFormat::none:
        break;
    }
    return nullptr;
}

ImageInfo unreadableImage(std::string reason) {
    ImageInfo info;
    info.reason = reason.empty() ? "read failed" : std::move(reason);
    return info;
}

std::string componentsReason(std::size_t components) {
    if (components == 1 || components == 2) return "monochrome image";
    if (components == 4) return "CMYK image";
    return std::to_string(components) + "-component image";
}

std::string hdrReason(unsigned primaries, unsigned transfer) {
    if (transfer == TRANSFER_PQ) return "HDR: PQ transfer (16)";
    if (transfer == TRANSFER_HLG) return "HDR: HLG transfer (18)";
    if (primaries == PRIMARIES_BT2020) return "HDR: BT.2020 primaries (9)";
    return {};
}

} // namespace tg

// PNG: libpng validates the header and colour type; the chunks are rewritten by hand, the image
// data (IDAT) copied byte for byte.
#include "base/file.h"
#include "codec/colour_codes.h"
#include "image/display_p3.h"
#include "image/formats.h"
#include "image/png_chunks.h"

#include <png.h>

#include <csetjmp>
#include <cstring>

namespace tg {

namespace {

struct MemoryReader {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos;
};

void readFromMemory(png_structp png, png_bytep out, png_size_t length) {
    auto* r = static_cast<MemoryReader*>(png_get_io_ptr(png));
    if (r->pos > r->size || length > r->size - r->pos) png_error(png, "truncated");
    std::memcpy(out, r->data + r->pos, length);
    r->pos += length;
}

// libpng's defaults print, and its error path must end in a longjmp we own.
[[noreturn]] void onError(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}
void onWarning(png_structp, png_const_charp) {}

// Kept free of objects with destructors: longjmp must not skip any.
bool readColourType(const std::uint8_t* data, std::size_t size, int& colourType) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, onError, onWarning);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return false;
    }
    MemoryReader reader{data, size, 0};
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, &reader, readFromMemory);
    png_read_info(png, info);
    colourType = png_get_color_type(png, info);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

bool isCicpP3(const std::array<std::uint8_t, 4>& cicp) {
    return cicp[0] == PRIMARIES_DISPLAY_P3 && cicp[1] == TRANSFER_SRGB;
}

ImageInfo decidePng(const FileHandle& source) {
    ImageInfo info;
    const auto file = source.readAll();
    if (file.failed()) return unreadableImage(file.failure().cause);
    const auto chunks = walkPng(*file);
    int colourType = 0;
    if (!chunks) return unreadableImage("damaged PNG chunks");
    if (!readColourType(file->data(), file->size(), colourType))
        return unreadableImage("damaged PNG header");
    const auto meta = pngMeta(*file, *chunks);
    if (meta.orientation) info.orientation = meta.orientation->value;
    const bool rgb = colourType == PNG_COLOR_TYPE_RGB || colourType == PNG_COLOR_TYPE_RGB_ALPHA ||
                     colourType == PNG_COLOR_TYPE_PALETTE;
    // cICP outranks iCCP when both are present.
    const bool p3 = meta.cicp ? isCicpP3(*meta.cicp) : meta.icc && isDisplayP3(*meta.icc);
    // An HDR picture re-labelled SDR Display P3 would show wrong, not just differently tagged.
    std::optional<std::array<std::uint16_t, 3>> codes;
    if (meta.cicp)
        codes = std::array<std::uint16_t, 3>{(*meta.cicp)[0], (*meta.cicp)[1], (*meta.cicp)[2]};
    else if (meta.icc)
        codes = profileCodes(*meta.icc);
    if (codes && hdrCodes((*codes)[0], (*codes)[1])) {
        info.check = ImageCheck::refused;
        info.reason = hdrReason((*codes)[0], (*codes)[1]);
    } else if (!rgb) {
        info.check = ImageCheck::notRgb;
        info.reason = "monochrome image";
    } else if (p3)
        info.check = ImageCheck::alreadyP3;
    else
        info.check = ImageCheck::taggable;
    return info;
}

ColourSignal recognisePng(const FileHandle& source) {
    const auto file = source.readAll();
    if (file.failed()) return {};
    const auto chunks = walkPng(*file);
    if (!chunks) return {};
    const auto meta = pngMeta(*file, *chunks);
    ColourSignal s{meta.icc, std::nullopt};
    if (meta.cicp)
        s.cicp = std::array<std::uint16_t, 3>{(*meta.cicp)[0], (*meta.cicp)[1], (*meta.cicp)[2]};
    return s;
}

Status writePng(const FileHandle& source, const ImageInfo& info, const FileHandle& out) {
    const auto file = source.readAll();
    if (file.failed()) return file.failure();
    const auto chunks = walkPng(*file);
    if (!chunks) return Failure{{}, "not a PNG we can follow"};
    std::optional<ExifOrientation> orientation;
    if (info.orientation) {
        const auto meta = pngMeta(*file, *chunks);
        orientation =
            ExifOrientation{*info.orientation, meta.orientation && meta.orientation->bigEndian};
    }
    const auto tagged = taggedPng(*file, *chunks, displayP3Profile(), orientation);
    if (!tagged) return Failure{{}, "a critical chunk cannot be copied, or compression failed"};
    return out.writeAt(0, *tagged);
}

} // namespace

const PhotoFormat PNG_FORMAT{recognisePng, decidePng, writePng};

} // namespace tg

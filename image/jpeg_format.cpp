// JPEG: libjpeg validates the header and tells the colour model; the marker segments are
// rewritten by hand around the untouched entropy-coded data, so the pixels stay bit-identical.
#include "base/file.h"
#include "image/display_p3.h"
#include "image/formats.h"
#include "image/image_io.h"
#include "image/markers.h"

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace tg {

namespace {

struct ErrorTrap {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};

// libjpeg's default error_exit calls exit(); ours returns to the caller instead.
[[noreturn]] void jumpOut(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<ErrorTrap*>(cinfo->err)->jump, 1);
}
void quiet(j_common_ptr) {}

struct HeaderFacts {
    int components = 0;
    J_COLOR_SPACE space = JCS_UNKNOWN;
};

// Kept free of objects with destructors: longjmp must not skip any.
bool readHeader(const std::uint8_t* data, std::size_t size, HeaderFacts& facts) {
    jpeg_decompress_struct cinfo;
    ErrorTrap trap;
    cinfo.err = jpeg_std_error(&trap.mgr);
    trap.mgr.error_exit = jumpOut;
    trap.mgr.output_message = quiet;
    if (setjmp(trap.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    const bool ok = jpeg_read_header(&cinfo, TRUE) == JPEG_HEADER_OK;
    if (ok) {
        facts.components = cinfo.num_components;
        facts.space = cinfo.jpeg_color_space;
    }
    jpeg_destroy_decompress(&cinfo);
    return ok;
}

bool isThreeComponent(const HeaderFacts& f) {
    return f.components == 3 && (f.space == JCS_YCbCr || f.space == JCS_RGB);
}

} // namespace

ImageInfo inspectJpeg(const std::filesystem::path& source) {
    ImageInfo info;
    const auto file = readWholeFile(source);
    if (!file) return info;
    const auto layout = markers::walkJpeg(*file);
    HeaderFacts facts;
    if (!layout || !readHeader(file->data(), file->size(), facts)) return info;
    const auto meta = markers::jpegMeta(*file, *layout);
    if (meta.orientation) info.orientation = meta.orientation->value;
    if (!isThreeComponent(facts))
        info.check = ImageCheck::notRgb;
    else if (meta.icc && isDisplayP3(*meta.icc))
        info.check = ImageCheck::alreadyP3;
    else
        info.check = ImageCheck::taggable;
    return info;
}

bool writeJpeg(const std::filesystem::path& source, const ImageInfo& info, int out) {
    const auto file = readWholeFile(source);
    if (!file) return false;
    const auto layout = markers::walkJpeg(*file);
    if (!layout) return false;
    // Keep the source's byte order for the orientation; the value is the one inspected.
    std::optional<markers::ExifOrientation> orientation;
    if (info.orientation) {
        const auto meta = markers::jpegMeta(*file, *layout);
        orientation = markers::ExifOrientation{*info.orientation,
                                               meta.orientation && meta.orientation->bigEndian};
    }
    const auto tagged = markers::taggedJpeg(*file, *layout, displayP3Profile(), orientation);
    return tagged && writeAll(out, 0, *tagged).ok();
}

} // namespace tg

// JPEG: our own frame-header reader tells the colour model, for every coding process and
// precision; the marker segments are rewritten by hand around the untouched entropy-coded data,
// so the pixels stay bit-identical and no decoder is needed.
#include "base/file.h"
#include "image/display_p3.h"
#include "image/formats.h"
#include "image/image_io.h"
#include "image/markers.h"

namespace tg {

ImageInfo inspectJpeg(const std::filesystem::path& source) {
    ImageInfo info;
    const auto file = readWholeFile(source);
    if (!file) return info;
    const auto layout = markers::walkJpeg(*file);
    if (!layout) return info;
    const auto frame = markers::jpegFrame(*file, *layout);
    if (!frame) return info;
    const auto meta = markers::jpegMeta(*file, *layout);
    if (meta.orientation) info.orientation = meta.orientation->value;
    // Three components are YCbCr or RGB; one is grey, four CMYK or YCCK.
    if (frame->components.size() != 3)
        info.check = ImageCheck::notRgb;
    else if (meta.icc && isDisplayP3(*meta.icc))
        info.check = ImageCheck::alreadyP3;
    else
        info.check = ImageCheck::taggable;
    return info;
}

ColourSignal colourOfJpeg(const std::filesystem::path& source) {
    const auto file = readWholeFile(source);
    if (!file) return {};
    const auto layout = markers::walkJpeg(*file);
    if (!layout) return {};
    return {markers::jpegMeta(*file, *layout).icc, std::nullopt};
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

// JPEG: our own frame-header reader tells the colour model, for every coding process and
// precision; the marker segments are rewritten by hand around the untouched entropy-coded data,
// so the pixels stay bit-identical and no decoder is needed.
#include "base/file.h"
#include "image/display_p3.h"
#include "image/formats.h"
#include "image/jpeg_markers.h"

namespace tg {

namespace {

ImageInfo decideJpeg(const FileHandle& source) {
    ImageInfo info;
    const auto file = source.readAll();
    if (file.failed()) return unreadableImage(file.failure().cause);
    const auto layout = walkJpeg(*file);
    if (!layout) return unreadableImage("damaged JPEG markers");
    // A JPEG that stops before its end marker is unfinished: still being written, or cut short.
    if (!layout->hasEoi) return unreadableImage("JPEG cut short (no end of image)");
    const auto frame = jpegFrame(*file, *layout);
    if (!frame) return unreadableImage("no readable JPEG frame header");
    const auto meta = jpegMeta(*file, *layout);
    if (meta.orientation) info.orientation = meta.orientation->value;
    // Three components are YCbCr or RGB; one is grey, four CMYK or YCCK.
    if (hasGainMap(*file, *layout)) {
        // Dropping the gain map would leave only the SDR rendition of an HDR photo.
        info.check = ImageCheck::refused;
        info.reason = "HDR: a gain map";
    } else if (frame->components.size() != 3) {
        info.check = ImageCheck::notRgb;
        info.reason = componentsReason(frame->components.size());
    } else if (meta.icc && isDisplayP3(*meta.icc))
        info.check = ImageCheck::alreadyP3;
    else
        info.check = ImageCheck::taggable;
    return info;
}

ColourSignal recogniseJpeg(const FileHandle& source) {
    const auto file = source.readAll();
    if (file.failed()) return {};
    const auto layout = walkJpeg(*file);
    if (!layout) return {};
    return {jpegMeta(*file, *layout).icc, std::nullopt};
}

Status writeJpeg(const FileHandle& source, const ImageInfo& info, const FileHandle& out) {
    const auto file = source.readAll();
    if (file.failed()) return file.failure();
    const auto layout = walkJpeg(*file);
    if (!layout) return Failure{{}, "not a JPEG we can follow"};
    // Keep the source's byte order for the orientation; the value is the one inspected.
    std::optional<ExifOrientation> orientation;
    if (info.orientation) {
        const auto meta = jpegMeta(*file, *layout);
        orientation =
            ExifOrientation{*info.orientation, meta.orientation && meta.orientation->bigEndian};
    }
    const auto tagged = taggedJpeg(*file, *layout, displayP3Profile(), orientation);
    if (!tagged) return Failure{{}, "the profile does not fit in JPEG segments"};
    return out.writeAt(0, *tagged);
}

} // namespace

const PhotoFormat JPEG_FORMAT{recogniseJpeg, decideJpeg, writeJpeg};

} // namespace tg

// WebP: the RIFF chunks are rewritten by hand around the untouched coded picture (VP8, VP8L,
// ALPH, animation frames), so the pixels stay bit-identical and no decoder is needed. WebP is
// always RGB: there is no greyscale or CMYK picture to refuse.
#include "base/file.h"
#include "codec/colour_codes.h"
#include "image/display_p3.h"
#include "image/formats.h"
#include "image/webp_chunks.h"

namespace tg {

namespace {

ImageInfo decideWebp(const FileHandle& source) {
    ImageInfo info;
    const auto file = source.readAll();
    if (file.failed()) return unreadableImage(file.failure().cause);
    const auto layout = walkWebp(*file);
    if (layout.failed()) return unreadableImage(layout.cause());
    const auto meta = webpMeta(*file, *layout);
    if (meta.orientation) info.orientation = meta.orientation->value;
    // A profile the VP8X flags leave out is one decoders never apply: it does not count.
    const auto codes = meta.iccFlagged ? profileCodes(*meta.icc) : std::nullopt;
    if (codes && hdrCodes((*codes)[0], (*codes)[1])) {
        info.check = ImageCheck::refused;
        info.reason = hdrReason((*codes)[0], (*codes)[1]);
    } else if (meta.iccFlagged && isDisplayP3(*meta.icc))
        info.check = ImageCheck::alreadyP3;
    else
        info.check = ImageCheck::taggable;
    return info;
}

ColourSignal recogniseWebp(const FileHandle& source) {
    const auto file = source.readAll();
    if (file.failed()) return {};
    const auto layout = walkWebp(*file);
    if (layout.failed()) return {};
    auto meta = webpMeta(*file, *layout);
    if (!meta.iccFlagged) return {};
    return {std::move(meta.icc), std::nullopt};
}

Status writeWebp(const FileHandle& source, const ImageInfo& info, const FileHandle& out) {
    const auto file = source.readAll();
    if (file.failed()) return file.failure();
    const auto layout = walkWebp(*file);
    if (layout.failed()) return Failure{{}, "not a WebP we can follow"};
    std::optional<ExifOrientation> orientation;
    if (info.orientation) {
        const auto meta = webpMeta(*file, *layout);
        orientation =
            ExifOrientation{*info.orientation, meta.orientation && meta.orientation->bigEndian};
    }
    const auto tagged = taggedWebp(*file, *layout, displayP3Profile(), orientation);
    if (!tagged) return Failure{{}, "the tagged WebP would be too large"};
    return out.writeAt(0, *tagged);
}

} // namespace

const PhotoFormat WEBP_FORMAT{recogniseWebp, decideWebp, writeWebp};

} // namespace tg

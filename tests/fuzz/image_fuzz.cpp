// Feeds arbitrary bytes to the hand-written JPEG marker walk, the PNG and WebP chunk walks, the
// EXIF orientation reader and the ICC test, and checks that whatever we write walks back cleanly.
#include "image/display_p3.h"
#include "image/jpeg_markers.h"
#include "image/png_chunks.h"
#include "image/webp_chunks.h"

#include "fuzz_common.h"

#include <vector>

namespace {

namespace m = tg;
using tgfuzz::require;

const std::vector<std::uint8_t>& profile() {
    // Bigger than one JPEG segment holds, so the chunking is exercised too.
    static const std::vector<std::uint8_t> icc = [] {
        std::vector<std::uint8_t> p = tg::displayP3Profile();
        p.resize(70000, 0x5A);
        return p;
    }();
    return icc;
}

// Bytes that walk as the format are tagged (PNG may refuse an unknown critical chunk); the result
// walks back with the whole profile in it, the orientation kept and no cICP left to outrank it.
template <class Walk, class Meta, class Tag>
void retag(m::Bytes data, Walk walk, Meta meta, Tag tag, bool mayRefuse) {
    const auto layout = walk(data);
    if (!layout) return;
    const auto before = meta(data, *layout);
    if (before.icc) (void)tg::isDisplayP3(*before.icc);
    const auto out = tag(data, *layout, profile(), before.orientation);
    require(out || mayRefuse);
    if (!out) return;
    const auto again = walk(*out);
    require(again.has_value());
    const auto after = meta(*out, *again);
    require(after.icc && *after.icc == profile());
    require(after.orientation.has_value() == before.orientation.has_value());
    if (before.orientation) require(after.orientation->value == before.orientation->value);
    if constexpr (requires { after.cicp; }) require(!after.cicp);
}

// WebP has no chunk it must refuse: whatever walks is tagged, and the result walks back with the
// profile flagged for decoders.
void retagWebp(m::Bytes data) {
    const auto layout = m::walkWebp(data);
    if (layout.failed()) return;
    const auto before = m::webpMeta(data, *layout);
    const auto out = m::taggedWebp(data, *layout, profile(), before.orientation);
    require(out.has_value() && out->size() % 2 == 0);
    const auto again = m::walkWebp(*out);
    require(again.ok());
    const auto after = m::webpMeta(*out, *again);
    require(after.iccFlagged && *after.icc == profile());
    require(after.orientation.has_value() == before.orientation.has_value());
    if (before.orientation) require(after.orientation->value == before.orientation->value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const m::Bytes bytes(data, size);
    retag(bytes, m::walkJpeg, m::jpegMeta, m::taggedJpeg, false);
    retag(bytes, m::walkPng, m::pngMeta, m::taggedPng, true);
    retagWebp(bytes);
    if (const auto o = m::exifOrientation(bytes)) require(o->value >= 1 && o->value <= 8);
    (void)tg::isDisplayP3(bytes);
    return 0;
}

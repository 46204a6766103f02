// Feeds arbitrary bytes to the hand-written JPEG marker walk, the PNG chunk walk, the EXIF
// orientation reader and the ICC test, and checks that whatever we write walks back cleanly.
#include "image/display_p3.h"
#include "image/jpeg_markers.h"
#include "image/png_chunks.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

namespace m = tg;

void check(bool ok) {
    if (!ok) __builtin_trap();
}

const std::vector<std::uint8_t>& profile() {
    // Bigger than one JPEG segment holds, so the chunking is exercised too.
    static const std::vector<std::uint8_t> icc = [] {
        std::vector<std::uint8_t> p = tg::displayP3Profile();
        p.resize(70000, 0x5A);
        return p;
    }();
    return icc;
}

void jpeg(m::Bytes data) {
    const auto layout = m::walkJpeg(data);
    if (!layout) return;
    const auto meta = m::jpegMeta(data, *layout);
    if (meta.icc) (void)tg::isDisplayP3(*meta.icc);
    const auto out = m::taggedJpeg(data, *layout, profile(), meta.orientation);
    check(out.has_value());
    const auto again = m::walkJpeg(*out);
    check(again.has_value());
    const auto outMeta = m::jpegMeta(*out, *again);
    check(outMeta.icc && *outMeta.icc == profile());
    check(outMeta.orientation.has_value() == meta.orientation.has_value());
    if (meta.orientation) check(outMeta.orientation->value == meta.orientation->value);
}

void png(m::Bytes data) {
    const auto chunks = m::walkPng(data);
    if (!chunks) return;
    const auto meta = m::pngMeta(data, *chunks);
    if (meta.icc) (void)tg::isDisplayP3(*meta.icc);
    const auto out = m::taggedPng(data, *chunks, profile(), meta.orientation);
    if (!out) return; // an unknown critical chunk
    const auto again = m::walkPng(*out);
    check(again.has_value());
    const auto outMeta = m::pngMeta(*out, *again);
    check(outMeta.icc && *outMeta.icc == profile());
    check(!outMeta.cicp);
    if (meta.orientation)
        check(outMeta.orientation && outMeta.orientation->value == meta.orientation->value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const m::Bytes bytes(data, size);
    jpeg(bytes);
    png(bytes);
    if (const auto o = m::exifOrientation(bytes)) check(o->value >= 1 && o->value <= 8);
    (void)tg::isDisplayP3(bytes);
    return 0;
}

#include "image/exif_orientation.h"

#include "base/byte_cursor.h"

namespace tg {

namespace {

constexpr std::uint16_t TIFF_MAGIC = 42, ORIENTATION_TAG = 0x0112, SHORT_TYPE = 3;

} // namespace

std::optional<ExifOrientation> exifOrientation(Bytes t) {
    if (t.size() < 8) return std::nullopt;
    bool bigEndian;
    if (t[0] == 'I' && t[1] == 'I')
        bigEndian = false;
    else if (t[0] == 'M' && t[1] == 'M')
        bigEndian = true;
    else
        return std::nullopt;
    ByteReader r(t, bigEndian ? Endian::big : Endian::little);
    r.skip(2);
    if (r.u16() != TIFF_MAGIC) return std::nullopt;
    r.seek(r.u32());
    const std::size_t count = r.u16();
    if (!r.ok()) return std::nullopt;
    // Entries past the end are not there; the walk stops where they stop fitting.
    for (std::size_t i = 0; i < count && r.left() >= 12; ++i) {
        const std::uint16_t tag = r.u16(), type = r.u16();
        const std::uint32_t values = r.u32();
        const std::uint16_t v = r.u16();
        r.skip(2);
        if (tag != ORIENTATION_TAG) continue;
        if (type != SHORT_TYPE || values != 1 || v < 1 || v > 8) return std::nullopt;
        return ExifOrientation{v, bigEndian};
    }
    return std::nullopt;
}

std::vector<std::uint8_t> orientationExif(std::uint16_t orientation, bool bigEndian) {
    ByteWriter w(bigEndian ? Endian::big : Endian::little);
    w.text(bigEndian ? "MM" : "II");
    w.u16(TIFF_MAGIC);
    w.u32(8); // IFD0 right after the header
    w.u16(1); // one entry
    w.u16(ORIENTATION_TAG);
    w.u16(SHORT_TYPE);
    w.u32(1);
    w.u16(orientation); // value, left-justified in the 4-byte field
    w.u16(0);
    w.u32(0); // no next IFD
    return w.take();
}

} // namespace tg

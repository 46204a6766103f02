#include "bmff/iloc.h"

namespace tg::bmff {

namespace {

// A list of `count` entries, each at least `least` bytes, must fit in what is left before any
// storage is reserved for it.
bool countFits(const ByteReader& r, std::uint64_t count, std::size_t least) {
    return least == 0 || count <= r.left() / least;
}

bool readableWidth(unsigned width) {
    return width == 0 || width == 2 || width == 4 || width == 8;
}

void readExtents(ByteReader& r, const Iloc& l, std::uint16_t count, IlocItem& item) {
    item.extents.reserve(count);
    for (std::uint16_t e = 0; e < count; ++e) {
        ItemExtent x;
        x.index = r.uint(l.indexSize);
        x.offsetAt = r.position();
        x.offset = r.uint(l.offsetSize);
        x.length = r.uint(l.lengthSize);
        item.extents.push_back(x);
    }
}

} // namespace

std::optional<Iloc> readIloc(Bytes payload) {
    ByteReader r(payload);
    Iloc l;
    const std::uint32_t word = r.u32();
    l.version = std::uint8_t(word >> 24);
    l.flags = word & 0xFFFFFF;
    if (!r.ok() || l.version > 2) return std::nullopt;
    const std::uint8_t a = r.u8(), b = r.u8();
    l.offsetSize = a >> 4;
    l.lengthSize = a & 15;
    l.baseOffsetSize = b >> 4;
    l.indexSize = l.version >= 1 ? (b & 15) : 0;
    if (!readableWidth(l.offsetSize) || !readableWidth(l.lengthSize) ||
        !readableWidth(l.baseOffsetSize) || !readableWidth(l.indexSize))
        return std::nullopt;
    const unsigned idSize = l.version < 2 ? 2 : 4;
    const std::uint32_t count = std::uint32_t(r.uint(idSize));
    const std::size_t least = idSize + (l.version >= 1 ? 2 : 0) + 2 + l.baseOffsetSize + 2;
    if (!r.ok() || !countFits(r, count, least)) return std::nullopt;
    l.items.reserve(count);
    const std::size_t perExtent = l.indexSize + l.offsetSize + l.lengthSize;
    for (std::uint32_t k = 0; k < count; ++k) {
        IlocItem it;
        it.itemId = std::uint32_t(r.uint(idSize));
        if (l.version >= 1) it.method = r.u16() & 15;
        it.dataReference = r.u16();
        it.baseOffsetAt = r.position();
        it.baseOffset = r.uint(l.baseOffsetSize);
        const std::uint16_t extents = r.u16();
        if (!r.ok() || !countFits(r, extents, perExtent)) return std::nullopt;
        readExtents(r, l, extents, it);
        l.items.push_back(std::move(it));
    }
    if (!r.ok()) return std::nullopt;
    return l;
}

void writeIloc(BoxWriter& w, const Iloc& b) {
    const auto at = w.beginFull(fourcc("iloc"), b.version, b.flags);
    w.u8(b.offsetSize << 4 | b.lengthSize);
    w.u8(b.baseOffsetSize << 4 | (b.version >= 1 ? b.indexSize : 0));
    const unsigned idSize = b.version < 2 ? 2 : 4;
    w.uint(b.items.size(), idSize);
    for (const auto& it : b.items) {
        w.uint(it.itemId, idSize);
        if (b.version >= 1)
            w.u16(it.method);
        else if (it.method != 0)
            w.fail();
        w.u16(it.dataReference);
        w.uint(it.baseOffset, b.baseOffsetSize);
        w.u16(it.extents.size());
        for (const auto& x : it.extents) {
            w.uint(x.index, b.version >= 1 ? b.indexSize : 0);
            w.uint(x.offset, b.offsetSize);
            w.uint(x.length, b.lengthSize);
        }
    }
    w.end(at);
}

} // namespace tg::bmff

#include "bmff/box.h"

namespace tg::bmff {

namespace {

constexpr std::uint32_t UUID = fourcc("uuid");
// A size a signed file offset cannot hold is malformed, not a huge box.
constexpr std::uint64_t LARGEST_SIZE = std::uint64_t(1) << 63;

} // namespace

std::optional<BoxHeader> decodeHeader(Bytes head, std::uint64_t room, HeaderRules rules) {
    ByteReader r(head);
    BoxHeader h;
    const std::uint32_t size32 = r.u32();
    h.type = r.u32();
    h.headerSize = 8;
    h.toEnd = size32 == 0;
    if (size32 == 1) {
        h.size = r.u64();
        h.headerSize = 16;
    } else {
        h.size = h.toEnd ? room : size32;
    }
    if (rules.userType && h.type == UUID) {
        r.skip(16);
        h.headerSize += 16;
    }
    if (!r.ok() || h.size < h.headerSize || h.size >= LARGEST_SIZE) return std::nullopt;
    if (h.size > room && !rules.mayRunPast) return std::nullopt;
    return h;
}

BoxList listBoxes(Bytes bytes, std::uint64_t start, std::uint64_t end, HeaderRules rules) {
    BoxList list;
    list.listedTo = start;
    if (end > bytes.size() || start > end) return list;
    while (list.listedTo < end) {
        const std::uint64_t at = list.listedTo;
        const Bytes head = bytes.subspan(at, std::min<std::uint64_t>(end - at, MAX_HEADER));
        const auto h = decodeHeader(head, end - at, {.userType = rules.userType});
        if (!h) return list;
        list.boxes.push_back({*h, at});
        list.listedTo = at + h->size; // cannot wrap: bounded by end
    }
    list.complete = true;
    return list;
}

std::size_t BoxWriter::begin(std::uint32_t type) {
    const std::size_t at = size();
    u32(0);
    u32(type);
    return at;
}

std::size_t BoxWriter::beginFull(std::uint32_t type, std::uint8_t version, std::uint32_t flags) {
    const std::size_t at = begin(type);
    u32(std::uint32_t(version) << 24 | (flags & 0xFFFFFF));
    return at;
}

void BoxWriter::end(std::size_t at) {
    patch(at, size() - at, 4);
}

} // namespace tg::bmff

#include "ebml/ebml.h"

#include <array>

namespace tg::ebml {

namespace {

// A size a signed file offset cannot hold is malformed, not a huge element.
constexpr std::uint64_t LARGEST_SIZE = std::uint64_t(1) << 62;

unsigned widthOf(std::uint8_t first) {
    for (unsigned w = 1; w <= 8; ++w)
        if (first & (0x80u >> (w - 1))) return w;
    return 0;
}

// The largest size a width can state (all ones is reserved for unknown).
constexpr std::uint64_t maxSize(unsigned width) {
    return (std::uint64_t(1) << (7 * width)) - 2;
}

const std::array<std::uint32_t, 256>& crcTable() {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    return table;
}

} // namespace

std::optional<VarInt> readVarInt(Bytes b, std::uint64_t off) {
    if (off >= b.size()) return std::nullopt;
    const unsigned w = widthOf(b[off]);
    if (w == 0 || !fits(b.size(), off, w)) return std::nullopt;
    VarInt v;
    v.width = w;
    v.value = b[off] & (0xFFu >> w);
    for (unsigned i = 1; i < w; ++i)
        v.value = (v.value << 8) | b[off + i];
    v.allOnes = v.value == maxSize(w) + 1;
    return v;
}

std::optional<Header> decodeHeader(Bytes head, std::uint64_t room, bool mayRunPast) {
    const auto id = readVarInt(head, 0);
    if (!id || id->width > 4 || id->allOnes || id->value == 0) return std::nullopt;
    const auto size = readVarInt(head, id->width);
    if (!size) return std::nullopt;
    Header h;
    h.idWidth = id->width;
    h.id = std::uint32_t(readUnsigned(head, 0, id->width));
    h.sizeWidth = size->width;
    if (room < h.headerSize()) return std::nullopt;
    const std::uint64_t left = room - h.headerSize();
    h.unknownSize = size->allOnes;
    h.size = h.unknownSize ? left : size->value;
    if (h.size >= LARGEST_SIZE || (h.size > left && !mayRunPast)) return std::nullopt;
    return h;
}

ElementList listChildren(Bytes bytes, std::uint64_t start, std::uint64_t end) {
    ElementList list;
    list.listedTo = start;
    if (end > bytes.size() || start > end) return list;
    while (list.listedTo < end) {
        const std::uint64_t at = list.listedTo;
        const Bytes head = bytes.subspan(at, std::min<std::uint64_t>(end - at, MAX_HEADER));
        const auto h = decodeHeader(head, end - at);
        if (!h) return list;
        list.elements.push_back({*h, at});
        list.listedTo = at + h->headerSize() + h->size; // bounded by end
    }
    list.complete = true;
    return list;
}

std::optional<Element> findChild(const ElementList& list, std::uint32_t id) {
    for (const auto& e : list.elements)
        if (e.header.id == id) return e;
    return std::nullopt;
}

std::uint64_t readUint(Bytes data) {
    return data.size() <= 8 ? readUnsigned(data, 0, unsigned(data.size())) : 0;
}

std::uint32_t crc32(Bytes data, std::uint32_t crc) {
    const auto& t = crcTable();
    crc = ~crc;
    for (const std::uint8_t b : data)
        crc = t[(crc ^ b) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

namespace {

// A 32x32 matrix over GF(2), one column a word: what a CRC register becomes after zero bytes.
using Gf2 = std::array<std::uint32_t, 32>;

std::uint32_t times(const Gf2& m, std::uint32_t v) {
    std::uint32_t out = 0;
    for (int i = 0; v; ++i, v >>= 1)
        if (v & 1) out ^= m[std::size_t(i)];
    return out;
}

Gf2 squared(const Gf2& m) {
    Gf2 out{};
    for (std::size_t i = 0; i < 32; ++i)
        out[i] = times(m, m[i]);
    return out;
}

// The register (no initial or final inversion) after n more zero bytes: the matrices of 2^k zero
// bytes are made once, and n takes one product per bit set.
std::uint32_t shiftZeros(std::uint32_t reg, std::uint64_t n) {
    static const auto powers = [] {
        Gf2 step{}; // one zero bit
        step[0] = 0xEDB88320u;
        for (std::size_t i = 1; i < 32; ++i)
            step[i] = 1u << (i - 1);
        std::array<Gf2, 64> out{};
        out[0] = squared(squared(squared(step))); // one zero byte
        for (std::size_t k = 1; k < out.size(); ++k)
            out[k] = squared(out[k - 1]);
        return out;
    }();
    for (std::size_t k = 0; n; ++k, n >>= 1)
        if (n & 1) reg = times(powers[k], reg);
    return reg;
}

} // namespace

std::uint32_t crc32Patched(std::uint32_t crc, std::uint64_t length, std::uint64_t at, Bytes before,
                           Bytes after) {
    if (before.size() != after.size() || !fits(length, at, after.size())) return crc;
    // The CRC is affine in the message: the difference of two CRCs of equal length is the
    // register over the difference of the messages, zeros included.
    const auto& t = crcTable();
    std::uint32_t reg = 0;
    for (std::size_t i = 0; i < after.size(); ++i)
        reg = t[(reg ^ std::uint8_t(before[i] ^ after[i])) & 0xFF] ^ (reg >> 8);
    return crc ^ shiftZeros(reg, length - at - after.size());
}

void putId(std::vector<std::uint8_t>& out, std::uint32_t id) {
    const unsigned w = id > 0xFFFFFF ? 4 : id > 0xFFFF ? 3 : id > 0xFF ? 2 : 1;
    for (unsigned i = w; i-- > 0;)
        out.push_back(std::uint8_t(id >> (8 * i)));
}

std::optional<std::vector<std::uint8_t>> sizeBytes(std::uint64_t size, unsigned width) {
    if (width == 0 || width > 8 || size > maxSize(width)) return std::nullopt;
    std::vector<std::uint8_t> out(width);
    writeUnsigned(out, 0, width, size | (std::uint64_t(1) << (7 * width)));
    return out;
}

bool putSize(std::vector<std::uint8_t>& out, std::uint64_t size, unsigned minWidth) {
    for (unsigned w = std::max(minWidth, 1u); w <= 8; ++w)
        if (auto b = sizeBytes(size, w)) {
            out.insert(out.end(), b->begin(), b->end());
            return true;
        }
    return false;
}

void putUint(std::vector<std::uint8_t>& out, std::uint32_t id, std::uint64_t value) {
    unsigned w = 1;
    while (w < 8 && value >> (8 * w) != 0)
        ++w;
    putId(out, id);
    putSize(out, w);
    for (unsigned i = w; i-- > 0;)
        out.push_back(std::uint8_t(value >> (8 * i)));
}

std::vector<std::uint8_t> voidHead(std::uint64_t n) {
    std::vector<std::uint8_t> out;
    for (unsigned w = 1; w <= 8 && n >= 1 + w; ++w)
        if (auto size = sizeBytes(n - 1 - w, w)) {
            out.push_back(std::uint8_t(VOID));
            out.insert(out.end(), size->begin(), size->end());
            return out;
        }
    return out;
}

} // namespace tg::ebml

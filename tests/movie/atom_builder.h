// Tiny atom trees in memory for unit tests: atom("trak", {children...}) gives the bytes.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace tgtest {

using Blob = std::vector<std::uint8_t>;

inline void putU32(Blob& b, std::uint64_t v) {
    for (int s = 24; s >= 0; s -= 8)
        b.push_back(std::uint8_t(v >> s));
}
inline void putU64(Blob& b, std::uint64_t v) {
    for (int s = 56; s >= 0; s -= 8)
        b.push_back(std::uint8_t(v >> s));
}
inline Blob be32(std::uint64_t v) {
    Blob b;
    putU32(b, v);
    return b;
}
inline Blob cat(std::initializer_list<Blob> parts) {
    Blob out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
inline Blob text(const std::string& s) {
    return Blob(s.begin(), s.end());
}

// An atom with a 32-bit size, or with size field 1 and a 64-bit size when large.
inline Blob atom(const std::string& type, const Blob& payload, bool large = false) {
    Blob b;
    if (large) {
        putU32(b, 1);
        b.insert(b.end(), type.begin(), type.end());
        putU64(b, 16 + payload.size());
    } else {
        putU32(b, 8 + payload.size());
        b.insert(b.end(), type.begin(), type.end());
    }
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}
inline Blob atom(const std::string& type, std::initializer_list<Blob> children) {
    return atom(type, cat(children));
}

// A visual sample entry: 78 bytes of fixed fields, then its child atoms.
inline Blob sampleEntry(const std::string& type, std::initializer_list<Blob> children = {}) {
    return atom(type, cat({Blob(78, 0), cat(children)}));
}
// stsd: version/flags, entry count, entries.
inline Blob stsd(std::initializer_list<Blob> entries) {
    return atom("stsd", cat({be32(0), be32(entries.size()), cat(entries)}));
}
inline Blob stco(std::initializer_list<std::uint32_t> offsets, std::int64_t count = -1) {
    Blob b = cat({be32(0), be32(count < 0 ? offsets.size() : std::uint64_t(count))});
    for (auto o : offsets)
        putU32(b, o);
    return atom("stco", b);
}
inline Blob co64(std::initializer_list<std::uint64_t> offsets) {
    Blob b = cat({be32(0), be32(offsets.size())});
    for (auto o : offsets)
        putU64(b, o);
    return atom("co64", b);
}
inline Blob colr(const std::string& kind, std::uint16_t prim, std::uint16_t trc) {
    return atom("colr",
                cat({text(kind),
                     {std::uint8_t(prim >> 8), std::uint8_t(prim), 0, std::uint8_t(trc), 0, 1}}));
}
// moov/trak/mdia/minf/stbl around one sample table's atoms.
inline Blob track(std::initializer_list<Blob> stblChildren) {
    return atom("trak", {atom("mdia", {atom("minf", {atom("stbl", cat(stblChildren))})})});
}

} // namespace tgtest

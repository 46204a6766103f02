#include "movie/atoms.h"

namespace tg {

namespace {

constexpr std::uint64_t LARGEST_SIZE = std::uint64_t(1) << 63;

} // namespace

std::vector<Atom> childAtoms(Bytes d, std::uint64_t s, std::uint64_t e) {
    std::vector<Atom> atoms;
    if (e > d.size() || s > e) return atoms;
    std::uint64_t p = s;
    while (fits(e, p, 8)) {
        std::uint64_t size = u32(d, p);
        std::uint64_t hs = 8;
        if (size == 0) {
            size = e - p;
        } else if (size == 1) {
            if (!fits(e, p, 16)) break;
            size = u64(d, p + 8);
            hs = 16;
            if (size >= LARGEST_SIZE || size < 16) break;
        } else if (size < 8) {
            break;
        }
        if (!fits(e, p, size)) break;
        atoms.push_back({fourCC(d, p + 4), p, hs, size});
        p += size; // cannot wrap: p + size <= e
    }
    return atoms;
}

namespace {

// The header of the top-level atom at off, or nothing when it is short, unreadable or malformed.
std::optional<TopAtom> topAtomAt(const FileHandle& file, std::uint64_t off, std::uint64_t fileLen) {
    if (!fits(fileLen, off, 8)) return std::nullopt;
    std::array<std::uint8_t, 16> h{};
    auto got = file.readAt(off, h);
    if (got.failed() || *got < 8) return std::nullopt;
    Bytes hb(h.data(), *got);
    std::uint64_t size = u32(hb, 0);
    std::uint64_t hs = 8;
    if (size == 1) {
        if (*got < 16) return std::nullopt;
        size = u64(hb, 8);
        hs = 16;
        // A size that a signed file offset cannot hold is malformed, not a huge atom.
        if (size >= LARGEST_SIZE) return std::nullopt;
    } else if (size == 0) {
        size = fileLen - off;
    }
    if (size < hs) return std::nullopt;
    return TopAtom{fourCC(hb, 4), off, hs, size};
}

} // namespace

std::vector<TopAtom> topLevelAtoms(const FileHandle& file, std::uint64_t fileLen) {
    std::vector<TopAtom> atoms;
    std::uint64_t off = 0;
    while (auto atom = topAtomAt(file, off, fileLen)) {
        atoms.push_back(*atom);
        if (__builtin_add_overflow(off, atom->size, &off)) break;
    }
    return atoms;
}

std::optional<TopAtom> findMoovAtom(const FileHandle& file, std::uint64_t fileLen) {
    // Header by header, so the first moov wins and nothing behind it is read.
    std::uint64_t off = 0;
    while (auto atom = topAtomAt(file, off, fileLen)) {
        if (atom->type == "moov") return atom;
        if (__builtin_add_overflow(off, atom->size, &off)) break;
    }
    return std::nullopt;
}

std::optional<MoovPayload> findMoov(const FileHandle& file, std::uint64_t fileLen) {
    auto moov = findMoovAtom(file, fileLen);
    if (!moov) return std::nullopt;
    return MoovPayload{moov->start + moov->headerSize, moov->size - moov->headerSize};
}

} // namespace tg

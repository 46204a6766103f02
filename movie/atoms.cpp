#include "movie/atoms.h"

namespace tg {

std::vector<Atom> childAtoms(Bytes d, std::uint64_t s, std::uint64_t e) {
    std::vector<Atom> atoms;
    for (const auto& b : bmff::listBoxes(d, s, e).boxes)
        atoms.push_back({fourCC(d, b.offset + 4), b.offset, b.header.headerSize, b.header.size});
    return atoms;
}

namespace {

// The header of the top-level atom at off, or nothing when it is short, unreadable or malformed.
// It may run past the end of a file cut short.
std::optional<TopAtom> topAtomAt(const FileHandle& file, std::uint64_t off, std::uint64_t fileLen) {
    if (!fits(fileLen, off, 8)) return std::nullopt;
    std::array<std::uint8_t, 16> h{};
    auto got = file.readAt(off, h);
    if (got.failed()) return std::nullopt;
    const Bytes head(h.data(), *got);
    const auto header = bmff::decodeHeader(head, fileLen - off, {.mayRunPast = true});
    if (!header) return std::nullopt;
    return TopAtom{fourCC(head, 4), off, header->headerSize, header->size};
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

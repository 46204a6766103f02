// Byte-level pieces of the QuickTime / ISO base-media atom tree: the listing of a container's
// children and the top-level atoms of a file, where every atom header is validated.
#pragma once

#include "base/bytes.h"
#include "base/file.h"
#include "bmff/box.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tg {

// The Display P3 colour atom: size 19, "colr", "nclx", primaries 12, transfer 1, matrix 1,
// full-range flag clear.
inline constexpr std::array<std::uint8_t, 19> p3ColrAtom = {0x00, 0x00, 0x00, 0x13, 'c', 'o',  'l',
                                                            'r',  'n',  'c',  'l',  'x', 0x00, 0x0C,
                                                            0x00, 0x01, 0x00, 0x01, 0x00};

struct Atom {
    std::string type;         // four-character type, or empty when not ASCII
    std::uint64_t offset;     // offset of the atom's first byte
    std::uint64_t headerSize; // 8, or 16 with a 64-bit size
    std::uint64_t size;       // total size, header included
};

// The atoms lying back to back in [s, e) of d. A malformed or overlong header ends the list;
// the atoms before it remain (bmff::listBoxes says whether the list reached e). Never reads
// outside the range.
std::vector<Atom> childAtoms(Bytes d, std::uint64_t s, std::uint64_t e);

// One top-level atom header as found in the file.
struct TopAtom {
    std::string type;
    std::uint64_t start;      // absolute offset of its header
    std::uint64_t headerSize; // 8 or 16
    std::uint64_t size;       // total size, header included (to the end of the file for size 0)
};

// The top-level atoms of a file, in file order, up to the first malformed header, the end of
// the file, or a failing read. Reads only headers.
std::vector<TopAtom> topLevelAtoms(const FileHandle& file, std::uint64_t fileLen);

// The first top-level moov, header included.
std::optional<TopAtom> findMoovAtom(const FileHandle& file, std::uint64_t fileLen);

struct MoovPayload {
    std::uint64_t start;  // absolute offset of the payload
    std::uint64_t length; // declared length; may reach past the end of a truncated file
};
std::optional<MoovPayload> findMoov(const FileHandle& file, std::uint64_t fileLen);

} // namespace tg

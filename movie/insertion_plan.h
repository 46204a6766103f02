// Where new Display P3 colour atoms go in a movie's moov, and which atom sizes and absolute file
// offsets change with them. Pure: works on the bytes of moov alone.
#pragma once

#include "movie/moov_layout.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace tg {

// Every size that grows and every offset that moves does so by the length of p3ColrAtom, once for
// each atom inserted.
inline constexpr std::uint64_t COLR_GROWTH = p3ColrAtom.size();

// One atom size field to rewrite.
struct SizeFix {
    std::uint64_t absPos;  // absolute position of the atom's first byte, before the insertion
    bool isLarge;          // the 64-bit size at absPos + 8 rather than the 32-bit one at absPos
    std::uint64_t newSize; // old size + COLR_GROWTH for each atom inserted inside it
};

// One absolute file offset to rewrite (a chunk-offset, auxiliary-information or item offset).
struct OffsetFix {
    std::uint64_t absPos; // absolute position of the entry, before the insertion
    int w;                // 4 or 8 bytes
    std::uint64_t v;      // the new value
};

// A same-length overwrite at an absolute offset of the file as it was before the edit.
struct Overwrite {
    std::uint64_t at = 0;
    std::vector<std::uint8_t> bytes; // what goes there
    std::vector<std::uint8_t> old;   // what is there now
};

enum class PlanKind {
    insert,
    alreadyTagged,  // every video sample entry already has a colr child
    noVideo,        // no sample entry of a type in VID_CODECS in a video track
    tooLarge,       // a 32-bit size or offset would pass 4 GB after growing
    fragmented,     // movie fragments hold absolute offsets the plan does not fix
    foreignOffsets, // offsets that cannot be fixed (item locations, offsets into moov itself)
    trackStructure, // a track whose tables are not where its structure says they are
};

struct InsertionPlan {
    PlanKind kind = PlanKind::noVideo;
    // Buffer offsets of the insertion points, ascending: the end of each chosen entry's children.
    std::vector<std::uint64_t> insertPoints;
    std::uint64_t insertAt = 0; // the first of them
    // moov first, then each chosen entry and the atoms around it: entry, stsd, trak, mdia, minf,
    // stbl; each atom once.
    std::vector<SizeFix> sizeFixes;
    // The offsets that an exact growth (everything behind moov moves by growth()) changes.
    std::vector<OffsetFix> offsetFixes;
    // Every absolute offset stored in moov, for routes that move the tail by another amount.
    std::vector<OffsetRef> offsets;

    std::uint64_t growth() const { return COLR_GROWTH * insertPoints.size(); }
};

// One colour atom for every untagged video sample entry. moov: the whole moov atom, header
// included; hdrLen 8 or 16; moovStart its absolute position.
InsertionPlan planInsertion(Bytes moov, std::uint64_t hdrLen, std::uint64_t moovSize,
                            std::uint64_t moovStart);

// One colour atom for each of the given entries of layout.
InsertionPlan planInsertion(const MoovLayout& layout, Bytes moov, std::uint64_t moovStart,
                            const std::vector<std::size_t>& entries);

// How a route moves what lies behind the insertion: offsets pointing before `from` stay, those at
// or after `to` grow by `delta`, and one pointing in between cannot be kept right.
struct OffsetShift {
    std::uint64_t from = 0;
    std::uint64_t to = 0;
    std::uint64_t delta = 0;
};

// The fixes a shift needs, or nothing when an offset points in between or would overflow its
// field.
std::optional<std::vector<OffsetFix>> moveOffsets(const std::vector<OffsetRef>& refs,
                                                  const OffsetShift& shift);

// A big-endian field write as an overwrite of the bytes now in `current` at absolute `absPos`.
Overwrite fieldWrite(std::uint64_t absPos, int width, std::uint64_t value, Bytes current);

// The new moov: the colour atoms spliced in, the sizes grown, and `fields` (same-length writes at
// absolute positions inside the old moov) applied.
std::vector<std::uint8_t> rebuildMoov(Bytes moov, std::uint64_t moovStart,
                                      const InsertionPlan& plan,
                                      const std::vector<Overwrite>& fields);

} // namespace tg

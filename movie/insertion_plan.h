// Where a new Display P3 colour atom goes in a movie without one, and which atom sizes and
// absolute file offsets must change with it. Pure: works on the bytes of moov alone.
#pragma once

#include "movie/atoms.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace tg {

// Video sample-entry types that may be tagged; any other entry is left alone.
extern const std::set<std::string> VID_CODECS;

// Every size that grows and every offset that moves does so by the length of p3ColrAtom.
inline constexpr std::uint64_t COLR_GROWTH = p3ColrAtom.size();

// One atom size field to rewrite.
struct SizeFix {
    std::uint64_t absPos;  // absolute position of the atom's first byte, before the insertion
    bool isLarge;          // the 64-bit size at absPos + 8 rather than the 32-bit one at absPos
    std::uint64_t newSize; // old size + COLR_GROWTH
};

// One absolute file offset to rewrite (a chunk-offset or auxiliary-information offset entry).
struct OffsetFix {
    std::uint64_t absPos; // absolute position of the entry, before the insertion
    int w;                // 4 or 8 bytes
    std::uint64_t v;      // old value + COLR_GROWTH
};

enum class PlanKind {
    insert,
    alreadyTagged,  // the first video sample entry already has a colr child
    noVideo,        // no sample entry of a type in VID_CODECS
    tooLarge,       // a 32-bit size or offset would pass 4 GB after growing
    fragmented,     // movie fragments hold absolute offsets the plan does not fix
    foreignOffsets, // other absolute offsets (item locations) or a tree too deep to follow
};

struct InsertionPlan {
    PlanKind kind = PlanKind::noVideo;
    std::uint64_t insertAt = 0;     // offset in the moov buffer: the end of the chosen sample entry
    std::vector<SizeFix> sizeFixes; // moov, entry, stsd, then containers outermost first
    std::vector<OffsetFix> offsetFixes; // in document order
};

// moov: the whole moov atom, header included; hdrLen 8 or 16; moovStart its absolute position.
InsertionPlan planInsertion(Bytes moov, std::uint64_t hdrLen, std::uint64_t moovSize,
                            std::uint64_t moovStart);

} // namespace tg

// Where new Display P3 colour atoms go in a movie's moov, which parameter sets of configuration
// records are rebuilt longer, and which atom sizes and absolute file offsets change with them.
// Pure: works on the bytes of moov alone.
#pragma once

#include "edit/edit_plan.h"
#include "movie/moov_layout.h"

#include <cstdint>
#include <vector>

namespace tg {

// What one colour atom adds.
inline constexpr std::uint64_t COLR_GROWTH = p3ColrAtom.size();

// A parameter set of an entry's configuration record rebuilt to state its colour: the unit of
// oldSize bytes at absolute `at` (its 16-bit length just before it) becomes `nal`.
struct SpsRewrite {
    std::size_t entry = 0; // index into MoovLayout::entries
    std::uint64_t at = 0;
    std::uint64_t oldSize = 0;
    std::vector<std::uint8_t> nal;
};

// Bytes spliced into moov: at buffer offset `at`, `removed` old bytes give way to `bytes`.
struct Splice {
    std::uint64_t at = 0;
    std::uint64_t removed = 0;
    std::vector<std::uint8_t> bytes;
};

// One atom size field to rewrite.
struct SizeFix {
    std::uint64_t absPos;  // absolute position of the atom's first byte, before the insertion
    bool isLarge;          // the 64-bit size at absPos + 8 rather than the 32-bit one at absPos
    std::uint64_t newSize; // old size + what is spliced in inside it
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
    // Ascending: a colour atom at the end of each chosen entry's children, and the rebuilt
    // parameter sets with their new lengths.
    std::vector<Splice> splices;
    std::uint64_t insertAt = 0; // the first of them
    // moov first, then each chosen entry and the atoms around it: entry, stsd, trak, mdia, minf,
    // stbl; each atom once.
    std::vector<SizeFix> sizeFixes;
    // The offsets that an exact growth (everything behind moov moves by growth()) changes, with
    // their new values.
    std::vector<OffsetField> offsetFixes;
    // Every absolute offset stored in moov, for routes that move the tail by another amount.
    std::vector<OffsetField> offsets;

    std::uint64_t growth() const;
};

// One colour atom for every untagged video sample entry. moov: the whole moov atom, header
// included; hdrLen 8 or 16; moovStart its absolute position.
InsertionPlan planInsertion(Bytes moov, std::uint64_t hdrLen, std::uint64_t moovSize,
                            std::uint64_t moovStart);

// One colour atom for each of the given entries of layout (saying full range for those in
// fullRange, as their coded video does), and the given parameter sets rebuilt.
InsertionPlan planInsertion(const MoovLayout& layout, Bytes moov, std::uint64_t moovStart,
                            const std::vector<std::size_t>& entries,
                            const std::vector<SpsRewrite>& rewrites = {},
                            const std::vector<std::size_t>& fullRange = {});

// The new moov: the splices made, the sizes grown, and `fields` (same-length writes at absolute
// positions inside the old moov) applied.
std::vector<std::uint8_t> rebuildMoov(Bytes moov, std::uint64_t moovStart,
                                      const InsertionPlan& plan,
                                      const std::vector<Overwrite>& fields);

} // namespace tg

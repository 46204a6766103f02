// The colour decision over every video sample entry of a movie, made in one place: which entries
// are tagged, which colour atoms get their primaries rewritten, which entries get a new atom.
// A bitstream layer joins here, entry by entry (its type, colour atoms and configuration box).
#pragma once

#include "movie/insertion_plan.h"
#include "movie/moov_layout.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tg {

enum class Verdict {
    noVideo,       // no entry of a type in VID_CODECS in a video track
    hdr,           // an entry signals BT.2020 primaries, PQ or HLG: left alone
    alreadyP3,     // every entry tagged, and every colour code found already says Display P3
    alreadyTagged, // every entry tagged, some by an ICC profile or another kind of colour atom
    patch,         // primaries to rewrite (and maybe entries to give a new atom as well)
    insert,        // nothing to rewrite, entries without any colour atom
};

struct ColourDecision {
    Verdict verdict = Verdict::noVideo;
    std::vector<Overwrite> patches;    // 2-byte primaries writes, at absolute positions
    std::vector<std::size_t> untagged; // indexes into MoovLayout::entries
};

ColourDecision decideColour(const MoovLayout& layout, Bytes moov, std::uint64_t moovStart);

} // namespace tg

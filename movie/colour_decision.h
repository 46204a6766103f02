// The colour decision over every video sample entry of a movie, made in one place: which entries
// are tagged, which colour atoms get their primaries rewritten, which entries get a new atom.
// The bitstream layer joins here: HDR from any layer leaves the movie alone, and its overwrites
// join the container's.
#pragma once

#include "movie/bitstream_layer.h"
#include "movie/insertion_plan.h"
#include "movie/moov_layout.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tg {

enum class Verdict {
    noVideo,       // no entry of a type in VID_CODECS in a video track
    hdr,           // some layer of an entry signals HDR: left alone
    alreadyP3,     // every entry tagged, and every colour code found already says Display P3
    bitstreamOnly, // the container already says Display P3; the bitstream states otherwise and
                   // cannot be rewritten
    alreadyTagged, // every entry tagged, some by an ICC profile or another kind of colour atom
    patch,         // primaries to rewrite (and maybe entries to give a new atom as well)
    insert,        // nothing to rewrite, entries without any colour atom
};

struct ColourDecision {
    Verdict verdict = Verdict::noVideo;
    // Same-length writes at absolute positions: the colour atoms' 2-byte primaries, then the
    // bitstream's primaries.
    std::vector<Overwrite> patches;
    std::vector<std::size_t> untagged; // indexes into MoovLayout::entries
    // Some place in the bitstream that states primaries is left as it is; what it says, when
    // known.
    bool bitstreamLeft = false;
    std::optional<std::uint8_t> bitstreamSays;
    // Parameter sets of configuration records rebuilt to state their colour; and whether some
    // parameter set states none and stays so (in-band copies, AV1, a unit that cannot be rebuilt).
    std::vector<SpsRewrite> rewrites;
    bool bitstreamSilent = false;
    bool oldVpcC = false; // a VP9 configuration of version 0 is among those left
    // Entries whose coded video uses the full range: an atom added to them says so too.
    std::vector<std::size_t> fullRange;
    // Which layers state Display P3 once the patches (and insertions) are written.
    bool containerP3 = false;
    bool bitstreamP3 = false;
};

// bitstream, when given, is the layer read for the same layout.
ColourDecision decideColour(const MoovLayout& layout, Bytes moov, std::uint64_t moovStart,
                            const BitstreamLayer* bitstream = nullptr);

} // namespace tg

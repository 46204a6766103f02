// The colour decision per video track of a Matroska file, made in one place: which tracks are
// left alone and why, which Primaries are rewritten in place, which tracks get Colour elements.
#pragma once

#include "matroska/mkv_loader.h"

#include <string>
#include <vector>

namespace tg {

enum class TrackVerdict {
    already, // Primaries 12
    hdr,     // PQ or HLG transfer, BT.2020 primaries, mastering metadata or Dolby Vision
    fixed,   // an existing Primaries rewritten, same length
    added,   // Colour, or Primaries within it, added
};

struct TrackDecision {
    std::size_t track = 0; // index into MkvFile::trackList
    TrackVerdict verdict = TrackVerdict::already;
    std::string why; // what the container says, for --inspect and a result's detail
};

struct MkvDecision {
    std::vector<TrackDecision> tracks; // video tracks only, in file order
    bool anyHdr() const;
    bool all(TrackVerdict v) const;
    bool any(TrackVerdict v) const;
};

MkvDecision decideMatroska(const MkvFile& file);

} // namespace tg

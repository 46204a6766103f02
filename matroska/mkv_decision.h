// The colour decision per video track of a Matroska file, made in one place: which tracks are
// left alone and why, which Primaries are rewritten in place, which tracks get Colour elements.
#pragma once

#include "matroska/mkv_bitstream.h"
#include "matroska/mkv_loader.h"

#include <string>
#include <vector>

namespace tg {

enum class TrackVerdict {
    already, // Primaries 12, and the bitstream says nothing else it can be made to say
    hdr,     // PQ or HLG transfer, BT.2020 primaries, mastering metadata or Dolby Vision
    fixed,   // an existing Primaries rewritten, same length (or only the bitstream's)
    added,   // Colour, or Primaries within it, added
};

struct TrackDecision {
    std::size_t track = 0; // index into MkvFile::trackList
    TrackVerdict verdict = TrackVerdict::already;
    std::string why; // what the container says, for --inspect and a result's detail
    TrackBitstream bitstream;
};

struct MkvDecision {
    std::vector<TrackDecision> tracks; // video tracks only, in file order
    bool anyHdr() const;
    bool all(TrackVerdict v) const;
    bool any(TrackVerdict v) const;
    // Over every video track's bitstream: the writes, and what is left as it is.
    std::vector<Overwrite> bitstreamWrites() const;
    std::optional<std::uint8_t> bitstreamLeft() const;
    bool bitstreamSilent() const;
    bool bitstreamUnreadable() const;
    // Every track's bitstream states Display P3 once the writes are made.
    bool bitstreamP3() const;
};

MkvDecision decideMatroska(const MkvFile& file);

} // namespace tg

// The colour a video track's coded stream states: in its CodecPrivate (the avcC / hvcC / av1C
// record Matroska keeps there for V_MPEG4/ISO/AVC, V_MPEGH/ISO/HEVC and V_AV1), at the head of
// its blocks, and in every V_PRORES frame header; read and patched with the same codec readers
// as a movie's samples. VP9 states its colour only in the container.
#pragma once

#include "edit/edit_plan.h"
#include "matroska/mkv_loader.h"

#include <optional>
#include <string>
#include <vector>

namespace tg {

struct TrackBitstream {
    std::vector<Overwrite> writes; // primaries rewritten in place, absolute
    bool hdr = false;              // PQ or HLG transfer, or BT.2020 primaries
    bool states = false;           // some parameter set states its colour
    bool silent = false;           // some parameter set states none, and stays so
    // The configuration record rebuilt with its parameter sets that state none made to state
    // Display P3 (so CodecPrivate grows), when there are such and each could be rebuilt.
    std::optional<std::vector<std::uint8_t>> record;
    bool unreadable = false;          // a record or parameter set that could not be read
    std::optional<std::uint8_t> left; // primaries a parameter set keeps: the patch cannot be made
    // The codes the first unit that states them says, before any patch: "sps", "av1", "prores".
    std::string kind;
    std::optional<std::uint8_t> primaries, transfer, matrix;
};

TrackBitstream readTrackBitstream(const MkvFile& file, const MkvTrack& track);

} // namespace tg

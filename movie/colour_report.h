// What a movie says about its colour, read without changing anything: for every video sample
// entry the container's colour atom, the colour its bitstream states and whether it signals HDR,
// and what an in-place run would do. The file is opened read-only under a shared lock; an
// interrupted edit is reported, never finished.
#pragma once

#include "base/file.h"
#include "model/job.h"
#include "movie/atoms.h"
#include "movie/bitstream_layer.h"
#include "movie/moov_layout.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tg {

// A colour description as stored: the container's colr kind ("nclc", "nclx", "prof", ...) or the
// bitstream's ("sps", "prores"), with its H.273 codes where the kind has them.
struct StoredColour {
    std::string kind;
    std::optional<std::uint16_t> primaries, transfer, matrix;
};

struct EntryColour {
    std::size_t track = 0; // 1-based, counting every track of the movie
    std::string type;      // sample entry type
    std::optional<StoredColour> container;
    std::optional<StoredColour> bitstream;
    bool hdr = false;
};

struct MovieInspection {
    bool readable = false; // opened and read; false also while an edit in progress holds it
    bool interruptedEdit = false;
    std::vector<EntryColour> entries;
    TGResult inPlace{"", TGOutcome::error, ""};
};

MovieInspection inspectMovie(const std::filesystem::path& file);

} // namespace tg

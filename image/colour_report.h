// What a photo says about its colour, read without changing anything: its colour signal and
// what an in-place run would do with it.
#pragma once

#include "model/job.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace tg {

struct PhotoColour {
    std::string kind;                     // "icc", or "nclx" (HEIF) / "cicp" (PNG) codes
    std::string description;              // icc: the profile's description, as lcms2 reads it
    std::array<std::uint16_t, 3> codes{}; // nclx, cicp: primaries, transfer, matrix
};

struct PhotoInspection {
    bool readable = false;             // the file could be opened and read
    std::optional<PhotoColour> colour; // the ICC profile when there is one, else CICP codes
    bool displayP3 = false;            // already Display P3 as the tagger judges it
    TGResult inPlace{"", TGOutcome::error, ""};
};

// Opens the photo read-only; the tagger's own checks decide inPlace.
PhotoInspection inspectPhoto(const std::filesystem::path& file);

} // namespace tg

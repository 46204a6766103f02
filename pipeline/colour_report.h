// --inspect: what each file says about its colour and what an in-place run would do, read
// without changing anything. Unlike a run, it clears no leftovers and finishes no edit.
#pragma once

#include "model/job.h"
#include "pipeline/inputs.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tg {

struct InspectedColour {
    std::string kind; // "nclc", "nclx", "prof", ... / "sps", "prores" / "icc", "cicp"
    std::optional<std::uint16_t> primaries, transfer, matrix;
    std::string description; // an ICC profile's
};

struct InspectedTrack {
    std::size_t track = 0;
    std::string entry;
    std::optional<InspectedColour> container;
    std::optional<InspectedColour> bitstream;
    bool hdr = false;
};

struct Inspection {
    enum class Kind { other, movie, photo };
    Kind kind = Kind::other;
    // The file could be opened and read; a run that could not is what makes the exit status 1.
    bool readable = true;
    // name, the outcome and message an in-place run would give, and the detail behind an error.
    TGResult result{"", TGOutcome::skipped, ""};
    // Layers that state Display P3 now: "container", "bitstream"; empty for photos.
    std::vector<std::string> layers;
    bool interruptedEdit = false;          // movies
    std::vector<InspectedTrack> tracks;    // movies
    std::optional<InspectedColour> colour; // photos
    bool displayP3 = false;                // photos
};

Inspection inspectInput(const Input& input);

// A line per video entry ("track 1 avc1  container: nclc 1/1/1  bitstream: 1/1/1  HDR: no"), or
// the photo's ("colour: ICC \"sRGB\"  Display P3: no"), as the CLI and the window show them.
std::vector<std::string> colourLines(const Inspection& inspection);
// "in place:  " + the outcome's mark + "  " + the message an in-place run would give.
std::string inPlaceLine(const Inspection& inspection);

} // namespace tg

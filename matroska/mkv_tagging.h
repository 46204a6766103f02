// Tags a Matroska or WebM file Display P3 where it lies, in the same frame as a movie: one
// descriptor opened without blocking and locked from the first read to the last write, an
// interrupted edit finished or undone first, then the decision and the journaled edit.
#pragma once

#include "model/job.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tg {

TGResult tagMatroska(const std::filesystem::path& file,
                     const std::function<void(double)>& onMoving = {});

// What a read-only look finds, under a shared lock: per video track the container's Colour and
// the bitstream's, what an in-place run would do, and how it would make room. An interrupted
// edit is reported, never finished.
struct MkvTrackReport {
    std::uint64_t number = 0;
    std::string codec;
    bool colour = false;
    std::optional<std::uint64_t> primaries, transfer, matrix;
    std::string bitstreamKind; // "sps", "av1"; empty when the stream states no colour
    std::optional<std::uint64_t> bitstreamPrimaries, bitstreamTransfer, bitstreamMatrix;
    bool hdr = false;
};
struct MkvInspection {
    bool readable = false;
    bool interruptedEdit = false;
    std::vector<MkvTrackReport> tracks;
    TGResult inPlace{"", TGOutcome::error, ""};
    std::string route; // how the edit would make room, when it would edit
};
MkvInspection inspectMatroska(const std::filesystem::path& file);

} // namespace tg

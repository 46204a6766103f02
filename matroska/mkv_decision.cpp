#include "matroska/mkv_decision.h"

#include "codec/colour_codes.h"

#include <algorithm>

namespace tg {

namespace {

TrackDecision decide(const MkvTrack& t, std::size_t index) {
    TrackDecision d{index, TrackVerdict::added, {}};
    const auto value = [](const std::optional<UintField>& f) { return f ? f->value : 2; };
    if (t.dolbyVision) return {index, TrackVerdict::hdr, "Dolby Vision block additions"};
    if (t.mastering) return {index, TrackVerdict::hdr, "mastering metadata"};
    if (t.transfer && hdrTransfer(unsigned(t.transfer->value)))
        return {index, TrackVerdict::hdr,
                "transfer " + std::to_string(t.transfer->value) + " (PQ or HLG)"};
    if (t.primaries && t.primaries->value == PRIMARIES_BT2020)
        return {index, TrackVerdict::hdr, "primaries 9 (BT.2020)"};
    if (!t.colour) {
        d.why = t.video ? "no Colour" : "no Video";
        return d;
    }
    // A Primaries of no bytes states the default and cannot be rewritten in place.
    if (!t.primaries || t.primaries->width == 0) {
        d.why = "Colour without Primaries";
        return d;
    }
    const std::string says = "Colour primaries " + std::to_string(value(t.primaries));
    if (t.primaries->value == PRIMARIES_DISPLAY_P3) return {index, TrackVerdict::already, says};
    return {index, TrackVerdict::fixed, says};
}

} // namespace

bool MkvDecision::anyHdr() const {
    return any(TrackVerdict::hdr);
}

bool MkvDecision::all(TrackVerdict v) const {
    return std::all_of(tracks.begin(), tracks.end(),
                       [v](const TrackDecision& d) { return d.verdict == v; });
}

bool MkvDecision::any(TrackVerdict v) const {
    return std::any_of(tracks.begin(), tracks.end(),
                       [v](const TrackDecision& d) { return d.verdict == v; });
}

MkvDecision decideMatroska(const MkvFile& file) {
    MkvDecision d;
    for (std::size_t i = 0; i < file.trackList.size(); ++i)
        if (file.trackList[i].isVideo()) d.tracks.push_back(decide(file.trackList[i], i));
    return d;
}

} // namespace tg

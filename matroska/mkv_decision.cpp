#include "matroska/mkv_decision.h"

#include "codec/colour_codes.h"

#include <algorithm>

namespace tg {

namespace {

TrackDecision decide(const MkvTrack& t, std::size_t index) {
    const auto verdict = [index](TrackVerdict v, std::string why) {
        TrackDecision d;
        d.track = index;
        d.verdict = v;
        d.why = std::move(why);
        return d;
    };
    if (t.dolbyVision) return verdict(TrackVerdict::hdr, "Dolby Vision block additions");
    if (t.mastering) return verdict(TrackVerdict::hdr, "mastering metadata");
    if (t.transfer && hdrTransfer(unsigned(t.transfer->value)))
        return verdict(TrackVerdict::hdr,
                       "transfer " + std::to_string(t.transfer->value) + " (PQ or HLG)");
    if (t.primaries && t.primaries->value == PRIMARIES_BT2020)
        return verdict(TrackVerdict::hdr, "primaries 9 (BT.2020)");
    if (!t.colour) return verdict(TrackVerdict::added, t.video ? "no Colour" : "no Video");
    // A Primaries of no bytes states the default and cannot be rewritten in place.
    if (!t.primaries || t.primaries->width == 0)
        return verdict(TrackVerdict::added, "Colour without Primaries");
    const std::string says = "Colour primaries " + std::to_string(t.primaries->value);
    if (t.primaries->value == PRIMARIES_DISPLAY_P3) return verdict(TrackVerdict::already, says);
    return verdict(TrackVerdict::fixed, says);
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
    for (std::size_t i = 0; i < file.trackList.size(); ++i) {
        const MkvTrack& t = file.trackList[i];
        if (!t.isVideo()) continue;
        TrackDecision td = decide(t, i);
        td.bitstream = readTrackBitstream(file, t);
        if (td.verdict != TrackVerdict::hdr && td.bitstream.hdr) {
            td.verdict = TrackVerdict::hdr;
            td.why = "the bitstream signals HDR";
        } else if (td.verdict == TrackVerdict::already &&
                   (!td.bitstream.writes.empty() || td.bitstream.record)) {
            td.verdict = TrackVerdict::fixed;
            td.why += "; bitstream primaries rewritten";
        }
        d.tracks.push_back(std::move(td));
    }
    return d;
}

std::vector<Overwrite> MkvDecision::bitstreamWrites() const {
    std::vector<Overwrite> out;
    for (const auto& t : tracks)
        out.insert(out.end(), t.bitstream.writes.begin(), t.bitstream.writes.end());
    return out;
}

std::optional<std::uint8_t> MkvDecision::bitstreamLeft() const {
    for (const auto& t : tracks)
        if (t.bitstream.left) return t.bitstream.left;
    return std::nullopt;
}

bool MkvDecision::bitstreamSilent() const {
    return std::any_of(tracks.begin(), tracks.end(),
                       [](const TrackDecision& t) { return t.bitstream.silent; });
}

bool MkvDecision::bitstreamUnreadable() const {
    return std::any_of(tracks.begin(), tracks.end(),
                       [](const TrackDecision& t) { return t.bitstream.unreadable; });
}

bool MkvDecision::bitstreamP3() const {
    return !tracks.empty() && std::all_of(tracks.begin(), tracks.end(), [](const TrackDecision& t) {
        const TrackBitstream& b = t.bitstream;
        return (b.states || b.record) && !b.left && !b.silent && !b.unreadable;
    });
}

} // namespace tg

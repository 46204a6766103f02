#include "matroska/mkv_bitstream.h"

#include "codec/av1.h"
#include "codec/prores.h"
#include "codec/sps.h"

namespace tg {

namespace {

// The bytes a patch changed, as one same-length write at the unit's absolute position.
void addWrite(TrackBitstream& out, std::uint64_t at, Bytes before,
              const std::vector<std::uint8_t>& after) {
    std::size_t first = after.size(), last = 0;
    for (std::size_t i = 0; i < after.size(); ++i)
        if (after[i] != before[i]) {
            first = std::min(first, i);
            last = i;
        }
    if (first == after.size()) return;
    Overwrite w;
    w.at = at + first;
    w.bytes.assign(after.begin() + std::ptrdiff_t(first), after.begin() + std::ptrdiff_t(last + 1));
    w.old.assign(before.begin() + std::ptrdiff_t(first), before.begin() + std::ptrdiff_t(last + 1));
    out.writes.push_back(std::move(w));
}

// What a unit states, noted; true when its primaries should be rewritten.
bool note(TrackBitstream& out, const std::optional<SpsColour>& colour, const char* kind) {
    if (!colour) {
        out.unreadable = true;
        return false;
    }
    if (!colour->described) {
        out.silent = true;
        return false;
    }
    if (!out.states) {
        out.kind = kind;
        out.primaries = colour->primaries;
        out.transfer = colour->transfer;
        out.matrix = colour->matrix;
    }
    out.states = true;
    if (hdrCodes(colour->primaries, colour->transfer)) out.hdr = true;
    return colour->primaries != PRIMARIES_DISPLAY_P3;
}

// One unit (an SPS, or an AV1 sequence header) at `at` of the file: noted, and its primaries
// rewritten in place where they must be and can be.
void readUnit(TrackBitstream& out, bool av1, VideoCodec codec, std::uint64_t at, Bytes unit) {
    std::vector<std::uint8_t> copy(unit.begin(), unit.end());
    const auto colour = av1 ? readAv1Colour(copy) : readSpsColour(codec, copy);
    if (!note(out, colour, av1 ? "av1" : "sps")) return;
    const bool patched = av1 ? patchAv1Primaries(copy) == Av1Patch::patched
                             : patchSpsPrimaries(codec, copy) == SpsPatch::patched;
    if (patched)
        addWrite(out, at, unit, copy);
    else
        out.left = colour->primaries;
}

// Every ProRes frame's header: its primaries rewritten as in a QuickTime sample.
TrackBitstream proRes(const MkvFile& file, const MkvTrack& track) {
    TrackBitstream out;
    if (track.laced) out.unreadable = true;
    for (const InBandUnit& unit : file.inBand) {
        if (&file.trackList[unit.track] != &track) continue;
        const auto h = readProResHeader(unit.bytes, unit.frameSize);
        if (!h) {
            out.unreadable = true;
            continue;
        }
        SpsColour stated;
        stated.described = true;
        stated.primaries = h->primaries;
        stated.transfer = h->transfer;
        stated.matrix = h->matrix;
        if (!note(out, stated, "prores")) continue;
        std::vector<std::uint8_t> copy = unit.bytes;
        if (patchProResPrimaries(copy, unit.frameSize) == ProResPatch::patched)
            addWrite(out, unit.at, unit.bytes, copy);
        else
            out.left = h->primaries;
    }
    return out;
}

} // namespace

TrackBitstream readTrackBitstream(const MkvFile& file, const MkvTrack& track) {
    if (track.codec == "V_PRORES") return proRes(file, track);
    TrackBitstream out;
    const bool avc = track.codec == "V_MPEG4/ISO/AVC", hevc = track.codec == "V_MPEGH/ISO/HEVC";
    const bool av1 = track.codec == "V_AV1";
    if (!track.codecPrivate || !(avc || hevc || av1)) return out;
    const VideoCodec codec = avc ? VideoCodec::h264 : VideoCodec::hevc;
    const Bytes record =
        Bytes(file.tracksBytes)
            .subspan(track.codecPrivate->dataStart(), track.codecPrivate->header.size);
    const std::uint64_t base = file.tracks.offset + track.codecPrivate->dataStart();
    std::optional<std::vector<NalRange>> units;
    if (av1) {
        units = av1CSequenceHeaders(record);
    } else if (auto config = avc ? avcCSps(record) : hvcCSps(record)) {
        units = std::move(config->sps);
    }
    if (!units) out.unreadable = true;
    for (const NalRange& unit : units ? *units : std::vector<NalRange>{})
        readUnit(out, av1, codec, base + unit.offset, record.subspan(unit.offset, unit.size));
    // The units that open the blocks: decoders take these over the record's.
    if (track.laced) out.unreadable = true;
    for (const InBandUnit& unit : file.inBand)
        if (&file.trackList[unit.track] == &track) readUnit(out, av1, codec, unit.at, unit.bytes);
    return out;
}

} // namespace tg

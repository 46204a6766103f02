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

// The record with its parameter sets that state no colour rebuilt to state the container's:
// primaries 12, and the track's transfer and matrix (1 and 1 where its Colour has none), as a
// movie's sample entry gets them. Each unit's 2-byte length in front of it grows with it.
void describeRecord(TrackBitstream& out, const MkvTrack& track, VideoCodec codec, Bytes record,
                    std::uint64_t base, const std::vector<NalRange>& silent) {
    const auto code = [](const std::optional<UintField>& f) {
        return std::uint8_t(f && f->value <= 0xFF ? f->value : 1);
    };
    std::vector<std::uint8_t> rebuilt(record.begin(), record.end());
    for (const auto& w : out.writes) // the record's own patches first
        for (std::size_t i = 0; i < w.bytes.size(); ++i)
            if (w.at + i >= base && w.at + i - base < rebuilt.size())
                rebuilt[w.at + i - base] = w.bytes[i];
    for (auto unit = silent.rbegin(); unit != silent.rend(); ++unit) {
        const auto nal =
            describeSpsColour(codec, record.subspan(unit->offset, unit->size), PRIMARIES_DISPLAY_P3,
                              code(track.transfer), code(track.matrix));
        if (!nal || nal->size() > 0xFFFF || unit->offset < 2) {
            out.silent = true;
            return;
        }
        std::vector<std::uint8_t> length(2);
        writeUnsigned(length, 0, 2, nal->size());
        const auto at = rebuilt.begin() + std::ptrdiff_t(unit->offset);
        rebuilt.erase(at - 2, at + std::ptrdiff_t(unit->size));
        rebuilt.insert(rebuilt.begin() + std::ptrdiff_t(unit->offset - 2), length.begin(),
                       length.end());
        rebuilt.insert(rebuilt.begin() + std::ptrdiff_t(unit->offset), nal->begin(), nal->end());
    }
    out.record = std::move(rebuilt);
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
    std::vector<NalRange> silent; // parameter sets of the record that state no colour
    for (const NalRange& unit : units ? *units : std::vector<NalRange>{}) {
        const Bytes bytes = record.subspan(unit.offset, unit.size);
        if (const auto c = av1 ? std::nullopt : readSpsColour(codec, bytes); c && !c->described)
            silent.push_back(unit);
        else
            readUnit(out, av1, codec, base + unit.offset, bytes);
    }
    if (!silent.empty()) describeRecord(out, track, codec, record, base, silent);
    // The units that open the blocks: decoders take these over the record's.
    if (track.laced) out.unreadable = true;
    for (const InBandUnit& unit : file.inBand)
        if (&file.trackList[unit.track] == &track) readUnit(out, av1, codec, unit.at, unit.bytes);
    return out;
}

} // namespace tg

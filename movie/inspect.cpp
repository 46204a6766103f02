#include "movie/inspect.h"

#include "movie/bitstream_layer.h"
#include "movie/colour_decision.h"
#include "movie/insertion_plan.h"
#include "movie/journal.h"
#include "movie/movie_tagger.h"

#include <algorithm>

namespace tg {

namespace {

// The same bounds an in-place edit applies.
constexpr std::uint64_t MAX_PAYLOAD_ABOVE_8 = 511999991;
constexpr std::uint64_t MAX_META = 16 * 1024 * 1024;
// A journal header holds a rebuilt moov; one larger than this is not read for its outcome.
constexpr std::uint64_t MAX_JOURNAL = 600ull << 20;

const char* const NO_MOOV = "Unsupported (no moov)";
const char* const IN_USE = "In use by another run — try again when it ends";
const char* const WAITING = "Interrupted edit waits — an in-place run finishes it first";

// Whether this one entry signals HDR: as the colour decision judges its colour atoms, or in any
// layer of its bitstream.
bool signalsHdr(const MoovLayout& layout, std::size_t i, Bytes moov, std::uint64_t moovStart,
                const EntryBitstream& bitstream) {
    if (bitstream.hdr) return true;
    MoovLayout one;
    one.tracks = layout.tracks;
    one.entries = {layout.entries[i]};
    return decideColour(one, moov, moovStart).verdict == Verdict::hdr;
}

std::optional<StoredColour> bitstreamColour(const EntryBitstream& b) {
    if (!b.colour || b.kind == BitstreamKind::none) return std::nullopt;
    return StoredColour{b.kind == BitstreamKind::prores ? "prores" : "sps", b.colour->primaries,
                        b.colour->transfer, b.colour->matrix};
}

std::optional<StoredColour> containerColour(const VideoEntry& e) {
    if (e.colours.empty()) return std::nullopt;
    const auto coded = std::find_if(e.colours.begin(), e.colours.end(),
                                    [](const ColourAtom& c) { return c.hasCodes; });
    const ColourAtom& c = coded != e.colours.end() ? *coded : e.colours.front();
    StoredColour codes{c.kind, {}, {}, {}};
    if (c.hasCodes) {
        codes.primaries = c.prim;
        codes.transfer = c.trc;
        codes.matrix = c.matrix;
    }
    return codes;
}

// The outcome the interrupted edit was to give, read from its journal without opening it for
// writing; nothing when the journal cannot be read whole.
std::optional<TGOutcome> journalOutcome(const std::filesystem::path& file, const FileIdentity& id) {
    auto journal = FileHandle::openRegular(journalPath(file, id.device, id.inode), false);
    if (journal.failed()) return std::nullopt;
    auto size = journal->size();
    if (size.failed() || *size > MAX_JOURNAL) return std::nullopt;
    auto bytes = journal->readFully(0, std::size_t(*size));
    if (bytes.failed()) return std::nullopt;
    const auto j = decodeJournal(*bytes);
    if (!j) return std::nullopt;
    return j->outcome;
}

const char* refusalMessage(PlanKind kind) {
    switch (kind) {
    case PlanKind::tooLarge:
        return "Can't add tag — a size or offset would pass 4 GB";
    case PlanKind::fragmented:
        return "Unsupported (fragmented movie)";
    case PlanKind::trackStructure:
        return "Unsupported (unexpected track structure)";
    case PlanKind::foreignOffsets:
    case PlanKind::insert:
    case PlanKind::alreadyTagged:
    case PlanKind::noVideo:
        break;
    }
    return "Unsupported (offsets outside chunk tables)";
}

// Top-level atoms that stop an insertion: fragments, and a meta whose item locations cannot be
// read.
PlanKind topLevelRefusal(const FileHandle& file, std::uint64_t fileSize,
                         const std::vector<TopAtom>& top) {
    for (const auto& a : top) {
        if (a.type == "moof" || a.type == "mfra") return PlanKind::fragmented;
        if (a.type != "meta") continue;
        if (a.size > MAX_META || !fits(fileSize, a.start, a.size)) return PlanKind::foreignOffsets;
        auto meta = file.readFully(a.start, a.size);
        if (meta.failed()) return PlanKind::foreignOffsets;
        const Atom atom{a.type, 0, a.headerSize, a.size};
        for (const auto& iloc : ilocsInMeta(*meta, atom))
            if (!itemLocations(*meta, iloc, a.start)) return PlanKind::foreignOffsets;
    }
    return PlanKind::insert;
}

} // namespace

TGResult wouldTagInPlace(const std::string& name, const FileHandle& file, std::uint64_t fileSize,
                         const std::vector<TopAtom>& top, const MoovLayout& layout, Bytes moov,
                         std::uint64_t moovStart, const BitstreamLayer& bitstream) {
    const ColourDecision d = decideColour(layout, moov, moovStart, &bitstream);
    const std::string still = !d.bitstreamLeft ? std::string()
                              : d.bitstreamSays
                                  ? " — bitstream still says " + primariesName(*d.bitstreamSays)
                                  : std::string(" — bitstream left unchanged (unreadable)");
    TGResult r(name, TGOutcome::error, "");
    switch (d.verdict) {
    case Verdict::noVideo:
        return {name, TGOutcome::skipped, "No video track to tag"};
    case Verdict::hdr:
        return {name, TGOutcome::hdr, "HDR — left unchanged"};
    case Verdict::alreadyP3:
        return {name, TGOutcome::already, "Already Display-P3"};
    case Verdict::alreadyTagged:
        return {name, TGOutcome::already, "Already tagged"};
    case Verdict::bitstreamOnly:
        return {name, TGOutcome::skipped, "Container already Display-P3" + still};
    case Verdict::patch:
        r = TGResult(name, TGOutcome::fixed, "Fixed → Display-P3" + still);
        break;
    case Verdict::insert:
        r = TGResult(name, TGOutcome::added, "No tag found — added Display-P3" + still);
        break;
    }
    if (d.untagged.empty()) return r;
    PlanKind kind = planInsertion(layout, moov, moovStart, d.untagged).kind;
    if (kind == PlanKind::insert) kind = topLevelRefusal(file, fileSize, top);
    if (kind == PlanKind::insert) return r;
    TGResult refused(name, TGOutcome::error, refusalMessage(kind));
    if (!layout.why.empty()) refused.detail = layout.why;
    return refused;
}

MovieInspection inspectMovie(const std::filesystem::path& file) {
    MovieInspection report;
    const std::string name = file.filename().string();
    const auto failed = [&](const char* message, const Failure& why) {
        report.inPlace = TGResult(name, TGOutcome::error, message);
        if (!why.cause.empty()) report.inPlace.detail = why.cause;
        return report;
    };

    auto opened = FileHandle::openRegular(file, false);
    if (opened.failed()) return failed("Can't read file", opened.failure());
    const FileHandle& f = *opened;
    // Only an edit in progress holds an exclusive lock; what it leaves half-written is not read.
    // Where the file system has no locks at all, reading goes ahead.
    if (Status lock = f.tryLock(LockKind::shared);
        lock.failed() && FileHandle::isHeldElsewhere(lock))
        return failed(IN_USE, lock.failure());
    auto id = f.identity();
    if (id.failed()) return failed("Can't read file", id.failure());
    report.readable = true;

    std::optional<TGResult> waiting;
    if (hasInterruptedEdit(file)) {
        report.interruptedEdit = true;
        waiting = TGResult(name, journalOutcome(file, *id).value_or(TGOutcome::error), WAITING);
    }
    const auto settle = [&](TGResult r) {
        report.inPlace = waiting ? std::move(*waiting) : std::move(r);
        return report;
    };

    if (id->size < 17) return settle({name, TGOutcome::error, "Can't read file"});
    const auto top = topLevelAtoms(f, id->size);
    const auto moov =
        std::find_if(top.begin(), top.end(), [](const TopAtom& a) { return a.type == "moov"; });
    if (moov == top.end() || moov->size - moov->headerSize - 8 > MAX_PAYLOAD_ABOVE_8 ||
        !fits(id->size, moov->start, moov->size))
        return settle({name, TGOutcome::error, NO_MOOV});
    auto bytes = f.readFully(moov->start, moov->size);
    if (bytes.failed()) {
        report.readable = false;
        return failed("Read error", bytes.failure());
    }
    const Bytes d = *bytes;
    const MoovLayout layout = readMoovLayout(d, moov->headerSize, moov->start);
    auto bitstream = readBitstreamLayer(layout, d, moov->start, f, id->size);
    if (bitstream.failed()) {
        report.readable = false;
        return failed("Read error", bitstream.failure());
    }
    for (std::size_t i = 0; i < layout.entries.size(); ++i) {
        const VideoEntry& e = layout.entries[i];
        const EntryBitstream& b = bitstream->entries[i];
        EntryColour c;
        c.track = e.track + 1;
        c.type = e.type;
        c.container = containerColour(e);
        c.bitstream = bitstreamColour(b);
        c.hdr = signalsHdr(layout, i, d, moov->start, b);
        report.entries.push_back(std::move(c));
    }
    return settle(wouldTagInPlace(name, f, id->size, top, layout, d, moov->start, *bitstream));
}

} // namespace tg

#include "movie/colour_report.h"

#include "edit/journal.h"
#include "edit/mark.h"
#include "movie/bitstream_layer.h"
#include "movie/colour_decision.h"
#include "movie/movie_loader.h"
#include "movie/movie_tagger.h"
#include "movie/tagging.h"

#include <algorithm>

namespace tg {

namespace {

// A journal header holds a rebuilt moov; one larger than this is not read for its outcome.

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

// What the bitstream states; its kind without codes when what was read states no colour, and
// nothing when nothing could be read.
std::optional<StoredColour> bitstreamColour(const EntryBitstream& b) {
    const bool silent = b.silentLeft > 0 || !b.silentInRecord.empty();
    if ((!b.colour && !silent) || b.kind == BitstreamKind::none) return std::nullopt;
    const char* where = b.kind == BitstreamKind::prores ? "prores"
                        : b.kind == BitstreamKind::av1  ? "sequenceHeader"
                        : b.kind == BitstreamKind::vp9  ? "vpcC"
                                                        : "sps";
    if (!b.colour) return StoredColour{where, {}, {}, {}};
    return StoredColour{where, b.colour->primaries, b.colour->transfer, b.colour->matrix};
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
// writing; nothing when the journal cannot be found or read whole.
std::optional<TGOutcome> journalOutcome(const std::filesystem::path& file, const FileHandle& f) {
    const auto mark = findMark(f);
    if (!mark) return std::nullopt;
    for (const auto& folder : {folderOf(file), mark->folder})
        if (auto j = readJournal(journalPath(folder, mark->id)); j && j->id == mark->id)
            return j->outcome;
    return std::nullopt;
}

// The result an in-place tag would give, decided by the engine's own colour decision and
// insertion plan, without writing.
TGResult wouldTagInPlace(const std::string& name, const FileHandle& file, std::uint64_t fileSize,
                         const LoadedMovie& m) {
    MoviePlan plan = planMovieEdit(name, file, fileSize, m.top, m.layout, m.moov, m.moovAtom.start,
                                   &*m.bitstream, TagMode::core);
    if (plan.done) return std::move(*plan.done);
    return TGResult(name, plan.edit.outcome, plan.edit.message);
}

} // namespace

MovieInspection inspectMovie(const std::filesystem::path& file) {
    MovieInspection report;
    const std::string name = file.filename().string();
    const auto failed = [&](const char* message, const Failure& why) {
        report.inPlace = TGResult(name, TGOutcome::error, message);
        report.inPlace.detail = why.cause.empty() ? std::string(message) : why.cause;
        return report;
    };

    auto opened = FileHandle::openRegular(file, false);
    if (opened.failed()) return failed("Can't read file", opened.failure());
    const FileHandle& f = *opened;
    // Only an edit in progress holds an exclusive lock; what it leaves half-written is not read.
    // Where the file system has no locks at all, reading goes ahead.
    if (Status lock = f.tryLock(LockKind::shared);
        lock.failed() && FileHandle::isHeldElsewhere(lock))
        return failed(IN_USE_MESSAGE, lock.failure());
    auto id = f.identity();
    if (id.failed()) return failed("Can't read file", id.failure());
    report.readable = true;

    std::optional<TGResult> waiting;
    if (hasInterruptedEdit(file)) {
        report.interruptedEdit = true;
        waiting = TGResult(name, journalOutcome(file, f).value_or(TGOutcome::error), WAITING);
        if (waiting->outcome == TGOutcome::error) waiting->detail = "interrupted edit";
    }
    const auto settle = [&](TGResult r) {
        report.inPlace = waiting ? std::move(*waiting) : std::move(r);
        return report;
    };

    auto loaded = loadMovie(f, id->size, {});
    if (loaded.failed()) {
        const Failure& why = loaded.failure();
        report.readable = false;
        const auto refused = [&](const std::string& message) {
            TGResult r(name, TGOutcome::error, message);
            r.detail = why.cause;
            return settle(std::move(r));
        };
        if (why.message.empty()) return refused("Can't read file");
        if (why.message == NO_MOOV || why.message == TWO_MOOV) return refused(why.message);
        return failed(READ_ERROR, why);
    }
    const LoadedMovie& m = *loaded;
    const Bytes d = m.moov;
    for (std::size_t i = 0; i < m.layout.entries.size(); ++i) {
        const VideoEntry& e = m.layout.entries[i];
        const EntryBitstream& b = m.bitstream->entries[i];
        EntryColour c;
        c.track = e.track + 1;
        c.type = e.type;
        c.container = containerColour(e);
        c.bitstream = bitstreamColour(b);
        c.hdr = signalsHdr(m.layout, i, d, m.moovAtom.start, b);
        report.entries.push_back(std::move(c));
    }
    return settle(wouldTagInPlace(name, f, id->size, m));
}

} // namespace tg

#include "movie/inspect.h"

#include "movie/colour_decision.h"
#include "movie/insertion_plan.h"
#include "movie/journal.h"
#include "movie/movie_tagger.h"
#include "movie/prores.h"
#include "movie/sample_table.h"
#include "movie/sps.h"

#include <algorithm>
#include <array>

namespace tg {

namespace {

// The same bounds an in-place edit applies.
constexpr std::uint64_t MAX_PAYLOAD_ABOVE_8 = 511999991;
constexpr std::uint64_t MAX_META = 16 * 1024 * 1024;
// A journal header holds a rebuilt moov; one larger than this is not read for its outcome.
constexpr std::uint64_t MAX_JOURNAL = 600ull << 20;
// Bytes of a sample's head read to find its leading parameter sets, at most.
constexpr std::uint64_t MAX_SAMPLE_HEAD = 1 << 20;

constexpr std::uint16_t BT2020 = 9, PQ = 16, HLG = 18;

const char* const NO_MOOV = "Unsupported (no moov)";
const char* const IN_USE = "In use by another run — try again when it ends";
const char* const WAITING = "Interrupted edit waits — an in-place run finishes it first";

Bytes body(Bytes d, const Atom& a) {
    return d.subspan(a.offset + a.headerSize, a.size - a.headerSize);
}

std::vector<Atom> kids(Bytes d, const Atom& a, std::uint64_t skip = 0) {
    if (a.size - a.headerSize < skip) return {};
    return childAtoms(d, a.offset + a.headerSize + skip, a.offset + a.size);
}

std::optional<Atom> child(const std::vector<Atom>& atoms, const char* type) {
    for (const auto& a : atoms)
        if (a.type == type) return a;
    return std::nullopt;
}

bool isProRes(const std::string& type) {
    for (const char* t : {"apcn", "apch", "apcs", "apco", "ap4h", "ap4x"})
        if (type == t) return true;
    return false;
}

std::optional<VideoCodec> codecOf(const VideoEntry& e) {
    if (e.type == "avc1" || e.type == "avc3") return VideoCodec::h264;
    if (e.type == "hvc1" || e.type == "hev1" || e.type == "dvh1" || e.type == "dvhe")
        return VideoCodec::hevc;
    return std::nullopt;
}

std::optional<ColourCodes> fromSps(VideoCodec codec, std::span<const std::uint8_t> nal) {
    const auto c = readSpsColour(codec, nal);
    if (!c || !c->described) return std::nullopt;
    return ColourCodes{"sps", c->primaries, c->transfer, c->matrix};
}

// The first sample of the entry: where it lies and how large it is.
std::optional<SampleLocation> firstSample(Bytes moov, const MoovLayout& layout, const VideoEntry& e,
                                          std::uint64_t fileSize) {
    // The trak's own header, read again: the layout keeps only where it starts.
    const auto top = childAtoms(moov, layout.tracks[e.track].offset, moov.size());
    if (top.empty() || top.front().type != "trak") return std::nullopt;
    const auto mdia = child(kids(moov, top.front()), "mdia");
    const auto minf = mdia ? child(kids(moov, *mdia), "minf") : std::nullopt;
    const auto stbl = minf ? child(kids(moov, *minf), "stbl") : std::nullopt;
    if (!stbl) return std::nullopt;
    const auto tables = kids(moov, *stbl);
    const auto stsd = child(tables, "stsd");
    if (!stsd) return std::nullopt;
    std::uint32_t index = 0;
    const auto entries = kids(moov, *stsd, 8);
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (entries[i].offset == e.atom.offset) index = std::uint32_t(i + 1);
    SampleTableAtoms atoms;
    atoms.fileSize = fileSize;
    const auto stsz = child(tables, "stsz"), stz2 = child(tables, "stz2");
    const auto stsc = child(tables, "stsc");
    const auto stco = child(tables, "stco"), co64 = child(tables, "co64");
    if (index == 0 || (!stsz && !stz2) || !stsc || (!stco && !co64)) return std::nullopt;
    atoms.sizes = body(moov, stsz ? *stsz : *stz2);
    atoms.compact = !stsz;
    atoms.stsc = body(moov, *stsc);
    atoms.chunkOffsets = body(moov, stco ? *stco : *co64);
    atoms.large = !stco;
    const SampleTable table = sampleLocations(atoms);
    if (!table.ok()) return std::nullopt;
    for (const auto& s : table.samples)
        if (s.descriptor == index) return s;
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> readHead(const FileHandle& file, const SampleLocation& s,
                                                  std::uint64_t count) {
    auto bytes = file.readFully(s.offset, std::size_t(std::min<std::uint64_t>(count, s.size)));
    if (bytes.failed()) return std::nullopt;
    return std::move(*bytes);
}

std::optional<ColourCodes> inBandSps(const FileHandle& file, const SampleLocation& s,
                                     VideoCodec codec, unsigned lengthSize) {
    std::uint64_t want = std::min<std::uint64_t>(4096, s.size);
    for (int tries = 0; tries < 8; ++tries) {
        const auto head = readHead(file, s, want);
        if (!head) return std::nullopt;
        const LeadingSps found = leadingSps(codec, *head, s.size, lengthSize);
        if (found.status == LeadingSps::Status::needBytes && found.need > want &&
            found.need <= MAX_SAMPLE_HEAD) {
            want = found.need;
            continue;
        }
        if (found.status != LeadingSps::Status::complete) return std::nullopt;
        for (const auto& r : found.sps)
            if (auto c = fromSps(codec, std::span(*head).subspan(r.offset, r.size))) return c;
        return std::nullopt;
    }
    return std::nullopt;
}

// Whether this one entry signals HDR, as the colour decision judges its colour atoms, or by what
// its bitstream states or its type says.
bool signalsHdr(const MoovLayout& layout, std::size_t i, Bytes moov, std::uint64_t moovStart,
                const std::optional<ColourCodes>& bitstream) {
    const VideoEntry& e = layout.entries[i];
    if (e.type == "dvh1" || e.type == "dvhe") return true;
    MoovLayout one;
    one.tracks = layout.tracks;
    one.entries = {e};
    if (decideColour(one, moov, moovStart).verdict == Verdict::hdr) return true;
    return bitstream && (bitstream->primaries == BT2020 || bitstream->transfer == PQ ||
                         bitstream->transfer == HLG);
}

std::optional<ColourCodes> containerColour(const VideoEntry& e) {
    if (e.colours.empty()) return std::nullopt;
    const auto coded = std::find_if(e.colours.begin(), e.colours.end(),
                                    [](const ColourAtom& c) { return c.hasCodes; });
    const ColourAtom& c = coded != e.colours.end() ? *coded : e.colours.front();
    ColourCodes codes{c.kind, {}, {}, {}};
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
                         std::uint64_t moovStart) {
    const ColourDecision d = decideColour(layout, moov, moovStart);
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
    case Verdict::patch:
        r = TGResult(name, TGOutcome::fixed, "Fixed → Display-P3");
        break;
    case Verdict::insert:
        r = TGResult(name, TGOutcome::added, "No tag found — added Display-P3");
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

std::optional<ColourCodes> bitstreamColour(const FileHandle& file, std::uint64_t fileSize,
                                           Bytes moov, const MoovLayout& layout,
                                           std::size_t entry) {
    const VideoEntry& e = layout.entries[entry];
    if (isProRes(e.type)) {
        const auto first = firstSample(moov, layout, e, fileSize);
        if (!first) return std::nullopt;
        const auto head = readHead(file, *first, 28);
        const auto h = head ? readProResHeader(*head, first->size) : std::nullopt;
        if (!h) return std::nullopt;
        return ColourCodes{"prores", h->primaries, h->transfer, h->matrix};
    }
    const auto codec = codecOf(e);
    if (!codec) return std::nullopt;
    unsigned lengthSize = 4;
    if (e.config) {
        const auto payload = body(moov, *e.config);
        const auto config = *codec == VideoCodec::h264 ? avcCSps(payload) : hvcCSps(payload);
        if (!config) return std::nullopt;
        for (const auto& r : config->sps)
            if (auto c = fromSps(*codec, payload.subspan(r.offset, r.size))) return c;
        if (!config->sps.empty()) return std::nullopt;
        lengthSize = config->lengthSize;
    }
    // No parameter set in the configuration: the stream carries them in its samples.
    const auto first = firstSample(moov, layout, e, fileSize);
    if (!first) return std::nullopt;
    return inBandSps(file, *first, *codec, lengthSize);
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
    for (std::size_t i = 0; i < layout.entries.size(); ++i) {
        const VideoEntry& e = layout.entries[i];
        EntryColour c;
        c.track = e.track + 1;
        c.type = e.type;
        c.container = containerColour(e);
        c.bitstream = bitstreamColour(f, id->size, d, layout, i);
        c.hdr = signalsHdr(layout, i, d, moov->start, c.bitstream);
        report.entries.push_back(std::move(c));
    }
    return settle(wouldTagInPlace(name, f, id->size, top, layout, d, moov->start));
}

} // namespace tg

#include "movie/bitstream_layer.h"

#include "codec/av1.h"
#include "codec/colour_codes.h"
#include "codec/escape.h"
#include "codec/prores.h"
#include "codec/sps.h"
#include "movie/sample_table.h"

#include <algorithm>
#include <array>
#include <set>

namespace tg {

namespace {

// Fixed fields of a visual sample entry before its children.
constexpr std::uint64_t VISUAL_ENTRY_FIELDS = 78;
// Bytes read at the head of every H.264 / HEVC / AV1 sample: a length prefix, an access-unit
// delimiter (temporal delimiter), an SPS and a PPS (a sequence header) fit in most. A longer
// walk reads on as the units ask.
constexpr std::size_t NAL_HEAD = 256;
constexpr std::size_t PRORES_HEAD = 28;
// Leading non-VCL units of one sample are walked this far at most.
constexpr std::uint64_t MAX_LEADING = 4ull << 20;
// Heads closer than this share one read, up to a batch of this size.
constexpr std::uint64_t COALESCE_GAP = 16 * 1024;
constexpr std::uint64_t MAX_BATCH = 1ull << 20;
// Heads asked for ahead of the one being read: enough to keep a disk's queue full.
constexpr std::size_t PREFETCH_AHEAD = 128;
// Tracks that claim more samples than this are not walked.
constexpr std::uint64_t MAX_WALKED_SAMPLES = 10'000'000;

const std::array<const char*, 7> HDR_CHILDREN = {"dvcC", "dvvC", "dvwC", "mdcv",
                                                 "SmDm", "clli", "CoLL"};

bool dolbyVisionType(const std::string& type) {
    return type == "dvh1" || type == "dvhe" || type == "dva1" || type == "dvav";
}

BitstreamKind kindOf(const std::string& type) {
    if (type == "avc1" || type == "avc3") return BitstreamKind::h264;
    if (type == "hvc1" || type == "hev1" || type == "dvh1" || type == "dvhe")
        return BitstreamKind::hevc;
    if (type == "apch" || type == "apcn" || type == "apcs" || type == "apco" || type == "ap4h" ||
        type == "ap4x")
        return BitstreamKind::prores;
    if (type == "av01") return BitstreamKind::av1;
    if (type == "vp09") return BitstreamKind::vp9;
    return BitstreamKind::none;
}

// The sample-table atoms of one track's stbl, when each is there once.
std::optional<SampleTableAtoms> tableAtoms(Bytes moov, const Atom& stbl, std::uint64_t fileSize) {
    SampleTableAtoms t;
    t.fileSize = fileSize;
    int sizes = 0, chunks = 0, stsc = 0;
    for (const auto& a : childAtoms(moov, stbl.offset + stbl.headerSize, stbl.offset + stbl.size)) {
        const Bytes body = moov.subspan(a.offset + a.headerSize, a.size - a.headerSize);
        if (a.type == "stsz" || a.type == "stz2") {
            ++sizes;
            t.sizes = body;
            t.compact = a.type == "stz2";
        } else if (a.type == "stco" || a.type == "co64") {
            ++chunks;
            t.chunkOffsets = body;
            t.large = a.type == "co64";
        } else if (a.type == "stsc") {
            ++stsc;
            t.stsc = body;
        }
    }
    if (sizes != 1 || chunks != 1 || stsc != 1) return std::nullopt;
    return t;
}

struct Head {
    std::uint64_t offset = 0; // absolute
    std::uint32_t size = 0;   // the whole sample
};

// Reads the first bytes of many samples, in file order, with nearby ones sharing a read.
class HeadReader {
public:
    HeadReader(const ReadAt& read, const Prefetch& prefetch, std::size_t want)
        : read_(read), prefetch_(prefetch), want_(want) {}

    // Calls use(index, head bytes) for each sample, heads min(want, size) long.
    template <typename Use> Status each(const std::vector<Head>& samples, Use use) {
        std::vector<std::uint8_t> batch;
        std::size_t asked = 0; // heads before this one have been asked for
        for (std::size_t i = 0; i < samples.size();) {
            if (prefetch_)
                for (; asked < samples.size() && asked < i + PREFETCH_AHEAD; ++asked)
                    prefetch_(samples[asked].offset, headOf(samples[asked]));
            const std::uint64_t start = samples[i].offset;
            std::uint64_t end = start + headOf(samples[i]);
            std::size_t j = i + 1;
            while (j < samples.size() && samples[j].offset - start < MAX_BATCH &&
                   samples[j].offset <= end + COALESCE_GAP) {
                end = std::max(end, samples[j].offset + headOf(samples[j]));
                ++j;
            }
            batch.resize(end - start);
            auto got = read_(start, batch);
            if (got.failed()) return got.failure();
            batch.resize(*got);
            for (std::size_t k = i; k < j; ++k) {
                const std::uint64_t at = samples[k].offset - start;
                const std::uint64_t n = headOf(samples[k]);
                if (!fits(batch.size(), at, n)) return errnoFailure(EIO);
                use(k, Bytes(batch).subspan(at, n));
            }
            i = j;
        }
        return {};
    }

private:
    std::uint64_t headOf(const Head& h) const { return std::min<std::uint64_t>(want_, h.size); }

    const ReadAt& read_;
    const Prefetch& prefetch_;
    std::size_t want_;
};

Result<std::vector<std::uint8_t>> readExactly(const ReadAt& read, std::uint64_t at, std::size_t n) {
    std::vector<std::uint8_t> out(n);
    auto got = read(at, out);
    if (got.failed()) return got.failure();
    if (*got != n) return errnoFailure(EIO);
    return out;
}

// The bytes one decision was read from (an SPS unit, a ProRes frame header) and the write made
// from them, if any.
struct Unit {
    std::uint64_t start = 0, end = 0; // absolute
    std::size_t entry = 0;
    std::optional<std::uint64_t> writeAt;
};

// Builds one entry's layer.
class EntryReader {
public:
    EntryReader(const MoovLayout& layout, Bytes moov, std::uint64_t moovStart,
                std::uint64_t fileSize, const ReadAt& read, const Prefetch& prefetch,
                std::vector<Unit>& units)
        : layout_(layout), moov_(moov), moovStart_(moovStart), fileSize_(fileSize), read_(read),
          prefetch_(prefetch), units_(units) {}

    Result<EntryBitstream> run(const VideoEntry& e, std::size_t index) {
        out_ = {};
        index_ = index;
        out_.kind = kindOf(e.type);
        if (dolbyVisionType(e.type)) flagHdr(e.type + " sample entry");
        const std::uint64_t kids = e.atom.offset + e.atom.headerSize + VISUAL_ENTRY_FIELDS;
        for (const auto& c : childAtoms(moov_, kids, e.atom.offset + e.atom.size))
            for (const char* t : HDR_CHILDREN)
                if (c.type == t) flagHdr(c.type);
        switch (out_.kind) {
        case BitstreamKind::h264:
        case BitstreamKind::hevc:
        case BitstreamKind::av1:
            if (Status s = parameterSetEntry(e); s.failed()) return s.failure();
            break;
        case BitstreamKind::prores:
            if (Status s = proResEntry(e); s.failed()) return s.failure();
            break;
        case BitstreamKind::vp9:
            vpcC(e);
            break;
        case BitstreamKind::none:
            break;
        }
        std::sort(out_.overwrites.begin(), out_.overwrites.end(),
                  [](const Overwrite& a, const Overwrite& b) { return a.at < b.at; });
        return std::move(out_);
    }

private:
    void flagHdr(const std::string& signal) {
        if (!out_.hdr) out_.hdrSignal = signal;
        out_.hdr = true;
    }

    void leave(LeftAlone why, std::optional<std::uint8_t> primaries, std::uint64_t count = 1) {
        for (auto& l : out_.left)
            if (l.why == why && l.primaries == primaries) {
                l.count += count;
                return;
            }
        out_.left.push_back({why, primaries, count});
    }

    // A place stating these codes; true when it needs the primaries rewritten.
    bool stated(std::uint8_t primaries, std::uint8_t transfer, std::uint8_t matrix,
                const char* where) {
        ++out_.statements;
        if (!out_.colour) out_.colour = ColourCodes{primaries, transfer, matrix};
        if (hdrCodes(primaries, transfer))
            flagHdr(std::string(where) + (hdrTransfer(transfer)
                                              ? " transfer " + std::to_string(transfer)
                                              : " primaries " + std::to_string(primaries)));
        if (primaries == PRIMARIES_DISPLAY_P3) {
            ++out_.alreadyP3;
            return false;
        }
        return true;
    }

    // One SPS unit whose escaped bytes lie at absolute position `at`.
    void sps(VideoCodec codec, Bytes nal, std::uint64_t at) {
        units_.push_back({at, at + nal.size(), index_, std::nullopt});
        const auto colour = readSpsColour(codec, nal);
        if (!colour) {
            leave(LeftAlone::unreadableSps, std::nullopt);
            return;
        }
        if (colour->fullRange) out_.fullRange = true;
        if (!colour->described) {
            if (inRecord_)
                out_.silentInRecord.push_back({at, {nal.begin(), nal.end()}});
            else
                ++out_.silentLeft;
            return;
        }
        if (!stated(colour->primaries, colour->transfer, colour->matrix, "SPS")) return;
        std::vector<std::uint8_t> patched(nal.begin(), nal.end());
        switch (patchSpsPrimaries(codec, patched, PRIMARIES_DISPLAY_P3)) {
        case SpsPatch::patched:
            break;
        case SpsPatch::reservedTransfer:
            leave(LeftAlone::reservedTransfer, colour->primaries);
            return;
        case SpsPatch::wouldChangeEscaping:
            leave(LeftAlone::wouldChangeEscaping, colour->primaries);
            return;
        case SpsPatch::alreadyThatValue:
        case SpsPatch::noColourDescription:
        case SpsPatch::parseFailed:
            leave(LeftAlone::unreadableSps, colour->primaries);
            return;
        }
        // The field's bytes (with any escape between them) change, and nothing else; read back,
        // the unit parses to the same codes but the primaries, with the same escaping.
        const auto before = unescapeNal(nal, nalHeaderBytes(codec));
        const auto after = unescapeNal(patched, nalHeaderBytes(codec));
        const bool sameEscapes = before && after && before->escapes == after->escapes;
        if (!sameEscapes || !overwrite(nal, patched, *colour, readSpsColour(codec, patched), at))
            leave(LeftAlone::wouldChangeEscaping, colour->primaries);
    }

    // VP9's configuration (VP Codec ISO Media File Format Binding, version 1): version and flags,
    // profile, level, bit depth, chroma subsampling and range, then the three codes.
    void vpcC(const VideoEntry& e) {
        constexpr std::size_t PRIMARIES = 7, FIELDS = 12;
        const bool found = e.config && e.config->type == "vpcC";
        const Bytes body = found ? moov_.subspan(e.config->offset + e.config->headerSize,
                                                 e.config->size - e.config->headerSize)
                                 : Bytes();
        if (!found || body.size() < FIELDS || body[0] > 1) {
            leave(LeftAlone::unreadableSps, std::nullopt);
            return;
        }
        if (body[0] == 0) {
            leave(LeftAlone::oldVpcC, std::nullopt);
            return;
        }
        const std::uint8_t primaries = body[PRIMARIES];
        if (!stated(primaries, body[PRIMARIES + 1], body[PRIMARIES + 2], "vpcC")) return;
        const std::uint64_t at = moovStart_ + e.config->offset + e.config->headerSize + PRIMARIES;
        out_.overwrites.push_back({at, {PRIMARIES_DISPLAY_P3}, {primaries}});
    }

    // One AV1 sequence header OBU at absolute position `at`.
    void sequenceHeader(Bytes obu, std::uint64_t at) {
        units_.push_back({at, at + obu.size(), index_, std::nullopt});
        const auto colour = readAv1Colour(obu);
        if (!colour) {
            leave(LeftAlone::unreadableSps, std::nullopt);
            return;
        }
        if (!colour->described) {
            // Sync samples repeat the sequence header, and a decoder may read only theirs.
            ++out_.silentLeft;
            return;
        }
        if (!stated(colour->primaries, colour->transfer, colour->matrix, "sequence header")) return;
        std::vector<std::uint8_t> patched(obu.begin(), obu.end());
        switch (patchAv1Primaries(patched, PRIMARIES_DISPLAY_P3)) {
        case Av1Patch::patched:
            break;
        case Av1Patch::wouldChangeSyntax:
            leave(LeftAlone::wouldChangeSyntax, colour->primaries);
            return;
        case Av1Patch::alreadyThatValue:
        case Av1Patch::noColourDescription:
        case Av1Patch::parseFailed:
            leave(LeftAlone::unreadableSps, colour->primaries);
            return;
        }
        if (!overwrite(obu, patched, *colour, readAv1Colour(patched), at))
            leave(LeftAlone::wouldChangeSyntax, colour->primaries);
    }

    // Records the write of a patched parameter set when only the primaries' bytes changed and
    // it reads back with primaries 12 and the same transfer and matrix.
    bool overwrite(Bytes unit, const std::vector<std::uint8_t>& patched, const SpsColour& colour,
                   const std::optional<SpsColour>& check, std::uint64_t at) {
        if (colour.primariesBytes == 0 || colour.primariesBytes > colour.primariesAt.size())
            return false;
        const std::size_t first = colour.primariesAt[0];
        const std::size_t last = colour.primariesAt[colour.primariesBytes - 1];
        bool same = check && check->described && check->primaries == PRIMARIES_DISPLAY_P3 &&
                    check->transfer == colour.transfer && check->matrix == colour.matrix &&
                    last >= first && last < unit.size() && patched.size() == unit.size();
        for (std::size_t i = 0; same && i < unit.size(); ++i)
            if ((i < first || i > last) && unit[i] != patched[i]) same = false;
        if (!same) return false;
        Overwrite w;
        w.at = at + first;
        w.old.assign(unit.begin() + std::ptrdiff_t(first), unit.begin() + std::ptrdiff_t(last + 1));
        w.bytes.assign(patched.begin() + std::ptrdiff_t(first),
                       patched.begin() + std::ptrdiff_t(last + 1));
        units_.back().writeAt = w.at;
        out_.overwrites.push_back(std::move(w));
        return true;
    }

    VideoCodec codec() const {
        return out_.kind == BitstreamKind::h264 ? VideoCodec::h264 : VideoCodec::hevc;
    }

    // An SPS or, for AV1, a sequence header.
    void parameterSet(Bytes unit, std::uint64_t at) {
        if (out_.kind == BitstreamKind::av1)
            sequenceHeader(unit, at);
        else
            sps(codec(), unit, at);
    }

    LeadingSps leading(Bytes head, std::uint64_t sampleSize) const {
        return out_.kind == BitstreamKind::av1 ? leadingSequenceHeaders(head, sampleSize)
                                               : leadingSps(codec(), head, sampleSize, lengthSize_);
    }

    // The entry's samples in file order, once each; nothing (and a left-alone note) when the
    // track's tables cannot be read or its samples overlap one another or moov.
    std::optional<std::vector<Head>> samples(const VideoEntry& e) {
        if (e.external) return std::vector<Head>();
        const Track& t = layout_.tracks[e.track];
        auto atoms = t.stbl ? tableAtoms(moov_, *t.stbl, fileSize_) : std::nullopt;
        if (!atoms) {
            leave(LeftAlone::unreadableSample, std::nullopt);
            return std::nullopt;
        }
        const SampleTable table = sampleLocations(*atoms, MAX_WALKED_SAMPLES);
        if (!table.ok()) {
            leave(LeftAlone::unreadableSample, std::nullopt);
            return std::nullopt;
        }
        std::vector<Head> heads;
        for (const auto& s : table.samples)
            if (s.descriptor == e.descriptionIndex && s.size > 0)
                heads.push_back({s.offset, s.size});
        std::sort(heads.begin(), heads.end(), [](const Head& a, const Head& b) {
            return a.offset < b.offset || (a.offset == b.offset && a.size < b.size);
        });
        heads.erase(std::unique(heads.begin(), heads.end(),
                                [](const Head& a, const Head& b) {
                                    return a.offset == b.offset && a.size == b.size;
                                }),
                    heads.end());
        const std::uint64_t moovEnd = moovStart_ + moov_.size();
        for (std::size_t i = 0; i < heads.size(); ++i) {
            const std::uint64_t end = heads[i].offset + heads[i].size; // inside the file
            const bool overlapsNext = i + 1 < heads.size() && heads[i + 1].offset < end;
            const bool overlapsMoov = heads[i].offset < moovEnd && end > moovStart_;
            if (overlapsNext || overlapsMoov) {
                leave(LeftAlone::unreadableSample, std::nullopt, heads.size());
                return std::nullopt;
            }
        }
        return heads;
    }

    // The parameter sets of an H.264, HEVC or AV1 entry: in its configuration record, and at the
    // head of every sample.
    Status parameterSetEntry(const VideoEntry& e) {
        const char* configType = out_.kind == BitstreamKind::h264   ? "avcC"
                                 : out_.kind == BitstreamKind::hevc ? "hvcC"
                                                                    : "av1C";
        std::optional<std::vector<NalRange>> inRecord;
        if (e.config && e.config->type == configType) {
            const Atom& c = *e.config;
            const Bytes body = moov_.subspan(c.offset + c.headerSize, c.size - c.headerSize);
            if (out_.kind == BitstreamKind::av1) {
                inRecord = av1CSequenceHeaders(body);
            } else if (auto config =
                           out_.kind == BitstreamKind::h264 ? avcCSps(body) : hvcCSps(body)) {
                lengthSize_ = config->lengthSize;
                inRecord = std::move(config->sps);
            }
            inRecord_ = true;
            if (inRecord)
                for (const auto& n : *inRecord)
                    parameterSet(body.subspan(n.offset, n.size),
                                 moovStart_ + c.offset + c.headerSize + n.offset);
            inRecord_ = false;
        }
        if (!inRecord) {
            // Without the record, neither its SPSs nor the samples' length prefixes are known.
            leave(LeftAlone::unreadableSps, std::nullopt);
            return {};
        }
        // The record's silent units are rebuilt only when no sample carries units of its own:
        // those cannot grow, and decoders meet them too.
        const auto keepSilent = [&] {
            out_.silentLeft += out_.silentInRecord.size();
            out_.silentInRecord.clear();
        };
        auto heads = samples(e);
        if (!heads) {
            keepSilent();
            return {};
        }
        std::vector<std::size_t> longer; // samples whose leading units run past the head
        HeadReader reader(read_, prefetch_, NAL_HEAD);
        Status s = reader.each(*heads, [&](std::size_t i, Bytes head) {
            const LeadingSps l = leading(head, (*heads)[i].size);
            if (l.status == LeadingSps::Status::needBytes) {
                longer.push_back(i);
                return;
            }
            if (l.status == LeadingSps::Status::malformed) {
                leave(LeftAlone::unreadableSample, std::nullopt);
                return;
            }
            for (const auto& n : l.sps) {
                ++out_.inBand;
                parameterSet(head.subspan(n.offset, n.size), (*heads)[i].offset + n.offset);
            }
        });
        if (s.failed()) return s;
        for (std::size_t i : longer)
            if (Status t = longSample((*heads)[i]); t.failed()) return t;
        if (out_.inBand > 0 || !out_.left.empty()) keepSilent();
        return {};
    }

    // Walks the leading units of one sample whose head was not enough, reading on as asked.
    Status longSample(const Head& h) {
        std::vector<std::uint8_t> head;
        std::uint64_t want = std::min<std::uint64_t>(h.size, NAL_HEAD * 4);
        for (;;) {
            auto got = readExactly(read_, h.offset, std::size_t(want));
            if (got.failed()) return got.failure();
            head = std::move(*got);
            const LeadingSps l = leading(head, h.size);
            if (l.status == LeadingSps::Status::complete) {
                for (const auto& n : l.sps) {
                    ++out_.inBand;
                    parameterSet(Bytes(head).subspan(n.offset, n.size), h.offset + n.offset);
                }
                return {};
            }
            if (l.status == LeadingSps::Status::malformed || l.need <= head.size() ||
                l.need > MAX_LEADING) {
                leave(LeftAlone::unreadableSample, std::nullopt);
                return {};
            }
            want = std::min<std::uint64_t>(h.size, std::max(l.need + NAL_HEAD, want * 2));
        }
    }

    Status proResEntry(const VideoEntry& e) {
        auto heads = samples(e);
        if (!heads) return {};
        HeadReader reader(read_, prefetch_, PRORES_HEAD);
        return reader.each(*heads, [&](std::size_t i, Bytes head) {
            const auto h = readProResHeader(head, (*heads)[i].size);
            const std::uint64_t at = (*heads)[i].offset;
            units_.push_back(
                {at, at + (h ? 8 + h->headerSize : head.size()), index_, std::nullopt});
            if (!h) {
                leave(LeftAlone::frameChecks, std::nullopt);
                return;
            }
            if (!stated(h->primaries, h->transfer, h->matrix, "ProRes frame")) return;
            Overwrite w;
            w.at = at + h->primariesAt;
            w.old = {h->primaries};
            w.bytes = {PRIMARIES_DISPLAY_P3};
            units_.back().writeAt = w.at;
            out_.overwrites.push_back(std::move(w));
        });
    }

    const MoovLayout& layout_;
    Bytes moov_;
    std::uint64_t moovStart_;
    std::uint64_t fileSize_;
    const ReadAt& read_;
    const Prefetch& prefetch_;
    std::vector<Unit>& units_;
    std::size_t index_ = 0;
    bool inRecord_ = false;   // the parameter sets read are the configuration record's
    unsigned lengthSize_ = 4; // of the samples' NAL unit lengths, from avcC / hvcC
    EntryBitstream out_;
};

// Tables may name the same bytes twice (two tracks, or samples of different entries): the same
// unit read twice keeps one write; units that overlap otherwise lose their writes, since a write
// made for one would change the bytes the other was read from.
void settleOverlaps(BitstreamLayer& layer, std::vector<Unit>& units) {
    std::sort(units.begin(), units.end(), [](const Unit& a, const Unit& b) {
        return a.start < b.start || (a.start == b.start && a.end < b.end);
    });
    std::vector<std::set<std::uint64_t>> drop(layer.entries.size());
    std::vector<std::uint64_t> clashed(layer.entries.size(), 0);
    bool any = false;
    for (std::size_t g = 0; g < units.size();) {
        std::uint64_t reach = units[g].end;
        std::size_t k = g + 1;
        bool same = true;
        for (; k < units.size() && units[k].start < reach; ++k) {
            same = same && units[k].start == units[g].start && units[k].end == units[g].end;
            reach = std::max(reach, units[k].end);
        }
        if (k - g > 1) {
            std::optional<std::uint64_t> kept;
            for (std::size_t m = g; m < k; ++m) {
                const Unit& u = units[m];
                if (!u.writeAt) continue;
                any = true;
                if (same && !kept) {
                    kept = u.writeAt;
                    continue;
                }
                drop[u.entry].insert(*u.writeAt);
                if (!same) ++clashed[u.entry];
            }
        }
        g = k;
    }
    if (!any) return;
    for (std::size_t e = 0; e < layer.entries.size(); ++e) {
        auto& ent = layer.entries[e];
        std::erase_if(ent.overwrites, [&](const Overwrite& w) { return drop[e].contains(w.at); });
        if (clashed[e]) ent.left.push_back({LeftAlone::unreadableSample, std::nullopt, clashed[e]});
    }
}

} // namespace

bool BitstreamLayer::hdr() const {
    return !hdrEntryTypes.empty() ||
           std::any_of(entries.begin(), entries.end(), [](const auto& e) { return e.hdr; });
}

bool BitstreamLayer::states() const {
    return std::any_of(entries.begin(), entries.end(),
                       [](const auto& e) { return e.statements > 0; });
}

std::vector<Overwrite> BitstreamLayer::overwrites() const {
    std::vector<Overwrite> all;
    for (const auto& e : entries)
        all.insert(all.end(), e.overwrites.begin(), e.overwrites.end());
    std::sort(all.begin(), all.end(),
              [](const Overwrite& a, const Overwrite& b) { return a.at < b.at; });
    return all;
}

bool BitstreamLayer::anyLeft(LeftAlone why) const {
    return std::any_of(entries.begin(), entries.end(), [why](const auto& e) {
        return std::any_of(e.left.begin(), e.left.end(),
                           [why](const LeftPlace& l) { return l.why == why; });
    });
}

bool BitstreamLayer::anyLeft() const {
    return std::any_of(entries.begin(), entries.end(),
                       [](const auto& e) { return !e.left.empty(); });
}

std::optional<std::uint8_t> BitstreamLayer::leftPrimaries() const {
    for (const auto& e : entries)
        for (const auto& l : e.left)
            if (l.primaries) return l.primaries;
    return std::nullopt;
}

Result<BitstreamLayer> readBitstreamLayer(const MoovLayout& layout, Bytes moov,
                                          std::uint64_t moovStart, std::uint64_t fileSize,
                                          const ReadAt& read, const Prefetch& prefetch) {
    BitstreamLayer layer;
    for (const auto& t : layout.otherVideoTypes)
        if (dolbyVisionType(t)) layer.hdrEntryTypes.push_back(t);
    std::vector<Unit> units;
    EntryReader reader(layout, moov, moovStart, fileSize, read, prefetch, units);
    for (std::size_t i = 0; i < layout.entries.size(); ++i) {
        auto entry = reader.run(layout.entries[i], i);
        if (entry.failed()) return entry.failure();
        layer.entries.push_back(std::move(*entry));
    }
    settleOverlaps(layer, units);
    return layer;
}

Result<BitstreamLayer> readBitstreamLayer(const MoovLayout& layout, Bytes moov,
                                          std::uint64_t moovStart, const FileHandle& file,
                                          std::uint64_t fileSize) {
    const ReadAt read = [&file](std::uint64_t at, std::span<std::uint8_t> out) {
        return file.readAt(at, out);
    };
    // Asking ahead costs a call per head where the file is cached already; a few probes tell.
    constexpr std::uint64_t PROBES = 8;
    bool cold = false;
    for (std::uint64_t k = 1; k <= PROBES && !cold; ++k)
        cold = !file.isCached(fileSize / (PROBES + 1) * k);
    Prefetch prefetch;
    if (cold)
        prefetch = [&file](std::uint64_t at, std::uint64_t length) { file.prefetch(at, length); };
    return readBitstreamLayer(layout, moov, moovStart, fileSize, read, prefetch);
}


} // namespace tg

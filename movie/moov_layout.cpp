#include "movie/moov_layout.h"

#include "bmff/iloc.h"

#include <algorithm>
#include <cstring>

namespace tg {

const std::set<std::string> VID_CODECS = {"avc1", "avc3", "hvc1", "hev1", "mp4v",
                                          "apcn", "apch", "apcs", "apco", "ap4h",
                                          "ap4x", "dvh1", "dvhe", "av01", "vp09"};

namespace {

// Fixed fields of a visual sample entry before its child atoms (ISO VisualSampleEntry and the
// QuickTime video sample description alike).
constexpr std::uint64_t VISUAL_ENTRY_FIELDS = 78;

std::uint64_t payload(const Atom& a) {
    return a.offset + a.headerSize;
}
std::uint64_t end(const Atom& a) {
    return a.offset + a.size;
}

std::vector<Atom> children(Bytes d, const Atom& a, std::uint64_t skip = 0) {
    if (a.size - a.headerSize < skip) return {};
    return childAtoms(d, payload(a) + skip, end(a));
}

std::vector<Atom> ofType(const std::vector<Atom>& atoms, const char* type) {
    std::vector<Atom> found;
    for (const auto& a : atoms)
        if (a.type == type) found.push_back(a);
    return found;
}

class Reader {
public:
    Reader(Bytes d, std::uint64_t moovStart) : d_(d), moovStart_(moovStart) {}

    MoovLayout run(std::uint64_t hdrLen) {
        const Atom moov{"moov", 0, hdrLen, d_.size()};
        for (const auto& a : children(d_, moov)) {
            if (a.type == "trak")
                track(a);
            else if (a.type == "mvex")
                refuse(Refusal::fragmented, "movie fragments (mvex)");
            else
                metaSearch(a, 0);
        }
        strayTables();
        return std::move(layout_);
    }

private:
    void refuse(Refusal r, std::string why) {
        // The first reason stands; a fragment refusal says the most to the user.
        if (layout_.refusal != Refusal::none) return;
        layout_.refusal = r;
        layout_.why = std::move(why);
    }

    void badTrack(const std::string& what) {
        refuse(Refusal::trackStructure,
               "track " + std::to_string(layout_.tracks.size()) + ": " + what);
    }

    // The one child of the given type, or nothing (and a refusal) when there is none or several.
    std::optional<Atom> only(const std::vector<Atom>& kids, const char* type, const char* inside) {
        auto found = ofType(kids, type);
        if (found.size() == 1) return found[0];
        badTrack(std::string(found.empty() ? "no " : "several ") + type + " in " + inside);
        return std::nullopt;
    }

    void track(const Atom& trak) {
        const std::size_t index = layout_.tracks.size();
        layout_.tracks.push_back({trak.offset, {}, std::nullopt});
        const auto trakKids = children(d_, trak);
        for (const auto& a : trakKids)
            metaSearch(a, 1);
        auto mdia = only(trakKids, "mdia", "trak");
        if (!mdia) return;
        const auto mdiaKids = children(d_, *mdia);
        if (auto hdlr = ofType(mdiaKids, "hdlr");
            !hdlr.empty() && fits(end(hdlr[0]), payload(hdlr[0]), 12))
            layout_.tracks[index].handler = fourCC(d_, payload(hdlr[0]) + 8);
        auto minf = only(mdiaKids, "minf", "mdia");
        if (!minf) return;
        const auto minfKids = children(d_, *minf);
        auto stbl = only(minfKids, "stbl", "minf");
        if (!stbl) return;
        const auto stblKids = children(d_, *stbl);
        layout_.tracks[index].stbl = *stbl;
        auto stsd = only(stblKids, "stsd", "stbl");
        if (!stsd) return;
        const auto selfContained = dataReferences(minfKids);
        std::vector<bool> entryExternal;
        const bool video = layout_.tracks[index].handler == "vide";
        for (const auto& e : children(d_, *stsd, 8)) {
            const std::uint64_t dri = fits(end(e), payload(e), 8) ? u16(d_, payload(e) + 6) : 0;
            entryExternal.push_back(dri >= 1 && dri <= selfContained.size() &&
                                    !selfContained[dri - 1]);
            if (video && VID_CODECS.contains(e.type)) {
                entry(e, index,
                      {stsd->offset, stbl->offset, minf->offset, mdia->offset, trak.offset});
                if (!layout_.entries.empty() && layout_.entries.back().atom.offset == e.offset) {
                    layout_.entries.back().descriptionIndex = std::uint32_t(entryExternal.size());
                    layout_.entries.back().external = entryExternal.back();
                }
            } else if (video) {
                layout_.otherVideoTypes.push_back(e.type);
            }
        }
        // Sample tables hold arbitrary numbers; a stray-table search must not read them as types.
        for (const auto& a : stblKids)
            if (a.type != "stsd") opaque_.emplace_back(a.offset, end(a));
        const auto stco = ofType(stblKids, "stco"), co64 = ofType(stblKids, "co64");
        if (stco.size() + co64.size() != 1) {
            badTrack(stco.size() + co64.size() == 0 ? "no chunk offsets in stbl"
                                                    : "several chunk-offset tables in stbl");
            return;
        }
        const Atom table = stco.empty() ? co64[0] : stco[0];
        knownTables_.insert(table.offset);
        chunkOffsets(table, stblKids, entryExternal);
        for (const auto& saio : ofType(stblKids, "saio"))
            auxOffsets(saio, entryExternal);
    }

    // Whether each data reference of the track's dref says "in this file".
    std::vector<bool> dataReferences(const std::vector<Atom>& minfKids) {
        std::vector<bool> selfContained;
        for (const auto& dinf : ofType(minfKids, "dinf"))
            for (const auto& dref : ofType(children(d_, dinf), "dref"))
                for (const auto& ref : children(d_, dref, 8))
                    selfContained.push_back(fits(end(ref), payload(ref), 4) &&
                                            (u32(d_, payload(ref)) & 1) != 0);
        return selfContained;
    }

    void entry(const Atom& e, std::size_t trackIndex, std::vector<std::uint64_t> ancestors) {
        if (e.size - e.headerSize < VISUAL_ENTRY_FIELDS) {
            badTrack("a " + e.type + " sample entry shorter than its fixed fields");
            return;
        }
        VideoEntry v;
        v.type = e.type;
        v.track = trackIndex;
        v.atom = e;
        v.ancestors = std::move(ancestors);
        const std::uint64_t start = payload(e) + VISUAL_ENTRY_FIELDS;
        const auto listed = bmff::listBoxes(d_, start, end(e));
        const auto kids = childAtoms(d_, start, end(e));
        // Children that stop short of the end hide what follows; a colour atom could be there.
        // A remainder too short for an atom hides nothing.
        if (!listed.complete && end(e) - listed.listedTo >= 8)
            badTrack("a " + e.type + " sample entry whose children cannot be read to its end");
        v.childrenEnd = listed.listedTo;
        // A last child of size 0 runs to the entry's end and would take in an atom added after it:
        // the new atom goes before it.
        if (!listed.boxes.empty() && listed.boxes.back().header.toEnd)
            v.childrenEnd = listed.boxes.back().offset;
        for (const auto& c : kids) {
            if (c.type == "colr") v.colours.push_back(colour(c));
            if (!v.config &&
                (c.type == "avcC" || c.type == "hvcC" || c.type == "av1C" || c.type == "vpcC"))
                v.config = c;
        }
        layout_.entries.push_back(std::move(v));
    }

    ColourAtom colour(const Atom& c) {
        ColourAtom col;
        col.atom = c;
        const std::uint64_t p = payload(c), e = end(c);
        if (fits(e, p, 4)) col.kind = fourCC(d_, p);
        if ((col.kind == "nclc" || col.kind == "nclx") && fits(e, p, 10)) {
            col.hasCodes = true;
            col.primOffset = p + 4;
            col.prim = u16(d_, p + 4);
            col.trc = u16(d_, p + 6);
            col.matrix = u16(d_, p + 8);
        }
        return col;
    }

    void addOffset(std::uint64_t at, int width, bool external) {
        if (external) return;
        const std::uint64_t v = width == 4 ? u32(d_, at) : u64(d_, at);
        layout_.offsets.push_back({moovStart_ + at, width, v, v, v});
    }

    // The entries of an offset table whose count sits at countPos, cut at the table's end.
    template <typename External>
    void table(const Atom& a, std::uint64_t countPos, int width, External external) {
        if (!fits(end(a), countPos, 4)) return;
        const std::uint64_t count = u32(d_, countPos);
        std::uint64_t at = countPos + 4;
        for (std::uint64_t i = 0; i < count && fits(end(a), at, std::uint64_t(width));
             ++i, at += width)
            addOffset(at, width, external(i));
    }

    void chunkOffsets(const Atom& table_, const std::vector<Atom>& stblKids,
                      const std::vector<bool>& entryExternal) {
        const int width = table_.type == "co64" ? 8 : 4;
        const std::uint64_t countPos = payload(table_) + 4;
        const bool anyExternal =
            std::find(entryExternal.begin(), entryExternal.end(), true) != entryExternal.end();
        const bool allExternal =
            anyExternal &&
            std::find(entryExternal.begin(), entryExternal.end(), false) == entryExternal.end();
        if (!anyExternal || allExternal) {
            table(table_, countPos, width, [&](std::uint64_t) { return allExternal; });
            return;
        }
        // Entries in this file and in others: the sample-to-chunk table says whose each chunk is.
        auto runs = sampleToChunk(stblKids);
        if (!runs) {
            badTrack("data in several files without a readable sample-to-chunk table");
            return;
        }
        table(table_, countPos, width, [&](std::uint64_t i) {
            std::uint64_t sdi = 0;
            for (const auto& [first, index] : *runs)
                if (first <= i + 1) sdi = index;
            return sdi >= 1 && sdi <= entryExternal.size() && entryExternal[sdi - 1];
        });
    }

    // (first chunk, sample description index) runs of stsc, both 1-based.
    std::optional<std::vector<std::pair<std::uint64_t, std::uint64_t>>>
    sampleToChunk(const std::vector<Atom>& stblKids) {
        auto stsc = ofType(stblKids, "stsc");
        if (stsc.size() != 1) return std::nullopt;
        const std::uint64_t countPos = payload(stsc[0]) + 4;
        if (!fits(end(stsc[0]), countPos, 4)) return std::nullopt;
        const std::uint64_t count = u32(d_, countPos);
        if (count > (end(stsc[0]) - countPos - 4) / 12) return std::nullopt;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> runs;
        for (std::uint64_t i = 0; i < count; ++i)
            runs.emplace_back(u32(d_, countPos + 4 + 12 * i), u32(d_, countPos + 4 + 12 * i + 8));
        return runs;
    }

    // Auxiliary-information offsets (sample encryption and the like) are absolute too.
    void auxOffsets(const Atom& saio, const std::vector<bool>& entryExternal) {
        const std::uint64_t v = payload(saio);
        if (!fits(end(saio), v, 4)) return;
        const bool wide = d_[v] != 0;
        const bool typed = (u32(d_, v) & 1) != 0;
        const bool external =
            !entryExternal.empty() &&
            std::find(entryExternal.begin(), entryExternal.end(), false) == entryExternal.end();
        table(saio, v + 4 + (typed ? 8 : 0), wide ? 8 : 4, [&](std::uint64_t) { return external; });
    }

    // Looks for item locations in meta atoms, inside the containers that may hold one.
    void metaSearch(const Atom& a, int depth) {
        if (depth > bmff::MAX_DEPTH) return;
        if (a.type == "meta") {
            for (const auto& iloc : ilocsInMeta(d_, a)) {
                auto refs = itemLocations(d_, iloc, moovStart_);
                if (!refs) {
                    refuse(Refusal::foreignOffsets, "an item-location table that cannot be read");
                    continue;
                }
                layout_.offsets.insert(layout_.offsets.end(), refs->begin(), refs->end());
            }
            return;
        }
        if (a.type == "udta" || a.type == "trak" || a.type == "mdia" || a.type == "minf")
            for (const auto& c : children(d_, a))
                metaSearch(c, depth + 1);
    }

    // A chunk-offset table anywhere but where a track's structure puts it would keep its old
    // offsets: refuse rather than guess. Only ever refuses, never writes.
    void strayTables() {
        std::sort(opaque_.begin(), opaque_.end());
        auto skip = opaque_.begin();
        for (std::uint64_t i = 4; i + 8 <= d_.size(); ++i) {
            while (skip != opaque_.end() && skip->second <= i)
                ++skip;
            if (skip != opaque_.end() && skip->first < i) {
                i = skip->second - 1;
                continue;
            }
            if (std::memcmp(d_.data() + i, "stco", 4) != 0 &&
                std::memcmp(d_.data() + i, "co64", 4) != 0)
                continue;
            const std::uint64_t at = i - 4, size = u32(d_, at);
            if (size < 16 || !fits(d_.size(), at, size) || d_[i + 4] != 0) continue;
            if (!knownTables_.contains(at)) {
                refuse(Refusal::trackStructure,
                       "a chunk-offset table outside a track's sample table");
                return;
            }
        }
    }

    Bytes d_;
    std::uint64_t moovStart_;
    MoovLayout layout_;
    std::set<std::uint64_t> knownTables_;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> opaque_; // [start, end) not to search
};

} // namespace

MoovLayout readMoovLayout(Bytes moov, std::uint64_t hdrLen, std::uint64_t moovStart) {
    if (hdrLen > moov.size()) return {};
    return Reader(moov, moovStart).run(hdrLen);
}

std::vector<Atom> ilocsInMeta(Bytes d, const Atom& meta) {
    // ISO meta starts with a version and flags word; QuickTime's has children right away.
    const bool full = fits(end(meta), payload(meta), 4) && u32(d, payload(meta)) == 0;
    return ofType(children(d, meta, full ? 4 : 0), "iloc");
}

std::optional<std::vector<OffsetField>> itemLocations(Bytes d, const Atom& iloc,
                                                      std::uint64_t base) {
    if (!fits(d.size(), iloc.offset, iloc.size)) return std::nullopt;
    const auto parsed = bmff::readIloc(d.subspan(payload(iloc), iloc.size - iloc.headerSize));
    if (!parsed) return std::nullopt;
    // Field positions below are in the payload; the payload's byte 0 lies here.
    const std::uint64_t at = base + payload(iloc);
    std::vector<OffsetField> refs;
    for (const auto& item : parsed->items) {
        // Only offsets into this file move: construction method 0, data reference "this file".
        if (item.method != 0 || item.dataReference != 0) continue;
        if (parsed->baseOffsetSize > 0 && item.baseOffset != 0) {
            // The base carries the position; every extent lies behind it.
            std::uint64_t lowest = UINT64_MAX, highest = 0;
            for (const auto& x : item.extents) {
                if (parsed->offsetSize == 0) continue;
                std::uint64_t target = 0;
                if (__builtin_add_overflow(item.baseOffset, x.offset, &target)) return std::nullopt;
                lowest = std::min(lowest, target);
                highest = std::max(highest, target);
            }
            if (parsed->offsetSize == 0 || item.extents.empty()) lowest = highest = item.baseOffset;
            refs.push_back({at + item.baseOffsetAt, int(parsed->baseOffsetSize), item.baseOffset,
                            lowest, highest});
        } else if (parsed->offsetSize > 0) {
            for (const auto& x : item.extents)
                refs.push_back(
                    {at + x.offsetAt, int(parsed->offsetSize), x.offset, x.offset, x.offset});
        }
    }
    // Two-byte fields cannot carry a position past 64 KiB; treat them as unfixable by width.
    for (const auto& r : refs)
        if (r.width != 4 && r.width != 8) return std::nullopt;
    return refs;
}

std::vector<ColrFinding> findColr(const MoovLayout& layout) {
    std::vector<ColrFinding> found;
    for (const auto& e : layout.entries)
        for (const auto& c : e.colours)
            if (c.hasCodes) found.push_back({c.primOffset, c.prim, c.trc});
    return found;
}

} // namespace tg

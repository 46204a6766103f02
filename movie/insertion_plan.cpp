#include "movie/insertion_plan.h"

namespace tg {

const std::set<std::string> VID_CODECS = {"avc1", "avc3", "hvc1", "hev1", "mp4v", "apcn", "apch",
                                          "apcs", "apco", "ap4h", "ap4x", "dvh1", "dvhe"};

namespace {

// moov/trak/mdia/minf/stbl is four levels deep; anything far deeper is hostile, and a tree we do
// not follow to the end may hide offsets we would fail to fix.
constexpr int MAX_DEPTH = 32;
// Fixed fields of a visual sample entry before its child atoms.
constexpr std::uint64_t VISUAL_ENTRY_FIELDS = 78;
constexpr std::uint64_t MAX_U32 = 0xFFFFFFFF;

bool isContainer(const std::string& type) {
    return type == "trak" || type == "mdia" || type == "minf" || type == "stbl";
}

class Planner {
public:
    Planner(Bytes d, std::uint64_t moovStart) : d_(d), moovStart_(moovStart) {}

    InsertionPlan run(std::uint64_t hdrLen) {
        InsertionPlan plan;
        const std::uint64_t end = d_.size();
        walk(hdrLen, end, {}, 0);
        if (tooDeep_) return refuse(PlanKind::foreignOffsets);
        if (alreadyTagged_) return refuse(PlanKind::alreadyTagged);
        if (!chosen_) return refuse(PlanKind::noVideo);
        if (__builtin_add_overflow(moovStart_, end, &insertAbs_)) return refuse(PlanKind::tooLarge);
        insertAbs_ = moovStart_ + insertAt_;

        if (hasChild(hdrLen, end, "mvex")) return refuse(PlanKind::fragmented);
        if (holdsItemLocations(hdrLen, end, 0)) return refuse(PlanKind::foreignOffsets);

        scan(hdrLen, end, 0);
        if (tooDeep_) return refuse(PlanKind::foreignOffsets);
        addAncestor(0);
        for (auto a : ancestors_)
            addAncestor(a);
        if (overflow_) return refuse(PlanKind::tooLarge);

        plan.kind = PlanKind::insert;
        plan.insertAt = insertAt_;
        plan.sizeFixes = std::move(sizeFixes_);
        plan.offsetFixes = std::move(offsetFixes_);
        return plan;
    }

private:
    static InsertionPlan refuse(PlanKind kind) {
        InsertionPlan plan;
        plan.kind = kind;
        return plan;
    }

    bool done() const { return chosen_ || alreadyTagged_ || tooDeep_; }

    // Finds the first video sample entry, depth first in file order.
    void walk(std::uint64_t start, std::uint64_t end, std::vector<std::uint64_t> path, int depth) {
        if (depth > MAX_DEPTH) {
            tooDeep_ = true;
            return;
        }
        for (const auto& a : childAtoms(d_, start, end)) {
            if (done()) return;
            if (isContainer(a.type)) {
                auto inner = path;
                inner.push_back(a.offset);
                walk(a.offset + a.headerSize, a.offset + a.size, std::move(inner), depth + 1);
            } else if (a.type == "stsd") {
                // Entries follow the version/flags word and the entry count.
                for (const auto& e :
                     childAtoms(d_, a.offset + a.headerSize + 8, a.offset + a.size)) {
                    if (!VID_CODECS.contains(e.type)) continue;
                    std::uint64_t childStart = e.offset + e.headerSize + VISUAL_ENTRY_FIELDS;
                    for (const auto& c : childAtoms(d_, childStart, e.offset + e.size)) {
                        if (c.type == "colr") {
                            alreadyTagged_ = true;
                            return;
                        }
                    }
                    chosen_ = true;
                    insertAt_ = e.offset + e.size;
                    ancestors_ = {e.offset, a.offset};
                    ancestors_.insert(ancestors_.end(), path.begin(), path.end());
                    return;
                }
            }
        }
    }

    void addOffset(std::uint64_t e, int w, std::uint64_t val) {
        if (val < insertAbs_) return;
        std::uint64_t v = 0;
        if (__builtin_add_overflow(val, COLR_GROWTH, &v) || (w == 4 && v > MAX_U32)) {
            overflow_ = true;
            return;
        }
        offsetFixes_.push_back({moovStart_ + e, w, v});
    }

    // Entries of an offset table: count at countPos, entries from there on, all inside the
    // table's own atom (a count that claims more is cut at the last whole entry).
    void table(const Atom& a, std::uint64_t countPos, int w) {
        const std::uint64_t tableEnd = a.offset + a.size;
        if (!fits(tableEnd, countPos, 4)) return;
        std::uint64_t count = u32(d_, countPos);
        std::uint64_t e = countPos + 4;
        for (std::uint64_t i = 0; i < count && fits(tableEnd, e, std::uint64_t(w)); ++i, e += w)
            addOffset(e, w, w == 4 ? u32(d_, e) : u64(d_, e));
    }

    // Collects every absolute offset at or behind the insertion point, in every track.
    void scan(std::uint64_t start, std::uint64_t end, int depth) {
        if (depth > MAX_DEPTH) {
            tooDeep_ = true;
            return;
        }
        for (const auto& a : childAtoms(d_, start, end)) {
            if (isContainer(a.type)) {
                scan(a.offset + a.headerSize, a.offset + a.size, depth + 1);
            } else if (a.type == "stco") {
                table(a, a.offset + a.headerSize + 4, 4);
            } else if (a.type == "co64") {
                table(a, a.offset + a.headerSize + 4, 8);
            } else if (a.type == "saio") {
                // Auxiliary information (e.g. encryption) offsets are absolute in a sample table.
                std::uint64_t v = a.offset + a.headerSize;
                if (!fits(a.offset + a.size, v, 4)) continue;
                const bool wide = d_[v] != 0;
                const bool typed = (u32(d_, v) & 1) != 0;
                table(a, v + 4 + (typed ? 8 : 0), wide ? 8 : 4);
            }
        }
    }

    bool hasChild(std::uint64_t start, std::uint64_t end, const char* type) const {
        for (const auto& a : childAtoms(d_, start, end))
            if (a.type == type) return true;
        return false;
    }

    // Item locations (iloc) in a meta atom of moov or a track hold absolute offsets that this
    // plan does not rewrite.
    bool holdsItemLocations(std::uint64_t start, std::uint64_t end, int depth) const {
        if (depth > 2) return false;
        for (const auto& a : childAtoms(d_, start, end)) {
            if (a.type == "trak" &&
                holdsItemLocations(a.offset + a.headerSize, a.offset + a.size, depth + 1))
                return true;
            if (a.type != "meta") continue;
            // ISO meta is a full atom (version and flags first); QuickTime meta is not.
            if (hasChild(a.offset + a.headerSize, a.offset + a.size, "iloc") ||
                hasChild(a.offset + a.headerSize + 4, a.offset + a.size, "iloc"))
                return true;
        }
        return false;
    }

    void addAncestor(std::uint64_t off) {
        std::uint32_t size32 = u32(d_, off);
        if (size32 == 0) return; // runs to the end of its range, which still covers the growth
        std::uint64_t newSize = 0;
        if (size32 == 1) {
            if (!fits(d_.size(), off, 16) ||
                __builtin_add_overflow(u64(d_, off + 8), COLR_GROWTH, &newSize)) {
                overflow_ = true;
                return;
            }
            sizeFixes_.push_back({moovStart_ + off, true, newSize});
            return;
        }
        newSize = std::uint64_t(size32) + COLR_GROWTH;
        if (newSize > MAX_U32) overflow_ = true;
        sizeFixes_.push_back({moovStart_ + off, false, newSize});
    }

    Bytes d_;
    std::uint64_t moovStart_;
    bool chosen_ = false;
    bool alreadyTagged_ = false;
    bool tooDeep_ = false;
    bool overflow_ = false;
    std::uint64_t insertAt_ = 0;
    std::uint64_t insertAbs_ = 0;
    std::vector<std::uint64_t> ancestors_;
    std::vector<SizeFix> sizeFixes_;
    std::vector<OffsetFix> offsetFixes_;
};

} // namespace

InsertionPlan planInsertion(Bytes moov, std::uint64_t hdrLen, std::uint64_t moovSize,
                            std::uint64_t moovStart) {
    // The buffer is the atom; a caller's size beyond it is never trusted for reads.
    if (moovSize < moov.size()) moov = moov.first(moovSize);
    return Planner(moov, moovStart).run(hdrLen);
}

} // namespace tg

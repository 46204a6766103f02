#include "movie/insertion_plan.h"

#include <algorithm>
#include <map>

namespace tg {

namespace {

constexpr std::uint64_t MAX_U32 = 0xFFFFFFFF;

InsertionPlan refused(PlanKind kind) {
    InsertionPlan plan;
    plan.kind = kind;
    return plan;
}

PlanKind kindOf(Refusal r) {
    switch (r) {
    case Refusal::fragmented:
        return PlanKind::fragmented;
    case Refusal::foreignOffsets:
        return PlanKind::foreignOffsets;
    case Refusal::trackStructure:
        return PlanKind::trackStructure;
    case Refusal::none:
        break;
    }
    return PlanKind::insert;
}

} // namespace

InsertionPlan planInsertion(Bytes moov, std::uint64_t hdrLen, std::uint64_t moovSize,
                            std::uint64_t moovStart) {
    // The buffer is the atom; a caller's size beyond it is never trusted for reads.
    if (moovSize < moov.size()) moov = moov.first(moovSize);
    const MoovLayout layout = readMoovLayout(moov, hdrLen, moovStart);
    std::vector<std::size_t> untagged;
    for (std::size_t i = 0; i < layout.entries.size(); ++i)
        if (!layout.entries[i].tagged()) untagged.push_back(i);
    if (layout.entries.empty()) return refused(PlanKind::noVideo);
    if (untagged.empty()) return refused(PlanKind::alreadyTagged);
    return planInsertion(layout, moov, moovStart, untagged);
}

InsertionPlan planInsertion(const MoovLayout& layout, Bytes moov, std::uint64_t moovStart,
                            const std::vector<std::size_t>& entries,
                            const std::vector<SpsRewrite>& rewrites,
                            const std::vector<std::size_t>& fullRange) {
    if (entries.empty() && rewrites.empty()) return refused(PlanKind::alreadyTagged);
    if (layout.refusal != Refusal::none) return refused(kindOf(layout.refusal));
    InsertionPlan plan;
    plan.kind = PlanKind::insert;

    // What is spliced in inside each atom that grows, and the order the fixes are listed in.
    std::map<std::uint64_t, std::uint64_t> inside;
    std::vector<std::uint64_t> order = {0};
    auto grows = [&](std::uint64_t off, std::uint64_t by) {
        if (inside[off] == 0 && off != 0) order.push_back(off);
        inside[off] += by;
    };
    auto growsAround = [&](const VideoEntry& e, std::uint64_t by) {
        grows(0, by);
        grows(e.atom.offset, by);
        grows(e.ancestors.front(), by); // stsd
        for (auto a = e.ancestors.rbegin(); a + 1 != e.ancestors.rend(); ++a)
            grows(*a, by); // trak, mdia, minf, stbl
    };
    for (const SpsRewrite& r : rewrites) {
        const VideoEntry& e = layout.entries.at(r.entry);
        if (!e.config || r.at < moovStart + 2 || r.nal.size() > 0xFFFF || r.nal.size() < r.oldSize)
            return refused(PlanKind::trackStructure);
        std::vector<std::uint8_t> unit = {std::uint8_t(r.nal.size() >> 8),
                                          std::uint8_t(r.nal.size())};
        unit.insert(unit.end(), r.nal.begin(), r.nal.end());
        plan.splices.push_back({r.at - moovStart - 2, r.oldSize + 2, std::move(unit)});
        grows(e.config->offset, r.nal.size() - r.oldSize);
        growsAround(e, r.nal.size() - r.oldSize);
    }
    for (std::size_t i : entries) {
        const VideoEntry& e = layout.entries.at(i);
        std::vector<std::uint8_t> colr(p3ColrAtom.begin(), p3ColrAtom.end());
        if (std::find(fullRange.begin(), fullRange.end(), i) != fullRange.end())
            colr.back() = 0x80; // full_range_flag
        plan.splices.push_back({e.childrenEnd, 0, std::move(colr)});
        growsAround(e, COLR_GROWTH);
    }
    std::sort(plan.splices.begin(), plan.splices.end(),
              [](const Splice& a, const Splice& b) { return a.at < b.at; });
    plan.insertAt = plan.splices.front().at;

    for (std::uint64_t off : order) {
        const std::uint64_t growth = inside[off];
        const std::uint32_t size32 = u32(moov, off);
        if (size32 == 0) continue; // runs to the end of its range, which still covers the growth
        std::uint64_t newSize = 0;
        if (size32 == 1) {
            if (!fits(moov.size(), off, 16) ||
                __builtin_add_overflow(u64(moov, off + 8), growth, &newSize))
                return refused(PlanKind::tooLarge);
            plan.sizeFixes.push_back({moovStart + off, true, newSize});
            continue;
        }
        newSize = std::uint64_t(size32) + growth;
        if (newSize > MAX_U32) return refused(PlanKind::tooLarge);
        plan.sizeFixes.push_back({moovStart + off, false, newSize});
    }

    plan.offsets = layout.offsets;
    const std::uint64_t insertAbs = moovStart + plan.insertAt;
    const std::uint64_t moovEnd = moovStart + moov.size();
    // An offset into moov at or behind the insertion point would have to follow bytes that
    // move by different amounts: no real movie has one.
    for (const auto& r : plan.offsets)
        if (r.highest >= insertAbs && r.lowest < moovEnd) return refused(PlanKind::foreignOffsets);
    auto fixes = moveOffsets(plan.offsets, {insertAbs, moovEnd, plan.growth()});
    if (!fixes) return refused(PlanKind::tooLarge);
    plan.offsetFixes = std::move(*fixes);
    return plan;
}

std::vector<std::uint8_t> rebuildMoov(Bytes moov, std::uint64_t moovStart,
                                      const InsertionPlan& plan,
                                      const std::vector<Overwrite>& fields) {
    std::vector<std::uint8_t> old(moov.begin(), moov.end());
    for (const auto& f : plan.sizeFixes) {
        const std::uint64_t at = f.absPos - moovStart;
        if (f.isLarge)
            wU64(old, at + 8, f.newSize);
        else
            wU32(old, at, std::uint32_t(f.newSize));
    }
    for (const auto& w : fields) {
        if (w.at < moovStart || !fits(old.size(), w.at - moovStart, w.bytes.size())) continue;
        std::copy(w.bytes.begin(), w.bytes.end(), old.begin() + std::ptrdiff_t(w.at - moovStart));
    }
    std::vector<std::uint8_t> out;
    out.reserve(old.size() + plan.growth());
    std::uint64_t from = 0;
    for (const Splice& sp : plan.splices) {
        out.insert(out.end(), old.begin() + std::ptrdiff_t(from),
                   old.begin() + std::ptrdiff_t(sp.at));
        out.insert(out.end(), sp.bytes.begin(), sp.bytes.end());
        from = sp.at + sp.removed;
    }
    out.insert(out.end(), old.begin() + std::ptrdiff_t(from), old.end());
    return out;
}

std::uint64_t InsertionPlan::growth() const {
    std::uint64_t total = 0;
    for (const Splice& sp : splices)
        total += sp.bytes.size() - sp.removed;
    return total;
}

} // namespace tg

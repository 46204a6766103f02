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
                            const std::vector<std::size_t>& entries) {
    if (entries.empty()) return refused(PlanKind::alreadyTagged);
    if (layout.refusal != Refusal::none) return refused(kindOf(layout.refusal));
    InsertionPlan plan;
    plan.kind = PlanKind::insert;

    // How many atoms go inside each atom that grows, and the order the fixes are listed in.
    std::map<std::uint64_t, std::uint64_t> inside;
    std::vector<std::uint64_t> order = {0};
    auto grows = [&](std::uint64_t off) {
        if (inside[off]++ == 0 && off != 0) order.push_back(off);
    };
    for (std::size_t i : entries) {
        const VideoEntry& e = layout.entries.at(i);
        plan.insertPoints.push_back(e.childrenEnd);
        ++inside[0];
        grows(e.atom.offset);
        grows(e.ancestors.front()); // stsd
        for (auto a = e.ancestors.rbegin(); a + 1 != e.ancestors.rend(); ++a)
            grows(*a); // trak, mdia, minf, stbl
    }
    std::sort(plan.insertPoints.begin(), plan.insertPoints.end());
    plan.insertAt = plan.insertPoints.front();

    for (std::uint64_t off : order) {
        const std::uint64_t growth = COLR_GROWTH * inside[off];
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
    for (std::uint64_t at : plan.insertPoints) {
        out.insert(out.end(), old.begin() + std::ptrdiff_t(from), old.begin() + std::ptrdiff_t(at));
        out.insert(out.end(), p3ColrAtom.begin(), p3ColrAtom.end());
        from = at;
    }
    out.insert(out.end(), old.begin() + std::ptrdiff_t(from), old.end());
    return out;
}

} // namespace tg

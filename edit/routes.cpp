#include "edit/routes.h"

#include "base/file_faults.h"

#include <algorithm>
#include <linux/fiemap.h>

namespace tg {

namespace {

// Bytes moved per journaled step of a shift; one step is held in memory at a time.
constexpr std::uint64_t SHIFT_CHUNK = 8ull << 20;
// Bytes between the region and padding that are moved to absorb the growth; more is not worth it.
constexpr std::uint64_t MAX_ABSORB_MOVE = 16ull << 20;

// Applies the writes that fall inside `bytes` (old bytes from `at` on) and drops them.
void applyInside(std::vector<Overwrite>& writes, std::uint64_t at,
                 std::vector<std::uint8_t>& bytes) {
    std::erase_if(writes, [&](const Overwrite& w) {
        if (bytes.empty() || w.at < at || w.at - at > bytes.size() ||
            w.bytes.size() > bytes.size() - (w.at - at))
            return false;
        std::copy(w.bytes.begin(), w.bytes.end(), bytes.begin() + std::ptrdiff_t(w.at - at));
        return true;
    });
}

// Writes outside the rewritten region, at their positions after the edit.
std::vector<Overwrite> place(std::vector<Overwrite> writes, std::uint64_t regionOldEnd,
                             std::uint64_t delta) {
    for (auto& w : writes)
        if (w.at >= regionOldEnd) w.at += delta;
    return writes;
}

} // namespace

RoutePlanner::RoutePlanner(const EditTarget& target, const EditPlan& plan)
    : target_(target), plan_(plan), size_(target.identity.size) {}

Journal RoutePlanner::base(Route route) const {
    Journal j;
    j.route = route;
    j.outcome = plan_.outcome;
    j.name = target_.path.filename().string();
    j.oldSize = j.newSize = size_;
    return j;
}

Journal RoutePlanner::overwrite() const {
    Journal j = base(Route::overwrite);
    j.writes = plan_.overwrites;
    return j;
}

Result<std::optional<Journal>> RoutePlanner::absorb() const {
    const Growth& g = *plan_.growth;
    for (const Padding& p : g.paddings) {
        if (p.start < g.oldEnd) continue;
        if (p.start - g.oldEnd > MAX_ABSORB_MOVE) break;
        const std::uint64_t left = p.size - std::min(p.size, g.bytes);
        if (p.size < g.bytes || (left != 0 && left < g.minGap)) continue;
        auto writes = fieldWrites({g.firstSite(), p.start + p.size, 0});
        if (writes.failed()) return writes.failure();
        if (!*writes) continue;
        auto between = target_.file->readFully(g.oldEnd, p.start - g.oldEnd);
        if (between.failed()) return between.failure();
        Journal j = base(Route::absorb);
        std::vector<Overwrite> outside;
        j.region = rebuilt(**writes, g.oldEnd, *between, outside);
        if (left != 0) {
            const auto head = g.fillGap(left, p.kind);
            j.region.insert(j.region.end(), head.begin(), head.end());
        }
        j.regionStart = g.start;
        j.regionOldEnd = g.start + j.region.size();
        j.writes = place(outside, j.regionOldEnd, 0);
        return std::optional(std::move(j));
    }
    return std::optional<Journal>();
}

Result<std::optional<Journal>> RoutePlanner::insertRange(const FileSystemInfo& fs) const {
    const Growth& g = *plan_.growth;
    const std::uint64_t bs = fs.blockSize;
    if (bs == 0 || bs > (1u << 20) || !g.gapMayFollow) return std::optional<Journal>();
    const std::uint64_t at = g.start - g.start % bs;
    const std::uint64_t len = roundUp(g.bytes + g.minGap, bs);
    auto writes = fieldWrites({g.firstSite(), g.oldEnd, len});
    if (writes.failed()) return writes.failure();
    if (!*writes) return std::optional<Journal>();
    // The map must be whole and final: every extent's place on the device known.
    if (Status s = target_.file->sync(); s.failed()) return s.failure();
    auto map = target_.file->extents();
    if (map.failed()) return std::optional<Journal>();
    constexpr std::uint32_t UNSURE = FIEMAP_EXTENT_UNKNOWN | FIEMAP_EXTENT_DELALLOC |
                                     FIEMAP_EXTENT_ENCODED | FIEMAP_EXTENT_NOT_ALIGNED |
                                     FIEMAP_EXTENT_DATA_INLINE | FIEMAP_EXTENT_DATA_TAIL;
    for (const auto& x : *map)
        if (x.flags & UNSURE) return std::optional<Journal>();
    auto before = target_.file->readFully(at, g.start - at);
    if (before.failed()) return before.failure();
    Journal j = base(Route::insertRange);
    std::vector<Overwrite> outside;
    std::vector<std::uint8_t> region = rebuilt(**writes, 0, {}, outside);
    applyInside(outside, at, *before);
    j.region = std::move(*before);
    j.region.insert(j.region.end(), region.begin(), region.end());
    const std::uint64_t gap = len - g.bytes;
    const auto head = g.fillGap(gap, {});
    j.region.insert(j.region.end(), head.begin(), head.end());
    j.region.resize(j.region.size() + (gap - head.size()), 0);
    j.regionStart = at;
    j.regionOldEnd = g.oldEnd;
    j.delta = len;
    j.rangeAt = at;
    j.newSize = size_ + len;
    j.writes = place(outside, g.oldEnd, len);
    j.extents = std::move(*map);
    return std::optional(std::move(j));
}

Result<std::optional<Journal>> RoutePlanner::shift() const {
    const Growth& g = *plan_.growth;
    auto writes = fieldWrites({g.firstSite(), g.oldEnd, g.bytes});
    if (writes.failed()) return writes.failure();
    if (!*writes) return std::optional<Journal>();
    Journal j = base(Route::shift);
    std::vector<Overwrite> outside;
    j.region = rebuilt(**writes, 0, {}, outside);
    j.regionStart = g.start;
    j.regionOldEnd = g.oldEnd;
    j.delta = g.bytes;
    // Small tails get small steps, and so a small journal.
    const std::uint64_t chunk = fileFaults().shiftChunk ? fileFaults().shiftChunk : SHIFT_CHUNK;
    j.chunk = std::clamp<std::uint64_t>(size_ - std::min(size_, g.oldEnd), 1, chunk);
    j.newSize = size_ + g.bytes;
    j.writes = place(outside, g.oldEnd, g.bytes);
    return std::optional(std::move(j));
}

std::uint64_t RoutePlanner::tail() const {
    const std::uint64_t first = plan_.growth ? plan_.growth->firstSite() : size_;
    return size_ - std::min(size_, first);
}

// The overwrites plus the offset fixes of a route, as same-length writes at old positions;
// nothing when the route cannot keep every offset right.
Result<std::optional<std::vector<Overwrite>>>
RoutePlanner::fieldWrites(const OffsetShift& shift) const {
    const Growth& g = *plan_.growth;
    auto moved = moveOffsets(g.offsets, shift, bool(g.widen));
    if (!moved) return std::optional<std::vector<Overwrite>>();
    std::vector<Overwrite> wide;
    if (std::any_of(moved->begin(), moved->end(), outgrows)) {
        auto carried = g.widen(*moved);
        if (!carried) return std::optional<std::vector<Overwrite>>();
        wide = std::move(*carried);
    }
    std::vector<Overwrite> writes = plan_.overwrites;
    for (const auto& f : *moved) {
        if (outgrows(f)) continue; // carried by `wide`
        if (f.pos >= g.start && fits(g.oldBytes.size(), f.pos - g.start, std::uint64_t(f.width))) {
            writes.push_back(fieldWrite(f.pos, f.width, f.value,
                                        g.oldBytes.subspan(f.pos - g.start, std::size_t(f.width))));
            continue;
        }
        auto old = target_.file->readFully(f.pos, std::size_t(f.width));
        if (old.failed()) return old.failure();
        writes.push_back(fieldWrite(f.pos, f.width, f.value, *old));
    }
    if (g.derive) {
        const auto derived = g.derive(writes);
        writes.insert(writes.end(), derived.begin(), derived.end());
    }
    // A wider write already holds the fields and checksums inside it; one it cuts across would
    // leave two versions of the same bytes.
    for (const auto& x : wide) {
        bool cut = false;
        std::erase_if(writes, [&](const Overwrite& w) {
            if (w.at + w.bytes.size() <= x.at || w.at >= x.at + x.bytes.size()) return false;
            cut = cut || w.at < x.at || w.at + w.bytes.size() > x.at + x.bytes.size();
            return true;
        });
        if (cut) return std::optional<std::vector<Overwrite>>();
    }
    writes.insert(writes.end(), wide.begin(), wide.end());
    return std::optional(std::move(writes));
}

// The new region followed by `after` (old bytes from afterAt on), with the writes that fall
// inside either applied; the others are handed back in `outside`.
std::vector<std::uint8_t> RoutePlanner::rebuilt(const std::vector<Overwrite>& writes,
                                                std::uint64_t afterAt,
                                                std::vector<std::uint8_t> after,
                                                std::vector<Overwrite>& outside) const {
    const Growth& g = *plan_.growth;
    std::vector<Overwrite> inside;
    for (const auto& w : writes) {
        if (w.at >= g.start && fits(g.oldEnd - g.start, w.at - g.start, w.bytes.size()))
            inside.push_back(w);
        else
            outside.push_back(w);
    }
    applyInside(outside, afterAt, after);
    std::vector<std::uint8_t> out = g.build(inside);
    out.insert(out.end(), after.begin(), after.end());
    return out;
}

} // namespace tg

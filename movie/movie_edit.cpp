#include "movie/movie_edit.h"

namespace tg {

namespace {

// The smallest top-level atom: a 32-bit size and a type.
constexpr std::uint64_t ATOM_HEADER = 8;

// The header of a top-level free atom of `size` bytes and the given type; its payload is left as
// it lies.
std::vector<std::uint8_t> freeHeader(std::uint64_t size, const std::string& type) {
    std::vector<std::uint8_t> h(size > 0xFFFFFFFF ? 16 : 8);
    if (h.size() == 16) {
        wU32(h, 0, 1);
        wU64(h, 8, size);
    } else {
        wU32(h, 0, std::uint32_t(size));
    }
    std::copy(type.begin(), type.end(), h.begin() + 4);
    return h;
}

// moov as the region that grows by the colour atoms of the insertion.
Growth moovGrowth(const MovieFile& movie, const MovieEdit& edit) {
    const InsertionPlan& insertion = *edit.insertion;
    const std::uint64_t moovStart = movie.moov.start;
    Growth g;
    g.start = moovStart;
    g.oldEnd = moovStart + movie.moov.size;
    g.oldBytes = movie.moovBytes;
    for (const Splice& sp : insertion.splices)
        g.sites.push_back(moovStart + sp.at);
    g.bytes = insertion.growth();
    g.build = [&movie, &insertion](const std::vector<Overwrite>& inside) {
        return rebuildMoov(movie.moovBytes, movie.moov.start, insertion, inside);
    };
    g.offsets = insertion.offsets;
    g.offsets.insert(g.offsets.end(), edit.outsideOffsets.begin(), edit.outsideOffsets.end());
    for (const auto& a : movie.top)
        if (a.type == "free" || a.type == "skip") g.paddings.push_back({a.start, a.size, a.type});
    g.fillGap = [](std::uint64_t n, const std::string& kind) {
        return freeHeader(n, kind.empty() ? "free" : kind);
    };
    g.minGap = ATOM_HEADER;
    // A moov whose size is 0 runs to the end of the file: nothing may follow it.
    g.gapMayFollow = u32(movie.moovBytes, 0) != 0;
    g.noRoute = "Unsupported (offsets outside chunk tables)";
    return g;
}

} // namespace

TGResult applyEdit(const MovieFile& movie, const MovieEdit& edit, const Progress& onMoving) {
    EditPlan plan;
    plan.overwrites = edit.overwrites;
    plan.outcome = edit.outcome;
    plan.message = edit.message;
    if (edit.insertion) plan.growth = moovGrowth(movie, edit);
    // A free atom past the last one; inside a last atom of size 0 it is only more of its bytes.
    plan.markHead = [](std::uint64_t n) { return freeHeader(n, "free"); };
    return runEdit({movie.file, movie.path, movie.identity}, plan, onMoving);
}

} // namespace tg

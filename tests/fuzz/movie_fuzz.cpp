// Feeds arbitrary bytes to the atom reader, the structure reader and the insertion plan, both as
// a moov buffer and as a whole movie file, and checks that every plan stays inside the bytes it
// was made from and that an edit leaves a file the next run reads as tagged.
#include "movie/atoms.h"
#include "movie/colour_decision.h"
#include "movie/insertion_plan.h"
#include "movie/moov_layout.h"
#include "movie/movie_tagger.h"

#include "fuzz_common.h"

#include <string>

#include <fcntl.h>
#include <unistd.h>

using namespace tg;
using tgfuzz::require;

namespace {

void checkPlan(Bytes moov, std::uint64_t start) {
    const std::uint64_t hdrLen = moov.size() >= 16 && u32(moov, 0) == 1 ? 16 : 8;
    const MoovLayout layout = readMoovLayout(moov, hdrLen, start);
    for (const auto& e : layout.entries) {
        require(fits(moov.size(), e.atom.offset, e.atom.size));
        require(e.childrenEnd <= e.atom.offset + e.atom.size);
        for (const auto& c : e.colours)
            require(!c.hasCodes || fits(moov.size(), c.primOffset, 6));
    }
    for (const auto& f : findColr(layout))
        require(fits(moov.size(), f.off, 6));
    decideColour(layout, moov, start);
    auto plan = planInsertion(moov, hdrLen, moov.size(), start);
    if (plan.kind != PlanKind::insert) return;
    require(plan.insertAt <= moov.size());
    for (const auto& f : plan.sizeFixes) {
        require(f.absPos >= start && f.absPos - start < plan.insertAt);
        require(f.isLarge || f.newSize <= 0xFFFFFFFFu);
    }
    for (const auto& f : plan.offsetFixes) {
        require(f.width == 4 || f.width == 8);
        require(f.pos >= start && fits(moov.size(), f.pos - start, std::uint64_t(f.width)));
        require(f.width == 8 || f.value <= 0xFFFFFFFFu);
        require(f.value >= start + moov.size() + plan.growth());
    }
    require(rebuildMoov(moov, start, plan, {}).size() == moov.size() + plan.growth());
}

// The whole pipeline on a real file in memory-backed storage.
void checkFile(const std::uint8_t* data, std::size_t size) {
    static const std::string path = "/dev/shm/tg-movie-fuzz-" + std::to_string(::getpid()) + ".mov";
    {
        FileHandle out(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
        if (!out.isOpen() || out.writeAt(0, Bytes(data, size)).failed()) return;
        auto moov = findMoovAtom(out, size);
        if (moov && fits(size, moov->start, moov->size)) {
            auto buffer = out.readFully(moov->start, moov->size);
            require(buffer.ok());
            checkPlan(*buffer, moov->start);
        }
    }
    tgfuzz::requireTagsOnce(path, size, [](const std::string& p) { return processCore(p); });
    require(!hasInterruptedEdit(path));
    ::unlink(path.c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Bytes d(data, size);
    for (const auto& a : childAtoms(d, 0, d.size()))
        require(fits(d.size(), a.offset, a.size));
    checkPlan(d, 0);
    checkPlan(d, size > 8 ? u32(d, size - 4) : 0);
    checkFile(data, size);
    return 0;
}

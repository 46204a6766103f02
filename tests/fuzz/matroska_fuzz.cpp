// Feeds arbitrary bytes to the EBML reader, the Matroska loader and the edit planner, then tags
// them as a file: every listing stays inside its parent, every plan inside the file it was made
// from, and an edit leaves a file the next run reads as tagged.
#include "ebml/ebml.h"
#include "matroska/mkv_decision.h"
#include "matroska/mkv_edit.h"
#include "matroska/mkv_loader.h"
#include "matroska/mkv_tagging.h"

#include "fuzz_common.h"

#include <string>

#include <fcntl.h>
#include <unistd.h>

using namespace tg;
using tgfuzz::require;

namespace {

// Every element of every level, as deep as the reader lets a walk go.
void walk(Bytes d, std::uint64_t start, std::uint64_t end, int depth) {
    const auto list = ebml::listChildren(d, start, end);
    require(list.listedTo <= end);
    for (const auto& el : list.elements) {
        require(el.offset >= start && el.end() <= end && el.dataStart() <= el.end());
        if (depth < ebml::MAX_DEPTH) walk(d, el.dataStart(), el.end(), depth + 1);
    }
}

void checkPlan(const FileHandle& file, std::uint64_t size) {
    auto loaded = loadMatroska(file, size);
    if (loaded.failed()) return;
    const MkvFile& m = *loaded;
    require(m.tracks.end() <= size && m.tracksBytes.size() == m.tracks.end() - m.tracks.offset);
    for (const auto& f : m.positions)
        require(f.width >= 1 && f.width <= 8 && f.pos + std::uint64_t(f.width) <= size);
    const MkvDecision d = decideMatroska(m);
    auto plan = planMatroskaEdit(file, m, d, d.bitstreamWrites());
    if (plan.failed()) return;
    for (const auto& w : plan->overwrites)
        require(w.bytes.size() == w.old.size() && w.at + w.bytes.size() <= size);
    if (!plan->growth) return;
    const Growth& g = *plan->growth;
    require(g.start == m.tracks.offset && g.oldEnd == m.tracks.end());
    for (const auto s : g.sites)
        require(s > g.start && s <= g.oldEnd);
    require(g.build({}).size() == g.oldEnd - g.start + g.bytes);
}

void checkFile(const std::uint8_t* data, std::size_t size) {
    static const std::string path = "/dev/shm/tg-mkv-fuzz-" + std::to_string(::getpid()) + ".mkv";
    {
        FileHandle out(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
        if (!out.isOpen() || out.writeAt(0, Bytes(data, size)).failed()) return;
        checkPlan(out, size);
    }
    tgfuzz::requireTagsOnce(path, size, [](const std::string& p) { return tagMatroska(p); });
    ::unlink(path.c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes d(data, size);
    walk(d, 0, d.size(), 0);
    checkFile(data, size);
    return 0;
}

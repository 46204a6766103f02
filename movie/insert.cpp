// The insertion: grow the file by one colour atom, move the tail, then fix sizes and offsets.
#include "movie/atoms.h"
#include "movie/insertion_plan.h"
#include "movie/movie_tagger.h"

#include <algorithm>

namespace tg {

namespace {

constexpr std::uint64_t MAX_MOOV = 512000000;
constexpr std::uint64_t SHIFT_CHUNK = 8388608;
// A top-level meta is read whole to look for item locations; larger ones are refused.
constexpr std::uint64_t MAX_META = 16 * 1024 * 1024;

const char* const PARTWAY = "Write failed partway — file may need re-export";

// Whether any top-level atom holds absolute offsets that the plan would leave pointing 19 bytes
// short: movie fragments (moof, and mfra's random-access table) or item locations in a meta.
// Returns the refusal message, or nullptr when the insertion is safe.
const char* topLevelRefusal(const FileHandle& handle, std::uint64_t fileSize) {
    for (const auto& a : topLevelAtoms(handle, fileSize)) {
        if (a.type == "moof" || a.type == "mfra") return "Unsupported (fragmented movie)";
        if (a.type != "meta") continue;
        if (a.size > MAX_META || !fits(fileSize, a.start, a.size))
            return "Unsupported (offsets outside chunk tables)";
        auto meta = handle.readFully(a.start, a.size);
        if (meta.failed()) return "Read error";
        for (std::uint64_t skip : {std::uint64_t(0), std::uint64_t(4)})
            for (const auto& c : childAtoms(*meta, std::min(a.headerSize + skip, a.size), a.size))
                if (c.type == "iloc") return "Unsupported (offsets outside chunk tables)";
    }
    return nullptr;
}

// Moves [from, end) to [from + COLR_GROWTH, end + COLR_GROWTH), last block first, so that no
// byte is overwritten before it has been copied.
bool shiftTail(const FileHandle& handle, std::uint64_t from, std::uint64_t end) {
    std::vector<std::uint8_t> block(std::min(SHIFT_CHUNK, end - from));
    std::uint64_t cur = end;
    while (from < cur) {
        std::uint64_t n = std::min(cur - from, SHIFT_CHUNK);
        cur -= n;
        std::span<std::uint8_t> part(block.data(), n);
        auto got = handle.readAt(cur, part);
        if (got.failed() || *got != n) return false;
        if (handle.writeAt(cur + COLR_GROWTH, part).failed()) return false;
    }
    return true;
}

bool writeU32At(const FileHandle& handle, std::uint64_t pos, std::uint64_t v) {
    std::array<std::uint8_t, 4> b{};
    wU32(b, 0, std::uint32_t(v));
    return handle.writeAt(pos, b).ok();
}

bool writeU64At(const FileHandle& handle, std::uint64_t pos, std::uint64_t v) {
    std::array<std::uint8_t, 8> b{};
    wU64(b, 0, v);
    return handle.writeAt(pos, b).ok();
}

} // namespace

TGResult addColr(const std::filesystem::path& file) {
    const std::string name = file.filename().string();
    auto result = [&](TGOutcome outcome, const char* message) {
        return TGResult(name, outcome, message);
    };

    const std::int64_t signedSize = fileSizeOf(file);
    if (signedSize < 17) return result(TGOutcome::error, "Read error");
    const std::uint64_t fileSize = std::uint64_t(signedSize);

    FileHandle handle = FileHandle::openForUpdate(file);
    if (!handle.isOpen()) return result(TGOutcome::error, "No write permission");

    auto moov = findMoovAtom(handle, fileSize);
    if (!moov || moov->size > MAX_MOOV || !fits(fileSize, moov->start, moov->size))
        return result(TGOutcome::error, "Unsupported (no moov)");

    auto buffer = handle.readFully(moov->start, moov->size);
    if (buffer.failed()) return result(TGOutcome::error, "Read error");

    InsertionPlan plan = planInsertion(*buffer, moov->headerSize, moov->size, moov->start);
    switch (plan.kind) {
    case PlanKind::insert:
        break;
    case PlanKind::alreadyTagged:
        return result(TGOutcome::already, "Already tagged");
    case PlanKind::noVideo:
        return result(TGOutcome::skipped, "No video track to tag");
    case PlanKind::tooLarge:
        return result(TGOutcome::error, "Can't add tag — a size or offset would pass 4 GB");
    case PlanKind::fragmented:
        return result(TGOutcome::error, "Unsupported (fragmented movie)");
    case PlanKind::foreignOffsets:
        return result(TGOutcome::error, "Unsupported (offsets outside chunk tables)");
    }
    if (const char* refusal = topLevelRefusal(handle, fileSize))
        return result(TGOutcome::error, refusal);
    buffer = std::vector<std::uint8_t>(); // the plan holds all it needs; free moov first

    // Nothing has been written up to here.
    const std::uint64_t insertAbs = moov->start + plan.insertAt;
    if (handle.resize(fileSize + COLR_GROWTH).failed())
        return result(TGOutcome::error, "Couldn't grow file (disk full?)");

    auto moved = [&](std::uint64_t pos) { return pos >= insertAbs ? pos + COLR_GROWTH : pos; };
    bool ok = shiftTail(handle, insertAbs, fileSize) && handle.writeAt(insertAbs, p3ColrAtom).ok();
    for (const auto& f : plan.sizeFixes) {
        if (!ok) break;
        ok = f.isLarge ? writeU64At(handle, moved(f.absPos) + 8, f.newSize)
                       : writeU32At(handle, moved(f.absPos), f.newSize);
    }
    for (const auto& f : plan.offsetFixes) {
        if (!ok) break;
        ok = f.w == 4 ? writeU32At(handle, moved(f.absPos), f.v)
                      : writeU64At(handle, moved(f.absPos), f.v);
    }
    // A failed flush means written blocks may never reach the disk: the same partway failure.
    if (!ok || handle.sync().failed()) return result(TGOutcome::error, PARTWAY);
    return result(TGOutcome::added, "No tag found — added Display-P3");
}

} // namespace tg

// The in-place patch: rewrite the primaries of existing colour atoms, two bytes each.
#include "movie/atoms.h"
#include "movie/movie_tagger.h"

#include <algorithm>
#include <array>

namespace tg {

namespace {

// Payload lengths from 8 up to 511,999,999 bytes are read; one unsigned test covers both ends.
constexpr std::uint64_t MAX_PAYLOAD_ABOVE_8 = 511999991;
constexpr std::uint16_t BT2020 = 9;
constexpr std::uint16_t PQ = 16;
constexpr std::uint16_t HLG = 18;

bool isHdr(const ColrFinding& f) {
    return f.trc == PQ || f.trc == HLG || f.prim == BT2020;
}

} // namespace

bool hasInterruptedEdit(const std::filesystem::path&) {
    return false;
}

TGResult processCore(const std::filesystem::path& file, const std::function<void(double)>&) {
    const std::string name = file.filename().string();
    auto result = [&](TGOutcome outcome, const char* message) {
        return TGResult(name, outcome, message);
    };
    if (!VIDEO_EXTS.contains(lowercased(extensionOf(file))))
        return result(TGOutcome::skipped, "Skipped (not a video)");

    const std::int64_t size = fileSizeOf(file);
    if (size < 17) return result(TGOutcome::error, "Can't read file");

    std::vector<std::uint8_t> payload;
    std::uint64_t payloadStart = 0;
    std::vector<ColrFinding> findings;
    {
        FileHandle handle = FileHandle::openForUpdate(file);
        if (!handle.isOpen()) return result(TGOutcome::error, "No write permission");

        auto moov = findMoov(handle, std::uint64_t(size));
        if (!moov || moov->length - 8 > MAX_PAYLOAD_ABOVE_8)
            return result(TGOutcome::error, "Unsupported (no moov)");

        // A truncated file holds less than the declared length; only what is there is scanned.
        payloadStart = moov->start;
        std::uint64_t there = payloadStart < std::uint64_t(size) ? size - payloadStart : 0;
        payload.resize(std::min(moov->length, there));
        auto got = handle.readAt(payloadStart, payload);
        if (got.failed() || *got == 0) return result(TGOutcome::error, "Read error");
        payload.resize(*got);

        findings = findColr(payload);
        if (std::any_of(findings.begin(), findings.end(), isHdr))
            return result(TGOutcome::hdr, "HDR — left unchanged");

        if (!findings.empty()) {
            if (std::all_of(findings.begin(), findings.end(),
                            [](const ColrFinding& f) { return f.prim == P3; }))
                return result(TGOutcome::already, "Already Display-P3");

            constexpr std::array<std::uint8_t, 2> patch = {0x00, 0x0C};
            for (const auto& f : findings) {
                if (f.prim == P3) continue;
                if (handle.writeAt(payloadStart + f.off, patch).failed())
                    return result(TGOutcome::error,
                                  "Write failed partway — file may need re-export");
            }
            // The colourist wants the tag on disk, not in the page cache; a failed flush means
            // the writes may be lost.
            if (handle.sync().failed())
                return result(TGOutcome::error, "Write failed partway — file may need re-export");
            return result(TGOutcome::fixed, "Fixed → Display-P3");
        }
    } // the handle is closed before the insertion opens the file again
    return addColr(file);
}

} // namespace tg

// A Matroska edit as the tagger plans it, handed to the edit engine: Primaries rewritten in
// place; Tracks rebuilt longer, its room taken from a Void after it (the engine's absorb) or
// before it (Info and what lies between slide into the Void, the same length overall), else
// grown by the engine's other routes with every stored position behind it moved (written wider,
// in the Void behind its SeekHead or Cues, where it outgrows its field); and every CRC-32 over
// bytes that change made again.
#pragma once

#include "base/file.h"
#include "base/result.h"
#include "edit/edit_plan.h"
#include "matroska/mkv_decision.h"
#include "matroska/mkv_loader.h"

#include <cstdint>
#include <vector>

namespace tg {

// Bytes put into a master element of the Tracks buffer: at its end (remove 0), or in place of
// one of its children starting at `at` and `remove` bytes long. Offsets relative to Tracks.
struct TracksSplice {
    std::uint64_t parent = 0;
    std::uint64_t at = 0;
    std::uint64_t remove = 0;
    std::vector<std::uint8_t> bytes;
};

// The splices that give every `added` track of the decision its Display P3 Colour, and every
// track whose configuration record was rebuilt its new CodecPrivate.
std::vector<TracksSplice> colourSplices(const MkvFile& file, const MkvDecision& decision);

// The element at `el` of buf rebuilt with the splices that fall inside it: sizes of the
// elements that hold them grown (wider where they must be), CRC-32s made again. Nothing when
// an element on the way does not hold together, has an unknown size or lies too deep.
std::optional<std::vector<std::uint8_t>> rebuildElement(Bytes buf, const ebml::Element& el,
                                                        const std::vector<TracksSplice>& splices);

// The CRC-32 values that change when the writes (same length, old positions) are made.
std::vector<Overwrite> crcWrites(const std::vector<CrcElement>& elements,
                                 const std::vector<Overwrite>& writes);

// The plan for the decision (which has tracks to fix or add); extra same-length writes (the
// bitstream's) may lie anywhere in the file. Failure messages are the result's.
Result<EditPlan> planMatroskaEdit(const FileHandle& file, const MkvFile& m,
                                  const MkvDecision& decision, std::vector<Overwrite> extra);

} // namespace tg

// What an in-place edit changes, in terms any container can state: same-length overwrites, and at
// most one region rebuilt longer, with the stored offsets that follow the bytes behind it. The
// container supplies the bytes; the engine picks the route, which decides how far the tail moves.
#pragma once

#include "base/bytes.h"
#include "model/job.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tg {

// A same-length overwrite at an absolute offset of the file as it was before the edit.
struct Overwrite {
    std::uint64_t at = 0;
    std::vector<std::uint8_t> bytes; // what goes there
    std::vector<std::uint8_t> old;   // what is there now
};

// A big-endian field write as an overwrite of the bytes now in `current` at absolute `absPos`.
Overwrite fieldWrite(std::uint64_t absPos, int width, std::uint64_t value, Bytes current);

// A big-endian field of the file that holds a file offset: where it sits, its width (1 to 8), its
// value, and the absolute range of bytes it points at (which may count from elsewhere than the
// value does).
struct OffsetField {
    std::uint64_t pos = 0;
    int width = 4;
    std::uint64_t value = 0;
    std::uint64_t lowest = 0;
    std::uint64_t highest = 0;
};

// How a route moves the bytes behind a region: offsets pointing before `from` stay, those at or
// after `to` grow by `delta`, and one pointing in between cannot be kept right.
struct OffsetShift {
    std::uint64_t from = 0;
    std::uint64_t to = 0;
    std::uint64_t delta = 0;
};

// Whether a field's value no longer fits its width.
inline bool outgrows(const OffsetField& f) {
    return f.width < 8 && f.value >> (8 * f.width) != 0;
}

// The fields that change, with their new values; nothing when one points in between, or would
// outgrow its width unless mayOutgrow (then it is handed back with its value moved).
std::optional<std::vector<OffsetField>> moveOffsets(const std::vector<OffsetField>& fields,
                                                    const OffsetShift& shift,
                                                    bool mayOutgrow = false);

// Filler the container already has behind the region (an MP4 `free` atom), which an absorb may
// take the growth from. `kind` is the container's own name for it, handed back to fillGap.
struct Padding {
    std::uint64_t start = 0;
    std::uint64_t size = 0;
    std::string kind;
};

// The region [start, oldEnd) of the file rebuilt longer, and everything that knows where the bytes
// behind it lie.
struct Growth {
    std::uint64_t start = 0;
    std::uint64_t oldEnd = 0;
    Bytes oldBytes; // the region as read when planning
    // Where bytes are added, absolute and ascending; bytes before the first one never move.
    std::vector<std::uint64_t> sites;
    std::uint64_t bytes = 0; // what the region grows by, all sites together
    // The new region, given the same-length writes (old positions) that fall inside it. Offsets
    // inside it arrive among those writes; a field that must widen would need the tail's move too.
    std::function<std::vector<std::uint8_t>(const std::vector<Overwrite>& inside)> build;
    // Every stored offset of the file, inside the region or not, that a moved tail may change.
    std::vector<OffsetField> offsets;
    // Filler behind the region, in file order.
    std::vector<Padding> paddings;
    // The head of a filler of n bytes (n >= minGap), the rest of it left as it is; `kind` names the
    // padding it takes over, or is empty for a new gap.
    std::function<std::vector<std::uint8_t>(std::uint64_t n, const std::string& kind)> fillGap;
    std::uint64_t minGap = 0;
    // False when nothing may stand between the region and what follows (it runs to the end).
    bool gapMayFollow = true;
    // The result's message when no route can keep every offset right.
    std::string noRoute;
    // Writes that follow from a route's others (a checksum over bytes some of them change), at
    // old positions; none when empty.
    std::function<std::vector<Overwrite>(const std::vector<Overwrite>& writes)> derive;
    // Same-length writes (old positions) that carry the moved offsets which outgrow their width,
    // written wider in room the container keeps beside them; given every moved offset with its
    // new value. Nothing when they cannot be carried, and the route is refused; without it, so is
    // every route that would need it. Other writes inside these give way to them.
    std::function<std::optional<std::vector<Overwrite>>(const std::vector<OffsetField>& moved)>
        widen;

    std::uint64_t firstSite() const { return sites.empty() ? start : sites.front(); }
};

// The container's head of a filler of n bytes at the end of the file, the rest of which the
// caller supplies.
using FillerHead = std::function<std::vector<std::uint8_t>(std::uint64_t n)>;

struct EditPlan {
    std::vector<Overwrite> overwrites; // same-length writes, at positions before the edit
    std::optional<Growth> growth;
    FillerHead markHead;                  // how the mark of an unfinished edit is dressed as filler
    TGOutcome outcome = TGOutcome::fixed; // reported when done
    std::string message;
};

} // namespace tg

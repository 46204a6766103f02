// The journal each route would write for one plan, or the finding that a route cannot carry it.
// Only reads the file.
#pragma once

#include "edit/edit.h"
#include "edit/journal.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace tg {

class RoutePlanner {
public:
    RoutePlanner(const EditTarget& target, const EditPlan& plan);

    // The overwrites alone (a plan without growth).
    Journal overwrite() const;
    // The growth taken from padding behind the region, without moving any byte an offset
    // points at, if there is such padding.
    Result<std::optional<Journal>> absorb() const;
    // Whole blocks inserted in front of the region's block, the rest of that block and the region
    // rewritten, and a gap filling what the growth leaves of the inserted blocks.
    Result<std::optional<Journal>> insertRange(const FileSystemInfo& fs) const;
    // The tail moved by exactly the growth.
    Result<std::optional<Journal>> shift() const;

    // The bytes from the first growth site to the end of the file.
    std::uint64_t tail() const;

private:
    Journal base(Route route) const;
    Result<std::optional<std::vector<Overwrite>>> fieldWrites(const OffsetShift& shift) const;
    std::vector<std::uint8_t> rebuilt(const std::vector<Overwrite>& writes, std::uint64_t afterAt,
                                      std::vector<std::uint8_t> after,
                                      std::vector<Overwrite>& outside) const;

    const EditTarget& target_;
    const EditPlan& plan_;
    std::uint64_t size_;
};

} // namespace tg

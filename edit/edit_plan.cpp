#include "edit/edit_plan.h"

namespace tg {

Overwrite fieldWrite(std::uint64_t absPos, int width, std::uint64_t value, Bytes current) {
    Overwrite w;
    w.at = absPos;
    w.bytes.resize(std::size_t(width));
    writeUnsigned(w.bytes, 0, unsigned(width), value);
    w.old.assign(current.begin(), current.end());
    return w;
}

std::optional<std::vector<OffsetField>> moveOffsets(const std::vector<OffsetField>& fields,
                                                    const OffsetShift& shift, bool mayOutgrow) {
    std::vector<OffsetField> moved;
    for (const auto& f : fields) {
        if (f.highest < shift.from) continue;
        if (f.lowest < shift.to) return std::nullopt;
        if (shift.delta == 0) continue;
        OffsetField m = f;
        if (__builtin_add_overflow(f.value, shift.delta, &m.value) || (outgrows(m) && !mayOutgrow))
            return std::nullopt;
        moved.push_back(m);
    }
    return moved;
}

} // namespace tg

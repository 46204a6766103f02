#include "base/bytes.h"

namespace tg {

std::string fourCC(Bytes d, std::uint64_t off) {
    if (!fits(d.size(), off, 4)) return {};
    std::string t;
    for (unsigned i = 0; i < 4; ++i) {
        if (d[off + i] > 0x7F) return {};
        t.push_back(char(d[off + i]));
    }
    return t;
}

} // namespace tg

// Feeds arbitrary bytes to the HEIF box layer and the tagging planner. A box that parses must
// write back to bytes that parse to the same; a file the planner tags must read back and be judged
// Display P3 when planned again.
#include "image/heif_plan.h"

#include "fuzz_common.h"

#include <vector>

namespace {

namespace h = tg::heif;
using tgfuzz::require;

void plan(h::Bytes file) {
    const auto source = h::readSource(tgfuzz::readerOf(file), file.size());
    if (!source) return;
    const h::Plan p = h::planTagging(*source);
    if (p.check != tg::ImageCheck::taggable) return;
    require(p.head.size() <= p.size);
    h::Buffer out = p.head;
    out.resize(p.size);
    std::uint64_t next = p.head.size();
    for (const auto& r : p.runs) {
        require(r.to == next && r.from <= file.size() && r.length <= file.size() - r.from);
        std::memcpy(out.data() + r.to, file.data() + r.from, r.length);
        next += r.length;
    }
    require(next == p.size);
    const auto again = h::readSource(tgfuzz::readerOf(out), out.size());
    require(again.has_value());
    require(h::planTagging(*again).check == tg::ImageCheck::alreadyP3);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const h::Bytes bytes(data, size);
    if (const auto out = h::rewriteBox(bytes)) {
        const auto again = h::rewriteBox(*out);
        require(again && *again == *out);
    }
    plan(bytes);
    return 0;
}

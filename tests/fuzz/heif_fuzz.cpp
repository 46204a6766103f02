// Feeds arbitrary bytes to the HEIF box layer and the tagging planner. A box that parses must
// write back to bytes that parse to the same; a file the planner tags must read back, keep every
// coded byte where the new iloc says, and be judged Display P3 when planned again.
#include "image/heif_plan.h"

#include "fuzz_common.h"

#include <vector>

namespace {

namespace h = tg::heif;
using tgfuzz::require;

// The coded bytes of every item read through construction methods 0 and 1.
std::vector<h::Buffer> itemData(const h::Source& s, h::Bytes file) {
    std::vector<h::Buffer> out;
    const auto* iloc = s.meta.find<h::Iloc>();
    const auto* idat = s.meta.find<h::Idat>();
    if (!iloc) return out;
    for (const auto& it : iloc->items) {
        if (it.method == 2 || it.dataReference != 0) continue;
        const h::Bytes space = it.method == 0 ? file : idat ? h::Bytes(idat->data) : h::Bytes();
        h::Buffer data;
        for (const auto& x : it.extents) {
            const std::uint64_t from = it.baseOffset + x.offset; // bounded by the planner
            const std::uint64_t length = x.length ? x.length : space.size() - from;
            data.insert(data.end(), space.begin() + std::ptrdiff_t(from),
                        space.begin() + std::ptrdiff_t(from + length));
        }
        out.push_back(std::move(data));
    }
    return out;
}

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
    // Items keep their bytes, metadata items aside.
    const auto before = itemData(*source, file);
    const auto after = itemData(*again, out);
    for (const auto& d : after)
        require(std::find(before.begin(), before.end(), d) != before.end());
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

// Feeds arbitrary bytes to the HEIF box layer and the tagging planner. A box that parses must
// write back to bytes that parse to the same; a file the planner tags must read back, keep every
// coded byte where the new iloc says, and be judged Display P3 when planned again.
#include "image/heif_plan.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

namespace h = tg::heif;

void check(bool ok) {
    if (!ok) __builtin_trap();
}

std::optional<h::Source> readMemory(h::Bytes file) {
    return h::readSource(
        [file](std::uint64_t at, std::span<std::uint8_t> out) -> tg::Result<std::size_t> {
            if (at > file.size()) return std::size_t(0);
            const std::size_t n = std::min<std::size_t>(out.size(), file.size() - at);
            // An empty span may have no storage at all, which memcpy must not be given.
            if (n != 0) std::memcpy(out.data(), file.data() + at, n);
            return n;
        },
        file.size());
}

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
    const auto source = readMemory(file);
    if (!source) return;
    const h::Plan p = h::planTagging(*source);
    if (p.check != tg::ImageCheck::taggable) return;
    check(p.head.size() <= p.size);
    h::Buffer out = p.head;
    out.resize(p.size);
    std::uint64_t next = p.head.size();
    for (const auto& r : p.runs) {
        check(r.to == next && r.from <= file.size() && r.length <= file.size() - r.from);
        std::memcpy(out.data() + r.to, file.data() + r.from, r.length);
        next += r.length;
    }
    check(next == p.size);
    const auto again = readMemory(out);
    check(again.has_value());
    check(h::planTagging(*again).check == tg::ImageCheck::alreadyP3);
    // Items keep their bytes, metadata items aside.
    const auto before = itemData(*source, file);
    const auto after = itemData(*again, out);
    for (const auto& d : after)
        check(std::find(before.begin(), before.end(), d) != before.end());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const h::Bytes bytes(data, size);
    if (const auto out = h::rewriteBox(bytes)) {
        const auto again = h::rewriteBox(*out);
        check(again && *again == *out);
    }
    plan(bytes);
    return 0;
}

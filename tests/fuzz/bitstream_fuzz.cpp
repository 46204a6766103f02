// Feeds arbitrary bytes to the bitstream readers: as an SPS of either codec or an AV1 sequence
// header, as an avcC / hvcC / av1C body, as the head of a sample, as a ProRes frame, as a sample
// table, and as a whole movie for the bitstream layer. The first byte picks the codec, the
// length-prefix size and the table variants. Every reading stays inside the bytes given, and every
// patch changes the named bytes only and can be undone; the layer's writes, once made, leave
// nothing more to write.
#include "codec/av1.h"
#include "codec/prores.h"
#include "codec/sps.h"
#include "movie/bitstream_layer.h"
#include "movie/sample_table.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

using namespace tg;

namespace {

using View = std::span<const std::uint8_t>;

void require(bool ok) {
    if (!ok) std::abort();
}

bool same(const std::vector<std::uint8_t>& a, View b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

void checkSps(VideoCodec codec, View nal) {
    const auto c = readSpsColour(codec, nal);
    std::vector<std::uint8_t> copy(nal.begin(), nal.end());
    const SpsPatch outcome = patchSpsPrimaries(codec, copy);
    if (outcome != SpsPatch::patched) require(same(copy, nal));
    if (!c) return require(outcome == SpsPatch::parseFailed);
    if (!c->described) return require(outcome == SpsPatch::noColourDescription);
    require(c->primariesBytes == 1 || c->primariesBytes == 2);
    require(c->primariesAt[0] <= c->primariesAt[1] && c->primariesAt[1] < nal.size());
    if (outcome != SpsPatch::patched) return;
    for (std::size_t i = 0; i < nal.size(); ++i)
        require(copy[i] == nal[i] || i == c->primariesAt[0] || i == c->primariesAt[1]);
    const auto again = readSpsColour(codec, copy);
    require(again && again->primaries == 12 && again->transfer == c->transfer &&
            again->matrix == c->matrix && again->primariesBit == c->primariesBit);
    require(patchSpsPrimaries(codec, copy, c->primaries) == SpsPatch::patched && same(copy, nal));
}

void checkAv1(View obu) {
    const auto c = readAv1Colour(obu);
    std::vector<std::uint8_t> copy(obu.begin(), obu.end());
    const Av1Patch outcome = patchAv1Primaries(copy);
    if (outcome != Av1Patch::patched) require(same(copy, obu));
    if (!c) return require(outcome == Av1Patch::parseFailed);
    if (outcome != Av1Patch::patched) return;
    for (std::size_t i = 0; i < obu.size(); ++i)
        require(copy[i] == obu[i] || i == c->primariesAt[0] || i == c->primariesAt[1]);
    const auto again = readAv1Colour(copy);
    require(again && again->primaries == 12 && again->transfer == c->transfer &&
            again->primariesBit == c->primariesBit);
    require(patchAv1Primaries(copy, c->primaries) == Av1Patch::patched && same(copy, obu));
}

void checkAv1Units(View d, std::uint64_t sampleSize) {
    if (const auto headers = av1CSequenceHeaders(d))
        for (const auto& u : *headers) {
            require(u.offset <= d.size() && u.size <= d.size() - u.offset);
            checkAv1(d.subspan(u.offset, u.size));
        }
    const auto found = leadingSequenceHeaders(d, sampleSize);
    for (const auto& u : found.sps)
        require(u.offset <= d.size() && u.size <= d.size() - u.offset);
    if (found.status == LeadingSps::Status::needBytes)
        require(found.need > d.size() && found.need <= sampleSize);
}

void checkRecord(VideoCodec codec, View d) {
    const auto rec = codec == VideoCodec::h264 ? avcCSps(d) : hvcCSps(d);
    if (!rec) return;
    require(rec->lengthSize == 1 || rec->lengthSize == 2 || rec->lengthSize == 4);
    for (const auto& u : rec->sps) {
        require(u.offset <= d.size() && u.size <= d.size() - u.offset);
        checkSps(codec, d.subspan(u.offset, u.size));
    }
}

void checkSample(VideoCodec codec, View head, std::uint64_t sampleSize, unsigned lengthSize) {
    const auto found = leadingSps(codec, head, sampleSize, lengthSize);
    for (const auto& u : found.sps)
        require(u.offset <= head.size() && u.size <= head.size() - u.offset);
    if (found.status == LeadingSps::Status::needBytes)
        require(found.need > head.size() && found.need <= sampleSize);
}

void checkProRes(View d) {
    std::vector<std::uint8_t> copy(d.begin(), d.end());
    const auto h = readProResHeader(d, d.size());
    const auto outcome = patchProResPrimaries(copy, d.size());
    require(h.has_value() == (outcome != ProResPatch::failsChecks));
    for (std::size_t i = 0; i < d.size(); ++i)
        require(copy[i] == d[i] || (outcome == ProResPatch::patched && i == h->primariesAt));
}

// The three table bodies, their lengths taken from the first four bytes.
void checkTables(View d, bool compact, bool large) {
    if (d.size() < 4) return;
    const std::size_t a = std::min<std::size_t>((d[0] << 8) | d[1], d.size() - 4);
    const std::size_t b = std::min<std::size_t>((d[2] << 8) | d[3], d.size() - 4 - a);
    const View rest = d.subspan(4);
    const auto t = sampleLocations(
        {rest.first(a), compact, rest.subspan(a, b), rest.subspan(a + b), large}, 100000);
    if (!t.ok()) require(t.samples.empty());
    for (const auto& s : t.samples)
        require(s.offset <= UINT64_MAX - s.size && s.descriptor != 0);
}

// The bytes as a movie: its writes lie inside it, over the bytes they name, apart from one
// another; a second reading after them finds the same HDR verdict and nothing left to write.
void checkLayer(View d) {
    const auto top = childAtoms(d, 0, d.size());
    const auto moov =
        std::find_if(top.begin(), top.end(), [](const Atom& a) { return a.type == "moov"; });
    if (moov == top.end()) return;
    std::vector<std::uint8_t> file(d.begin(), d.end());
    auto layerOf = [&](const std::vector<std::uint8_t>& f) {
        const View m = View(f).subspan(moov->offset, moov->size);
        const MoovLayout layout = readMoovLayout(m, moov->headerSize, moov->offset);
        const ReadAt read = [&f](std::uint64_t at,
                                 std::span<std::uint8_t> out) -> Result<std::size_t> {
            if (at > f.size()) return std::size_t(0);
            const std::size_t n = std::min<std::uint64_t>(out.size(), f.size() - at);
            std::copy_n(f.begin() + std::ptrdiff_t(at), n, out.begin());
            return n;
        };
        auto layer = readBitstreamLayer(layout, m, moov->offset, f.size(), read);
        require(layer.ok());
        return std::move(*layer);
    };
    const BitstreamLayer first = layerOf(file);
    std::uint64_t reach = 0;
    for (const auto& w : first.overwrites()) {
        require(w.at >= reach && w.bytes.size() == w.old.size() && !w.bytes.empty());
        require(w.at <= file.size() && w.bytes.size() <= file.size() - w.at);
        require(std::equal(w.old.begin(), w.old.end(), file.begin() + std::ptrdiff_t(w.at)));
        std::copy(w.bytes.begin(), w.bytes.end(), file.begin() + std::ptrdiff_t(w.at));
        reach = w.at + w.bytes.size();
    }
    const BitstreamLayer second = layerOf(file);
    require(second.hdr() == first.hdr());
    require(second.overwrites().empty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t flags = data[0];
    const View d(data + 1, size - 1);
    const VideoCodec codec = flags & 1 ? VideoCodec::hevc : VideoCodec::h264;
    constexpr unsigned LENGTH_SIZES[] = {1, 2, 4, 3};
    checkSps(codec, d);
    checkRecord(codec, d);
    checkSample(codec, d, d.size() + (flags & 0x20 ? 64 : 0), LENGTH_SIZES[(flags >> 1) & 3]);
    checkAv1(d);
    checkAv1Units(d, d.size() + (flags & 0x20 ? 64 : 0));
    checkProRes(d);
    checkTables(d, flags & 0x08, flags & 0x10);
    checkLayer(d);
    return 0;
}

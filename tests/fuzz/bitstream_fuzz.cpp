// Feeds arbitrary bytes to the bitstream readers: as an SPS of either codec or an AV1 sequence
// header, as an avcC / hvcC / av1C body, as the head of a sample, and as a ProRes frame (the
// movie target drives the layer over whole files). The first byte picks the codec and the
// length-prefix size. Every reading stays inside the bytes given, every patch changes the named
// bytes only and can be undone.
#include "codec/av1.h"
#include "codec/prores.h"
#include "codec/sps.h"

#include "fuzz_common.h"

#include <vector>

using namespace tg;
using tgfuzz::require;

namespace {

using View = std::span<const std::uint8_t>;

bool same(const std::vector<std::uint8_t>& a, View b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

// A unit that reads patches, or says why not and is left alone. A patch changes the bytes that
// hold the primaries and nothing else, reads back as 12 with the rest as it was, and patches back.
template <class Read, class Patch> void checkUnit(View unit, Read read, Patch patch) {
    using Outcome = decltype(patch(std::span<std::uint8_t>(), 0));
    const auto c = read(unit);
    std::vector<std::uint8_t> copy(unit.begin(), unit.end());
    const Outcome outcome = patch(copy, 12);
    require(c.has_value() == (outcome != Outcome::parseFailed));
    require(!c || c->described || outcome == Outcome::noColourDescription);
    if (outcome != Outcome::patched) return require(same(copy, unit));
    require(c->described && (c->primariesBytes == 1 || c->primariesBytes == 2) &&
            c->primariesAt[0] <= c->primariesAt[1] && c->primariesAt[1] < unit.size());
    for (std::size_t i = 0; i < unit.size(); ++i)
        require(copy[i] == unit[i] || i == c->primariesAt[0] || i == c->primariesAt[1]);
    const auto again = read(copy);
    require(again && again->primaries == 12 && again->transfer == c->transfer &&
            again->matrix == c->matrix && again->primariesBit == c->primariesBit);
    require(patch(copy, c->primaries) == Outcome::patched && same(copy, unit));
}

void checkSps(VideoCodec codec, View nal) {
    checkUnit(
        nal, [&](View u) { return readSpsColour(codec, u); },
        [&](std::span<std::uint8_t> u, std::uint8_t v) { return patchSpsPrimaries(codec, u, v); });
    // A unit that states no colour is given one only when it reads, and then reads as stating it,
    // longer, with the same header; a second description is refused.
    const auto c = readSpsColour(codec, nal);
    const auto given = describeSpsColour(codec, nal, 12, 1, 1);
    require(!given || (c && !c->described));
    if (!given) return;
    const auto again = readSpsColour(codec, *given);
    require(again && again->described && again->primaries == 12 && given->size() > nal.size());
    require(std::equal(nal.begin(), nal.begin() + std::ptrdiff_t(nalHeaderBytes(codec)),
                       given->begin()));
    require(!describeSpsColour(codec, *given, 12, 1, 1));
}

void checkAv1(View obu) {
    checkUnit(obu, readAv1Colour,
              [](std::span<std::uint8_t> u, std::uint8_t v) { return patchAv1Primaries(u, v); });
}

// Every unit listed lies inside the bytes; more is asked for only when there is more.
void checkListed(const std::vector<NalRange>& units, View d, const LeadingSps* found = nullptr,
                 std::uint64_t sampleSize = 0) {
    for (const auto& u : units)
        require(u.offset <= d.size() && u.size <= d.size() - u.offset);
    if (found && found->status == LeadingSps::Status::needBytes)
        require(found->need > d.size() && found->need <= sampleSize);
}

void checkRecords(VideoCodec codec, View d, std::uint64_t sampleSize, unsigned lengthSize) {
    if (const auto rec = codec == VideoCodec::h264 ? avcCSps(d) : hvcCSps(d)) {
        require(rec->lengthSize == 1 || rec->lengthSize == 2 || rec->lengthSize == 4);
        checkListed(rec->sps, d);
        for (const auto& u : rec->sps)
            checkSps(codec, d.subspan(u.offset, u.size));
    }
    if (const auto headers = av1CSequenceHeaders(d)) {
        checkListed(*headers, d);
        for (const auto& u : *headers)
            checkAv1(d.subspan(u.offset, u.size));
    }
    const auto sps = leadingSps(codec, d, sampleSize, lengthSize);
    checkListed(sps.sps, d, &sps, sampleSize);
    const auto obus = leadingSequenceHeaders(d, sampleSize);
    checkListed(obus.sps, d, &obus, sampleSize);
}

void checkProRes(View d) {
    std::vector<std::uint8_t> copy(d.begin(), d.end());
    const auto h = readProResHeader(d, d.size());
    const auto outcome = patchProResPrimaries(copy, d.size());
    require(h.has_value() == (outcome != ProResPatch::failsChecks));
    for (std::size_t i = 0; i < d.size(); ++i)
        require(copy[i] == d[i] || (outcome == ProResPatch::patched && i == h->primariesAt));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t flags = data[0];
    const View d(data + 1, size - 1);
    const VideoCodec codec = flags & 1 ? VideoCodec::hevc : VideoCodec::h264;
    constexpr unsigned LENGTH_SIZES[] = {1, 2, 4, 3};
    checkSps(codec, d);
    checkAv1(d);
    checkRecords(codec, d, d.size() + (flags & 0x20 ? 64 : 0), LENGTH_SIZES[(flags >> 1) & 3]);
    checkProRes(d);
    return 0;
}

#include "movie/colour_decision.h"

#include "codec/colour_codes.h"
#include "codec/sps.h"

#include <algorithm>

namespace tg {

namespace {

bool isHdr(const ColourAtom& c) {
    return c.hasCodes && hdrCodes(c.prim, c.trc);
}

// The parameter sets of the entries' records that state no colour, rebuilt to state the
// container's after the edit: primaries 12 and, for transfer and matrix, 1 and 1 as the inserted
// atom says, or an existing atom's codes (2 staying 2).
void describeSilent(const MoovLayout& layout, const BitstreamLayer& bitstream, ColourDecision& d) {
    for (std::size_t i = 0; i < bitstream.entries.size() && i < layout.entries.size(); ++i) {
        const EntryBitstream& b = bitstream.entries[i];
        if (b.fullRange) d.fullRange.push_back(i);
        if (b.silentLeft > 0) d.bitstreamSilent = true;
        if (b.silentInRecord.empty()) continue;
        std::uint8_t transfer = 1, matrix = 1;
        for (const auto& c : layout.entries[i].colours)
            if (c.hasCodes) {
                transfer = std::uint8_t(c.trc);
                matrix = std::uint8_t(c.matrix);
                break;
            }
        const VideoCodec codec =
            b.kind == BitstreamKind::h264 ? VideoCodec::h264 : VideoCodec::hevc;
        for (const SilentSps& sps : b.silentInRecord) {
            auto nal = describeSpsColour(codec, sps.nal, PRIMARIES_DISPLAY_P3, transfer, matrix);
            if (nal)
                d.rewrites.push_back({i, sps.at, sps.nal.size(), std::move(*nal)});
            else
                d.bitstreamSilent = true;
        }
    }
}

} // namespace

ColourDecision decideColour(const MoovLayout& layout, Bytes moov, std::uint64_t moovStart,
                            const BitstreamLayer* bitstream) {
    ColourDecision d;
    if (bitstream && bitstream->hdr()) {
        d.verdict = Verdict::hdr;
        return d;
    }
    if (layout.entries.empty()) return d;
    bool onlyCodes = true; // every entry carries nclc/nclx codes
    for (std::size_t i = 0; i < layout.entries.size(); ++i) {
        const VideoEntry& e = layout.entries[i];
        if (!e.tagged()) {
            d.untagged.push_back(i);
            continue;
        }
        if (std::none_of(e.colours.begin(), e.colours.end(),
                         [](const ColourAtom& c) { return c.hasCodes; }))
            onlyCodes = false;
        for (const auto& c : e.colours) {
            if (isHdr(c)) {
                d.verdict = Verdict::hdr;
                d.patches.clear();
                d.untagged.clear();
                return d;
            }
            if (!c.hasCodes || c.prim == PRIMARIES_DISPLAY_P3) continue;
            Overwrite w = fieldWrite(moovStart + c.primOffset, 2, PRIMARIES_DISPLAY_P3,
                                     moov.subspan(c.primOffset, 2));
            d.patches.push_back(std::move(w));
        }
    }
    if (!d.patches.empty())
        d.verdict = Verdict::patch;
    else if (!d.untagged.empty())
        d.verdict = Verdict::insert;
    else
        d.verdict = onlyCodes ? Verdict::alreadyP3 : Verdict::alreadyTagged;
    // An entry tagged by a profile or another kind of atom keeps its word, in the bitstream too.
    d.containerP3 = d.verdict != Verdict::alreadyTagged;
    if (!bitstream || d.verdict == Verdict::alreadyTagged) return d;

    const auto writes = bitstream->overwrites();
    d.patches.insert(d.patches.end(), writes.begin(), writes.end());
    d.bitstreamLeft = bitstream->anyLeft();
    d.bitstreamSays = bitstream->leftPrimaries();
    d.oldVpcC = bitstream->anyLeft(LeftAlone::oldVpcC);
    describeSilent(layout, *bitstream, d);
    d.bitstreamP3 =
        (bitstream->states() || !d.rewrites.empty()) && !d.bitstreamLeft && !d.bitstreamSilent;
    if (d.verdict == Verdict::alreadyP3) {
        if (!writes.empty() || !d.rewrites.empty())
            d.verdict = Verdict::patch;
        else if (d.bitstreamLeft && bitstream->states())
            d.verdict = Verdict::bitstreamOnly;
    }
    return d;
}

} // namespace tg

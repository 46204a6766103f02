// The bitstream colour readers, with FFmpeg's own parser (the trace_headers filter) as the
// oracle: SPSs and AV1 sequence headers written bit by bit here, through every branch, at every
// bit alignment and behind emulation-prevention bytes. Real encoders' streams are tagged end to
// end, with FFmpeg's decoders as the oracle, in movie/bitstream_layer_test.cpp.
#include "base/bytes.h"
#include "codec/av1.h"
#include "codec/escape.h"
#include "codec/prores.h"
#include "codec/sps.h"

#include "fixtures/box_bytes.h"
#include "fixtures/media.h"

#include <gtest/gtest.h>

#include <set>

#include <bit>
#include <sstream>

using namespace tg;
using namespace tgtest;
using enum VideoCodec;

namespace {

// --- SPSs and sequence headers written by hand ---

// A bit script: fields separated by spaces, each "0" or "1" (one bit), "n:v" (v in n bits),
// "ue:v" or "se:v"; a field may carry a "#tag" for retag(). rbsp_trailing_bits follow.
Blob rbspOf(const std::string& script) {
    Blob out;
    std::uint64_t n = 0;
    auto put = [&](std::uint64_t v, unsigned bits) {
        for (unsigned i = bits; i-- > 0; ++n) {
            if (n % 8 == 0) out.push_back(0);
            out.back() |= std::uint8_t(((v >> i) & 1) << (7 - n % 8));
        }
    };
    std::istringstream in(script);
    for (std::string field; in >> field;) {
        field = field.substr(0, field.find('#'));
        const auto colon = field.find(':'); // a bare 0 or 1 is one bit
        const std::string kind = colon == std::string::npos ? "1" : field.substr(0, colon);
        const std::int64_t v = std::stoll(field.substr(colon == std::string::npos ? 0 : colon + 1));
        if (kind == "ue" || kind == "se") {
            const std::uint64_t k = kind == "ue" ? v : v > 0 ? 2 * v - 1 : -2 * v;
            const unsigned len = unsigned(std::bit_width(k + 1));
            put(0, len - 1);
            put(k + 1, len);
        } else {
            put(std::uint64_t(v), unsigned(std::stoul(kind)));
        }
    }
    put(1, 1);
    put(0, (8 - n % 8) % 8);
    return out;
}
// The header, then the RBSP with an emulation-prevention byte wherever one is needed.
Blob escaped(Blob unit, const Blob& rbsp) {
    unsigned zeros = 0;
    for (auto b : rbsp) {
        if (zeros >= 2 && b <= 3) {
            unit.push_back(3);
            zeros = 0;
        }
        unit.push_back(b);
        zeros = b == 0 ? zeros + 1 : 0;
    }
    return unit;
}
Blob spsNal(VideoCodec codec, const std::string& script) {
    return escaped(codec == h264 ? Blob{0x67} : Blob{0x42, 0x01}, rbspOf(script));
}
// The script with the field tagged #tag replaced.
std::string retag(std::string s, const std::string& tag, const std::string& field) {
    const auto at = s.find("#" + tag + " ");
    const auto start = s.rfind(' ', at) + 1;
    return s.replace(start, at - start, field);
}
std::string times(int n, const std::string& s) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

// H.264 High 4:4:4: chroma format 3 with all twelve scaling lists (one stopping early at a zero
// scale), POC type 1 with its cycle, field coding, cropping, and every VUI part: Extended_SAR,
// overscan, signal type, chroma location, timing, NAL and VCL HRD, bitstream restriction.
const std::string H264_FULL =
    "8:244 8:0 8:30 ue:0#id ue:3#chroma 0 ue:2#depth ue:2 0 1 " +
    times(3, "1 " + times(16, "se:1 ")) + "1 se:-8#zero " + times(2, "0 ") + "1 " +
    times(32, "se:1 se:-1 ") + "0 1 " + times(64, "se:2 ") + times(2, "0 ") + "1 se:-8 " +
    "ue:0#frames ue:1#poc 1 se:-3 se:5 ue:3#cycle se:1 se:-2 se:7 ue:4#refs 0 ue:3#width ue:2 "
    "0 0 1 1 ue:1 ue:0 ue:0 ue:1 "
    "1 1 8:255 16:7 16:5 1 1 1 3:5 0 1 8:5 8:6 8:5 1 ue:1#loc ue:1 1 32:1 32:50#scale_t 1 "
    "1 ue:1#cpb 4:1 4:2 ue:100 ue:200 0 ue:300 ue:400 1 5:23 5:23 5:23 5:24 "
    "1 ue:0 4:1 4:2 ue:7 ue:9 1 5:23 5:23 5:23 5:24 0 0 "
    "1 1 ue:2 ue:1 ue:16#restrict ue:16 ue:0 ue:2";
// Main profile with the colour fields after a 0:0 sample aspect ratio, whose zero bits put
// emulation-prevention bytes just in front of them; pad (0-7) shifts the fields by as many bits.
std::string h264ZeroSar(int pad, int prim = 1, int trc = 1) {
    return "8:77 8:0 8:30 ue:0 ue:0 ue:0 ue:0 ue:1 0 ue:3 ue:2 " +
           std::string(pad % 2 ? "0 0 " : "1 ") + "1 1 " + times(pad / 2, "ue:1 ") +
           times(4 - pad / 2, "ue:0 ") +
           "1 1 8:255 16:0 16:0 0 1 3:5 0 1 8:" + std::to_string(prim) +
           " 8:" + std::to_string(trc) + " 8:1 0 0 0 0 0 0";
}

// profile_tier_level with every sub-layer's profile and level present.
std::string ptl(int subLayers) {
    const std::string profile = "2:0 0 5:1 32:1610612736 4:8 43:0 0 8:60 ";
    return profile + times(subLayers, "1 1 ") + times(subLayers ? 8 - subLayers : 0, "2:0 ") +
           times(subLayers, profile);
}
// FFmpeg reads an HEVC SPS only after its VPS, and (in 5.1) only when their sub-layer counts
// match.
Blob hevcVps(int subLayers) {
    return escaped({0x40, 0x01},
                   rbspOf("4:0 1 1 6:0 3:" + std::to_string(subLayers) + (subLayers ? " 0" : " 1") +
                          " 16:65535 " + ptl(subLayers) + "1 " +
                          times(subLayers + 1, "ue:4 ue:0 ue:0 ") + "6:0 ue:0 0 0"));
}
// scaling_list_data: lists alternately predicted from an earlier one and coded with their DC.
std::string hevcScalingLists() {
    std::string s;
    for (int size = 0; size < 4; ++size)
        for (int matrix = 0; matrix < 6; matrix += size == 3 ? 3 : 1)
            s += matrix % 2 ? "0 ue:" + std::to_string(size == 3 ? 1 : matrix) + " "
                            : "1 " + std::string(size > 1 ? "se:9#dc " : "") +
                                  times(size == 0 ? 16 : 64, "se:1 ");
    return s;
}
// HEVC with three sub-layers, a conformance window, scaling lists, PCM, short-term sets of which
// two are predicted (the second from the first predicted one), long-term references, a VUI with
// every part and sub-layer HRD, and the range and screen-content extensions.
const std::string HEVC_FULL =
    "4:0 3:2#sub 0 " + ptl(2) +
    "ue:0#id ue:1#chroma ue:64#width ue:48 1 ue:0 ue:2 ue:0 ue:2 ue:0#depth ue:0 ue:4#lsb 1 " +
    times(2, "ue:4 ue:2 ue:0 ") +
    "ue:4#dpb ue:2#reorder ue:0 ue:0#mincb ue:1 ue:0 ue:2 ue:1 ue:1 1 1 " + hevcScalingLists() +
    "1 1 1 4:7#pcm 4:7 ue:0 ue:1 1 ue:3#sets ue:2#neg ue:1 ue:0 1 ue:1 1 ue:0#poc 1 " +
    "1 0 ue:0 1 0 1 0 0 1 1 1 ue:1 1 1 1 1 ue:2#lt 8:5 1 8:9 0 1 1 1 "
    "1 8:255 16:4 16:3 1 0 1 3:5 1 1 8:9 8:14 8:9 1 ue:2 ue:2 0 0 0 1 ue:1 ue:1 ue:0 ue:0 "
    "1 32:1 32:25 1 ue:0 1 1 1 1 8:0 5:0 1 5:0 4:0 4:0 4:0 5:23 5:23 5:23 "
    "1 ue:0 ue:1#cpb " +
    times(4, "ue:10 ue:20 ue:30 ue:40 1 ") + "0 0 1 " + times(2, "ue:1 ue:2 ue:3 ue:4 0 ") +
    "0 1 ue:3 ue:0 " + times(2, "ue:5 ue:6 ue:7 ue:8 1 ") +
    "1 0 1 0 ue:0 ue:2 ue:1 ue:15 ue:15 "
    "1 1 0 0#3d 1 4:0 1 0 1 0 1 0 1 0 1 1 1 ue:4 ue:4 1 ue:2 " +
    times(9, "8:77 ") + "2:1 0";
// One sub-layer, no VUI; then one whose colour follows a 0:0 sample aspect ratio (pad as for
// H.264: long_term_ref_pics_present_flag adds a bit, window offsets two each).
const std::string HEVC_BARE = "4:0 3:0 1 " + ptl(0) +
                              "ue:0 ue:1 ue:64 ue:48 0 ue:0 ue:0 ue:4 0 ue:4 ue:2 ue:0 "
                              "ue:0 ue:1 ue:0 ue:2 ue:1 ue:1 0 1 1 0 ue:0 0 1 1 0 0";
std::string hevcZeroSar(int pad) {
    return "4:0 3:0 1 " + ptl(0) + "ue:0 ue:1 ue:64 ue:48 1 " + times(pad / 2, "ue:1 ") +
           times(4 - pad / 2, "ue:0 ") +
           "ue:0 ue:0 ue:4 0 ue:4 ue:2 ue:0 "
           "ue:0 ue:1 ue:0 ue:2 ue:1 ue:1 0 1 1 0 ue:0 " +
           (pad % 2 ? "1 ue:0 " : "0 ") +
           "1 1 1 1 8:255 16:0 16:0 0 1 3:5 0 1 8:1 8:1 8:1 0 0 0 0 0 0 0 0";
}

// AV1 sequence headers: profile 2 at 12 bits 4:2:2 with timing, a decoder model, two operating
// points (one above level 7, so with a tier), frame ids, order hints and forced screen-content
// tools; and a reduced still-picture header in monochrome.
const std::string AV1_FULL =
    "3:2#profile 0 0 1 32:1 32:25 1 ue:24 1 5:9 32:1 5:4 5:4 1 5:1 12:0 5:8 1 1 10:5 10:7 1 1 4:3 "
    "12:257 5:3 0 0 4:6 4:6 7:63 7:47 1 4:5 3:2 0 1 1 1 1 1 1 1 1 1 0 1 0 1 3:6 0 1 1 "
    "1 1 0 1 8:9 8:16 8:9 0 1 0 1 0";
const std::string AV1_STILL = "3:0 1 1 5:4 4:5 4:5 6:63 6:47 0 1 1 0 0 0 0 1 1 8:1 8:1 8:1 1 0";
// A sequence header OBU around a payload shorter than 128 bytes.
Blob av1Obu(const std::string& script) {
    const Blob payload = rbspOf(script);
    return cat({{0x0A, std::uint8_t(payload.size())}, payload});
}

// --- FFmpeg as the oracle ---

// FFmpeg's reading of the SPSs or sequence headers in a raw stream: (field, bit position from the
// start of the unit, value), in order.
using Trace = std::vector<std::tuple<std::string, std::uint64_t, std::int64_t>>;
Trace trace(const fs::path& file, const std::string& demuxer) {
    auto r = run("ffmpeg -nostdin -hide_banner -f " + demuxer + " -i " + sh(file) +
                 " -c copy -bsf:v trace_headers -f null - 2>&1");
    Trace out;
    bool inSection = false;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
        const auto at = line.find("] ");
        if (line.rfind("[trace_headers", 0) != 0 || at == std::string::npos) continue;
        std::istringstream f(line.substr(at + 2));
        std::uint64_t pos;
        std::string name, bits, eq;
        std::int64_t value;
        if (f >> pos >> name >> bits >> eq >> value) {
            if (inSection) out.emplace_back(name, pos, value);
        } else {
            inSection = line.find("] Sequence ") != std::string::npos;
        }
    }
    return out;
}
std::optional<std::int64_t> valueOf(const Trace& t, const std::string& name) {
    for (const auto& [n, pos, v] : t)
        if (n == name) return v;
    return std::nullopt;
}

// --- written by hand: every branch, every bit alignment, every limit ---

enum class Coding { h264, hevc, av1 };
std::optional<SpsColour> readColour(Coding k, std::span<const std::uint8_t> u) {
    return k == Coding::av1 ? readAv1Colour(u) : readSpsColour(k == Coding::h264 ? h264 : hevc, u);
}
bool patchColour(Coding k, std::span<std::uint8_t> u, std::uint8_t v) {
    if (k == Coding::av1) return patchAv1Primaries(u, v) == Av1Patch::patched;
    return patchSpsPrimaries(k == Coding::h264 ? h264 : hevc, u, v) == SpsPatch::patched;
}

struct Script {
    std::string name;
    Coding coding;
    std::string script;
};
void PrintTo(const Script& s, std::ostream* os) {
    *os << s.name;
}
class Synthetic : public testing::TestWithParam<Script> {};

} // namespace

// FFmpeg finds every field where it did before the patch (and back, which gives the bytes back),
// with only the primaries changed.
TEST_P(Synthetic, FfmpegReadsTheColourWhereWeDoAndOnlyThePrimariesChange) {
    const Coding coding = GetParam().coding;
    const bool av1 = coding == Coding::av1;
    const Blob unit = av1 ? av1Obu(GetParam().script)
                          : spsNal(coding == Coding::h264 ? h264 : hevc, GetParam().script);
    const auto c = readColour(coding, unit);
    ASSERT_TRUE(c.has_value());
    if (!av1 && c->described) { // the bytes that hold the primaries
        const auto rbsp = unescapeNal(unit, unit[0] == 0x67 ? 1 : 2);
        EXPECT_EQ(c->primariesAt,
                  (std::array{rbsp->at[c->primariesBit / 8], rbsp->at[(c->primariesBit + 7) / 8]}));
    }
    // Every cut is refused.
    for (std::size_t len = 0; len < unit.size(); ++len)
        ASSERT_FALSE(readColour(coding, std::span(unit).first(len))) << "cut at " << len;

    Blob patched = unit;
    EXPECT_EQ(patchColour(coding, patched, 12), c->described);
    Blob back = patched;
    EXPECT_TRUE(!c->described || patchColour(coding, back, c->primaries));
    EXPECT_EQ(back, unit);
    // A raw stream: an OBU after a temporal delimiter, an HEVC SPS only after its VPS.
    const std::string demuxer = av1 ? "obu" : coding == Coding::h264 ? "h264" : "hevc";
    auto stream = [&](const Blob& u) {
        if (av1) return cat({{0x12, 0}, u});
        return coding == Coding::hevc ? cat({be(1), hevcVps((u[2] >> 1) & 7), be(1), u})
                                      : cat({be(1), u});
    };
    TempDir dir;
    writeBytes(dir / "s", stream(unit));
    writeBytes(dir / "p", stream(patched));
    Trace t = trace(dir / "s", demuxer);
    ASSERT_FALSE(t.empty());
    const auto prim = std::find_if(t.begin(), t.end(), [](const auto& f) {
        return std::get<0>(f).ends_with("_primaries"); // colour_ or color_
    });
    ASSERT_EQ(prim != t.end(), c->described);
    if (c->described) {
        // FFmpeg counts an SPS's bits from the start of the unit's header.
        EXPECT_EQ(std::get<1>(*prim), av1 ? 8 * c->primariesAt[0] + c->primariesBit % 8
                                          : 8 * (unit[0] == 0x67 ? 1 : 2) + c->primariesBit);
        EXPECT_EQ(std::tuple(std::get<2>(*prim), valueOf(t, "transfer_characteristics"),
                             valueOf(t, "matrix_coefficients")),
                  std::tuple(c->primaries, c->transfer, c->matrix));
        std::get<2>(*prim) = 12;
    }
    EXPECT_EQ(trace(dir / "p", demuxer), t);
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, Synthetic, testing::ValuesIn([] {
        std::vector<Script> all = {{"h264_every_branch", Coding::h264, H264_FULL},
                                   {"hevc_every_branch", Coding::hevc, HEVC_FULL},
                                   {"hevc_bare", Coding::hevc, HEVC_BARE},
                                   {"av1_every_branch", Coding::av1, AV1_FULL},
                                   {"av1_still_mono", Coding::av1, AV1_STILL}};
        // 0:0 aspect ratios escape bytes just in front of the colour fields, at every alignment.
        for (int pad = 0; pad < 8; ++pad) {
            const std::string n = std::to_string(pad);
            all.push_back({"h264_zero_sar_" + n, Coding::h264, h264ZeroSar(pad)});
            all.push_back({"hevc_zero_sar_" + n, Coding::hevc, hevcZeroSar(pad)});
        }
        return all;
    }()),
    [](const auto& info) { return info.param.name; });

// SPSs that state no colour (no VUI; a VUI without a video signal type; a signal type without a
// colour description), at every bit alignment of the escapes in front of them, given a colour
// description: FFmpeg reads the codes, and every other field as it was.
TEST(SilentSps, GivenAColourDescriptionEveryOtherFieldStaysAsItWas) {
    const auto withoutColour = [](Trace t) {
        std::erase_if(t, [](const auto& f) { return vuiColourField(std::get<0>(f)); });
        for (auto& f : t)
            std::get<1>(f) = 0; // positions after the new bits move
        return t;
    };
    for (const VideoCodec codec : {h264, hevc})
        for (int pad = 0; pad < 8; ++pad) {
            const std::string full = codec == h264 ? h264ZeroSar(pad) : hevcZeroSar(pad);
            const std::string head = full.substr(0, full.find("1 1 8:255"));
            const std::string rest = codec == h264 ? "0 0 0 0 0 0" : "0 0 0 0 0 0 0 0";
            const std::string vui = "1 1 8:255 16:0 16:0 0 ";
            for (const std::string& script :
                 {head + "0" + (codec == hevc ? " 0" : ""), head + vui + "0 " + rest,
                  head + vui + "1 3:5 1 0 " + rest}) {
                SCOPED_TRACE(std::string(codec == h264 ? "h264 " : "hevc ") + script);
                const Blob unit = spsNal(codec, script);
                ASSERT_FALSE(readSpsColour(codec, unit)->described);
                // Zero bytes behind the stop bit would be lost: such a unit is not rewritten.
                EXPECT_FALSE(describeSpsColour(codec, cat({unit, Blob(2, 0)}), 12, 1, 1));
                const auto given = describeSpsColour(codec, unit, 12, 1, 1);
                ASSERT_TRUE(given);
                EXPECT_FALSE(describeSpsColour(codec, *given, 12, 1, 1)); // once is enough
                TempDir dir;
                const auto stream = [&](const Blob& u) {
                    return codec == hevc ? cat({be(1), hevcVps(0), be(1), u}) : cat({be(1), u});
                };
                writeBytes(dir / "before", stream(unit));
                writeBytes(dir / "after", stream(*given));
                const std::string demuxer = codec == h264 ? "h264" : "hevc";
                const Trace before = trace(dir / "before", demuxer),
                            after = trace(dir / "after", demuxer);
                EXPECT_EQ(std::tuple(valueOf(after, "colour_primaries"),
                                     valueOf(after, "transfer_characteristics"),
                                     valueOf(after, "matrix_coefficients")),
                          std::tuple(12, 1, 1));
                EXPECT_EQ(withoutColour(after), withoutColour(before));
                // The range a stream stated stays; limited where it stated none.
                EXPECT_EQ(valueOf(after, "video_full_range_flag"),
                          valueOf(before, "video_full_range_flag").value_or(0));
            }
        }
    // Fewer escapes behind the new fields would leave this one no longer: it is not rewritten.
    const Blob escapesFallAway = {0x42, 0x01, 0x01, 0x01, 0x60, 0x00, 0x03, 0x00, 0x90, 0x00,
                                  0x03, 0x00, 0x03, 0x00, 0x1E, 0xA0, 0x20, 0x83, 0x16, 0x59,
                                  0x59, 0xAE, 0xF6, 0xFF, 0x00, 0x00, 0x03, 0xCB, 0x00, 0x00,
                                  0x03, 0x0C, 0x00, 0x00, 0x03, 0xFF, 0x00, 0x00, 0x03, 0x03};
    ASSERT_FALSE(readSpsColour(hevc, escapesFallAway)->described);
    EXPECT_FALSE(describeSpsColour(hevc, escapesFallAway, 12, 1, 1));
}

TEST(SyntheticSps, EveryValuePastTheStandardsLimitFailsTheParseAndLeavesTheUnitAlone) {
    // Per codec: the tagged field, the limit itself ("-" where it would change something else)
    // and one past it.
    const std::pair<VideoCodec, std::string> bounds[] = {
        {h264, "id ue:31 ue:32  chroma - ue:4  depth ue:6 ue:7  zero - se:-129  frames ue:12 ue:13 "
               "poc - ue:3  cycle - ue:256  refs ue:16 ue:17  width ue:1055 ue:1056  loc ue:5 ue:6 "
               "scale_t 32:1 32:0  cpb - ue:32  restrict ue:16 ue:17"},
        {hevc,
         "sub - 3:7  id ue:15 ue:16  chroma - ue:4  width - ue:0  depth - ue:9  lsb - ue:13 "
         "dpb ue:15 ue:16  reorder ue:4 ue:5  mincb - ue:4  pcm - 4:8  sets - ue:65 "
         "neg - ue:16  poc ue:32767 ue:32768  lt - ue:33  dc se:247 se:248  cpb - ue:32  3d - 1"},
    };
    for (const auto& [codec, rows] : bounds) {
        const std::string& base = codec == h264 ? H264_FULL : HEVC_FULL;
        std::istringstream in(rows);
        for (std::string tag, good, bad; in >> tag >> good >> bad;) {
            SCOPED_TRACE(tag);
            EXPECT_TRUE(good == "-" || readSpsColour(codec, spsNal(codec, retag(base, tag, good))));
            Blob nal = spsNal(codec, retag(base, tag, bad));
            const Blob before = nal;
            EXPECT_FALSE(readSpsColour(codec, nal));
            EXPECT_EQ(patchSpsPrimaries(codec, nal), SpsPatch::parseFailed);
            EXPECT_EQ(nal, before);
        }
    }
    // Units that are not a base-layer SPS.
    const Blob fine = spsNal(hevc, HEVC_BARE);
    for (auto header :
         {Blob{0x68}, Blob{0xE7}, Blob{0x42, 0x09}, Blob{0x42, 0x00}, Blob{0x44, 0x01}})
        EXPECT_FALSE(readSpsColour(header.size() == 1 ? h264 : hevc,
                                   cat({header, Blob(fine.begin() + 2, fine.end())})));
}

TEST(SyntheticSps, ReservedTransferIsLeftAloneWhereTheEscapingHangsOnThePrimaries) {
    // Primaries 0 and transfer 0 on a byte boundary (pad 0) escape the matrix byte after them: any
    // other primaries would leave that escape standing where none is needed.
    Blob nal = spsNal(h264, h264ZeroSar(0, 0, 0));
    const Blob before = nal;
    const auto c = readSpsColour(h264, nal);
    const auto rbsp = unescapeNal(nal, 1);
    ASSERT_TRUE(c && rbsp);
    EXPECT_EQ(c->primariesBit % 8, 0u);
    EXPECT_EQ(rbsp->escapes.back(), c->primariesAt[0] + 2);
    EXPECT_EQ(patchSpsPrimaries(h264, nal), SpsPatch::reservedTransfer);
    EXPECT_EQ(writeRbspBits(nal, 1, *rbsp, c->primariesBit, 8, 12), RbspWrite::wouldChangeEscaping);
    EXPECT_EQ(nal, before);
}

TEST(EscapeLayer, UnescapesAndWritesOnlyWhereTheEscapesStayAsTheyAre) {
    const auto read = unescapeNal(Blob{0x67, 0, 0, 3, 0, 0, 3, 0}, 1);
    ASSERT_TRUE(read && unescapeNal(Blob{0x67, 5, 0x80, 0, 0, 0}, 1)); // trailing zero bytes
    EXPECT_EQ(std::tuple(read->bytes, read->escapes),
              std::tuple(Blob{0, 0, 0, 0, 0}, std::vector<std::size_t>{3, 6}));
    EXPECT_FALSE(unescapeNal(Blob{0x67, 0, 0, 1, 5}, 1)); // a start code inside
    EXPECT_FALSE(unescapeNal(Blob{0x67, 0, 0, 0, 1}, 1));
    struct Write {
        Blob nal;
        std::uint64_t bit;
        std::uint32_t value;
        RbspWrite outcome;
        Blob after;
    };
    using enum RbspWrite;
    const Write writes[] = {
        {{0x67, 0x10, 0x20, 0x30}, 8, 0x77, written, {0x67, 0x10, 0x77, 0x30}},
        {{0x67, 0x0F, 0xF0}, 4, 0xAA, written, {0x67, 0x0A, 0xA0}},              // unaligned
        {{0x67, 0, 0, 3, 2, 0x80}, 22, 0xC1, written, {0x67, 0, 0, 3, 3, 0x04}}, // still needed
        {{0x67, 0, 0, 3, 1, 0x80}, 16, 0x05, wouldChangeEscaping, {}},           // freed
        {{0x67, 0, 0, 3, 2, 0x80}, 12, 0x01, wouldChangeEscaping, {}},
        {{0x67, 0, 0x10, 1, 0x80}, 8, 0x00, wouldChangeEscaping, {}}, // 0x000001
        {{0x67, 0, 5, 0, 0x80}, 8, 0x00, wouldChangeEscaping, {}},    // 0x000000
        {{0x67, 0, 5, 3, 0x80}, 8, 0x00, wouldChangeEscaping, {}},    // a 3 read as escape
        {{0x67, 0x10, 0x20}, 12, 0xFF, outOfRange, {}},
    };
    for (auto w : writes) {
        const Blob before = w.nal;
        const auto rbsp = unescapeNal(w.nal, 1);
        ASSERT_TRUE(rbsp.has_value());
        EXPECT_EQ(writeRbspBits(w.nal, 1, *rbsp, w.bit, 8, w.value), w.outcome);
        EXPECT_EQ(w.nal, w.outcome == written ? w.after : before);
    }
}

TEST(ProResHeader, FramesThatFailTheChecksAreLeftAlone) {
    // Size 40, tag, header size, version, encoder, 64x48, flags, primaries 1, transfer 13,
    // matrix 1.
    auto frame = [](std::uint16_t headerSize, std::uint16_t version, const char* tag = "icpf") {
        const Blob fields = {'L', 'a', 'v', 'c', 0, 64, 0, 48, 0x80, 0, 1, 13, 1};
        return cat({be(40), text(tag), be(headerSize, 2), be(version, 2), fields, Blob(15, 0)});
    };
    Blob cut = frame(20, 0);
    cut.resize(27);
    const std::tuple<Blob, std::uint64_t, bool> cases[] = {
        {frame(20, 0), 40, true},          {frame(32, 1), 40, true},
        {frame(33, 0), 40, false}, // the header runs past the sample
        {frame(19, 0), 40, false},         {frame(20, 2), 40, false},
        {frame(20, 0, "icpg"), 40, false}, {cut, 27, false},
        {frame(20, 0), 39, false}, // more bytes than the sample holds
    };
    for (auto [bytes, size, ok] : cases) {
        Blob after = bytes;
        if (ok) after[22] = 12; // the primaries byte alone
        const auto h = readProResHeader(bytes, size);
        ASSERT_EQ(h.has_value(), ok);
        if (h) {
            EXPECT_EQ(std::tuple(h->primaries, h->transfer, h->matrix, h->width, h->height),
                      std::tuple(1, 13, 1, 64, 48));
        }
        EXPECT_EQ(patchProResPrimaries(bytes, size),
                  ok ? ProResPatch::patched : ProResPatch::failsChecks);
        EXPECT_EQ(bytes, after);
    }
}

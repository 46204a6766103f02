// The bitstream colour readers: SPSs of real libx264 / libx265 streams and ProRes frames of
// prores_ks, made at test time, with FFmpeg's own SPS parser (the trace_headers filter) and its
// decoders as the oracles, and SPSs written bit by bit here for the syntax real encoders never
// emit. Samples of movies are found where ffprobe lists the packets.
#include "base/bytes.h"
#include "codec/av1.h"
#include "codec/escape.h"
#include "codec/prores.h"
#include "codec/sps.h"

#include "fixtures/media.h"

#include <gtest/gtest.h>

#include <bit>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

using namespace tg;
using namespace tgtest;
using enum VideoCodec;

namespace {

using Blob = std::vector<std::uint8_t>;
Blob cat(std::initializer_list<Blob> parts) {
    Blob out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
Blob be(std::uint64_t v, int width = 4) { // v as `width` big-endian bytes
    Blob b;
    for (int s = 8 * (width - 1); s >= 0; s -= 8)
        b.push_back(std::uint8_t(v >> s));
    return b;
}
const std::string SRC = "-f lavfi -i testsrc2=s=64x48:r=10:d=1 ";
const std::string BT709 = "-color_primaries bt709 -color_trc bt709 -colorspace bt709 ";

// --- SPSs written by hand ---

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
        const auto colon = field.find(':');
        if (colon == std::string::npos) {
            put(field == "1", 1);
            continue;
        }
        const std::string kind = field.substr(0, colon);
        const std::int64_t v = std::stoll(field.substr(colon + 1));
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
    while (n % 8)
        put(0, 1);
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
    "1 1 0 0#3d 1 4:0#more 1 0 1 0 1 0 1 0 1 1 1 ue:4 ue:4 1 ue:2 " +
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
// tools; a reduced still-picture header in monochrome; and BT.709 / sRGB / identity, which
// leaves color_range out of the syntax.
const std::string AV1_FULL =
    "3:2#profile 0 0 1 32:1 32:25 1 ue:24 1 5:9 32:1 5:4 5:4 1 5:1 12:0 5:8 1 1 10:5 10:7 1 1 4:3 "
    "12:257 5:3 0 0 4:6 4:6 7:63 7:47 1 4:5 3:2 0 1 1 1 1 1 1 1 1 1 0 1 0 1 3:6 0 1 1 "
    "1 1 0 1 8:9 8:16 8:9 0 1 0 1 0";
const std::string AV1_STILL = "3:0 1 1 5:4 4:5 4:5 6:63 6:47 0 1 1 0 0 0 0 1 1 8:1 8:1 8:1 1 0";
const std::string AV1_SRGB = "3:1 0 0 0 0 5:0 12:0 5:8 1 4:5 4:5 6:63 6:47 0 0 1 1 1 1 1 1 0 1 "
                             "0 0 0 0 1 0 1 8:1 8:13 8:0 0 0";
// A sequence header OBU around a payload shorter than 128 bytes.
Blob av1Obu(const std::string& script) {
    const Blob payload = rbspOf(script);
    return cat({{0x0A, std::uint8_t(payload.size())}, payload});
}

// --- real streams and FFmpeg as the oracle ---

// The NAL units of an Annex B stream, trailing zero bytes left out.
std::vector<NalRange> annexB(const Blob& d) {
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i + 3 <= d.size(); ++i)
        if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
            starts.push_back(i + 3);
            i += 2;
        }
    std::vector<NalRange> units;
    for (std::size_t k = 0; k < starts.size(); ++k) {
        std::size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : d.size();
        while (end > starts[k] && d[end - 1] == 0)
            --end;
        units.push_back({starts[k], end - starts[k]});
    }
    return units;
}
bool isSpsUnit(VideoCodec codec, const Blob& d, NalRange u) {
    return u.size > 0 && (codec == h264 ? (d[u.offset] & 0x1F) == 7 : d[u.offset] >> 1 == 33);
}
std::vector<NalRange> spsUnits(VideoCodec codec, const Blob& d) {
    std::vector<NalRange> out;
    for (auto u : annexB(d))
        if (isSpsUnit(codec, d, u)) out.push_back(u);
    return out;
}
std::span<std::uint8_t> unitOf(Blob& d, NalRange u) {
    return std::span(d).subspan(u.offset, u.size);
}
std::span<const std::uint8_t> unitOf(const Blob& d, NalRange u) {
    return std::span(d).subspan(u.offset, u.size);
}
Blob annexBOf(const std::vector<Blob>& units) {
    Blob out;
    for (const auto& u : units) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), u.begin(), u.end());
    }
    return out;
}

// FFmpeg's own reading of each parameter set in a stream: (field, bit position from the start
// of the unit, value), in order. The filter reads what the demuxer takes as extradata first,
// then every packet.
using Trace = std::vector<std::tuple<std::string, std::uint64_t, std::int64_t>>;
struct Traced {
    std::vector<Trace> extradata, packets;
    // A raw stream's own units: a stream of parameter sets alone has no packets.
    const std::vector<Trace>& inStream() const { return packets.empty() ? extradata : packets; }
};
Traced trace(const fs::path& file, const std::string& input, const std::string& section) {
    auto r = run("ffmpeg -nostdin -hide_banner " + input + " -i " + sh(file) +
                 " -c copy -bsf:v trace_headers -f null - 2>&1");
    Traced t;
    std::vector<Trace>* into = &t.extradata;
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
            if (inSection) into->back().emplace_back(name, pos, value);
            continue;
        }
        if (line.find("] Packet:") != std::string::npos) into = &t.packets;
        if ((inSection = line.find("] " + section) != std::string::npos)) into->emplace_back();
    }
    return t;
}
std::string demuxer(VideoCodec codec) {
    return codec == h264 ? "-f h264" : "-f hevc";
}
const std::string SPS = "Sequence Parameter Set", AV1_HEADER = "Sequence Header";
std::optional<std::pair<std::uint64_t, std::int64_t>> field(const Trace& t,
                                                            const std::string& name) {
    for (const auto& [n, pos, v] : t)
        if (n == name) return std::pair(pos, v);
    return std::nullopt;
}

// color_primaries of every decoded frame.
std::set<std::string> primariesSeen(const fs::path& file) {
    const auto frames = tgtest::framePrimaries(file);
    return {frames.begin(), frames.end()};
}

// A colour reader and patcher, and where FFmpeg's trace puts the primaries it found.
struct Syntax {
    std::function<std::optional<SpsColour>(std::span<const std::uint8_t>)> read;
    std::function<bool(std::span<std::uint8_t>, std::uint8_t)> patch; // true: patched
    std::function<std::uint64_t(const SpsColour&)> tracedAt;
    std::string primariesField;
};
Syntax spsSyntax(VideoCodec codec) {
    return {[=](auto u) { return readSpsColour(codec, u); },
            [=](auto u, auto v) { return patchSpsPrimaries(codec, u, v) == SpsPatch::patched; },
            // FFmpeg counts RBSP bits from the start of the unit's header.
            [=](const SpsColour& c) { return 8 * nalHeaderBytes(codec) + c.primariesBit; },
            "colour_primaries"};
}
const Syntax AV1 = {readAv1Colour,
                    [](auto u, auto v) { return patchAv1Primaries(u, v) == Av1Patch::patched; },
                    [](const SpsColour& c) { return 8 * c.primariesAt[0] + c.primariesBit % 8; },
                    "color_primaries"};

// Reads each unit and checks the reading against FFmpeg's trace of it, then patches it to 12 in
// place and checks that patching the old value back gives its bytes back.
void checkAndPatch(const Syntax& s, Blob& bytes, const std::vector<NalRange>& units,
                   const std::vector<Trace>& traces, bool described) {
    ASSERT_EQ(traces.size(), units.size());
    ASSERT_FALSE(units.empty());
    for (std::size_t i = 0; i < units.size(); ++i) {
        const auto c = s.read(unitOf(bytes, units[i]));
        ASSERT_TRUE(c.has_value()) << "unit " << i;
        EXPECT_EQ(c->described, described);
        const auto prim = field(traces[i], s.primariesField);
        ASSERT_EQ(prim.has_value(), c->described);
        if (prim) {
            EXPECT_EQ(prim->first, s.tracedAt(*c));
            EXPECT_EQ(std::tuple(prim->second, field(traces[i], "transfer_characteristics")->second,
                                 field(traces[i], "matrix_coefficients")->second),
                      std::tuple(c->primaries, c->transfer, c->matrix));
        }
        const Blob before(unitOf(bytes, units[i]).begin(), unitOf(bytes, units[i]).end());
        EXPECT_EQ(s.patch(unitOf(bytes, units[i]), 12), described);
        Blob back(unitOf(bytes, units[i]).begin(), unitOf(bytes, units[i]).end());
        if (described) {
            EXPECT_TRUE(s.patch(back, c->primaries));
        }
        EXPECT_EQ(back, before);
    }
}
// FFmpeg reads every field of the patched units where it read it before; only the primaries
// changed.
void expectOnlyPrimariesChanged(std::vector<Trace> before, const std::vector<Trace>& after,
                                const Syntax& s) {
    for (auto& t : before)
        for (auto& [name, pos, v] : t)
            if (name == s.primariesField) v = 12;
    EXPECT_EQ(after, before);
}

// A raw H.264 / HEVC stream: every SPS checked against FFmpeg, patched, and read again.
void checkAgainstFfmpeg(VideoCodec codec, const Blob& original, const fs::path& dir,
                        bool described) {
    const fs::path before = dir / "before", after = dir / "after";
    writeBytes(before, original);
    const auto traces = trace(before, demuxer(codec), SPS).inStream();
    Blob patched = original;
    checkAndPatch(spsSyntax(codec), patched, spsUnits(codec, original), traces, described);
    writeBytes(after, patched);
    expectOnlyPrimariesChanged(traces, trace(after, demuxer(codec), SPS).inStream(),
                               spsSyntax(codec));
}

struct Clip {
    std::string name;
    VideoCodec codec;
    std::string args;      // encoder arguments; @ stands for the scratch folder
    int prim, trc, matrix; // -1: no colour description
};
void PrintTo(const Clip& c, std::ostream* os) {
    *os << c.name;
}
const std::string PAL = "-color_primaries bt470bg -color_trc smpte170m -colorspace bt470bg ";
std::string x265(const std::string& params) {
    return "-c:v libx265 -x265-params log-level=error:" + params + " ";
}

// An x265 scaling-list file in which some lists repeat earlier ones (x265 codes those as
// predicted) and the rest differ, with DC values for the 16x16 and 32x32 lists.
void writeScalingLists(const fs::path& file) {
    std::ofstream out(file);
    for (int size : {4, 8, 16, 32})
        for (std::string kind : {"INTRA", "INTER"})
            for (std::string plane : {"LUMA", "CHROMAU", "CHROMAV"}) {
                const std::string name =
                    kind + std::to_string(size) + "X" + std::to_string(size) + "_" + plane;
                const int base = 16 + (plane == "CHROMAV") * 3 + (kind == "INTER");
                out << name << " =\n";
                for (int k = 0; k < (size == 4 ? 16 : 64); ++k)
                    out << base + k % 5 << ",";
                out << "\n";
                if (size >= 16) out << name << "_DC =\n" << base + 1 << "\n";
            }
}

// --- movies ---

// The body of a movie's avcC / hvcC / av1C atom and its offset; moov comes first in the file.
std::pair<std::size_t, std::span<const std::uint8_t>> configRecord(const Blob& d) {
    for (std::size_t i = 4; i + 4 <= d.size(); ++i) {
        const std::string type(d.begin() + std::ptrdiff_t(i), d.begin() + std::ptrdiff_t(i + 4));
        if (type == "avcC" || type == "hvcC" || type == "av1C")
            return {i + 4, std::span(d).subspan(i + 4, u32(d, i - 4) - 8)};
    }
    return {};
}

class RealSps : public testing::TestWithParam<Clip> {};

} // namespace

TEST_P(RealSps, ReadsWhereFfmpegReadsAndPatchesWithoutChangingAPicture) {
    const Clip& clip = GetParam();
    TempDir dir;
    writeScalingLists(dir / "lists.txt");
    std::string args = clip.args;
    for (auto at = args.find('@'); at != std::string::npos; at = args.find('@'))
        args.replace(at, 1, dir.path().string());
    const fs::path raw = dir / "clip";
    ffmpeg(SRC + args + "-f " + (clip.codec == h264 ? "h264 " : "hevc ") + sh(raw));
    const Blob original = readBytes(raw);
    const NalRange first = spsUnits(clip.codec, original).at(0);

    // The encoder's colour, as ffprobe reports it for the stream.
    auto c = readSpsColour(clip.codec, unitOf(original, first));
    ASSERT_TRUE(c.has_value());
    if (clip.prim >= 0) {
        EXPECT_EQ(std::tuple(c->primaries, c->transfer, c->matrix),
                  std::tuple(clip.prim, clip.trc, clip.matrix));
    }
    auto stream = probe(raw)["streams"][0];
    EXPECT_EQ(h273(stream.value("color_primaries", "unknown")), clip.prim < 0 ? 2 : clip.prim);
    EXPECT_EQ(h273(stream.value("color_transfer", "unknown")), clip.trc < 0 ? 2 : clip.trc);

    for (std::size_t len = 0; len < first.size; ++len)
        EXPECT_FALSE(readSpsColour(clip.codec, unitOf(original, {first.offset, len})))
            << "cut at " << len;

    checkAgainstFfmpeg(clip.codec, original, dir.path(), clip.prim >= 0);
    const fs::path after = dir / "after";
    EXPECT_EQ(primariesSeen(after),
              clip.prim >= 0 ? std::set<std::string>{"smpte432"} : primariesSeen(raw));
    EXPECT_EQ(frameHashes(after), frameHashes(raw));
}

INSTANTIATE_TEST_SUITE_P(
    Encoders, RealSps,
    testing::Values(
        Clip{"x264_high_bt709", h264, "-c:v libx264 -pix_fmt yuv420p " + BT709, 1, 1, 1},
        Clip{"x264_pal_extended_sar_full_range_overscan", h264,
             "-c:v libx264 -pix_fmt yuv420p -vf setsar=7/5 -color_range pc "
             "-x264-params overscan=show " +
                 PAL,
             5, 6, 5},
        Clip{"x264_smpte170m_interlaced_hrd", h264,
             "-c:v libx264 -pix_fmt yuv420p -maxrate 300k -bufsize 600k "
             "-x264-params interlaced=1:nal-hrd=vbr -color_primaries smpte170m "
             "-color_trc smpte170m -colorspace smpte170m ",
             6, 6, 6},
        Clip{"x264_unspecified_primaries_stated", h264,
             "-c:v libx264 -x264-params colorprim=undef:transfer=bt709:colormatrix=bt709 ", 2, 1,
             1},
        Clip{"x264_444_poc_type_2_cropped", h264,
             "-c:v libx264 -pix_fmt yuv444p -bf 0 -s 66x46 " + BT709, 1, 1, 1},
        Clip{"x264_422_10bit", h264, "-c:v libx264 -pix_fmt yuv422p10le " + PAL, 5, 6, 5},
        Clip{"x264_no_colour", h264, "-c:v libx264 ", -1, -1, -1},
        Clip{"x265_sub_layers_cropped", hevc, x265("temporal-layers=1") + "-s 66x46 " + BT709, 1, 1,
             1},
        Clip{"x265_444_10bit_hrd", hevc,
             x265("hrd=1:vbv-maxrate=300:vbv-bufsize=600") + "-pix_fmt yuv444p10le " + PAL, 5, 6,
             5},
        Clip{"x265_scaling_lists_unspecified_primaries", hevc,
             x265("scaling-list=@/lists.txt:colorprim=unknown:transfer=bt709:colormatrix=bt709"), 2,
             1, 1},
        Clip{"x265_no_colour", hevc, x265("repeat-headers=1"), -1, -1, -1}),
    [](const auto& info) { return info.param.name; });

namespace {

// Syntax real encoders do not write, and 0:0 aspect ratios that escape bytes just in front of
// the colour fields at every bit alignment.
struct Script {
    std::string name;
    VideoCodec codec;
    std::string script;
};
void PrintTo(const Script& s, std::ostream* os) {
    *os << s.name;
}
std::vector<Script> syntheticSps() {
    std::vector<Script> all = {
        {"h264_every_branch", h264, H264_FULL},
        {"hevc_every_branch", hevc, HEVC_FULL},
        {"hevc_bare", hevc, HEVC_BARE},
        {"hevc_extension_data", hevc, retag(HEVC_FULL, "more", "4:8") + " 1 0 1 1 0 1"}};
    for (int pad = 0; pad < 8; ++pad) {
        all.push_back({"h264_zero_sar_" + std::to_string(pad), h264, h264ZeroSar(pad)});
        all.push_back({"hevc_zero_sar_" + std::to_string(pad), hevc, hevcZeroSar(pad)});
    }
    return all;
}
class SyntheticStreams : public testing::TestWithParam<Script> {};

} // namespace

TEST_P(SyntheticStreams, FfmpegReadsTheColourWhereWeDoAndOnlyThePrimariesChange) {
    const auto& [name, codec, script] = GetParam();
    TempDir dir;
    const Blob nal = spsNal(codec, script);
    auto c = readSpsColour(codec, nal);
    ASSERT_TRUE(c.has_value());
    const Blob stream =
        codec == hevc ? annexBOf({hevcVps((nal[2] >> 1) & 7), nal}) : annexBOf({nal});
    checkAgainstFfmpeg(codec, stream, dir.path(), c->described);
    // Every cut is refused, but for extension data, whose end the syntax does not give.
    for (std::size_t len = 0; len < nal.size() && name != "hevc_extension_data"; ++len)
        ASSERT_FALSE(readSpsColour(codec, std::span(nal).first(len))) << "cut at " << len;
}

INSTANTIATE_TEST_SUITE_P(Scripts, SyntheticStreams, testing::ValuesIn(syntheticSps()),
                         [](const auto& info) { return info.param.name; });

TEST(SyntheticSps, ThePrimariesSitWhereTheMapSaysAtEveryBitAlignment) {
    std::set<std::uint64_t> alignments;
    for (const auto& [name, codec, script] : syntheticSps()) {
        const Blob nal = spsNal(codec, script);
        const auto c = readSpsColour(codec, nal);
        const auto rbsp = unescapeNal(nal, nalHeaderBytes(codec));
        ASSERT_TRUE(c && rbsp) << name;
        if (!c->described) continue;
        alignments.insert(c->primariesBit % 8 + (codec == hevc) * 8);
        EXPECT_EQ(c->primariesAt[0], rbsp->at[c->primariesBit / 8]) << name;
        EXPECT_EQ(c->primariesAt[1], rbsp->at[(c->primariesBit + 7) / 8]) << name;
    }
    EXPECT_EQ(alignments.size(), 16u); // all eight alignments in both codecs
}

TEST(SyntheticSps, EveryValuePastTheStandardsLimitFailsTheParseAndLeavesTheUnitAlone) {
    struct Bound {
        VideoCodec codec;
        std::string tag, good, bad; // good: the limit itself, where it changes nothing else
    };
    const std::vector<Bound> bounds = {
        {h264, "id", "ue:31", "ue:32"},
        {h264, "chroma", "", "ue:4"},
        {h264, "depth", "ue:6", "ue:7"},
        {h264, "zero", "", "se:-129"},
        {h264, "frames", "ue:12", "ue:13"},
        {h264, "poc", "", "ue:3"},
        {h264, "cycle", "", "ue:256"},
        {h264, "refs", "ue:16", "ue:17"},
        {h264, "width", "ue:1055", "ue:1056"},
        {h264, "loc", "ue:5", "ue:6"},
        {h264, "scale_t", "32:1", "32:0"},
        {h264, "cpb", "", "ue:32"},
        {h264, "restrict", "ue:16", "ue:17"},
        {hevc, "sub", "", "3:7"},
        {hevc, "id", "ue:15", "ue:16"},
        {hevc, "chroma", "", "ue:4"},
        {hevc, "width", "", "ue:0"},
        {hevc, "depth", "", "ue:9"},
        {hevc, "lsb", "", "ue:13"},
        {hevc, "dpb", "ue:15", "ue:16"},
        {hevc, "reorder", "ue:4", "ue:5"},
        {hevc, "mincb", "", "ue:4"},
        {hevc, "pcm", "", "4:8"},
        {hevc, "sets", "", "ue:65"},
        {hevc, "neg", "", "ue:16"},
        {hevc, "poc", "ue:32767", "ue:32768"},
        {hevc, "lt", "", "ue:33"},
        {hevc, "dc", "se:247", "se:248"},
        {hevc, "cpb", "", "ue:32"},
        {hevc, "3d", "", "1"},
    };
    for (const auto& b : bounds) {
        const std::string& base = b.codec == h264 ? H264_FULL : HEVC_FULL;
        if (!b.good.empty()) {
            EXPECT_TRUE(readSpsColour(b.codec, spsNal(b.codec, retag(base, b.tag, b.good))))
                << b.tag;
        }
        Blob bad = spsNal(b.codec, retag(base, b.tag, b.bad));
        const Blob before = bad;
        EXPECT_FALSE(readSpsColour(b.codec, bad)) << b.tag;
        EXPECT_EQ(patchSpsPrimaries(b.codec, bad), SpsPatch::parseFailed) << b.tag;
        EXPECT_EQ(bad, before);
    }
    // Units that are not a base-layer SPS.
    Blob fine = spsNal(hevc, HEVC_BARE);
    for (auto header :
         {Blob{0x68}, Blob{0xE7}, Blob{0x42, 0x09}, Blob{0x42, 0x00}, Blob{0x44, 0x01}})
        EXPECT_FALSE(readSpsColour(header.size() == 1 ? h264 : hevc,
                                   cat({header, Blob(fine.begin() + 2, fine.end())})));
}

TEST(SyntheticSps, ReservedTransferIsLeftAloneWhereTheEscapingHangsOnThePrimaries) {
    // Primaries 0 and transfer 0 on a byte boundary escape the matrix byte after them: any other
    // primaries would leave that escape standing where none is needed.
    bool aligned = false;
    for (int pad = 0; pad < 8; ++pad) {
        Blob nal = spsNal(h264, h264ZeroSar(pad, 0, 0));
        auto c = readSpsColour(h264, nal);
        ASSERT_TRUE(c.has_value());
        if (c->primariesBit % 8 != 0) continue;
        aligned = true;
        const Blob before = nal;
        const auto rbsp = unescapeNal(nal, 1);
        EXPECT_EQ(rbsp->escapes.back(), c->primariesAt[0] + 2);
        EXPECT_EQ(patchSpsPrimaries(h264, nal), SpsPatch::reservedTransfer);
        EXPECT_EQ(writeRbspBits(nal, 1, *rbsp, c->primariesBit, 8, 12),
                  RbspWrite::wouldChangeEscaping);
        EXPECT_EQ(nal, before);
    }
    EXPECT_TRUE(aligned);
}

TEST(EscapeLayer, UnescapesAndWritesOnlyWhereTheEscapesStayAsTheyAre) {
    struct Unescape {
        Blob nal;
        std::optional<Blob> rbsp;
        std::vector<std::size_t> escapes;
    };
    const std::vector<Unescape> reads = {
        {{0x67, 0, 0, 3, 1, 5}, Blob{0, 0, 1, 5}, {3}},
        {{0x67, 0, 0, 3, 0, 0, 3, 0}, Blob{0, 0, 0, 0, 0}, {3, 6}},
        {{0x67, 0, 0, 3}, Blob{0, 0}, {3}},
        {{0x67, 5, 0x80, 0, 0, 0}, Blob{5, 0x80, 0, 0, 0}, {}}, // trailing zero bytes
        {{0x67, 0, 0, 1, 5}, std::nullopt, {}},                 // a start code inside
        {{0x67, 0, 0, 0, 1}, std::nullopt, {}},
        {{}, std::nullopt, {}},
    };
    for (const auto& r : reads) {
        auto got = unescapeNal(r.nal, 1);
        ASSERT_EQ(got.has_value(), r.rbsp.has_value());
        if (got) {
            EXPECT_EQ(std::tuple(got->bytes, got->escapes), std::tuple(*r.rbsp, r.escapes));
        }
    }
    struct Write {
        Blob nal;
        std::uint64_t bit;
        std::uint32_t value;
        RbspWrite outcome;
        Blob after;
    };
    using enum RbspWrite;
    const std::vector<Write> writes = {
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
        auto rbsp = unescapeNal(w.nal, 1);
        ASSERT_TRUE(rbsp.has_value());
        EXPECT_EQ(writeRbspBits(w.nal, 1, *rbsp, w.bit, 8, w.value), w.outcome);
        EXPECT_EQ(w.nal, w.outcome == written ? w.after : before);
    }
}

TEST(ParameterSets, ConfigurationRecordsAndLeadingUnitsAreReadInsideTheirBytes) {
    const Blob sps = spsNal(h264, H264_FULL), pps = {0x68, 0xCE, 0x38, 0x80};
    const Blob avcC =
        cat({{1, 100, 0, 30, 0xFF, 0xE1}, be(sps.size(), 2), sps, {1}, be(4, 2), pps});
    auto rec = avcCSps(avcC);
    ASSERT_TRUE(rec.has_value());
    EXPECT_EQ(rec->lengthSize, 4u);
    ASSERT_EQ(rec->sps.size(), 1u);
    EXPECT_EQ(std::tuple(rec->sps[0].offset, rec->sps[0].size), std::tuple(8u, sps.size()));
    const Blob hsps = spsNal(hevc, HEVC_BARE), vps = hevcVps(0);
    auto array = [](std::uint8_t type, const Blob& unit) { // one unit, or none
        return unit.empty() ? cat({{type}, be(0, 2)})
                            : cat({{type}, be(1, 2), be(unit.size(), 2), unit});
    };
    const Blob hvcC =
        cat({{1}, Blob(20, 0), {0x0F, 3}, array(0x20, vps), array(0xA1, hsps), array(0x22, {})});
    rec = hvcCSps(hvcC);
    ASSERT_TRUE(rec.has_value());
    ASSERT_EQ(rec->sps.size(), 1u);
    EXPECT_EQ(rec->sps[0].offset, 23 + 5 + vps.size() + 5);
    for (std::size_t len = 0; len < avcC.size(); ++len)
        EXPECT_FALSE(avcCSps(std::span(avcC).first(len))) << len;
    for (std::size_t len = 0; len < hvcC.size(); ++len)
        EXPECT_FALSE(hvcCSps(std::span(hvcC).first(len))) << len;
    Blob odd = avcC;
    odd[4] = 0xFE; // a 3-byte length prefix
    EXPECT_FALSE(avcCSps(odd));
    odd = hvcC;
    odd[0] = 2;
    EXPECT_FALSE(hvcCSps(odd));

    // A sample: AUD, SPS, PPS, an IDR slice, then an SPS that is not leading.
    const Blob slice = {0x65, 0x88, 0x80};
    const Blob sample = cat(
        {be(2), {0x09, 0xF0}, be(sps.size()), sps, be(4), pps, be(3), slice, be(sps.size()), sps});
    using enum LeadingSps::Status;
    auto in = leadingSps(h264, sample, sample.size(), 4);
    ASSERT_EQ(in.status, complete);
    ASSERT_EQ(in.sps.size(), 1u);
    EXPECT_EQ(std::tuple(in.sps[0].offset, in.sps[0].size), std::tuple(10u, sps.size()));
    // Fed from a few bytes on, the reader asks for what it needs and ends the same way.
    std::uint64_t have = 3, asks = 0;
    for (in = leadingSps(h264, std::span(sample).first(have), sample.size(), 4);
         in.status == needBytes; ++asks)
        in = leadingSps(h264, std::span(sample).first(have = in.need), sample.size(), 4);
    EXPECT_EQ(std::tuple(in.status, in.sps.size(), asks), std::tuple(complete, 1u, 5u));
    EXPECT_EQ(leadingSps(h264, sample, sample.size(), 3).status, malformed);
    EXPECT_EQ(leadingSps(h264, cat({be(2), {9, 0xF0, 0}}), 7, 4).status, malformed); // cut length
    EXPECT_EQ(leadingSps(h264, std::span(sample).first(9), 9, 4).status, malformed);
    EXPECT_EQ(leadingSps(h264, be(0), 4, 4).status, malformed); // shorter than its header
    EXPECT_EQ(leadingSps(hevc, cat({be(2, 2), {0x26, 0x01}}), 4, 2).status, complete); // IDR
}

namespace {
class ProRes : public testing::TestWithParam<int> {};
} // namespace

TEST_P(ProRes, ReadsEveryFrameHeaderAndPatchesWhatTheDecoderReports) {
    TempDir dir;
    const fs::path mov = dir / "p.mov", after = dir / "after.mov";
    ffmpeg(SRC + "-vf setparams=color_primaries=bt709:color_trc=bt709:colorspace=bt709 " +
           "-c:v prores_ks -profile:v " + std::to_string(GetParam()) + " -pix_fmt " +
           (GetParam() >= 4 ? "yuva444p10le " : "yuv422p10le ") + sh(mov));
    Blob file = readBytes(mov);
    const auto samples = packets(mov, 0);
    ASSERT_EQ(samples.size(), 10u);
    for (const auto& [offset, size] : samples) {
        auto head = std::span(file).subspan(offset, 28);
        auto h = readProResHeader(head, size);
        ASSERT_TRUE(h.has_value());
        EXPECT_EQ(std::tuple(h->primaries, h->transfer, h->matrix, h->width, h->height),
                  std::tuple(1, 1, 1, 64, 48));
        EXPECT_EQ(patchProResPrimaries(head, size), ProResPatch::patched);
        EXPECT_EQ(patchProResPrimaries(head, size), ProResPatch::alreadyThatValue);
        EXPECT_EQ(file[offset + h->primariesAt], 12);
    }
    writeBytes(after, file);
    EXPECT_EQ(primariesSeen(mov), std::set<std::string>{"bt709"});
    EXPECT_EQ(primariesSeen(after), std::set<std::string>{"smpte432"});
    EXPECT_EQ(frameHashes(after), frameHashes(mov));
}

INSTANTIATE_TEST_SUITE_P(Profiles, ProRes, testing::Values(0, 1, 2, 3, 4, 5));

TEST(ProResHeader, FramesThatFailTheChecksAreLeftAlone) {
    // Size 40, tag, header size, version, encoder, 64x48, flags, primaries 1, transfer 13,
    // matrix 1.
    auto frame = [](std::uint16_t headerSize, std::uint16_t version, const char* tag = "icpf") {
        const Blob fields = {'L', 'a', 'v', 'c', 0, 64, 0, 48, 0x80, 0, 1, 13, 1};
        return cat(
            {be(40), Blob(tag, tag + 4), be(headerSize, 2), be(version, 2), fields, Blob(15, 0)});
    };
    Blob cut = frame(20, 0);
    cut.resize(27);
    const std::vector<std::tuple<Blob, std::uint64_t, bool>> cases = {
        {frame(20, 0), 40, true},          {frame(32, 1), 40, true},
        {frame(33, 0), 40, false}, // the header runs past the sample
        {frame(19, 0), 40, false},         {frame(20, 2), 40, false},
        {frame(20, 0, "icpg"), 40, false}, {cut, 27, false},
        {frame(20, 0), 39, false}, // more bytes than the sample holds
    };
    for (auto [bytes, size, ok] : cases) {
        const Blob before = bytes;
        auto h = readProResHeader(bytes, size);
        EXPECT_EQ(h.has_value(), ok);
        if (h) {
            EXPECT_EQ(std::tuple(h->primaries, h->transfer, h->matrix), std::tuple(1, 13, 1));
        }
        EXPECT_EQ(patchProResPrimaries(bytes, size),
                  ok ? ProResPatch::patched : ProResPatch::failsChecks);
        if (!ok) {
            EXPECT_EQ(bytes, before);
        }
    }
}

TEST(Av1, SequenceHeadersAreReadWhereFfmpegReadsThem) {
    TempDir dir;
    for (const auto& script : {AV1_FULL, AV1_STILL}) {
        const Blob obu = av1Obu(script), stream = cat({{0x12, 0}, obu}); // after a delimiter
        writeBytes(dir / "s.obu", stream);
        const auto traces = trace(dir / "s.obu", "-f obu", AV1_HEADER).inStream();
        Blob patched = stream;
        checkAndPatch(AV1, patched, {{2, obu.size()}}, traces, true);
        writeBytes(dir / "p.obu", patched);
        expectOnlyPrimariesChanged(traces, trace(dir / "p.obu", "-f obu", AV1_HEADER).inStream(),
                                   AV1);
        for (std::size_t len = 0; len < obu.size(); ++len)
            ASSERT_FALSE(readAv1Colour(std::span(obu).first(len))) << "cut at " << len;
    }
}

TEST(Av1, WhatWouldShiftTheSyntaxOrIsNoSequenceHeaderIsLeftAlone) {
    // BT.709 / sRGB / identity leaves color_range out of the syntax: no patch into or out of it.
    std::string p3Rgb = AV1_SRGB;
    p3Rgb.replace(p3Rgb.find("8:1 8:13"), 3, "8:12").append(" 0");
    for (auto [script, to] : {std::pair(AV1_SRGB, 12), std::pair(p3Rgb, 1)}) {
        Blob obu = av1Obu(script);
        const Blob before = obu;
        ASSERT_TRUE(readAv1Colour(obu).has_value());
        EXPECT_EQ(patchAv1Primaries(obu, std::uint8_t(to)), Av1Patch::wouldChangeSyntax);
        EXPECT_EQ(obu, before);
    }
    const Blob full = av1Obu(AV1_FULL);
    Blob unsized = full;
    unsized.erase(unsized.begin() + 1); // no size field: the payload fills the unit
    unsized[0] = 0x08;
    EXPECT_TRUE(readAv1Colour(unsized).has_value());
    Blob longSize = full; // the size as a nine-byte leb128
    longSize.insert(longSize.begin() + 1, 8, 0x80);
    for (Blob bad :
         {av1Obu(retag(AV1_FULL, "profile", "3:3")), cat({{0x12}, {full.begin() + 1, full.end()}}),
          cat({full, {0}}), Blob(full.begin(), full.end() - 1), longSize}) {
        const Blob before = bad;
        EXPECT_FALSE(readAv1Colour(bad).has_value());
        EXPECT_EQ(patchAv1Primaries(bad), Av1Patch::parseFailed);
        EXPECT_EQ(bad, before);
    }

    // av1C: the 4-byte record, then its OBUs; a sample: delimiter, header, frame, header.
    const Blob av1C = cat({{0x81, 0x00, 0x0C, 0x00}, full});
    auto headers = av1CSequenceHeaders(av1C);
    ASSERT_TRUE(headers.has_value());
    ASSERT_EQ(headers->size(), 1u);
    EXPECT_EQ(std::tuple((*headers)[0].offset, (*headers)[0].size), std::tuple(4u, full.size()));
    for (std::size_t len = 5; len < av1C.size(); ++len)
        EXPECT_FALSE(av1CSequenceHeaders(std::span(av1C).first(len))) << len;
    EXPECT_FALSE(av1CSequenceHeaders(Blob{0x80, 0, 0, 0}));
    const Blob sample = cat({{0x12, 0}, full, {0x32, 1, 0}, full});
    using enum LeadingSps::Status;
    std::uint64_t asks = 0;
    LeadingSps in = leadingSequenceHeaders(std::span(sample).first(1), sample.size());
    for (; in.status == needBytes; ++asks)
        in = leadingSequenceHeaders(std::span(sample).first(in.need), sample.size());
    ASSERT_EQ(std::tuple(in.status, in.sps.size()), std::tuple(complete, 1u));
    EXPECT_EQ(std::tuple(in.sps[0].offset, in.sps[0].size), std::tuple(2u, full.size()));
    EXPECT_GT(asks, 0u);
    EXPECT_EQ(leadingSequenceHeaders(cat({{0x12, 5}, Blob(3, 0)}), 5).status, malformed);
}

namespace {

// A movie of each codec with parameter sets in its record and in its key frames' samples.
enum class Coding { h264, hevc, av1 };
struct Movie {
    std::string name;
    Coding coding;
    std::string args; // ffmpeg arguments before the output
    bool described = true;
};
void PrintTo(const Movie& m, std::ostream* os) {
    *os << m.name;
}
class Movies : public testing::TestWithParam<Movie> {};

} // namespace

TEST_P(Movies, TheRecordAndEveryLeadingParameterSetArePatchedWithoutChangingAPicture) {
    const Movie& m = GetParam();
    ::setenv("SVT_LOG", "1", 1); // SVT-AV1 prints its settings unless told to keep to errors
    TempDir dir;
    const fs::path mp4 = dir / "m.mp4", after = dir / "p.mp4";
    ffmpeg(m.args + "-g 5 -movflags +faststart " + sh(mp4));
    Blob file = readBytes(mp4);
    const auto [configAt, config] = configRecord(file);
    const VideoCodec codec = m.coding == Coding::hevc ? hevc : h264;
    std::optional<std::vector<NalRange>> record;
    if (m.coding == Coding::av1) {
        record = av1CSequenceHeaders(config);
    } else if (auto c = codec == h264 ? avcCSps(config) : hvcCSps(config)) {
        EXPECT_EQ(c->lengthSize, 4u);
        record = c->sps;
    }
    ASSERT_TRUE(record.has_value());
    ASSERT_EQ(record->size(), 1u);
    std::vector<NalRange> units = {{configAt + record->at(0).offset, record->at(0).size}};

    auto leading = [&](std::uint64_t offset, std::uint64_t size, std::uint64_t have) {
        const auto head = std::span(file).subspan(offset, std::min(have, size));
        return m.coding == Coding::av1 ? leadingSequenceHeaders(head, size)
                                       : leadingSps(codec, head, size, 4);
    };
    for (const auto& [offset, size] : packets(mp4, 0)) {
        LeadingSps in = leading(offset, size, 2); // more is asked for as the walk needs it
        while (in.status == LeadingSps::Status::needBytes)
            in = leading(offset, size, in.need);
        ASSERT_EQ(in.status, LeadingSps::Status::complete);
        for (const auto& u : in.sps)
            units.push_back({offset + u.offset, u.size});
    }
    EXPECT_GE(units.size(), 3u); // the record's and every key frame's

    const Syntax syntax = m.coding == Coding::av1 ? AV1 : spsSyntax(codec);
    auto traced = [&](const fs::path& f) {
        auto t = trace(f, "", m.coding == Coding::av1 ? AV1_HEADER : SPS);
        t.extradata.insert(t.extradata.end(), t.packets.begin(), t.packets.end());
        return t.extradata;
    };
    const auto traces = traced(mp4);
    checkAndPatch(syntax, file, units, traces, m.described);
    writeBytes(after, file);
    expectOnlyPrimariesChanged(traces, traced(after), syntax);
    EXPECT_EQ(primariesSeen(after),
              m.described ? std::set<std::string>{"smpte432"} : primariesSeen(mp4));
    EXPECT_EQ(frameHashes(after), frameHashes(mp4));
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, Movies,
    testing::Values(
        Movie{"x264", Coding::h264, SRC + "-c:v libx264 -x264-params repeat-headers=1 " + BT709},
        Movie{"x265", Coding::hevc, SRC + x265("repeat-headers=1") + "-tag:v hvc1 " + BT709},
        Movie{"aom", Coding::av1, SRC + "-c:v libaom-av1 -cpu-used 8 " + BT709},
        Movie{"aom_no_colour", Coding::av1, SRC + "-c:v libaom-av1 -cpu-used 8 ", false},
        Movie{"svt_10bit", Coding::av1,
              "-f lavfi -i testsrc2=s=64x64:r=10:d=1 -c:v libsvtav1 -pix_fmt yuv420p10le " + PAL},
        Movie{"rav1e_444", Coding::av1, SRC + "-c:v librav1e -pix_fmt yuv444p " + PAL}),
    [](const auto& info) { return info.param.name; });

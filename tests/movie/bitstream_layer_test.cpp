// Movies whose coded video states its own colour, or none, made by libx264, libx265, libaom,
// libvpx-vp9 and prores_ks, and tagged end to end; the synthetic headers in
// codec/bitstream_test.cpp reach every branch of the syntax. Oracles: the colour ffprobe reports
// for every decoded frame (the bitstream's, where it speaks) and the range it reports, the
// colour GStreamer's decoders give, trace_headers' reading of every parameter set, framemd5 of
// every stream, and mediainfo's reading of container and stream.
#include "codec/escape.h"
#include "codec/sps.h"
#include "movie/bitstream_layer.h"

#include "movie_fixtures.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <set>

using namespace tg;
using namespace movietest;
using enum TGOutcome;

namespace {

using Layers = std::vector<std::string>;
const Layers BOTH = {"container", "bitstream"};
const Layers CONTAINER = {"container"};
const std::string HDR_LEFT = "HDR — left unchanged";
const std::string SILENT = " — bitstream still says nothing";

std::string x265(const std::string& params) {
    return "-c:v libx265 -g 5 -x265-params log-level=error:" + params + " ";
}
const std::string AOM = "-c:v libaom-av1 -cpu-used 8 -g 3 ";
// The VUI's colour, set in the encoder only: FFmpeg does not know it and writes no colr.
const std::string VUI_709 = "colorprim=bt709:transfer=bt709:colormatrix=bt709";

// What mediainfo says the stream itself states for a colour field: its value where the stream
// agrees with the container, its "_Original" value where they differ.
std::string streamSays(const nlohmann::json& t, const std::string& field) {
    if (t.value(field + "_Original_Source", "") == "Stream")
        return t.value(field + "_Original", "");
    const std::string source = t.value(field + "_Source", "");
    return source.find("Stream") != std::string::npos ? t.value(field, "") : "";
}

const std::vector<std::string> STSD = {"moov", "trak", "mdia", "minf", "stbl", "stsd"};

// The sample entry's atoms around a new child, grown by it; moov must come last, so that no chunk
// offset moves.
Blob withEntryChild(const Blob& file, const Blob& child) {
    EXPECT_LT(find(file, {"mdat"}), find(file, {"moov"}));
    Blob out = file;
    std::uint64_t at = 0;
    for (std::size_t n = 1; n <= STSD.size() + 1; ++n) {
        at = n <= STSD.size() ? find(file, {STSD.begin(), STSD.begin() + std::ptrdiff_t(n)})
                              : at + 16; // stsd's first entry
        wU32(out, at, u32(out, at) + std::uint32_t(child.size()));
    }
    out.insert(out.begin() + std::ptrdiff_t(at + u32(file, at)), child.begin(), child.end());
    return out;
}

// The first SPS of the avcC record: its offset in the file and its length.
std::pair<std::size_t, std::size_t> recordSps(const Blob& file) {
    std::vector<std::string> path = STSD;
    path.insert(path.end(), {"avc1", "avcC"});
    const std::size_t body = find(file, path) + 8;
    const auto sps = avcCSps(Bytes(file).subspan(body, u32(file, body - 8) - 8));
    EXPECT_TRUE(sps && !sps->sps.empty());
    return {body + sps->sps.at(0).offset, sps->sps.at(0).size};
}

// Reshapings of a made movie, for what encoders never write.
using Reshape = std::function<void(Blob&)>;
Reshape retype(const std::string& from, const std::string& to) {
    return [=](Blob& f) {
        const auto type = f.begin() + std::ptrdiff_t(find(f, STSD) + 20);
        ASSERT_EQ(Blob(type, type + 4), text(from));
        std::copy(to.begin(), to.end(), type);
    };
}
Reshape child(const std::string& type) {
    return [=](Blob& f) { f = withEntryChild(f, atom(type, Blob(24, 1))); };
}
// transfer_characteristics 0 (reserved) in the record's SPS.
void reservedTransfer(Blob& f) {
    const auto [at, size] = recordSps(f);
    std::span<std::uint8_t> nal(f.data() + at, size);
    const auto c = readSpsColour(VideoCodec::h264, nal);
    const auto rbsp = unescapeNal(nal, 1);
    ASSERT_TRUE(c && c->described && rbsp);
    ASSERT_EQ(writeRbspBits(nal, 1, *rbsp, c->primariesBit + 8, 8, 0), RbspWrite::written);
}
// The record's SPS without its stop bit: it no longer parses.
void brokenSps(Blob& f) {
    const auto [at, size] = recordSps(f);
    f[at + size - 1] = 0;
    ASSERT_FALSE(readSpsColour(VideoCodec::h264, std::span(f).subspan(at, size)));
}
// The first ProRes frame loses its 'icpf'.
void brokenFrame(Blob& f) {
    const std::string tag = "icpf";
    auto it = std::search(f.begin(), f.end(), tag.begin(), tag.end());
    ASSERT_NE(it, f.end());
    *it = 'x';
}

struct Case {
    const char* name;
    const char* ext;
    std::string args;
    TGOutcome outcome;
    std::string message;
    Layers layers;
    Reshape reshape = {};
    bool twice = false; // a second run finds it all Display P3
};
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}
// A movie left alone as HDR, every byte kept.
Case hdrCase(const char* name, const char* ext, const std::string& args, Reshape reshape = {}) {
    return {name, ext, args, hdr, HDR_LEFT, {}, std::move(reshape)};
}
class Tagged : public testing::TestWithParam<Case> {};

} // namespace

TEST_P(Tagged, EveryLayerThatSpeaksSaysDisplayP3AndNoPictureChanges) {
    const Case& c = GetParam();
    ::setenv("SVT_LOG", "1", 1); // SVT-AV1 prints its settings unless told to keep to errors
    TempDir dir;
    const fs::path movie = dir / (std::string("m.") + c.ext),
                   before = dir / (std::string("before.") + c.ext);
    makeMovie(movie, SRC + c.args);
    if (c.reshape) {
        Blob f = readBytes(movie);
        c.reshape(f);
        writeBytes(movie, f);
    }
    fs::copy_file(movie, before);
    const auto was = mediainfoVideo(before);
    const auto wasFrames = framePrimaries(before);
    // What decoders make of the range, frame by frame, where "unknown" is limited, as decoders
    // take it (a colour description comes with a range flag); a stream said full range stays so.
    const auto ranges = [](const fs::path& m) {
        std::string out = run("ffprobe -v error -select_streams v:0 -show_entries "
                              "frame=color_range -of csv=p=0 " +
                              sh(m))
                              .out;
        for (auto at = out.find("unknown"); at != std::string::npos; at = out.find("unknown"))
            out.replace(at, 7, "tv");
        return out;
    };
    const auto fullRange = [](const fs::path& m) {
        return probe(m)["streams"][0].value("color_range", "") == "pc";
    };

    const TGResult r = processCore(movie);
    EXPECT_EQ(std::tie(r.outcome, r.message), std::tie(c.outcome, c.message))
        << r.detail.value_or("");
    EXPECT_EQ(r.layers, c.layers);
    if (c.outcome == hdr || c.outcome == skipped) {
        EXPECT_EQ(readBytes(movie), readBytes(before));
        return;
    }
    EXPECT_EQ(frameHashes(movie), frameHashes(before));
    const auto frames = framePrimaries(movie);
    const bool partly = c.message.find(" — bitstream") != std::string::npos;
    ASSERT_FALSE(frames.empty());
    const std::set<std::string> said(frames.begin(), frames.end());
    if (!partly) { // a silent HEVC or AV1 stream decodes as unknown whatever the container says
        EXPECT_TRUE(said == std::set<std::string>{"smpte432"} ||
                    (c.layers == CONTAINER && said == std::set<std::string>{"unknown"}))
            << *said.begin();
    }
    // mediainfo and GStreamer read VP9's configuration as the container's, or not at all.
    const bool vp9 = c.args.find("vp9") != std::string::npos;
    if (vp9) { // FFmpeg takes the container's colr over vpcC: read its codes here
        const auto codes = [](const fs::path& m) {
            const Blob f = readBytes(m);
            const std::uint64_t at =
                find(f, {"moov", "trak", "mdia", "minf", "stbl", "stsd", "vp09", "vpcC"});
            return at == std::string::npos ? Blob()
                                           : Blob(f.begin() + std::ptrdiff_t(at + 15),
                                                  f.begin() + std::ptrdiff_t(at + 18));
        };
        const Blob was = codes(before);
        ASSERT_EQ(was.size(), 3u);
        EXPECT_EQ(codes(movie), (Blob{12, was[1], was[2]}));
    }
    const auto now = mediainfoVideo(movie);
    EXPECT_EQ(now.value("colour_primaries", ""), "Display P3");
    if (c.layers == BOTH && !vp9) {
        EXPECT_EQ(now.value("colour_primaries_Source", ""), "Container / Stream");
        EXPECT_FALSE(now.contains("colour_primaries_Original"));
    } else if (partly && c.args.find("prores") == std::string::npos) {
        // The parameter sets that could not be changed still say what they said, in the sample
        // entry too.
        EXPECT_EQ(frames.front(), wasFrames.at(0));
        EXPECT_EQ(parameterSetFields(movie), parameterSetFields(before));
    }
    // A stream that stated its transfer and matrix keeps them; one that stated nothing says what
    // the container says: BT.709.
    const bool givenColour =
        std::string(c.name).find("silent") != std::string::npos && c.layers == BOTH;
    for (const char* field : {"transfer_characteristics", "matrix_coefficients"})
        EXPECT_EQ(streamSays(now, field), givenColour ? "BT.709" : streamSays(was, field)) << field;
    EXPECT_EQ(ranges(movie), ranges(before));
    EXPECT_EQ(fullRange(movie), fullRange(before));
    if (c.layers == BOTH && !vp9) {
        EXPECT_EQ(gstPrimaries(movie), "11");
        // A parameter set given a colour description keeps every other field.
        const auto notColour = [](std::vector<std::string> fields) {
            std::erase_if(fields, [](const std::string& f) {
                return vuiColourField(f.substr(0, f.find(' ')));
            });
            return fields;
        };
        EXPECT_EQ(notColour(parameterSetFields(movie)), notColour(parameterSetFields(before)));
    }
    if (c.twice) {
        const Blob done = readBytes(movie);
        const TGResult again = processCore(movie);
        EXPECT_EQ(std::tie(again.outcome, again.message),
                  std::tuple(already, std::string("Already Display-P3")));
        EXPECT_EQ(again.layers, c.layers);
        EXPECT_EQ(readBytes(movie), done);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Movies, Tagged,
    testing::Values(
        Case{"x264_bt709", "mp4", X264 + BT709, fixed, FIXED, BOTH, nullptr, true},
        // Parameter sets that say no colour, in the sample entry only: given one.
        Case{"x264_silent", "mp4", X264, added, ADDED, BOTH, nullptr, true},
        Case{"x264_full_range_silent", "mp4", X264 + "-pix_fmt yuvj420p ", added, ADDED, BOTH,
             nullptr, true},
        Case{"x265_hvc1_silent", "mp4", x265("repeat-headers=0") + "-tag:v hvc1 ", added, ADDED,
             BOTH, nullptr, true},
        // ... and where samples carry their own, which cannot grow, or AV1 repeats its header in
        // every sync sample: left, and said.
        Case{"x265_silent_repeat_headers", "mp4", x265("repeat-headers=1") + "-tag:v hvc1 ", added,
             ADDED + SILENT, CONTAINER, nullptr, true},
        Case{"av1_silent", "mp4", AOM + "-pix_fmt yuv420p ", added, ADDED + SILENT, CONTAINER,
             nullptr, true},
        Case{"vp9", "mp4", "-c:v libvpx-vp9 -deadline realtime -pix_fmt yuv420p ", added, ADDED,
             BOTH, nullptr, true},
        Case{"x265_hvc1_repeat_headers", "mp4", x265("repeat-headers=1") + "-tag:v hvc1 " + BT709,
             fixed, FIXED, BOTH, nullptr, true},
        Case{"prores", "mov", "-c:v prores_ks -profile:v 2 ", added, ADDED, BOTH, nullptr, true},
        // libaom repeats the sequence header at every key frame.
        Case{"av1_bt601", "mp4",
             AOM +
                 "-pix_fmt yuv420p -color_primaries bt470bg -color_trc bt709 -colorspace bt470bg ",
             fixed, FIXED, BOTH, nullptr, true},
        // BT.709 primaries, sRGB transfer and the identity matrix leave color_range out of the
        // sequence header: other primaries would shift every bit after them.
        Case{"av1_srgb", "mp4",
             AOM + "-pix_fmt gbrp -color_primaries bt709 -color_trc iec61966-2-1 -colorspace rgb ",
             fixed, FIXED + " — bitstream still says BT.709", CONTAINER},
        hdrCase("x265_pq", "mp4",
                x265("colorprim=bt2020:transfer=smpte2084:colormatrix=bt2020nc") +
                    "-pix_fmt yuv420p10le -tag:v hvc1 "),
        hdrCase("dvh1", "mp4", x265(VUI_709) + "-tag:v hvc1 ", retype("hvc1", "dvh1")),
        hdrCase("dvcC", "mp4", X264, child("dvcC")), hdrCase("mdcv", "mp4", X264, child("mdcv")),
        Case{"transfer_0", "mp4", X264 + BT709, fixed, FIXED + " — bitstream still says BT.709",
             CONTAINER, reservedTransfer},
        Case{"unparsable_sps", "mp4", X264 + BT709, fixed,
             FIXED + " — bitstream left unchanged (unreadable)", CONTAINER, brokenSps},
        Case{"prores_frame_failing_checks", "mov", "-c:v prores_ks ", added,
             ADDED + " — bitstream left unchanged (unreadable)", CONTAINER, brokenFrame},
        // A bitstream that cannot be rewritten keeps a container already P3 from counting as done.
        Case{"container_p3_bitstream_stuck", "mp4",
             X264 + "-color_primaries smpte432 -color_trc bt709 -colorspace bt709 " +
                 "-x264-params colorprim=bt709 ",
             skipped, "Container already Display-P3 — bitstream still says BT.709", CONTAINER,
             reservedTransfer}),
    [](const auto& info) { return std::string(info.param.name); });

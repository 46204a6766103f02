// processCore and addColr on real movies made by ffmpeg: every edit must leave every stream
// decoding to the same frames and samples, and ffprobe must read the Display P3 primaries.
#include "movie/atoms.h"
#include "movie/movie_tagger.h"

#include "movie_files.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace tg;
using namespace tgtest;

namespace {

const std::string SRC = "-f lavfi -i testsrc2=s=64x48:r=10:d=1 ";
const std::string SND = "-f lavfi -i sine=f=440:d=1 ";
const std::string BT709 = "-color_primaries bt709 -color_trc bt709 -colorspace bt709 ";
const std::string X264 = "-c:v libx264 -pix_fmt yuv420p ";
const std::string X265 = "-c:v libx265 -x265-params log-level=none -pix_fmt yuv420p -tag:v hvc1 ";

struct Source {
    std::string file;
    std::string args; // ffmpeg arguments before the output
};

// Every movie the suite needs, by file name.
const std::vector<Source> SOURCES = {
    {"h264_nclc.mov", SRC + SND + X264 + BT709 + "-c:a aac"},
    {"h264_nclc_fast.mov", SRC + SND + X264 + BT709 + "-c:a aac -movflags +faststart"},
    {"h264_nclx_fast.mp4", SRC + X264 + BT709 + "-movflags +write_colr+faststart"},
    {"h264_none.mp4", SRC + SND + X264 + "-c:a aac"},
    {"h264_none_fast.mp4", SRC + SND + X264 + "-c:a aac -movflags +faststart"},
    {"h264_none.mov", SRC + X264},
    {"hevc_none_fast.mp4", SRC + X265 + "-movflags +faststart"},
    {"hevc_nclx.mp4", SRC + SND + X265 + BT709 + "-c:a aac -movflags +write_colr"},
    {"prores_none.mov", SRC + SND + "-c:v prores_ks -c:a pcm_s16le"},
    {"prores_nclc_fast.mov", SRC + "-c:v prores_ks " + BT709 + "-movflags +faststart"},
    {"sound.mp4", SND + "-c:a aac"},
    {"hdr_pq.mov",
     SRC + X265 + "-color_primaries bt2020 -color_trc smpte2084 -colorspace bt2020nc"},
    {"frag_none.mp4", SRC + X264 + "-movflags frag_keyframe+empty_moov"},
    {"frag_nclx.mp4", SRC + X264 + BT709 + "-movflags frag_keyframe+empty_moov+write_colr"},
};

struct Case {
    std::string file;
    TGOutcome outcome;
    std::string message;
    std::int64_t growth; // bytes the file grows by; -1: left byte for byte unchanged
};

const char* const ADDED = "No tag found — added Display-P3";
const char* const FIXED = "Fixed → Display-P3";

std::ostream& operator<<(std::ostream& os, const Case& c) {
    return os << c.file;
}

} // namespace

class MovieMedia : public ::testing::Test {
public:
    // ctest runs every case in its own process, so the movies are made once per build.
    static void SetUpTestSuite() {
        for (const auto& s : SOURCES)
            cached(s.file, [&](const fs::path& out) {
                ffmpeg(s.args + " -f " + (s.file.ends_with(".mov") ? "mov" : "mp4") + " -y " +
                       sh(out));
            });
        // Layouts ffmpeg will not write by itself.
        auto reshaped = [](const std::string& from, MoovShape shape) {
            return [=](const fs::path& out) {
                writeBytes(out, reshapeMoov(readBytes(mediaCache() / from), shape));
            };
        };
        cached("co64_fast.mp4", reshaped("h264_none_fast.mp4", {.co64 = true}));
        cached("large_moov_fast.mp4", reshaped("h264_none_fast.mp4", {.largeHeader = true}));
        cached("large_moov_last.mp4", reshaped("h264_none.mp4", {.largeHeader = true}));
        cached("co64_nclc.mov", reshaped("h264_nclc_fast.mov", {.co64 = true}));
    }

protected:
    // A fresh copy of a suite movie in this test's own folder.
    fs::path copy(const std::string& file) {
        fs::copy_file(mediaCache() / file, dir / file);
        return dir / file;
    }

    TempDir dir;
};

class TagRealMovie : public MovieMedia, public ::testing::WithParamInterface<Case> {};

TEST_P(TagRealMovie, KeepsEveryFrameAndSampleAndReadsAsDisplayP3) {
    const Case& c = GetParam();
    auto path = copy(c.file);
    auto before = readBytes(path);
    auto hashes = frameHashes(path);
    ASSERT_FALSE(hashes.empty());

    auto r = processCore(path);
    EXPECT_EQ(r.name(), c.file);
    EXPECT_EQ(r.outcome, c.outcome);
    EXPECT_EQ(r.message, c.message);
    EXPECT_FALSE(r.produced);

    auto after = readBytes(path);
    if (c.growth < 0) {
        EXPECT_EQ(after, before);
    } else {
        EXPECT_EQ(after.size(), before.size() + std::uint64_t(c.growth));
        EXPECT_EQ(frameHashes(path), hashes);
        EXPECT_EQ(primariesOf(path), "smpte432");
        EXPECT_EQ(exifPrimaries(path), 12);
    }
    if (c.outcome == TGOutcome::fixed) {
        // Only primaries fields changed: two-byte runs ending in 0x0C.
        for (std::size_t i = 0; i < before.size(); ++i) {
            if (before[i] != after[i]) {
                EXPECT_TRUE(after[i] == 0x0C || after[i] == 0x00) << i;
            }
        }
    }
    if (c.outcome == TGOutcome::fixed || c.outcome == TGOutcome::added) {
        // A second run finds the tag and writes nothing.
        auto tagged = readBytes(path);
        auto again = processCore(path);
        EXPECT_EQ(again.outcome, TGOutcome::already);
        EXPECT_EQ(again.message, "Already Display-P3");
        EXPECT_EQ(readBytes(path), tagged);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Movies, TagRealMovie,
    ::testing::Values(Case{"h264_nclc.mov", TGOutcome::fixed, FIXED, 0},
                      Case{"h264_nclc_fast.mov", TGOutcome::fixed, FIXED, 0},
                      Case{"h264_nclx_fast.mp4", TGOutcome::fixed, FIXED, 0},
                      Case{"hevc_nclx.mp4", TGOutcome::fixed, FIXED, 0},
                      Case{"prores_nclc_fast.mov", TGOutcome::fixed, FIXED, 0},
                      Case{"co64_nclc.mov", TGOutcome::fixed, FIXED, 0},
                      Case{"frag_nclx.mp4", TGOutcome::fixed, FIXED, 0},
                      Case{"h264_none.mp4", TGOutcome::added, ADDED, 19},
                      Case{"h264_none_fast.mp4", TGOutcome::added, ADDED, 19},
                      Case{"h264_none.mov", TGOutcome::added, ADDED, 19},
                      Case{"hevc_none_fast.mp4", TGOutcome::added, ADDED, 19},
                      Case{"prores_none.mov", TGOutcome::added, ADDED, 19},
                      Case{"co64_fast.mp4", TGOutcome::added, ADDED, 19},
                      Case{"large_moov_fast.mp4", TGOutcome::added, ADDED, 19},
                      Case{"large_moov_last.mp4", TGOutcome::added, ADDED, 19},
                      Case{"sound.mp4", TGOutcome::skipped, "No video track to tag", -1},
                      Case{"hdr_pq.mov", TGOutcome::hdr, "HDR — left unchanged", -1},
                      Case{"frag_none.mp4", TGOutcome::error, "Unsupported (fragmented movie)",
                           -1}),
    [](const auto& info) {
        std::string n = info.param.file;
        for (auto& ch : n)
            if (ch == '.') ch = '_';
        return n;
    });

TEST_F(MovieMedia, AddColrTwiceSaysAlreadyTaggedTheSecondTime) {
    auto path = copy("h264_none_fast.mp4");
    EXPECT_EQ(addColr(path).outcome, TGOutcome::added);
    auto tagged = readBytes(path);
    auto r = addColr(path);
    EXPECT_EQ(r.outcome, TGOutcome::already);
    EXPECT_EQ(r.message, "Already tagged");
    EXPECT_EQ(readBytes(path), tagged);
}

TEST_F(MovieMedia, InsertedAtomIsTheP3NclxAtTheEndOfTheVideoEntry) {
    auto path = copy("h264_none_fast.mp4");
    auto before = readBytes(path);
    ASSERT_EQ(processCore(path).outcome, TGOutcome::added);
    auto after = readBytes(path);
    auto at = std::search(after.begin(), after.end(), p3ColrAtom.begin(), p3ColrAtom.end());
    ASSERT_NE(at, after.end());
    std::size_t pos = std::size_t(at - after.begin());
    EXPECT_EQ(after.size(), before.size() + 19);
    // The media data behind moov moved by 19 bytes, byte for byte.
    std::uint64_t mdat = 0;
    for (const auto& a : childAtoms(before, 0, before.size()))
        if (a.typ == "mdat") mdat = a.p;
    ASSERT_GT(mdat, pos);
    EXPECT_TRUE(std::equal(before.begin() + mdat, before.end(), after.begin() + mdat + 19));
    // ffprobe also sees the full colour signal: transfer and matrix BT.709.
    auto info = probe(path);
    EXPECT_EQ(info["streams"][0].value("color_transfer", ""), "bt709");
    EXPECT_EQ(info["streams"][0].value("color_space", ""), "bt709");
}

TEST_F(MovieMedia, PatchKeepsTransferMatrixAndFullRangeByte) {
    auto path = copy("h264_nclx_fast.mp4");
    auto bytes = readBytes(path);
    auto at =
        std::search(bytes.begin(), bytes.end(), p3ColrAtom.begin() + 4, p3ColrAtom.begin() + 12);
    ASSERT_NE(at, bytes.end());
    at[14] = 0x80; // full range
    writeBytes(path, bytes);
    ASSERT_EQ(processCore(path).outcome, TGOutcome::fixed);
    auto after = readBytes(path);
    std::size_t pos = std::size_t(at - bytes.begin());
    EXPECT_EQ(Blob(after.begin() + pos, after.begin() + pos + 15),
              cat({text("colrnclx"), Blob{0, 12, 0, 1, 0, 1, 0x80}}));
}

TEST_F(MovieMedia, TailOfSeveralBlocksMovesWholeAndInOrder) {
    // 20,000,000 bytes with moov first: the tail moves in three blocks, last block first.
    auto path = dir / "long.mp4";
    Blob before = padLastMdat(readBytes(mediaCache() / "h264_none_fast.mp4"), 20000000, 0x5A);
    ASSERT_EQ(before.size(), 20000000u);
    // Mark every 8 MiB boundary so that a block moved to the wrong place shows.
    for (std::size_t i = 1; i * 8388608 < before.size(); ++i)
        before[before.size() - i * 8388608] = 0xA5;
    writeBytes(path, before);
    auto hashes = frameHashes(path);
    auto r = addColr(path);
    EXPECT_EQ(r.outcome, TGOutcome::added);
    EXPECT_EQ(r.message, ADDED);
    auto after = readBytes(path);
    ASSERT_EQ(after.size(), 20000019u);
    std::uint64_t mdat = 0;
    for (const auto& a : childAtoms(before, 0, before.size()))
        if (a.typ == "mdat") mdat = a.p;
    EXPECT_EQ(u32(after, mdat + 19), u32(before, mdat) + 0u); // mdat's own size is unchanged
    EXPECT_TRUE(std::equal(before.begin() + mdat, before.end(), after.begin() + mdat + 19));
    EXPECT_EQ(frameHashes(path), hashes);
    EXPECT_EQ(primariesOf(path), "smpte432");
}

// Sample tables against ffprobe's packet list, and tables that lie.
#include "movie/sample_table.h"

#include "movie_fixtures.h"

#include <gtest/gtest.h>

using namespace tg;
using namespace movietest;

namespace {

// The sample-table atoms of a movie's nth track.
SampleTableAtoms tablesOf(const Blob& d, int nth) {
    const std::uint64_t stbl = findIn(d, traks(d).at(nth), {"mdia", "minf", "stbl"});
    SampleTableAtoms t;
    for (const auto& a : childAtoms(d, stbl + 8, stbl + u32(d, stbl))) {
        const auto body = std::span(d).subspan(a.offset + a.headerSize, a.size - a.headerSize);
        if (a.type == "stsz" || a.type == "stz2") t.sizes = body;
        if (a.type == "stsc") t.stsc = body;
        if (a.type == "stco" || a.type == "co64") t.chunkOffsets = body;
        t.compact = t.compact || a.type == "stz2";
        t.large = t.large || a.type == "co64";
    }
    return t;
}
std::vector<std::pair<std::uint64_t, std::uint64_t>> located(const SampleTable& t) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
    for (const auto& s : t.samples)
        out.emplace_back(s.offset, s.size);
    return out;
}

} // namespace

TEST(SampleTable, EverySampleWhereFfprobeFindsIt) {
    TempDir dir;
    const fs::path mov = dir / "av.mov";
    ffmpeg("-f lavfi -i testsrc2=s=64x48:r=25:d=2 -f lavfi -i sine=d=2 -c:v libx264 -c:a aac " +
           sh(mov));
    const Blob file = readBytes(mov);
    for (int stream : {0, 1}) {
        const auto table = sampleLocations(tablesOf(file, stream));
        ASSERT_TRUE(table.ok()) << table.error;
        EXPECT_EQ(located(table), packets(mov, stream)) << "stream " << stream;
    }
}

TEST(SampleTable, LyingTablesAreErrors) {
    // A table's body: version and flags, then 32-bit fields (stsc: the count, then each run's
    // first chunk, samples per chunk and description); fields() writes other widths.
    auto body = [](std::initializer_list<std::uint64_t> values) {
        Blob b = be(0);
        for (auto v : values)
            b = cat({b, be(v)});
        return b;
    };
    const Blob sizes = body({0, 3, 10, 20, 30}), runs = body({2, 1, 2, 1, 2, 1, 1});
    const Blob chunks = body({2, 100, 500});
    using Located = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
    enum Variant { plain, stz2, co64 };
    struct Case {
        std::string name;
        Blob sizes, runs, chunks;
        Located expected; // empty: an error
        Variant variant = plain;
        std::uint64_t max = MAX_SAMPLES;
    };
    const Located abc = {{100, 10}, {110, 20}, {500, 30}};
    const std::vector<Case> cases = {
        {"plain", sizes, runs, chunks, abc},
        {"one size for all", body({7, 3}), runs, chunks, {{100, 7}, {107, 7}, {500, 7}}},
        {"4-bit sizes",
         fields("4:0 4:4 4:3 1:0x12 1:0x30"),
         runs,
         chunks,
         {{100, 1}, {101, 2}, {500, 3}},
         stz2},
        {"16-bit sizes", fields("4:0 4:16 4:3 2:10 2:20 2:30"), runs, chunks, abc, stz2},
        {"64-bit offsets", sizes, runs, fields("4:0 4:2 8:100 8:500"), abc, co64},
        {"a run past the last chunk", sizes, body({3, 1, 2, 1, 2, 1, 1, 9, 5, 1}), chunks, abc},
        {"sizes shorter than their count", body({0, 3, 10, 20}), runs, chunks, {}},
        {"unknown field size", fields("4:0 4:5 4:3 2:0"), runs, chunks, {}, stz2},
        {"offsets shorter than their count", sizes, runs, body({3, 100, 500}), {}},
        {"runs shorter than their count", sizes, body({2, 1, 2, 1}), chunks, {}},
        {"first run after chunk 1", sizes, body({1, 2, 3, 1}), chunks, {}},
        {"runs out of order", sizes, body({2, 1, 1, 1, 1, 2, 1}), chunks, {}},
        {"an empty run", sizes, body({2, 1, 0, 1, 2, 3, 1}), chunks, {}},
        {"chunks hold more samples", sizes, body({1, 1, 2, 1}), chunks, {}},
        {"chunks hold fewer samples", sizes, body({1, 1, 1, 1}), chunks, {}},
        {"past the largest offset",
         sizes,
         runs,
         fields("4:0 4:2 8:100 8:0xFFFFFFFFFFFFFFFA"),
         {},
         co64},
        {"past the end of the file", sizes, runs, body({2, 100, 511}), {}},
        {"more samples than allowed", sizes, runs, chunks, {}, plain, 2},
        {"cut short", Blob(11, 0), runs, chunks, {}},
    };
    for (const auto& c : cases) {
        const auto t = sampleLocations(
            {c.sizes, c.variant == stz2, c.runs, c.chunks, c.variant == co64, 540}, c.max);
        EXPECT_EQ(t.ok(), !c.expected.empty()) << c.name << ": " << t.error;
        EXPECT_EQ(located(t), c.expected) << c.name;
    }
    EXPECT_TRUE(sampleLocations({body({0, 0}), false, body({0}), body({0})}).ok());
}

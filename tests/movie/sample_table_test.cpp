// Sample tables against ffprobe's packet list, and tables that lie.
#include "movie/sample_table.h"

#include "movie_fixtures.h"

#include <gtest/gtest.h>

using namespace tg;
using namespace movietest;

namespace {

// The sample-table atoms of a movie's nth track.
SampleTableAtoms tablesOf(const Blob& d, int nth) {
    auto body = [&](const Atom& a) {
        return std::span(d).subspan(a.offset + a.headerSize, a.size - a.headerSize);
    };
    auto child = [&](const Atom& parent, const std::string& type, int skip = 0) {
        for (const auto& a :
             childAtoms(d, parent.offset + parent.headerSize, parent.offset + parent.size))
            if (a.type == type && skip-- == 0) return a;
        return Atom{};
    };
    const Atom file{"", 0, 0, d.size()};
    const Atom stbl =
        child(child(child(child(child(file, "moov"), "trak", nth), "mdia"), "minf"), "stbl");
    SampleTableAtoms t;
    for (const auto& a : childAtoms(d, stbl.offset + stbl.headerSize, stbl.offset + stbl.size)) {
        if (a.type == "stsz" || a.type == "stz2") t.sizes = body(a);
        if (a.type == "stsc") t.stsc = body(a);
        if (a.type == "stco" || a.type == "co64") t.chunkOffsets = body(a);
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
    auto stsz = [](std::uint32_t constant, std::initializer_list<std::uint32_t> sizes,
                   std::uint32_t count) {
        Blob b = cat({be(0), be(constant), be(count)});
        for (auto s : sizes)
            b = cat({b, be(s)});
        return b;
    };
    auto stsc = [](std::initializer_list<std::array<std::uint32_t, 3>> runs) {
        Blob b = cat({be(0), be(runs.size())});
        for (auto r : runs)
            b = cat({b, be(r[0]), be(r[1]), be(r[2])});
        return b;
    };
    auto stco = [](std::initializer_list<std::uint64_t> offsets, int width = 4) {
        Blob b = cat({be(0), be(offsets.size())});
        for (auto o : offsets)
            b = cat({b, be(o, width)});
        return b;
    };
    const Blob sizes = stsz(0, {10, 20, 30}, 3), runs = stsc({{1, 2, 1}, {2, 1, 1}});
    const Blob chunks = stco({100, 500});
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
    const Blob stz2Bits5 = cat({be(0), be(5), be(3), Blob(2, 0)});
    const std::vector<Case> cases = {
        {"plain", sizes, runs, chunks, abc},
        {"one size for all", stsz(7, {}, 3), runs, chunks, {{100, 7}, {107, 7}, {500, 7}}},
        {"4-bit sizes",
         cat({be(0), be(4), be(3), {0x12, 0x30}}),
         runs,
         chunks,
         {{100, 1}, {101, 2}, {500, 3}},
         stz2},
        {"16-bit sizes", cat({be(0), be(16), be(3), be(10, 2), be(20, 2), be(30, 2)}), runs, chunks,
         abc, stz2},
        {"64-bit offsets", sizes, runs, stco({100, 500}, 8), abc, co64},
        {"a run past the last chunk", sizes, stsc({{1, 2, 1}, {2, 1, 1}, {9, 5, 1}}), chunks, abc},
        {"sizes shorter than their count", stsz(0, {10, 20}, 3), runs, chunks, {}},
        {"unknown field size", stz2Bits5, runs, chunks, {}, stz2},
        {"offsets shorter than their count",
         sizes,
         runs,
         cat({be(0), be(3), be(100), be(500)}),
         {}},
        {"runs shorter than their count",
         sizes,
         cat({be(0), be(2), be(1), be(2), be(1)}),
         chunks,
         {}},
        {"first run after chunk 1", sizes, stsc({{2, 3, 1}}), chunks, {}},
        {"runs out of order", sizes, stsc({{1, 1, 1}, {1, 2, 1}}), chunks, {}},
        {"an empty run", sizes, stsc({{1, 0, 1}, {2, 3, 1}}), chunks, {}},
        {"chunks hold more samples", sizes, stsc({{1, 2, 1}}), chunks, {}},
        {"chunks hold fewer samples", sizes, stsc({{1, 1, 1}}), chunks, {}},
        {"past the largest offset", sizes, runs, stco({100, ~0ull - 5}, 8), {}, co64},
        {"past the end of the file", sizes, runs, stco({100, 511}), {}},
        {"more samples than allowed", sizes, runs, chunks, {}, plain, 2},
        {"cut short", Blob(11, 0), runs, chunks, {}},
    };
    for (const auto& c : cases) {
        const auto t = sampleLocations(
            {c.sizes, c.variant == stz2, c.runs, c.chunks, c.variant == co64, 540}, c.max);
        EXPECT_EQ(t.ok(), !c.expected.empty()) << c.name << ": " << t.error;
        EXPECT_EQ(located(t), c.expected) << c.name;
    }
    EXPECT_TRUE(sampleLocations({stsz(0, {}, 0), false, stsc({}), stco({})}).ok());
}

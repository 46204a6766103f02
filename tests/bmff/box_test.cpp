// Box headers, child listings and iloc on bytes built here: every header rule decided in one
// place, a listing that says when it stops short, and iloc boxes written back byte for byte.
// Headers of files cut short are tested through the movie's top-level walk.
#include "bmff/iloc.h"

#include "fixtures/box_bytes.h"

#include <gtest/gtest.h>

#include <string>

namespace {

namespace b = tg::bmff;
using namespace tgtest;

// Every header rule, seen through the listing of a parent's children.
TEST(BoxList, ListsUpToTheFirstBadHeaderAndSaysWhetherItReachedTheEnd) {
    const b::HeaderRules movie{}, heif{.userType = true};
    struct Case {
        const char* name;
        Blob bytes;
        b::HeaderRules rules;
        const char* listed; // type/size/header size of each box
        bool complete;
    };
    const Case cases[] = {
        {"size 0 runs to the end", cat({atom("free", {}), be(0), text("mdat"), Blob(10, 7)}), movie,
         "free/8/8 mdat/18/8 ", true},
        {"64-bit size", atom("skip", Blob(4, 0), true), movie, "skip/20/16 ", true},
        {"64-bit size cut short", cat({be(1), text("skip"), be(0)}), movie, "", false},
        {"64-bit size below its header", cat({be(1), text("skip"), be(12, 8)}), movie, "", false},
        {"no file offset holds it", cat({be(1), text("mdat"), be(1ull << 63, 8)}), movie, "",
         false},
        {"below its header", cat({atom("free", {}), be(4), text("junk"), atom("moov", {})}), movie,
         "free/8/8 ", false},
        {"past its parent", cat({atom("free", {}), be(99), text("moov")}), movie, "free/8/8 ",
         false},
        {"too short for a header", cat({atom("free", {}), Blob(3, 0)}), movie, "free/8/8 ", false},
        {"nothing", {}, movie, "", true},
        {"uuid user type as payload", atom("uuid", Blob(16, 7)), movie, "uuid/24/8 ", true},
        {"uuid user type as header", atom("uuid", Blob(16, 7)), heif, "uuid/24/24 ", true},
        {"uuid with 64-bit size", cat({be(1), text("uuid"), be(40, 8), Blob(24, 7)}), heif,
         "uuid/40/32 ", true},
        {"uuid cut in its user type", atom("uuid", Blob(12, 7)), heif, "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto list = b::listBoxes(c.bytes, 0, c.bytes.size(), c.rules);
        std::string listed;
        for (const auto& a : list.boxes) {
            const auto t = a.header.type;
            listed += {char(t >> 24), char(t >> 16), char(t >> 8), char(t)};
            listed += "/" + std::to_string(a.header.size) + "/" +
                      std::to_string(a.header.headerSize) + " ";
        }
        EXPECT_EQ(std::tuple(listed, list.complete), std::tuple(std::string(c.listed), c.complete));
        EXPECT_EQ(list.listedTo, list.boxes.empty() ? 0 : list.boxes.back().end());
    }
    EXPECT_TRUE(b::listBoxes(atom("free", {}), 0, 9).boxes.empty()); // a range outside the bytes
    // A size above 4 GiB is not cut to 32 bits.
    const auto large =
        b::decodeHeader(cat({be(1), text("mdat"), be((1ull << 32) + 16, 8)}), 1ull << 40);
    EXPECT_EQ(large ? large->size : 0, (1ull << 32) + 16);
}

// version 1: 4-byte offsets, lengths and base; item 1 by file offset with a base, item 2 in
// idat (construction method 1).
const Blob ILOC_V1 =
    fullBox("iloc", 1, 0,
            fields("1:0x44 1:0x40 2:2  2:1 2:0 2:0 4:5000 2:2 4:10 4:100 4:200 4:100 "
                   "2:2 2:1 2:0 4:0 2:1 4:0 4:9"));

TEST(Iloc, WrittenBackByteForByte) {
    const std::pair<const char*, Blob> cases[] = {
        {"v0", fullBox("iloc", 0, 0, fields("1:0x44 1:0 2:1  2:1 2:0 2:1 4:400 4:9"))},
        {"v1 file and idat, base", ILOC_V1},
        {"v1 idat, base and index, offsets wider than lengths",
         fullBox("iloc", 1, 0,
                 fields("1:0x84 1:0x44 2:1  2:1 2:1 2:0 4:16 2:2 4:0 8:0 4:5 4:1 8:5 4:6"))},
        {"v2 no offsets",
         fullBox("iloc", 2, 0, fields("1:0 1:0x80 4:1  4:70000 2:0 2:0 8:1234 2:1"))},
        {"v0 two-byte fields",
         fullBox("iloc", 0, 0, fields("1:0x22 1:0 2:1  2:7 2:0 2:1 2:3 2:4"))},
    };
    for (const auto& [name, whole] : cases) {
        SCOPED_TRACE(name);
        const auto iloc = b::readIloc(tg::Bytes(whole).subspan(8));
        ASSERT_TRUE(iloc);
        b::BoxWriter w;
        b::writeIloc(w, *iloc);
        EXPECT_TRUE(w.ok());
        EXPECT_EQ(w.bytes(), whole);
    }
}

} // namespace

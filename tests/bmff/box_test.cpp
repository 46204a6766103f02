// Box headers, child listings and iloc on bytes built here: every header rule decided in one
// place, a listing that says when it stops short, and iloc boxes written back byte for byte.
#include "bmff/iloc.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

namespace b = tg::bmff;
using Blob = std::vector<std::uint8_t>;

Blob cat(std::initializer_list<Blob> parts) {
    Blob out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
Blob be(std::uint64_t v, int width = 4) {
    Blob out;
    for (int i = width - 1; i >= 0; --i)
        out.push_back(std::uint8_t(v >> (8 * i)));
    return out;
}
Blob text(const std::string& s) {
    return Blob(s.begin(), s.end());
}
Blob box(const std::string& type, const Blob& payload, bool large = false) {
    if (large) return cat({be(1), text(type), be(16 + payload.size(), 8), payload});
    return cat({be(8 + payload.size()), text(type), payload});
}
Blob fullBox(const std::string& type, std::uint8_t version, const Blob& payload) {
    return box(type, cat({be(std::uint64_t(version) << 24), payload}));
}

std::string describe(const b::BoxHeader& h) {
    const char type[] = {char(h.type >> 24), char(h.type >> 16), char(h.type >> 8), char(h.type), 0};
    return std::string(type) + "/" + std::to_string(h.size) + "/" + std::to_string(h.headerSize);
}

TEST(BoxHeader, DecidedOnceForEveryReader) {
    const b::HeaderRules heif{.userType = true}, file{.mayRunPast = true};
    struct Case {
        const char* name;
        Blob head;
        std::uint64_t room;
        b::HeaderRules rules;
        const char* expected; // type/size/header size, or "" when refused
    };
    const Case cases[] = {
        {"32-bit size", cat({be(20), text("free")}), 20, {}, "free/20/8"},
        {"size 0 runs to the end of the room", cat({be(0), text("mdat")}), 99, {}, "mdat/99/8"},
        {"64-bit size", cat({be(1), text("skip"), be(24, 8)}), 30, {}, "skip/24/16"},
        {"64-bit size cut short", cat({be(1), text("skip"), be(0)}), 30, {}, ""},
        {"cut before the type", be(20), 20, {}, ""},
        {"below its header", cat({be(4), text("junk")}), 20, {}, ""},
        {"64-bit size below its header", cat({be(1), text("skip"), be(12, 8)}), 30, {}, ""},
        {"past its parent", cat({be(99), text("moov")}), 20, {}, ""},
        {"past the end of a file cut short", cat({be(99), text("moov")}), 20, file, "moov/99/8"},
        {"no file offset holds it", cat({be(1), text("mdat"), be(1ull << 63, 8)}), 20, file, ""},
        {"uuid user type kept as payload", cat({be(24), text("uuid"), Blob(16, 7)}), 24, {},
         "uuid/24/8"},
        {"uuid user type as header", cat({be(24), text("uuid"), Blob(16, 7)}), 24, heif,
         "uuid/24/24"},
        {"uuid with 64-bit size", cat({be(1), text("uuid"), be(40, 8), Blob(16, 7)}), 40, heif,
         "uuid/40/32"},
        {"uuid below its user type", cat({be(20), text("uuid"), Blob(12, 7)}), 20, heif, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto h = b::decodeHeader(c.head, c.room, c.rules);
        EXPECT_EQ(h ? describe(*h) : "", c.expected);
    }
}

TEST(BoxList, ListsUpToTheFirstBadHeaderAndSaysWhetherItReachedTheEnd) {
    struct Case {
        Blob bytes;
        const char* listed;
        bool complete;
    };
    const Case cases[] = {
        {cat({box("free", {}), be(0), text("mdat"), Blob(10, 7)}), "free/8/8 mdat/18/8 ", true},
        {box("skip", Blob(4, 0), true), "skip/20/16 ", true},
        {cat({box("free", {}), be(4), text("junk"), box("moov", {})}), "free/8/8 ", false},
        {cat({be(1), text("mdat"), be(1ull << 63, 8)}), "", false},
        {cat({box("free", {}), Blob(3, 0)}), "free/8/8 ", false}, // too short for a header
        {cat({box("free", {}), be(99), text("moov")}), "free/8/8 ", false},
        {{}, "", true},
    };
    for (const auto& c : cases) {
        const auto list = b::listBoxes(c.bytes, 0, c.bytes.size());
        std::string listed;
        for (const auto& a : list.boxes)
            listed += describe(a.header) + " ";
        EXPECT_EQ(std::tuple(listed, list.complete), std::tuple(std::string(c.listed), c.complete));
        EXPECT_EQ(list.listedTo, list.boxes.empty() ? 0 : list.boxes.back().end());
    }
    const Blob bytes = box("free", {});
    EXPECT_TRUE(b::listBoxes(bytes, 0, 9).boxes.empty()); // a range outside the bytes
}

// version 1: 4-byte offsets, lengths and base; item 1 by file offset with a base, item 2 in
// idat (construction method 1).
const Blob ILOC_V1 = fullBox("iloc", 1,
                             cat({{0x44, 0x40}, be(2, 2), //
                                  be(1, 2), be(0, 2), be(0, 2), be(5000), be(2, 2), be(10), be(100),
                                  be(200), be(100), //
                                  be(2, 2), be(1, 2), be(0, 2), be(0), be(1, 2), be(0), be(9)}));

TEST(Iloc, WrittenBackByteForByte) {
    const std::pair<const char*, Blob> cases[] = {
        {"v0", fullBox("iloc", 0, cat({{0x44, 0x00}, be(1, 2), be(1, 2), be(0, 2), be(1, 2),
                                       be(400), be(9)}))},
        {"v1 file and idat, base", ILOC_V1},
        {"v1 idat, base and index",
         fullBox("iloc", 1,
                 cat({{0x88, 0x44}, be(1, 2), be(1, 2), be(1, 2), be(0, 2), be(16), be(2, 2),
                      be(0), be(0, 8), be(5, 8), be(1), be(5, 8), be(6, 8)}))},
        {"v2 no offsets", fullBox("iloc", 2,
                                  cat({{0x00, 0x80}, be(1), be(70000), be(0, 2), be(0, 2),
                                       be(1234, 8), be(1, 2)}))},
        {"v0 two-byte fields", fullBox("iloc", 0, cat({{0x22, 0x00}, be(1, 2), be(7, 2),
                                                       be(0, 2), be(1, 2), be(3, 2), be(4, 2)}))},
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
    // Where the fields that hold file positions were read, for whoever has to move them.
    const auto v1 = b::readIloc(tg::Bytes(ILOC_V1).subspan(8));
    ASSERT_TRUE(v1);
    EXPECT_EQ(std::tuple(v1->items[0].baseOffsetAt, v1->items[0].extents[1].offsetAt),
              std::tuple(4u + 2 + 2 + 2 + 2 + 2, 4u + 2 + 2 + 2 + 2 + 2 + 4 + 2 + 8));
}

TEST(Iloc, MalformedIsRefusedBeforeItsCountsAreTrusted) {
    const std::pair<const char*, Blob> cases[] = {
        {"version 3", fullBox("iloc", 3, cat({{0x44, 0x00}, be(0, 2)}))},
        {"field size 3", fullBox("iloc", 0, cat({{0x34, 0x00}, be(0, 2)}))},
        {"count past the end", fullBox("iloc", 0, cat({{0x44, 0x00}, be(60000, 2)}))},
        {"extents past the end",
         fullBox("iloc", 0, cat({{0x44, 0x00}, be(1, 2), be(1, 2), be(0, 2), be(9000, 2)}))},
    };
    for (const auto& [name, whole] : cases)
        EXPECT_FALSE(b::readIloc(tg::Bytes(whole).subspan(8))) << name;
    // Cut anywhere, it is unreadable rather than half read.
    for (std::size_t cut = 8; cut < ILOC_V1.size(); ++cut)
        EXPECT_FALSE(b::readIloc(tg::Bytes(ILOC_V1).subspan(8, cut - 8))) << cut;
    b::Iloc v0;
    v0.items.push_back({.itemId = 1, .method = 1, .extents = {}}); // v0 has no method field
    b::BoxWriter w;
    b::writeIloc(w, v0);
    EXPECT_FALSE(w.ok());
}

} // namespace

// The typed HEIF boxes on bytes built here: each parses and writes back byte for byte, and a box
// that does not hold together is refused before anything is allocated from its counts.
#include "image/heif_boxes.h"
#include "image/heif_fixtures.h"

#include <gtest/gtest.h>

#include <string>

namespace {

namespace h = tg::heif;
using Bytes = std::vector<std::uint8_t>;

using heiftest::atom, heiftest::fullBox, heiftest::cat, heiftest::text;
Bytes u16(std::uint64_t v) {
    return heiftest::be(v, 2);
}
Bytes u32(std::uint64_t v) {
    return heiftest::be(v, 4);
}

const Bytes INFE_HVC1 = fullBox("infe", 2, 1, cat({u16(1), u16(0), text("hvc1"), {0}}));
const Bytes INFE_XMP =
    fullBox("infe", 3, 0,
            cat({u32(70000), u16(0), text("mime"), text({"XMP\0application/rdf+xml\0", 24})}));
const Bytes NCLX = atom("colr", cat({text("nclx"), u16(1), u16(13), u16(6), {0x80}}));
const Bytes ISPE = fullBox("ispe", 0, 0, cat({u32(64), u32(48)}));
const Bytes IPMA_NARROW =
    fullBox("ipma", 0, 0, cat({u32(2), u16(1), {2, 0x81, 0x02}, u16(2), {1, 0x02}}));
const Bytes IINF = fullBox("iinf", 0, 0, cat({u16(2), INFE_HVC1, INFE_XMP}));
const Bytes ILOC_V0 =
    fullBox("iloc", 0, 0, cat({{0x44, 0x00}, u16(1), u16(1), u16(0), u16(1), u32(400), u32(9)}));
const Bytes IPRP = atom("iprp", cat({atom("ipco", cat({NCLX, ISPE})), IPMA_NARROW}));

// Each box parses and is written back byte for byte, or is refused whole.
TEST(HeifBoxes, WrittenBackByteForByteOrRefused) {
    struct Case {
        const char* name;
        Bytes box;
        bool ok = true;
    };
    const Case cases[] = {
        {"pitm v0", fullBox("pitm", 0, 0, u16(1))},
        {"pitm v1", fullBox("pitm", 1, 0, u32(70000))},
        {"infe v2 hidden", INFE_HVC1},
        {"infe v3 mime", INFE_XMP},
        {"infe v0 kept raw", fullBox("infe", 0, 0, cat({u16(3), u16(0), text({"a\0b\0", 4})}))},
        {"iinf", IINF},
        {"iref v0", fullBox("iref", 0, 0,
                            cat({atom("dimg", cat({u16(2), u16(2), u16(1), u16(3)})),
                                 atom("thmb", cat({u16(4), u16(1), u16(2)}))}))},
        {"iref v1", fullBox("iref", 1, 0, atom("cdsc", cat({u32(70000), u16(1), u32(1)})))},
        {"ipma v0", IPMA_NARROW},
        {"ipma v1 wide",
         fullBox("ipma", 1, 1, cat({u32(1), u32(70000), {2}, u16(0x8000 | 300), u16(5)}))},
        {"grpl",
         atom("grpl", fullBox("altr", 0, 0, cat({u32(9), u32(2), u32(1), u32(2), {7, 7}})))},
        {"iprp", IPRP},
        {"meta", fullBox("meta", 0, 0,
                         cat({fullBox("hdlr", 0, 0, cat({u32(0), text("pict"), Bytes(12, 0), {0}})),
                              fullBox("pitm", 0, 0, u16(1)), IINF, ILOC_V0, IPRP,
                              atom("idat", {1, 2, 3}), atom("dinf", {9, 9})}))},

        {"iloc field size 2", fullBox("iloc", 0, 0, cat({{0x24, 0x00}, u16(0)})), false},
        {"iloc construction method 3",
         fullBox("iloc", 1, 0, cat({{0x44, 0x00}, u16(1), u16(1), u16(3), u16(0), u16(0)})), false},
        {"ipma count past the end", fullBox("ipma", 0, 0, u32(0xFFFFFFFF)), false},
        {"ipma associations cut", fullBox("ipma", 0, 0, cat({u32(1), u16(1), {5, 1}})), false},
        {"iref list past the box", fullBox("iref", 0, 0, atom("dimg", cat({u16(2), u16(7)}))),
         false},
        {"iinf count not the boxes", fullBox("iinf", 0, 0, cat({u16(3), INFE_HVC1})), false},
        {"child past its parent", fullBox("iinf", 0, 0, cat({u16(1), u32(99), text("infe")})),
         false},
        {"two pitm",
         fullBox("meta", 0, 0, cat({fullBox("pitm", 0, 0, u16(1)), fullBox("pitm", 0, 0, u16(2))})),
         false},
        {"grpl entities past the end",
         atom("grpl", fullBox("altr", 0, 0, cat({u32(1), u32(1000)}))), false},
        {"pitm cut", fullBox("pitm", 1, 0, u16(1)), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto out = h::rewriteBox(c.box);
        ASSERT_EQ(out.has_value(), c.ok);
        if (out) {
            EXPECT_EQ(*out, c.box);
        }
    }
}

// Found by the fuzzer: a last property of size 0 ("to the end") swallowed the profile added
// after it. A box kept as bytes has its size written out.
TEST(HeifBoxes, BoxRunningToTheEndGetsItsSize) {
    const Bytes toEnd = cat({u32(0), text("zzzz"), {1, 2, 3}});
    auto iprp = h::readIprp(atom("ipco", cat({ISPE, toEnd})));
    ASSERT_TRUE(iprp);
    iprp->ipco.push_back({h::fourcc("colr"), NCLX});
    h::Writer w;
    write(w, *iprp);
    const Bytes out = w.take();
    const auto again = h::readIprp(Bytes(out.begin() + 8, out.end()));
    ASSERT_TRUE(again);
    ASSERT_EQ(again->ipco.size(), 3u);
    EXPECT_EQ(again->ipco[1].box, cat({u32(11), text("zzzz"), {1, 2, 3}}));
    EXPECT_EQ(again->ipco[2].box, NCLX);
}

} // namespace

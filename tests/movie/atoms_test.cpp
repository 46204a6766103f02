#include "movie/atoms.h"

#include "atom_builder.h"
#include "fixtures/media.h"

#include <gtest/gtest.h>

using namespace tg;
using namespace tgtest;

TEST(ByteReaders, ReadAndWriteBigEndianInsideTheBuffer) {
    Blob b = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};
    EXPECT_EQ(u16(b, 7), 0x0809);
    EXPECT_EQ(u32(b, 1), 0x02030405u);
    EXPECT_EQ(u64(b, 1), 0x0203040506070809ull);
    wU32(b, 0, 0xAABBCCDD);
    wU64(b, 1, 0x1122334455667788ull);
    EXPECT_EQ(b, (Blob{0xAA, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}));
    // Out of range never leaves the buffer, whatever the offset.
    EXPECT_EQ(u64(b, 2), 0u);
    EXPECT_EQ(u32(b, UINT64_MAX - 1), 0u);
    wU32(b, 8, 0);
    EXPECT_EQ(b[8], 0x88);
    EXPECT_EQ(atomType(text("moov"), 0), "moov");
    EXPECT_EQ(atomType(Blob{0xA9, 'n', 'a', 'm'}, 0), "");
    EXPECT_EQ(atomType(text("moo"), 0), "");
}

TEST(ChildAtoms, ListsAtomsBackToBackAndStopsAtTheFirstMalformedHeader) {
    Blob d = cat({atom("ftyp", Blob(12, 0)), atom("free", Blob{}), be32(4), text("junk"),
                  atom("moov", Blob(8, 0))});
    auto atoms = childAtoms(d, 0, d.size());
    ASSERT_EQ(atoms.size(), 2u); // size 4 ends the list; moov behind it is never seen
    EXPECT_EQ(atoms[0].typ, "ftyp");
    EXPECT_EQ(atoms[0].size, 20u);
    EXPECT_EQ(atoms[1].p, 20u);
    EXPECT_EQ(atoms[1].hs, 8u);
}

TEST(ChildAtoms, SizeZeroRunsToTheEndOfTheRangeAndSizeOneReadsTheLargeSize) {
    Blob d = cat({atom("skip", Blob(4, 0), true), be32(0), text("mdat"), Blob(10, 7)});
    auto atoms = childAtoms(d, 0, d.size());
    ASSERT_EQ(atoms.size(), 2u);
    EXPECT_EQ(atoms[0].hs, 16u);
    EXPECT_EQ(atoms[0].size, 20u);
    EXPECT_EQ(atoms[1].typ, "mdat");
    EXPECT_EQ(atoms[1].size, 18u);
    // A range ending inside a 64-bit header, a large size of 2^63 or below 16: nothing listed.
    Blob huge = cat({be32(1), text("mdat"), Blob{0x80, 0, 0, 0, 0, 0, 0, 0}});
    EXPECT_TRUE(childAtoms(huge, 0, huge.size()).empty());
    EXPECT_TRUE(childAtoms(huge, 0, 15).empty());
    Blob small = cat({be32(1), text("mdat"), Blob{0, 0, 0, 0, 0, 0, 0, 15}});
    EXPECT_TRUE(childAtoms(small, 0, small.size()).empty());
}

TEST(ChildAtoms, ExactRangesAndForeignTypes) {
    Blob one = atom("free", Blob{});
    EXPECT_EQ(childAtoms(one, 0, 8).size(), 1u);
    EXPECT_TRUE(childAtoms(one, 0, 7).empty());
    EXPECT_TRUE(childAtoms(one, 5, 3).empty());              // start behind end
    EXPECT_TRUE(childAtoms(one, 0, one.size() + 1).empty()); // range outside the array
    Blob meta = cat({be32(12), Blob{0xA9, 'n', 'a', 'm'}, Blob(4, 0)});
    auto atoms = childAtoms(meta, 0, meta.size());
    ASSERT_EQ(atoms.size(), 1u);
    EXPECT_EQ(atoms[0].typ, "");
    // An atom claiming more than the range holds is not listed.
    Blob overlong = cat({be32(100), text("trak"), Blob(8, 0)});
    EXPECT_TRUE(childAtoms(overlong, 0, overlong.size()).empty());
}

TEST(FindColr, ScansBytesForNclcAndNclxWithTheWholeCodeWindowInside) {
    Blob hit = cat({text("colrnclx"), Blob{0, 12, 0, 1, 0, 1}});
    auto found = findColr(hit);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].off, 8u);
    EXPECT_EQ(found[0].prim, 12);
    EXPECT_EQ(found[0].trc, 1);
    EXPECT_TRUE(findColr(Blob(hit.begin(), hit.end() - 1)).empty());
    Blob mixed = cat({Blob(3, 0), colr("nclc", 1, 1), colr("prof", 1, 1), colr("nclx", 9, 16)});
    found = findColr(mixed);
    ASSERT_EQ(found.size(), 2u); // the ICC kind is ignored
    EXPECT_EQ(found[0].off, 3u + 12);
    EXPECT_EQ(found[1].prim, 9);
    EXPECT_EQ(found[1].trc, 16);
    EXPECT_TRUE(findColr(Blob{}).empty());
}

class FindMoov : public ::testing::Test {
protected:
    std::optional<MoovPayload> on(const Blob& bytes) {
        auto path = dir / "m.mov";
        writeBytes(path, bytes);
        auto h = FileHandle::openForReading(path);
        return findMoov(h, bytes.size());
    }
    TempDir dir;
};

TEST_F(FindMoov, FindsTheFirstTopLevelMoovThroughARealFile) {
    auto m = on(cat({atom("ftyp", Blob(12, 0)), atom("moov", Blob(992, 0))}));
    ASSERT_TRUE(m);
    EXPECT_EQ(m->start, 28u);
    EXPECT_EQ(m->length, 992u);
    m = on(atom("moov", Blob(984, 0), true));
    ASSERT_TRUE(m);
    EXPECT_EQ(m->start, 16u);
    EXPECT_EQ(m->length, 984u);
    // moov with size 0 runs to the end of the file.
    m = on(cat({atom("free", Blob(4, 0)), be32(0), text("moov"), Blob(20, 0)}));
    ASSERT_TRUE(m);
    EXPECT_EQ(m->start, 20u);
    EXPECT_EQ(m->length, 20u);
    // A truncated file still reports the declared length.
    m = on(cat({be32(5000), text("moov"), Blob(20, 0)}));
    ASSERT_TRUE(m);
    EXPECT_EQ(m->length, 4992u);
}

TEST_F(FindMoov, MalformedTopLevelHeadersMeanNoMoov) {
    Blob moov = atom("moov", Blob(8, 0));
    EXPECT_FALSE(on(cat({be32(0), text("mdat"), Blob(8, 0), moov})));
    EXPECT_FALSE(on(cat({be32(4), text("mdat"), moov})));
    EXPECT_FALSE(on(cat({be32(1), text("mdat"), Blob(4, 0)}))); // large size cut short
    EXPECT_FALSE(on(Blob(7, 0)));
    EXPECT_FALSE(on(cat({atom("free", Blob{}), Blob(7, 0)}))); // 7-byte remainder
    // 2^63 and more cannot be a size; the walk must neither crash nor wrap to an earlier offset.
    EXPECT_FALSE(on(cat({be32(1), text("mdat"), Blob{0x80, 0, 0, 0, 0, 0, 0, 0}, moov})));
    EXPECT_FALSE(on(cat({be32(1), text("mdat"), Blob(8, 0xFF), moov})));
    Blob wrap = cat({be32(1), text("free"), Blob{0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0}});
    EXPECT_FALSE(on(cat({wrap, moov})));
}

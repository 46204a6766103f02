#include "movie/insertion_plan.h"

#include "atom_builder.h"

#include <gtest/gtest.h>

using namespace tg;
using namespace tgtest;

namespace {

std::uint64_t find(const Blob& d, const std::string& type, int nth = 0) {
    for (std::size_t i = 4; i + 4 <= d.size(); ++i)
        if (std::equal(type.begin(), type.end(), d.begin() + i) && nth-- == 0) return i - 4;
    ADD_FAILURE() << "no " << type;
    return 0;
}

InsertionPlan plan(const Blob& moov, std::uint64_t start = 1000, std::uint64_t hdr = 8) {
    return planInsertion(moov, hdr, moov.size(), start);
}

std::uint32_t sizeAt(const Blob& d, std::uint64_t p) {
    return u32(d, p);
}

} // namespace

TEST(InsertionPlan, InsertsAtTheEndOfTheVideoEntryAndGrowsItsSevenAncestorsInOrder) {
    Blob moov = atom(
        "moov",
        {atom("mvhd", Blob(100, 0)),
         track({stsd({sampleEntry("avc1", {atom("avcC", Blob(30, 1)), atom("pasp", Blob(8, 1))})}),
                atom("stsz", Blob(12, 0))})});
    auto p = plan(moov, 5000);
    ASSERT_EQ(p.kind, PlanKind::insert);
    auto entry = find(moov, "avc1");
    EXPECT_EQ(p.insertAt, entry + sizeAt(moov, entry));
    EXPECT_EQ(p.insertAt, find(moov, "pasp") + 16);
    std::vector<std::uint64_t> order = {0,
                                        entry,
                                        find(moov, "stsd"),
                                        find(moov, "trak"),
                                        find(moov, "mdia"),
                                        find(moov, "minf"),
                                        find(moov, "stbl")};
    ASSERT_EQ(p.sizeFixes.size(), order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        EXPECT_EQ(p.sizeFixes[i].absPos, 5000 + order[i]) << i;
        EXPECT_FALSE(p.sizeFixes[i].isLarge);
        EXPECT_EQ(p.sizeFixes[i].newSize, sizeAt(moov, order[i]) + 19u) << i;
    }
    EXPECT_TRUE(p.offsetFixes.empty());
}

TEST(InsertionPlan, OffsetsAtOrBehindTheInsertionPointMoveInEveryTrack) {
    // Sound first: its table is fixed too, though its entry is not tagged.
    Blob probe = atom("moov", {track({stsd({atom("mp4a", Blob(28, 0))}), stco({0, 0, 0})}),
                               track({stsd({sampleEntry("hvc1")}), co64({0})})});
    std::uint64_t insertAt = find(probe, "hvc1") + sizeAt(probe, find(probe, "hvc1"));
    std::uint64_t start = 100, insertAbs = start + insertAt;
    Blob moov =
        atom("moov", {track({stsd({atom("mp4a", Blob(28, 0))}),
                             stco({std::uint32_t(insertAbs - 1), std::uint32_t(insertAbs), 4096})}),
                      track({stsd({sampleEntry("hvc1")}), co64({insertAbs + 7})})});
    auto p = plan(moov, start);
    ASSERT_EQ(p.kind, PlanKind::insert);
    EXPECT_EQ(p.insertAt, insertAt);
    auto table = find(moov, "stco");
    ASSERT_EQ(p.offsetFixes.size(), 3u); // the entry one byte before the point stays
    EXPECT_EQ(p.offsetFixes[0].absPos, start + table + 20);
    EXPECT_EQ(p.offsetFixes[0].w, 4);
    EXPECT_EQ(p.offsetFixes[0].v, insertAbs + 19);
    EXPECT_EQ(p.offsetFixes[1].absPos, start + table + 24);
    EXPECT_EQ(p.offsetFixes[1].v, 4096u + 19);
    EXPECT_EQ(p.offsetFixes[2].absPos, start + find(moov, "co64") + 16);
    EXPECT_EQ(p.offsetFixes[2].w, 8);
    EXPECT_EQ(p.offsetFixes[2].v, insertAbs + 7 + 19);
}

TEST(InsertionPlan, ChoosesTheFirstEntryOfAVideoCodecCaseSensitively) {
    Blob jpegFirst = atom("moov", {track({stsd({sampleEntry("jpeg"), sampleEntry("avc1")})})});
    auto p = plan(jpegFirst);
    ASSERT_EQ(p.kind, PlanKind::insert);
    EXPECT_EQ(p.insertAt, find(jpegFirst, "avc1") + 86);
    EXPECT_EQ(plan(atom("moov", {track({stsd({sampleEntry("AVC1")})})})).kind, PlanKind::noVideo);
    EXPECT_EQ(plan(atom("moov", {track({stsd({atom("mp4a", Blob(28, 0))})})})).kind,
              PlanKind::noVideo);
    EXPECT_EQ(plan(atom("moov", Blob{})).kind, PlanKind::noVideo);
}

TEST(InsertionPlan, AnyColrInTheFirstVideoEntryMeansAlreadyTagged) {
    Blob moov = atom("moov", {track({stsd({sampleEntry("avc1", {colr("prof", 0, 0)})})}),
                              track({stsd({sampleEntry("avc1")})})});
    EXPECT_EQ(plan(moov).kind, PlanKind::alreadyTagged);
    // Fewer than 78 fixed bytes plus a header: no children, so the tag goes at its end.
    Blob shortEntry = atom("moov", {track({stsd({atom("avc1", Blob(80, 0))})})});
    auto p = plan(shortEntry);
    ASSERT_EQ(p.kind, PlanKind::insert);
    EXPECT_EQ(p.insertAt, find(shortEntry, "avc1") + 88);
}

TEST(InsertionPlan, LargeMoovHeaderIsWalkedFrom16AndFixedInItsLargeSize) {
    Blob moov = atom("moov", track({stsd({sampleEntry("avc1")})}), true);
    auto p = planInsertion(moov, 16, moov.size(), 0);
    ASSERT_EQ(p.kind, PlanKind::insert);
    ASSERT_EQ(p.sizeFixes.size(), 7u);
    EXPECT_TRUE(p.sizeFixes[0].isLarge);
    EXPECT_EQ(p.sizeFixes[0].newSize, moov.size() + 19);
}

TEST(InsertionPlan, OffsetTablesNeverReadPastThemselves) {
    // Count claims 1000 entries; only the two stored ones are fixed, not the stsz behind them.
    Blob moov = atom("moov", {track({stsd({sampleEntry("avc1")}), stco({5000, 6000}, 1000),
                                     atom("stsz", Blob(40, 0x10))})});
    auto p = plan(moov, 0);
    ASSERT_EQ(p.kind, PlanKind::insert);
    EXPECT_EQ(p.offsetFixes.size(), 2u);
    // Count 0, or a table too short to hold its count: an empty table.
    EXPECT_TRUE(plan(atom("moov", {track({stsd({sampleEntry("avc1")}), stco({}, 0)})}), 0)
                    .offsetFixes.empty());
    Blob cut = atom("moov", {track({stsd({sampleEntry("avc1")}), atom("stco", Blob(2, 0))})});
    EXPECT_TRUE(plan(cut, 0).offsetFixes.empty());
    // stco as the very last bytes of moov: its count would lie outside the buffer.
    Blob last = atom("moov", {track({stsd({sampleEntry("avc1")}), atom("stco", Blob{})})});
    EXPECT_TRUE(plan(last, 0).offsetFixes.empty());
}

TEST(InsertionPlan, RefusesWhenA32BitFieldWouldPass4GB) {
    EXPECT_EQ(
        plan(atom("moov", {track({stsd({sampleEntry("avc1")}), stco({0xFFFFFFF0u})})}), 0).kind,
        PlanKind::tooLarge);
    auto fine = plan(atom("moov", {track({stsd({sampleEntry("avc1")}), stco({0xFFFFFFECu})})}), 0);
    ASSERT_EQ(fine.kind, PlanKind::insert);
    EXPECT_EQ(fine.offsetFixes[0].v, 0xFFFFFFFFu);
    // A co64 entry passes 4 GB freely.
    auto wide = plan(atom("moov", {track({stsd({sampleEntry("avc1")}), co64({0xFFFFFFF0u})})}), 0);
    ASSERT_EQ(wide.kind, PlanKind::insert);
    EXPECT_EQ(wide.offsetFixes[0].v, 0xFFFFFFF0ull + 19);
    // A 32-bit atom size just under 4 GB (moov declares it; the buffer need not hold it).
    Blob moov = atom("moov", {track({stsd({sampleEntry("avc1")})})});
    wU32(moov, 0, 0xFFFFFFF0u);
    EXPECT_EQ(plan(moov, 0).kind, PlanKind::tooLarge);
}

TEST(InsertionPlan, RefusesFragmentsAndItemLocationsButFixesAuxiliaryOffsets) {
    Blob frag = atom("moov", {track({stsd({sampleEntry("avc1")})}), atom("mvex", Blob(8, 0))});
    EXPECT_EQ(plan(frag).kind, PlanKind::fragmented);
    Blob items = atom("moov", {track({stsd({sampleEntry("avc1")})}),
                               atom("meta", {be32(0), atom("iloc", Blob(8, 0))})});
    EXPECT_EQ(plan(items).kind, PlanKind::foreignOffsets);
    // saio version 0 with aux-info type: two flags words skipped, one 32-bit offset.
    Blob saio = atom("saio", cat({be32(1), text("cenc"), be32(0), be32(1), be32(7000)}));
    Blob moov = atom("moov", {track({stsd({sampleEntry("avc1")}), saio})});
    auto p = plan(moov, 0);
    ASSERT_EQ(p.kind, PlanKind::insert);
    ASSERT_EQ(p.offsetFixes.size(), 1u);
    EXPECT_EQ(p.offsetFixes[0].absPos, find(moov, "saio") + 24);
    EXPECT_EQ(p.offsetFixes[0].v, 7019u);
    // Already tagged or sound-only fragmented movies are reported as such, not refused.
    Blob soundFrag =
        atom("moov", {track({stsd({atom("mp4a", Blob(28, 0))})}), atom("mvex", Blob(8, 0))});
    EXPECT_EQ(plan(soundFrag).kind, PlanKind::noVideo);
}

TEST(InsertionPlan, HostileNestingIsRefusedWithoutExhaustingTheStack) {
    Blob inner = stsd({sampleEntry("avc1")});
    for (int i = 0; i < 5000; ++i)
        inner = atom("trak", inner);
    auto p = plan(atom("moov", inner));
    EXPECT_EQ(p.kind, PlanKind::foreignOffsets);
}

// Copies, bakes and photo tags stopped at every operation of the file layer, as a kill or a power
// cut would stop them. After each stop the original is as it was (or, where the run tags it in
// place first, already the finished one), the final name holds the earlier output or the finished
// one and never a part, and the next run makes exactly what an uninterrupted run makes, leaving
// nothing hidden behind. (The bake helper's own writes go to the hidden file only; it is killed
// mid-encode in the CLI tests.)
#include "fixtures/media.h"
#include "fixtures/stops.h"
#include "pipeline/driver.h"

#include <gtest/gtest.h>

namespace {

using namespace tgtest;
using tg::TGMode;

struct StopCase {
    const char* name;
    const char* source; // file name in the folder
    TGMode mode;
    const char* output;      // the name the run writes: the copy, or the source itself
    bool tagsSource = false; // a separate output, after the source is tagged in place
};
void PrintTo(const StopCase& c, std::ostream* os) {
    *os << c.name;
}

class StopEveryWrite : public ::testing::TestWithParam<StopCase> {};

TEST_P(StopEveryWrite, LeavesTheOldOrTheNewAndTheNextRunFinishes) {
    const StopCase& c = GetParam();
    const fs::path pristine =
        clip(fs::path(c.source).extension() == ".mov" ? "bt709.mov" : "photo.jpg");
    const auto original = readBytes(pristine);
    const bool copying = c.mode != TGMode::inPlace;

    // The uninterrupted run: what every stopped one must end as, and how many operations it has.
    TempDir reference;
    fs::copy_file(pristine, reference / c.source);
    int ops = 0;
    tg::FileFaults counting;
    counting.after = [&](tg::FileOp) { ++ops; };
    tg::setFileFaults(counting);
    const auto r = tg::processOne(reference / c.source, c.mode);
    tg::setFileFaults({});
    ASSERT_NE(r.outcome, tg::TGOutcome::error) << r.message;
    ASSERT_GT(ops, 1);
    const auto finished = readBytes(reference / c.output);
    const auto finishedSource = readBytes(reference / c.source);
    ASSERT_NE(finished, original);
    ASSERT_EQ(finishedSource != original, c.tagsSource || !copying);

    for (int stop = 0; stop < ops; ++stop) {
        SCOPED_TRACE("stopped before operation " + std::to_string(stop));
        TempDir dir;
        fs::copy_file(pristine, dir / c.source);
        if (copying) writeBytes(dir / c.output, EARLIER);
        EXPECT_TRUE(runStoppedAt(stop, [&] { tg::processOne(dir / c.source, c.mode); }));

        const auto output = readBytes(dir / c.output);
        if (copying) {
            // A source stopped mid-tag holds a journaled edit the next run finishes (the movie
            // tests stop that edit at every write); one not being tagged is untouched.
            const auto source = readBytes(dir / c.source);
            if (!c.tagsSource) {
                EXPECT_EQ(source, original);
            }
            EXPECT_TRUE(output == EARLIER || output == finished);
        } else {
            EXPECT_TRUE(output == original || output == finished);
        }

        const auto next = tg::processOne(dir / c.source, c.mode);
        EXPECT_NE(next.outcome, tg::TGOutcome::error) << next.message;
        EXPECT_EQ(readBytes(dir / c.output), finished);
        EXPECT_EQ(readBytes(dir / c.source), finishedSource);
        EXPECT_EQ(namesStartingWith(dir.path(), "."), std::vector<fs::path>());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, StopEveryWrite,
    ::testing::Values(StopCase{"movie_copy", "clip.mov", TGMode::p3Copy, "clip_P3.mov"},
                      StopCase{"movie_bake", "clip.mov", TGMode::bake, "clip_universal.mov", true},
                      StopCase{"photo_copy", "photo.jpg", TGMode::p3Copy, "photo_P3.jpg"},
                      StopCase{"photo_in_place", "photo.jpg", TGMode::inPlace, "photo.jpg"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace

// A photo is replaced only by a finished copy of what was read: another program still writing
// it, another run tagging it at the same time, or a sweep of leftovers must not cost a byte.
#include "base/file_faults.h"
#include "base/work_file.h"
#include "image/image_fixtures.h"
#include "image/image_tagger.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

namespace {

using namespace imgtest;

TEST(PhotoGuard, APhotoWrittenToWhileItIsTaggedIsLeftAsItIs) {
    TempDir dir;
    const auto file = placed("photo.jpg", dir.path(), "growing.jpg");
    const auto before = readBytes(file);
    // The other program appends while our hidden copy is being written.
    tg::FileFaults faults;
    faults.after = [&](tg::FileOp op) {
        if (op != tg::FileOp::write) return;
        std::ofstream(file, std::ios::app) << "more of the picture";
    };
    tg::setFileFaults(faults);
    const auto r = tg::processImageCore(file);
    tg::setFileFaults({});
    EXPECT_EQ(r.outcome, tg::TGOutcome::error);
    EXPECT_NE(r.message.find("Changed by another program"), std::string::npos) << r.message;
    auto now = readBytes(file);
    ASSERT_GT(now.size(), before.size());
    now.resize(before.size());
    EXPECT_EQ(now, before);
    EXPECT_TRUE(leftovers(dir.path()).empty());
}

TEST(PhotoGuard, TenRunsAtOnceLeaveOneWholeTaggedPhoto) {
    TempDir dir;
    const auto file = placed("photo.png", dir.path(), "shared.png");
    const auto pixels = [](const fs::path& f) { return run("convert " + sh(f) + " rgba:-").out; };
    const std::string original = pixels(file);
    std::vector<tg::TGResult> results(10, tg::TGResult("", tg::TGOutcome::error, ""));
    std::vector<std::thread> runs;
    for (auto& r : results)
        runs.emplace_back([&r, &file] { r = tg::processImageCore(file); });
    for (auto& t : runs)
        t.join();
    int tagged = 0;
    for (const auto& r : results) {
        tagged += r.outcome == tg::TGOutcome::fixed;
        // Each run tags, finds the tag, or is turned away while another holds the photo.
        EXPECT_TRUE(r.outcome != tg::TGOutcome::error || r.message == tg::IN_USE_MESSAGE ||
                    r.message.starts_with("Changed by another program"))
            << r.message;
    }
    EXPECT_GE(tagged, 1);
    EXPECT_EQ(exif(file).value("ProfileDescription", ""), "Display P3");
    EXPECT_EQ(pixels(file), original);
    EXPECT_TRUE(leftovers(dir.path()).empty());
}

// A copy is tagged under its hidden name: the tagger's new file takes that name, and must stay
// marked live until the copy is renamed, or another run's sweep would take it.
TEST(PhotoGuard, TheTaggedFileKeepsItsLiveMarkForTheCaller) {
    TempDir dir;
    const auto file = placed("photo.jpg", dir.path(), ".tg_copy_0000.jpg");
    tg::FileHandle committed;
    const auto r = tg::processImageCore(file, &committed);
    ASSERT_EQ(r.outcome, tg::TGOutcome::fixed) << r.message;
    ASSERT_TRUE(committed.isOpen());
    EXPECT_FALSE(tg::removeIfAbandoned(file));
    EXPECT_TRUE(fs::exists(file));
    committed.reset();
    EXPECT_TRUE(tg::removeIfAbandoned(file));
}

} // namespace

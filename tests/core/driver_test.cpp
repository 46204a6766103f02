#include "core/driver.h"

#include "fixtures/media.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace tg;
using tgtest::TempDir;

TEST(ProcessOne, UnsupportedFilesAreSkippedInEveryModeWithoutTouchingThem) {
    for (auto mode : {TGMode::inPlace, TGMode::p3Copy, TGMode::bake}) {
        for (std::string name : {"notes.txt", "README", "clip.mov "}) {
            auto r = processOne("/nonexistent/" + name, mode);
            EXPECT_EQ(r.name(), name);
            EXPECT_EQ(r.outcome, TGOutcome::skipped);
            EXPECT_EQ(r.message, "Skipped (unsupported)");
            EXPECT_FALSE(r.produced);
        }
    }
}

TEST(ProcessOne, CopyNameKeepsTheExtensionAsWritten) {
    EXPECT_EQ(p3CopyPath("/m/Clip.MOV"), "/m/Clip_P3.MOV");
    EXPECT_EQ(p3CopyPath("/m/photo.HEIC"), "/m/photo_P3.HEIC");
    EXPECT_EQ(p3CopyPath("/m/my.clip.mp4"), "/m/my.clip_P3.mp4");
}

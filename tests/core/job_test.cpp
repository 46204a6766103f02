#include "core/job.h"

#include <gtest/gtest.h>

using namespace tg;

TEST(Job, ResultsStartWithoutAProducedFile) {
    TGResult r("a.mov", TGOutcome::fixed, "Fixed");
    EXPECT_EQ(r.name(), "a.mov");
    EXPECT_FALSE(r.produced.has_value());
    r.outcome = TGOutcome::error;
    r.message = "x";
    r.produced = "/tmp/a.mov";
    EXPECT_EQ(r.name(), "a.mov");
}

TEST(Job, ExtensionSetsHoldLowerCaseNamesWithoutDots) {
    EXPECT_TRUE(VIDEO_EXTS.contains("mov"));
    EXPECT_FALSE(VIDEO_EXTS.contains("MOV"));
    EXPECT_FALSE(VIDEO_EXTS.contains(".mov"));
    EXPECT_EQ(VIDEO_EXTS.size(), 3u);
    EXPECT_EQ(IMAGE_EXTS.size(), 7u);
}

TEST(Job, ClassifiesByLowerCasedExtensionOnly) {
    EXPECT_TRUE(isMovie("/x/Clip.MOV"));
    EXPECT_TRUE(isMovie("clip.m4v"));
    EXPECT_TRUE(isImage("/x/photo.HEIC"));
    EXPECT_TRUE(isImage("scan.Tif"));
    EXPECT_FALSE(isMovie("clip.mov "));
    EXPECT_FALSE(isMovie("mov"));
    EXPECT_FALSE(isImage("notes.txt"));
    EXPECT_EQ(extensionOf("/a/Clip.MOV"), "MOV");
    EXPECT_EQ(extensionOf("/a/README"), "");
}

#include "cli/report.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace tg;
using namespace tg::cli;

TEST(CliReport, ModesRunCopyThenBakeThenInPlace) {
    using V = std::vector<TGMode>;
    EXPECT_EQ(orderedModes(false, false, false), V{TGMode::p3Copy});
    EXPECT_EQ(orderedModes(true, false, false), V{TGMode::inPlace});
    EXPECT_EQ(orderedModes(true, false, true), (V{TGMode::bake, TGMode::inPlace}));
    EXPECT_EQ(orderedModes(true, true, true), (V{TGMode::p3Copy, TGMode::bake, TGMode::inPlace}));
}

TEST(CliReport, LinesMatchTheResultList) {
    EXPECT_EQ(fileLine("Clip.mov"), "•  Clip.mov");
    EXPECT_EQ(modeLine({"Clip.mov", TGOutcome::fixed, "Fixed → Display-P3"}),
              "     ✓  Fixed → Display-P3");
    EXPECT_EQ(modeLine({"a", TGOutcome::error, "x"}), "     ✕  x");
    EXPECT_EQ(modeLine({"a", TGOutcome::hdr, "x"}), "     —  x");
    EXPECT_EQ(modeLine({"a", TGOutcome::already, "x"}), "     •  x");
    EXPECT_EQ(encodingText(0.426), "encoding…  42%");
    EXPECT_EQ(encodingText(1.0), "encoding…  100%");
}

TEST(CliReport, JsonCarriesEveryFieldAndSurvivesBadUtf8) {
    TGResult r("Clip.mov", TGOutcome::added, "No tag found — added Display-P3", "/m/Clip.mov");
    auto j = nlohmann::json::parse(jsonLine("m/Clip.mov", TGMode::inPlace, r));
    EXPECT_EQ(j["file"], "m/Clip.mov");
    EXPECT_EQ(j["name"], "Clip.mov");
    EXPECT_EQ(j["mode"], "inPlace");
    EXPECT_EQ(j["outcome"], "added");
    EXPECT_EQ(j["message"], "No tag found — added Display-P3");
    EXPECT_EQ(j["produced"], "/m/Clip.mov");

    TGResult bad("\xff.mov", TGOutcome::skipped, "Skipped (unsupported)");
    auto k = nlohmann::json::parse(jsonLine("\xff.mov", TGMode::bake, bad));
    EXPECT_TRUE(k["produced"].is_null());
    EXPECT_EQ(k["mode"], "bake");
}

// The settings and progress rules, with made-up source values.
#include "bake/encode_settings.h"
#include "bake_media.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

using namespace tg::bake;
using ::testing::DoubleEq;
using ::testing::ElementsAre;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();
constexpr std::uint32_t HVC1 = 'h' | 'v' << 8 | 'c' << 16 | std::uint32_t('1') << 24;
constexpr std::uint32_t HEV1 = 'h' | 'e' << 8 | 'v' << 16 | std::uint32_t('1') << 24;

TEST(BakeSettings, RatesFollowTheSourceOrFallBack) {
    auto s = deriveSettings({1'000'000.7, 29.97, 1920, 1080, 0});
    EXPECT_EQ(s.bitRate, 1'000'000); // truncated
    EXPECT_EQ(s.expectedFrameRate, 29);
    EXPECT_EQ(s.keyFrameInterval, 59);
    EXPECT_EQ(s.width, 1920);
    EXPECT_EQ(s.height, 1080);

    for (double unusable : {0.0, -5.0, NaN, Inf}) {
        auto d = deriveSettings({unusable, unusable, 64, 48, 0});
        EXPECT_EQ(d.bitRate, 20'000'000) << unusable;
        EXPECT_EQ(d.expectedFrameRate, 30) << unusable;
        EXPECT_EQ(d.keyFrameInterval, 60) << unusable;
    }
    // Twice the rate is summed in single precision before it is cut.
    EXPECT_EQ(deriveSettings({1, 23.976, 2, 2, 0}).keyFrameInterval, 47);
    EXPECT_EQ(deriveSettings({1, 59.94, 2, 2, 0}).keyFrameInterval, 119);
    EXPECT_EQ(deriveSettings({1, 25, 2, 2, 0}).keyFrameInterval, 50);
}

TEST(BakeSettings, SizeIsTheCodedOneAndOnlyHvc1GivesHevc) {
    auto s = deriveSettings({1e6, 30, -1080, 1920, HVC1});
    EXPECT_EQ(s.width, 1080);
    EXPECT_EQ(s.height, 1920);
    EXPECT_EQ(s.codec, VideoCodec::hevc);
    EXPECT_EQ(deriveSettings({1e6, 30, 2, 2, HEV1}).codec, VideoCodec::h264);
    EXPECT_EQ(deriveSettings({1e6, 30, 2, 2, 0}).codec, VideoCodec::h264);
}

TEST(BakeSettings, DataRateFromStreamElseSampleBytesOverDuration) {
    EXPECT_EQ(dataRateOf(5'000'000, 999, 1.0), 5'000'000);
    EXPECT_EQ(dataRateOf(0, 1'000'000, 2.0), 4'000'000);
    EXPECT_EQ(dataRateOf(0, 1'000'000, 0.0), 0);
    EXPECT_EQ(dataRateOf(0, 1'000'000, NaN), 0);
    EXPECT_EQ(dataRateOf(0, 0, 2.0), 0);
    // No usable rate at all ends at the default.
    EXPECT_EQ(deriveSettings({dataRateOf(0, 0, NaN), 30, 2, 2, 0}).bitRate, 20'000'000);
}

TEST(BakeSettings, ContainerByLowerCasedExtension) {
    EXPECT_TRUE(isQuickTimeDestination("/a/Clip_universal.mov"));
    EXPECT_TRUE(isQuickTimeDestination("/a/Clip_universal.MOV"));
    EXPECT_TRUE(isQuickTimeDestination("/a/Clip_universal.MoV"));
    EXPECT_FALSE(isQuickTimeDestination("/a/Clip_universal.mp4"));
    EXPECT_FALSE(isQuickTimeDestination("/a/Clip_universal.M4V"));
    EXPECT_FALSE(isQuickTimeDestination("/a/mov"));
}

TEST(BakeSettings, ColourConversionTakesTheContainerTag) {
    auto p3 = colourFilterOptions({12, 1, 1, 1});
    ASSERT_TRUE(p3);
    EXPECT_NE(p3->find("iprimaries=12:itrc=1:ispace=1:irange=tv"), std::string::npos) << *p3;
    EXPECT_NE(p3->find("all=bt709"), std::string::npos);
    EXPECT_NE(p3->find("format=yuv420p"), std::string::npos);
    // Unspecified says BT.709.
    auto none = colourFilterOptions({2, 2, 2, 0});
    ASSERT_TRUE(none);
    EXPECT_NE(none->find("iprimaries=1:itrc=1:ispace=1:irange=tv"), std::string::npos) << *none;
    EXPECT_NE(colourFilterOptions({12, 13, 6, 2})->find("irange=pc"), std::string::npos);
    // Perceptual quantiser and HLG are beyond the converter: no graph rather than wrong colours.
    EXPECT_FALSE(colourFilterOptions({9, 16, 9, 1}));
    EXPECT_FALSE(colourFilterOptions({9, 18, 9, 1}));
    EXPECT_FALSE(colourFilterOptions({1, 1, 14, 1}));
}

struct Recorder {
    std::vector<double> calls;
    std::function<void(double)> fn() {
        return [this](double f) { calls.push_back(f); };
    }
};

TEST(BakeProgress, OneCallPerWholePercentWithTheFraction) {
    Recorder r;
    ProgressGate gate(r.fn(), 10.0);
    for (double t : {0.0, 0.01, 0.05, 0.1, 0.11, 5.0, 9.99, 10.0, 12.0})
        gate.frameAt(t);
    // 0 %, 1 % (0.1 s), 50 %, 99 %, 100 % (10 s, 12 s clamped and equal).
    EXPECT_THAT(r.calls, ElementsAre(DoubleEq(0.0), DoubleEq(0.01), DoubleEq(0.5), DoubleEq(0.999),
                                     DoubleEq(1.0)));
}

TEST(BakeProgress, NothingForBadTimesOrWithoutDuration) {
    Recorder r;
    ProgressGate gate(r.fn(), 4.0);
    for (double t : {-0.5, NaN, Inf, -Inf})
        gate.frameAt(t);
    EXPECT_TRUE(r.calls.empty());
    gate.frameAt(-0.0); // negative zero is not negative
    EXPECT_EQ(r.calls, (std::vector<double>{0.0}));

    for (double duration : {0.0, NaN, -1.0}) {
        Recorder none;
        ProgressGate silent(none.fn(), duration);
        for (double t : {0.0, 1.0, 2.0})
            silent.frameAt(t);
        EXPECT_TRUE(none.calls.empty()) << duration;
    }
    ProgressGate noCallback({}, 4.0);
    noCallback.frameAt(1.0); // must simply do nothing
}

TEST(BakeProgress, RepeatedPercentAfterBackwardsTimeIsStillOneCallPerChange) {
    Recorder r;
    ProgressGate gate(r.fn(), 1.0);
    for (double t : {0.2, 0.205, 0.1, 0.2})
        gate.frameAt(t);
    EXPECT_THAT(r.calls, ElementsAre(DoubleEq(0.2), DoubleEq(0.1), DoubleEq(0.2)));
}

// The colour-difference oracle of the colour test, against Sharma, Wu and Dalal's published
// CIEDE2000 test data.
TEST(BakeOracle, DeltaE2000MatchesPublishedPairs) {
    using tgtest::bake::deltaE2000;
    EXPECT_NEAR(deltaE2000({50, 2.6772, -79.7751}, {50, 0, -82.7485}), 2.0425, 1e-4);
    EXPECT_NEAR(deltaE2000({50, -1.3802, -84.2814}, {50, 0, -82.7485}), 1.0000, 1e-4);
    EXPECT_NEAR(deltaE2000({50, 2.5, 0}, {73, 25, -18}), 27.1492, 1e-4);
    EXPECT_NEAR(deltaE2000({60.2574, -34.0099, 36.2677}, {60.4626, -34.1751, 39.4387}), 1.2644,
                1e-4);
    EXPECT_NEAR(deltaE2000({22.7233, 20.0904, -46.694}, {23.0331, 14.973, -42.5619}), 2.0373, 1e-4);
}

} // namespace

// The web bake's settings and progress rules, with made-up values.
#include "bake/encode_settings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <numbers>
#include <tuple>

namespace {

using namespace tg::bake;

const double NaN = std::nan(""), Inf = INFINITY;
// Codec tags as FFmpeg keeps them: the first letter in the lowest byte.
constexpr std::uint32_t HVC1 = 'h' | 'v' << 8 | 'c' << 16 | std::uint32_t('1') << 24;
constexpr std::uint32_t HEV1 = 'h' | 'e' << 8 | 'v' << 16 | std::uint32_t('1') << 24;

TEST(BakeSettings, FollowTheSourceElseTheDefaults) {
    // Data rate, frame rate and codec tag; then bit rate, frame rate, key-frame interval, codec.
    using Settings = std::tuple<std::int64_t, int, int, VideoCodec>;
    const std::tuple<double, double, std::uint32_t, Settings> cases[] = {
        {1'000'000.7, 29.97, 0, {1'000'000, 29, 59, VideoCodec::h264}},
        {8e6, 23.976, HVC1, {8'000'000, 23, 47, VideoCodec::hevc}},
        {8e6, 59.94, HEV1, {8'000'000, 59, 119, VideoCodec::h264}},
        {0, NaN, HVC1, {20'000'000, 30, 60, VideoCodec::hevc}},
        {-5, Inf, 0, {20'000'000, 30, 60, VideoCodec::h264}},
        {NaN, 0, 0, {20'000'000, 30, 60, VideoCodec::h264}},
        {Inf, -5, 0, {20'000'000, 30, 60, VideoCodec::h264}},
    };
    for (const auto& [dataRate, frameRate, tag, want] : cases) {
        const auto s = deriveSettings({dataRate, frameRate, 64, 48, tag});
        EXPECT_EQ(Settings(s.bitRate, s.expectedFrameRate, s.keyFrameInterval, s.codec), want)
            << dataRate << " bit/s, " << frameRate << " fps";
    }
    for (const char* mov : {"/a/Clip.mov", "Clip.MOV", "Clip.MoV"})
        EXPECT_TRUE(isQuickTimeDestination(mov)) << mov;
    for (const char* mp4 : {"Clip.mp4", "Clip.M4V", "/a/mov"})
        EXPECT_FALSE(isQuickTimeDestination(mp4)) << mp4;
}

TEST(BakeProgress, OneCallPerWholePercentChangeAndNoneForBadTimes) {
    // Duration, frame times, the fractions reported. Times over a power of two give exact
    // fractions: 0 %, 1 %, 50 %, 99 %, 100 %, each once, the end clamped.
    const std::tuple<double, std::vector<double>, std::vector<double>> cases[] = {
        {4, {0, 0.02, 0.04, 0.041, 2, 3.99, 4, 6}, {0, 0.01, 0.5, 0.9975, 1}},
        {1, {0.25, 0.251, 0.125, 0.25}, {0.25, 0.125, 0.25}}, // back in time is a change too
        {4, {-0.5, NaN, Inf, -Inf}, {}},
        {0, {0, 1, 2}, {}},
        {NaN, {0, 1, 2}, {}},
    };
    for (const auto& [duration, times, want] : cases) {
        std::vector<double> calls;
        ProgressGate gate([&](double f) { calls.push_back(f); }, duration);
        for (double t : times)
            gate.frameAt(t);
        EXPECT_EQ(calls, want) << "duration " << duration;
    }
    ProgressGate({}, 4).frameAt(1); // without a callback it must simply do nothing
}

} // namespace

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
    // Data rate, frame rate, codec tag, whether the stream is HEVC and the container written; then
    // bit rate, frame rate, key-frame interval, codec.
    using Settings = std::tuple<std::int64_t, int, int, VideoCodec>;
    using enum Container;
    const std::tuple<double, double, std::uint32_t, bool, Container, Settings> cases[] = {
        {1'000'000.7, 29.97, 0, false, mpeg4, {1'000'000, 29, 59, VideoCodec::h264}},
        {8e6, 23.976, HVC1, true, quickTime, {8'000'000, 23, 47, VideoCodec::hevc}},
        {8e6, 59.94, HEV1, true, mpeg4, {8'000'000, 59, 119, VideoCodec::h264}},
        {0, NaN, HVC1, true, mpeg4, {20'000'000, 30, 60, VideoCodec::hevc}},
        {-5, Inf, 0, false, quickTime, {20'000'000, 30, 60, VideoCodec::h264}},
        {NaN, 0, 0, false, mpeg4, {20'000'000, 30, 60, VideoCodec::h264}},
        {Inf, -5, 0, false, mpeg4, {20'000'000, 30, 60, VideoCodec::h264}},
        // Matroska stores no sample entry: the codec decides. WebM takes VP9 only.
        {8e6, 25, 0, true, matroska, {8'000'000, 25, 50, VideoCodec::hevc}},
        {8e6, 25, HVC1, false, matroska, {8'000'000, 25, 50, VideoCodec::h264}},
        {8e6, 25, HVC1, true, webm, {8'000'000, 25, 50, VideoCodec::vp9}},
        {0, 0, 0, false, webm, {20'000'000, 30, 60, VideoCodec::vp9}},
    };
    for (const auto& [dataRate, frameRate, tag, hevc, container, want] : cases) {
        SourceFacts facts{dataRate, frameRate, 64, 48, tag, hevc};
        const auto s = deriveSettings(facts, container);
        EXPECT_EQ(Settings(s.bitRate, s.expectedFrameRate, s.keyFrameInterval, s.codec), want)
            << dataRate << " bit/s, " << frameRate << " fps, container " << int(container);
    }
    const std::pair<const char*, Container> containers[] = {
        {"/a/Clip.mov", Container::quickTime},  {"Clip.MOV", Container::quickTime},
        {"Clip.MoV", Container::quickTime},     {"Clip.mp4", Container::mpeg4},
        {"Clip.M4V", Container::mpeg4},         {"/a/mov", Container::mpeg4},
        {"Clip.MKV", Container::matroska},      {"Clip.webm", Container::webm},
        {"/a.webm/Clip.mp4", Container::mpeg4},
    };
    for (const auto& [path, want] : containers)
        EXPECT_EQ(containerOf(path), want) << path;
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

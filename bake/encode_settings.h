// The rules that turn what a source says about itself into the web bake's encoder settings, and
// the progress rule. Kept apart from the pipeline so they can be checked with made-up values.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace tg::bake {

// What the first video stream of a source reports.
struct SourceFacts {
    double dataRate = 0;  // bits per second, 0 when the source gives none
    double frameRate = 0; // average frames per second, 0 when unknown
    int width = 0;        // coded size, before any rotation
    int height = 0;
    std::uint32_t codecTag = 0; // sample-entry four-character code as FFmpeg stores it
    bool hevc = false;          // the stream is HEVC, whatever its tag
};

// The container a bake writes, chosen by the destination's extension.
enum class Container { quickTime, mpeg4, matroska, webm };

enum class VideoCodec { h264, hevc, vp9 };

struct EncodeSettings {
    VideoCodec codec = VideoCodec::h264;
    int width = 0;
    int height = 0;
    std::int64_t bitRate = 0;
    int expectedFrameRate = 0;
    int keyFrameInterval = 0;
};

inline constexpr std::int64_t DEFAULT_BIT_RATE = 20'000'000;
inline constexpr float DEFAULT_FRAME_RATE = 30.0f;

EncodeSettings deriveSettings(const SourceFacts& source, Container container);

// The stream's own bit rate when it has one, else its sample bytes over its duration, else 0.
double dataRateOf(std::int64_t streamBitRate, std::int64_t sampleBytes, double durationSeconds);

// "mov" in any case is a QuickTime movie, "mkv" Matroska, "webm" WebM, anything else MPEG-4.
Container containerOf(const std::filesystem::path& destination);

// Colour description as FFmpeg numbers it (AVColorPrimaries, AVColorTransferCharacteristic,
// AVColorSpace, AVColorRange).
struct ColourTags {
    int primaries = 2; // unspecified
    int transfer = 2;
    int matrix = 2;
    int range = 0;
};

// Options for libavfilter's colorspace filter that convert from the given source colour to
// BT.709 limited-range 8-bit 4:2:0 through linear light. Unspecified or reserved values count as
// BT.709; nothing when the filter cannot represent the source.
std::optional<std::string> colourFilterOptions(const ColourTags& source);

// Reports encode progress as a fraction, once per change of the whole percent.
class ProgressGate {
public:
    ProgressGate(std::function<void(double)> onProgress, double durationSeconds)
        : onProgress_(std::move(onProgress)), duration_(durationSeconds) {}

    // Called with each video frame's presentation time in seconds from the stream start.
    void frameAt(double seconds);

private:
    std::function<void(double)> onProgress_;
    double duration_;
    int lastPercent_ = -1;
};

} // namespace tg::bake

#include "bake/encode_settings.h"

#include "model/job.h"

#include <cmath>
#include <set>

namespace tg::bake {

namespace {

constexpr std::uint32_t fourcc(char a, char b, char c, char d) {
    // FFmpeg keeps codec tags little-endian: the first letter in the lowest byte.
    return std::uint32_t(std::uint8_t(a)) | std::uint32_t(std::uint8_t(b)) << 8 |
           std::uint32_t(std::uint8_t(c)) << 16 | std::uint32_t(std::uint8_t(d)) << 24;
}

// Above this a "data rate" is garbage from a broken header, not a rate anyone meant.
constexpr float MAX_BIT_RATE = 1e11f;
constexpr float MAX_FRAME_RATE = 1e5f;

// The values libavfilter's colorspace filter can linearise and convert (FFmpeg 5.1).
const std::set<int> FILTER_PRIMARIES = {1, 4, 5, 6, 7, 8, 9, 10, 11, 12, 22};
const std::set<int> FILTER_TRANSFERS = {1, 4, 5, 6, 7, 8, 11, 13, 14, 15};
const std::set<int> FILTER_MATRICES = {1, 4, 5, 6, 7, 9};

// 0 (reserved), 2 (unspecified) and 3 (reserved) say nothing: read them as BT.709.
int orBt709(int value) {
    return value == 0 || value == 2 || value == 3 ? 1 : value;
}

} // namespace

EncodeSettings deriveSettings(const SourceFacts& source, Container container) {
    EncodeSettings s;
    // Single precision, as the rates are kept by the platform the product was first built on.
    const float rate = float(source.dataRate);
    s.bitRate = rate > 0 && rate < MAX_BIT_RATE ? std::int64_t(rate) : DEFAULT_BIT_RATE;
    float fps = float(source.frameRate);
    if (!(fps > 0 && fps < MAX_FRAME_RATE)) fps = DEFAULT_FRAME_RATE;
    s.expectedFrameRate = int(fps);
    const float twice = fps + fps;
    s.keyFrameInterval = int(twice);
    s.width = std::abs(source.width);
    s.height = std::abs(source.height);
    // WebM holds no H.264. QuickTime and MPEG-4 players take HEVC only as "hvc1"; Matroska has no
    // sample entry, so there the codec itself decides.
    if (container == Container::webm)
        s.codec = VideoCodec::vp9;
    else if (container == Container::matroska)
        s.codec = source.hevc ? VideoCodec::hevc : VideoCodec::h264;
    else
        s.codec =
            source.codecTag == fourcc('h', 'v', 'c', '1') ? VideoCodec::hevc : VideoCodec::h264;
    return s;
}

double dataRateOf(std::int64_t streamBitRate, std::int64_t sampleBytes, double durationSeconds) {
    if (streamBitRate > 0) return double(streamBitRate);
    if (sampleBytes > 0 && durationSeconds > 0 && std::isfinite(durationSeconds))
        return double(sampleBytes) * 8.0 / durationSeconds;
    return 0;
}

Container containerOf(const std::filesystem::path& destination) {
    const std::string ext = lowercased(extensionOf(destination));
    if (ext == "mov") return Container::quickTime;
    if (ext == "mkv") return Container::matroska;
    if (ext == "webm") return Container::webm;
    return Container::mpeg4;
}

std::optional<std::string> colourFilterOptions(const ColourTags& source) {
    const int primaries = orBt709(source.primaries);
    const int transfer = orBt709(source.transfer);
    const int matrix = orBt709(source.matrix);
    if (!FILTER_PRIMARIES.contains(primaries) || !FILTER_TRANSFERS.contains(transfer) ||
        !FILTER_MATRICES.contains(matrix))
        return std::nullopt;
    const char* range = source.range == 2 ? "pc" : "tv";
    return "all=bt709:primaries=bt709:trc=bt709:space=bt709:range=tv:format=yuv420p" +
           std::string(":iprimaries=") + std::to_string(primaries) +
           ":itrc=" + std::to_string(transfer) + ":ispace=" + std::to_string(matrix) +
           ":irange=" + range;
}

void ProgressGate::frameAt(double seconds) {
    if (!onProgress_ || !(duration_ > 0)) return;
    if (!std::isfinite(seconds) || seconds < 0) return;
    double f = seconds / duration_;
    if (f < 0) f = 0;
    if (f > 1) f = 1;
    const int percent = int(f * 100);
    if (percent == lastPercent_) return;
    lastPercent_ = percent;
    onProgress_(f);
}

} // namespace tg::bake

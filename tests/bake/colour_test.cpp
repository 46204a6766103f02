// Numbers, not looks: a chart of known Display P3 colours baked to BT.709 lands where the colour
// matrices say it must.
#include "bake/bake.h"
#include "bake_media.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace tgtest;
using namespace tgtest::bake;

using Vec = std::array<double, 3>;
using Mat = std::array<Vec, 3>;

Vec mul(const Mat& m, const Vec& v) {
    return {m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2],
            m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2],
            m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2]};
}

Mat inverse(const Mat& m) {
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    Mat r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            const int a = (j + 1) % 3, b = (j + 2) % 3, c = (i + 1) % 3, d = (i + 2) % 3;
            r[i][j] = (m[a][c] * m[b][d] - m[a][d] * m[b][c]) / det;
        }
    return r;
}

const Vec D65{0.3127 / 0.3290, 1.0, (1 - 0.3127 - 0.3290) / 0.3290};

// RGB to XYZ from the primaries' chromaticities and a D65 white.
Mat rgbToXyz(double xr, double yr, double xg, double yg, double xb, double yb) {
    const Mat p{Vec{xr / yr, xg / yg, xb / yb}, Vec{1, 1, 1},
                Vec{(1 - xr - yr) / yr, (1 - xg - yg) / yg, (1 - xb - yb) / yb}};
    const Vec s = mul(inverse(p), D65);
    Mat m = p;
    for (auto& row : m)
        for (int j = 0; j < 3; ++j)
            row[j] *= s[j];
    return m;
}

const Mat P3_TO_XYZ = rgbToXyz(0.680, 0.320, 0.265, 0.690, 0.150, 0.060);
const Mat BT709_TO_XYZ = rgbToXyz(0.640, 0.330, 0.300, 0.600, 0.150, 0.060);
const Mat XYZ_TO_BT709 = inverse(BT709_TO_XYZ);

// The BT.709 transfer function, both ways (the chart is tagged with it).
double toLinear(double v) {
    return v < 0.081 ? v / 4.5 : std::pow((v + 0.099) / 1.099, 1 / 0.45);
}
double toCode(double l) {
    return l < 0.018 ? l * 4.5 : 1.099 * std::pow(l, 0.45) - 0.099;
}

Lab labOfBt709(const Vec& code) {
    const Vec xyz = mul(BT709_TO_XYZ, {toLinear(code[0]), toLinear(code[1]), toLinear(code[2])});
    auto f = [](double t) {
        return t > 216.0 / 24389 ? std::cbrt(t) : (24389.0 / 27 * t + 16) / 116;
    };
    const double fx = f(xyz[0] / D65[0]), fy = f(xyz[1]), fz = f(xyz[2] / D65[2]);
    return {116 * fy - 16, 500 * (fx - fy), 200 * (fy - fz)};
}

constexpr int W = 256, H = 144, COLS = 8, ROWS = 4;

// Greys, primaries, secondaries, skin tones and everyday colours, as Display P3 code values.
const std::array<std::array<int, 3>, COLS* ROWS> CHART = {{
    {0, 0, 0},      {64, 64, 64},    {128, 128, 128}, {192, 192, 192}, {255, 255, 255},
    {255, 0, 0},    {0, 255, 0},     {0, 0, 255},     {0, 255, 255},   {255, 0, 255},
    {255, 255, 0},  {200, 60, 60},   {60, 160, 60},   {60, 80, 200},   {180, 180, 60},
    {60, 170, 170}, {170, 70, 170},  {224, 172, 150}, {198, 134, 104}, {141, 85, 60},
    {94, 58, 44},   {240, 200, 180}, {170, 120, 90},  {100, 100, 140}, {150, 120, 100},
    {90, 130, 110}, {210, 180, 140}, {120, 90, 160},  {80, 120, 180},  {230, 120, 80},
    {130, 160, 90}, {32, 32, 32},
}};

struct Expected {
    Vec code; // BT.709 code values 0..1
    bool inGamut;
};

Expected expectedBt709(const std::array<int, 3>& p3) {
    const Vec lin =
        mul(XYZ_TO_BT709, mul(P3_TO_XYZ, {toLinear(p3[0] / 255.0), toLinear(p3[1] / 255.0),
                                          toLinear(p3[2] / 255.0)}));
    Expected e{{}, true};
    for (int c = 0; c < 3; ++c) {
        if (lin[c] < -1e-4 || lin[c] > 1 + 1e-4) e.inGamut = false;
        e.code[c] = toCode(std::clamp(lin[c], 0.0, 1.0));
    }
    return e;
}

TEST(BakeColour, DisplayP3ChartLandsOnItsBt709Values) {
    TempDir dir;
    std::vector<std::uint8_t> frame(std::size_t(W) * H * 3);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const auto& c = CHART[std::size_t((y * ROWS / H) * COLS + x * COLS / W)];
            for (int k = 0; k < 3; ++k)
                frame[(std::size_t(y) * W + std::size_t(x)) * 3 + std::size_t(k)] =
                    std::uint8_t(c[std::size_t(k)]);
        }
    std::vector<std::uint8_t> raw;
    for (int i = 0; i < 3; ++i)
        raw.insert(raw.end(), frame.begin(), frame.end());
    writeBytes(dir / "chart.rgb", raw);

    // Lossless 4:4:4, everything tagged BT.709; then the container tag becomes P3, as our in-place
    // tag leaves it. The bitstream still says BT.709: the bake must follow the container.
    const auto source = dir / "chart.mov";
    ffmpeg("-f rawvideo -pix_fmt rgb24 -s 256x144 -r 25 -i " + sh(dir / "chart.rgb") +
           " -vf scale=out_color_matrix=bt709:out_range=tv:flags=accurate_rnd+full_chroma_int,"
           "format=yuv444p -c:v libx264 -qp 0 -color_primaries bt709 -color_trc bt709 "
           "-colorspace bt709 -movflags +write_colr " +
           sh(source));
    ASSERT_EQ(tagColrP3(source), 1);

    const auto baked = dir / "chart_universal.mov";
    auto status = tg::bakeToRec709Sync(source, baked);
    ASSERT_TRUE(status.ok) << status.message;
    auto decoded = run("ffmpeg -nostdin -loglevel error -i " + sh(baked) +
                       " -frames:v 1 -vf scale=in_color_matrix=bt709:in_range=tv:flags="
                       "accurate_rnd+full_chroma_int,format=rgb24 -f rawvideo -");
    ASSERT_EQ(decoded.out.size(), frame.size());

    double sum = 0;
    for (int row = 0; row < ROWS; ++row)
        for (int col = 0; col < COLS; ++col) {
            const auto& p3 = CHART[std::size_t(row * COLS + col)];
            // Mean of an 8x8 block at the patch's centre.
            Vec got{};
            const int cx = col * W / COLS + W / COLS / 2, cy = row * H / ROWS + H / ROWS / 2;
            for (int y = cy - 4; y < cy + 4; ++y)
                for (int x = cx - 4; x < cx + 4; ++x)
                    for (int k = 0; k < 3; ++k)
                        got[std::size_t(k)] +=
                            std::uint8_t(decoded.out[(std::size_t(y) * W + std::size_t(x)) * 3 +
                                                     std::size_t(k)]) /
                            255.0 / 64;
            const auto want = expectedBt709(p3);
            const double dE = deltaE2000(labOfBt709(got), labOfBt709(want.code));
            sum += dE;
            const std::string what =
                "P3 " + std::to_string(p3[0]) + "," + std::to_string(p3[1]) + "," +
                std::to_string(p3[2]) + ": got " + std::to_string(got[0] * 255) + "," +
                std::to_string(got[1] * 255) + "," + std::to_string(got[2] * 255) + " want " +
                std::to_string(want.code[0] * 255) + "," + std::to_string(want.code[1] * 255) +
                "," + std::to_string(want.code[2] * 255);
            if (want.inGamut) {
                EXPECT_LE(dE, 3.0) << what;
            }
            if (p3[0] == p3[1] && p3[1] == p3[2]) {
                EXPECT_NEAR(got[0] * 255, got[1] * 255, 1.5) << what;
                EXPECT_NEAR(got[2] * 255, got[1] * 255, 1.5) << what;
            }
            ::testing::Test::RecordProperty("dE_" + std::to_string(row * COLS + col),
                                            std::to_string(dE));
        }
    EXPECT_LE(sum / (ROWS * COLS), 1.0);
}

} // namespace

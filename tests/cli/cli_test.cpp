// tintguard-cli end to end, over real media made for the suite.
#include "cli/report.h"
#include "fixtures/media.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>

using tgtest::sh;
using tgtest::TempDir;
namespace fs = std::filesystem;

namespace {

struct CliRun {
    int status;
    std::string out;
    std::vector<nlohmann::json> lines; // parsed, for --json runs
};

CliRun cli(const std::string& args) {
    auto r = tgtest::run(std::string(TG_CLI) + " " + args + " 2>/dev/null");
    CliRun result{r.status, r.out, {}};
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] == '{') result.lines.push_back(nlohmann::json::parse(line));
    return result;
}

class CliTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        media_ = new TempDir;
        tgtest::ffmpeg("-f lavfi -i testsrc2=s=64x48:d=0.4:r=10 -f lavfi -i sine=d=0.4 "
                       "-c:v libx264 -pix_fmt yuv420p -c:a aac -shortest " +
                       sh(*media_ / "clip.mp4"));
        tgtest::ffmpeg("-f lavfi -i testsrc2=s=64x48 -frames:v 1 " + sh(*media_ / "photo.jpg"));
    }
    static void TearDownTestSuite() { delete media_; }

    fs::path place(const std::string& source, const std::string& as) {
        fs::copy_file(*media_ / source, dir_ / as);
        return dir_ / as;
    }

    static TempDir* media_;
    TempDir dir_;
};
TempDir* CliTest::media_ = nullptr;

} // namespace

TEST(Cli, LiveProgressTextTruncatesThePercent) {
    using enum tg::ProgressPhase;
    EXPECT_EQ(tg::cli::progressText(encoding, 0.426), "encoding…  42%");
    EXPECT_EQ(tg::cli::progressText(encoding, 1.0), "encoding…  100%");
    EXPECT_EQ(tg::cli::progressText(moving, 0.999), "moving…  99%");
}

TEST(Cli, UsageErrorsExitTwo) {
    EXPECT_EQ(cli("").status, 2);
    EXPECT_EQ(cli("--frobnicate a.mov").status, 2);
    EXPECT_EQ(cli("--help").status, 0);
    auto version = cli("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_NE(version.out.find("tintguard-cli"), std::string::npos);
}

TEST_F(CliTest, UnsupportedFilesAndFoldersAreReportedAsSkipped) {
    std::ofstream(dir_ / "notes.txt") << "hello";
    fs::create_directory(dir_ / "folder.mov");
    auto r = cli("--json --in-place " + sh(dir_ / "notes.txt") + " " + sh(dir_ / "folder.mov"));
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(r.lines.size(), 2u);
    for (auto& line : r.lines) {
        EXPECT_EQ(line["outcome"], "skipped");
        EXPECT_EQ(line["message"], "Skipped (unsupported)");
        EXPECT_TRUE(line["produced"].is_null());
    }
    EXPECT_EQ(r.lines[1]["name"], "folder.mov");
}

TEST_F(CliTest, NoModeFlagMeansCopyAndHumanOutputMatchesTheWindow) {
    auto clip = place("clip.mp4", "Clip.mp4");
    auto r = cli(sh(clip));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "•  Clip.mp4\n     ✓  No tag found — added Display-P3  →  Clip_P3.mp4\n");
    EXPECT_TRUE(fs::exists(dir_ / "Clip_P3.mp4"));
}

TEST_F(CliTest, EveryModeCombinationRunsInTheWindowsOrder) {
    struct Case {
        std::string flags;
        std::vector<std::string> modes;
    };
    const std::vector<Case> cases = {
        {"--in-place", {"inPlace"}},
        {"--copy", {"p3Copy"}},
        {"--bake", {"bake"}},
        {"--in-place --copy", {"p3Copy", "inPlace"}},
        {"--in-place --bake", {"bake", "inPlace"}},
        {"--bake --copy", {"p3Copy", "bake"}},
        {"--in-place --bake --copy", {"p3Copy", "bake", "inPlace"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flags);
        TempDir dir;
        fs::copy_file(*media_ / "clip.mp4", dir / "clip.mp4");
        fs::copy_file(*media_ / "photo.jpg", dir / "photo.jpg");
        auto r =
            cli("--json " + c.flags + " " + sh(dir / "clip.mp4") + " " + sh(dir / "photo.jpg"));
        EXPECT_EQ(r.status, 0) << r.out;
        ASSERT_EQ(r.lines.size(), 2 * c.modes.size());
        for (size_t i = 0; i < r.lines.size(); ++i) {
            const auto& line = r.lines[i];
            EXPECT_EQ(line["mode"], c.modes[i % c.modes.size()]);
            EXPECT_EQ(line["name"], i < c.modes.size() ? "clip.mp4" : "photo.jpg");
            EXPECT_TRUE(line["outcome"] == "fixed" || line["outcome"] == "added" ||
                        line["outcome"] == "already")
                << line.dump();
            ASSERT_TRUE(line["produced"].is_string()) << line.dump();
            EXPECT_TRUE(fs::exists(line["produced"].get<std::string>()));
        }
        bool baked = c.flags.find("--bake") != std::string::npos;
        EXPECT_EQ(fs::exists(dir / "clip_universal.mp4"), baked);
        // Photos in bake mode get the P3 copy, never a baked version.
        EXPECT_FALSE(fs::exists(dir / "photo_universal.jpg"));
    }
}

TEST_F(CliTest, AnErrorAnywhereMakesTheExitStatusOne) {
    auto clip = place("clip.mp4", "good.mp4");
    auto broken = dir_ / "broken.mov";
    tgtest::writeBytes(broken, std::vector<std::uint8_t>(100, 0));
    auto r = cli("--json --in-place " + sh(clip) + " " + sh(broken) + " " + sh(dir_ / "gone.mov"));
    EXPECT_EQ(r.status, 1);
    ASSERT_EQ(r.lines.size(), 3u);
    EXPECT_EQ(r.lines[2]["message"], "Can't read file");
    EXPECT_EQ(r.lines[0]["outcome"], "added");
    EXPECT_EQ(r.lines[1]["outcome"], "error");
    EXPECT_EQ(r.lines[1]["file"], broken.string());
    EXPECT_EQ(r.lines[1]["produced"], broken.string());
}

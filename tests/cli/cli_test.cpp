// tintguard-cli end to end, over real media made for the suite.
#include "cli/report.h"
#include "fixtures/media.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

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

namespace {

using Bytes = std::vector<std::uint8_t>;

// The harness's patience with a child, not a measurement: a step that hangs fails the test here
// instead of stalling the suite.
constexpr auto PATIENCE = std::chrono::seconds(120);

// The CLI as a child of ours, so that it can be signalled and killed; its output goes to files.
class CliChild {
public:
    CliChild(const std::vector<std::string>& args, const fs::path& out, const fs::path& err) {
        pid_ = ::fork();
        if (pid_ != 0) return;
        const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(o, STDOUT_FILENO);
        ::dup2(e, STDERR_FILENO);
        std::vector<char*> argv = {const_cast<char*>(TG_CLI)};
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(TG_CLI, argv.data());
        ::_exit(127);
    }
    ~CliChild() {
        if (!status_) {
            ::kill(pid_, SIGKILL);
            wait();
        }
    }
    CliChild(const CliChild&) = delete;
    CliChild& operator=(const CliChild&) = delete;

    void signal(int s) const { ::kill(pid_, s); }
    bool running() {
        if (status_) return false;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
        return !status_;
    }
    int wait() {
        if (!status_) {
            int status = 0;
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            status_ = status;
        }
        return *status_;
    }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Waits until something in dir has a name starting with prefix (while child runs), or until it
// has not appeared within the harness's patience.
std::optional<fs::path> waitForName(const fs::path& dir, const std::string& prefix,
                                    CliChild& child) {
    const auto until = std::chrono::steady_clock::now() + PATIENCE;
    while (std::chrono::steady_clock::now() < until && child.running()) {
        for (const auto& entry : fs::directory_iterator(dir))
            if (entry.path().filename().string().starts_with(prefix)) return entry.path();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return std::nullopt;
}

bool waitForText(const fs::path& file, const std::string& text, CliChild& child) {
    const auto until = std::chrono::steady_clock::now() + PATIENCE;
    while (std::chrono::steady_clock::now() < until && child.running()) {
        std::ifstream in(file);
        const std::string all((std::istreambuf_iterator<char>(in)), {});
        if (all.find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

std::vector<nlohmann::json> jsonLines(const fs::path& file) {
    std::ifstream in(file);
    std::vector<nlohmann::json> lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] == '{') lines.push_back(nlohmann::json::parse(line));
    return lines;
}

std::vector<std::string> hiddenNames(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().filename().string().starts_with(".")) names.push_back(entry.path());
    return names;
}

std::string probeField(const std::string& entries, const fs::path& file) {
    // The container's colour tag, not the bitstream's.
    auto out =
        tgtest::run("ffprobe -v error -nofind_stream_info -select_streams v:0 -show_entries " +
                    entries + " -of csv=p=0 " + sh(file))
            .out;
    return out.substr(0, out.find('\n'));
}

// Movies slow enough to be caught in the middle: a copy of about 160 MB (a tagged clip with a
// large free atom behind it, so the tag is the 2-byte patch) and a bake of 30 seconds of video.
class Interrupted : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        media_ = new TempDir;
        tgtest::ffmpeg("-f lavfi -i testsrc2=s=64x48:d=0.4:r=10 -c:v libx264 -pix_fmt yuv420p "
                       "-color_primaries bt709 -color_trc bt709 -colorspace bt709 " +
                       sh(*media_ / "big.mov"));
        const std::uint32_t padding = 160u << 20;
        auto bytes = tgtest::readBytes(*media_ / "big.mov");
        const std::uint64_t end = bytes.size() + padding;
        bytes.insert(bytes.end(),
                     {std::uint8_t(padding >> 24), std::uint8_t(padding >> 16),
                      std::uint8_t(padding >> 8), std::uint8_t(padding), 'f', 'r', 'e', 'e'});
        tgtest::writeBytes(*media_ / "big.mov", bytes);
        fs::resize_file(*media_ / "big.mov", end);
        tgtest::ffmpeg("-f lavfi -i testsrc2=s=640x360:r=25:d=30 -c:v libx264 -preset ultrafast "
                       "-pix_fmt yuv420p " +
                       sh(*media_ / "long.mov"));
        tgtest::ffmpeg("-f lavfi -i testsrc2=s=64x48 -frames:v 1 " + sh(*media_ / "photo.jpg"));
    }
    static void TearDownTestSuite() { delete media_; }

    struct Step {
        std::string flag, source, output, leftoverPrefix;
    };
    static inline const Step COPY = {"--copy", "big.mov", "big_P3.mov", ".tg_copy_"};
    static inline const Step BAKE = {"--bake", "long.mov", "long_universal.mov", ".tg_bake_"};

    fs::path place(const std::string& name) {
        fs::copy_file(*media_ / name, dir_ / name);
        return dir_ / name;
    }
    fs::path out() const { return logs_ / "out"; }
    fs::path err() const { return logs_ / "err"; }

    static TempDir* media_;
    TempDir dir_, logs_;
    const Bytes earlier_ = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
};
TempDir* Interrupted::media_ = nullptr;

} // namespace

TEST_F(CliTest, AFifoIsRefusedPromptlyInCopyAndBake) {
    ASSERT_EQ(::mkfifo((dir_ / "pipe.mov").c_str(), 0644), 0);
    ASSERT_EQ(::mkfifo((dir_ / "pipe.jpg").c_str(), 0644), 0);
    const std::string copied = "Couldn't make a copy: not a regular file";
    struct Case {
        std::string flag, file, message;
    };
    const Case cases[] = {
        {"--copy", "pipe.mov", copied},
        {"--copy", "pipe.jpg", copied},
        {"--bake", "pipe.mov", "Couldn't tag before baking: not a regular file"},
        {"--bake", "pipe.jpg", copied},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flag + " " + c.file);
        const auto r = tgtest::run("timeout 60 " + std::string(TG_CLI) + " --json " + c.flag + " " +
                                   sh(dir_ / c.file) + " 2>/dev/null");
        EXPECT_EQ(r.status, 1) << "124 means it waited for a writer";
        std::istringstream in(r.out);
        std::string line;
        std::getline(in, line);
        ASSERT_FALSE(line.empty());
        const auto json = nlohmann::json::parse(line);
        EXPECT_EQ(json["message"], c.message);
        EXPECT_EQ(json["detail"], "not a regular file");
    }
    EXPECT_FALSE(fs::exists(dir_ / "pipe_P3.mov") || fs::exists(dir_ / "pipe_universal.mov"));
}

TEST_F(Interrupted, AKilledCopyOrBakeKeepsTheEarlierOutputAndTheNextRunClearsItsLeftover) {
    for (const Step& step : {COPY, BAKE}) {
        SCOPED_TRACE(step.flag);
        TempDir dir;
        fs::copy_file(*media_ / step.source, dir / step.source);
        fs::copy_file(*media_ / "photo.jpg", dir / "photo.jpg");
        tgtest::writeBytes(dir / step.output, earlier_);
        CliChild child({"--json", step.flag, (dir / step.source).string()}, out(), err());
        const auto leftover = waitForName(dir.path(), step.leftoverPrefix, child);
        ASSERT_TRUE(leftover) << "the step ended before it could be caught";

        // Frozen, but alive: another run in the folder leaves its work alone.
        child.signal(SIGSTOP);
        EXPECT_EQ(cli("--json --copy " + sh(dir / "photo.jpg")).status, 0);
        EXPECT_TRUE(fs::exists(*leftover));

        child.signal(SIGKILL);
        const int status = child.wait();
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
        // No final name holds anything but a complete file: the earlier output is untouched.
        EXPECT_EQ(tgtest::readBytes(dir / step.output), earlier_);
        EXPECT_TRUE(jsonLines(out()).empty());

        // The next run in the folder, whatever it is for, clears what the killed one left.
        EXPECT_EQ(cli("--json --copy " + sh(dir / "photo.jpg")).status, 0);
        EXPECT_EQ(hiddenNames(dir.path()), std::vector<std::string>{});
        EXPECT_EQ(tgtest::readBytes(dir / step.output), earlier_);
    }
}

TEST_F(Interrupted, ASignalLetsTheStepFinishThenExitsWithTheShellsCode) {
    struct Case {
        int signal;
        Step step;
        int exit;
    };
    const Case cases[] = {{SIGINT, BAKE, 130}, {SIGTERM, COPY, 143}, {SIGHUP, COPY, 129}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::strsignal(c.signal));
        TempDir dir;
        fs::copy_file(*media_ / c.step.source, dir / c.step.source);
        fs::copy_file(*media_ / "photo.jpg", dir / "next.jpg");
        tgtest::writeBytes(dir / c.step.output, earlier_);
        CliChild child(
            {"--json", c.step.flag, (dir / c.step.source).string(), (dir / "next.jpg").string()},
            out(), err());
        ASSERT_TRUE(waitForName(dir.path(), c.step.leftoverPrefix, child));
        child.signal(c.signal);
        const int status = child.wait();
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.exit);

        // The step in progress finished and its output is complete; the next file never started.
        const auto lines = jsonLines(out());
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0]["outcome"], "error") << lines[0].dump();
        EXPECT_EQ(lines[0]["produced"], (dir / c.step.output).string());
        if (c.step.flag == "--bake") {
            EXPECT_EQ(probeField("stream=codec_name,color_primaries", dir / c.step.output),
                      "h264,bt709");
            EXPECT_EQ(probeField("stream=nb_frames", dir / c.step.output), "750");
        } else {
            EXPECT_EQ(fs::file_size(dir / c.step.output), fs::file_size(dir / c.step.source));
            EXPECT_EQ(probeField("stream=color_primaries", dir / c.step.output), "smpte432");
        }
        EXPECT_FALSE(fs::exists(dir / "next_P3.jpg"));
        EXPECT_EQ(hiddenNames(dir.path()), std::vector<std::string>{});
    }
}

TEST_F(Interrupted, ASecondSignalEndsABakeEarlyAndKeepsTheEarlierOutput) {
    const auto source = place(BAKE.source);
    tgtest::writeBytes(dir_ / BAKE.output, earlier_);
    CliChild child({"--json", "--bake", source.string()}, out(), err());
    ASSERT_TRUE(waitForName(dir_.path(), BAKE.leftoverPrefix, child));
    child.signal(SIGINT);
    // Two signals of one kind sent together arrive as one: the second waits for the first's word.
    ASSERT_TRUE(waitForText(err(), "stopping after this bake", child));
    child.signal(SIGINT);
    const int status = child.wait();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);

    const auto lines = jsonLines(out());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["message"], "Re-encode failed: cancelled");
    EXPECT_EQ(tgtest::readBytes(dir_ / BAKE.output), earlier_);
    EXPECT_EQ(hiddenNames(dir_.path()), std::vector<std::string>{});
    // The bake's in-place tag had finished before the encode began.
    EXPECT_EQ(probeField("stream=color_primaries", source), "smpte432");
}

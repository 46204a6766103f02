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
#include <set>
#include <sstream>
#include <sys/file.h>
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

using tgtest::jsonLines;

// wrapper: a command to run it under, such as timeout.
CliRun cli(const std::string& args, const std::string& wrapper = "") {
    auto r = tgtest::run(wrapper + TG_CLI + " " + args + " 2>/dev/null");
    return {r.status, r.out, jsonLines(r.out)};
}

// Tiny real media, made once for the program and copied into each test's folder.
fs::path media(const std::string& name) {
    return name == "clip.mp4" ? tgtest::madeOnce(name, "-f lavfi -i testsrc2=s=64x48:d=0.4:r=10 "
                                                       "-f lavfi -i sine=d=0.4 -c:v libx264 "
                                                       "-pix_fmt yuv420p -c:a aac -shortest")
                              : tgtest::madeOnce(name, "-f lavfi -i testsrc2=s=64x48 -frames:v 1");
}

class CliTest : public ::testing::Test {
protected:
    fs::path place(const std::string& source, const std::string& as) {
        fs::copy_file(media(source), dir_ / as);
        return dir_ / as;
    }
    TempDir dir_;
};

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

TEST_F(CliTest, UnsupportedFilesAndEmptyFoldersAreReportedAsSkipped) {
    std::ofstream(dir_ / "notes.txt") << "hello";
    fs::create_directory(dir_ / "folder.mov");
    auto r = cli("--json --in-place " + sh(dir_ / "notes.txt") + " " + sh(dir_ / "folder.mov"));
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(r.lines.size(), 2u);
    EXPECT_EQ(r.lines[0]["message"], "Skipped (unsupported)");
    EXPECT_EQ(r.lines[1]["message"], "Skipped (no movies or photos inside)");
    for (auto& line : r.lines) {
        EXPECT_EQ(line["outcome"], "skipped");
        EXPECT_TRUE(line["produced"].is_null());
    }
    EXPECT_EQ(r.lines[1]["name"], "folder.mov");
}

// A second run over the same folder makes no copies of copies and no bake of a bake.
TEST_F(CliTest, FoldersAreWalkedAndASecondRunSkipsTheOutputs) {
    place("clip.mp4", "clip.mp4");
    fs::create_directory(dir_ / "stills");
    place("photo.jpg", "stills/photo.jpg");
    const std::vector<std::string> expected = {"clip.mp4", "photo.jpg"};
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        auto r = cli("--json --copy --bake " + sh(dir_.path()));
        EXPECT_EQ(r.status, 0) << r.out;
        ASSERT_EQ(r.lines.size(), 4u) << r.out;
        for (std::size_t i = 0; i < r.lines.size(); ++i)
            EXPECT_EQ(r.lines[i]["name"], expected[i / 2]);
    }
    std::set<std::string> made;
    for (const auto& entry : fs::recursive_directory_iterator(dir_.path()))
        if (entry.is_regular_file()) made.insert(entry.path().lexically_relative(dir_.path()));
    EXPECT_EQ(made, (std::set<std::string>{"clip.mp4", "clip_P3.mp4", "clip_universal.mp4",
                                           "stills/photo.jpg", "stills/photo_P3.jpg"}));
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
        fs::copy_file(media("clip.mp4"), dir / "clip.mp4");
        fs::copy_file(media("photo.jpg"), dir / "photo.jpg");
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

// The JSON record names the layers that state Display P3 after the run: the container's tag and
// the coded video's own colour; none for photos and for files left alone.
TEST_F(CliTest, LayersSayWhichColourDescriptionsStateDisplayP3) {
    const std::string src = "-f lavfi -i testsrc2=s=64x48:d=0.4:r=10 ";
    struct Case {
        std::string name, args, mode, outcome, message;
        std::vector<std::string> layers;
    };
    const std::vector<std::string> both = {"container", "bitstream"}, container = {"container"};
    const std::string added = "No tag found — added Display-P3";
    const std::vector<Case> cases = {
        {"vui.mp4", "-c:v libx264 -x264-params colorprim=bt709:transfer=bt709:colormatrix=bt709 ",
         "--in-place", "added", added, both},
        {"silent.mp4", "-c:v libx264 ", "--copy", "added", added + "  →  silent_P3.mp4", container},
        {"prores.mov", "-c:v prores_ks ", "--in-place", "added", added, both},
        {"pq.mp4",
         "-c:v libx265 -x265-params log-level=error:colorprim=bt2020:transfer=smpte2084 "
         "-pix_fmt yuv420p10le ",
         "--in-place", "hdr", "HDR — left unchanged", std::vector<std::string>()},
        {"photo.jpg", "-frames:v 1 ", "--in-place", "fixed", "", std::vector<std::string>()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        tgtest::ffmpeg(src + c.args + sh(dir_ / c.name));
        auto r = cli("--json " + c.mode + " " + sh(dir_ / c.name));
        ASSERT_EQ(r.lines.size(), 1u) << r.out;
        if (c.message.empty()) {
            EXPECT_EQ(r.lines[0]["layers"], nlohmann::json::array());
            continue;
        }
        EXPECT_EQ(r.lines[0]["outcome"], c.outcome);
        EXPECT_EQ(r.lines[0]["message"], c.message);
        EXPECT_EQ(r.lines[0]["layers"], nlohmann::json(c.layers));
    }
    // Run again in place: everything that speaks already says Display P3.
    auto again = cli("--json --in-place " + sh(dir_ / "vui.mp4"));
    ASSERT_EQ(again.lines.size(), 1u);
    EXPECT_EQ(again.lines[0]["outcome"], "already");
    EXPECT_EQ(again.lines[0]["layers"], nlohmann::json({"container", "bitstream"}));
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

// The harness's patience with a child, not a measurement: a step that hangs fails here.
constexpr auto PATIENCE = std::chrono::seconds(120);

// The CLI as our child, to be signalled and killed; its output goes to files.
class CliChild {
public:
    CliChild(std::vector<std::string> args, const fs::path& out, const fs::path& err) {
        if ((pid_ = ::fork()) != 0) return;
        ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
        ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
        std::vector<char*> argv = {const_cast<char*>(TG_CLI)};
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(TG_CLI, argv.data());
        ::_exit(127);
    }
    CliChild(const CliChild&) = delete;
    CliChild& operator=(const CliChild&) = delete;
    ~CliChild() {
        if (running()) ::kill(pid_, SIGKILL);
        wait();
    }
    void signal(int s) const { ::kill(pid_, s); }
    bool running() {
        int status = 0;
        if (!status_ && ::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
        return !status_;
    }
    int wait() {
        for (int status = 0; !status_;)
            if (::waitpid(pid_, &status, 0) == pid_) status_ = status;
        return *status_;
    }
    // Waits while the child runs until found() holds; false when it never did.
    bool waitFor(const std::function<bool()>& found) {
        for (auto until = std::chrono::steady_clock::now() + PATIENCE;
             std::chrono::steady_clock::now() < until && running();
             std::this_thread::sleep_for(std::chrono::milliseconds(1)))
            if (found()) return true;
        return false;
    }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

std::string text(const fs::path& file) {
    std::ifstream in(file);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::optional<fs::path> named(const fs::path& dir, const std::string& prefix) {
    const auto found = tgtest::namesStartingWith(dir, prefix);
    return found.empty() ? std::nullopt : std::optional(found[0]);
}

// Waits until no process marks the file live any more: a killed run's helper (the re-encoder)
// gets its own SIGKILL from the kernel, but may take a moment to close its files.
bool abandoned(const fs::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;
    bool free = false;
    for (auto until = std::chrono::steady_clock::now() + PATIENCE;
         !free && std::chrono::steady_clock::now() < until;
         std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

struct Step {
    std::string flag, source, output, prefix; // prefix: of its hidden file in the making
};
const Step COPY = {"--copy", "big.mov", "big_P3.mov", ".tg_copy_"};
const Step BAKE = {"--bake", "long.mov", "long_universal.mov", ".tg_bake_"};
const std::vector<std::uint8_t> EARLIER = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};

// Steps slow enough to be caught in the middle: a copy of about 160 MB (a tagged clip with a
// large free atom behind it, so its tag is the 2-byte patch) and a bake of 30 seconds of video.
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
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.push_back(std::uint8_t(padding >> shift));
        bytes.insert(bytes.end(), {'f', 'r', 'e', 'e'});
        tgtest::writeBytes(*media_ / "big.mov", bytes);
        fs::resize_file(*media_ / "big.mov", end);
        tgtest::ffmpeg("-f lavfi -i testsrc2=s=640x360:r=25:d=30 -c:v libx264 -preset ultrafast "
                       "-pix_fmt yuv420p " +
                       sh(*media_ / "long.mov"));
    }
    static void TearDownTestSuite() { delete media_; }

    // Runs step on a fresh source in dir beside an earlier output and a photo (more: further
    // arguments), and waits until it is under way; its hidden file, or nothing when it ended
    // before it could be caught.
    std::optional<fs::path> start(const fs::path& dir, const Step& step,
                                  std::vector<std::string> more = {}) {
        fs::copy_file(*media_ / step.source, dir / step.source);
        fs::copy_file(media("photo.jpg"), dir / "photo.jpg");
        tgtest::writeBytes(dir / step.output, EARLIER);
        more.insert(more.begin(), {"--json", step.flag, (dir / step.source).string()});
        child_.emplace(more, logs_ / "out", logs_ / "err");
        std::optional<fs::path> hidden;
        child_->waitFor([&] { return (hidden = named(dir, step.prefix)).has_value(); });
        return hidden;
    }
    std::vector<nlohmann::json> lines() const { return jsonLines(text(logs_ / "out")); }

    static TempDir* media_;
    TempDir logs_;
    std::optional<CliChild> child_;
};
TempDir* Interrupted::media_ = nullptr;

} // namespace

TEST_F(CliTest, AFifoIsRefusedPromptlyInCopyAndBake) {
    const std::string copied = "Couldn't make a copy: not a regular file";
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"--copy", "pipe.mov", copied},
        {"--copy", "pipe.jpg", copied},
        {"--bake", "pipe.mov", "Couldn't tag before baking: not a regular file"},
        {"--bake", "pipe.jpg", copied},
    };
    for (const auto& [flag, name, message] : cases) {
        SCOPED_TRACE(flag + " " + name);
        ASSERT_TRUE(fs::exists(dir_ / name) || ::mkfifo((dir_ / name).c_str(), 0644) == 0);
        auto r = cli("--json " + flag + " " + sh(dir_ / name), "timeout 60 ");
        EXPECT_EQ(r.status, 1) << "124 means it waited for a writer";
        ASSERT_EQ(r.lines.size(), 1u);
        EXPECT_EQ(r.lines[0]["message"], message);
        EXPECT_EQ(r.lines[0]["detail"], "not a regular file");
    }
}

TEST_F(Interrupted, AKilledCopyOrBakeKeepsTheEarlierOutputAndTheNextRunClearsItsLeftover) {
    for (const Step& step : {COPY, BAKE}) {
        SCOPED_TRACE(step.flag);
        TempDir dir;
        const auto leftover = start(dir.path(), step);
        ASSERT_TRUE(leftover) << "the step ended before it could be caught";
        // Frozen, but alive: another run in the folder leaves its work alone.
        child_->signal(SIGSTOP);
        EXPECT_EQ(cli("--json --copy " + sh(dir / "photo.jpg")).status, 0);
        EXPECT_TRUE(fs::exists(*leftover));

        child_->signal(SIGKILL);
        EXPECT_EQ(WTERMSIG(child_->wait()), SIGKILL);
        // No final name holds anything but a complete file: the earlier output is untouched.
        EXPECT_EQ(tgtest::readBytes(dir / step.output), EARLIER);
        EXPECT_TRUE(lines().empty());
        ASSERT_TRUE(abandoned(*leftover));
        // The next run in the folder, whatever it is for, clears what the killed one left.
        EXPECT_EQ(cli("--json --copy " + sh(dir / "photo.jpg")).status, 0);
        EXPECT_EQ(named(dir.path(), "."), std::nullopt);
        EXPECT_EQ(tgtest::readBytes(dir / step.output), EARLIER);
    }
}

TEST_F(Interrupted, ASignalLetsTheStepFinishThenExitsWithTheShellsCode) {
    const std::tuple<int, Step, int> cases[] = {
        {SIGINT, BAKE, 130}, {SIGTERM, COPY, 143}, {SIGHUP, COPY, 129}};
    for (const auto& [signal, step, code] : cases) {
        SCOPED_TRACE(::strsignal(signal));
        TempDir dir;
        ASSERT_TRUE(start(dir.path(), step, {(dir / "photo.jpg").string()}));
        child_->signal(signal);
        const int status = child_->wait();
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), code);

        // The step finished and its output is complete; the photo's step never started.
        ASSERT_EQ(lines().size(), 1u);
        EXPECT_EQ(lines()[0]["produced"], (dir / step.output).string()) << lines()[0].dump();
        if (step.flag == "--bake") {
            EXPECT_EQ(tgtest::containerFields("stream=codec_name,color_primaries,nb_frames",
                                              dir / step.output),
                      "h264,bt709,750");
        } else {
            EXPECT_EQ(fs::file_size(dir / step.output), fs::file_size(dir / step.source));
            EXPECT_EQ(tgtest::containerFields("stream=color_primaries", dir / step.output),
                      "smpte432");
        }
        EXPECT_FALSE(fs::exists(dir / "photo_P3.jpg"));
        EXPECT_FALSE(named(dir.path(), "."));
    }
}

TEST_F(Interrupted, ASecondSignalEndsABakeEarlyAndKeepsTheEarlierOutput) {
    TempDir dir;
    ASSERT_TRUE(start(dir.path(), BAKE));
    child_->signal(SIGINT);
    // Two signals of one kind sent together arrive as one: the second waits for the first's word.
    ASSERT_TRUE(child_->waitFor(
        [&] { return text(logs_ / "err").find("stopping after this bake") != std::string::npos; }));
    child_->signal(SIGINT);
    const int status = child_->wait();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);

    ASSERT_EQ(lines().size(), 1u);
    EXPECT_EQ(lines()[0]["message"], "Re-encode failed: cancelled");
    EXPECT_EQ(tgtest::readBytes(dir / BAKE.output), EARLIER);
    EXPECT_FALSE(named(dir.path(), "."));
    // The bake's in-place tag had finished before the encode began.
    EXPECT_EQ(tgtest::containerFields("stream=color_primaries", dir / BAKE.source), "smpte432");
}

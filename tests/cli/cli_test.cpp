// tintguard-cli end to end, over real media made for the suite: its arguments, its JSON and text,
// its exit statuses and signals. What the tagging does to each file is the engines' tests' work.
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
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using tgtest::jsonLines;
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
    return {r.status, r.out, jsonLines(r.out)};
}

} // namespace

TEST(Cli, LiveProgressTextTruncatesThePercent) {
    using enum tg::ProgressPhase;
    EXPECT_EQ(tg::cli::progressText(encoding, 0.426), "encoding…  42%");
    EXPECT_EQ(tg::cli::progressText(encoding, 1.0), "encoding…  100%");
    EXPECT_EQ(tg::cli::progressText(moving, 0.999), "moving…  99%");
}

// Usage errors exit 2; a look at a file that cannot be read exits 1.
TEST(Cli, UsageErrorsExitTwo) {
    const std::pair<std::string, int> cases[] = {{"", 2},
                                                 {"--frobnicate a.mov", 2},
                                                 {"--inspect --copy a.mov", 2},
                                                 {"--help", 0},
                                                 {"--inspect --bake a.mov", 2},
                                                 {"--inspect --in-place a.mov", 2},
                                                 {"--inspect /nonexistent/gone.mov", 1}};
    for (const auto& [args, status] : cases)
        EXPECT_EQ(cli(args).status, status) << args;
    auto version = cli("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(version.out.starts_with("tintguard-cli ")) << version.out;
}

// One line per file and mode, its fields in this order; any error makes the exit status 1.
TEST(Cli, JsonLinesKeepTheirShapeAndAnyErrorExitsOne) {
    TempDir dir;
    const std::string d = dir.path().string();
    tgtest::placed("untagged.mp4", dir.path(), "good.mp4");
    tgtest::writeBytes(dir / "broken.mov", std::vector<std::uint8_t>(100, 0));
    std::ofstream(dir / "notes.txt") << "hello";
    fs::create_directory(dir / "folder.mov"); // nothing in it to run
    std::ofstream(dir / "folder.mov/readme.txt") << "hello";
    std::ofstream(dir / "folder.mov/.hidden.mov") << "hello";
    auto r = cli("--json --in-place " + sh(dir / "good.mp4") + " " + sh(dir / "broken.mov") + " " +
                 sh(dir / "gone.mov") + " " + sh(dir / "folder.mov") + " " + sh(dir / "notes.txt"));
    EXPECT_EQ(r.status, 1);
    const std::string lines[] = {
        R"j({"file":"D/good.mp4","name":"good.mp4","mode":"inPlace","outcome":"added","message":"No tag found — added Display-P3","produced":"D/good.mp4","detail":null,"layers":["container"]})j",
        R"j({"file":"D/broken.mov","name":"broken.mov","mode":"inPlace","outcome":"error","message":"Unsupported (no moov)","produced":"D/broken.mov","detail":null,"layers":[]})j",
        R"j({"file":"D/gone.mov","name":"gone.mov","mode":"inPlace","outcome":"error","message":"Can't read file","produced":"D/gone.mov","detail":"No such file or directory","layers":[]})j",
        R"j({"file":"D/folder.mov","name":"folder.mov","mode":"inPlace","outcome":"skipped","message":"Skipped (no movies or photos inside)","produced":null,"detail":null,"layers":[]})j",
        R"j({"file":"D/notes.txt","name":"notes.txt","mode":"inPlace","outcome":"skipped","message":"Skipped (unsupported)","produced":null,"detail":null,"layers":[]})j",
    };
    std::istringstream out(r.out);
    for (std::string want : lines) {
        std::string got;
        std::getline(out, got);
        for (std::size_t at; (at = want.find("\"D/")) != std::string::npos;)
            want.replace(at + 1, 1, d);
        EXPECT_EQ(got, want);
    }
}

TEST(Cli, NoModeFlagMeansCopyAndHumanOutputMatchesTheWindow) {
    TempDir dir;
    auto r = cli(sh(tgtest::placed("untagged.mp4", dir.path(), "Clip.mp4")));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "•  Clip.mp4\n     ✓  No tag found — added Display-P3  →  Clip_P3.mp4\n");
    EXPECT_TRUE(fs::exists(dir / "Clip_P3.mp4"));
}

TEST(Cli, EveryModeCombinationRunsInTheWindowsOrder) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"--in-place", {"inPlace"}},
        {"--bake", {"bake"}},
        {"--in-place --copy", {"p3Copy", "inPlace"}},
        {"--in-place --bake", {"bake", "inPlace"}},
        {"--bake --copy", {"p3Copy", "bake"}},
        {"--in-place --bake --copy", {"p3Copy", "bake", "inPlace"}},
    };
    for (const auto& [flags, modes] : cases) {
        SCOPED_TRACE(flags);
        TempDir dir;
        auto r = cli("--json " + flags + " " +
                     sh(tgtest::placed("untagged.mp4", dir.path(), "clip.mp4")) + " " +
                     sh(tgtest::placed("photo.jpg", dir.path(), "photo.jpg")));
        EXPECT_EQ(r.status, 0) << r.out;
        ASSERT_EQ(r.lines.size(), 2 * modes.size());
        for (size_t i = 0; i < r.lines.size(); ++i) {
            EXPECT_EQ(r.lines[i]["mode"], modes[i % modes.size()]);
            EXPECT_EQ(r.lines[i]["name"], i < modes.size() ? "clip.mp4" : "photo.jpg");
            EXPECT_TRUE(fs::exists(r.lines[i]["produced"].get<std::string>())) << r.lines[i];
        }
    }
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
    ~CliChild() {
        if (running()) ::kill(pid_, SIGKILL);
        wait();
    }
    void signal(int s) const { ::kill(pid_, s); }
    bool running() { return !reaped(WNOHANG); }
    int wait() {
        while (!reaped(0)) {
        }
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
    bool reaped(int options) {
        if (int status = 0; !status_ && ::waitpid(pid_, &status, options) == pid_) status_ = status;
        return status_.has_value();
    }
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
using tgtest::EARLIER;

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
        tgtest::placed("photo.jpg", dir, "photo.jpg");
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

// The step in progress finishes, no further one starts; a second signal ends a bake early.
TEST_F(Interrupted, ASignalLetsTheStepFinishThenExitsWithTheShellsCode) {
    const std::tuple<int, Step, int, bool> cases[] = {{SIGINT, BAKE, 130, false},
                                                      {SIGTERM, COPY, 143, false},
                                                      {SIGHUP, COPY, 129, false},
                                                      {SIGINT, BAKE, 130, true}};
    for (const auto& [signal, step, code, twice] : cases) {
        SCOPED_TRACE(std::string(::strsignal(signal)) + (twice ? " twice" : ""));
        TempDir dir;
        ASSERT_TRUE(start(dir.path(), step, {(dir / "photo.jpg").string()}));
        child_->signal(signal);
        // Two signals of one kind sent together arrive as one: the second waits for the first's
        // word.
        if (twice) {
            ASSERT_TRUE(child_->waitFor([&] {
                return text(logs_ / "err").find("stopping after this bake") != std::string::npos;
            }));
            child_->signal(signal);
        }
        const int status = child_->wait();
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), code);
        ASSERT_EQ(lines().size(), 1u);
        EXPECT_FALSE(fs::exists(dir / "photo_P3.jpg"));
        EXPECT_FALSE(named(dir.path(), "."));
        if (twice) {
            // The bake's in-place tag had finished before the encode began.
            EXPECT_EQ(lines()[0]["message"], "Re-encode failed: cancelled");
            EXPECT_EQ(tgtest::readBytes(dir / step.output), EARLIER);
            EXPECT_EQ(tgtest::containerFields("stream=color_primaries", dir / step.source),
                      "smpte432");
            continue;
        }
        // The step finished and its output is complete.
        EXPECT_EQ(lines()[0]["produced"], (dir / step.output).string()) << lines()[0].dump();
        if (step.flag == "--bake") {
            EXPECT_EQ(tgtest::containerFields("stream=codec_name,color_primaries,nb_frames",
                                              dir / step.output),
                      "h264,bt709,750");
        } else {
            EXPECT_EQ(fs::file_size(dir / step.output), fs::file_size(dir / step.source));
        }
    }
}

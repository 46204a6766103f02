// tintguard-cli end to end, over real media made for the suite: its arguments, its JSON and text,
// its exit statuses and signals. What the tagging does to each file is the engines' tests' work.
#include "fixtures/media.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <thread>

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

std::string text(const fs::path& file) {
    std::ifstream in(file);
    return {std::istreambuf_iterator<char>(in), {}};
}

} // namespace

// Usage errors exit 2; a look at a file that cannot be read exits 1.
TEST(Cli, UsageErrorsExitTwo) {
    const std::tuple<std::string, int, std::string> cases[] = {
        {"", 2, ""},
        {"--frobnicate a.mov", 2, ""},
        {"--inspect --copy a.mov", 2, ""},
        {"--inspect /nonexistent/gone.mov", 1, ""},
        {"--help", 0, ""},
        {"--version", 0, "tintguard-cli "}};
    for (const auto& [args, status, out] : cases) {
        const auto r = cli(args);
        EXPECT_EQ(r.status, status) << args;
        EXPECT_TRUE(r.out.starts_with(out)) << args << ": " << r.out;
    }
}

// One line per file and mode, its fields in this order; an error exits 1 even when a later file
// goes well.
TEST(Cli, JsonLinesKeepTheirShapeAndAnyErrorExitsOne) {
    TempDir dir;
    tgtest::placed("untagged.mp4", dir.path(), "good.mp4");
    std::ofstream(dir / "notes.txt") << "hello";
    auto r = cli("--json --in-place " + sh(dir / "good.mp4") + " " + sh(dir / "gone.mov") + " " +
                 sh(dir / "notes.txt"));
    EXPECT_EQ(r.status, 1);
    const std::string lines[] = {
        R"j({"file":"D/good.mp4","name":"good.mp4","mode":"inPlace","outcome":"added","message":"No tag found — added Display-P3","produced":"D/good.mp4","detail":null,"layers":["container","bitstream"]})j",
        R"j({"file":"D/gone.mov","name":"gone.mov","mode":"inPlace","outcome":"error","message":"Can't read file","produced":"D/gone.mov","detail":"No such file or directory","layers":[]})j",
        R"j({"file":"D/notes.txt","name":"notes.txt","mode":"inPlace","outcome":"skipped","message":"Skipped (unsupported)","produced":null,"detail":"not a movie or photo","layers":[]})j",
    };
    std::istringstream out(r.out);
    for (std::string want : lines) {
        for (std::size_t at; (at = want.find("\"D/")) != std::string::npos;)
            want.replace(at + 1, 1, dir.path().string());
        std::string got;
        std::getline(out, got);
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
        {"--copy", {"p3Copy"}},
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

// Polls until found() holds; false when it never did. The harness's patience, not a measurement:
// a step that hangs fails here.
bool eventually(const std::function<bool()>& found) {
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
         std::chrono::steady_clock::now() < until;
         std::this_thread::sleep_for(std::chrono::milliseconds(1)))
        if (found()) return true;
    return false;
}

// A source slow enough to be caught in the middle: for a copy, about 160 MB (a tagged clip with a
// large free atom behind it, so its tag is the 2-byte patch); for a bake, 30 seconds of video.
void placeSource(bool bake, const fs::path& file) {
    if (bake) {
        fs::copy_file(tgtest::madeOnce("long.mov",
                                       "-f lavfi -i testsrc2=s=640x360:r=25:d=30 "
                                       "-c:v libx264 -preset ultrafast -pix_fmt yuv420p"),
                      file);
        return;
    }
    const std::uint32_t padding = 160u << 20;
    auto bytes = tgtest::readBytes(tgtest::clip("bt709.mov"));
    const std::uint64_t end = bytes.size() + padding;
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes.push_back(std::uint8_t(padding >> shift));
    bytes.insert(bytes.end(), {'f', 'r', 'e', 'e'});
    tgtest::writeBytes(file, bytes);
    fs::resize_file(file, end);
}

} // namespace

// The steps in progress finish, no further one starts; a second signal ends a bake early.
TEST(Interrupted, ASignalLetsTheStepFinishThenExitsWithTheShellsCode) {
    // The signal, whether the step is a bake (else a copy), the exit status, whether sent twice.
    const std::tuple<int, bool, int, bool> cases[] = {
        {SIGINT, true, 130, false}, {SIGTERM, false, 143, false}, {SIGINT, true, 130, true}};
    for (const auto& [signal, bakes, code, twice] : cases) {
        const bool bake = bakes; // used in lambdas: clang 14 captures no structured bindings
        SCOPED_TRACE(std::string(::strsignal(signal)) + (twice ? " twice" : ""));
        TempDir dir, logs;
        // The step on a fresh source beside an earlier output, and a photo waiting its turn.
        const fs::path source = dir / "clip.mov",
                       output = dir / (bake ? "clip_universal.mov" : "clip_P3.mov");
        placeSource(bake, source);
        tgtest::writeBytes(output, tgtest::EARLIER);
        tgtest::placed("photo.jpg", dir.path(), "photo.jpg");
        // In the background, under the shell's process id, which it leaves in a file.
        tgtest::CommandResult r;
        std::atomic<bool> ended = false;
        std::jthread runner([&] {
            r = tgtest::run("echo $$ >" + sh(logs / "pid") + "; exec " + TG_CLI + " --json " +
                            (bake ? "--bake " : "--copy ") + sh(source) + " " +
                            sh(dir / "photo.jpg") + " 2>" + sh(logs / "err"));
            ended = true;
        });
        ASSERT_TRUE(eventually([&] {
            return ended ||
                   !tgtest::namesStartingWith(dir.path(), bake ? ".tg_bake_" : ".tg_copy_").empty();
        }));
        ASSERT_FALSE(ended) << "the step ended before it could be caught";
        const pid_t pid = std::stoi(text(logs / "pid"));
        ::kill(pid, signal);
        // Two signals of one kind sent together arrive as one: the second waits for the first's
        // word.
        if (twice) {
            ASSERT_TRUE(eventually([&] {
                return text(logs / "err").find("stopping after this bake") != std::string::npos;
            }));
            ::kill(pid, signal);
        }
        runner.join();
        EXPECT_EQ(r.status, code);
        // The photo overlaps the step: it was done, and said, or never begun.
        const auto lines = jsonLines(r.out);
        ASSERT_GE(lines.size(), 1u);
        ASSERT_LE(lines.size(), 2u);
        EXPECT_EQ(fs::exists(dir / "photo_P3.jpg"), lines.size() == 2);
        EXPECT_TRUE(tgtest::namesStartingWith(dir.path(), ".").empty());
        if (twice) {
            // The bake's in-place tag had finished before the encode began.
            EXPECT_EQ(lines[0]["message"], "Re-encode failed: cancelled");
            EXPECT_EQ(tgtest::readBytes(output), tgtest::EARLIER);
            EXPECT_EQ(tgtest::containerFields("stream=color_primaries", source), "smpte432");
            continue;
        }
        // The step finished and its output is complete.
        EXPECT_EQ(lines[0]["produced"], output.string()) << lines[0].dump();
        if (bake) {
            EXPECT_EQ(
                tgtest::containerFields("stream=codec_name,color_primaries,nb_frames", output),
                "h264,bt709,750");
        } else {
            EXPECT_EQ(fs::file_size(output), fs::file_size(source));
        }
    }
}

// A run lists a folder once for killed runs' leftovers, however many of its files it tags, and
// resolves no path it is not asked to. Counted as getdents64 calls: one listing reads the folder in
// buffers of a fixed size, so its calls grow with the folder's entries, and a listing per photo
// makes them grow with entries times photos. One entry in a hundred is a photo, so a folder ten
// times larger costs a hundred times the calls when each photo lists it, and the same calls per
// thousand entries when the run lists it a fixed number of times (a little fewer: a listing's
// last, empty call spreads over more entries). No photo here is a link, so none is resolved.
TEST(Batch, AFolderIsListedOnceHoweverManyPhotosItHolds) {
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
    GTEST_SKIP() << "a sanitized program cannot be traced: LeakSanitizer stops under ptrace";
#endif
#endif
    if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "strace is not installed or may not trace here";
    TempDir seed;
    // Already Display P3: each photo is read, nothing is written, so the run stays quick.
    const auto photo = tgtest::placed("photo.jpg", seed.path(), "photo.jpg");
    ASSERT_EQ(cli("--in-place " + sh(photo)).status, 0);
    // The calls per thousand entries of each traced system call.
    const auto callsPerThousand = [&](int entries) {
        TempDir dir;
        for (int i = 0; i < entries; ++i) {
            const std::string stem = std::to_string(100000 + i);
            if (i % 100 == 0)
                fs::copy_file(photo, dir / (stem + ".jpg"));
            else
                std::ofstream(dir / (stem + ".txt"));
        }
        const auto counts = seed / "counts";
        const auto r =
            tgtest::run("strace -f -c -e trace=getdents64,readlink,readlinkat -o " + sh(counts) +
                        " " + TG_CLI + " --json --in-place " + sh(dir.path()) + " 2>/dev/null");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(jsonLines(r.out).size(), std::size_t(entries / 100));
        std::map<std::string, double> perThousand;
        std::istringstream table(text(counts));
        for (std::string line; std::getline(table, line);) {
            std::istringstream fields(line);
            std::vector<std::string> f{std::istream_iterator<std::string>(fields), {}};
            if (f.size() >= 5 && std::isdigit(f[3][0]))
                perThousand[f.back()] = std::stod(f[3]) * 1000 / entries;
        }
        return perThousand;
    };
    auto small = callsPerThousand(2'000), large = callsPerThousand(20'000);
    ASSERT_GT(small["getdents64"], 0) << text(seed / "counts");
    EXPECT_LT(large["getdents64"], 1.5 * small["getdents64"])
        << small["getdents64"] << " calls per 1,000 entries at 2,000";
    EXPECT_EQ(large["readlink"] + large["readlinkat"], 0);
}

// Files overlap in a run, but their records come in the order given, each file once: named
// again, reached through its folder or by a second hard link, it would meet its own lock.
TEST(Batch, RecordsComeInTheOrderGivenAndAFileNamedTwiceRunsOnce) {
    TempDir dir;
    const fs::path shoot = dir / "shoot";
    fs::create_directories(shoot / "later");
    tgtest::placed("bt709.mov", shoot, "a.mov"); // slower than the photos behind it
    std::vector<std::string> expected = {(shoot / "a.mov").string()};
    for (const char* name : {"b.jpg", "c.png", "d.jpg", "e.jpg", "later/f.jpg"}) {
        tgtest::placed(fs::path(name).extension() == ".png" ? "photo.png" : "photo.jpg", shoot,
                       name);
        expected.push_back((shoot / name).string());
    }
    fs::create_hard_link(shoot / "d.jpg", dir / "link.jpg");
    const auto r = cli("--json --copy --in-place " + sh(shoot) + " " + sh(shoot / "b.jpg") + " " +
                       sh(dir / "link.jpg") + " " + sh(shoot));
    EXPECT_EQ(r.status, 0) << r.out;
    std::vector<std::string> seen;
    for (const auto& line : r.lines) {
        const std::string file = line["file"];
        EXPECT_EQ(line["name"], fs::path(file).filename().string()) << "another file's record";
        if (line["mode"] == "inPlace") seen.push_back(file);
    }
    EXPECT_EQ(seen, expected);
}

// Files that are not what they claim, and file systems that refuse: each gets its message and
// the file keeps every byte unless the result says otherwise.
#include "movie/atoms.h"
#include "movie/movie_tagger.h"

#include "movie_files.h"

#include <gtest/gtest.h>

#include <csignal>
#include <functional>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tg;
using namespace tgtest;

namespace {

const std::string BT709 = "-color_primaries bt709 -color_trc bt709 -colorspace bt709 ";
const char* const PARTWAY = "Write failed partway — file may need re-export";

// A small movie tree: ftyp, moov with one video track, mdat.
Blob tinyMovie(std::initializer_list<Blob> stblExtra = {}, std::initializer_list<Blob> tail = {}) {
    Blob stbl = cat({stsd({sampleEntry("avc1")}), cat(stblExtra)});
    return cat({atom("ftyp", text("isom")), atom("moov", {track({stbl})}),
                atom("mdat", Blob(64, 0x55)), cat(tail)});
}

// Runs fn in a child process; its exit status, -1 when it did not exit.
int inChild(const std::function<int()>& fn) {
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(fn());
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Expect {
    TGOutcome outcome;
    std::string message;
};

} // namespace

class BadMovie : public ::testing::Test {
protected:
    fs::path put(const std::string& name, const Blob& bytes) {
        writeBytes(dir / name, bytes);
        return dir / name;
    }
    // Both entry points on the same bytes: each result as expected and the file untouched.
    void check(const Blob& bytes, const Expect& core, const Expect& add) {
        auto path = put("bad.mov", bytes);
        auto r = processCore(path);
        EXPECT_EQ(r.outcome, core.outcome) << r.message;
        EXPECT_EQ(r.message, core.message);
        EXPECT_EQ(readBytes(path), bytes);
        r = addColr(path);
        EXPECT_EQ(r.outcome, add.outcome) << r.message;
        EXPECT_EQ(r.message, add.message);
        EXPECT_EQ(readBytes(path), bytes);
    }
    TempDir dir;
};

TEST_F(BadMovie, TinyFilesAreRefusedBeforeOpening) {
    const Expect cantRead{TGOutcome::error, "Can't read file"};
    const Expect readError{TGOutcome::error, "Read error"};
    const Expect noMoov{TGOutcome::error, "Unsupported (no moov)"};
    check({}, cantRead, readError);
    check(atom("moov", Blob(8, 0)), cantRead, readError); // 16 bytes, valid-looking
    check(atom("free", Blob(9, 0)), noMoov, noMoov);      // 17 bytes
    auto txt = put("notes.txt", tinyMovie());
    EXPECT_EQ(processCore(txt).message, "Skipped (not a video)");
    EXPECT_EQ(processCore(dir / "missing.mov").message, "Can't read file");
}

TEST_F(BadMovie, MalformedTopLevelSizesMeanNoMoov) {
    const Expect noMoov{TGOutcome::error, "Unsupported (no moov)"};
    Blob moov = atom("moov", {track({stsd({sampleEntry("avc1", {colr("nclc", 1, 1)})})})});
    check(cat({be32(0), text("free"), Blob(8, 0), moov}), noMoov, noMoov); // runs to the end
    check(cat({be32(4), text("free"), Blob(8, 0), moov}), noMoov, noMoov);
    check(cat({be32(1), text("free"), Blob(7, 0), be32(15), moov}), noMoov, noMoov);
    // 64-bit sizes at and above 2^63 are malformed, not negative offsets.
    check(cat({be32(1), text("free"), Blob{0x80, 0, 0, 0, 0, 0, 0, 0}, moov}), noMoov, noMoov);
    check(cat({be32(1), text("free"), Blob(8, 0xFF), moov}), noMoov, noMoov);
    // A remainder of 7 bytes after the last atom, or a moov larger than 512 MB.
    check(cat({atom("free", Blob(12, 0)), Blob(7, 0)}), noMoov, noMoov);
    check(cat({be32(600000000), text("moov"), Blob(40, 0)}), noMoov, noMoov);
}

TEST_F(BadMovie, TruncatedMoviesAreLeftAlone) {
    auto movie = readBytes(cached("trunc_src.mp4", [](const fs::path& out) {
        ffmpeg("-f lavfi -i testsrc2=s=64x48:r=10:d=1 -c:v libx264 -f mp4 " + sh(out));
    }));
    ASSERT_FALSE(moovFirst(movie));
    std::uint64_t moovAt = 0;
    for (const auto& a : childAtoms(movie, 0, movie.size()))
        if (a.typ == "moov") moovAt = a.p;
    const Expect noMoov{TGOutcome::error, "Unsupported (no moov)"};
    // Cut inside mdat: the walk reaches the end of the file before any moov.
    check(Blob(movie.begin(), movie.begin() + moovAt - 100), noMoov, noMoov);
    // Cut inside moov: no colour atom in what is there, and the insertion needs all of moov.
    check(Blob(movie.begin(), movie.begin() + moovAt + 200), noMoov, noMoov);
}

TEST_F(BadMovie, InsertionRefusesWhatItCannotKeepConsistent) {
    const Expect tooLarge{TGOutcome::error, "Can't add tag — a size or offset would pass 4 GB"};
    check(tinyMovie({stco({0xFFFFFFF0u})}), tooLarge, tooLarge);
    const Expect fragmented{TGOutcome::error, "Unsupported (fragmented movie)"};
    check(tinyMovie({}, {atom("moof", Blob(16, 0))}), fragmented, fragmented);
    check(tinyMovie({}, {atom("mfra", Blob(16, 0))}), fragmented, fragmented);
    const Expect items{TGOutcome::error, "Unsupported (offsets outside chunk tables)"};
    check(tinyMovie({}, {atom("meta", {be32(0), atom("iloc", Blob(8, 0))})}), items, items);
    // A top-level meta without item locations is only moved.
    auto path = put("meta.mov", tinyMovie({}, {atom("meta", {be32(0), atom("hdlr", Blob(8, 0))})}));
    EXPECT_EQ(addColr(path).outcome, TGOutcome::added);
}

TEST_F(BadMovie, SoundOnlyMovieIsSkippedUntouched) {
    check(cat({atom("moov", {track({stsd({atom("mp4a", Blob(28, 0))})})})}),
          {TGOutcome::skipped, "No video track to tag"},
          {TGOutcome::skipped, "No video track to tag"});
}

TEST_F(BadMovie, HdrSignalAnywhereLeavesTheFileAlone) {
    for (auto [prim, trc] : {std::pair{9, 1}, std::pair{1, 16}, std::pair{1, 18}}) {
        Blob moov =
            atom("moov", {track({stsd({sampleEntry("avc1", {colr("nclc", 1, 1)})})}),
                          track({stsd({sampleEntry("hvc1", {colr("nclx", std::uint16_t(prim),
                                                                 std::uint16_t(trc))})})})});
        auto path = put("hdr.mov", cat({atom("ftyp", text("qt  ")), moov}));
        auto r = processCore(path);
        EXPECT_EQ(r.outcome, TGOutcome::hdr);
        EXPECT_EQ(r.message, "HDR — left unchanged");
        EXPECT_EQ(readBytes(path), cat({atom("ftyp", text("qt  ")), moov}));
    }
}

TEST_F(BadMovie, PatchRewritesOnlyPrimariesThatAreNotP3) {
    Blob moov = atom("moov", {track({stsd({sampleEntry("avc1", {colr("nclx", 12, 1)})})}),
                              track({stsd({sampleEntry("avc1", {colr("nclc", 1, 1)})})})});
    Blob file = cat({atom("ftyp", text("qt  ")), moov});
    auto path = put("two.mov", file);
    auto r = processCore(path);
    EXPECT_EQ(r.outcome, TGOutcome::fixed);
    EXPECT_EQ(r.message, "Fixed → Display-P3");
    auto after = readBytes(path);
    auto found = findColr(after);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].prim, 12);
    EXPECT_EQ(found[1].prim, 12);
    after[found[1].off + 1] = 1; // only that byte differs
    EXPECT_EQ(after, file);
    EXPECT_EQ(processCore(path).message, "Already Display-P3");
}

// Permission and disk faults need root: to act as another user and to mount a small tmpfs.
class FileSystemFault : public BadMovie {
protected:
    Blob movie(const std::string& name) {
        return readBytes(cached(name, [&](const fs::path& out) {
            ffmpeg("-f lavfi -i testsrc2=s=64x48:r=10:d=1 -c:v libx264 " +
                   std::string(name.starts_with("nclc") ? BT709 : "") +
                   "-movflags +faststart -f mov " + sh(out));
        }));
    }
};

TEST_F(FileSystemFault, ReadOnlyFileSaysNoWritePermission) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as an unprivileged user";
    ::chmod(dir.path().c_str(), 0755);
    for (const char* name : {"nclc709.mov", "none.mov"}) {
        auto path = put(name, movie(name));
        ::chmod(path.c_str(), 0644); // root's file: read-only to nobody
        int status = runAsNobody([&] {
            auto a = processCore(path);
            auto b = addColr(path);
            return a.message == "No write permission" && b.message == "No write permission" ? 0 : 1;
        });
        EXPECT_EQ(status, 0) << name;
        EXPECT_EQ(readBytes(path), movie(name));
    }
}

TEST_F(FileSystemFault, ReadOnlyFolderSaysNoWritePermission) {
    SmallDisk disk(8 << 20);
    if (!disk.mounted()) GTEST_SKIP() << "needs root to mount a tmpfs";
    for (const char* name : {"nclc709.mov", "none.mov"})
        writeBytes(disk.path() / name, movie(name));
    ASSERT_TRUE(disk.makeReadOnly());
    for (const char* name : {"nclc709.mov", "none.mov"}) {
        auto r = processCore(disk.path() / name);
        EXPECT_EQ(r.outcome, TGOutcome::error);
        EXPECT_EQ(r.message, "No write permission");
        EXPECT_EQ(readBytes(disk.path() / name), movie(name));
    }
}

TEST_F(FileSystemFault, FullDiskCannotGrowTheFileAndLeavesItUnchanged) {
    SmallDisk disk(8 << 20);
    if (!disk.mounted()) GTEST_SKIP() << "needs root to mount a tmpfs";
    // The file ends 4090 bytes into a page, so 19 more bytes need a page the disk lacks.
    Blob padded = padToPageTail(movie("none.mov"), 4090);
    auto path = disk.path() / "none.mov";
    writeBytes(path, padded);
    disk.fill(0);
    auto r = processCore(path);
    EXPECT_EQ(r.outcome, TGOutcome::error);
    EXPECT_EQ(r.message, "Couldn't grow file (disk full?)");
    EXPECT_EQ(readBytes(path), padded);
}

TEST_F(FileSystemFault, FailingPrimariesWriteIsReportedNotHiddenBehindFixed) {
    // A file-size limit below moov makes every write there fail (EFBIG), as a dying disk would.
    Blob bytes = movie("nclc709.mov");
    auto path = put("nclc709.mov", bytes);
    auto found = findColr(bytes);
    ASSERT_FALSE(found.empty());
    int status = inChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit lim{found[0].off - 100, found[0].off - 100};
        if (::setrlimit(RLIMIT_FSIZE, &lim) != 0) return 2;
        auto r = processCore(path);
        return r.outcome == TGOutcome::error && r.message == PARTWAY ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readBytes(path), bytes);
}

TEST_F(FileSystemFault, FileSizeLimitStopsTheGrowthBeforeAnyWrite) {
    Blob bytes = movie("none.mov");
    auto path = put("none.mov", bytes);
    int status = inChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit lim{bytes.size() + 5, bytes.size() + 5};
        if (::setrlimit(RLIMIT_FSIZE, &lim) != 0) return 2;
        auto r = processCore(path);
        return r.message == "Couldn't grow file (disk full?)" ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readBytes(path), bytes);
}

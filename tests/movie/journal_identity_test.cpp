// An interrupted edit is found through the mark at the movie's end wherever the movie goes, and
// its journal is played back only when it is this program's own, made for this very movie.
#include "edit/journal.h"
#include "edit/mark.h"

#include "movie_fixtures.h"

#include <unistd.h>

using namespace tg;
using namespace movietest;
using enum TGOutcome;

namespace {

const std::string CANT_FINISH = "Can't finish an interrupted edit — file left as it is";
constexpr std::uint64_t SHIFT_STEP = 32 << 10;

// A movie whose shift was stopped halfway, and what the finished edit makes of it.
struct Interrupted {
    fs::path movie;
    std::uint64_t finished = 0;

    Interrupted(const fs::path& dir, const std::string& name) : movie(dir / name) {
        makeMovie(movie, SRC + SND + X264 + FAST);
        padWithFree(movie, 150000);
        const auto reference = dir / ("reference_" + name);
        fs::copy_file(movie, reference);
        int ops = 0;
        FileFaults counting = rule();
        counting.after = [&](FileOp) { ++ops; };
        EXPECT_EQ(processWith(reference, counting).message, ADDED);
        finished = fileHash(reference);
        fs::remove(reference);
        EXPECT_TRUE(runStoppedAt(
            ops / 2, [&] { processCore(movie); }, rule()));
        EXPECT_EQ(state(movie), MarkState::journaled);
    }
    static FileFaults rule() { return route(RangeInsertion::never, SHIFT_STEP); }
    static std::optional<MarkState> state(const fs::path& path) {
        const auto mark = findMark(FileHandle::openForReading(path));
        return mark ? std::optional(mark->state) : std::nullopt;
    }
    fs::path journal() const {
        return journalPath(movie.parent_path(), findMark(FileHandle::openForReading(movie))->id);
    }
};

void expectFinished(const fs::path& movie, std::uint64_t finished) {
    auto r = processWith(movie, Interrupted::rule());
    EXPECT_EQ(std::tie(r.outcome, r.message), std::tuple(added, FINISHED)) << r.detail.value_or("");
    EXPECT_EQ(fileHash(movie), finished);
    EXPECT_FALSE(Interrupted::state(movie));
}

// Refused, with nothing written.
void expectRefused(const fs::path& movie, const std::string& detail) {
    const std::uint64_t before = fileHash(movie);
    const auto r = processCore(movie);
    EXPECT_EQ(std::tie(r.outcome, r.message), std::tuple(error, CANT_FINISH));
    EXPECT_NE(r.detail.value_or("").find(detail), std::string::npos) << r.detail.value_or("");
    EXPECT_TRUE(hasInterruptedEdit(movie)); // so copies refuse it too
    EXPECT_EQ(fileHash(movie), before);
}

TEST(Interrupted, TheNextRunFindsTheEditWhereverTheMovieWent) {
    TempDir dir;
    fs::create_directories(dir / "a");
    fs::create_directories(dir / "b");
    {
        SCOPED_TRACE("renamed into another folder: the journal is found where it was written");
        Interrupted edit(dir / "a", "clip.mp4");
        fs::rename(edit.movie, dir / "b" / "renamed.mp4");
        expectFinished(dir / "b" / "renamed.mp4", edit.finished);
    }
    {
        SCOPED_TRACE("moved, and its journal lost");
        Interrupted edit(dir / "a", "clip.mp4");
        const auto journal = edit.journal();
        fs::remove(journal);
        fs::rename(edit.movie, dir / "b" / "clip.mp4");
        expectRefused(dir / "b" / "clip.mp4", journal.filename().string() + " is not in " +
                                                  (dir / "b").string() + " or " +
                                                  (dir / "a").string());
    }
    // Only the second name of the lost journal's movie is left, for the next sweep.
    EXPECT_EQ(journals(dir / "a").size() + journals(dir / "b").size(), 1u);
}

TEST(Interrupted, AJournalIsPlayedBackOnlyWhenItIsOursAndMatchesTheMovie) {
    TempDir dir;
    Interrupted edit(dir.path(), "clip.mp4");
    const fs::path journal = edit.journal();
    const Blob saved = readBytes(journal);
    const auto rewritten = [&](const std::function<void(Journal&)>& change) {
        Journal j = *decodeJournal(saved);
        change(j);
        writeBytes(journal, encodeJournal(j));
    };
    const std::tuple<const char*, std::function<void()>, std::string> planted[] = {
        {"writable by others", [&] { fs::permissions(journal, fs::perms(0666)); },
         "others may write it"},
        {"a symbolic link",
         [&] {
             fs::rename(journal, dir / "elsewhere");
             fs::create_symlink(dir / "elsewhere", journal);
         },
         "symbolic link"},
        {"another name for it", [&] { fs::create_hard_link(journal, dir / "second"); },
         "other names"},
        {"another user's", [&] { EXPECT_EQ(::chown(journal.c_str(), 65534, 65534), 0); },
         ::geteuid() == 0 ? "belongs to another user" : ""},
        {"another edit's", [&] { rewritten([](Journal& j) { j.id = uuidString(); }); },
         "does not match this file"},
        {"another movie's bytes", [&] { rewritten([](Journal& j) { j.windowHash ^= 1; }); },
         "does not match this file"},
        {"another movie's head", [&] { rewritten([](Journal& j) { j.headHash ^= 1; }); },
         "does not match this file"},
    };
    for (const auto& [what, plant, detail] : planted) {
        SCOPED_TRACE(what);
        plant();
        expectRefused(edit.movie, detail.empty() ? journal.string() : detail);
        for (const char* extra : {"elsewhere", "second"})
            fs::remove(dir / extra);
        fs::remove(journal);
        writeBytes(journal, saved);
        fs::permissions(journal, fs::perms(0600));
    }
    expectFinished(edit.movie, edit.finished);
}

// Mounts an image on a loop device other than the one it had, so the movie's device number
// changes; exFAT goes through FUSE, whose inode numbers do not survive a remount either.
struct Remountable {
    TempDir dir;
    std::string type;
    std::string loop;
    bool ok = false;

    explicit Remountable(std::string fsType) : type(std::move(fsType)) {
        fs::create_directory(mnt());
        const std::string make = type == "exfat" ? "mkfs.exfat " : "mkfs.ext4 -q -F ";
        ok =
            ::geteuid() == 0 &&
            run("truncate -s 64M " + sh(image()) + " && " + make + sh(image()) + " >/dev/null 2>&1")
                    .status == 0 &&
            mount();
    }
    ~Remountable() {
        if (ok) run("umount " + sh(mnt()));
        if (!loop.empty()) run("losetup -d " + loop);
    }
    fs::path image() const { return dir / "disk.img"; }
    fs::path mnt() const { return dir / "mnt"; }
    // A second device for the same image while the first still holds it: never the same one.
    bool mount() {
        const auto attached = run("losetup -f --show " + sh(image()));
        const std::string next = attached.out.substr(0, attached.out.find('\n'));
        if (attached.status != 0 || next.empty()) return false;
        if (!loop.empty()) run("losetup -d " + loop);
        loop = next;
        const std::string how = type == "exfat" ? "mount.exfat-fuse " : "mount ";
        return run(how + loop + " " + sh(mnt()) + " >/dev/null 2>&1").status == 0;
    }
    bool remount() { return run("umount " + sh(mnt())).status == 0 && mount(); }
};

class Remounted : public ::testing::TestWithParam<std::string> {};

TEST_P(Remounted, TheNextRunFindsTheEditOnTheDiskThatCameBack) {
    Remountable disk(GetParam());
    if (!disk.ok) GTEST_SKIP() << "nothing can be mounted here as " << GetParam();
    Interrupted edit(disk.mnt(), "clip.mp4");
    struct stat old {};
    ::stat(edit.movie.c_str(), &old);
    ASSERT_TRUE(disk.remount());
    struct stat now {};
    ::stat(edit.movie.c_str(), &now);
    EXPECT_NE(old.st_dev, now.st_dev);
    expectFinished(edit.movie, edit.finished);
    EXPECT_TRUE(journals(disk.mnt()).empty());
}

INSTANTIATE_TEST_SUITE_P(FileSystems, Remounted, testing::Values("ext4", "exfat"));

} // namespace

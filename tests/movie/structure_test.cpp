// Movies whose structure a byte scan or a first-track-only walk gets wrong, and files that are not
// what they seem: each is tagged where the structure says, or refused with every byte kept.
#include "movie_fixtures.h"

#include <fstream>

#include <sys/stat.h>
#include <sys/statfs.h>

using namespace tg;
using namespace movietest;
using enum TGOutcome;

namespace {

const std::string MOV_NCLC = SRC + SND + X264 + BT709;

// Moves one track's data into "another file": its dref entry loses the self-contained flag.
Blob externalTrack(Blob file, std::size_t trackIndex) {
    const std::uint64_t moov = find(file, {"moov"});
    std::size_t seen = 0;
    for (const auto& t : childAtoms(file, moov + 8, moov + u32(file, moov))) {
        if (t.type != "trak" || seen++ != trackIndex) continue;
        const Blob trak(file.begin() + std::ptrdiff_t(t.offset),
                        file.begin() + std::ptrdiff_t(t.offset + t.size));
        for (const char* entry : {"url ", "alis"}) {
            const std::uint64_t at = find(trak, {"trak", "mdia", "minf", "dinf", "dref"});
            if (at == std::string::npos) continue;
            for (const auto& e : childAtoms(trak, at + 16, at + u32(trak, at)))
                if (e.type == entry) file[t.offset + e.offset + 11] = 0; // flags: not here
        }
    }
    return file;
}

// An iloc (version 1, 4-byte fields, one item at `target` by file offset) in udta/meta.
Blob ilocInUdta(std::uint64_t target) {
    const Blob iloc = atom("iloc", cat({be(0x01000000), Blob{0x44, 0x40}, be(1, 2), be(1, 2),
                                        be(0, 2), be(0, 2), be(target), be(1, 2), be(0), be(16)}));
    return atom("udta", atom("meta", cat({be(0), hdlr("mdir"), iloc})));
}

// The base offset of the first iloc in a udta/meta of moov.
std::uint64_t ilocTarget(const Blob& file) {
    const std::uint64_t moov = find(file, {"moov"});
    for (const auto& udta : childAtoms(file, moov + 8, moov + u32(file, moov))) {
        if (udta.type != "udta") continue;
        for (const auto& meta : childAtoms(file, udta.offset + 8, udta.offset + udta.size))
            for (const auto& a : childAtoms(file, meta.offset + 12, meta.offset + meta.size))
                if (a.type == "iloc") return u32(file, a.offset + 22);
    }
    return 0;
}

// A small file system in a loop image, mounted on a fresh folder: btrfs (copy-on-write), or XFS
// (shared extents after a reflink copy). XFS is kept from preallocating past the end of growing
// files: it gives such blocks back when space runs out, so the disk would not be as full as made.
class LoopDisk {
public:
    LoopDisk(const std::string& type, std::uint64_t bytes) {
        const std::string mkfs = "mkfs." + type;
        if (::geteuid() != 0 || run("command -v " + mkfs).status != 0) return;
        const auto image = dir_ / "disk.img";
        std::filesystem::create_directory(dir_ / "mnt");
        if (run("truncate -s " + std::to_string(bytes) + " " + sh(image)).status != 0) return;
        if (run(mkfs + " -q -f " + sh(image) + " >/dev/null 2>&1").status != 0) return;
        const std::string options = type == "xfs" ? "loop,allocsize=4096" : "loop";
        mounted_ =
            run("mount -o " + options + " " + sh(image) + " " + sh(dir_ / "mnt")).status == 0;
    }
    ~LoopDisk() {
        if (mounted_) run("umount " + sh(dir_ / "mnt"));
    }
    LoopDisk(const LoopDisk&) = delete;
    LoopDisk& operator=(const LoopDisk&) = delete;
    bool mounted() const { return mounted_; }
    fs::path path() const { return dir_ / "mnt"; }
    std::uint64_t freeBytes() const {
        struct statfs s {};
        ::statfs(path().c_str(), &s);
        return std::uint64_t(s.f_bavail) * s.f_bsize;
    }

private:
    TempDir dir_;
    bool mounted_ = false;
};

} // namespace

// Offsets that point into another file never move; item locations in moov follow the media.
TEST(Structure, ExternalDataStaysAndItemLocationsFollow) {
    TempDir dir;
    const auto path = dir / "external.mp4";
    makeMovie(path, SRC + SND + X264 + FAST);
    Blob file = externalTrack(readBytes(path), 1); // the sound track
    const auto before = chunkOffsets(file);
    ASSERT_EQ(before.size(), 2u);
    writeBytes(path, file);
    EXPECT_EQ(processCore(path).message, ADDED);
    const auto after = chunkOffsets(readBytes(path));
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[1], before[1]);
    for (std::size_t i = 0; i < before[0].size(); ++i)
        EXPECT_EQ(after[0][i], before[0][i] + 19);

    // An item at the first video chunk, moov first: it moves with the media.
    const auto items = dir / "items.mp4";
    makeMovie(items, SRC + X264 + FAST);
    // The udta is the same size whatever its target, so the chunks land at the same place.
    const std::uint64_t moved = chunkOffsets(withMoovChild(readBytes(items), ilocInUdta(0)))[0][0];
    file = withMoovChild(readBytes(items), ilocInUdta(moved));
    writeBytes(items, file);
    EXPECT_EQ(ilocTarget(file), moved);
    EXPECT_EQ(chunkOffsets(file)[0][0], moved);
    const std::string hashes = frameHashes(items);
    EXPECT_EQ(processCore(items).message, ADDED);
    EXPECT_EQ(ilocTarget(readBytes(items)), moved + 19);
    EXPECT_EQ(frameHashes(items), hashes);
}

// A track whose tables are not where its structure says (its mdia renamed moof, 4 bytes that
// ffmpeg forgives), or an item table that cannot be read: refused, every byte kept.
TEST(Structure, UnexpectedStructuresAreRefusedBeforeWriting) {
    TempDir dir;
    const auto renamed = dir / "renamed.mp4";
    makeMovie(renamed, SRC + SND + X264 + FAST);
    Blob file = readBytes(renamed);
    const std::uint64_t moov = find(file, {"moov"});
    std::size_t traks = 0;
    for (const auto& t : childAtoms(file, moov + 8, moov + u32(file, moov))) {
        if (t.type != "trak" || traks++ != 1) continue;
        for (const auto& c : childAtoms(file, t.offset + 8, t.offset + t.size))
            if (c.type == "mdia")
                std::copy_n("moof", 4, file.begin() + std::ptrdiff_t(c.offset + 4));
    }
    writeBytes(renamed, file);
    ASSERT_FALSE(frameHashes(renamed).empty()); // ffmpeg still reads it

    const auto badItems = dir / "bad_items.mp4";
    makeMovie(badItems, SRC + X264 + FAST);
    Blob cut = ilocInUdta(5000);
    cut.resize(cut.size() - 6); // the extent runs past the atom's end
    wU32(cut, 0, std::uint32_t(cut.size()));
    wU32(cut, 8, std::uint32_t(cut.size() - 8));
    wU32(cut, 8 + 8 + 4 + 33, std::uint32_t(cut.size() - 8 - 8 - 4 - 33));
    writeBytes(badItems, withMoovChild(readBytes(badItems), cut));

    for (const auto& [path, message] :
         {std::pair{renamed, "Unsupported (unexpected track structure)"},
          std::pair{badItems, "Unsupported (offsets outside chunk tables)"}}) {
        SCOPED_TRACE(path.filename().string());
        const Blob bytes = readBytes(path);
        auto r = processCore(path);
        EXPECT_EQ(std::tie(r.outcome, r.message), std::tuple(error, std::string(message)));
        EXPECT_EQ(readBytes(path), bytes);
    }
    EXPECT_TRUE(journals(dir.path()).empty());
}

// Another run holding the file, a writer still appending to it, a FIFO named like a movie.
TEST(Structure, FilesInUseChangingOrNotRegularAreLeftAlone) {
    TempDir dir;
    const auto path = dir / "clip.mov";
    makeMovie(path, MOV_NCLC);
    const Blob bytes = readBytes(path);
    const std::string IN_USE = IN_USE_MESSAGE;
    for (LockKind held : {LockKind::exclusive, LockKind::shared}) {
        auto other = FileHandle::openRegular(path, held == LockKind::exclusive);
        ASSERT_TRUE(other->tryLock(held).ok());
        EXPECT_EQ(processCore(path).message, IN_USE);
        EXPECT_EQ(addColr(path).message, IN_USE);
        // And from another process, as a second window or CLI would be.
        const pid_t child = ::fork();
        if (child == 0) ::_exit(processCore(path).message == IN_USE ? 0 : 1);
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    EXPECT_EQ(readBytes(path), bytes);

    // A copy in progress appends while the edit is being set up: the edit stops, nothing is cut.
    for (const char* file : {"growing.mov", "growing_none.mp4"}) {
        SCOPED_TRACE(file);
        const auto growing = dir / file;
        makeMovie(growing, std::string(file).ends_with(".mov") ? MOV_NCLC : SRC + X264 + FAST);
        const Blob start = readBytes(growing);
        FileFaults appendFirst;
        bool appended = false;
        appendFirst.before = [&](FileOp) {
            if (!appended) {
                appended = true;
                std::ofstream(growing, std::ios::app) << std::string(5000, 'x');
            }
            return 0;
        };
        setFileFaults(appendFirst);
        auto r = processCore(growing);
        setFileFaults({});
        EXPECT_EQ(std::tie(r.outcome, r.message),
                  std::tuple(error, "File changed while it was being read — left unchanged"));
        Blob expected = start;
        expected.resize(start.size() + 5000, 'x');
        EXPECT_EQ(readBytes(growing), expected);
    }
    EXPECT_TRUE(journals(dir.path()).empty());

    // A FIFO: refused at once, in a child so that a hang fails the test instead of stalling it.
    ASSERT_EQ(::mkfifo((dir / "pipe.mov").c_str(), 0644), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(10);
        auto r = processCore(dir / "pipe.mov");
        auto a = addColr(dir / "pipe.mov");
        ::_exit(r.outcome == error && r.detail == "not a regular file" && a.outcome == error &&
                        !hasInterruptedEdit(dir / "pipe.mov")
                    ? 0
                    : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// On a copy-on-write file system the shift rewrites the whole tail into new blocks while a clone
// keeps the old ones: not enough room is a refusal before writing; running out anyway (the check
// skipped) leaves the edit for the next run, which finishes it once there is room.
class SharedBlocks : public testing::TestWithParam<const char*> {};

// A movie whose blocks a reflinked backup shares: every block the shift rewrites needs a new one.
TEST_P(SharedBlocks, ShiftOnAFullDiskIsRefusedOrFinishedLater) {
    LoopDisk disk(GetParam(), 512 << 20);
    if (!disk.mounted())
        GTEST_SKIP() << "needs root and mkfs." << GetParam() << " to make a loop image";
    TempDir scratch;
    const auto clip = scratch / "clip.mp4";
    makeMovie(clip, SRC + SND + X264 + FAST);
    // A tail of 60 MB of written (not sparse) padding.
    const auto movie = disk.path() / "master.mp4", backup = disk.path() / "backup.mp4";
    fs::copy_file(clip, movie);
    padWithFree(movie, 60 << 20, true);
    ASSERT_EQ(run("cp --reflink=always " + sh(movie) + " " + sh(backup) + " && sync").status, 0);
    // What the edit makes elsewhere, for comparison.
    const auto reference = scratch / "reference.mp4";
    fs::copy_file(movie, reference);
    FileFaults shift;
    shift.rangeInsertion = RangeInsertion::never;
    setFileFaults(shift);
    ASSERT_EQ(processCore(reference).message, ADDED);
    setFileFaults({});
    const std::uint64_t original = fileHash(movie), finished = fileHash(reference);
    const std::string hashes = frameHashes(movie);

    // Leave about 30 MB: less than the tail the shift rewrites.
    const auto ballast = disk.path() / "ballast";
    const std::uint64_t free = disk.freeBytes();
    run("fallocate -l " + std::to_string(free - std::min<std::uint64_t>(free, 30 << 20)) + " " +
        sh(ballast) + " && sync");
    auto r = processCore(movie);
    EXPECT_EQ(std::tie(r.outcome, r.message),
              std::tuple(error, "Not enough space for the edit on this file system"));
    EXPECT_EQ(fileHash(movie), original);
    EXPECT_TRUE(journals(disk.path()).empty());

    FileFaults unchecked;
    unchecked.skipSpaceCheck = true;
    setFileFaults(unchecked);
    r = processCore(movie);
    setFileFaults({});
    EXPECT_EQ(r.message, "Out of space partway — free some space and run again to finish")
        << r.detail.value_or("");
    EXPECT_TRUE(hasInterruptedEdit(movie));

    fs::remove(ballast);
    run("sync");
    r = processCore(movie);
    EXPECT_EQ(std::tie(r.outcome, r.message), std::tuple(added, FINISHED)) << r.detail.value_or("");
    EXPECT_EQ(fileHash(movie), finished);
    EXPECT_EQ(frameHashes(movie), hashes);
    EXPECT_EQ(fileHash(backup), original);
    EXPECT_TRUE(journals(disk.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(FileSystems, SharedBlocks, testing::Values("btrfs", "xfs"),
                         [](const auto& info) { return std::string(info.param); });

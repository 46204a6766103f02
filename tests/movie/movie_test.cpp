// The movie tagger: its atom readers and insertion plan on tiny atom trees built in memory, then
// processCore and addColr on real movies made by ffmpeg, on broken files and on refusing disks.
#include "movie/atoms.h"
#include "movie/insertion_plan.h"
#include "movie/movie_tagger.h"

#include "fixtures/media.h"

#include <gtest/gtest.h>

#include <csignal>
#include <set>

#include <sys/resource.h>
#include <unistd.h>

using namespace tg;
using namespace tgtest;
using enum TGOutcome;
using enum PlanKind;

namespace {

using Blob = std::vector<std::uint8_t>;

Blob cat(std::initializer_list<Blob> parts) {
    Blob out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
// v as `width` big-endian bytes.
Blob be(std::uint64_t v, int width = 4) {
    Blob b;
    for (int s = 8 * (width - 1); s >= 0; s -= 8)
        b.push_back(std::uint8_t(v >> s));
    return b;
}
const auto text = [](const std::string& s) { return Blob(s.begin(), s.end()); };
// An atom with a 32-bit size, or with size field 1 and a 64-bit size when large.
Blob atom(const std::string& type, const Blob& payload, bool large = false) {
    if (large) return cat({be(1), text(type), be(16 + payload.size(), 8), payload});
    return cat({be(8 + payload.size()), text(type), payload});
}
// stsd with one sample entry: 78 bytes of visual fields, then the entry's child atoms.
Blob stsd(const std::string& type, std::initializer_list<Blob> children = {}) {
    return atom("stsd", cat({be(0), be(1), atom(type, cat({Blob(78, 0), cat(children)}))}));
}
// trak/mdia/minf/stbl around one sample table's atoms.
Blob track(std::initializer_list<Blob> stblChildren) {
    return atom("trak", atom("mdia", atom("minf", atom("stbl", cat(stblChildren)))));
}
Blob colr(const std::string& kind, std::uint16_t prim, std::uint16_t trc) {
    return atom("colr", cat({text(kind), be(prim, 2), be(trc, 2), be(1, 2)}));
}

const std::string SRC = "-f lavfi -i testsrc2=s=64x48:r=10:d=1 ", SND = "-f lavfi -i sine=d=1 ";
const std::string BIG = "-f lavfi -i testsrc2=s=640x360:r=25:d=1.2 -vf noise=alls=100:allf=t ";
const std::string BT709 = "-color_primaries bt709 -color_trc bt709 -colorspace bt709 ";
const std::string X264 = "-c:v libx264 -pix_fmt yuv420p ", FAST = "-movflags +faststart";
const std::string X265 = "-c:v libx265 -x265-params log-level=none -pix_fmt yuv420p -tag:v hvc1 ";
const std::string FRAG = "-movflags frag_keyframe+empty_moov";
const std::string HDR_PQ = "-color_primaries bt2020 -color_trc smpte2084 -colorspace bt2020nc";
const std::string ADDED = "No tag found — added Display-P3", FIXED = "Fixed → Display-P3";
const std::string NO_MOOV = "Unsupported (no moov)", NO_WRITE = "No write permission";
// color_primaries of the first video stream as the container signals it: without decoding, since
// a decoder reports the bitstream's own colour description instead.
const std::string PRIMARIES = "ffprobe -v error -nofind_stream_info -select_streams v:0 "
                              "-show_entries stream=color_primaries -of csv=p=0 ";

enum Reshape { asIs, co64, largeMoov }; // layouts ffmpeg does not write
struct Movie {
    std::string file, args; // args: ffmpeg arguments before the output
    TGOutcome outcome;
    std::string message;
    Reshape reshape = asIs;
};
void PrintTo(const Movie& m, std::ostream* os) {
    *os << m.file;
}

// An atom of the moov tree rebuilt as `how` asks, its chunk offsets moved by delta.
Blob rebuild(const Blob& d, const Atom& a, Reshape how, std::uint64_t delta) {
    Blob out;
    if (std::set<std::string>{"moov", "trak", "mdia", "minf", "stbl"}.contains(a.type)) {
        for (const auto& c : childAtoms(d, a.offset + a.headerSize, a.offset + a.size))
            out = cat({out, rebuild(d, c, how, delta)});
        return atom(a.type, out, a.type == "moov" && how == largeMoov);
    }
    if (a.type != "stco") return Blob(d.begin() + a.offset, d.begin() + a.offset + a.size);
    out = cat({be(0), be(u32(d, a.offset + 12))});
    for (std::uint64_t i = 0; i < u32(d, a.offset + 12); ++i)
        out = cat({out, be(u32(d, a.offset + 16 + 4 * i) + delta, how == co64 ? 8 : 4)});
    return atom(how == co64 ? "co64" : "stco", out);
}
// The whole file so rebuilt: chunk offsets follow when moov grows in front of the media data.
Blob reshape(const Blob& file, Reshape how) {
    Blob out;
    bool moovFirst = true;
    for (const auto& a : childAtoms(file, 0, file.size())) {
        moovFirst = moovFirst && a.type != "mdat";
        const std::uint64_t grown = rebuild(file, a, how, 0).size() - a.size;
        out = cat({out, rebuild(file, a, how, moovFirst ? grown : 0)});
    }
    return out;
}

} // namespace

TEST(AtomReaders, ReadAndWriteBigEndianInsideTheBufferOnly) {
    Blob b = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    wU32(b, 0, 0xAABBCCDD);
    wU64(b, 1, 0x1122334455667788ull);
    wU32(b, 8, 0); // out of range: writes nothing, and reads give 0
    EXPECT_EQ(std::tuple(u16(b, 7), u32(b, 0), u64(b, 1)),
              std::tuple(0x7788, 0xAA112233u, 0x1122334455667788ull));
    EXPECT_EQ(std::tuple(u64(b, 2), u32(b, UINT64_MAX - 1)), std::tuple(0u, 0u));
    EXPECT_EQ(fourCC(text("moov"), 0) + fourCC(Blob{0xA9, 'n', 'a', 'm'}, 0), "moov");
}

TEST(ChildAtoms, ListsAtomsUpToTheFirstMalformedHeader) {
    // Bytes, then type/size/header size of each atom listed.
    const std::vector<std::pair<Blob, std::string>> cases = {
        {cat({atom("free", Blob{}), be(0), text("mdat"), Blob(10, 7)}), "free/8/8 mdat/18/8 "},
        {atom("skip", Blob(4, 0), true), "skip/20/16 "},
        {cat({atom("free", Blob{}), be(4), text("junk"), atom("moov", Blob{})}), "free/8/8 "},
        {cat({be(1), text("mdat"), be(1ull << 63, 8)}), ""},
    };
    for (const auto& [d, expected] : cases) {
        std::string listed;
        for (const auto& a : childAtoms(d, 0, d.size()))
            listed +=
                a.type + "/" + std::to_string(a.size) + "/" + std::to_string(a.headerSize) + " ";
        EXPECT_EQ(listed, expected);
    }
}

TEST(FindMoov, FindsTheFirstTopLevelMoovThroughARealFile) {
    TempDir dir;
    auto found = [&](const Blob& d) {
        writeBytes(dir / "m.mov", d);
        auto m = findMoov(FileHandle::openForReading(dir / "m.mov"), d.size());
        return m ? std::tuple(m->start, m->length) : std::tuple<std::uint64_t, std::uint64_t>();
    };
    EXPECT_EQ(found(cat({atom("free", Blob{}), atom("moov", Blob(8, 0))})), std::tuple(16u, 8u));
    EXPECT_EQ(found(atom("moov", Blob(984, 0), true)), std::tuple(16u, 984u));
    EXPECT_EQ(found(cat({be(5000), text("moov"), Blob(20, 0)})), std::tuple(8u, 4992u)); // cut
}

// Sound track first, then video: the tag goes at the end of the video entry, the seven atoms
// around it grow in order, and chunk offsets at or behind the insertion point move in every track.
TEST(InsertionPlan, GrowsTheVideoEntryAndItsAncestorsAndMovesLaterOffsets) {
    for (std::uint64_t hs : {8, 16}) {
        SCOPED_TRACE(hs == 16 ? "64-bit moov header" : "32-bit moov header");
        // Containers have 8-byte headers, so from its trak a track's mdia, minf, stbl, stsd and
        // sample entry lie 8, 16, 24, 32 and 48 bytes on; the hvc1 entry ends 172 bytes on.
        const std::uint64_t start = 100, sound = hs + 108, video = sound + 162;
        const std::uint64_t at = start + video + 172;
        const Blob stco = atom("stco", cat({be(0), be(3), be(at - 1), be(at), be(4096)}));
        const Blob co64 = atom("co64", cat({be(0), be(1), be(at, 8)}));
        const Blob moov = atom("moov",
                               cat({atom("mvhd", Blob(100, 0)), track({stsd("mp4a"), stco}),
                                    track({stsd("hvc1", {atom("hvcC", Blob(30, 1))}), co64})}),
                               hs == 16);
        auto p = planInsertion(moov, hs, moov.size(), start);
        ASSERT_EQ(std::tuple(p.kind, p.insertAt), std::tuple(insert, at - start));
        std::vector<std::tuple<std::uint64_t, bool, std::uint64_t>> sizes,
            expected = {{0, hs == 16, moov.size() + 19}};
        for (const auto& f : p.sizeFixes)
            sizes.emplace_back(f.absPos - start, f.isLarge, f.newSize);
        for (std::uint64_t pos : {video + 48, video + 32, video, video + 8, video + 16, video + 24})
            expected.emplace_back(pos, false, u32(moov, pos) + 19);
        EXPECT_EQ(sizes, expected);
        std::vector<std::tuple<std::uint64_t, int, std::uint64_t>> moved;
        for (const auto& f : p.offsetFixes)
            moved.emplace_back(f.absPos - start, f.w, f.v);
        EXPECT_EQ(moved, (decltype(moved){{sound + 154, 4, at + 19},
                                          {sound + 158, 4, 4115},
                                          {video + 188, 8, at + 19}}));
    }
}

TEST(InsertionPlan, AlreadyTaggedAndOffsetTablesUpTo4GB) {
    // moov with one video track; what the plan makes of it; the new values of the offsets fixed.
    auto video = [](const Blob& stblMore, std::initializer_list<Blob> entryKids = {}) {
        return atom("moov", track({stsd("avc1", entryKids), stblMore}));
    };
    const std::vector<std::tuple<Blob, PlanKind, std::vector<std::uint64_t>>> cases = {
        {video({}, {colr("prof", 0, 0)}), alreadyTagged, {}},
        {video(atom("stco", cat({be(0), be(1000), be(5000), be(6000)}))), insert, {5019, 6019}},
        {video(atom("stco", Blob{})), insert, {}}, // its count would lie past the buffer
        {video(atom("stco", cat({be(0), be(1), be(0xFFFFFFEC)}))), insert, {0xFFFFFFFF}},
        {video(atom("stco", cat({be(0), be(1), be(0xFFFFFFF0)}))), tooLarge, {}},
    };
    for (const auto& [moov, kind, values] : cases) {
        auto p = planInsertion(moov, 8, moov.size(), 0);
        std::vector<std::uint64_t> moved;
        for (const auto& f : p.offsetFixes)
            moved.push_back(f.v);
        EXPECT_EQ(std::tie(p.kind, moved), std::tie(kind, values));
    }
}

TEST(InsertionPlan, HostileNestingIsRefusedWithoutExhaustingTheStack) {
    Blob inner = stsd("avc1");
    for (int i = 0; i < 5000; ++i)
        inner = atom("trak", inner);
    EXPECT_EQ(planInsertion(atom("moov", inner), 8, inner.size() + 8, 0).kind, foreignOffsets);
}

class TagRealMovie : public ::testing::TestWithParam<Movie> {};

TEST_P(TagRealMovie, KeepsEveryFrameAndReadsAsDisplayP3) {
    const Movie& m = GetParam();
    TempDir dir;
    const auto path = dir / m.file;
    ffmpeg(m.args + " -f " + (m.file.ends_with(".mov") ? "mov " : "mp4 ") + sh(path));
    if (m.reshape != asIs) writeBytes(path, reshape(readBytes(path), m.reshape));
    const Blob before = readBytes(path);
    const std::string hashes = frameHashes(path);
    auto r = processCore(path);
    EXPECT_EQ(std::tie(r.outcome, r.message), std::tie(m.outcome, m.message));
    const Blob after = readBytes(path);
    if (m.outcome != fixed && m.outcome != added) {
        EXPECT_EQ(after, before);
        return;
    }
    EXPECT_EQ(after.size(), before.size() + (m.outcome == added ? 19 : 0));
    EXPECT_EQ(frameHashes(path), hashes);
    EXPECT_EQ(run(PRIMARIES + sh(path)).out, "smpte432\n");
    EXPECT_EQ(processCore(path).message, "Already Display-P3"); // and writes nothing
    EXPECT_EQ(readBytes(path), after);
}

INSTANTIATE_TEST_SUITE_P(
    Movies, TagRealMovie,
    ::testing::ValuesIn(std::vector<Movie>{
        {"h264_nclc.mov", SRC + SND + X264 + BT709, fixed, FIXED},
        {"hevc_nclx_fast.mp4", SRC + X265 + BT709 + FAST + "+write_colr", fixed, FIXED},
        {"frag_nclx.mp4", SRC + X264 + BT709 + FRAG + "+write_colr", fixed, FIXED},
        {"h264_none_fast.mp4", SRC + SND + X264 + FAST, added, ADDED},
        {"hevc_none.mp4", SRC + SND + X265, added, ADDED},
        {"prores_none.mov", SRC + "-c:v prores_ks", added, ADDED},
        {"co64_fast.mp4", SRC + SND + X264 + FAST, added, ADDED, co64},
        {"large_moov_fast.mp4", SRC + X264 + FAST, added, ADDED, largeMoov},
        // 15 MB behind moov: the tail moves in two blocks, the last one first
        {"big_fast.mp4", BIG + "-c:v libx264 -qp 0 -preset ultrafast " + FAST, added, ADDED},
        {"sound.mp4", SND, skipped, "No video track to tag"},
        {"hdr_pq.mov", SRC + X265 + HDR_PQ, hdr, "HDR — left unchanged"},
        {"frag_none.mp4", SRC + X264 + FRAG, error, "Unsupported (fragmented movie)"},
    }),
    [](const auto& info) { return info.param.file.substr(0, info.param.file.find('.')); });

TEST(BadMovie, EachGetsItsMessageAndKeepsEveryByte) {
    const Blob moov = atom("moov", track({stsd("avc1", {colr("nclc", 1, 1)})}));
    const Blob mdatFirst = cat({atom("ftyp", text("qt  ")), atom("mdat", Blob(64, 0)), moov});
    // What is wrong; the bytes; the messages of processCore and of addColr.
    const std::vector<std::tuple<const char*, Blob, std::string, std::string>> cases = {
        {"0 bytes", {}, "Can't read file", "Read error"},
        {"16 bytes", atom("moov", Blob(8, 0)), "Can't read file", "Read error"},
        {"17 bytes", atom("free", Blob(9, 0)), NO_MOOV, NO_MOOV},
        {"size 0", cat({be(0), text("free"), Blob(8, 0), moov}), NO_MOOV, NO_MOOV},
        {"size 1: 15", cat({be(1), text("free"), be(15, 8), moov}), NO_MOOV, NO_MOOV},
        {"size 1: 2^63", cat({be(1), text("free"), be(1ull << 63, 8), moov}), NO_MOOV, NO_MOOV},
        {"size 4", cat({be(4), text("free"), moov}), NO_MOOV, NO_MOOV},
        {"cut in mdat", Blob(mdatFirst.begin(), mdatFirst.begin() + 40), NO_MOOV, NO_MOOV},
        {"cut in moov", Blob(mdatFirst.begin(), mdatFirst.begin() + 150), NO_MOOV, NO_MOOV},
    };
    TempDir dir;
    for (const auto& [name, bytes, core, add] : cases) {
        SCOPED_TRACE(name);
        writeBytes(dir / "bad.mov", bytes);
        using Tagger = std::function<TGResult(const fs::path&)>;
        const Tagger tagInPlace = [](const fs::path& p) { return processCore(p); };
        for (auto [tag, message] : {std::pair{tagInPlace, core}, std::pair{Tagger(addColr), add}}) {
            auto r = tag(dir / "bad.mov");
            EXPECT_EQ(std::tie(r.outcome, r.message), std::tuple(error, message));
            EXPECT_EQ(readBytes(dir / "bad.mov"), bytes);
        }
    }
}

TEST(BadMovie, RefusingFileSystemsAndFailingWritesChangeNothing) {
    TempDir dir;
    fs::permissions(dir.path(), fs::perms(0755));
    const auto path = dir / "m.mov";
    const Blob tagged = cat(
        {atom("free", Blob(300, 0)), atom("moov", track({stsd("avc1", {colr("nclc", 1, 1)})}))});
    writeBytes(path, tagged);
    // The patch lands past a file-size limit, so its write fails as on a dying disk.
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    const rlimit limit{300, old.rlim_max};
    std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &limit);
    auto r = processCore(path);
    ::setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(r.message, "Write failed partway — file may need re-export");
    // A read-only file; root ignores permission bits, so root asks as an unprivileged user.
    fs::permissions(path, fs::perms(0444));
    auto refused = [](const fs::path& p) {
        return processCore(p).message == NO_WRITE && addColr(p).message == NO_WRITE;
    };
    EXPECT_TRUE(::geteuid() == 0 ? runAsNobody([&] { return refused(path) ? 0 : 1; }) == 0
                                 : refused(path));
    EXPECT_EQ(readBytes(path), tagged);

    SmallDisk disk(1 << 20);
    if (!disk.mounted()) GTEST_SKIP() << "a full disk and a read-only folder need a tmpfs (root)";
    // The file ends 4090 bytes into a page, so 19 more bytes need a page the full disk lacks.
    const auto full = disk.path() / "m.mov";
    const Blob moov = atom("moov", track({stsd("avc1")}));
    const Blob padded = cat({moov, atom("free", Blob(4090 - 8 - moov.size(), 0))});
    writeBytes(full, padded);
    disk.fill(0);
    EXPECT_EQ(processCore(full).message, "Couldn't grow file (disk full?)");
    ASSERT_TRUE(disk.makeReadOnly());
    EXPECT_TRUE(refused(full));
    EXPECT_EQ(readBytes(full), padded);
}

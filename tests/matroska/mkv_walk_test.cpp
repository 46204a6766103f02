// The walk over every block head, on movies cut into many Clusters with audio between the frames:
// the two halves of the Clusters are walked side by side, so every parameter set leading a frame
// must still be found once, in file order, and damage anywhere is reported where a walk from the
// start meets it first.
#include "mkv_fixtures.h"

#include "matroska/mkv_loader.h"

#include <sstream>

using namespace tg;
using namespace mkvtest;

namespace {

const std::string MOVIE = "-f lavfi -i testsrc2=s=64x48:d=2:r=25 -f lavfi -i sine=d=2 ";
const std::string SHORT_CLUSTERS = "-cluster_time_limit 80 ";
constexpr std::uint32_t SIMPLE_BLOCK = 0xA3;

Result<MkvFile> load(const fs::path& file) {
    const FileHandle f = FileHandle::openForReading(file);
    return loadMatroska(f, fs::file_size(file));
}

// The video packets ffprobe reads, and how many of them are key frames.
std::pair<int, int> videoPackets(const fs::path& file) {
    std::istringstream lines(
        run("ffprobe -v error -select_streams v -show_entries packet=flags -of csv=p=0 " + sh(file))
            .out);
    int all = 0, key = 0;
    for (std::string line; std::getline(lines, line);)
        if (!line.empty()) ++all, key += line[0] == 'K';
    return {all, key};
}

// Every Cluster, walked with the fixtures' own reader.
std::vector<Head> clusters(const Blob& b) {
    std::vector<Head> found;
    for (const Head& h : topLevel(b))
        if (h.id == CLUSTER_ID) found.push_back(h);
    return found;
}

struct Movie {
    const char* name;
    std::string args;
    bool mkvmerge;
    bool everyFrame; // a unit in every frame (ProRes), else one SPS per key frame
    friend void PrintTo(const Movie& m, std::ostream* os) { *os << m.name; }
};

class Walk : public ::testing::TestWithParam<Movie> {};

TEST_P(Walk, EveryLeadingUnitFoundOnceInFileOrder) {
    const Movie& m = GetParam();
    TempDir dir;
    const auto file = dir / "movie.mkv";
    makeMatroska(file, MOVIE + m.args, m.mkvmerge);
    const Blob bytes = readBytes(file);
    ASSERT_GE(clusters(bytes).size(), 8u);

    const auto loaded = load(file);
    ASSERT_FALSE(loaded.failed()) << loaded.cause();
    const auto [all, key] = videoPackets(file);
    ASSERT_GT(key, 4);
    EXPECT_EQ(int(loaded->inBand.size()), m.everyFrame ? all : key);
    std::uint64_t last = 0;
    for (const InBandUnit& u : loaded->inBand) {
        EXPECT_GT(u.at, last);
        last = u.at;
        ASSERT_LE(u.at + u.bytes.size(), bytes.size());
        // ProRes units carry the 8 bytes Matroska leaves out in front of the frame.
        const std::size_t skip = m.everyFrame ? 8 : 0;
        EXPECT_TRUE(std::equal(u.bytes.begin() + long(skip), u.bytes.end(),
                               bytes.begin() + long(u.at + skip)))
            << u.at;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Muxers, Walk,
    ::testing::ValuesIn(std::vector<Movie>{
        {"ffmpeg_h264", X264 + "-g 5 -x264-params repeat-headers=1 -c:a aac " + SHORT_CLUSTERS,
         false, false},
        // mkvmerge laces the audio and ends with BlockGroups.
        {"mkvmerge_hevc",
         "-c:v libx265 -x265-params log-level=none:repeat-headers=1:keyint=5 -pix_fmt yuv420p "
         "-c:a libopus ",
         true, false},
        {"ffmpeg_prores", "-c:v prores_ks -c:a pcm_s16le " + SHORT_CLUSTERS, false, true},
    }),
    [](const auto& info) { return std::string(info.param.name); });

// A damaged block head in the first Cluster, the last, or both: the load is refused at the
// first one in the file whichever half of the walk meets it.
TEST(Walk, DamageIsReportedWhereItFirstLies) {
    TempDir dir;
    const auto good = dir / "good.mkv";
    makeMatroska(good, MOVIE + X264 + "-c:a aac " + SHORT_CLUSTERS);
    const Blob bytes = readBytes(good);
    const auto found = clusters(bytes);
    ASSERT_GE(found.size(), 8u);
    // The first SimpleBlock of a Cluster, after its CRC-32 and Timestamp.
    const auto firstBlock = [&](const Head& cluster) {
        for (std::size_t at = cluster.data; at < cluster.end;) {
            const Head h = headAt(bytes, at, cluster.end);
            if (h.id == SIMPLE_BLOCK) return at;
            at = h.end;
        }
        ADD_FAILURE() << "no SimpleBlock";
        return cluster.data;
    };
    const std::size_t early = firstBlock(found.front()), late = firstBlock(found.back());
    const struct {
        const char* name;
        std::vector<std::size_t> damaged;
        std::size_t reported;
    } cases[] = {
        {"first Cluster", {early}, early},
        {"last Cluster", {late}, late},
        {"both", {early, late}, early},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Blob damaged = bytes;
        for (std::size_t at : c.damaged)
            damaged[at] = 0; // no element ID begins with a zero byte
        const auto file = dir / "damaged.mkv";
        writeBytes(file, damaged);
        const auto loaded = load(file);
        ASSERT_TRUE(loaded.failed());
        EXPECT_EQ(loaded.failure().message, DAMAGED_MATROSKA);
        EXPECT_EQ(loaded.cause(), "Cluster child at " + std::to_string(c.reported));
    }
}

} // namespace

// tintguard-cli --inspect over each kind of file, with ffprobe and exiftool as the
// oracles for what it reports, an in-place run on a copy as the oracle for what it predicts, and
// the file's bytes and modification time checked after every look.
#include "fixtures/media.h"
#include "fixtures/stops.h"
#include "movie/movie_tagger.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using tgtest::sh;
using tgtest::TempDir;
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// A file's bytes and modification time.
auto snapshot(const fs::path& file) {
    return std::pair(tgtest::readBytes(file), fs::last_write_time(file));
}

std::pair<int, json> inspect(const fs::path& file) {
    const auto r = tgtest::run(std::string(TG_CLI) + " --inspect --json " + sh(file));
    return {r.status, r.out.empty() ? json() : json::parse(r.out)};
}

struct Case {
    const char* name;
    const char* file;
    const char* make;    // ffmpeg arguments; nullptr: a photo tagged in place first
    const char* outcome; // what an in-place run gives; nullptr: whatever the engine decides
    bool hdr = false;
    const char* detail = nullptr; // why, said in the JSON and after the human line
};

class InspectCorpus : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        file_ = dir_ / GetParam().file;
        if (GetParam().make) {
            tgtest::ffmpeg("-f lavfi -i testsrc2=s=64x48:d=0.3:r=10 " +
                           std::string(GetParam().make) + " " + sh(file_));
            return;
        }
        tgtest::ffmpeg("-f lavfi -i testsrc2=s=64x48 -frames:v 1 " + sh(file_) + ".png");
        ASSERT_EQ(tgtest::run("convert " + sh(file_) + ".png " + sh(file_)).status, 0);
        ASSERT_EQ(tgtest::run(std::string(TG_CLI) + " --in-place " + sh(file_)).status, 0);
    }
    TempDir dir_;
    fs::path file_;
};

INSTANTIATE_TEST_SUITE_P(
    Corpus, InspectCorpus,
    ::testing::Values(
        Case{"H264ColrAndVui", "clip.mov",
             "-c:v libx264 -pix_fmt yuv420p -color_primaries bt709 -color_trc bt709 "
             "-colorspace bt709",
             "fixed"},
        Case{"ProRes", "prores.mov",
             "-c:v prores_ks -color_primaries bt709 -color_trc bt709 -colorspace bt709", "fixed"},
        Case{"MatroskaH264Colour", "clip.mkv",
             "-c:v libx264 -pix_fmt yuv420p -color_primaries bt709 -color_trc bt709 "
             "-colorspace bt709",
             "fixed"},
        Case{"MatroskaHevcPq", "pq.mkv",
             "-c:v libx265 -pix_fmt yuv420p10le -x265-params "
             "log-level=none:colorprim=bt2020:transfer=smpte2084:colormatrix=bt2020nc "
             "-color_primaries bt2020 -color_trc smpte2084 -colorspace bt2020nc",
             "hdr", true, "transfer 16 (PQ or HLG)"},
        Case{"JpegUntagged", "photo.jpg", "-frames:v 1", "fixed"},
        Case{"PngGrey", "grey.png", "-frames:v 1 -pix_fmt gray", "error", false,
             "monochrome image"},
        Case{"HeicTagged", "p3.heic", nullptr, "already"},
        Case{"WebpTagged", "p3.webp", nullptr, "already"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(InspectCorpus, ReportsWhatTheOraclesReadAndChangesNothing) {
    const Case& c = GetParam();
    const auto before = snapshot(file_);
    const auto [status, j] = inspect(file_);
    ASSERT_EQ(status, 0) << j;
    EXPECT_EQ(snapshot(file_), before) << "the look changed the file";
    EXPECT_EQ(j["mode"], "inspect");
    if (c.outcome) {
        EXPECT_EQ(j["outcome"], c.outcome) << j;
    }
    EXPECT_TRUE(j["produced"].is_null());
    EXPECT_EQ(j["detail"], c.detail ? json(c.detail) : json()) << j;
    if (c.detail) {
        const auto human = tgtest::run(std::string(TG_CLI) + " --inspect " + sh(file_)).out;
        EXPECT_NE(human.find(std::string("  (") + c.detail + ")\n"), std::string::npos) << human;
    }

    // What it predicts is what an in-place run on a copy does.
    const auto copy = dir_ / ("copy" + file_.extension().string());
    fs::copy_file(file_, copy);
    const json done =
        json::parse(tgtest::run(std::string(TG_CLI) + " --in-place --json " + sh(copy)).out);
    EXPECT_EQ(done["outcome"], j["outcome"]);
    EXPECT_EQ(done["message"], j["message"]);
    EXPECT_EQ(done["detail"], j["detail"]);

    const json& in = j["inspect"];
    if (file_.extension() != ".mov" && file_.extension() != ".mp4" && file_.extension() != ".mkv") {
        const json e =
            json::parse(tgtest::run("exiftool -j -ProfileDescription " + sh(file_)).out)[0];
        EXPECT_EQ(in["colour"].is_null() ? json() : in["colour"]["description"],
                  e.value("ProfileDescription", json()));
        EXPECT_EQ(in["displayP3"], j["outcome"] == "already");
        EXPECT_EQ(j["layers"], json::array());
        return;
    }
    ASSERT_EQ(in["tracks"].size(), 1u) << in;
    const json& t = in["tracks"][0];
    EXPECT_EQ(t["hdr"], c.hdr);
    EXPECT_FALSE(in["interruptedEdit"]);
    ASSERT_FALSE(t["bitstream"].is_null()) << t;
    const json stream = tgtest::probe(file_)["streams"][0];
    const json frame =
        json::parse(tgtest::run("ffprobe -v error -select_streams v:0 -read_intervals "
                                "%+#1 -show_frames -of json " +
                                sh(file_))
                        .out)["frames"][0];
    // The container's atom is what the demuxer puts on the stream; the decoder stamps its frames
    // with what the bitstream says.
    const std::pair<const char*, const char*> fields[] = {{"primaries", "color_primaries"},
                                                          {"transfer", "color_transfer"},
                                                          {"matrix", "color_space"}};
    for (const auto& [field, name] : fields) {
        if (!t["container"].is_null() && t["entry"] != "apch") {
            EXPECT_EQ(t["container"][field], tgtest::h273(stream.value(name, "unknown"))) << field;
        }
        EXPECT_EQ(t["bitstream"][field], tgtest::h273(frame.value(name, "unknown"))) << field;
    }
}

// A movie whose in-place edit stopped after its journal was written: the look reports it and
// leaves both the movie and the journal as they are (the recovery is the movie tests' work).
TEST(Inspect, AnInterruptedEditIsReportedAndLeftAlone) {
    TempDir dir;
    const auto movie = dir / "clip.mp4";
    const auto original = tgtest::placed("untagged.mp4", dir.path(), "original.mp4");
    const auto found =
        tgtest::journalOfAStoppedEdit(original, movie, [&] { (void)tg::processCore(movie); });
    ASSERT_TRUE(found) << "no stop left a journal";
    const fs::path journal = *found;
    const auto movieBefore = snapshot(movie), journalBefore = snapshot(journal);

    const auto [status, j] = inspect(movie);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(j["inspect"]["interruptedEdit"]) << j;
    EXPECT_EQ(j["message"], "Interrupted edit waits — an in-place run finishes it first");
    EXPECT_EQ(j["outcome"], "added");
    EXPECT_EQ(snapshot(movie), movieBefore);
    EXPECT_EQ(snapshot(journal), journalBefore);
}

} // namespace

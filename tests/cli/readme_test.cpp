// The README's command-line examples, run as written over a folder holding the files they name.
#include "fixtures/media.h"

#include <gtest/gtest.h>

#include <fstream>

using tgtest::sh;
using tgtest::TempDir;
namespace fs = std::filesystem;

namespace {

// The sh blocks after the marker comment that says they run here.
std::vector<std::string> examples() {
    std::ifstream in(TG_README);
    const std::string readme{std::istreambuf_iterator<char>(in), {}};
    std::vector<std::string> blocks;
    for (auto at = readme.find("<!-- Each sh block");
         (at = readme.find("\n```sh\n", at)) != std::string::npos;) {
        const std::size_t start = at + 7, end = readme.find("\n```", start);
        if (end == std::string::npos) break;
        blocks.push_back(readme.substr(start, end - start + 1));
        at = end + 4;
    }
    return blocks;
}

TEST(Readme, CommandLineExamplesRunAsWritten) {
    const auto blocks = examples();
    ASSERT_GE(blocks.size(), 6u) << "the README's examples were not found";
    TempDir dir;
    tgtest::placed("bt709.mov", dir.path(), "clip.mov");
    tgtest::placed("untagged.mp4", dir.path(), "trip.mp4");
    tgtest::placed("photo.jpg", dir.path(), "photo.jpg");
    fs::create_directories(dir / "Footage/stills");
    tgtest::placed("bt709.mov", dir.path(), "Footage/a.mov");
    tgtest::placed("photo.jpg", dir.path(), "Footage/stills/b.jpg");

    const std::string bin = fs::path(TG_CLI).parent_path();
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        SCOPED_TRACE(blocks[i]);
        const auto script = dir / ("example" + std::to_string(i) + ".sh");
        std::ofstream(script) << blocks[i];
        const auto r = tgtest::run("cd " + sh(dir.path()) + " && PATH=" + sh(bin) +
                                   ":\"$PATH\" bash -euo pipefail " + sh(script) + " 2>&1");
        EXPECT_EQ(r.status, 0) << r.out;
        fs::remove(script);
    }
    // What the examples promise to leave behind.
    for (const char* made : {"clip_P3.mov", "clip_universal.mov", "Footage/a_P3.mov",
                             "Footage/a_universal.mov", "Footage/stills/b_P3.jpg"})
        EXPECT_TRUE(fs::exists(dir / made)) << made;
    EXPECT_FALSE(fs::exists(dir / "Footage/a_P3_P3.mov"));
}

} // namespace

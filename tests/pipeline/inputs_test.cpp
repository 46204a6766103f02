// Folder walks over real trees: order, nesting, links, hidden entries, outputs beside originals.
#include "pipeline/inputs.h"

#include "fixtures/media.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <sys/stat.h>

using namespace tg;
using tgtest::TempDir;
namespace fs = std::filesystem;

namespace {

void touch(const fs::path& file) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "x";
}

// The inputs' paths relative to base, with a folder's own line marked by its outcome.
std::vector<std::string> relative(const std::vector<Input>& inputs, const fs::path& base) {
    std::vector<std::string> names;
    for (const Input& input : inputs) {
        std::string name = input.path.lexically_relative(base).string();
        if (input.outcome) name += std::string(" (") + outcomeName(*input.outcome) + ")";
        names.push_back(name);
    }
    return names;
}

class InputsTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Hidden entries, our temporaries among them; outputs beside their originals (and
        // beside outputs), one with nothing beside it, one not quite the same name; a name
        // that sorts after 'z'.
        std::istringstream names(
            "b.mov a.jpg B.png notes.txt z/c.png c/d.mov c/e/f.heic .hidden.jpg .cache/x.png "
            "c/.tg_img_1234.png clip.mov clip_P3.mov clip_universal.mov clip_P3_universal.mov "
            "orphan_P3.mov photo.jpg photo_P3.jpeg Shot.MOV Shot_P3.mov \xc3\xa9t\xc3\xa9.png");
        for (std::string name; names >> name;)
            touch(root() / name);
        fs::create_directory_symlink(root(), root() / "loop");          // a loop, not followed
        fs::create_symlink(dir_ / "outside.mov", root() / "link.mov");  // a link to a file
        fs::create_directory_symlink(dir_ / "elsewhere", root() / "y"); // a link to a folder
        touch(dir_ / "outside.mov");
        touch(dir_ / "elsewhere/g.png");
        ASSERT_EQ(::mkfifo((root() / "pipe.mov").c_str(), 0644), 0);
    }

    fs::path root() const { return dir_ / "root"; }

    TempDir dir_;
};

} // namespace

TEST_F(InputsTest, AFolderIsWalkedFilesFirstInByteOrderWithoutLinksHiddenEntriesOrOutputs) {
    EXPECT_EQ(
        relative(expandInputs({root()}), root()),
        (std::vector<std::string>{"B.png", "Shot.MOV", "Shot_P3.mov", "a.jpg", "b.mov", "clip.mov",
                                  "orphan_P3.mov", "photo.jpg", "photo_P3.jpeg",
                                  "\xc3\xa9t\xc3\xa9.png", "c/d.mov", "c/e/f.heic", "z/c.png"}));
}

TEST_F(InputsTest, NamedPathsPassAsNamedAndFoldersExpandInPlace) {
    using Names = std::vector<std::string>; // relative to root
    const std::tuple<const char*, Names, Names> cases[] = {
        {"files named explicitly are never skipped",
         {"clip_P3.mov", ".hidden.jpg", "notes.txt", "link.mov", "gone.mov"},
         {"clip_P3.mov", ".hidden.jpg", "notes.txt", "link.mov", "gone.mov"}},
        {"a named link to a folder is entered", {"y"}, {"y/g.png"}},
        {"the given order is kept around each walk",
         {"b.mov", "c", "a.jpg"},
         {"b.mov", "c/d.mov", "c/e/f.heic", "a.jpg"}},
        {"a path through a link is walked as named",
         {"loop/c"},
         {"loop/c/d.mov", "loop/c/e/f.heic"}},
    };
    for (const auto& [what, given, expected] : cases) {
        SCOPED_TRACE(what);
        std::vector<fs::path> paths;
        for (const auto& name : given)
            paths.push_back(root() / name);
        EXPECT_EQ(relative(expandInputs(paths), root()), expected);
    }
}

TEST_F(InputsTest, AFolderThatCannotBeReadIsAnErrorLineAndTheRestIsStillWalked) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run as another user";
    fs::permissions(dir_.path(),
                    fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(root() / "c", fs::perms::none);
    const int status = tgtest::runAsNobody([&] {
        const auto inputs = expandInputs({root() / "c", root() / "z"});
        return int(relative(inputs, root()) != std::vector<std::string>{"c (error)", "z/c.png"} ||
                   inputs[0].message != "Can't read folder: Permission denied");
    });
    fs::permissions(root() / "c", fs::perms::owner_all);
    EXPECT_EQ(status, 0);
}

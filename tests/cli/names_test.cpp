// File names are bytes: JSON gives them back exactly, text never hands them to the terminal as
// commands. Python's json module is the independent reader.
#include "cli/report.h"
#include "fixtures/media.h"

#include <gtest/gtest.h>

namespace {

using namespace tgtest;

TEST(Names, ANameThatIsNotUtf8ComesBackByteForByte) {
    TempDir dir;
    const std::string name = "caf\xe9 \x1b[31mred\x07.jpg"; // Latin-1 é, an escape sequence, BEL
    placed("photo.jpg", dir.path(), name);
    const auto out = run(std::string(TG_CLI) + " --inspect --json " + sh(dir / name)).out;
    const auto back =
        run("printf '%s' " + sh(out) +
            " | python3 -c 'import json,os,sys; "
            "sys.stdout.buffer.write(os.fsencode(json.loads(sys.stdin.read())[\"file\"]))'");
    EXPECT_EQ(back.out, (dir / name).string());

    const auto text = run(std::string(TG_CLI) + " --inspect " + sh(dir / name)).out;
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
    EXPECT_EQ(text.find('\x07'), std::string::npos);
    EXPECT_NE(text.find("caf\\xe9 \\x1b[31mred\\x07.jpg"), std::string::npos) << text;
}

TEST(Names, PrintableKeepsUtf8AndEscapesTheRest) {
    EXPECT_EQ(tg::cli::printable("Pr\u00e9vue \u2192 ok"), "Pr\u00e9vue \u2192 ok");
    EXPECT_EQ(tg::cli::printable("a\tb\x7f\xc2\x9b"
                                 "c\xed\xa0\x80"),
              "a\\x09b\\x7f\\x9bc\\xed\\xa0\\x80");
}

} // namespace

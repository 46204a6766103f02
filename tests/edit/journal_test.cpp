// The journal's format on its own: a header reads back whole, and never when cut or altered.
#include "edit/journal.h"

#include <gtest/gtest.h>

using namespace tg;
using Blob = std::vector<std::uint8_t>;

TEST(Journal, ReadsBackWholeAndNeverTorn) {
    const Journal j{.route = Route::insertRange,
                    .outcome = TGOutcome::added,
                    .device = 66306,
                    .inode = 1234567,
                    .birthNs = 1700000000123456789,
                    .name = "Clip ✓.mov",
                    .oldSize = 1 << 30,
                    .newSize = (1 << 30) + 4096,
                    .regionStart = 0,
                    .regionOldEnd = 5000,
                    .region = Blob(9096, 7),
                    .delta = 4096,
                    .writes = {{700000, {0, 12}, {0, 1}}},
                    .extents = {{0, 1 << 20, 1 << 29, 0}, {1 << 29, 9 << 20, 1 << 29, 1}}};
    const Blob bytes = encodeJournal(j);
    auto back = decodeJournal(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(encodeJournal(*back), bytes);
    EXPECT_EQ(std::tie(back->name, back->extents, back->birthNs),
              std::tie(j.name, j.extents, j.birthNs));
    for (std::size_t cut = 0; cut < bytes.size(); cut += 97)
        EXPECT_FALSE(decodeJournal(Bytes(bytes).first(cut))) << cut;
    Blob flipped = bytes;
    flipped[bytes.size() / 2] ^= 1;
    EXPECT_FALSE(decodeJournal(flipped));
    EXPECT_EQ(journalPath("/a/b/clip.mov", 66306, 42), "/a/b/.tg_edit_66306_42.journal");
}

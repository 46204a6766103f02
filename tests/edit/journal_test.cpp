// The journal's format on its own: a header reads back whole, and never when cut or altered.
#include "edit/journal.h"

#include <gtest/gtest.h>

using namespace tg;
using Blob = std::vector<std::uint8_t>;

TEST(Journal, ReadsBackWholeAndNeverTorn) {
    const Journal j{.route = Route::insertRange,
                    .outcome = TGOutcome::added,
                    .id = "0B0E2C8A-61F6-4C55-9B43-2F6A4C1F7E10",
                    .name = "Clip ✓.mov",
                    .markSize = 150,
                    .headLength = 4096,
                    .headHash = 0x1234567890ABCDEF,
                    .windowAt = 900000,
                    .windowLength = 256,
                    .windowHash = 42,
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
    EXPECT_EQ(std::tie(back->id, back->name, back->extents, back->windowHash),
              std::tie(j.id, j.name, j.extents, j.windowHash));
    for (std::size_t cut = 0; cut < bytes.size(); cut += 97)
        EXPECT_FALSE(decodeJournal(Bytes(bytes).first(cut))) << cut;
    Blob flipped = bytes;
    flipped[bytes.size() / 2] ^= 1;
    EXPECT_FALSE(decodeJournal(flipped));
    EXPECT_EQ(journalIdOf(journalPath("/a/b", j.id).filename().string()), j.id);
    EXPECT_FALSE(journalIdOf(".tg_edit_2049_1234.journal"));
}

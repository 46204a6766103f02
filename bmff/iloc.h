// The item location box (iloc): where each item's bytes lie, in the file, in idat or in another
// item. One reader and one writer for HEIF images and for the meta boxes of movies; a box read
// and written unchanged comes out byte for byte as it went in.
#pragma once

#include "base/bytes.h"
#include "bmff/box.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace tg::bmff {

struct ItemExtent {
    std::uint64_t index = 0;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::size_t offsetAt = 0; // where the offset field was read, in the payload
};

struct IlocItem {
    std::uint32_t itemId = 0;
    std::uint8_t method = 0; // construction method: 0 file, 1 idat, 2 item
    std::uint16_t dataReference = 0;
    std::uint64_t baseOffset = 0;
    std::vector<ItemExtent> extents;
    std::size_t baseOffsetAt = 0; // where the base offset field was read, in the payload
};

struct Iloc {
    std::uint8_t version = 0;
    std::uint32_t flags = 0;
    std::uint8_t offsetSize = 4, lengthSize = 4, baseOffsetSize = 0, indexSize = 0;
    std::vector<IlocItem> items;
};

// Nothing when a version above 2, a field width other than 0, 2, 4 or 8, or a count the bytes
// cannot hold. Methods are read as written; whether a width or method is acceptable is the
// caller's to say.
std::optional<Iloc> readIloc(Bytes payload);

// The whole box; a value too wide for its field fails the writer.
void writeIloc(BoxWriter& w, const Iloc& iloc);

} // namespace tg::bmff

// ISO base-media boxes (QuickTime atoms alike): the one place that decides whether a box header
// holds together, the listing of a parent's children, and a writer for boxes sized when they end.
#pragma once

#include "base/byte_cursor.h"
#include "base/bytes.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace tg::bmff {

constexpr std::uint32_t fourcc(const char (&s)[5]) {
    return std::uint32_t(std::uint8_t(s[0])) << 24 | std::uint32_t(std::uint8_t(s[1])) << 16 |
           std::uint32_t(std::uint8_t(s[2])) << 8 | std::uint32_t(std::uint8_t(s[3]));
}

// The longest header: 64-bit size and a uuid user type.
inline constexpr std::size_t MAX_HEADER = 32;

// How many levels a walk into nested boxes follows below where it starts: real trees stay
// within it, and a crafted one must not make a recursive walk run away.
inline constexpr int MAX_DEPTH = 6;

struct HeaderRules {
    // The 16-byte user type of a uuid box counts as header (HEIF reads it; movies keep it as
    // payload).
    bool userType = false;
    // Top-level boxes of a file cut short may declare more than is left; inside a parent that
    // is malformed.
    bool mayRunPast = false;
};

struct BoxHeader {
    std::uint32_t type = 0;
    std::uint64_t size = 0;       // whole box, header included; size 0 resolved to the room
    std::uint32_t headerSize = 0; // 8, 16 with a 64-bit size, 16 more for a user type
    bool toEnd = false;           // declared with size 0
};

// The header at the start of `head` (the box's first bytes, up to MAX_HEADER of them) for a box
// that may take `room` bytes. Size 0 runs to the end of the room, size 1 reads the 64-bit size.
// Nothing when the header is cut short, its size is below the header, runs past the room (unless
// the rules allow it) or cannot be a file offset.
std::optional<BoxHeader> decodeHeader(Bytes head, std::uint64_t room, HeaderRules rules = {});

// A box found in a byte range: its header and where it starts.
struct BoxAt {
    BoxHeader header;
    std::uint64_t offset = 0;
    std::uint64_t payload() const { return offset + header.headerSize; }
    std::uint64_t end() const { return offset + header.size; }
};

// The boxes lying back to back in [start, end) of bytes, up to the first that does not hold
// together. Never reads outside the range.
struct BoxList {
    std::vector<BoxAt> boxes;
    std::uint64_t listedTo = 0; // end of the last box listed (start when none)
    // The boxes fill the range exactly. When not, whatever lies behind listedTo was not read:
    // each caller decides whether the list is still worth using.
    bool complete = false;
};
BoxList listBoxes(Bytes bytes, std::uint64_t start, std::uint64_t end, HeaderRules rules = {});

// A ByteWriter that also writes boxes whose size is known only when they end.
class BoxWriter : public ByteWriter {
public:
    // Appends a header with size to be patched; returns where it sits.
    std::size_t begin(std::uint32_t type);
    std::size_t beginFull(std::uint32_t type, std::uint8_t version, std::uint32_t flags);
    void end(std::size_t at);
};

} // namespace tg::bmff

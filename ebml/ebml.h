// EBML elements (Matroska, WebM): the one place that decides whether an element header holds
// together, the listing of a parent's children, and the writers for the few elements we make.
// IDs keep their marker bits (0x1A45DFA3), sizes lose theirs; every read stays inside its span.
#pragma once

#include "base/bytes.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace tg::ebml {

// Element IDs, as written.
enum Id : std::uint32_t {
    EBML = 0x1A45DFA3,
    DOC_TYPE = 0x4282,
    VOID = 0xEC,
    CRC32 = 0xBF,
    SEGMENT = 0x18538067,
    SEEK_HEAD = 0x114D9B74,
    SEEK = 0x4DBB,
    SEEK_ID = 0x53AB,
    SEEK_POSITION = 0x53AC,
    INFO = 0x1549A966,
    TRACKS = 0x1654AE6B,
    TRACK_ENTRY = 0xAE,
    TRACK_NUMBER = 0xD7,
    TRACK_TYPE = 0x83,
    CODEC_ID = 0x86,
    CODEC_PRIVATE = 0x63A2,
    BLOCK_ADDITION_MAPPING = 0x41E4,
    BLOCK_ADD_ID_TYPE = 0x41E7,
    VIDEO = 0xE0,
    COLOUR = 0x55B0,
    MATRIX_COEFFICIENTS = 0x55B1,
    TRANSFER_CHARACTERISTICS = 0x55BA,
    PRIMARIES = 0x55BB,
    MASTERING_METADATA = 0x55D0,
    CLUSTER = 0x1F43B675,
    CLUSTER_POSITION = 0xA7,
    SIMPLE_BLOCK = 0xA3,
    BLOCK_GROUP = 0xA0,
    BLOCK = 0xA1,
    CUES = 0x1C53BB6B,
    CUE_POINT = 0xBB,
    CUE_TRACK_POSITIONS = 0xB7,
    CUE_CLUSTER_POSITION = 0xF1,
    CUE_CODEC_STATE = 0xEA,
    TAGS = 0x1254C367,
    CHAPTERS = 0x1043A770,
    ATTACHMENTS = 0x1941A469,
};

// The longest header: a 4-byte ID and an 8-byte size.
inline constexpr std::uint64_t MAX_HEADER = 12;
// How many levels a walk into nested elements follows: Matroska's deepest colour element lies
// five below the Segment, and a crafted file must not make a walk run away.
inline constexpr int MAX_DEPTH = 8;

// A variable-length integer: 1 to 8 bytes, the count of leading zero bits of the first byte
// saying how many follow. `value` is without its marker bit.
struct VarInt {
    std::uint64_t value = 0;
    unsigned width = 0;
    bool allOnes = false; // every value bit set: an unknown size
};
std::optional<VarInt> readVarInt(Bytes b, std::uint64_t off);

struct Header {
    std::uint32_t id = 0;
    unsigned idWidth = 0;
    unsigned sizeWidth = 0;
    std::uint64_t size = 0;   // of the data; resolved to the room when unknown
    bool unknownSize = false; // live recordings leave Segment and Cluster sizes open
    std::uint64_t headerSize() const { return idWidth + sizeWidth; }
};

// The header at the start of `head` for an element that may take `room` bytes, header included.
// An unknown size runs to the end of the room. Nothing when the header is cut short, the ID is
// longer than 4 bytes or all ones, or the data runs past the room (unless mayRunPast: the
// top-level elements of a file cut short).
std::optional<Header> decodeHeader(Bytes head, std::uint64_t room, bool mayRunPast = false);

// An element found in a byte range (or a file): its header and where it starts.
struct Element {
    Header header;
    std::uint64_t offset = 0;
    std::uint64_t dataStart() const { return offset + header.headerSize(); }
    std::uint64_t end() const { return dataStart() + header.size; }
};

// The elements lying back to back in [start, end) of bytes, up to the first that does not hold
// together. Never reads outside the range.
struct ElementList {
    std::vector<Element> elements;
    std::uint64_t listedTo = 0;
    bool complete = false; // the elements fill the range exactly
};
ElementList listChildren(Bytes bytes, std::uint64_t start, std::uint64_t end);

// The first child with this ID, if any.
std::optional<Element> findChild(const ElementList& list, std::uint32_t id);

// An unsigned integer element's value (0 to 8 bytes, big-endian; empty is 0).
std::uint64_t readUint(Bytes data);

// The CRC-32 (IEEE, reflected, as zlib computes it) of the bytes, continued from `crc`.
std::uint32_t crc32(Bytes data, std::uint32_t crc = 0);

// The CRC-32 of a message of `length` bytes after the bytes at `at` change from `before` to
// `after` (the same length), from its CRC-32 before: the change alone is hashed and carried over
// the bytes behind it, so the message itself is never read.
std::uint32_t crc32Patched(std::uint32_t crc, std::uint64_t length, std::uint64_t at, Bytes before,
                           Bytes after);

// Writers. An ID as written; a size of at least minWidth bytes (never the all-ones pattern);
// an unsigned element of the fewest bytes; the head of a Void element n >= 2 bytes long.
void putId(std::vector<std::uint8_t>& out, std::uint32_t id);
bool putSize(std::vector<std::uint8_t>& out, std::uint64_t size, unsigned minWidth = 1);
void putUint(std::vector<std::uint8_t>& out, std::uint32_t id, std::uint64_t value);
std::vector<std::uint8_t> voidHead(std::uint64_t n);
// The bytes of a size written in `width` bytes; nothing when it does not fit.
std::optional<std::vector<std::uint8_t>> sizeBytes(std::uint64_t size, unsigned width);

} // namespace tg::ebml

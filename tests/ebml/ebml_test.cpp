// EBML headers, child listings and writers on bytes built here: every header rule decided in one
// place, a listing that says when it stops short, and what we write read back by the reader.
// Real files from two muxers are read through the Matroska loader's tests.
#include "ebml/ebml.h"

#include "fixtures/box_bytes.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

namespace {

namespace e = tg::ebml;
using namespace tgtest;
using tg::Bytes;

TEST(EbmlList, ListsUpToTheFirstBadHeaderAndSaysWhetherItReachedTheEnd) {
    struct Case {
        const char* name;
        Blob bytes;
        const char* listed; // id/header size/data size of each element
        bool complete;
    };
    const Case cases[] = {
        {"one-byte ID and size", fields("1:0xEC 1:0x82 2:0"), "ec/2/2 ", true},
        {"four-byte ID, eight-byte size", cat({fields("4:0x1654AE6B 1:0x01 7:3"), Blob(3, 0)}),
         "1654ae6b/12/3 ", true},
        {"size written wider than it needs", fields("1:0xBF 2:0x4004 4:7"), "bf/3/4 ", true},
        {"unknown size runs to the end", cat({fields("4:0x1F43B675 1:0xFF"), Blob(5, 1)}),
         "1f43b675/5/5 ", true},
        {"unknown size of eight bytes", cat({fields("4:0x1F43B675 8:0x01FFFFFFFFFFFFFF"), Blob(2)}),
         "1f43b675/12/2 ", true},
        {"past its parent", fields("1:0xEC 1:0x85 2:0"), "", false},
        {"cut in its size", fields("1:0xEC 1:0x40"), "", false},
        {"ID of five bytes", fields("1:0x08 4:0 1:0x80"), "", false},
        {"ID all ones", fields("1:0xFF 1:0x80"), "", false},
        {"first byte zero", fields("1:0x00 1:0x80"), "", false},
        {"second bad after a good one", fields("1:0xEC 1:0x80 1:0x00"), "ec/2/0 ", false},
        {"nothing", {}, "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto list = e::listChildren(c.bytes, 0, c.bytes.size());
        std::string listed;
        char buf[64];
        for (const auto& el : list.elements) {
            std::snprintf(buf, sizeof buf, "%x/%llu/%llu ", unsigned(el.header.id),
                          (unsigned long long)el.header.headerSize(),
                          (unsigned long long)el.header.size);
            listed += buf;
        }
        EXPECT_EQ(listed, c.listed);
        EXPECT_EQ(list.complete, c.complete);
    }
}

// What we write must read back as written, at every width a size can take.
TEST(EbmlWrite, SizesUnsignedsAndVoidsReadBack) {
    for (std::uint64_t size : {0ull, 1ull, 126ull, 127ull, 16382ull, 16383ull, 1ull << 40}) {
        SCOPED_TRACE(size);
        Blob b;
        ASSERT_TRUE(e::putSize(b, size));
        const auto v = e::readVarInt(b, 0);
        ASSERT_TRUE(v);
        EXPECT_EQ(v->value, size);
        EXPECT_FALSE(v->allOnes);
        EXPECT_EQ(v->width, b.size());
    }
    EXPECT_FALSE(e::sizeBytes(127, 1)); // all ones would read as unknown
    for (std::uint64_t value : {0ull, 12ull, 255ull, 256ull, ~0ull}) {
        Blob b;
        e::putUint(b, e::PRIMARIES, value);
        const auto list = e::listChildren(b, 0, b.size());
        ASSERT_TRUE(list.complete);
        const auto& el = list.elements.at(0);
        EXPECT_EQ(el.header.id, e::PRIMARIES);
        EXPECT_EQ(e::readUint(Bytes(b).subspan(el.dataStart(), el.header.size)), value);
    }
    for (std::uint64_t n : {2ull, 3ull, 128ull, 129ull, 130ull, 16385ull, 16386ull, 70000ull}) {
        SCOPED_TRACE(n);
        Blob b = e::voidHead(n);
        b.resize(n);
        const auto list = e::listChildren(b, 0, b.size());
        ASSERT_TRUE(list.complete);
        ASSERT_EQ(list.elements.size(), 1u);
        EXPECT_EQ(list.elements[0].header.id, e::VOID);
    }
    EXPECT_TRUE(e::voidHead(1).empty());
}

// A change anywhere in a message, the last bytes and a long tail of zeros included, gives the
// CRC zlib computes over the whole changed message.
TEST(EbmlCrc, PatchedWithoutReadingTheMessage) {
    Blob message(70000);
    for (std::size_t i = 0; i < message.size(); ++i)
        message[i] = std::uint8_t(i * 7 + (i >> 9));
    const auto crcOf = [](const Blob& b) {
        return std::uint32_t(::crc32(0, b.data(), unsigned(b.size())));
    };
    for (std::size_t at : {std::size_t(0), std::size_t(1), std::size_t(4096), message.size() - 2}) {
        SCOPED_TRACE(at);
        Blob changed = message;
        const Blob now = {0x0C, 0xA5};
        std::copy(now.begin(), now.end(), changed.begin() + long(at));
        EXPECT_EQ(
            e::crc32Patched(crcOf(message), message.size(), at, Bytes(message).subspan(at, 2), now),
            crcOf(changed));
    }
}

} // namespace

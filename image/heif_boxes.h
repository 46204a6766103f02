// The HEIF item boxes, typed: each is parsed from its payload and written back through one Writer,
// so a box that is read and written unchanged comes out byte for byte as it went in. Boxes we do
// not need to understand stay raw. Every read is bounded by the span it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace tg::heif {

using Bytes = std::span<const std::uint8_t>;
using Buffer = std::vector<std::uint8_t>;

constexpr std::uint32_t fourcc(const char (&s)[5]) {
    return std::uint32_t(std::uint8_t(s[0])) << 24 | std::uint32_t(std::uint8_t(s[1])) << 16 |
           std::uint32_t(std::uint8_t(s[2])) << 8 | std::uint32_t(std::uint8_t(s[3]));
}

// Big-endian reads that never run past the end: a read that does not fit marks the reader failed
// and returns zeros, so a parser checks ok() once when it is done.
class Reader {
public:
    explicit Reader(Bytes bytes) : bytes_(bytes) {}
    std::uint64_t uint(unsigned width); // 0, 1, 2, 4 or 8 bytes
    std::uint8_t u8() { return std::uint8_t(uint(1)); }
    std::uint16_t u16() { return std::uint16_t(uint(2)); }
    std::uint32_t u32() { return std::uint32_t(uint(4)); }
    std::uint64_t u64() { return uint(8); }
    Bytes take(std::size_t count);
    Bytes rest() { return take(left()); }
    // A NUL-terminated string, terminator consumed.
    std::string cstring();
    std::size_t left() const { return bytes_.size() - at_; }
    bool ok() const { return ok_; }
    void fail() { ok_ = false; }

private:
    Bytes bytes_;
    std::size_t at_ = 0;
    bool ok_ = true;
};

// Appends big-endian fields; a value that does not fit its width marks the writer failed.
class Writer {
public:
    void uint(std::uint64_t value, unsigned width);
    void u8(std::uint64_t v) { uint(v, 1); }
    void u16(std::uint64_t v) { uint(v, 2); }
    void u32(std::uint64_t v) { uint(v, 4); }
    void bytes(Bytes b) { out_.insert(out_.end(), b.begin(), b.end()); }
    void cstring(const std::string& s);
    // A box whose size is known when it ends: begin returns where its header sits.
    std::size_t begin(std::uint32_t type);
    std::size_t beginFull(std::uint32_t type, std::uint8_t version, std::uint32_t flags);
    void end(std::size_t at);
    bool ok() const { return ok_; }
    void fail() { ok_ = false; }
    std::size_t size() const { return out_.size(); }
    Buffer take() { return std::move(out_); }

private:
    Buffer out_;
    bool ok_ = true;
};

// A box header: the box spans `size` bytes from its start, the payload starts at `header`.
struct BoxHeader {
    std::uint32_t type = 0;
    std::uint64_t size = 0;
    std::uint32_t header = 0;
};
// Reads a header from `head` (the first bytes of the box, up to 24 of them) for a box that may
// extend at most `room` bytes. Size 0 runs to the end of the room; size 1 takes the 64-bit size.
// nullopt when the header is cut short, smaller than itself or runs past the room.
std::optional<BoxHeader> readHeader(Bytes head, std::uint64_t room);

struct Box {
    std::uint32_t type = 0;
    Bytes whole;   // header included
    Bytes payload; // after the header
};
// The child boxes filling `bytes` exactly; nullopt when any header is bad.
std::optional<std::vector<Box>> children(Bytes bytes);

struct Ftyp {
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::vector<std::uint32_t> compatible;
    bool hasBrand(std::uint32_t brand) const;
};
std::optional<Ftyp> readFtyp(Bytes payload);

struct Raw {
    Buffer box; // the whole box as it was read
};

struct Hdlr {
    std::uint8_t version = 0;
    std::uint32_t flags = 0;
    std::uint32_t preDefined = 0;
    std::uint32_t handler = 0;
    Buffer tail; // reserved words and name
};

struct Pitm {
    std::uint8_t version = 0;
    std::uint32_t flags = 0;
    std::uint32_t itemId = 0;
};

// Item info entry, versions 2 and 3 (older ones are kept raw in the tail with no type).
struct Infe {
    std::uint8_t version = 2;
    std::uint32_t flags = 0;
    std::uint32_t itemId = 0;
    std::uint16_t protection = 0;
    std::uint32_t itemType = 0;
    Buffer tail;             // name, content type, encoding: copied as read
    std::string contentType; // for "mime" items
    Buffer raw;              // versions 0 and 1, written back as read
    bool hidden() const { return (flags & 1) != 0; }
};

struct Iinf {
    std::uint8_t version = 0;
    std::uint32_t flags = 0;
    std::vector<Infe> entries;
};

struct Reference {
    std::uint32_t type = 0;
    std::uint32_t from = 0;
    std::vector<std::uint32_t> to;
};
struct Iref {
    std::uint8_t version = 0; // 0: 16-bit item ids, 1: 32-bit
    std::uint32_t flags = 0;
    std::vector<Reference> refs;
};

struct Association {
    bool essential = false;
    std::uint16_t index = 0; // 1-based into ipco; 0 means no property
};
struct IpmaEntry {
    std::uint32_t itemId = 0;
    std::vector<Association> props;
};
struct Ipma {
    std::uint8_t version = 0; // 0: 16-bit item ids, 1: 32-bit
    std::uint32_t flags = 0;  // bit 0: 15-bit property indexes
    std::vector<IpmaEntry> entries;
};

struct Property {
    std::uint32_t type = 0;
    Buffer box; // whole box
    Bytes payload() const;
};

struct Iprp {
    std::vector<Property> ipco;
    std::vector<Ipma> ipma;
    std::vector<Raw> other;
};

struct Extent {
    std::uint64_t index = 0;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};
struct IlocItem {
    std::uint32_t itemId = 0;
    std::uint8_t method = 0; // 0 file, 1 idat, 2 item
    std::uint16_t dataReference = 0;
    std::uint64_t baseOffset = 0;
    std::vector<Extent> extents;
};
struct Iloc {
    std::uint8_t version = 0;
    std::uint32_t flags = 0;
    std::uint8_t offsetSize = 4, lengthSize = 4, baseOffsetSize = 0, indexSize = 0;
    std::vector<IlocItem> items;
};

struct Idat {
    Buffer data;
};

struct Group {
    std::uint32_t type = 0;
    std::uint8_t version = 0;
    std::uint32_t flags = 0;
    std::uint32_t groupId = 0;
    std::vector<std::uint32_t> entities;
    Buffer tail; // group-type specific fields
};
struct Grpl {
    std::vector<Group> groups;
};

using MetaChild = std::variant<Raw, Hdlr, Pitm, Iinf, Iref, Iprp, Iloc, Idat, Grpl>;

struct Meta {
    std::uint8_t version = 0;
    std::uint32_t flags = 0;
    std::vector<MetaChild> children;

    template <typename T> T* find() {
        for (auto& c : children)
            if (auto* t = std::get_if<T>(&c)) return t;
        return nullptr;
    }
    template <typename T> const T* find() const { return const_cast<Meta*>(this)->find<T>(); }
};

// Payload parsers: nullopt on any field that does not fit or a count the bytes cannot hold.
std::optional<Hdlr> readHdlr(Bytes payload);
std::optional<Pitm> readPitm(Bytes payload);
std::optional<Infe> readInfe(Bytes payload);
std::optional<Iinf> readIinf(Bytes payload);
std::optional<Iref> readIref(Bytes payload);
std::optional<Ipma> readIpma(Bytes payload);
std::optional<Iprp> readIprp(Bytes payload);
std::optional<Iloc> readIloc(Bytes payload);
std::optional<Grpl> readGrpl(Bytes payload);
// Exactly one of each typed child; more than one, or a typed child that does not parse, is a
// malformed tree.
std::optional<Meta> readMeta(Bytes payload);

void write(Writer& w, const Raw& b);
void write(Writer& w, const Hdlr& b);
void write(Writer& w, const Pitm& b);
void write(Writer& w, const Infe& b);
void write(Writer& w, const Iinf& b);
void write(Writer& w, const Iref& b);
void write(Writer& w, const Ipma& b);
void write(Writer& w, const Iprp& b);
void write(Writer& w, const Iloc& b);
void write(Writer& w, const Idat& b);
void write(Writer& w, const Grpl& b);
void write(Writer& w, const Meta& b);

// Parses a whole box as its typed form and writes it back; nullopt when it is not one of the
// typed boxes above or does not parse. What tests and the fuzzer compare with the input.
std::optional<Buffer> rewriteBox(Bytes box);

// Property contents we look at.
struct Nclx {
    std::uint16_t primaries = 2, transfer = 2, matrix = 2;
    bool fullRange = false;
};
std::optional<std::uint32_t> colrType(const Property& p); // "nclx", "prof", "rICC", ...
std::optional<Nclx> nclxOf(const Property& p);
Bytes iccOf(const Property& p); // empty unless a prof/rICC colr
Property colrNclx(const Nclx& n);
Property colrProf(Bytes icc);

} // namespace tg::heif

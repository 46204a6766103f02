// The HEIF item boxes, typed: each is parsed from its payload and written back through one writer,
// so a box that is read and written unchanged comes out byte for byte as it went in. Boxes we do
// not need to understand stay raw. Every read is bounded by the span it is given.
#pragma once

#include "base/bytes.h"
#include "bmff/box.h"
#include "bmff/iloc.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace tg::heif {

using Bytes = tg::Bytes;
using Buffer = std::vector<std::uint8_t>;
using bmff::fourcc;
using Writer = bmff::BoxWriter;

// Box headers as HEIF reads them: a uuid box's user type is part of its header.
constexpr bmff::HeaderRules RULES{.userType = true};

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

using bmff::Iloc;
using bmff::IlocItem;
using bmff::ItemExtent;

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
// An iloc as HEIF allows it: field widths 0, 4 or 8 and construction methods up to 2.
std::optional<Iloc> readHeifIloc(Bytes payload);
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

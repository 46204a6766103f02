#include "image/heif_boxes.h"

#include <algorithm>

namespace tg::heif {

namespace {

constexpr std::uint32_t META = fourcc("meta"), HDLR = fourcc("hdlr"), PITM = fourcc("pitm"),
                        IINF = fourcc("iinf"), INFE = fourcc("infe"), IREF = fourcc("iref"),
                        IPRP = fourcc("iprp"), IPCO = fourcc("ipco"), IPMA = fourcc("ipma"),
                        ILOC = fourcc("iloc"), IDAT = fourcc("idat"), GRPL = fourcc("grpl"),
                        COLR = fourcc("colr"), NCLX = fourcc("nclx"), PROF = fourcc("prof"),
                        RICC = fourcc("rICC"), MIME = fourcc("mime");

struct FullHeader {
    std::uint8_t version = 0;
    std::uint32_t flags = 0;
};
FullHeader full(ByteReader& r) {
    const std::uint32_t word = r.u32();
    return {std::uint8_t(word >> 24), word & 0xFFFFFF};
}

// A list of `count` entries, each at least `least` bytes, must fit in what is left before any
// storage is reserved for it.
bool countFits(const ByteReader& r, std::uint64_t count, std::size_t least) {
    return least == 0 || count <= r.left() / least;
}

// A box kept as bytes, with its size written out: "to the end" would swallow whatever is
// written after it in the new tree.
Buffer keep(const Box& b) {
    Buffer out(b.whole.begin(), b.whole.end());
    if (out.size() >= 8 && out[0] == 0 && out[1] == 0 && out[2] == 0 && out[3] == 0 &&
        out.size() <= 0xFFFFFFFFu)
        for (unsigned i = 0; i < 4; ++i)
            out[i] = std::uint8_t(out.size() >> (8 * (3 - i)));
    return out;
}

bool validSize(unsigned s) {
    return s == 0 || s == 4 || s == 8;
}

} // namespace

// ---- headers and children ----

std::optional<std::vector<Box>> children(Bytes bytes) {
    // A list that stops short of its parent's end leaves bytes no one can account for.
    const auto list = bmff::listBoxes(bytes, 0, bytes.size(), RULES);
    if (!list.complete) return std::nullopt;
    std::vector<Box> out;
    for (const auto& b : list.boxes) {
        const Bytes whole = bytes.subspan(b.offset, b.header.size);
        out.push_back({b.header.type, whole, whole.subspan(b.header.headerSize)});
    }
    return out;
}

bool Ftyp::hasBrand(std::uint32_t brand) const {
    return major == brand ||
           std::find(compatible.begin(), compatible.end(), brand) != compatible.end();
}

std::optional<Ftyp> readFtyp(Bytes payload) {
    ByteReader r(payload);
    Ftyp f;
    f.major = r.u32();
    f.minor = r.u32();
    if (!r.ok()) return std::nullopt;
    while (r.left() >= 4)
        f.compatible.push_back(r.u32());
    return f;
}

Bytes Property::payload() const {
    const Bytes whole(box);
    const auto h = bmff::decodeHeader(whole.first(std::min(whole.size(), bmff::MAX_HEADER)),
                                      whole.size(), RULES);
    if (!h) return {};
    return whole.subspan(h->headerSize, std::size_t(h->size) - h->headerSize);
}

// ---- parsers ----

std::optional<Hdlr> readHdlr(Bytes payload) {
    ByteReader r(payload);
    Hdlr h;
    const auto fh = full(r);
    h.version = fh.version;
    h.flags = fh.flags;
    h.preDefined = r.u32();
    h.handler = r.u32();
    const Bytes tail = r.rest();
    if (!r.ok()) return std::nullopt;
    h.tail.assign(tail.begin(), tail.end());
    return h;
}

std::optional<Pitm> readPitm(Bytes payload) {
    ByteReader r(payload);
    Pitm p;
    const auto fh = full(r);
    p.version = fh.version;
    p.flags = fh.flags;
    p.itemId = std::uint32_t(r.uint(fh.version == 0 ? 2 : 4));
    if (!r.ok()) return std::nullopt;
    return p;
}

std::optional<Infe> readInfe(Bytes payload) {
    ByteReader r(payload);
    Infe e;
    const auto fh = full(r);
    e.version = fh.version;
    e.flags = fh.flags;
    if (fh.version < 2) {
        e.itemId = r.u16();
        const Bytes raw = r.rest();
        if (!r.ok()) return std::nullopt;
        e.raw.assign(raw.begin(), raw.end());
        return e;
    }
    e.itemId = std::uint32_t(r.uint(fh.version == 2 ? 2 : 4));
    e.protection = r.u16();
    e.itemType = r.u32();
    const Bytes tail = r.rest();
    if (!r.ok()) return std::nullopt;
    e.tail.assign(tail.begin(), tail.end());
    if (e.itemType == MIME) {
        ByteReader t(tail);
        t.cstring(); // item name
        e.contentType = t.cstring();
    }
    return e;
}

std::optional<Iinf> readIinf(Bytes payload) {
    ByteReader r(payload);
    Iinf i;
    const auto fh = full(r);
    i.version = fh.version;
    i.flags = fh.flags;
    const std::uint32_t count = std::uint32_t(r.uint(fh.version == 0 ? 2 : 4));
    if (!r.ok()) return std::nullopt;
    const auto boxes = children(r.rest());
    if (!boxes || boxes->size() != count) return std::nullopt;
    for (const auto& b : *boxes) {
        if (b.type != INFE) return std::nullopt;
        auto e = readInfe(b.payload);
        if (!e) return std::nullopt;
        i.entries.push_back(std::move(*e));
    }
    return i;
}

std::optional<Iref> readIref(Bytes payload) {
    ByteReader r(payload);
    Iref i;
    const auto fh = full(r);
    i.version = fh.version;
    i.flags = fh.flags;
    if (!r.ok() || fh.version > 1) return std::nullopt;
    const unsigned idSize = fh.version == 0 ? 2 : 4;
    const auto boxes = children(r.rest());
    if (!boxes) return std::nullopt;
    for (const auto& b : *boxes) {
        ByteReader e(b.payload);
        Reference ref;
        ref.type = b.type;
        ref.from = std::uint32_t(e.uint(idSize));
        const std::uint16_t count = e.u16();
        if (!e.ok() || !countFits(e, count, idSize)) return std::nullopt;
        ref.to.reserve(count);
        for (std::uint16_t k = 0; k < count; ++k)
            ref.to.push_back(std::uint32_t(e.uint(idSize)));
        if (!e.ok() || e.left() != 0) return std::nullopt;
        i.refs.push_back(std::move(ref));
    }
    return i;
}

std::optional<Ipma> readIpma(Bytes payload) {
    ByteReader r(payload);
    Ipma m;
    const auto fh = full(r);
    m.version = fh.version;
    m.flags = fh.flags;
    const std::uint32_t count = r.u32();
    const unsigned idSize = fh.version < 1 ? 2 : 4;
    if (!r.ok() || !countFits(r, count, idSize + 1)) return std::nullopt;
    m.entries.reserve(count);
    for (std::uint32_t k = 0; k < count; ++k) {
        IpmaEntry e;
        e.itemId = std::uint32_t(r.uint(idSize));
        const std::uint8_t n = r.u8();
        const unsigned width = (fh.flags & 1) ? 2 : 1;
        if (!r.ok() || !countFits(r, n, width)) return std::nullopt;
        for (std::uint8_t j = 0; j < n; ++j) {
            const std::uint16_t v = std::uint16_t(r.uint(width));
            const std::uint16_t top = width == 2 ? 0x8000 : 0x80;
            e.props.push_back({(v & top) != 0, std::uint16_t(v & (top - 1))});
        }
        m.entries.push_back(std::move(e));
    }
    if (!r.ok()) return std::nullopt;
    return m;
}

std::optional<Iprp> readIprp(Bytes payload) {
    const auto boxes = children(payload);
    if (!boxes) return std::nullopt;
    Iprp p;
    bool seenIpco = false;
    for (const auto& b : *boxes) {
        if (b.type == IPCO) {
            if (seenIpco) return std::nullopt;
            seenIpco = true;
            const auto props = children(b.payload);
            if (!props) return std::nullopt;
            for (const auto& q : *props)
                p.ipco.push_back({q.type, keep(q)});
        } else if (b.type == IPMA) {
            auto m = readIpma(b.payload);
            if (!m) return std::nullopt;
            p.ipma.push_back(std::move(*m));
        } else {
            p.other.push_back({keep(b)});
        }
    }
    if (!seenIpco) return std::nullopt;
    return p;
}

std::optional<Iloc> readHeifIloc(Bytes payload) {
    auto l = bmff::readIloc(payload);
    if (!l || !validSize(l->offsetSize) || !validSize(l->lengthSize) ||
        !validSize(l->baseOffsetSize) || !validSize(l->indexSize))
        return std::nullopt;
    for (const auto& it : l->items)
        if (it.method > 2) return std::nullopt;
    return l;
}

std::optional<Grpl> readGrpl(Bytes payload) {
    const auto boxes = children(payload);
    if (!boxes) return std::nullopt;
    Grpl g;
    for (const auto& b : *boxes) {
        ByteReader r(b.payload);
        Group grp;
        grp.type = b.type;
        const auto fh = full(r);
        grp.version = fh.version;
        grp.flags = fh.flags;
        grp.groupId = r.u32();
        const std::uint32_t n = r.u32();
        if (!r.ok() || !countFits(r, n, 4)) return std::nullopt;
        grp.entities.reserve(n);
        for (std::uint32_t k = 0; k < n; ++k)
            grp.entities.push_back(r.u32());
        const Bytes tail = r.rest();
        if (!r.ok()) return std::nullopt;
        grp.tail.assign(tail.begin(), tail.end());
        g.groups.push_back(std::move(grp));
    }
    return g;
}

std::optional<Meta> readMeta(Bytes payload) {
    ByteReader r(payload);
    Meta m;
    const auto fh = full(r);
    m.version = fh.version;
    m.flags = fh.flags;
    if (!r.ok()) return std::nullopt;
    const auto boxes = children(r.rest());
    if (!boxes) return std::nullopt;
    std::vector<std::uint32_t> seen;
    for (const auto& b : *boxes) {
        const auto typed = {HDLR, PITM, IINF, IREF, IPRP, ILOC, IDAT, GRPL};
        if (std::find(typed.begin(), typed.end(), b.type) != typed.end()) {
            if (std::find(seen.begin(), seen.end(), b.type) != seen.end()) return std::nullopt;
            seen.push_back(b.type);
        }
        const auto add = [&](auto parsed) {
            if (!parsed) return false;
            m.children.emplace_back(std::move(*parsed));
            return true;
        };
        bool ok = true;
        switch (b.type) {
        case HDLR:
            ok = add(readHdlr(b.payload));
            break;
        case PITM:
            ok = add(readPitm(b.payload));
            break;
        case IINF:
            ok = add(readIinf(b.payload));
            break;
        case IREF:
            ok = add(readIref(b.payload));
            break;
        case IPRP:
            ok = add(readIprp(b.payload));
            break;
        case ILOC:
            ok = add(readHeifIloc(b.payload));
            break;
        case IDAT:
            m.children.emplace_back(Idat{Buffer(b.payload.begin(), b.payload.end())});
            break;
        case GRPL:
            ok = add(readGrpl(b.payload));
            break;
        default:
            m.children.emplace_back(Raw{keep(b)});
        }
        if (!ok) return std::nullopt;
    }
    return m;
}

// ---- writers ----

void write(Writer& w, const Raw& b) {
    w.bytes(b.box);
}

void write(Writer& w, const Hdlr& b) {
    const auto at = w.beginFull(HDLR, b.version, b.flags);
    w.u32(b.preDefined);
    w.u32(b.handler);
    w.bytes(b.tail);
    w.end(at);
}

void write(Writer& w, const Pitm& b) {
    const auto at = w.beginFull(PITM, b.version, b.flags);
    w.uint(b.itemId, b.version == 0 ? 2 : 4);
    w.end(at);
}

void write(Writer& w, const Infe& b) {
    const auto at = w.beginFull(INFE, b.version, b.flags);
    if (b.version < 2) {
        w.u16(b.itemId);
        w.bytes(b.raw);
    } else {
        w.uint(b.itemId, b.version == 2 ? 2 : 4);
        w.u16(b.protection);
        w.u32(b.itemType);
        w.bytes(b.tail);
    }
    w.end(at);
}

void write(Writer& w, const Iinf& b) {
    const auto at = w.beginFull(IINF, b.version, b.flags);
    w.uint(b.entries.size(), b.version == 0 ? 2 : 4);
    for (const auto& e : b.entries)
        write(w, e);
    w.end(at);
}

void write(Writer& w, const Iref& b) {
    const auto at = w.beginFull(IREF, b.version, b.flags);
    const unsigned idSize = b.version == 0 ? 2 : 4;
    for (const auto& ref : b.refs) {
        const auto r = w.begin(ref.type);
        w.uint(ref.from, idSize);
        w.u16(ref.to.size());
        for (auto id : ref.to)
            w.uint(id, idSize);
        w.end(r);
    }
    w.end(at);
}

void write(Writer& w, const Ipma& b) {
    const auto at = w.beginFull(IPMA, b.version, b.flags);
    w.u32(b.entries.size());
    const bool wide = (b.flags & 1) != 0;
    for (const auto& e : b.entries) {
        w.uint(e.itemId, b.version < 1 ? 2 : 4);
        w.u8(e.props.size());
        for (const auto& a : e.props) {
            if (a.index >= (wide ? 0x8000 : 0x80)) w.fail();
            const unsigned top = wide ? 0x8000 : 0x80;
            w.uint((a.essential ? top : 0) | a.index, wide ? 2 : 1);
        }
    }
    w.end(at);
}

void write(Writer& w, const Iprp& b) {
    const auto at = w.begin(IPRP);
    const auto co = w.begin(IPCO);
    for (const auto& p : b.ipco)
        w.bytes(p.box);
    w.end(co);
    for (const auto& m : b.ipma)
        write(w, m);
    for (const auto& o : b.other)
        write(w, o);
    w.end(at);
}

void write(Writer& w, const Iloc& b) {
    bmff::writeIloc(w, b);
}

void write(Writer& w, const Idat& b) {
    const auto at = w.begin(IDAT);
    w.bytes(b.data);
    w.end(at);
}

void write(Writer& w, const Grpl& b) {
    const auto at = w.begin(GRPL);
    for (const auto& g : b.groups) {
        const auto ga = w.beginFull(g.type, g.version, g.flags);
        w.u32(g.groupId);
        w.u32(g.entities.size());
        for (auto id : g.entities)
            w.u32(id);
        w.bytes(g.tail);
        w.end(ga);
    }
    w.end(at);
}

void write(Writer& w, const Meta& b) {
    const auto at = w.beginFull(META, b.version, b.flags);
    for (const auto& c : b.children)
        std::visit([&](const auto& box) { write(w, box); }, c);
    w.end(at);
}

std::optional<Buffer> rewriteBox(Bytes box) {
    const auto h =
        bmff::decodeHeader(box.first(std::min(box.size(), bmff::MAX_HEADER)), box.size(), RULES);
    if (!h || h->size != box.size()) return std::nullopt;
    const Bytes payload = box.subspan(h->headerSize);
    Writer w;
    const auto emit = [&](auto parsed) {
        if (!parsed) return false;
        write(w, *parsed);
        return true;
    };
    bool ok = false;
    switch (h->type) {
    case META:
        ok = emit(readMeta(payload));
        break;
    case HDLR:
        ok = emit(readHdlr(payload));
        break;
    case PITM:
        ok = emit(readPitm(payload));
        break;
    case INFE:
        ok = emit(readInfe(payload));
        break;
    case IINF:
        ok = emit(readIinf(payload));
        break;
    case IREF:
        ok = emit(readIref(payload));
        break;
    case IPMA:
        ok = emit(readIpma(payload));
        break;
    case IPRP:
        ok = emit(readIprp(payload));
        break;
    case ILOC:
        ok = emit(readHeifIloc(payload));
        break;
    case GRPL:
        ok = emit(readGrpl(payload));
        break;
    default:
        break;
    }
    if (!ok || !w.ok()) return std::nullopt;
    return w.take();
}

// ---- colour properties ----

std::optional<std::uint32_t> colrType(const Property& p) {
    if (p.type != COLR) return std::nullopt;
    ByteReader r(p.payload());
    const std::uint32_t t = r.u32();
    if (!r.ok()) return std::nullopt;
    return t;
}

std::optional<Nclx> nclxOf(const Property& p) {
    if (colrType(p) != NCLX) return std::nullopt;
    ByteReader r(p.payload());
    r.u32();
    Nclx n;
    n.primaries = r.u16();
    n.transfer = r.u16();
    n.matrix = r.u16();
    n.fullRange = (r.u8() & 0x80) != 0;
    if (!r.ok()) return std::nullopt;
    return n;
}

Bytes iccOf(const Property& p) {
    const auto t = colrType(p);
    if (t != PROF && t != RICC) return {};
    return p.payload().subspan(4);
}

Property colrNclx(const Nclx& n) {
    Writer w;
    const auto at = w.begin(COLR);
    w.u32(NCLX);
    w.u16(n.primaries);
    w.u16(n.transfer);
    w.u16(n.matrix);
    w.u8(n.fullRange ? 0x80 : 0);
    w.end(at);
    return {COLR, w.take()};
}

Property colrProf(Bytes icc) {
    Writer w;
    const auto at = w.begin(COLR);
    w.u32(PROF);
    w.bytes(icc);
    w.end(at);
    return {COLR, w.take()};
}

} // namespace tg::heif

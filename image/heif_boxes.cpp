#include "image/heif_boxes.h"

#include <algorithm>
#include <cstring>

namespace tg::heif {

namespace {

constexpr std::uint32_t META = fourcc("meta"), HDLR = fourcc("hdlr"), PITM = fourcc("pitm"),
                        IINF = fourcc("iinf"), INFE = fourcc("infe"), IREF = fourcc("iref"),
                        IPRP = fourcc("iprp"), IPCO = fourcc("ipco"), IPMA = fourcc("ipma"),
                        ILOC = fourcc("iloc"), IDAT = fourcc("idat"), GRPL = fourcc("grpl"),
                        COLR = fourcc("colr"), NCLX = fourcc("nclx"), PROF = fourcc("prof"),
                        RICC = fourcc("rICC"), MIME = fourcc("mime"), UUID = fourcc("uuid");

struct FullHeader {
    std::uint8_t version = 0;
    std::uint32_t flags = 0;
};
FullHeader full(Reader& r) {
    const std::uint32_t word = r.u32();
    return {std::uint8_t(word >> 24), word & 0xFFFFFF};
}

// A list of `count` entries, each at least `least` bytes, must fit in what is left before any
// storage is reserved for it.
bool countFits(const Reader& r, std::uint64_t count, std::size_t least) {
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

// ---- Reader / Writer ----

std::uint64_t Reader::uint(unsigned width) {
    if (!ok_ || width > left()) {
        ok_ = false;
        return 0;
    }
    std::uint64_t v = 0;
    for (unsigned i = 0; i < width; ++i)
        v = v << 8 | bytes_[at_ + i];
    at_ += width;
    return v;
}

Bytes Reader::take(std::size_t count) {
    if (!ok_ || count > left()) {
        ok_ = false;
        return {};
    }
    const Bytes b = bytes_.subspan(at_, count);
    at_ += count;
    return b;
}

std::string Reader::cstring() {
    if (!ok_) return {};
    const Bytes rest = bytes_.subspan(at_);
    const auto* nul = static_cast<const std::uint8_t*>(std::memchr(rest.data(), 0, rest.size()));
    if (!nul) {
        ok_ = false;
        return {};
    }
    const std::size_t n = std::size_t(nul - rest.data());
    std::string s(reinterpret_cast<const char*>(rest.data()), n);
    at_ += n + 1;
    return s;
}

void Writer::uint(std::uint64_t value, unsigned width) {
    if (width < 8 && (value >> (8 * width)) != 0) ok_ = false;
    for (unsigned i = width; i-- > 0;)
        out_.push_back(std::uint8_t(width > 8 ? 0 : value >> (8 * i)));
}

void Writer::cstring(const std::string& s) {
    out_.insert(out_.end(), s.begin(), s.end());
    out_.push_back(0);
}

std::size_t Writer::begin(std::uint32_t type) {
    const std::size_t at = out_.size();
    u32(0);
    u32(type);
    return at;
}

std::size_t Writer::beginFull(std::uint32_t type, std::uint8_t version, std::uint32_t flags) {
    const std::size_t at = begin(type);
    u32(std::uint32_t(version) << 24 | (flags & 0xFFFFFF));
    return at;
}

void Writer::end(std::size_t at) {
    const std::uint64_t size = out_.size() - at;
    if (size > 0xFFFFFFFFu) {
        ok_ = false;
        return;
    }
    for (unsigned i = 0; i < 4; ++i)
        out_[at + i] = std::uint8_t(size >> (8 * (3 - i)));
}

// ---- headers and children ----

std::optional<BoxHeader> readHeader(Bytes head, std::uint64_t room) {
    Reader r(head);
    BoxHeader h;
    const std::uint32_t size32 = r.u32();
    h.type = r.u32();
    h.header = 8;
    if (size32 == 1) {
        h.size = r.u64();
        h.header = 16;
    } else {
        h.size = size32 == 0 ? room : size32;
    }
    if (h.type == UUID) {
        r.take(16);
        h.header += 16;
    }
    if (!r.ok() || h.size < h.header || h.size > room) return std::nullopt;
    return h;
}

std::optional<std::vector<Box>> children(Bytes bytes) {
    std::vector<Box> out;
    std::size_t at = 0;
    while (at < bytes.size()) {
        const Bytes rest = bytes.subspan(at);
        const auto h = readHeader(rest.first(std::min<std::size_t>(rest.size(), 24)), rest.size());
        if (!h) return std::nullopt;
        const std::size_t size = std::size_t(h->size);
        out.push_back({h->type, rest.first(size), rest.subspan(h->header, size - h->header)});
        at += size;
    }
    return out;
}

bool Ftyp::hasBrand(std::uint32_t brand) const {
    return major == brand ||
           std::find(compatible.begin(), compatible.end(), brand) != compatible.end();
}

std::optional<Ftyp> readFtyp(Bytes payload) {
    Reader r(payload);
    Ftyp f;
    f.major = r.u32();
    f.minor = r.u32();
    if (!r.ok()) return std::nullopt;
    while (r.left() >= 4)
        f.compatible.push_back(r.u32());
    return f;
}

Bytes Property::payload() const {
    const auto h = readHeader(Bytes(box).first(std::min<std::size_t>(box.size(), 24)), box.size());
    if (!h) return {};
    return Bytes(box).subspan(h->header, std::size_t(h->size) - h->header);
}

// ---- parsers ----

std::optional<Hdlr> readHdlr(Bytes payload) {
    Reader r(payload);
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
    Reader r(payload);
    Pitm p;
    const auto fh = full(r);
    p.version = fh.version;
    p.flags = fh.flags;
    p.itemId = std::uint32_t(r.uint(fh.version == 0 ? 2 : 4));
    if (!r.ok()) return std::nullopt;
    return p;
}

std::optional<Infe> readInfe(Bytes payload) {
    Reader r(payload);
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
        Reader t(tail);
        t.cstring(); // item name
        e.contentType = t.cstring();
    }
    return e;
}

std::optional<Iinf> readIinf(Bytes payload) {
    Reader r(payload);
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
    Reader r(payload);
    Iref i;
    const auto fh = full(r);
    i.version = fh.version;
    i.flags = fh.flags;
    if (!r.ok() || fh.version > 1) return std::nullopt;
    const unsigned idSize = fh.version == 0 ? 2 : 4;
    const auto boxes = children(r.rest());
    if (!boxes) return std::nullopt;
    for (const auto& b : *boxes) {
        Reader e(b.payload);
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
    Reader r(payload);
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

std::optional<Iloc> readIloc(Bytes payload) {
    Reader r(payload);
    Iloc l;
    const auto fh = full(r);
    l.version = fh.version;
    l.flags = fh.flags;
    if (!r.ok() || fh.version > 2) return std::nullopt;
    const std::uint8_t a = r.u8(), b = r.u8();
    l.offsetSize = a >> 4;
    l.lengthSize = a & 15;
    l.baseOffsetSize = b >> 4;
    l.indexSize = fh.version >= 1 ? (b & 15) : 0;
    if (!validSize(l.offsetSize) || !validSize(l.lengthSize) || !validSize(l.baseOffsetSize) ||
        !validSize(l.indexSize))
        return std::nullopt;
    const std::uint32_t count = std::uint32_t(r.uint(fh.version < 2 ? 2 : 4));
    const unsigned idSize = fh.version < 2 ? 2 : 4;
    const std::size_t least = idSize + (fh.version >= 1 ? 2 : 0) + 2 + l.baseOffsetSize + 2;
    if (!r.ok() || !countFits(r, count, least)) return std::nullopt;
    l.items.reserve(count);
    const std::size_t perExtent = l.indexSize + l.offsetSize + l.lengthSize;
    for (std::uint32_t k = 0; k < count; ++k) {
        IlocItem it;
        it.itemId = std::uint32_t(r.uint(idSize));
        if (fh.version >= 1) it.method = r.u16() & 15;
        it.dataReference = r.u16();
        it.baseOffset = r.uint(l.baseOffsetSize);
        const std::uint16_t extents = r.u16();
        if (!r.ok() || it.method > 2 || !countFits(r, extents, perExtent)) return std::nullopt;
        it.extents.reserve(extents);
        for (std::uint16_t e = 0; e < extents; ++e) {
            Extent x;
            x.index = r.uint(l.indexSize);
            x.offset = r.uint(l.offsetSize);
            x.length = r.uint(l.lengthSize);
            it.extents.push_back(x);
        }
        l.items.push_back(std::move(it));
    }
    if (!r.ok()) return std::nullopt;
    return l;
}

std::optional<Grpl> readGrpl(Bytes payload) {
    const auto boxes = children(payload);
    if (!boxes) return std::nullopt;
    Grpl g;
    for (const auto& b : *boxes) {
        Reader r(b.payload);
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
    Reader r(payload);
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
            ok = add(readIloc(b.payload));
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
    const auto at = w.beginFull(ILOC, b.version, b.flags);
    w.u8(b.offsetSize << 4 | b.lengthSize);
    w.u8(b.baseOffsetSize << 4 | (b.version >= 1 ? b.indexSize : 0));
    w.uint(b.items.size(), b.version < 2 ? 2 : 4);
    for (const auto& it : b.items) {
        w.uint(it.itemId, b.version < 2 ? 2 : 4);
        if (b.version >= 1)
            w.u16(it.method);
        else if (it.method != 0)
            w.fail();
        w.u16(it.dataReference);
        w.uint(it.baseOffset, b.baseOffsetSize);
        w.u16(it.extents.size());
        for (const auto& x : it.extents) {
            w.uint(x.index, b.version >= 1 ? b.indexSize : 0);
            w.uint(x.offset, b.offsetSize);
            w.uint(x.length, b.lengthSize);
        }
    }
    w.end(at);
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
    const auto h = readHeader(box.first(std::min<std::size_t>(box.size(), 24)), box.size());
    if (!h || h->size != box.size()) return std::nullopt;
    const Bytes payload = box.subspan(h->header);
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
        ok = emit(readIloc(payload));
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
    Reader r(p.payload());
    const std::uint32_t t = r.u32();
    if (!r.ok()) return std::nullopt;
    return t;
}

std::optional<Nclx> nclxOf(const Property& p) {
    if (colrType(p) != NCLX) return std::nullopt;
    Reader r(p.payload());
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

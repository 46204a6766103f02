#include "matroska/mkv_edit.h"

#include "codec/colour_codes.h"

#include <algorithm>
#include <memory>

namespace tg {

namespace {

namespace e = ebml;

// The smallest Void: its ID and a size of one byte.
constexpr std::uint64_t MIN_VOID = 2;
// Room a route may add to the tail beyond the growth: a range insertion rounds up to a block.
constexpr std::uint64_t MAX_EXTRA_MOVE = 2ull << 20;
// Bytes of a Void read behind a position table, room for the positions it may widen.
constexpr std::uint64_t MAX_WIDEN_ROOM = 64ull << 10;

const char* const NO_ROUTE = "Can't add tag — a stored position would outgrow its field";
const char* const NARROW_SEGMENT = "Can't add tag — the Segment size field is too narrow";

// What a new Colour states besides the primaries, as the movie's inserted atom does: BT.709's
// transfer and matrix, codes 1 and 1.
constexpr std::uint64_t TRANSFER_BT709 = 1, MATRIX_BT709 = 1;

std::vector<std::uint8_t> colourBody(const MkvTrack& t) {
    std::vector<std::uint8_t> body;
    e::putUint(body, e::PRIMARIES, PRIMARIES_DISPLAY_P3);
    if (!t.transfer) e::putUint(body, e::TRANSFER_CHARACTERISTICS, TRANSFER_BT709);
    if (!t.matrix) e::putUint(body, e::MATRIX_COEFFICIENTS, MATRIX_BT709);
    return body;
}

std::vector<std::uint8_t> master(std::uint32_t id, const std::vector<std::uint8_t>& body) {
    std::vector<std::uint8_t> out;
    e::putId(out, id);
    e::putSize(out, body.size());
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// Applies the same-length writes that fall inside [at, at + bytes.size()) of the file.
void applyWrites(std::vector<std::uint8_t>& bytes, std::uint64_t at,
                 const std::vector<Overwrite>& writes) {
    for (const auto& w : writes)
        for (std::size_t i = 0; i < w.bytes.size(); ++i)
            if (w.at + i >= at && w.at + i - at < bytes.size()) bytes[w.at + i - at] = w.bytes[i];
}

bool holdsSplice(const e::Element& el, const std::vector<TracksSplice>& splices) {
    return std::any_of(splices.begin(), splices.end(), [&](const TracksSplice& s) {
        return s.parent >= el.offset && s.parent < el.end();
    });
}

std::optional<std::vector<std::uint8_t>>
rebuild(Bytes buf, const e::Element& el, const std::vector<TracksSplice>& splices, int depth) {
    if (depth > e::MAX_DEPTH || el.header.unknownSize) return std::nullopt;
    const auto kids = e::listChildren(buf, el.dataStart(), el.end());
    if (!kids.complete) return std::nullopt;
    std::vector<std::uint8_t> data;
    for (const auto& c : kids.elements) {
        const auto replaced =
            std::find_if(splices.begin(), splices.end(), [&](const TracksSplice& s) {
                return s.parent == el.offset && s.remove > 0 && s.at == c.offset;
            });
        if (replaced != splices.end()) {
            if (replaced->remove != c.end() - c.offset) return std::nullopt;
            data.insert(data.end(), replaced->bytes.begin(), replaced->bytes.end());
        } else if (holdsSplice(c, splices)) {
            auto inner = rebuild(buf, c, splices, depth + 1);
            if (!inner) return std::nullopt;
            data.insert(data.end(), inner->begin(), inner->end());
        } else {
            data.insert(data.end(), buf.begin() + std::ptrdiff_t(c.offset),
                        buf.begin() + std::ptrdiff_t(c.end()));
        }
    }
    for (const auto& s : splices)
        if (s.parent == el.offset && s.remove == 0)
            data.insert(data.end(), s.bytes.begin(), s.bytes.end());
    // A CRC-32 first covers the rest of the element's data.
    if (!kids.elements.empty() && kids.elements.front().header.id == e::CRC32 &&
        kids.elements.front().header.size == 4) {
        const std::size_t from = std::size_t(kids.elements.front().end() - el.dataStart());
        const std::uint32_t crc = e::crc32(Bytes(data).subspan(from));
        for (int i = 0; i < 4; ++i)
            data[from - 4 + std::size_t(i)] = std::uint8_t(crc >> (8 * i));
    }
    std::vector<std::uint8_t> out(buf.begin() + std::ptrdiff_t(el.offset),
                                  buf.begin() + std::ptrdiff_t(el.offset + el.header.idWidth));
    if (!e::putSize(out, data.size(), el.header.sizeWidth)) return std::nullopt;
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

// A SeekHead or Cues with a Void right behind it, which gives the room when a moved position
// must be written wider: the table's bytes, then the Void's first ones.
struct RoomyTable {
    e::Element el; // absolute
    std::uint64_t voidSize = 0;
    std::vector<std::uint8_t> bytes;
};

// What the plan's closures need, kept alive with them.
struct Shared {
    std::vector<std::uint8_t> tracksBytes;
    e::Element tracks;
    std::vector<TracksSplice> splices;
    std::vector<CrcElement> checked;
    std::vector<RoomyTable> tables;
};

Result<std::vector<RoomyTable>> roomyTables(const FileHandle& file, const MkvFile& m) {
    std::vector<RoomyTable> out;
    for (std::size_t i = 0; i + 1 < m.top.size(); ++i) {
        const e::Element &el = m.top[i], &v = m.top[i + 1];
        if ((el.header.id != e::SEEK_HEAD && el.header.id != e::CUES) || v.header.id != e::VOID ||
            v.offset != el.end())
            continue;
        const std::uint64_t room = std::min(v.end() - v.offset, MAX_WIDEN_ROOM);
        auto bytes = file.readFully(el.offset, std::size_t(el.end() - el.offset + room));
        if (bytes.failed()) return Failure{"Read error", bytes.cause()};
        out.push_back({el, v.end() - v.offset, std::move(*bytes)});
    }
    return out;
}

// The element whose data starts at `at` of the table's bytes, and the master holding it.
std::optional<std::pair<e::Element, e::Element>> fieldAt(Bytes table, const e::Element& parent,
                                                         std::uint64_t at, int depth) {
    if (depth > e::MAX_DEPTH) return std::nullopt;
    for (const auto& c : e::listChildren(table, parent.dataStart(), parent.end()).elements) {
        if (c.dataStart() == at) return std::pair(c, parent);
        if (c.offset < at && at < c.end()) return fieldAt(table, c, at, depth + 1);
    }
    return std::nullopt;
}

// Every table holding a moved position that outgrows its field, rebuilt with such positions in
// their fewest bytes (one byte more is what a move usually costs; the Void behind, which later
// edits may need as well, keeps the rest) and its Void shrunk by as much: one write over the
// table and the Void's new head, nothing behind it moving. Nothing when such a position lies in
// no such table or its Void is too small.
std::optional<std::vector<Overwrite>> widened(const Shared& s,
                                              const std::vector<OffsetField>& moved) {
    std::vector<Overwrite> out;
    std::size_t carried = 0;
    for (const auto& t : s.tables) {
        const auto in = [&](const OffsetField& f) {
            return f.pos >= t.el.offset && f.pos < t.el.end();
        };
        if (std::none_of(moved.begin(), moved.end(),
                         [&](const OffsetField& f) { return in(f) && outgrows(f); }))
            continue;
        const e::Element el{t.el.header, 0};
        std::vector<std::uint8_t> table(t.bytes.begin(),
                                        t.bytes.begin() + std::ptrdiff_t(el.end()));
        std::vector<TracksSplice> splices;
        for (const auto& f : moved) {
            if (!in(f)) continue;
            const std::uint64_t at = f.pos - t.el.offset;
            if (!outgrows(f)) {
                writeUnsigned(table, at, unsigned(f.width), f.value);
                continue;
            }
            const auto found = fieldAt(table, el, at, 0);
            if (!found) return std::nullopt;
            const auto& [field, parent] = *found;
            std::vector<std::uint8_t> bytes;
            e::putUint(bytes, field.header.id, f.value);
            splices.push_back({parent.offset, field.offset, field.end() - field.offset, bytes});
            ++carried;
        }
        auto bytes = rebuildElement(table, el, splices);
        if (!bytes || bytes->size() > table.size() + t.voidSize) return std::nullopt;
        const std::uint64_t left = table.size() + t.voidSize - bytes->size();
        if (left != 0 && left < MIN_VOID) return std::nullopt;
        const auto head = e::voidHead(left);
        bytes->insert(bytes->end(), head.begin(), head.end());
        const auto n = std::ptrdiff_t(bytes->size());
        if (bytes->size() > t.bytes.size()) return std::nullopt;
        out.push_back({t.el.offset, std::move(*bytes), {t.bytes.begin(), t.bytes.begin() + n}});
    }
    if (carried != std::size_t(std::count_if(moved.begin(), moved.end(), outgrows)))
        return std::nullopt;
    return out;
}

// The new Tracks, with the same-length writes inside it (old positions) made first.
std::vector<std::uint8_t> newTracks(const Shared& s, const std::vector<Overwrite>& inside) {
    std::vector<std::uint8_t> bytes = s.tracksBytes;
    applyWrites(bytes, s.tracks.offset, inside);
    auto rebuilt = rebuildElement(bytes, {s.tracks.header, 0}, s.splices);
    return rebuilt ? std::move(*rebuilt) : std::vector<std::uint8_t>{};
}

// The Void before Tracks nearest to it, of exactly the growth or with room left for a Void,
// with nothing between that a stored position lies in.
std::optional<e::Element> voidBefore(const MkvFile& m, std::uint64_t growth) {
    std::optional<e::Element> best;
    for (const auto& el : m.top) {
        if (el.offset >= m.tracks.offset) break;
        if (el.header.id == e::SEEK_HEAD || el.header.id == e::CUES) best.reset();
        if (el.header.id != e::VOID) continue;
        const std::uint64_t size = el.end() - el.offset;
        if (size == growth || size >= growth + MIN_VOID) best = el;
    }
    return best;
}

// Whether a Void after Tracks, before the first Cluster, can take the growth with nothing
// pointed at between (the engine's absorb then takes it).
bool voidAfter(const MkvFile& m, std::uint64_t growth) {
    for (const auto& el : m.top) {
        if (el.offset < m.tracks.end()) continue;
        if (el.offset >= m.firstCluster) break;
        if (el.header.id != e::VOID) continue;
        const std::uint64_t size = el.end() - el.offset;
        if (size != growth && size < growth + MIN_VOID) continue;
        return std::none_of(m.positions.begin(), m.positions.end(), [&](const OffsetField& f) {
            return f.lowest >= m.tracks.end() && f.lowest < el.end();
        });
    }
    return false;
}

// Tracks rebuilt in place of [Void, Tracks end): the Void shrinks where it is, what lies between
// moves up by the growth, and the SeekHead entries pointing there follow; every write the same
// length as what it replaces.
Result<EditPlan> slide(const FileHandle& file, const MkvFile& m, const Shared& s,
                       const e::Element& v, std::vector<Overwrite> writes, std::uint64_t growth) {
    const std::uint64_t to = m.tracks.end();
    if (m.tracks.offset - v.end() > MAX_EXTRA_MOVE) return Failure{};
    auto old = file.readFully(v.offset, std::size_t(m.tracks.offset - v.offset));
    if (old.failed()) return Failure{"Read error", old.cause()};
    std::vector<Overwrite> inside, outside;
    for (auto& w : writes)
        (w.at >= v.offset && w.at + w.bytes.size() <= to ? inside : outside)
            .push_back(std::move(w));
    Overwrite span;
    span.at = v.offset;
    const std::uint64_t left = v.end() - v.offset - growth;
    if (left > 0) {
        span.bytes = e::voidHead(left);
        span.bytes.resize(left, 0);
    }
    std::vector<std::uint8_t> between(old->begin() + std::ptrdiff_t(v.end() - v.offset),
                                      old->end());
    applyWrites(between, v.end(), inside);
    span.bytes.insert(span.bytes.end(), between.begin(), between.end());
    const auto tracks = newTracks(s, inside);
    span.bytes.insert(span.bytes.end(), tracks.begin(), tracks.end());
    span.old = std::move(*old);
    span.old.insert(span.old.end(), s.tracksBytes.begin(), s.tracksBytes.end());
    if (span.bytes.size() != span.old.size()) return Failure{};
    std::vector<Overwrite> seeks;
    for (const auto& f : m.positions) {
        if (f.lowest < v.end() || f.lowest > m.tracks.offset) continue;
        std::vector<std::uint8_t> now(std::size_t(f.width));
        writeUnsigned(now, 0, unsigned(f.width), f.value);
        seeks.push_back(fieldWrite(f.pos, f.width, f.value - growth, now));
    }
    EditPlan plan;
    plan.overwrites = std::move(outside);
    plan.overwrites.push_back(std::move(span));
    plan.overwrites.insert(plan.overwrites.end(), seeks.begin(), seeks.end());
    const auto crcs = crcWrites(m.checked, seeks);
    plan.overwrites.insert(plan.overwrites.end(), crcs.begin(), crcs.end());
    return plan;
}

// Tracks as the region that grows, for the engine's routes.
Result<EditPlan> grow(const MkvFile& m, const std::shared_ptr<const Shared>& s,
                      std::vector<Overwrite> writes, std::uint64_t growth) {
    Growth g;
    g.start = m.tracks.offset;
    g.oldEnd = m.tracks.end();
    g.oldBytes = s->tracksBytes;
    for (const auto& sp : s->splices)
        g.sites.push_back(m.tracks.offset + sp.at);
    std::sort(g.sites.begin(), g.sites.end());
    g.bytes = growth;
    g.build = [s](const std::vector<Overwrite>& inside) { return newTracks(*s, inside); };
    g.offsets = m.positions;
    if (m.segmentSize) {
        // The size keeps its marker bit only while it fits its width.
        const unsigned w = unsigned(m.segmentSize->width);
        const std::uint64_t most = w >= 8 ? ~0ull : (std::uint64_t(1) << (7 * w)) - 2;
        if (m.segment.header.size > most - growth - MAX_EXTRA_MOVE)
            return Failure{NARROW_SEGMENT,
                           "Segment size written in " + std::to_string(w) + " bytes"};
        g.offsets.push_back(*m.segmentSize);
    }
    for (const auto& el : m.top)
        if (el.header.id == e::VOID && el.offset >= g.oldEnd && el.offset < m.firstCluster)
            g.paddings.push_back({el.offset, el.end() - el.offset, "Void"});
    g.fillGap = [](std::uint64_t n, const std::string&) { return e::voidHead(n); };
    g.minGap = MIN_VOID;
    g.noRoute = NO_ROUTE;
    g.derive = [s](const std::vector<Overwrite>& w) { return crcWrites(s->checked, w); };
    // Only a route that moves the tail widens, and such a plan never slid Tracks into the Void
    // before it: the Void behind the front SeekHead is still whole.
    g.widen = [s](const std::vector<OffsetField>& moved) { return widened(*s, moved); };
    EditPlan plan;
    plan.overwrites = std::move(writes);
    plan.growth = std::move(g);
    return plan;
}

// The CRC-32s of the Clusters whose blocks the writes change, carried over from the old values.
std::vector<Overwrite> clusterCrcWrites(const std::vector<ClusterCrc>& clusters,
                                        const std::vector<Overwrite>& writes) {
    std::vector<Overwrite> out;
    for (const auto& c : clusters) {
        std::uint32_t crc = c.value;
        for (const auto& w : writes)
            if (w.at >= c.coveredFrom && w.at + w.bytes.size() <= c.end)
                crc = e::crc32Patched(crc, c.end - c.coveredFrom, w.at - c.coveredFrom, w.old,
                                      w.bytes);
        if (crc == c.value) continue;
        Overwrite o;
        o.at = c.crcAt;
        for (int i = 0; i < 4; ++i) {
            o.bytes.push_back(std::uint8_t(crc >> (8 * i)));
            o.old.push_back(std::uint8_t(c.value >> (8 * i)));
        }
        out.push_back(std::move(o));
    }
    return out;
}

} // namespace

std::vector<TracksSplice> colourSplices(const MkvFile& file, const MkvDecision& decision) {
    std::vector<TracksSplice> out;
    for (const auto& d : decision.tracks) {
        const MkvTrack& t = file.trackList[d.track];
        if (d.bitstream.record && t.codecPrivate)
            out.push_back({t.entry.offset, t.codecPrivate->offset,
                           t.codecPrivate->end() - t.codecPrivate->offset,
                           master(e::CODEC_PRIVATE, *d.bitstream.record)});
        if (d.verdict != TrackVerdict::added) continue;
        if (!t.video) {
            out.push_back({t.entry.offset, t.entry.end(), 0,
                           master(e::VIDEO, master(e::COLOUR, colourBody(t)))});
        } else if (!t.colour) {
            out.push_back({t.video->offset, t.video->end(), 0, master(e::COLOUR, colourBody(t))});
        } else if (t.primaries) { // of no bytes: replaced
            out.push_back({t.colour->offset, t.primaries->element,
                           t.primaries->at - t.primaries->element, colourBody(t)});
        } else {
            out.push_back({t.colour->offset, t.colour->end(), 0, colourBody(t)});
        }
    }
    return out;
}

std::optional<std::vector<std::uint8_t>> rebuildElement(Bytes buf, const ebml::Element& el,
                                                        const std::vector<TracksSplice>& splices) {
    if (!fits(buf.size(), el.offset, el.end() - el.offset)) return std::nullopt;
    return rebuild(buf, el, splices, 0);
}

Result<EditPlan> planMatroskaEdit(const FileHandle& file, const MkvFile& m,
                                  const MkvDecision& decision, std::vector<Overwrite> extra) {
    std::vector<Overwrite> writes;
    for (const auto& d : decision.tracks) {
        const MkvTrack& t = m.trackList[d.track];
        if (d.verdict != TrackVerdict::fixed) continue;
        const std::uint64_t at = m.tracks.offset + t.primaries->at;
        writes.push_back(
            fieldWrite(at, int(t.primaries->width), PRIMARIES_DISPLAY_P3,
                       Bytes(m.tracksBytes).subspan(t.primaries->at, t.primaries->width)));
    }
    writes.insert(writes.end(), extra.begin(), extra.end());
    const auto clusterCrcs = clusterCrcWrites(m.clusterCrcs, writes);
    writes.insert(writes.end(), clusterCrcs.begin(), clusterCrcs.end());
    // A CRC-32 made again over damaged bytes would hide the damage it was written to show.
    const auto damaged = [](const CrcElement& c) { return !c.matches; };
    if ((m.tracksCrc && damaged(*m.tracksCrc)) ||
        std::any_of(m.checked.begin(), m.checked.end(), damaged))
        return Failure{DAMAGED_MATROSKA, "a CRC-32 does not match its element's data"};
    auto s = std::make_shared<Shared>();
    s->tracksBytes = m.tracksBytes;
    s->tracks = m.tracks;
    s->splices = colourSplices(m, decision);
    s->checked = m.checked;
    EditPlan plan;
    if (s->splices.empty()) {
        plan.overwrites = writes;
        std::vector<CrcElement> all = m.checked;
        if (m.tracksCrc) all.push_back(*m.tracksCrc);
        const auto crcs = crcWrites(all, writes);
        plan.overwrites.insert(plan.overwrites.end(), crcs.begin(), crcs.end());
    } else {
        const auto tracks = newTracks(*s, {});
        if (tracks.size() <= m.tracksBytes.size())
            return Failure{DAMAGED_MATROSKA, "Tracks cannot be rebuilt"};
        const std::uint64_t growth = tracks.size() - m.tracksBytes.size();
        const auto before = voidBefore(m, growth);
        const bool after = voidAfter(m, growth);
        Result<EditPlan> made = Failure{};
        if (!after && before) made = slide(file, m, *s, *before, writes, growth);
        if (made.failed() && !made.failure().message.empty()) return made.failure();
        if (made.failed()) {
            // Only a route that moves the Clusters would have to rewrite their positions.
            if (!after && m.clusterPositions)
                return Failure{"Unsupported (Clusters state their own positions)",
                               "a Cluster Position element would have to move"};
            auto tables = roomyTables(file, m);
            if (tables.failed()) return tables.failure();
            s->tables = std::move(*tables);
            made = grow(m, s, writes, growth);
        }
        if (made.failed()) return made.failure();
        plan = std::move(*made);
    }
    plan.markHead = [](std::uint64_t n) { return e::voidHead(n); };
    return plan;
}

std::vector<Overwrite> crcWrites(const std::vector<CrcElement>& elements,
                                 const std::vector<Overwrite>& writes) {
    std::vector<Overwrite> out;
    for (const auto& c : elements) {
        std::vector<std::uint8_t> data = c.data;
        applyWrites(data, c.dataStart, writes);
        const std::uint64_t from = c.coveredFrom - c.dataStart;
        if (from > data.size() || from < 4) continue;
        const std::uint32_t crc = e::crc32(Bytes(data).subspan(std::size_t(from)));
        std::vector<std::uint8_t> now(4);
        for (int i = 0; i < 4; ++i)
            now[std::size_t(i)] = std::uint8_t(crc >> (8 * i));
        const auto old = Bytes(c.data).subspan(std::size_t(from - 4), 4);
        if (!std::equal(now.begin(), now.end(), old.begin()))
            out.push_back({c.crcAt, std::move(now), {old.begin(), old.end()}});
    }
    return out;
}

} // namespace tg

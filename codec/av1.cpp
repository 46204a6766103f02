// Sequence header syntax as the AV1 bitstream lays it out (5.3 OBU header, 5.5
// sequence header and color_config). As for the SPS, every field up to the trailing bits is
// walked, so that the primaries are found by counting every bit before them.
#include "codec/av1.h"

#include "base/bytes.h"
#include "codec/bits.h"
#include "codec/colour_codes.h"

#include <algorithm>

namespace tg {

namespace {

constexpr unsigned SEQUENCE_HEADER = 1;
constexpr std::uint64_t MAX_OBU_HEADER = 10; // header, extension, 8-byte leb128 size

struct Obu {
    unsigned type = 0;
    std::uint64_t payloadAt = 0; // from the start of the OBU
    std::uint64_t size = 0;      // header, size field and payload
};

// The OBU at off in d, inside a unit that ends at `end` (d holds its first bytes). nullopt when
// it is malformed, or, with need set, when more of the unit's bytes are needed to tell.
std::optional<Obu> obuAt(std::span<const std::uint8_t> d, std::uint64_t off, std::uint64_t end,
                         std::uint64_t& need) {
    need = 0;
    if (!fits(end, off, 1)) return std::nullopt;
    const std::uint64_t window = std::min(end - off, MAX_OBU_HEADER);
    if (!fits(d.size(), off, window)) {
        need = off + window;
        return std::nullopt;
    }
    const std::uint8_t b = d[off];
    if ((b & 0x80) != 0) return std::nullopt; // obu_forbidden_bit
    Obu o;
    o.type = (b >> 3) & 0x0Fu;
    std::uint64_t p = 1 + ((b & 0x04) ? 1 : 0); // obu_extension_flag adds a byte
    std::uint64_t payload = 0;
    if ((b & 0x02) != 0) { // obu_has_size_field: leb128, at most 8 bytes, at most 2^32 - 1
        for (unsigned i = 0;; ++i) {
            if (i == 8 || p >= window) return std::nullopt;
            const std::uint8_t byte = d[off + p++];
            payload |= std::uint64_t(byte & 0x7F) << (7 * i);
            if ((byte & 0x80) == 0) break;
        }
        if (payload > 0xFFFFFFFFu || !fits(end - off, p, payload)) return std::nullopt;
    } else if (p <= end - off) {
        payload = end - off - p; // fills the rest of the unit
    } else {
        return std::nullopt;
    }
    o.payloadAt = p;
    o.size = p + payload;
    return o;
}

// uvlc(): up to 2^32 - 1; 32 or more leading zeros give the largest value and nothing more.
void uvlc(BitReader& r) {
    unsigned zeros = 0;
    while (r.ok() && !r.flag())
        ++zeros;
    if (zeros < 32) r.skip(zeros);
}

struct Walk {
    Av1Colour colour;
    bool mono = false;
};

bool sequenceHeader(BitReader& r, Walk& w) {
    const unsigned profile = r.u(3);
    r.require(profile <= 2);
    r.skip(1); // still_picture
    const bool reduced = r.flag();
    if (reduced) {
        r.skip(5); // seq_level_idx[0]
    } else {
        bool decoderModel = false;
        unsigned delayBits = 0;
        if (r.flag()) { // timing_info_present_flag
            const std::uint32_t tick = r.u(32), scale = r.u(32);
            r.require(tick > 0 && scale > 0);
            if (r.flag()) uvlc(r); // equal_picture_interval, num_ticks_per_picture_minus_1
            decoderModel = r.flag();
            if (decoderModel) {
                delayBits = r.u(5) + 1; // buffer_delay_length_minus_1
                r.require(r.u(32) > 0); // num_units_in_decoding_tick
                r.skip(10);             // removal time and presentation time lengths
            }
        }
        const bool initialDelay = r.flag();
        const unsigned points = r.u(5) + 1;
        for (unsigned i = 0; i < points && r.ok(); ++i) {
            r.skip(12);                                              // operating_point_idc
            if (r.u(5) > 7) r.skip(1);                               // seq_level_idx, seq_tier
            if (decoderModel && r.flag()) r.skip(2 * delayBits + 1); // operating_parameters_info
            if (initialDelay && r.flag()) r.skip(4); // initial_display_delay_minus_1
        }
    }
    const unsigned widthBits = r.u(4) + 1, heightBits = r.u(4) + 1;
    r.skip(widthBits + heightBits);      // max_frame_width_minus_1, max_frame_height_minus_1
    if (!reduced && r.flag()) r.skip(7); // frame_id_numbers_present_flag, both lengths
    r.skip(3);                           // 128x128 superblocks, filter intra, edge filter
    if (!reduced) {
        r.skip(4); // interintra and masked compound, warped motion, dual filter
        const bool orderHint = r.flag();
        if (orderHint) r.skip(2);                      // jnt_comp, ref_frame_mvs
        const bool screenTools = r.flag() || r.flag(); // chosen per frame, or forced on
        if (screenTools && !r.flag()) r.skip(1);       // seq_choose_integer_mv, force_integer_mv
        if (orderHint) r.skip(3);                      // order_hint_bits_minus_1
    }
    r.skip(3); // superres, cdef, restoration

    // color_config()
    const bool highDepth = r.flag();
    const bool twelveBit = profile == 2 && highDepth && r.flag();
    w.mono = profile != 1 && r.flag();
    Av1Colour& c = w.colour;
    c.described = r.flag();
    if (c.described) {
        c.primariesBit = r.pos();
        c.primaries = std::uint8_t(r.u(8));
        c.transfer = std::uint8_t(r.u(8));
        c.matrix = std::uint8_t(r.u(8));
    }
    if (w.mono) {
        r.skip(1); // color_range
    } else {
        if (c.primaries != PRIMARIES_BT709 || c.transfer != TRANSFER_SRGB ||
            c.matrix != MATRIX_IDENTITY) {
            r.skip(1); // color_range
            bool halfWidth = profile == 0, halfHeight = profile == 0;
            if (profile == 2) {
                halfWidth = !twelveBit || r.flag();
                halfHeight = twelveBit && halfWidth && r.flag();
            }
            if (halfWidth && halfHeight) r.skip(2); // chroma_sample_position
        }
        r.skip(1); // separate_uv_delta_q
    }
    r.skip(1); // film_grain_params_present
    return r.ok() && r.atTrailingBits();
}

std::optional<Walk> walk(std::span<const std::uint8_t> obu, std::uint64_t& payloadAt) {
    std::uint64_t need = 0;
    const auto o = obuAt(obu, 0, obu.size(), need);
    if (!o || o->type != SEQUENCE_HEADER || o->size != obu.size()) return std::nullopt;
    BitReader r(obu.subspan(o->payloadAt));
    Walk w;
    if (!sequenceHeader(r, w)) return std::nullopt;
    payloadAt = o->payloadAt;
    Av1Colour& c = w.colour;
    if (c.described) {
        const std::uint64_t first = c.primariesBit / 8, last = (c.primariesBit + 7) / 8;
        c.primariesAt = {payloadAt + first, payloadAt + last};
        c.primariesBytes = first == last ? 1 : 2;
    }
    return w;
}

bool leavesColourRangeOut(std::uint8_t primaries, const Av1Colour& c) {
    return primaries == PRIMARIES_BT709 && c.transfer == TRANSFER_SRGB &&
           c.matrix == MATRIX_IDENTITY;
}

} // namespace

std::optional<Av1Colour> readAv1Colour(std::span<const std::uint8_t> obu) {
    std::uint64_t payloadAt = 0;
    auto w = walk(obu, payloadAt);
    if (!w) return std::nullopt;
    return w->colour;
}

Av1Patch patchAv1Primaries(std::span<std::uint8_t> obu, std::uint8_t newPrimaries) {
    std::uint64_t payloadAt = 0;
    const auto w = walk(obu, payloadAt);
    if (!w) return Av1Patch::parseFailed;
    const Av1Colour& c = w->colour;
    if (!c.described) return Av1Patch::noColourDescription;
    if (c.primaries == newPrimaries) return Av1Patch::alreadyThatValue;
    if (!w->mono && leavesColourRangeOut(c.primaries, c) != leavesColourRangeOut(newPrimaries, c))
        return Av1Patch::wouldChangeSyntax;
    BitWriter writer(obu.subspan(payloadAt), c.primariesBit);
    writer.u(8, newPrimaries);
    return writer.ok() ? Av1Patch::patched : Av1Patch::parseFailed;
}

std::optional<std::vector<NalRange>> av1CSequenceHeaders(std::span<const std::uint8_t> p) {
    if (p.size() < 4 || p[0] != 0x81) return std::nullopt; // marker and version 1
    std::vector<NalRange> out;
    std::uint64_t need = 0;
    for (std::uint64_t off = 4; off < p.size();) {
        const auto o = obuAt(p, off, p.size(), need);
        if (!o) return std::nullopt;
        if (o->type == SEQUENCE_HEADER) out.push_back({std::size_t(off), std::size_t(o->size)});
        off += o->size;
    }
    return out;
}

LeadingSps leadingSequenceHeaders(std::span<const std::uint8_t> head, std::uint64_t sampleSize) {
    using enum LeadingSps::Status;
    LeadingSps out;
    if (head.size() > sampleSize) return out;
    for (std::uint64_t p = 0, need = 0; p != sampleSize;) {
        const auto o = obuAt(head, p, sampleSize, need);
        if (!o) {
            if (need != 0) {
                out.status = needBytes;
                out.need = need;
            }
            return out;
        }
        // Frame header, tile group, frame, redundant frame header, tile list: the picture starts.
        if (o->type >= 3 && o->type <= 8 && o->type != 5) break;
        if (o->type == SEQUENCE_HEADER) {
            if (!fits(head.size(), p, o->size)) {
                out.status = needBytes;
                out.need = p + o->size;
                return out;
            }
            out.sps.push_back({std::size_t(p), std::size_t(o->size)});
        }
        p += o->size;
    }
    out.status = complete;
    return out;
}

} // namespace tg

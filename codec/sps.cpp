// SPS syntax as ITU-T H.264 (7.3.2.1.1, E.1.1) and H.265 (7.3.2.2, 7.3.3, 7.3.4, 7.3.7, E.2.1)
// lay it out. Only positions and counts matter here, so most fields are skipped, but every one is
// walked: the primaries field is found by counting the bits before it, and a walk that reaches
// rbsp_trailing_bits exactly is what says the count was right.
#include "codec/sps.h"

#include "base/bytes.h"
#include "codec/bits.h"
#include "codec/escape.h"

#include <algorithm>
#include <array>

namespace tg {

namespace {

constexpr unsigned H264_SPS = 7, HEVC_SPS = 33;
constexpr std::int64_t H264_MAX_MBS = 1055;     // picture size in macroblocks, minus one
constexpr std::int64_t H264_MAX_CROP = 16880;   // frame cropping offsets
constexpr std::int64_t HEVC_MAX_SIDE = 16888;   // luma samples per side
constexpr std::int64_t MAX_DPB_MINUS1 = 15;     // pictures a set can hold, minus one
constexpr std::int64_t MAX_ST_RPS = 64;         // num_short_term_ref_pic_sets
constexpr std::int64_t MAX_LT_REFS = 32;        // num_long_term_ref_pics_sps
constexpr std::int64_t MAX_DELTA_POC = 32767;   // delta_poc_s0/s1_minus1, abs_delta_rps_minus1
constexpr std::int64_t MAX_WINDOW = 16888;      // HEVC default display window offsets
constexpr std::int64_t MAX_HRD_CPB_MINUS1 = 31; // cpb_cnt_minus1
constexpr std::int64_t MAX_RESTRICTION = 16;    // bitstream_restriction denominators and lengths

// ue(v) with an upper bound; 0 once the reader has failed, so no loop runs on a bad count.
std::uint32_t ueUpTo(BitReader& r, std::int64_t max) {
    const std::uint32_t v = r.ue();
    r.require(max >= 0 && v <= max);
    return r.ok() ? v : 0;
}

std::int32_t seIn(BitReader& r, std::int32_t lo, std::int32_t hi) {
    const std::int32_t v = r.se();
    r.require(v >= lo && v <= hi);
    return r.ok() ? v : 0;
}

// The start of the VUI, the same in both codecs: aspect ratio, overscan, signal type and the
// colour description.
void colourDescription(BitReader& r, SpsColour& c) {
    if (r.flag() && r.u(8) == 255) // aspect_ratio_info_present_flag, aspect_ratio_idc
        r.skip(32);                // Extended_SAR: sar_width, sar_height
    if (r.flag()) r.skip(1);       // overscan_info_present_flag, overscan_appropriate_flag
    c.vui = true;
    c.signalTypeBit = r.pos();
    c.signalType = r.flag(); // video_signal_type_present_flag
    if (!c.signalType) return;
    r.skip(3); // video_format
    c.fullRange = r.flag();
    c.colourFlagBit = r.pos();
    c.described = r.flag();
    if (!c.described) return;
    c.primariesBit = r.pos();
    c.primaries = std::uint8_t(r.u(8));
    c.transfer = std::uint8_t(r.u(8));
    c.matrix = std::uint8_t(r.u(8));
}

void timingTicks(BitReader& r) {
    const std::uint32_t unitsInTick = r.u(32), timeScale = r.u(32);
    r.require(unitsInTick > 0 && timeScale > 0);
}

// --- H.264 ---

// Profiles whose SPS codes chroma_format_idc, bit depths and the scaling matrix.
bool h264ChromaProfile(unsigned profile) {
    constexpr std::array<unsigned, 13> profiles = {100, 110, 122, 244, 44,  83, 86,
                                                   118, 128, 138, 139, 134, 135};
    return std::find(profiles.begin(), profiles.end(), profile) != profiles.end();
}

void h264ScalingList(BitReader& r, int size) {
    int last = 8, next = 8;
    for (int j = 0; j < size && next != 0 && r.ok(); ++j) {
        next = (last + seIn(r, -128, 127) + 256) % 256;
        if (next != 0) last = next;
    }
}

void h264Hrd(BitReader& r) {
    const std::uint32_t cpbCount = ueUpTo(r, MAX_HRD_CPB_MINUS1) + 1;
    r.skip(8); // bit_rate_scale, cpb_size_scale
    for (std::uint32_t i = 0; i < cpbCount && r.ok(); ++i) {
        r.ue();    // bit_rate_value_minus1
        r.ue();    // cpb_size_value_minus1
        r.skip(1); // cbr_flag
    }
    r.skip(20); // four delay and offset lengths
}

void h264Vui(BitReader& r, SpsColour& c) {
    colourDescription(r, c);
    if (r.flag()) { // chroma_loc_info_present_flag
        ueUpTo(r, 5);
        ueUpTo(r, 5);
    }
    if (r.flag()) { // timing_info_present_flag
        timingTicks(r);
        r.skip(1); // fixed_frame_rate_flag
    }
    const bool nalHrd = r.flag();
    if (nalHrd) h264Hrd(r);
    const bool vclHrd = r.flag();
    if (vclHrd) h264Hrd(r);
    if (nalHrd || vclHrd) r.skip(1); // low_delay_hrd_flag
    r.skip(1);                       // pic_struct_present_flag
    if (r.flag()) {                  // bitstream_restriction_flag
        r.skip(1);                   // motion_vectors_over_pic_boundaries_flag
        for (int i = 0; i < 6; ++i)  // denominators, mv lengths, reorder and buffering depths
            ueUpTo(r, MAX_RESTRICTION);
    }
}

bool h264Sps(BitReader& r, SpsColour& c) {
    const unsigned profile = r.u(8);
    r.skip(16);    // constraint_set0..5_flag, reserved_zero_2bits, level_idc
    ueUpTo(r, 31); // seq_parameter_set_id
    if (h264ChromaProfile(profile)) {
        const std::uint32_t chroma = ueUpTo(r, 3);
        if (chroma == 3) r.skip(1); // separate_colour_plane_flag
        ueUpTo(r, 6);               // bit_depth_luma_minus8
        ueUpTo(r, 6);               // bit_depth_chroma_minus8
        r.skip(1);                  // qpprime_y_zero_transform_bypass_flag
        if (r.flag()) {             // seq_scaling_matrix_present_flag
            const int lists = chroma != 3 ? 8 : 12;
            for (int i = 0; i < lists && r.ok(); ++i)
                if (r.flag()) h264ScalingList(r, i < 6 ? 16 : 64);
        }
    }
    ueUpTo(r, 12); // log2_max_frame_num_minus4
    const std::uint32_t pocType = ueUpTo(r, 2);
    if (pocType == 0) {
        ueUpTo(r, 12); // log2_max_pic_order_cnt_lsb_minus4
    } else if (pocType == 1) {
        r.skip(1); // delta_pic_order_always_zero_flag
        r.se();    // offset_for_non_ref_pic
        r.se();    // offset_for_top_to_bottom_field
        const std::uint32_t cycle = ueUpTo(r, 255);
        for (std::uint32_t i = 0; i < cycle && r.ok(); ++i)
            r.se(); // offset_for_ref_frame
    }
    ueUpTo(r, 16); // max_num_ref_frames
    r.skip(1);     // gaps_in_frame_num_value_allowed_flag
    ueUpTo(r, H264_MAX_MBS);
    ueUpTo(r, H264_MAX_MBS);
    if (!r.flag()) r.skip(1); // frame_mbs_only_flag, mb_adaptive_frame_field_flag
    r.skip(1);                // direct_8x8_inference_flag
    if (r.flag())             // frame_cropping_flag
        for (int i = 0; i < 4; ++i)
            ueUpTo(r, H264_MAX_CROP);
    c.vuiFlagBit = r.pos();
    if (r.flag()) h264Vui(r, c); // vui_parameters_present_flag
    return r.ok() && r.atTrailingBits();
}

// --- HEVC ---

void hevcProfileTierLevel(BitReader& r, unsigned maxSubLayersMinus1) {
    r.skip(96); // general profile space .. constraint flags (88 bits), general_level_idc
    bool profilePresent[7] = {}, levelPresent[7] = {};
    for (unsigned i = 0; i < maxSubLayersMinus1; ++i) {
        profilePresent[i] = r.flag();
        levelPresent[i] = r.flag();
    }
    if (maxSubLayersMinus1 > 0) r.skip(2 * (8 - maxSubLayersMinus1)); // reserved_zero_2bits
    for (unsigned i = 0; i < maxSubLayersMinus1; ++i) {
        if (profilePresent[i]) r.skip(88);
        if (levelPresent[i]) r.skip(8);
    }
}

void hevcScalingListData(BitReader& r) {
    for (int sizeId = 0; sizeId < 4; ++sizeId) {
        for (int matrixId = 0; matrixId < 6 && r.ok(); matrixId += sizeId == 3 ? 3 : 1) {
            if (!r.flag()) {                                      // scaling_list_pred_mode_flag
                ueUpTo(r, sizeId == 3 ? matrixId / 3 : matrixId); // pred_matrix_id_delta
                continue;
            }
            const int coefs = std::min(64, 1 << (4 + (sizeId << 1)));
            if (sizeId > 1) seIn(r, -7, 247); // scaling_list_dc_coef_minus8
            for (int i = 0; i < coefs && r.ok(); ++i)
                seIn(r, -128, 127); // scaling_list_delta_coef
        }
    }
}

// A short-term reference picture set as far as later sets need it: its delta POCs.
struct StRps {
    unsigned negatives = 0, positives = 0;
    std::int32_t s0[MAX_DPB_MINUS1] = {}, s1[MAX_DPB_MINUS1] = {};
};

// st_ref_pic_set(idx) of the SPS. A set predicted from the one before it (in the SPS the
// reference is always idx - 1) holds the pictures of 7.4.8's derivation, which the next set's
// syntax depends on.
void hevcStRps(BitReader& r, unsigned idx, StRps* sets) {
    StRps& cur = sets[idx];
    if (idx != 0 && r.flag()) { // inter_ref_pic_set_prediction_flag
        const StRps& ref = sets[idx - 1];
        const bool negative = r.flag(); // delta_rps_sign
        const std::int32_t magnitude = std::int32_t(ueUpTo(r, MAX_DELTA_POC)) + 1;
        const std::int32_t deltaRps = negative ? -magnitude : magnitude;
        const unsigned refDeltas = ref.negatives + ref.positives;
        bool used[MAX_DPB_MINUS1 + 1] = {}, useDelta[MAX_DPB_MINUS1 + 1] = {};
        for (unsigned j = 0; j <= refDeltas; ++j) {
            used[j] = r.flag();                // used_by_curr_pic_flag
            useDelta[j] = used[j] || r.flag(); // use_delta_flag, inferred 1 when used
        }
        auto add = [&](std::int32_t* list, unsigned& n, std::int32_t dPoc) {
            if (r.require(cur.negatives + cur.positives < MAX_DPB_MINUS1)) list[n++] = dPoc;
        };
        for (int j = int(ref.positives) - 1; j >= 0 && r.ok(); --j) {
            const std::int32_t d = ref.s1[j] + deltaRps;
            if (d < 0 && useDelta[ref.negatives + unsigned(j)]) add(cur.s0, cur.negatives, d);
        }
        if (deltaRps < 0 && useDelta[refDeltas]) add(cur.s0, cur.negatives, deltaRps);
        for (unsigned j = 0; j < ref.negatives && r.ok(); ++j) {
            const std::int32_t d = ref.s0[j] + deltaRps;
            if (d < 0 && useDelta[j]) add(cur.s0, cur.negatives, d);
        }
        for (int j = int(ref.negatives) - 1; j >= 0 && r.ok(); --j) {
            const std::int32_t d = ref.s0[j] + deltaRps;
            if (d > 0 && useDelta[j]) add(cur.s1, cur.positives, d);
        }
        if (deltaRps > 0 && useDelta[refDeltas]) add(cur.s1, cur.positives, deltaRps);
        for (unsigned j = 0; j < ref.positives && r.ok(); ++j) {
            const std::int32_t d = ref.s1[j] + deltaRps;
            if (d > 0 && useDelta[ref.negatives + j]) add(cur.s1, cur.positives, d);
        }
        return;
    }
    cur.negatives = ueUpTo(r, MAX_DPB_MINUS1);
    cur.positives = ueUpTo(r, MAX_DPB_MINUS1 - cur.negatives);
    std::int32_t poc = 0;
    for (unsigned i = 0; i < cur.negatives && r.ok(); ++i) {
        poc -= std::int32_t(ueUpTo(r, MAX_DELTA_POC)) + 1; // delta_poc_s0_minus1
        r.skip(1);                                         // used_by_curr_pic_s0_flag
        cur.s0[i] = poc;
    }
    poc = 0;
    for (unsigned i = 0; i < cur.positives && r.ok(); ++i) {
        poc += std::int32_t(ueUpTo(r, MAX_DELTA_POC)) + 1; // delta_poc_s1_minus1
        r.skip(1);                                         // used_by_curr_pic_s1_flag
        cur.s1[i] = poc;
    }
}

void hevcSubLayerHrd(BitReader& r, std::uint32_t cpbCount, bool subPic) {
    for (std::uint32_t i = 0; i < cpbCount && r.ok(); ++i) {
        r.ue(); // bit_rate_value_minus1
        r.ue(); // cpb_size_value_minus1
        if (subPic) {
            r.ue(); // cpb_size_du_value_minus1
            r.ue(); // bit_rate_du_value_minus1
        }
        r.skip(1); // cbr_flag
    }
}

// hrd_parameters(1, maxSubLayersMinus1) as the VUI carries it.
void hevcHrd(BitReader& r, unsigned maxSubLayersMinus1) {
    const bool nal = r.flag(), vcl = r.flag();
    bool subPic = false;
    if (nal || vcl) {
        subPic = r.flag();
        if (subPic) r.skip(19); // tick divisor, du removal delay length, sei flag, du delay length
        r.skip(8);              // bit_rate_scale, cpb_size_scale
        if (subPic) r.skip(4);  // cpb_size_du_scale
        r.skip(15);             // three delay lengths
    }
    for (unsigned i = 0; i <= maxSubLayersMinus1 && r.ok(); ++i) {
        const bool fixedGeneral = r.flag();
        const bool fixedWithinCvs = fixedGeneral || r.flag();
        bool lowDelay = false;
        if (fixedWithinCvs)
            ueUpTo(r, 2047); // elemental_duration_in_tc_minus1
        else
            lowDelay = r.flag();
        const std::uint32_t cpbCount = lowDelay ? 1 : ueUpTo(r, MAX_HRD_CPB_MINUS1) + 1;
        if (nal) hevcSubLayerHrd(r, cpbCount, subPic);
        if (vcl) hevcSubLayerHrd(r, cpbCount, subPic);
    }
}

void hevcVui(BitReader& r, SpsColour& c, unsigned maxSubLayersMinus1) {
    colourDescription(r, c);
    if (r.flag()) { // chroma_loc_info_present_flag
        ueUpTo(r, 5);
        ueUpTo(r, 5);
    }
    r.skip(3);    // neutral_chroma_indication, field_seq, frame_field_info_present
    if (r.flag()) // default_display_window_flag
        for (int i = 0; i < 4; ++i)
            ueUpTo(r, MAX_WINDOW);
    if (r.flag()) { // vui_timing_info_present_flag
        timingTicks(r);
        if (r.flag()) r.ue(); // vui_poc_proportional_to_timing_flag, num_ticks_poc_diff
        if (r.flag()) hevcHrd(r, maxSubLayersMinus1);
    }
    if (r.flag()) {      // bitstream_restriction_flag
        r.skip(3);       // tiles_fixed_structure, mvs_over_pic_boundaries, restricted_ref_pic_lists
        ueUpTo(r, 4095); // min_spatial_segmentation_idc
        for (int i = 0; i < 4; ++i)
            ueUpTo(r, MAX_RESTRICTION);
    }
}

void hevcSccExtension(BitReader& r, unsigned chromaArrayType, unsigned depthY, unsigned depthC) {
    r.skip(1);      // sps_curr_pic_ref_enabled_flag
    if (r.flag()) { // palette_mode_enabled_flag
        const std::int64_t maxSize = ueUpTo(r, 64);
        const std::int64_t predictorSize = maxSize + ueUpTo(r, 128 - maxSize);
        if (r.flag()) { // sps_palette_predictor_initializers_present_flag
            const std::uint32_t n = ueUpTo(r, predictorSize - 1) + 1;
            const unsigned comps = chromaArrayType == 0 ? 1 : 3;
            for (unsigned comp = 0; comp < comps && r.ok(); ++comp)
                r.skip(std::uint64_t(n) * (comp == 0 ? depthY : depthC));
        }
    }
    r.require(r.u(2) <= 2); // motion_vector_resolution_control_idc
    r.skip(1);              // intra_boundary_filtering_disabled_flag
}

bool hevcSps(BitReader& r, SpsColour& c) {
    r.skip(4); // sps_video_parameter_set_id
    const unsigned maxSub = r.u(3);
    r.require(maxSub <= 6);
    r.skip(1); // sps_temporal_id_nesting_flag
    if (!r.ok()) return false;
    hevcProfileTierLevel(r, maxSub);
    ueUpTo(r, 15); // sps_seq_parameter_set_id
    const std::uint32_t chroma = ueUpTo(r, 3);
    const bool separatePlanes = chroma == 3 && r.flag();
    const std::int64_t width = r.ue(), height = r.ue();
    r.require(width >= 1 && width <= HEVC_MAX_SIDE && height >= 1 && height <= HEVC_MAX_SIDE);
    if (r.flag()) { // conformance_window_flag
        ueUpTo(r, width);
        ueUpTo(r, width);
        ueUpTo(r, height);
        ueUpTo(r, height);
    }
    const unsigned depthY = ueUpTo(r, 8) + 8, depthC = ueUpTo(r, 8) + 8;
    const unsigned pocLsbBits = ueUpTo(r, 12) + 4;
    const bool everySubLayer = r.flag(); // sps_sub_layer_ordering_info_present_flag
    for (unsigned i = everySubLayer ? 0 : maxSub; i <= maxSub && r.ok(); ++i) {
        ueUpTo(r, ueUpTo(r, MAX_DPB_MINUS1)); // max_dec_pic_buffering_minus1, num_reorder_pics
        r.ue();                               // max_latency_increase_plus1
    }
    const std::int64_t minCb = ueUpTo(r, 3) + 3;
    const std::int64_t ctb = minCb + ueUpTo(r, 3);
    r.require(width % (std::int64_t(1) << minCb) == 0 && height % (std::int64_t(1) << minCb) == 0);
    const std::int64_t minTb = ueUpTo(r, minCb - 3) + 2;
    ueUpTo(r, std::min<std::int64_t>(ctb, 5) - minTb); // log2_diff_max_min_transform_block_size
    ueUpTo(r, ctb - minTb);                            // max_transform_hierarchy_depth_inter
    ueUpTo(r, ctb - minTb);                            // max_transform_hierarchy_depth_intra
    if (r.flag() && r.flag()) // scaling_list_enabled_flag, sps_scaling_list_data_present_flag
        hevcScalingListData(r);
    r.skip(2);      // amp_enabled_flag, sample_adaptive_offset_enabled_flag
    if (r.flag()) { // pcm_enabled_flag
        const unsigned pcmY = r.u(4) + 1, pcmC = r.u(4) + 1; // PCM sample bit depths
        r.require(pcmY <= depthY && pcmC <= depthC);
        const std::int64_t lo = std::min<std::int64_t>(minCb, 5) - 3;
        const std::int64_t hi = std::min<std::int64_t>(ctb, 5) - 3;
        const std::int64_t minPcm = r.ue();
        r.require(minPcm >= lo && minPcm <= hi);
        ueUpTo(r, hi - minPcm); // log2_diff_max_min_pcm_luma_coding_block_size
        r.skip(1);              // pcm_loop_filter_disabled_flag
    }
    const std::uint32_t sets = ueUpTo(r, MAX_ST_RPS);
    StRps rps[MAX_ST_RPS];
    for (unsigned i = 0; i < sets && r.ok(); ++i)
        hevcStRps(r, i, rps);
    if (r.flag()) { // long_term_ref_pics_present_flag
        const std::uint32_t n = ueUpTo(r, MAX_LT_REFS);
        for (std::uint32_t i = 0; i < n && r.ok(); ++i)
            r.skip(pocLsbBits + 1); // lt_ref_pic_poc_lsb_sps, used_by_curr_pic_lt_sps_flag
    }
    r.skip(2); // temporal_mvp, strong_intra_smoothing
    c.vuiFlagBit = r.pos();
    if (r.flag()) hevcVui(r, c, maxSub); // vui_parameters_present_flag
    if (r.flag()) {                      // sps_extension_present_flag
        const bool range = r.flag(), multilayer = r.flag(), threeD = r.flag(), scc = r.flag();
        const unsigned more = r.u(4); // sps_extension_4bits
        if (range) r.skip(9);
        if (multilayer) r.skip(1);
        r.require(!threeD);
        if (scc) hevcSccExtension(r, separatePlanes ? 0 : chroma, depthY, depthC);
        // Extension data of later editions: its syntax is not known here, only that it ends.
        if (more != 0) return r.stopBitAhead();
    }
    return r.ok() && r.atTrailingBits();
}

struct Located {
    SpsColour colour;
    Rbsp rbsp;
};

bool spsHeader(VideoCodec codec, std::span<const std::uint8_t> nal) {
    if (nal.size() < nalHeaderBytes(codec) || (nal[0] & 0x80) != 0) return false;
    if (codec == VideoCodec::h264) return (nal[0] & 0x1F) == H264_SPS;
    const unsigned type = (nal[0] >> 1) & 0x3F;
    const unsigned layer = ((nal[0] & 1u) << 5) | (nal[1] >> 3);
    return type == HEVC_SPS && layer == 0 && (nal[1] & 7) != 0;
}

std::optional<Located> locate(VideoCodec codec, std::span<const std::uint8_t> nal) {
    if (!spsHeader(codec, nal)) return std::nullopt;
    auto rbsp = unescapeNal(nal, nalHeaderBytes(codec));
    if (!rbsp) return std::nullopt;
    Located found{{}, std::move(*rbsp)};
    BitReader r(found.rbsp.bytes);
    SpsColour& c = found.colour;
    if (!(codec == VideoCodec::h264 ? h264Sps(r, c) : hevcSps(r, c))) return std::nullopt;
    if (c.described) {
        const std::uint64_t first = c.primariesBit / 8, last = (c.primariesBit + 7) / 8;
        c.primariesAt = {found.rbsp.at[first], found.rbsp.at[last]};
        c.primariesBytes = first == last ? 1 : 2;
    }
    return found;
}

} // namespace

std::optional<SpsColour> readSpsColour(VideoCodec codec, std::span<const std::uint8_t> nal) {
    auto found = locate(codec, nal);
    if (!found) return std::nullopt;
    return found->colour;
}

SpsPatch patchSpsPrimaries(VideoCodec codec, std::span<std::uint8_t> nal,
                           std::uint8_t newPrimaries) {
    auto found = locate(codec, nal);
    if (!found) return SpsPatch::parseFailed;
    const SpsColour& c = found->colour;
    if (!c.described) return SpsPatch::noColourDescription;
    if (c.transfer == 0) return SpsPatch::reservedTransfer;
    if (c.primaries == newPrimaries) return SpsPatch::alreadyThatValue;
    switch (
        writeRbspBits(nal, nalHeaderBytes(codec), found->rbsp, c.primariesBit, 8, newPrimaries)) {
    case RbspWrite::written:
        return SpsPatch::patched;
    case RbspWrite::wouldChangeEscaping:
        return SpsPatch::wouldChangeEscaping;
    case RbspWrite::outOfRange:
        break;
    }
    return SpsPatch::parseFailed;
}

namespace {

// Bits appended most significant first.
class BitAppender {
public:
    void put(unsigned n, std::uint32_t value) {
        for (unsigned i = n; i-- > 0;)
            bit((value >> i) & 1u);
    }
    void copy(const std::vector<std::uint8_t>& from, std::uint64_t begin, std::uint64_t end) {
        for (std::uint64_t b = begin; b < end; ++b)
            bit((from[b / 8] >> (7 - b % 8)) & 1u);
    }
    // rbsp_trailing_bits: the stop bit, then zeros to the byte boundary.
    std::vector<std::uint8_t> finish() {
        bit(1);
        return std::move(out_);
    }

private:
    void bit(unsigned b) {
        if (n_ % 8 == 0) out_.push_back(0);
        if (b) out_.back() |= std::uint8_t(0x80u >> (n_ % 8));
        ++n_;
    }
    std::vector<std::uint8_t> out_;
    std::uint64_t n_ = 0;
};

// The position of the RBSP's stop bit: its last one bit.
std::optional<std::uint64_t> stopBit(const std::vector<std::uint8_t>& rbsp) {
    for (std::size_t i = rbsp.size(); i-- > 0;)
        if (rbsp[i] != 0) return std::uint64_t(i) * 8 + 7 - std::uint64_t(__builtin_ctz(rbsp[i]));
    return std::nullopt;
}

} // namespace

std::optional<std::vector<std::uint8_t>>
describeSpsColour(VideoCodec codec, std::span<const std::uint8_t> nal, std::uint8_t primaries,
                  std::uint8_t transfer, std::uint8_t matrix) {
    const auto found = locate(codec, nal);
    if (!found || found->colour.described) return std::nullopt;
    const SpsColour& c = found->colour;
    const std::vector<std::uint8_t>& bits = found->rbsp.bytes;
    const auto stop = stopBit(bits);
    if (!stop) return std::nullopt;
    // Zero bytes behind the stop bit break the rule that a unit never ends in 0x00; a rewrite
    // would drop them and shorten the unit. Such a unit is left as it is.
    if (*stop / 8 + 1 != bits.size()) return std::nullopt;
    BitAppender out;
    const auto signalType = [&] {
        out.put(1, 1); // video_signal_type_present_flag
        out.put(3, 5); // video_format: unspecified
        out.put(1, 0); // video_full_range_flag
    };
    const auto description = [&] {
        out.put(1, 1); // colour_description_present_flag
        out.put(8, primaries);
        out.put(8, transfer);
        out.put(8, matrix);
    };
    std::uint64_t resume = 0;
    if (!c.vui) {
        out.copy(bits, 0, c.vuiFlagBit);
        out.put(1, 1); // vui_parameters_present_flag
        out.put(2, 0); // aspect_ratio_info_present_flag, overscan_info_present_flag
        signalType();
        description();
        // chroma_loc_info_present_flag, then H.264: timing, NAL and VCL HRD, pic_struct and
        // bitstream_restriction flags; HEVC: neutral chroma, field_seq, frame_field_info, default
        // display window, timing and bitstream_restriction flags.
        out.put(codec == VideoCodec::h264 ? 6 : 7, 0);
        resume = c.vuiFlagBit + 1;
    } else if (!c.signalType) {
        out.copy(bits, 0, c.signalTypeBit);
        signalType();
        description();
        resume = c.signalTypeBit + 1;
    } else {
        out.copy(bits, 0, c.colourFlagBit);
        description();
        resume = c.colourFlagBit + 1;
    }
    out.copy(bits, resume, *stop);
    auto rebuilt = escapeNal(nal.first(nalHeaderBytes(codec)), out.finish());
    // Behind the new fields the escapes fall elsewhere, and fewer of them can leave the unit no
    // longer than it was. The edits only ever grow a unit: such a unit too is left as it is.
    if (rebuilt.size() <= nal.size()) return std::nullopt;
    const auto check = readSpsColour(codec, rebuilt);
    if (!check || !check->described || check->primaries != primaries ||
        check->transfer != transfer || check->matrix != matrix)
        return std::nullopt;
    return rebuilt;
}

// --- where SPS units live ---

namespace {

// One NAL unit of a configuration record: a 16-bit length, then the unit. Advances off.
std::optional<NalRange> recordNal(std::span<const std::uint8_t> p, std::size_t& off) {
    if (!fits(p.size(), off, 2)) return std::nullopt;
    const std::size_t len = readUnsigned(p, off, 2);
    if (!fits(p.size(), off + 2, len)) return std::nullopt;
    NalRange range{off + 2, len};
    off += 2 + len;
    return range;
}

bool isSps(VideoCodec codec, std::span<const std::uint8_t> d, NalRange n) {
    if (n.size < nalHeaderBytes(codec)) return false;
    if (codec == VideoCodec::h264) return (d[n.offset] & 0x1F) == H264_SPS;
    return ((d[n.offset] >> 1) & 0x3F) == HEVC_SPS;
}

} // namespace

std::optional<ConfigSps> avcCSps(std::span<const std::uint8_t> p) {
    // configurationVersion, profile, compatibility, level, lengthSizeMinusOne, SPS count
    if (p.size() < 6 || p[0] != 1) return std::nullopt;
    ConfigSps out;
    out.lengthSize = (p[4] & 3u) + 1;
    if (out.lengthSize == 3) return std::nullopt;
    std::size_t off = 6;
    for (unsigned i = 0, n = p[5] & 0x1Fu; i < n; ++i) {
        auto nal = recordNal(p, off);
        if (!nal) return std::nullopt;
        if (isSps(VideoCodec::h264, p, *nal)) out.sps.push_back(*nal);
    }
    if (!fits(p.size(), off, 1)) return std::nullopt;
    for (unsigned i = 0, n = p[off++]; i < n; ++i) // the PPS units must fit too
        if (!recordNal(p, off)) return std::nullopt;
    return out;
}

std::optional<ConfigSps> hvcCSps(std::span<const std::uint8_t> p) {
    // 22 bytes of profile, format and rate fields (lengthSizeMinusOne in the low bits of the
    // last), then the array count.
    if (p.size() < 23 || p[0] > 1) return std::nullopt;
    ConfigSps out;
    out.lengthSize = (p[21] & 3u) + 1;
    if (out.lengthSize == 3) return std::nullopt;
    std::size_t off = 23;
    for (unsigned a = 0, arrays = p[22]; a < arrays; ++a) {
        if (!fits(p.size(), off, 3)) return std::nullopt;
        const std::size_t units = readUnsigned(p, off + 1, 2); // after the completeness/type byte
        off += 3;
        for (std::size_t i = 0; i < units; ++i) {
            auto nal = recordNal(p, off);
            if (!nal) return std::nullopt;
            if (isSps(VideoCodec::hevc, p, *nal)) out.sps.push_back(*nal);
        }
    }
    return out;
}

LeadingSps leadingSps(VideoCodec codec, std::span<const std::uint8_t> head,
                      std::uint64_t sampleSize, unsigned lengthSize) {
    using enum LeadingSps::Status;
    LeadingSps out;
    if ((lengthSize != 1 && lengthSize != 2 && lengthSize != 4) || head.size() > sampleSize)
        return out;
    const std::size_t hb = nalHeaderBytes(codec);
    std::uint64_t p = 0;
    auto needBytesTo = [&](std::uint64_t end) {
        out.status = needBytes;
        out.need = end;
        return out;
    };
    while (p != sampleSize) {
        if (!fits(sampleSize, p, lengthSize)) return out;
        // A missing length asks for the unit's header too, which the walk needs next.
        if (!fits(head.size(), p, lengthSize))
            return needBytesTo(std::min(p + lengthSize + hb, sampleSize));
        const std::uint64_t len = readUnsigned(head, p, lengthSize), start = p + lengthSize;
        if (len < hb || !fits(sampleSize, start, len)) return out;
        if (!fits(head.size(), start, hb)) return needBytesTo(start + hb);
        if ((head[start] & 0x80) != 0) return out; // forbidden_zero_bit
        const unsigned type =
            codec == VideoCodec::h264 ? head[start] & 0x1Fu : (head[start] >> 1) & 0x3Fu;
        const bool vcl = codec == VideoCodec::h264 ? type >= 1 && type <= 5 : type <= 31;
        if (vcl) break;
        if (type == (codec == VideoCodec::h264 ? H264_SPS : HEVC_SPS)) {
            if (!fits(head.size(), start, len)) return needBytesTo(start + len);
            out.sps.push_back({std::size_t(start), std::size_t(len)});
        }
        p = start + len;
    }
    out.status = complete;
    return out;
}

} // namespace tg

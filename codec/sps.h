// The colour description inside H.264 and HEVC bitstreams: the sequence parameter set's VUI
// (colour_primaries, transfer_characteristics, matrix_coeffs), where it sits, and an in-place
// rewrite of its primaries; plus the places SPS units live in a movie: the avcC / hvcC
// configuration record and the leading NAL units of a sample.
//
// Players built on FFmpeg's decoders take the colour of the coded video over the container's
// colr atom, so a tag set only in the container is not seen by them.
#pragma once

#include "codec/colour_codes.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tg {

enum class VideoCodec { h264, hevc };

// Bytes of the NAL unit header: 1 for H.264, 2 for HEVC.
constexpr std::size_t nalHeaderBytes(VideoCodec codec) {
    return codec == VideoCodec::h264 ? 1 : 2;
}

struct SpsColour {
    bool described = false; // colour_description_present_flag
    // The three codes (H.273 numbering); unspecified when not described.
    std::uint8_t primaries = CODE_UNSPECIFIED, transfer = CODE_UNSPECIFIED,
                 matrix = CODE_UNSPECIFIED;
    // Where colour_primaries sits: its first bit in the RBSP (after the NAL header), and the one
    // or two bytes of the escaped NAL unit that hold its eight bits. Valid when described.
    std::uint64_t primariesBit = 0;
    std::array<std::size_t, 2> primariesAt{};
    std::size_t primariesBytes = 0;
    // Where the flags before it sit (RBSP bits), for a rewrite that adds what is missing:
    // vui_parameters_present_flag, and inside the VUI video_signal_type_present_flag and
    // colour_description_present_flag.
    bool vui = false, signalType = false;
    bool fullRange = false; // video_full_range_flag, where there is a video signal type
    std::uint64_t vuiFlagBit = 0, signalTypeBit = 0, colourFlagBit = 0;
};

// Reads one SPS NAL unit (H.264 type 7, HEVC type 33 of the base layer) given escaped, header
// included. The whole syntax is walked to rbsp_trailing_bits with every count checked against
// the standard's limits: nullopt when it is truncated, malformed, or of a kind not read here
// (HEVC layers above 0 and its 3D extension), since a field found by a wrong walk is not the
// primaries field.
std::optional<SpsColour> readSpsColour(VideoCodec codec, std::span<const std::uint8_t> nal);

enum class SpsPatch {
    patched,
    alreadyThatValue,
    noColourDescription, // nothing stated to rewrite: left alone
    reservedTransfer,    // transfer 0 is reserved: a stream that says it is left alone
    parseFailed,
    wouldChangeEscaping, // the new value would need or free an emulation-prevention byte
};

// Overwrites colour_primaries of an SPS in place: the one or two escaped bytes that hold it
// change and nothing else, so the unit keeps its length. Unspecified (2) is a stated value and
// is rewritten. Every outcome but `patched` leaves nal untouched.
SpsPatch patchSpsPrimaries(VideoCodec codec, std::span<std::uint8_t> nal,
                           std::uint8_t newPrimaries = PRIMARIES_DISPLAY_P3);

// An SPS that states no colour, rebuilt to state the given codes: a VUI added where it has none
// (no aspect ratio, overscan, timing or restrictions: what a decoder assumes without one), or a
// video signal type (video_format 5, unspecified, and limited range, as decoders assume), or just
// the colour description; every other bit as it was, escaped again. nullopt when the unit cannot
// be read, already states its colour, or does not read back with the codes.
std::optional<std::vector<std::uint8_t>>
describeSpsColour(VideoCodec codec, std::span<const std::uint8_t> nal, std::uint8_t primaries,
                  std::uint8_t transfer, std::uint8_t matrix);

// A NAL unit inside a larger buffer, its length prefix excluded.
struct NalRange {
    std::size_t offset;
    std::size_t size;
};

struct ConfigSps {
    unsigned lengthSize = 0; // bytes of each sample's NAL length prefix (1, 2 or 4)
    std::vector<NalRange> sps;
};

// The SPS units of an avcC / hvcC payload (the atom's body after its 8-byte header), by their
// own NAL unit type; VPS, PPS and everything else are not listed. nullopt when the record is
// not version 1 (0 is accepted for hvcC, as early writers used it), declares a length prefix of
// 3 bytes, or any count or length runs past the payload.
std::optional<ConfigSps> avcCSps(std::span<const std::uint8_t> payload);
std::optional<ConfigSps> hvcCSps(std::span<const std::uint8_t> payload);

struct LeadingSps {
    enum class Status {
        complete,  // a VCL unit or the end of the sample was reached: sps lists them all
        needBytes, // the walk reached the end of the bytes given: pass `need` bytes
        malformed, // a length runs past the sample, or a unit is shorter than its header
    };
    Status status = Status::malformed;
    std::vector<NalRange> sps; // offsets from the start of the sample
    std::uint64_t need = 0;    // with needBytes: bytes from the sample start to read and retry
};

// Lists the SPS units among the NAL units that open a sample, up to the first VCL unit (H.264
// types 1-5, HEVC types 0-31). head is the first bytes of the sample (all of it or fewer),
// sampleSize the sample's full size, lengthSize 1, 2 or 4.
LeadingSps leadingSps(VideoCodec codec, std::span<const std::uint8_t> head,
                      std::uint64_t sampleSize, unsigned lengthSize);

} // namespace tg

// The colour description inside AV1 bitstreams: the sequence header OBU's color_config()
// (color_primaries, transfer_characteristics, matrix_coefficients), where it sits, and an
// in-place rewrite of its primaries; plus the places sequence headers live in a movie: the av1C
// configuration record and the OBUs that open a sample. AV1 has no emulation prevention: OBU
// payloads are read as they are, and a rewrite keeps every size.
#pragma once

#include "codec/sps.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tg {

// As for an SPS, with primariesBit counted from the first bit of the OBU's payload and
// primariesAt the offsets within the OBU (header and size field included).
using Av1Colour = SpsColour;

// Reads one sequence header OBU (header, size field if any, payload), the whole syntax walked to
// its trailing bits. nullopt when it is not a sequence header, is cut short or malformed, or
// does not end where its size says.
std::optional<Av1Colour> readAv1Colour(std::span<const std::uint8_t> obu);

enum class Av1Patch {
    patched,
    alreadyThatValue,
    noColourDescription,
    // BT.709 primaries with the sRGB transfer and identity matrix leave color_range out of the
    // syntax: a change into or out of that triple would shift every field after it.
    wouldChangeSyntax,
    parseFailed,
};

// Overwrites color_primaries in place: the one or two bytes holding it change and nothing else.
// Every outcome but `patched` leaves obu untouched.
Av1Patch patchAv1Primaries(std::span<std::uint8_t> obu,
                           std::uint8_t newPrimaries = PRIMARIES_DISPLAY_P3);

// The sequence header OBUs (at most one, and first) of an av1C payload: the atom's body after
// its 8-byte header. nullopt when the record is not marker 1 version 1, or an OBU runs past it.
std::optional<std::vector<NalRange>> av1CSequenceHeaders(std::span<const std::uint8_t> payload);

// The sequence header OBUs among the OBUs that open a sample, up to the first frame, frame
// header or tile unit; in `sps`, with offsets from the sample start. As for leadingSps: head is
// the first bytes of the sample, sampleSize its full size; an OBU without a size field fills the
// rest of the sample.
LeadingSps leadingSequenceHeaders(std::span<const std::uint8_t> head, std::uint64_t sampleSize);

} // namespace tg

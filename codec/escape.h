// The escape layer of H.264 / HEVC NAL units.
//
// Inside a NAL unit the encoder inserts an emulation-prevention byte 0x03 after every two zero
// bytes that would otherwise be followed by a byte 0x00..0x03, so that no start code can appear
// in the payload. Syntax is read from the unescaped payload (the RBSP); an edit is written back
// to the escaped bytes through the map kept here, and only when the escaping stays as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tg {

// The RBSP of one NAL unit: the payload after its header, emulation-prevention bytes removed.
struct Rbsp {
    std::vector<std::uint8_t> bytes;
    // at[i]: offset in the escaped NAL unit (header included) of RBSP byte i.
    std::vector<std::size_t> at;
    // Offsets in the escaped NAL unit of the emulation-prevention bytes, in order.
    std::vector<std::size_t> escapes;
};

// Unescapes the payload of nal after its headerBytes-byte header. Fails when nal is shorter than
// its header, or when a 0x000000, 0x000001 or 0x000002 pattern appears before the trailing zero
// bytes (such a unit was cut out of a byte stream wrongly).
std::optional<Rbsp> unescapeNal(std::span<const std::uint8_t> nal, std::size_t headerBytes);

// Overwrites n (1..32) RBSP bits at bit offset `bit` with value, in the escaped bytes of nal.
enum class RbspWrite {
    written,
    outOfRange,          // the bits are not all inside the RBSP
    wouldChangeEscaping, // the new bits would need an escape that is not there, or free one
};
// rbsp must be unescapeNal(nal, headerBytes). Same length, and no byte outside the ones holding
// the bits changes; on any refusal nal is left untouched.
RbspWrite writeRbspBits(std::span<std::uint8_t> nal, std::size_t headerBytes, const Rbsp& rbsp,
                        std::uint64_t bit, unsigned n, std::uint32_t value);

// A NAL unit made from its header and an RBSP: an emulation-prevention byte goes in after every
// two zero bytes that a byte 0x00..0x03 follows.
std::vector<std::uint8_t> escapeNal(std::span<const std::uint8_t> header,
                                    std::span<const std::uint8_t> rbsp);

} // namespace tg

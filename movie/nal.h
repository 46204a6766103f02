// The escape layer of H.264 / HEVC NAL units and a bounded bit reader over the unescaped payload.
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

    // The escaped byte that holds RBSP bit `bit` (counted from the first payload bit).
    std::size_t escapedByteOf(std::uint64_t bit) const { return at[bit / 8]; }
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

// Reads bits, Exp-Golomb codes and fixed-width numbers and refuses to run past the end: a read
// that does not fit fails the reader, gives 0, and every later read gives 0 too. The parser
// also fails it with require() when a value is outside its allowed range, so one ok() at the end
// (and before a value bounds a loop) tells whether the whole syntax was read.
class BitReader {
public:
    explicit BitReader(std::span<const std::uint8_t> data) : d_(data) {}

    // n bits, 0 <= n <= 32, most significant first.
    std::uint32_t u(unsigned n);
    bool flag() { return u(1) != 0; }
    // ue(v): up to 2^32 - 2; a longer prefix fails.
    std::uint32_t ue();
    // se(v): -(2^31 - 1) .. 2^31 - 1.
    std::int32_t se();
    void skip(std::uint64_t n);

    // Fails the reader when cond does not hold; returns cond.
    bool require(bool cond);
    bool ok() const { return ok_; }
    // Bits read so far.
    std::uint64_t pos() const { return pos_; }
    std::uint64_t left() const { return ok_ ? bitSize() - pos_ : 0; }

    // Whether exactly rbsp_trailing_bits follow: a one bit, zero bits to the byte boundary, and
    // then nothing but zero bytes.
    bool atTrailingBits() const;
    // Whether a stop bit (the last one bit of the data) lies at or after the read position: the
    // check for extension data whose syntax is not read.
    bool stopBitAhead() const;

private:
    std::uint64_t bitSize() const { return std::uint64_t(d_.size()) * 8; }
    // Position of the last one bit, or bitSize() when every bit is zero.
    std::uint64_t lastOneBit() const;

    std::span<const std::uint8_t> d_;
    std::uint64_t pos_ = 0;
    bool ok_ = true;
};

} // namespace tg

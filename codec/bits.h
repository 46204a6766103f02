// One bit reader and one bit writer, most significant bit first, that refuse to run past the end
// of their bytes.
#pragma once

#include <cstdint>
#include <span>

namespace tg {

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

// Overwrites bits in place from a given bit on. A write that does not fit fails the writer and
// changes nothing; every later write fails too, so one ok() at the end tells whether all landed.
class BitWriter {
public:
    BitWriter(std::span<std::uint8_t> data, std::uint64_t fromBit) : d_(data), pos_(fromBit) {}

    // The low n bits of value, 0 <= n <= 32, most significant first.
    void u(unsigned n, std::uint32_t value);
    bool ok() const { return ok_; }

private:
    std::span<std::uint8_t> d_;
    std::uint64_t pos_;
    bool ok_ = true;
};

} // namespace tg

#include "codec/bits.h"

#include "base/bytes.h"

#include <bit>

namespace tg {

std::uint32_t BitReader::u(unsigned n) {
    if (!ok_ || n > 32 || n > bitSize() - pos_) {
        ok_ = false;
        return 0;
    }
    std::uint64_t v = 0;
    for (unsigned i = 0; i < n; ++i, ++pos_)
        v = (v << 1) | ((d_[pos_ / 8] >> (7 - pos_ % 8)) & 1u);
    return std::uint32_t(v);
}

std::uint32_t BitReader::ue() {
    unsigned zeros = 0;
    while (u(1) == 0) {
        if (!ok_ || ++zeros > 31) {
            ok_ = false;
            return 0;
        }
    }
    const std::uint64_t v = (std::uint64_t(1) << zeros) - 1 + u(zeros);
    return ok_ ? std::uint32_t(v) : 0;
}

std::int32_t BitReader::se() {
    const std::int64_t k = ue();
    return std::int32_t(k % 2 ? (k + 1) / 2 : -(k / 2));
}

void BitReader::skip(std::uint64_t n) {
    if (!ok_ || n > bitSize() - pos_)
        ok_ = false;
    else
        pos_ += n;
}

bool BitReader::require(bool cond) {
    if (!cond) ok_ = false;
    return cond;
}

std::uint64_t BitReader::lastOneBit() const {
    for (std::size_t i = d_.size(); i-- > 0;)
        if (d_[i] != 0) return std::uint64_t(i) * 8 + 7 - unsigned(std::countr_zero(d_[i]));
    return bitSize();
}

bool BitReader::atTrailingBits() const {
    return ok_ && pos_ < bitSize() && lastOneBit() == pos_;
}

bool BitReader::stopBitAhead() const {
    const std::uint64_t stop = lastOneBit();
    return ok_ && stop < bitSize() && stop >= pos_;
}

void BitWriter::u(unsigned n, std::uint32_t value) {
    if (!ok_ || n > 32 || !fits(std::uint64_t(d_.size()) * 8, pos_, n)) {
        ok_ = false;
        return;
    }
    for (unsigned i = 0; i < n; ++i, ++pos_) {
        const auto mask = std::uint8_t(0x80u >> (pos_ % 8));
        std::uint8_t& byte = d_[pos_ / 8];
        byte = (value >> (n - 1 - i)) & 1 ? byte | mask : byte & std::uint8_t(~mask);
    }
}

} // namespace tg

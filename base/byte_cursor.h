// A cursor over bytes for parsers and writers of binary structures. The reader never runs past the
// end: a read that does not fit marks it failed and yields zeros, so a parser checks ok() once when
// it is done. The writer appends; a value too wide for its field marks it failed.
#pragma once

#include "base/bytes.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tg {

enum class Endian { big, little };

class ByteReader {
public:
    explicit ByteReader(Bytes bytes, Endian endian = Endian::big) : bytes_(bytes), endian_(endian) {}

    // width: 0 to 8 bytes; 0 reads nothing and yields 0.
    std::uint64_t uint(unsigned width) {
        if (!ok_ || width > 8 || !fits(bytes_.size(), at_, width)) return failed();
        const std::uint64_t v = readUnsigned(bytes_, at_, width, endian_ == Endian::big);
        at_ += width;
        return v;
    }
    std::uint8_t u8() { return std::uint8_t(uint(1)); }
    std::uint16_t u16() { return std::uint16_t(uint(2)); }
    std::uint32_t u32() { return std::uint32_t(uint(4)); }
    std::uint64_t u64() { return uint(8); }

    Bytes take(std::size_t count) {
        if (!ok_ || !fits(bytes_.size(), at_, count)) {
            failed();
            return {};
        }
        const Bytes out = bytes_.subspan(at_, count);
        at_ += count;
        return out;
    }
    void skip(std::size_t count) { (void)take(count); }
    Bytes rest() { return take(left()); }
    // A NUL-terminated string, terminator consumed; a missing terminator fails.
    std::string cstring() {
        for (std::size_t i = at_; ok_ && i < bytes_.size(); ++i) {
            if (bytes_[i] != 0) continue;
            std::string s(bytes_.begin() + std::ptrdiff_t(at_), bytes_.begin() + std::ptrdiff_t(i));
            at_ = i + 1;
            return s;
        }
        failed();
        return {};
    }
    // Moves to an absolute position inside the bytes (the end included).
    void seek(std::size_t at) {
        if (at > bytes_.size()) failed();
        else at_ = at;
    }

    std::size_t position() const { return at_; }
    std::size_t left() const { return bytes_.size() - at_; }
    bool atEnd() const { return at_ == bytes_.size(); }
    bool ok() const { return ok_; }
    void fail() { ok_ = false; }

private:
    std::uint64_t failed() {
        ok_ = false;
        return 0;
    }
    Bytes bytes_;
    Endian endian_;
    std::size_t at_ = 0;
    bool ok_ = true;
};

class ByteWriter {
public:
    explicit ByteWriter(Endian endian = Endian::big) : endian_(endian) {}

    void uint(std::uint64_t value, unsigned width) {
        if (width > 8 || (width < 8 && value >> (8 * width) != 0)) ok_ = false;
        for (unsigned i = 0; i < width; ++i) {
            const unsigned shift = endian_ == Endian::big ? 8 * (width - 1 - i) : 8 * i;
            out_.push_back(std::uint8_t(value >> shift));
        }
    }
    void u8(std::uint64_t v) { uint(v, 1); }
    void u16(std::uint64_t v) { uint(v, 2); }
    void u32(std::uint64_t v) { uint(v, 4); }
    void u64(std::uint64_t v) { uint(v, 8); }
    void bytes(Bytes b) { out_.insert(out_.end(), b.begin(), b.end()); }
    void text(const std::string& s) { out_.insert(out_.end(), s.begin(), s.end()); }
    void cstring(const std::string& s) {
        text(s);
        out_.push_back(0);
    }
    // Rewrites a field already appended, at position at (a size known only later).
    void patch(std::size_t at, std::uint64_t value, unsigned width) {
        if (!fits(out_.size(), at, width) || (width < 8 && value >> (8 * width) != 0)) {
            ok_ = false;
            return;
        }
        for (unsigned i = 0; i < width; ++i) {
            const unsigned shift = endian_ == Endian::big ? 8 * (width - 1 - i) : 8 * i;
            out_[at + i] = std::uint8_t(value >> shift);
        }
    }

    std::size_t size() const { return out_.size(); }
    bool ok() const { return ok_; }
    void fail() { ok_ = false; }
    const std::vector<std::uint8_t>& bytes() const { return out_; }
    std::vector<std::uint8_t> take() { return std::move(out_); }

private:
    Endian endian_;
    std::vector<std::uint8_t> out_;
    bool ok_ = true;
};

} // namespace tg

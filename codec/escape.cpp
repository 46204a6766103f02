#include "codec/escape.h"

#include "codec/bits.h"

#include "base/bytes.h"

namespace tg {

namespace {

bool zeroFrom(std::span<const std::uint8_t> d, std::size_t i) {
    for (; i < d.size(); ++i)
        if (d[i] != 0) return false;
    return true;
}

} // namespace

std::optional<Rbsp> unescapeNal(std::span<const std::uint8_t> nal, std::size_t headerBytes) {
    if (nal.size() < headerBytes) return std::nullopt;
    Rbsp r;
    r.bytes.reserve(nal.size() - headerBytes);
    r.at.reserve(nal.size() - headerBytes);
    unsigned zeros = 0;
    bool trailing = false; // inside the run of zero bytes that ends the unit
    for (std::size_t i = headerBytes; i < nal.size(); ++i) {
        const std::uint8_t b = nal[i];
        if (zeros >= 2 && b <= 3 && !trailing) {
            if (b == 3) {
                r.escapes.push_back(i);
                zeros = 0;
                continue;
            }
            if (!zeroFrom(nal, i)) return std::nullopt;
            trailing = true;
        }
        zeros = b == 0 ? zeros + 1 : 0;
        r.bytes.push_back(b);
        r.at.push_back(i);
    }
    return r;
}

RbspWrite writeRbspBits(std::span<std::uint8_t> nal, std::size_t headerBytes, const Rbsp& rbsp,
                        std::uint64_t bit, unsigned n, std::uint32_t value) {
    if (n == 0 || n > 32 || rbsp.at.size() != rbsp.bytes.size() ||
        !fits(std::uint64_t(rbsp.bytes.size()) * 8, bit, n))
        return RbspWrite::outOfRange;
    const std::size_t first = bit / 8, last = (bit + n - 1) / 8;
    if (rbsp.at[last] >= nal.size()) return RbspWrite::outOfRange;

    std::vector<std::uint8_t> bytes = rbsp.bytes;
    BitWriter(bytes, bit).u(n, value);

    // The edit must leave the escaping exactly as it is: the changed unit unescapes to the new
    // RBSP with the same escapes, and no escape that follows two zeros becomes unnecessary.
    std::vector<std::uint8_t> candidate(nal.begin(), nal.end());
    for (std::size_t i = first; i <= last; ++i)
        candidate[rbsp.at[i]] = bytes[i];
    auto again = unescapeNal(candidate, headerBytes);
    if (!again || again->escapes != rbsp.escapes || again->bytes != bytes)
        return RbspWrite::wouldChangeEscaping;
    for (std::size_t e : rbsp.escapes) {
        const bool nextChanged = e + 1 >= rbsp.at[first] && e + 1 <= rbsp.at[last];
        if (nextChanged && e + 1 < candidate.size() && candidate[e + 1] > 3)
            return RbspWrite::wouldChangeEscaping;
    }

    for (std::size_t i = first; i <= last; ++i)
        nal[rbsp.at[i]] = bytes[i];
    return RbspWrite::written;
}

std::vector<std::uint8_t> escapeNal(std::span<const std::uint8_t> header,
                                    std::span<const std::uint8_t> rbsp) {
    std::vector<std::uint8_t> out(header.begin(), header.end());
    int zeros = 0;
    for (std::uint8_t b : rbsp) {
        if (zeros >= 2 && b <= 3) {
            out.push_back(3);
            zeros = 0;
        }
        out.push_back(b);
        zeros = b == 0 ? zeros + 1 : 0;
    }
    if (zeros > 0 && !rbsp.empty()) out.push_back(3); // a unit may not end in a zero byte
    return out;
}

} // namespace tg

#include "codec/prores.h"

#include "base/bytes.h"

namespace tg {

namespace {

constexpr std::uint64_t MIN_SAMPLE = 28;   // size, tag, and a 20-byte header
constexpr std::uint64_t HEADER_AT = 8;     // the frame header follows size and tag
constexpr std::uint16_t MIN_HEADER = 20;   // up to and including the colour fields
constexpr std::uint32_t ICPF = 0x69637066; // 'icpf'

} // namespace

std::optional<ProResHeader> readProResHeader(std::span<const std::uint8_t> head,
                                             std::uint64_t sampleSize) {
    if (head.size() < MIN_SAMPLE || sampleSize < head.size()) return std::nullopt;
    if (readUnsigned(head, 4, 4) != ICPF) return std::nullopt;
    ProResHeader h;
    h.headerSize = std::uint16_t(readUnsigned(head, HEADER_AT, 2));
    h.version = std::uint16_t(readUnsigned(head, HEADER_AT + 2, 2));
    if (h.headerSize < MIN_HEADER || !fits(sampleSize, HEADER_AT, h.headerSize) || h.version > 1)
        return std::nullopt;
    h.width = std::uint16_t(readUnsigned(head, HEADER_AT + 8, 2));
    h.height = std::uint16_t(readUnsigned(head, HEADER_AT + 10, 2));
    h.primaries = head[PRORES_PRIMARIES_AT];
    h.transfer = head[PRORES_PRIMARIES_AT + 1];
    h.matrix = head[PRORES_PRIMARIES_AT + 2];
    return h;
}

ProResPatch patchProResPrimaries(std::span<std::uint8_t> head, std::uint64_t sampleSize,
                                 std::uint8_t newPrimaries) {
    auto h = readProResHeader(head, sampleSize);
    if (!h) return ProResPatch::failsChecks;
    if (h->primaries == newPrimaries) return ProResPatch::alreadyThatValue;
    head[h->primariesAt] = newPrimaries;
    return ProResPatch::patched;
}

} // namespace tg

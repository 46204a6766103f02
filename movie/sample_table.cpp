#include "movie/sample_table.h"

#include "base/bytes.h"

namespace tg {

namespace {

struct Sizes {
    std::uint64_t count = 0;
    std::uint32_t constant = 0; // stsz sample_size; 0 when each sample has its own
    unsigned fieldBits = 32;    // stz2: 4, 8 or 16
    std::span<const std::uint8_t> entries;

    std::uint32_t operator[](std::uint64_t i) const {
        if (constant != 0) return constant;
        if (fieldBits == 4) {
            const std::uint8_t b = entries[i / 2];
            return i % 2 == 0 ? b >> 4 : b & 0x0Fu;
        }
        return std::uint32_t(readUnsigned(entries, i * (fieldBits / 8), fieldBits / 8));
    }
};

struct Run {
    std::uint64_t firstChunk, perChunk;
    std::uint32_t descriptor;
};

SampleTable failure(std::string why) {
    return {{}, std::move(why)};
}

} // namespace

SampleTable sampleLocations(const SampleTableAtoms& atoms, std::uint64_t maxSamples) {
    // Sizes: version/flags, then sample_size and count (stsz) or reserved, field_size and count.
    const auto sz = atoms.sizes;
    if (sz.size() < 12) return failure("The sample size table is cut short");
    Sizes sizes;
    sizes.count = readUnsigned(sz, 8, 4);
    sizes.entries = sz.subspan(12);
    if (sizes.count > maxSamples) return failure("The track lists too many samples");
    if (atoms.compact) {
        sizes.fieldBits = sz[7];
        if (sizes.fieldBits != 4 && sizes.fieldBits != 8 && sizes.fieldBits != 16)
            return failure("The compact sample size table has an unknown field size");
    } else {
        sizes.constant = std::uint32_t(readUnsigned(sz, 4, 4));
    }
    if (sizes.constant == 0 &&
        (sizes.count * sizes.fieldBits + 7) / 8 > sizes.entries.size()) // count <= 50 million
        return failure("The sample size table is shorter than its count");

    // Chunk offsets: version/flags, count, then 4- or 8-byte offsets.
    const auto co = atoms.chunkOffsets;
    const unsigned width = atoms.large ? 8 : 4;
    if (co.size() < 8) return failure("The chunk offset table is cut short");
    const std::uint64_t chunks = readUnsigned(co, 4, 4);
    if (chunks > (co.size() - 8) / width)
        return failure("The chunk offset table is shorter than its count");

    // Sample-to-chunk runs: version/flags, count, then (first chunk, samples per chunk, index).
    const auto sc = atoms.stsc;
    if (sc.size() < 8) return failure("The sample-to-chunk table is cut short");
    const std::uint64_t entries = readUnsigned(sc, 4, 4);
    if (entries > (sc.size() - 8) / 12)
        return failure("The sample-to-chunk table is shorter than its count");
    std::vector<Run> runs;
    for (std::uint64_t i = 0; i < entries; ++i) {
        Run run{readUnsigned(sc, 8 + 12 * i, 4), readUnsigned(sc, 12 + 12 * i, 4),
                std::uint32_t(readUnsigned(sc, 16 + 12 * i, 4))};
        if (run.firstChunk > chunks) break; // describes no chunk of this track
        // The first run starts at chunk 1 and each later one after the one before.
        if (runs.empty() ? run.firstChunk != 1 : run.firstChunk <= runs.back().firstChunk)
            return failure("The sample-to-chunk table is out of order");
        if (run.perChunk == 0 || run.descriptor == 0)
            return failure("The sample-to-chunk table has an empty run");
        runs.push_back(run);
    }

    // The chunks must hold exactly the samples the size table lists, before anything is
    // allocated for them.
    std::uint64_t total = 0;
    for (std::size_t k = 0; k < runs.size(); ++k) {
        const std::uint64_t end = k + 1 < runs.size() ? runs[k + 1].firstChunk : chunks + 1;
        std::uint64_t inRun = 0;
        if (__builtin_mul_overflow(end - runs[k].firstChunk, runs[k].perChunk, &inRun) ||
            __builtin_add_overflow(total, inRun, &total) || total > sizes.count)
            return failure("The chunks hold more samples than the size table lists");
    }
    if (total != sizes.count)
        return failure("The size table lists more samples than the chunks hold");

    SampleTable table;
    table.samples.reserve(sizes.count);
    std::uint64_t sample = 0;
    for (std::size_t k = 0; k < runs.size(); ++k) {
        const std::uint64_t end = k + 1 < runs.size() ? runs[k + 1].firstChunk : chunks + 1;
        for (std::uint64_t chunk = runs[k].firstChunk; chunk < end; ++chunk) {
            std::uint64_t at = readUnsigned(co, 8 + (chunk - 1) * width, width);
            for (std::uint64_t s = 0; s < runs[k].perChunk; ++s, ++sample) {
                const std::uint32_t size = sizes[sample];
                std::uint64_t next = 0;
                if (__builtin_add_overflow(at, size, &next) || next > atoms.fileSize)
                    return failure("A sample lies past the end of the file");
                table.samples.push_back({at, size, runs[k].descriptor});
                at = next;
            }
        }
    }
    return table;
}

} // namespace tg

// Where each sample of a track lies in the file, from the sample table's size, sample-to-chunk
// and chunk-offset atoms. Pure functions over the atoms' bodies; a table that contradicts itself
// or its own length is an error, never a read outside the bytes given.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tg {

// More samples than this is taken for a lying table rather than allocated.
inline constexpr std::uint64_t MAX_SAMPLES = 50'000'000;

struct SampleLocation {
    std::uint64_t offset;     // absolute file offset
    std::uint32_t size;       // bytes
    std::uint32_t descriptor; // sample description index (1-based, from stsc)
};

struct SampleTableAtoms {
    // Bodies of the atoms, after their 8- or 16-byte headers (version and flags included).
    std::span<const std::uint8_t> sizes; // stsz, or stz2 when compact
    bool compact = false;
    std::span<const std::uint8_t> stsc;
    std::span<const std::uint8_t> chunkOffsets; // stco, or co64 when large
    bool large = false;
    std::uint64_t fileSize = UINT64_MAX; // every sample must end inside it
};

struct SampleTable {
    std::vector<SampleLocation> samples; // in sample order
    std::string error;                   // what is wrong with the table; empty when read
    bool ok() const { return error.empty(); }
};

SampleTable sampleLocations(const SampleTableAtoms& atoms, std::uint64_t maxSamples = MAX_SAMPLES);

} // namespace tg

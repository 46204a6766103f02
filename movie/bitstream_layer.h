// The colour description the coded video itself carries, entry by entry: the SPSs of H.264 and
// HEVC (in avcC / hvcC and in-band, at the head of samples), the sequence headers of AV1 (in av1C
// and in-band), the header of every ProRes frame, and VP9's configuration record (vpcC), the only
// place a VP9 stream in MP4 states its primaries.
// Players built on FFmpeg's decoders take it over the container's colr atom, so a movie tagged in
// the container alone still shows wrong there.
//
// Read-only: the result says what the bitstream states, whether any layer signals HDR, and the
// same-length overwrites (absolute positions, old and new bytes) that make it state Display P3.
// The movie edit joins those overwrites to its own in one journaled transaction.
#pragma once

#include "base/bytes.h"
#include "base/file.h"
#include "base/result.h"
#include "codec/colour_codes.h"
#include "movie/atoms.h"
#include "movie/insertion_plan.h"
#include "movie/moov_layout.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tg {

// Asks for [at, at + length) to be read ahead of use, in the background. A hint.
using Prefetch = std::function<void(std::uint64_t at, std::uint64_t length)>;

enum class BitstreamKind { none, h264, hevc, prores, av1, vp9 };

// Colour codes as ITU-T H.273 numbers them.
struct ColourCodes {
    std::uint8_t primaries = 2, transfer = 2, matrix = 2;
    bool operator==(const ColourCodes&) const = default;
};

// Why a place in the bitstream that states (or may state) a colour is left as it is.
enum class LeftAlone {
    reservedTransfer,    // an SPS whose transfer is 0 (reserved)
    wouldChangeEscaping, // the new primaries would add or remove an emulation-prevention byte
    wouldChangeSyntax,   // an AV1 sequence header whose later fields hang on the primaries
    unreadableSps,       // an SPS or AV1 sequence header that fails to parse
    frameChecks,         // a ProRes frame that fails its header checks
    unreadableSample,    // a sample whose leading NAL units cannot be walked, or that lies
                         // outside the file, inside moov, or across another planned write
    oldVpcC,             // a VP9 configuration of version 0, whose fields are laid out otherwise
};

// Places left alone for one reason and one stated primaries value.
struct LeftPlace {
    LeftAlone why = LeftAlone::unreadableSps;
    std::optional<std::uint8_t> primaries; // what they still say, when it could be read
    std::uint64_t count = 0;
};

// A parameter set that states no colour, in an entry's configuration record: its escaped bytes
// at absolute position `at` (its 16-bit length just before).
struct SilentSps {
    std::uint64_t at = 0;
    std::vector<std::uint8_t> nal;
};

// The bitstream of one video sample entry (MoovLayout::entries, same index).
struct EntryBitstream {
    BitstreamKind kind = BitstreamKind::none;
    // The first colour the bitstream states; none when it is silent (no SPS colour description,
    // or no SPS / frame read at all).
    std::optional<ColourCodes> colour;
    // Any layer of this entry signals HDR: a Dolby Vision entry type, a dvcC / dvvC / dvwC,
    // mdcv / SmDm, clli / CoLL child, or PQ (16), HLG (18) transfer or BT.2020 (9) primaries in
    // any SPS or frame header.
    bool hdr = false;
    std::string hdrSignal;        // what said so first, for details ("mdcv", "SPS transfer 16")
    std::uint64_t statements = 0; // parameter sets with a colour description, ProRes frame headers
    std::uint64_t alreadyP3 = 0;  // of those, already primaries 12
    std::uint64_t inBand = 0;     // parameter sets found in samples (each once per sample)
    std::vector<Overwrite> overwrites; // primaries to 12, ascending by position
    std::vector<LeftPlace> left;
    // Parameter sets that state no colour: those of the configuration record that may be rebuilt
    // to state one (none when samples carry parameter sets of their own, which cannot grow), and
    // how many others stay silent.
    std::vector<SilentSps> silentInRecord;
    std::uint64_t silentLeft = 0;
    bool fullRange = false; // a parameter set says the samples use the full range

    // Whether every place that states primaries will say 12 once the overwrites are written.
    bool reachesP3() const { return statements > 0 && left.empty(); }
};

struct BitstreamLayer {
    std::vector<EntryBitstream> entries;
    // Sample entries of video tracks outside VID_CODECS whose type alone says HDR (dva1, dvav).
    std::vector<std::string> hdrEntryTypes;

    bool hdr() const;
    // Whether some entry's bitstream states primaries at all.
    bool states() const;
    // Every overwrite of every entry, ascending by position.
    std::vector<Overwrite> overwrites() const;
    // Whether some stated place is left alone, and whether for the given reason.
    bool anyLeft() const;
    bool anyLeft(LeftAlone why) const;
    // The primaries a left-alone place still says (the first known), if any is known.
    std::optional<std::uint8_t> leftPrimaries() const;
};

// Reads the bitstream layer of every video entry in layout. moov is the whole moov atom at
// absolute moovStart; read reaches the rest of the file of fileSize bytes. Reads a few bytes at
// the head of every sample of the H.264, HEVC and ProRes entries, coalescing nearby heads into
// one read. Fails only when a read of the file fails; a malformed table or sample is reported in
// the entry (left alone), never followed outside the bytes it names.
// prefetch, when given, is asked for the heads some way ahead of their reads, so that a cold
// disk sees many requests at once rather than one after another.
Result<BitstreamLayer> readBitstreamLayer(const MoovLayout& layout, Bytes moov,
                                          std::uint64_t moovStart, std::uint64_t fileSize,
                                          const ReadAt& read, const Prefetch& prefetch = {});
Result<BitstreamLayer> readBitstreamLayer(const MoovLayout& layout, Bytes moov,
                                          std::uint64_t moovStart, const FileHandle& file,
                                          std::uint64_t fileSize);

} // namespace tg

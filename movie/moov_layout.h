// The structure of a moov atom as the edits need it, read once: every track with its handler and
// sample tables, every video sample entry with its colour atoms and codec configuration, and every
// absolute file offset stored in moov. Nothing here is found by scanning bytes for a type name;
// what is written later is only ever what this walk located.
#pragma once

#include "edit/edit_plan.h"
#include "movie/atoms.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tg {

// Video sample-entry types that may be tagged; any other entry is left alone.
extern const std::set<std::string> VID_CODECS;

// A colr child of a video sample entry.
struct ColourAtom {
    Atom atom;                    // offsets in the moov buffer
    std::string kind;             // parameter type: "nclc", "nclx", "prof", "rICC", ...
    bool hasCodes = false;        // nclc/nclx with all three codes inside the atom
    std::uint16_t prim = 0;       // primaries code
    std::uint16_t trc = 0;        // transfer characteristics code
    std::uint16_t matrix = 0;     // matrix coefficients code
    std::uint64_t primOffset = 0; // buffer offset of the primaries field
};

// One sample entry of a type in VID_CODECS in a track whose handler is "vide". This is the unit
// the colour decision works on, in the container and (later) in the bitstream it configures.
struct VideoEntry {
    std::string type;
    std::size_t track = 0; // index into MoovLayout::tracks
    Atom atom;             // the entry itself, in the moov buffer
    // End of its last whole child after the fixed visual fields: where a new colour atom goes.
    std::uint64_t childrenEnd = 0;
    std::vector<ColourAtom> colours;
    std::optional<Atom> config; // avcC, hvcC or av1C: the parameter sets the bitstream holds
    std::uint32_t descriptionIndex =
        0;                 // 1-based place in stsd, as the sample-to-chunk table names it
    bool external = false; // its samples live in another file
    // The atoms around it that grow with it, innermost first: stsd, stbl, minf, mdia, trak.
    std::vector<std::uint64_t> ancestors;

    bool tagged() const { return !colours.empty(); }
};

// Why an insertion must not go ahead on this structure, whatever the route.
enum class Refusal {
    none,
    fragmented,     // movie fragments hold offsets that are not fixed
    foreignOffsets, // offsets this program cannot rewrite, or a tree too deep to follow
    trackStructure, // a track whose tables are not where its structure says they are
};

struct Track {
    std::uint64_t offset = 0; // of its trak atom in the moov buffer
    std::string handler;      // hdlr handler type; empty when not found
    std::optional<Atom> stbl; // its sample table, when the track's structure led to one
};

struct MoovLayout {
    std::vector<Track> tracks;
    std::vector<VideoEntry> entries;
    // Every absolute offset in moov that points into this file (chunk tables, auxiliary
    // information offsets, item locations). Tracks whose data lives in another file are left out:
    // their offsets never move.
    std::vector<OffsetField> offsets;
    // Types of the other sample entries of video tracks (never tagged, but they may say HDR).
    std::vector<std::string> otherVideoTypes;
    Refusal refusal = Refusal::none;
    std::string why; // what the refusal is about, for the result's detail
};

// moov: the whole moov atom, header included; hdrLen 8 or 16; moovStart its absolute position.
MoovLayout readMoovLayout(Bytes moov, std::uint64_t hdrLen, std::uint64_t moovStart);

// The file offsets of an iloc atom found at `iloc` in d, whose byte 0 lies at absolute position
// base. Fails (returns nothing) when the atom cannot be read to its end.
std::optional<std::vector<OffsetField>> itemLocations(Bytes d, const Atom& iloc,
                                                      std::uint64_t base);

// The iloc atoms inside a meta atom (ISO meta is a full atom, QuickTime's is not).
std::vector<Atom> ilocsInMeta(Bytes d, const Atom& meta);

struct ColrFinding {
    std::uint64_t off;  // offset of the primaries field in the moov buffer
    std::uint16_t prim; // primaries code
    std::uint16_t trc;  // transfer characteristics code
};

// The nclc/nclx colour atoms of every video sample entry, in file order.
std::vector<ColrFinding> findColr(const MoovLayout& layout);

} // namespace tg

// HEIF test files: made by libheif (x265 and aom inside Debian's libheif), or assembled here from
// items we describe; and libheif as the independent reader of what the tagger wrote.
#pragma once

#include "fixtures/box_bytes.h"
#include "image/heif_plan.h"

#include <libheif/heif.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace heiftest {

namespace fs = std::filesystem;
namespace h = tg::heif;
using Bytes = std::vector<std::uint8_t>;

using tgtest::atom, tgtest::be, tgtest::cat, tgtest::text;

Bytes fullBox(std::string_view type, std::uint8_t version, std::uint32_t flags,
              const Bytes& payload);
Bytes nclxBox(std::uint16_t primaries, std::uint16_t transfer, std::uint16_t matrix, bool full);
Bytes profBox(const Bytes& icc);

// What libheif is asked to encode: a 64x48 picture with detail in every channel.
struct Recipe {
    heif_compression_format codec = heif_compression_HEVC;
    bool alpha = false;
    bool mono = false;
    bool thumbnail = false;
    bool metadata = false; // an Exif block and an XMP packet
    heif_orientation orientation = heif_orientation_normal;
    std::optional<std::pair<std::uint16_t, std::uint16_t>> nclx{}; // primaries, transfer
    Bytes icc{};                                                   // written instead of nclx
    int shade = 0;                                                 // varies the picture, for tiles
};
void makeHeif(const fs::path& file, const Recipe& recipe);

// A file assembled item by item, laid out as ftyp, meta, mdat.
struct Assembly {
    std::vector<std::uint32_t> brands = {h::fourcc("heic"), h::fourcc("mif1")};
    std::uint32_t primary = 1;
    std::vector<h::Property> ipco;
    std::vector<h::Infe> infe;
    std::vector<h::IpmaEntry> ipma;
    std::uint32_t ipmaFlags = 0;
    std::vector<h::Reference> refs;
    std::vector<h::Group> groups;
    struct Data {
        std::uint32_t item;
        Bytes bytes;
        bool inIdat;
    };
    std::vector<Data> data;
    std::uint16_t dataReference = 0;
    bool compactIloc = false; // one extent at the base offset, sizes 0 (runs to the end)
    Bytes trailer;            // extra top-level boxes after mdat

    // The index (1-based) of a property box, added once.
    std::uint16_t prop(const Bytes& box);
    void item(std::uint32_t id, const char* type, std::vector<std::uint16_t> props, Bytes bytes,
              bool hidden = false, bool inIdat = false, const std::string& contentType = "");
    Bytes build() const;
};

// The tile item (hvcC and coded bytes) of a one-image HEIC that libheif wrote.
struct Tile {
    Bytes hvcC;
    Bytes data;
};
Tile tileOf(const Bytes& heic);

std::optional<h::Source> readSource(const Bytes& file);
// The output a plan describes, built in memory from the source.
Bytes apply(const Bytes& source, const h::Plan& plan);

// How libheif shows a file: the primary as RGB(A) at its depth with transformations applied, its
// thumbnails and auxiliary images (alpha, depth), the colour labels and the metadata blocks.
struct Shown {
    bool read = false;
    Bytes primary;
    std::vector<Bytes> thumbnails;
    std::vector<Bytes> depth;
    int auxiliary = 0;
    Bytes icc;
    std::optional<std::array<int, 4>> nclx; // primaries, transfer, matrix, full range
    int metadataBlocks = 0;
};
Shown show(const fs::path& file);

} // namespace heiftest

// Re-labelling a HEIF/AVIF file at the container level: the top-level walk, the decision, and
// the new file laid out as ftyp + rewritten meta + one mdat holding the coded data of the items
// we keep, copied unchanged. Works through a read callback, so the fuzzer drives it in memory.
#pragma once

#include "base/file.h"
#include "image/formats.h"
#include "image/heif_boxes.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tg::heif {

using tg::ReadAt;

// The meta box is held in memory; coded data never is.
constexpr std::uint64_t MAX_META = std::uint64_t{16} << 20;

struct Source {
    Buffer ftyp; // the whole box, copied as is
    Ftyp brands;
    Meta meta;
    bool hasMoov = false;
    std::uint64_t size = 0; // of the file
};

// Walks the top level (ftyp first, exactly one meta, every box inside the file) and parses meta.
// nullopt when the tree is malformed or cut short.
std::optional<Source> readSource(const ReadAt& read, std::uint64_t size);

// Bytes of the source copied to the output unchanged.
struct Run {
    std::uint64_t from = 0;
    std::uint64_t length = 0;
    std::uint64_t to = 0;
};

struct Plan {
    ImageCheck check = ImageCheck::unreadable;
    Buffer head;           // ftyp, meta and the mdat header: the output's first bytes
    std::vector<Run> runs; // then these, back to back
    std::uint64_t size = 0;
    std::string reason; // why a refused file is refused, for the result's detail
};

// Decides and, for a taggable file, lays out the tagged file: the primary image, the items it is
// derived from, the other master images and their thumbnails get the Display P3 profile; Exif
// and XMP items are dropped; everything else is kept.
Plan planTagging(const Source& source);

} // namespace tg::heif

// Real movies for the movie tests: made once with ffmpeg, then reshaped at the atom level where
// ffmpeg has no option for a layout (co64 tables, a 64-bit moov header).
#pragma once

#include "atom_builder.h"
#include "fixtures/media.h"

#include <functional>
#include <string>

namespace tgtest {

struct MoovShape {
    bool co64 = false;        // every stco becomes a co64 with the same offsets
    bool largeHeader = false; // moov gets size field 1 and a 64-bit size
};

// The file with its moov rebuilt to the given shape; chunk offsets follow when moov grows in
// front of the media data.
Blob reshapeMoov(const Blob& file, MoovShape shape);

// Appends a top-level free atom so that the file ends `tail` bytes into a 4096-byte page.
Blob padToPageTail(const Blob& file, std::uint64_t tail);

// Grows the last top-level mdat with bytes of the given value until the file holds `total` bytes;
// the samples keep their offsets.
Blob padLastMdat(const Blob& file, std::uint64_t total, std::uint8_t fill);

// color_primaries of the first video stream as the container signals it: ffprobe without
// decoding, since a decoder would report the bitstream's own colour description instead.
std::string primariesOf(const fs::path& file);
// The colr primaries code as exiftool reads it, -1 when there is none.
int exifPrimaries(const fs::path& file);

// A folder shared by every test process of one build, where media made once is kept
// ($TG_BUILD_DIR/test-media/movie, or a folder under the system temp folder).
fs::path mediaCache();
// Makes cache/name with make(tempPath) unless it is already there; safe across processes.
fs::path cached(const std::string& name, const std::function<void(const fs::path&)>& make);

// Whether the first top-level moov comes before the first mdat.
bool moovFirst(const Blob& file);

} // namespace tgtest

// The read every movie run starts with, once the file is open and locked: the top-level atoms,
// moov whole, its layout and the bitstream layer of its video entries. Nothing is written, and
// the caller's lock is neither taken nor released here.
#pragma once

#include "base/file.h"
#include "base/result.h"
#include "movie/atoms.h"
#include "movie/bitstream_layer.h"
#include "movie/moov_layout.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace tg {

// moov is read whole, so its size is bounded.
inline constexpr std::uint64_t MAX_MOOV = 512000000;
// No movie is shorter than an ftyp header and an empty moov.
inline constexpr std::uint64_t MIN_MOVIE = 17;

inline constexpr const char* NO_MOOV = "Unsupported (no moov)";
inline constexpr const char* READ_ERROR = "Read error";
inline constexpr const char* TWO_MOOV = "Unsupported (two moov atoms)";

struct MovieReading {
    // A colour run asks for a moov payload of 8 to MAX_MOOV - 1 bytes; adding atoms only, for
    // a moov atom of at most MAX_MOOV bytes.
    bool boundPayload = true;
    bool bitstream = true; // read the bitstream layer too
};

struct LoadedMovie {
    std::vector<TopAtom> top;
    TopAtom moovAtom;
    std::vector<std::uint8_t> moov; // the whole moov atom
    MoovLayout layout;
    std::optional<BitstreamLayer> bitstream;
};

// Loads the movie of fileSize bytes. Failure messages: empty for a file too short to be a movie
// (the caller names it unreadable), NO_MOOV when there is no moov within the bounds, TWO_MOOV
// when there are two, READ_ERROR with its cause when a read fails.
Result<LoadedMovie> loadMovie(const FileHandle& file, std::uint64_t fileSize, MovieReading reading);

} // namespace tg

// Helpers for the bake tests: source clips made with the ffmpeg CLI, and what ffprobe says about
// the baked result.
#pragma once

#include "fixtures/media.h"

#include <array>
#include <string>

namespace tgtest::bake {

// Rewrites the primaries of every colr atom to 12 (Display P3), leaving the bitstream's own colour
// description as it was: what the in-place tag does to a movie before it is baked.
int tagColrP3(const fs::path& file);

// Writes a 90-degree display matrix into the first track header. FFmpeg 5.1's CLI no longer turns
// rotate metadata into a matrix, so a portrait clip is made this way.
bool rotateFirstTrack(const fs::path& file);

// Primaries field of the first colr atom in the file bytes, or -1 without one.
int colrPrimaries(const fs::path& file);
// The four-character kind of the first colr atom ("nclc", "nclx"), or "" without one.
std::string colrKind(const fs::path& file);

// The size and checksum of every packet of the first audio stream, stream-copied.
std::string audioPackets(const fs::path& file);

// ffprobe's view of the first decoded video frame (its colour comes from the bitstream).
nlohmann::json firstVideoFrame(const fs::path& file);
// ffprobe's pict_type and key_frame of every video frame, e.g. "IBBP..." and key positions.
std::string pictureTypes(const fs::path& file);

// The streams of one type in ffprobe's answer.
std::vector<nlohmann::json> streamsOf(const nlohmann::json& probed, const std::string& type);
// The display-matrix rotation of a probed stream, 0 when it has none.
int rotationOf(const nlohmann::json& stream);
// The file's major brand: "qt  " for a QuickTime movie, "isom" for MPEG-4.
std::string majorBrand(const fs::path& file);

// CIE L*a*b* (D65) and the CIEDE2000 colour difference.
using Lab = std::array<double, 3>;
double deltaE2000(const Lab& a, const Lab& b);

} // namespace tgtest::bake

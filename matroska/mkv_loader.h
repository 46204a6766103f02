// The read every Matroska run starts with, once the file is open and locked: the EBML header and
// its DocType, the Segment and its top-level elements (Cluster heads only), Tracks whole down to
// each video track's Colour, and every stored position with the CRC-32 elements that cover them.
// Nothing is written.
#pragma once

#include "base/file.h"
#include "base/result.h"
#include "ebml/ebml.h"
#include "edit/edit_plan.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tg {

inline constexpr const char* NOT_MATROSKA = "Can't read file";
inline constexpr const char* DAMAGED_MATROSKA = "Unsupported (damaged Matroska structure)";
inline constexpr const char* NO_TRACKS = "Unsupported (no Tracks)";

// An unsigned element of a track: where its data lies (relative to Tracks) and what it says.
struct UintField {
    std::uint64_t element = 0; // where its header starts
    std::uint64_t at = 0;
    unsigned width = 0;
    std::uint64_t value = 0;
};

// One TrackEntry, its offsets relative to the start of the Tracks element.
struct MkvTrack {
    std::uint64_t number = 0;
    std::uint64_t type = 0; // 1 video
    std::string codec;
    ebml::Element entry;
    std::optional<ebml::Element> video, colour, codecPrivate;
    std::optional<UintField> primaries, transfer, matrix;
    bool mastering = false;   // MasteringMetadata in its Colour
    bool dolbyVision = false; // a block addition mapping of Dolby Vision
    bool laced = false;       // some block of it is laced: its frames' heads are not read
    bool isVideo() const { return type == 1; }
};

// An element whose first child is a CRC-32 over the rest of its data: the data as read, so the
// value can be made again after writes inside it.
struct CrcElement {
    std::uint64_t dataStart = 0; // absolute
    std::uint64_t crcAt = 0;     // absolute position of the 4 value bytes (little-endian)
    std::uint64_t coveredFrom = 0;
    std::vector<std::uint8_t> data; // from dataStart to the element's end
    bool matches = true;            // the stored value is the data's: a mismatch is damage
};

// A parameter set (or AV1 sequence header) at the head of a block's frame, as read; for ProRes
// the frame's header, given back the 8 bytes (size and 'icpf') a QuickTime sample opens with and
// Matroska leaves out, so that `at` lies 8 bytes before the frame.
struct InBandUnit {
    std::size_t track = 0; // index into MkvFile::trackList
    std::uint64_t at = 0;  // absolute
    std::vector<std::uint8_t> bytes;
    std::uint64_t frameSize = 0; // ProRes: the frame as a sample, those 8 bytes included
};

// A Cluster's CRC-32, which covers its blocks: changed from the changes alone, never re-read.
struct ClusterCrc {
    std::uint64_t crcAt = 0, coveredFrom = 0, end = 0; // absolute
    std::uint32_t value = 0;
};

struct MkvFile {
    std::string docType;
    ebml::Element segment;          // absolute; an unknown size resolved to the end of the file
    std::vector<ebml::Element> top; // the Segment's children, absolute
    ebml::Element tracks;
    std::vector<std::uint8_t> tracksBytes; // the whole Tracks element
    std::vector<MkvTrack> trackList;
    // Every stored position that counts from the Segment's data: SeekPosition, CueClusterPosition,
    // CueCodecState, as absolute offset fields; and the Segment's own size when it is known.
    std::vector<OffsetField> positions;
    std::optional<OffsetField> segmentSize;
    std::vector<CrcElement> checked; // SeekHeads and Cues that carry a CRC-32
    std::optional<CrcElement> tracksCrc;
    std::vector<InBandUnit> inBand;
    std::vector<ClusterCrc> clusterCrcs;
    bool clusterPositions = false;  // some Cluster states its own position
    std::uint64_t firstCluster = 0; // absolute; the Segment's end when there is none
};

// Loads the file of fileSize bytes. Failure messages: NOT_MATROSKA when it is not EBML of
// DocType matroska or webm, DAMAGED_MATROSKA when its structure does not hold together or is cut
// short, NO_TRACKS, "Read error" with its cause when a read fails.
Result<MkvFile> loadMatroska(const FileHandle& file, std::uint64_t fileSize);

// Whether the element holds a CRC-32 as its first child; the record of it when so.
std::optional<CrcElement> crcOf(Bytes elementBytes, std::uint64_t absStart);

} // namespace tg

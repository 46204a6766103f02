// The frame every movie edit runs in: one descriptor opened without blocking and locked from the
// first read to the last write, an interrupted edit finished or undone before anything else, size
// and identity taken from the descriptor, then the edit and its result.
#pragma once

#include "model/job.h"
#include "movie/colour_decision.h"
#include "movie/movie_edit.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tg {

enum class TagMode {
    core,   // patch existing colour atoms, add where there are none (processCore)
    addOnly // only add atoms to entries without one (addColr)
};

// What an in-place tag of this moov (at moovStart in file, whose top-level atoms are top) would
// do, decided without writing: the edit to make and the layers that state Display P3 after it, or
// the result it gives at once (nothing to do, or a refusal). bitstream, when given, is the layer
// read for the same layout.
struct MoviePlan {
    std::optional<TGResult> done;
    MovieEdit edit;
    std::vector<std::string> layers;
};
MoviePlan planMovieEdit(const std::string& name, const FileHandle& file, std::uint64_t fileSize,
                        const std::vector<TopAtom>& top, const MoovLayout& layout, Bytes moov,
                        std::uint64_t moovStart, const BitstreamLayer* bitstream, TagMode mode);

TGResult tagMovie(const std::filesystem::path& file, TagMode mode, const Progress& onMoving);

} // namespace tg

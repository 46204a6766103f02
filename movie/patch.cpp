// The in-place tag: rewrite the primaries of existing colour atoms, and give every video sample
// entry without one a new atom, in one journaled edit.
#include "movie/movie_tagger.h"
#include "movie/tagging.h"

namespace tg {

TGResult processCore(const std::filesystem::path& file,
                     const std::function<void(double)>& onMoving) {
    return tagMovie(file, TagMode::core, onMoving);
}

} // namespace tg

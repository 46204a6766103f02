// The insertion alone: a Display P3 colour atom for every video sample entry without one.
#include "movie/movie_tagger.h"
#include "movie/tagging.h"

namespace tg {

TGResult addColr(const std::filesystem::path& file) {
    return tagMovie(file, TagMode::addOnly, {});
}

} // namespace tg

#include "movie/movie_tagger.h"

// Placeholder until the atom editor lands.
namespace tg {
TGResult processCore(const std::filesystem::path& file) {
    return {file.filename().string(), TGOutcome::error, "Not built yet"};
}
TGResult addColr(const std::filesystem::path& file) { return processCore(file); }
} // namespace tg

#include "movie/movie_loader.h"

#include <algorithm>

namespace tg {

namespace {

bool withinBounds(const TopAtom& moov, bool boundPayload) {
    // One unsigned test covers both ends of the payload bound.
    if (boundPayload) return moov.size - moov.headerSize - 8 <= MAX_MOOV - 9;
    return moov.size <= MAX_MOOV;
}

} // namespace

Result<LoadedMovie> loadMovie(const FileHandle& file, std::uint64_t fileSize,
                              MovieReading reading) {
    if (fileSize < MIN_MOVIE) return Failure{{}, "too short to be a movie"};
    LoadedMovie m;
    m.top = topLevelAtoms(file, fileSize);
    const auto moov =
        std::find_if(m.top.begin(), m.top.end(), [](const TopAtom& a) { return a.type == "moov"; });
    if (moov == m.top.end()) return Failure{NO_MOOV, "no moov atom"};
    if (!withinBounds(*moov, reading.boundPayload)) return Failure{NO_MOOV, "moov atom too large"};
    // A moov cut short by the end of the file cannot be edited safely.
    if (!fits(fileSize, moov->start, moov->size)) return Failure{NO_MOOV, "moov atom cut short"};
    // Players differ on which of two moov atoms they believe; tagging one would leave the other
    // stating the old colour.
    if (std::find_if(moov + 1, m.top.end(), [](const TopAtom& a) { return a.type == "moov"; }) !=
        m.top.end())
        return Failure{TWO_MOOV, "two moov atoms"};
    m.moovAtom = *moov;
    auto bytes = file.readFully(moov->start, moov->size);
    if (bytes.failed()) return Failure{READ_ERROR, bytes.cause()};
    m.moov = std::move(*bytes);
    m.layout = readMoovLayout(m.moov, moov->headerSize, moov->start);
    if (reading.bitstream) {
        auto layer = readBitstreamLayer(m.layout, m.moov, moov->start, file, fileSize);
        if (layer.failed()) return Failure{READ_ERROR, layer.cause()};
        m.bitstream = std::move(*layer);
    }
    return m;
}

} // namespace tg

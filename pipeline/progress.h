// What a long step reports while it runs, for the window's row and bar and the CLI's live line.
#pragma once

#include <cstdint>
#include <functional>

namespace tg {

enum class ProgressPhase {
    encoding, // a bake's re-encode
    moving,   // an in-place edit that moves a large part of a movie
};

// The fraction done, 0 to 1, of the phase; called from the thread doing the work.
using ProgressFn = std::function<void(ProgressPhase, double)>;

// Moves of up to this many bytes end too soon to be worth a progress line.
inline constexpr std::int64_t MOVING_SHOWN_ABOVE = std::int64_t(256) << 20;

// The movie tagger's move callback for a file of fileSize bytes: nothing when the file is too
// small for any move to pass MOVING_SHOWN_ABOVE, else onProgress in the moving phase.
std::function<void(double)> movingReporter(const ProgressFn& onProgress, std::int64_t fileSize);

} // namespace tg

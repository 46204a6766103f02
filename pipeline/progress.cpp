#include "pipeline/progress.h"

namespace tg {

std::function<void(double)> movingReporter(const ProgressFn& onProgress, std::int64_t fileSize) {
    if (!onProgress || fileSize <= MOVING_SHOWN_ABOVE) return {};
    return [onProgress](double f) { onProgress(ProgressPhase::moving, f); };
}

} // namespace tg

// Runs one re-encode in the tintguard-bake helper and waits for it.
#pragma once

#include "base/result.h"

#include <atomic>
#include <filesystem>
#include <functional>

namespace tg {

// Where the helper lives: $TINTGUARD_BAKE_HELPER when set, else ../libexec/tintguard beside the
// running binary's folder (the same in the build tree and an installed tree).
std::filesystem::path bakeHelperPath();

// Re-encodes the open file source into destination in a child process of its own process group,
// so that a terminal's Ctrl-C reaches only us. The child reads the very file we opened (and
// locked), whatever its name comes to mean meanwhile, and dies with the calling thread. Progress
// arrives on the calling thread. When cancel becomes true the child is ended. A failure's
// message is the short cause shown after "Re-encode failed: ". destinationMark, the descriptor
// that marks destination live, stays open in the child too: a child that outlives us by a moment
// keeps its file marked, so no other run's sweep removes it under the child, which would then
// write a new unmarked file of that name.
Status runBakeHelper(int source, const std::filesystem::path& destination, int destinationMark,
                     const std::function<void(double)>& onProgress,
                     const std::atomic<bool>* cancel = nullptr);

} // namespace tg

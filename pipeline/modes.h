// The order in which a file's chosen modes run, the same in the window and the CLI.
#pragma once

#include "model/job.h"

#include <vector>

namespace tg {

// Copy, bake, in place: the copy and the bake read the file before an in-place edit changes it.
std::vector<TGMode> orderedModes(bool inPlace, bool copy, bool bake);

} // namespace tg

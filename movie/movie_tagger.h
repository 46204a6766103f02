// Tags a movie Display P3 where it lies: patches existing colour atoms, or inserts one.
#pragma once

#include "model/job.h"

#include <filesystem>
#include <functional>

namespace tg {

// Rewrites the primaries of every nclc/nclx colour atom to Display P3, or hands over to addColr
// when there is none. HDR movies are left alone.
// onMoving, when given, hears the fraction done of an edit that moves many bytes.
TGResult processCore(const std::filesystem::path& file,
                     const std::function<void(double)>& onMoving = {});

// Whether an in-place edit of this movie was interrupted and waits for the next in-place run to
// finish or undo it. Copies and bakes refuse such a file.
bool hasInterruptedEdit(const std::filesystem::path& file);

// Inserts a 19-byte Display P3 colour atom into the first video sample entry, growing the file.
TGResult addColr(const std::filesystem::path& file);

} // namespace tg

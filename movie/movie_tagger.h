// Tags a movie Display P3 where it lies: patches existing colour atoms, or inserts one.
#pragma once

#include "model/job.h"

#include <filesystem>
#include <functional>

namespace tg {

// Tags every video sample entry of the movie Display P3 in place: rewrites the primaries of its
// nclc/nclx colour atoms, and inserts one where an entry has none. HDR movies are left alone.
// The edit holds an exclusive lock on the file and is journaled (docs/edit-safety.md); an edit
// that was interrupted is finished or undone first. onMoving, when given, hears the fraction done
// of an edit that moves more than 256 MiB.
TGResult processCore(const std::filesystem::path& file,
                     const std::function<void(double)>& onMoving = {});

// Whether an in-place edit of this movie was interrupted and waits for the next in-place run to
// finish or undo it. Copies and bakes refuse such a file.
bool hasInterruptedEdit(const std::filesystem::path& file);

// Inserts a 19-byte Display P3 colour atom into every video sample entry without a colour atom.
TGResult addColr(const std::filesystem::path& file);

} // namespace tg

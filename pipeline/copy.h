// Copies a file the cheapest way the file system allows.
#pragma once

#include "base/file.h"

namespace tg {

// Fills destination, a new empty file, with source's bytes: a clone (FICLONE) where the file
// system can, otherwise an in-kernel copy (copy_file_range). destination gets source's extended
// attributes and permission bits, plus write permission for its owner. Nothing is flushed; the
// cause of a failure is the system's description of the error.
Status copyInto(const FileHandle& source, const FileHandle& destination);

} // namespace tg

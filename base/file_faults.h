// Test instrumentation of the file layer. Inert unless a test or benchmark installs it: the
// program itself never does, and there is no way to reach it from the command line or the window.
#pragma once

#include <functional>

namespace tg {

// Everything this layer does that changes a file or a folder, or flushes one to storage.
enum class FileOp { write, resize, insertRange, collapseRange, sync };

// Which way a movie edit may grow the file: by the size rule, or forced one way.
enum class RangeInsertion { bySize, always, never };

struct FileFaults {
    // Asked before each operation; a non-zero errno value makes it fail with that error.
    std::function<int(FileOp)> before;
    // Told after each operation succeeded; a test may end the process here (_exit).
    std::function<void(FileOp)> after;
    RangeInsertion rangeInsertion = RangeInsertion::bySize;
    // Skips the free-space check before an edit, so that a full disk is met mid-edit.
    bool skipSpaceCheck = false;
    // Bytes a movie shift moves per journaled step; 0 keeps the program's own size. Lets a small
    // movie take many steps.
    unsigned long long shiftChunk = 0;
};

// Installs (or, with a default FileFaults, removes) the instrumentation for the whole process.
void setFileFaults(FileFaults faults);
const FileFaults& fileFaults();

} // namespace tg

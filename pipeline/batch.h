// A run over many files at once, as a script gives them: files overlap across a few workers, so
// that the flushes which make each one durable are not paid one after another, and their results
// come back in the order the files were given.
#pragma once

#include "pipeline/inputs.h"

#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

namespace tg {

// Workers a batch overlaps. A photo's tag is mostly waiting for its flushes, which the file system
// joins when they arrive together; more workers than this only queue behind the same disk.
inline constexpr int BATCH_WORKERS = 4;

struct BatchHooks {
    // Asked before each step starts; true starts no further one. The steps under way finish.
    std::function<bool()> stop;
    // Each input's results, one per mode that ran, on the calling thread in input order.
    std::function<void(const Input&, const std::vector<std::pair<TGMode, TGResult>>&)> onInput;
    // Progress of the earliest input still running (the one whose results are printed next);
    // called from its worker.
    ProgressFn onProgress;
    // Told when a step starts (true) and ends (false), from its worker.
    std::function<void(const Input&, TGMode, bool running)> onStep;
    // Set to end a bake's re-encode early.
    const std::atomic<bool>* cancel = nullptr;
    int workers = BATCH_WORKERS;
};

// Runs every mode, in the given order, on each input; an input's modes run one after another
// on one worker; movies are baked one at a time. Each folder is cleared of leftovers once, before
// any file in it is written.
void runBatch(const std::vector<Input>& inputs, const std::vector<TGMode>& modes,
              const BatchHooks& hooks);

// The inputs without repeats: a file named twice, through a folder and by its own name, or by
// two hard links, runs once, as the first of them. Folder lines and files that cannot be looked
// at are kept as given.
std::vector<Input> withoutRepeats(std::vector<Input> inputs);

} // namespace tg

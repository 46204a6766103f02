#include "pipeline/batch.h"

#include "pipeline/leftovers.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <thread>

namespace tg {

namespace {

// How far the workers may run ahead of the earliest unfinished input. Bounds the results held
// for printing when one long file (a bake) holds up the order.
constexpr std::size_t AHEAD = 256;

using Results = std::vector<std::pair<TGMode, TGResult>>;

class Batch {
public:
    Batch(const std::vector<Input>& inputs, const std::vector<TGMode>& modes,
          const BatchHooks& hooks)
        : inputs_(inputs), modes_(modes), hooks_(hooks) {}

    void run() {
        const int count = std::max(1, std::min<int>(hooks_.workers, int(inputs_.size())));
        std::vector<std::thread> workers;
        for (int i = 0; i < count; ++i)
            workers.emplace_back([this] { work(); });
        print();
        for (auto& worker : workers)
            worker.join();
    }

private:
    bool stopping() const { return hooks_.stop && hooks_.stop(); }

    void work() {
        for (;;) {
            std::size_t index = 0;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return taken_ < printed_ + AHEAD || ended_; });
                if (ended_ || taken_ == inputs_.size() || stopping()) {
                    ended_ = true; // inputs are taken in order: none after this one starts
                    changed_.notify_all();
                    return;
                }
                index = taken_++;
            }
            Results results = runInput(index);
            std::lock_guard lock(mutex_);
            finished_.emplace(index, std::move(results));
            changed_.notify_all();
        }
    }

    Results runInput(std::size_t index) {
        const ProgressFn progress = [this, index](ProgressPhase phase, double fraction) {
            if (hooks_.onProgress && printed_.load() == index) hooks_.onProgress(phase, fraction);
        };
        Results results;
        for (const TGMode mode : modes_) {
            // An encode already keeps every core busy: two would only share them, and the memory.
            std::unique_lock<std::mutex> oneEncode(encoding_, std::defer_lock);
            if (mode == TGMode::bake && isMovie(inputs_[index].path)) oneEncode.lock();
            if (stopping()) break; // asked while this one waited its turn, too
            if (hooks_.onStep) hooks_.onStep(inputs_[index], mode, true);
            results.emplace_back(mode, processInput(inputs_[index], mode, progress,
                                                    hooks_.cancel, &swept_));
            if (hooks_.onStep) hooks_.onStep(inputs_[index], mode, false);
        }
        return results;
    }

    // Hands each input's results over in order, as soon as it and every one before it are done.
    void print() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] {
                return finished_.count(printed_) || (ended_ && printed_ == taken_);
            });
            const auto next = finished_.find(printed_);
            if (next == finished_.end()) return; // nothing more was started
            const Results results = std::move(next->second);
            finished_.erase(next);
            lock.unlock();
            // An input stopped before its first step has nothing to say.
            if (hooks_.onInput && !results.empty()) hooks_.onInput(inputs_[printed_], results);
            lock.lock();
            ++printed_;
            changed_.notify_all();
        }
    }

    const std::vector<Input>& inputs_;
    const std::vector<TGMode>& modes_;
    const BatchHooks& hooks_;
    SweptFolders swept_;
    std::mutex encoding_; // held through a movie's bake

    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t taken_ = 0;                // inputs handed to a worker
    std::atomic<std::size_t> printed_ = 0; // inputs handed back
    bool ended_ = false;                   // no input will be taken any more
    std::map<std::size_t, Results> finished_;
};

} // namespace

void runBatch(const std::vector<Input>& inputs, const std::vector<TGMode>& modes,
              const BatchHooks& hooks) {
    if (!inputs.empty()) Batch(inputs, modes, hooks).run();
}

std::vector<Input> withoutRepeats(std::vector<Input> inputs) {
    std::set<std::pair<dev_t, ino_t>> seen;
    std::erase_if(inputs, [&](const Input& input) {
        struct stat info {};
        if (input.outcome || ::stat(input.path.c_str(), &info) != 0) return false;
        return !seen.insert({info.st_dev, info.st_ino}).second;
    });
    return inputs;
}

} // namespace tg

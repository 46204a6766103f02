// The journal of an in-place edit. It is written and flushed beside the file before the file's
// first byte changes, and only the end of the edit (finished or undone on disk) removes it. Its
// name carries a fresh UUID, ".tg_edit_<uuid>.journal", which the mark at the end of the edited
// file repeats (edit/mark.h): neither depends on the file's name, device or inode.
#pragma once

#include "base/file.h"
#include "edit/edit_plan.h"
#include "model/job.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tg {

// How the edit changes the file, cheapest first.
enum class Route : std::uint8_t {
    overwrite,   // same-length writes only (a patch)
    absorb,      // the growth is taken from padding behind the region: same length, no offset moves
    insertRange, // whole blocks inserted by the file system in front of the region
    shift,       // the tail moved by the growth, step by step, each step journaled first
};

// Everything a later run needs to finish (or undo) the edit without the process that began it.
struct Journal {
    Route route = Route::overwrite;
    TGOutcome outcome = TGOutcome::fixed; // reported when the edit is finished
    std::string id;                       // the UUID the journal's name and the mark carry
    std::string name;                     // the file's name when the edit began
    std::uint64_t markSize = 0;           // the mark past the content while the edit runs
    // Which file this is, in any state the edit can leave it in: a hash of bytes before anything
    // the edit writes, and of a window of media bytes the edit at most moves by delta.
    std::uint64_t headLength = 0;
    std::uint64_t headHash = 0;
    std::uint64_t windowAt = 0; // at its position before the edit
    std::uint64_t windowLength = 0;
    std::uint64_t windowHash = 0;
    std::uint64_t oldSize = 0;
    std::uint64_t newSize = 0;
    // Old bytes [regionStart, regionOldEnd) become `region` (rebuilt, in one write).
    std::uint64_t regionStart = 0;
    std::uint64_t regionOldEnd = 0;
    std::vector<std::uint8_t> region;
    // Everything from regionOldEnd on moves by delta.
    std::uint64_t delta = 0;
    std::uint64_t rangeAt = 0;     // where whole blocks are inserted (insertRange)
    std::uint64_t chunk = 0;       // bytes moved per step (shift)
    std::vector<Overwrite> writes; // same-length writes outside the region, at final positions
    std::vector<Extent> extents;   // the extent map before a range insertion
};

// One step of a shift: the bytes [from, from + data.size()) of the old file, about to be written
// delta bytes further on.
struct ShiftStep {
    std::uint64_t index = 0;
    std::uint64_t from = 0;
    std::vector<std::uint8_t> data;
};

// The range of old bytes step `index` of a shift moves, last block first.
struct StepRange {
    std::uint64_t from = 0;
    std::uint64_t length = 0;
};
std::uint64_t stepCount(const Journal& j);
StepRange stepRange(const Journal& j, std::uint64_t index);

// Where a journal lives, in the folder of the file when its edit began.
std::filesystem::path journalPath(const std::filesystem::path& folder, std::string_view id);
// The second name a journal's file gets beside it while the edit runs, so that a later run can
// tell whether the file still exists anywhere on its file system.
std::filesystem::path journalLinkPath(const std::filesystem::path& folder, std::string_view id);
// The UUID in a journal's file name, if it is one.
std::optional<std::string> journalIdOf(std::string_view fileName);

// The bytes of the header, and the header read back (nothing when torn, foreign or unreadable).
std::vector<std::uint8_t> encodeJournal(const Journal& j);
std::optional<Journal> decodeJournal(Bytes bytes);
// Removes the journal of an edit that has nothing left to do, with the second name it gave its
// file, and flushes the folder; true when the journal was there.
bool removeJournal(const std::filesystem::path& journal, std::string_view id);

// A journal's header read from its file, for reports and the sweep; nothing when unreadable.
std::optional<Journal> readJournal(const std::filesystem::path& path);

class JournalFile {
public:
    // Creates the journal beside the file and makes it durable (file and folder) before
    // returning: only then may the file change.
    // The journal is created by this run alone (O_EXCL, no link followed, mode 0600).
    static Result<JournalFile> create(const std::filesystem::path& path, const Journal& j);

    enum class State { valid, torn, foreign };
    // Opens an existing journal; `torn` when its header never became whole (the file was never
    // touched), `foreign` when it is not a journal this program can read. Refuses, with the
    // reason, a journal that is a link, has other names, may be written by others than the
    // edited file, or belongs to none of its owner, root, and the user running now.
    static Result<std::pair<State, JournalFile>> open(const std::filesystem::path& path,
                                                      const FileIdentity& edited);

    const std::filesystem::path& path() const { return path_; }

    const Journal& journal() const { return journal_; }

    // Records a step (alternating between two slots) and starts writing it back; flushSteps makes
    // it durable. The caller may flush other files in between.
    Status writeStep(std::uint64_t index, std::uint64_t from, Bytes data) const;
    Status flushSteps() const;
    // The steps recorded whole (at most one per slot), in order. The file may lack the last two:
    // a step's record can reach the disk before the step before it is durable in the file.
    std::vector<ShiftStep> recordedSteps() const;

    // Ends the journal: unlinks it and flushes the folder.
    Status remove();

private:
    std::uint64_t slotOffset(std::uint64_t index) const;

    std::filesystem::path path_;
    FileHandle file_;
    Journal journal_;
    std::uint64_t slotsAt_ = 0;
    std::uint64_t seed_ = 0; // the header's checksum, binding each step record to this journal
};

} // namespace tg

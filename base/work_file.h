// Files a run makes beside the ones it was given: marked live while the run holds them, so that a
// later run can tell a killed run's leftovers from another run's work in progress, and taking
// their final names in one step only when complete.
#pragma once

#include "base/file.h"

#include <filesystem>
#include <string_view>

namespace tg {

// Creates path, which must not exist yet, for reading and writing, and marks it live for as long
// as the returned handle (or a copy of its descriptor in a child) stays open. The mark is an
// flock, which never meets the record locks an edit takes (tryLock), so a run can edit its own
// working file. Where the file system allows it the file is made unnamed and then linked, so no
// other run ever sees the name without the mark. mode is subject to the umask.
Result<FileHandle> createLive(const std::filesystem::path& path, unsigned mode);

// Removes path when it is a regular file that nobody marks live and nobody holds a lock on; true
// when it was removed. Never follows a link.
bool removeIfAbandoned(const std::filesystem::path& path);

// Whether an open file other than this one holds a lock that one of `kind` would conflict with.
// Asks without taking anything.
bool lockedElsewhere(const FileHandle& file, LockKind kind);

// Copies every extended attribute (user tags, ACLs, labels) the file system lets us set, best
// effort: they belong to the file, not to one version of its bytes.
void copyExtendedAttributes(int from, int to);

// A new file under a hidden name beside its final one: prefix + UUID + "." + the final name's
// extension, in the same folder, marked live. Destroying it removes the hidden name unless
// commit() has moved it to the final one.
class PendingFile {
public:
    static Result<PendingFile> create(const std::filesystem::path& finalPath,
                                      std::string_view prefix, unsigned mode);
    PendingFile(PendingFile&& other) noexcept;
    PendingFile& operator=(PendingFile&&) = delete;
    ~PendingFile();

    const std::filesystem::path& path() const { return temp_; }
    const std::filesystem::path& finalPath() const { return final_; }
    const FileHandle& handle() const { return handle_; }

    // Flushes whatever file now has the hidden name (a tagger may have replaced it by a rename)
    // to storage, renames it over the final name, then flushes the folder. On failure the final
    // name keeps what it had. flushed: the caller has just synced the handle, and the hidden name
    // still names it, so the file's own flush is not paid twice.
    Status commit(bool flushed = false);

    // The handle, with its live mark, once committed: the file now under the final name.
    FileHandle takeHandle() { return std::move(handle_); }
    // The file now under the hidden name, put there by a rename of a tagger that hands over its
    // own open, marked handle: the mark must stay on the file that will be committed.
    void adopt(FileHandle handle) { handle_ = std::move(handle); }

private:
    PendingFile(std::filesystem::path temp, std::filesystem::path final, FileHandle handle)
        : temp_(std::move(temp)), final_(std::move(final)), handle_(std::move(handle)) {}

    std::filesystem::path temp_, final_;
    FileHandle handle_;
    bool done_ = false;
};

} // namespace tg

#include "base/work_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace tg {

namespace {

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether path names the very file open as fd, without following a link.
bool names(const std::filesystem::path& path, int fd) {
    struct stat open {
    }, named{};
    return ::fstat(fd, &open) == 0 && ::lstat(path.c_str(), &named) == 0 && sameFile(open, named);
}

bool markLive(int fd) {
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0;
}

// Unnamed first, marked, then linked under its name: nobody can catch the name unmarked. Returns
// an empty handle when the file system or a missing /proc rules this out.
Result<FileHandle> createUnnamedThenLink(const std::filesystem::path& path, unsigned mode) {
    FileHandle file(::open(folderOf(path).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode));
    if (!file.isOpen()) {
        if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) return FileHandle();
        return errnoFailure(errno);
    }
    if (!markLive(file.fd())) return errnoFailure(errno);
    const std::string self = "/proc/self/fd/" + std::to_string(file.fd());
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return file;
    if (errno == ENOENT && ::access("/proc/self/fd", F_OK) != 0) return FileHandle();
    return errnoFailure(errno);
}

// Syncs the file that now has path, through handle when it is still that file.
Status syncNamed(const std::filesystem::path& path, const FileHandle& handle) {
    if (handle.isOpen() && names(path, handle.fd())) return handle.sync();
    FileHandle now = FileHandle::openForReading(path);
    if (!now.isOpen()) now = FileHandle(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!now.isOpen()) return errnoFailure(errno);
    struct stat st {};
    if (::fstat(now.fd(), &st) != 0) return errnoFailure(errno);
    if (!S_ISREG(st.st_mode)) return Failure{{}, "not a regular file"};
    return now.sync();
}

} // namespace

Result<FileHandle> createLive(const std::filesystem::path& path, unsigned mode) {
    auto linked = createUnnamedThenLink(path, mode);
    if (linked.failed() || linked->isOpen()) return linked;

    FileHandle file(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (!file.isOpen()) return errnoFailure(errno);
    // Between the create and the mark another run's sweep may have taken the name away.
    if (!markLive(file.fd()) || !names(path, file.fd())) return errnoFailure(EAGAIN);
    return file;
}

bool lockedElsewhere(const FileHandle& file, LockKind kind) {
    struct flock probe {};
    probe.l_type = kind == LockKind::exclusive ? F_WRLCK : F_RDLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = 0;
    probe.l_len = 0;
    if (::fcntl(file.fd(), F_OFD_GETLK, &probe) != 0) return false;
    return probe.l_type != F_UNLCK;
}

bool removeIfAbandoned(const std::filesystem::path& path) {
    FileHandle file(
        ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    if (!file.isOpen()) return false;
    struct stat st {};
    if (::fstat(file.fd(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    // Taking the mark ourselves: from here on nobody can start to use the file until it is gone.
    if (!markLive(file.fd())) return false;
    if (lockedElsewhere(file, LockKind::exclusive)) return false;
    if (!names(path, file.fd())) return false;
    return ::unlink(path.c_str()) == 0;
}

void copyExtendedAttributes(int from, int to) {
    const ssize_t size = ::flistxattr(from, nullptr, 0);
    if (size <= 0) return;
    std::vector<char> names(static_cast<std::size_t>(size));
    const ssize_t got = ::flistxattr(from, names.data(), names.size());
    if (got <= 0) return;
    std::vector<char> value;
    for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
        const char* name = names.data() + at;
        at += std::strlen(name) + 1;
        const ssize_t length = ::fgetxattr(from, name, nullptr, 0);
        if (length < 0) continue;
        value.resize(static_cast<std::size_t>(length));
        const ssize_t read = ::fgetxattr(from, name, value.data(), value.size());
        if (read >= 0) ::fsetxattr(to, name, value.data(), static_cast<std::size_t>(read), 0);
    }
}

Result<PendingFile> PendingFile::create(const std::filesystem::path& finalPath,
                                        std::string_view prefix, unsigned mode) {
    // The extension, dot included, as written: taggers and muxers choose by it.
    auto temp =
        folderOf(finalPath) / (std::string(prefix) + uuidString() + finalPath.extension().string());
    auto file = createLive(temp, mode);
    if (file.failed()) return file.failure();
    return PendingFile(std::move(temp), finalPath, std::move(*file));
}

PendingFile::PendingFile(PendingFile&& other) noexcept
    : temp_(std::move(other.temp_)), final_(std::move(other.final_)),
      handle_(std::move(other.handle_)), done_(std::exchange(other.done_, true)) {}

PendingFile::~PendingFile() {
    if (!done_) removeFile(temp_);
}

Status PendingFile::commit(bool flushed) {
    if (done_) return Failure{{}, "already finished"};
    const bool onStorage = flushed && handle_.isOpen() && names(temp_, handle_.fd());
    if (!onStorage)
        if (auto synced = syncNamed(temp_, handle_); synced.failed()) return synced;
    if (::rename(temp_.c_str(), final_.c_str()) != 0) return errnoFailure(errno);
    done_ = true;
    // The new name is in place; a folder that cannot be flushed changes nothing we could undo.
    (void)syncFolder(folderOf(final_));
    return {};
}

} // namespace tg

#include "base/file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

namespace tg {

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

int FileHandle::release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void FileHandle::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

FileHandle FileHandle::openForUpdate(const std::filesystem::path& path) {
    return FileHandle(::open(path.c_str(), O_RDWR | O_CLOEXEC));
}

FileHandle FileHandle::openForReading(const std::filesystem::path& path) {
    return FileHandle(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
}

FileHandle FileHandle::createExclusive(const std::filesystem::path& path, unsigned mode) {
    return FileHandle(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
}

Failure errnoFailure(int err, std::string message) {
    return {std::move(message), errorText(err)};
}

Result<FileHandle> FileHandle::openRegular(const std::filesystem::path& path, bool writable) {
    FileHandle handle(
        ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!handle.isOpen()) return errnoFailure(errno);
    struct stat st {};
    if (::fstat(handle.fd(), &st) != 0) return errnoFailure(errno);
    if (!S_ISREG(st.st_mode)) return Failure{{}, "not a regular file"};
    const int flags = ::fcntl(handle.fd(), F_GETFL);
    if (flags < 0 || ::fcntl(handle.fd(), F_SETFL, flags & ~O_NONBLOCK) != 0)
        return errnoFailure(errno);
    return handle;
}

Status FileHandle::tryLock(LockKind kind) const {
    struct flock lock {};
    lock.l_type = kind == LockKind::exclusive ? F_WRLCK : F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0; // the whole file, however it grows
    if (::fcntl(fd_, F_OFD_SETLK, &lock) == 0) return {};
    const int err = errno == EACCES ? EAGAIN : errno;
    return errnoFailure(err);
}

bool FileHandle::isHeldElsewhere(const Status& lockStatus) {
    return lockStatus.failed() && lockStatus.cause() == errorText(EAGAIN);
}

Result<std::size_t> FileHandle::readAt(std::uint64_t off, std::span<std::uint8_t> out) const {
    std::size_t done = 0;
    while (done < out.size()) {
        if (off > std::uint64_t(INT64_MAX) - done) return errnoFailure(EOVERFLOW);
        ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, off_t(off + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return errnoFailure(errno);
        }
        if (n == 0) break;
        done += std::size_t(n);
    }
    return done;
}

Result<std::vector<std::uint8_t>> FileHandle::readFully(std::uint64_t off,
                                                        std::size_t count) const {
    std::vector<std::uint8_t> bytes(count);
    auto got = readAt(off, bytes);
    if (got.failed()) return got.failure();
    if (*got != count) return Failure{{}, "unexpected end of file"};
    return bytes;
}

Status FileHandle::writeAt(std::uint64_t off, std::span<const std::uint8_t> bytes) const {
    return writeAll(fd_, off, bytes);
}

Status writeAll(int fd, std::uint64_t off, std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        if (off > std::uint64_t(INT64_MAX) - done) return errnoFailure(EOVERFLOW);
        ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, off_t(off + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return errnoFailure(errno);
        }
        if (n == 0) return errnoFailure(EIO);
        done += std::size_t(n);
    }
    return {};
}

Status FileHandle::resize(std::uint64_t length) const {
    if (length > std::uint64_t(INT64_MAX)) return errnoFailure(EFBIG);
    auto current = size();
    if (current.failed()) return current.failure();
    if (length > *current) {
        int err = ::posix_fallocate(fd_, off_t(*current), off_t(length - *current));
        // File systems without fallocate support fall back to a plain extension.
        if (err != 0 && err != EOPNOTSUPP && err != EINVAL) return errnoFailure(err);
    }
    if (::ftruncate(fd_, off_t(length)) != 0) return errnoFailure(errno);
    return {};
}

Status FileHandle::sync() const {
    if (::fsync(fd_) != 0) return errnoFailure(errno);
    return {};
}

Result<std::uint64_t> FileHandle::size() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return errnoFailure(errno);
    return std::uint64_t(st.st_size);
}

std::int64_t fileSizeOf(const std::filesystem::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0;
    return std::int64_t(st.st_size);
}

bool isWritable(const std::filesystem::path& path) {
    return ::access(path.c_str(), W_OK) == 0;
}

bool fileExists(const std::filesystem::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool removeFile(const std::filesystem::path& path) {
    return ::unlink(path.c_str()) == 0;
}

Status syncFolder(const std::filesystem::path& folder) {
    FileHandle dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.isOpen()) return errnoFailure(errno);
    return dir.sync();
}

std::filesystem::path folderOf(const std::filesystem::path& path) {
    auto parent = path.parent_path();
    return parent.empty() ? std::filesystem::path(".") : parent;
}

std::string uuidString() {
    uuid_t id;
    uuid_generate_random(id);
    char text[37];
    uuid_unparse_upper(id, text);
    return text;
}

std::string errorText(int err) {
    return std::strerror(err);
}

} // namespace tg

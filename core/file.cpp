#include "core/file.h"

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

std::optional<std::size_t> FileHandle::readAt(std::uint64_t off,
                                              std::span<std::uint8_t> out) const {
    std::size_t done = 0;
    while (done < out.size()) {
        if (off > std::uint64_t(INT64_MAX) - done) return std::nullopt;
        ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, off_t(off + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (n == 0) break;
        done += std::size_t(n);
    }
    return done;
}

std::optional<std::vector<std::uint8_t>> FileHandle::readFully(std::uint64_t off,
                                                               std::size_t count) const {
    std::vector<std::uint8_t> bytes(count);
    auto got = readAt(off, bytes);
    if (!got || *got != count) return std::nullopt;
    return bytes;
}

bool FileHandle::writeAt(std::uint64_t off, std::span<const std::uint8_t> bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
        if (off > std::uint64_t(INT64_MAX) - done) return false;
        ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done, off_t(off + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        done += std::size_t(n);
    }
    return true;
}

bool FileHandle::resize(std::uint64_t length) const {
    if (length > std::uint64_t(INT64_MAX)) return false;
    auto current = size();
    if (!current) return false;
    if (length > *current) {
        int err = ::posix_fallocate(fd_, off_t(*current), off_t(length - *current));
        // File systems without fallocate support fall back to a plain extension.
        if (err != 0 && err != EOPNOTSUPP && err != EINVAL) return false;
    }
    return ::ftruncate(fd_, off_t(length)) == 0;
}

bool FileHandle::sync() const {
    return ::fsync(fd_) == 0;
}

std::optional<std::uint64_t> FileHandle::size() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || st.st_size < 0) return std::nullopt;
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

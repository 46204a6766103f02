#include "base/file.h"
#include "base/file_faults.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/falloc.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/uio.h>
#include <unistd.h>
#include <uuid/uuid.h>

namespace tg {

namespace {

FileFaults& faults() {
    static FileFaults installed;
    return installed;
}

// The injected failure for op, if a test asked for one.
int injected(FileOp op) {
    return faults().before ? faults().before(op) : 0;
}

Status done(FileOp op) {
    if (faults().after) faults().after(op);
    return {};
}

} // namespace

void setFileFaults(FileFaults installed) {
    faults() = std::move(installed);
}

const FileFaults& fileFaults() {
    return faults();
}

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
    return FileHandle(
        ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
}

Result<FileHandle> FileHandle::openNoFollow(const std::filesystem::path& path) {
    FileHandle handle(
        ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!handle.isOpen()) return errnoFailure(errno);
    struct stat st {};
    if (::fstat(handle.fd(), &st) != 0) return errnoFailure(errno);
    if (!S_ISREG(st.st_mode)) return Failure{{}, "not a regular file"};
    return handle;
}

Failure errnoFailure(int err, std::string message) {
    return {std::move(message), errorText(err), err};
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
    return lockStatus.is(EAGAIN);
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

Result<std::vector<std::uint8_t>> FileHandle::readAll() const {
    auto length = size();
    if (length.failed()) return length.failure();
    if (*length > SIZE_MAX) return errnoFailure(EFBIG);
    return readFully(0, std::size_t(*length));
}

Status FileHandle::writeAt(std::uint64_t off, std::span<const std::uint8_t> bytes) const {
    return writeAll(fd_, off, bytes);
}

Status writeAll(int fd, std::uint64_t off, std::span<const std::uint8_t> bytes) {
    if (int err = injected(FileOp::write)) return errnoFailure(err);
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
    return tg::done(FileOp::write);
}

namespace {

// True when copy_file_range cannot join these two files and a plain copy must do it.
bool kernelCopyDeclined(int err) {
    return err == EXDEV || err == ENOSYS || err == EOPNOTSUPP || err == EINVAL;
}

} // namespace

Status copyRange(const FileHandle& from, std::uint64_t fromOff, const FileHandle& to,
                 std::uint64_t toOff, std::uint64_t length) {
    if (fromOff > std::uint64_t(INT64_MAX) - length || toOff > std::uint64_t(INT64_MAX) - length)
        return errnoFailure(EOVERFLOW);
    std::uint64_t done = 0;
    while (done < length) {
        loff_t in = loff_t(fromOff + done), out = loff_t(toOff + done);
        const auto chunk = std::size_t(std::min<std::uint64_t>(length - done, 1u << 30));
        const ssize_t n = ::copy_file_range(from.fd(), &in, to.fd(), &out, chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && kernelCopyDeclined(errno)) break; // the plain loop goes on from `done`
        if (n < 0) return errnoFailure(errno);
        if (n == 0) return errnoFailure(EIO); // the source shrank under us
        done += std::uint64_t(n);
    }
    std::vector<std::uint8_t> buffer(std::min<std::uint64_t>(length - done, 1u << 20));
    while (done < length) {
        const auto chunk = std::size_t(std::min<std::uint64_t>(length - done, buffer.size()));
        auto got = from.readAt(fromOff + done, std::span(buffer).first(chunk));
        if (got.failed()) return got.failure();
        if (*got == 0) return errnoFailure(EIO);
        auto written = writeAll(to.fd(), toOff + done, std::span(buffer).first(*got));
        if (written.failed()) return written;
        done += *got;
    }
    return {};
}

Status readExactly(const ReadAt& read, std::uint64_t at, std::span<std::uint8_t> out) {
    auto got = read(at, out);
    if (got.failed()) return got.failure();
    if (*got != out.size()) return errnoFailure(EIO);
    return {};
}

Status FileHandle::resize(std::uint64_t length) const {
    if (length > std::uint64_t(INT64_MAX)) return errnoFailure(EFBIG);
    if (int err = injected(FileOp::resize)) return errnoFailure(err);
    auto current = size();
    if (current.failed()) return current.failure();
    if (length > *current) {
        int err = ::posix_fallocate(fd_, off_t(*current), off_t(length - *current));
        // File systems without fallocate support fall back to a plain extension.
        if (err != 0 && err != EOPNOTSUPP && err != EINVAL) return errnoFailure(err);
    }
    if (::ftruncate(fd_, off_t(length)) != 0) return errnoFailure(errno);
    return done(FileOp::resize);
}

Status FileHandle::reserve(std::uint64_t off, std::uint64_t len) const {
    if (int err = injected(FileOp::resize)) return errnoFailure(err);
    if (::fallocate(fd_, FALLOC_FL_KEEP_SIZE, off_t(off), off_t(len)) != 0 && errno != EOPNOTSUPP &&
        errno != EINVAL)
        return errnoFailure(errno);
    return done(FileOp::resize);
}

Status FileHandle::linkAs(const std::filesystem::path& name) const {
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) != 0)
        return errnoFailure(errno);
    return {};
}

Status FileHandle::truncate(std::uint64_t length) const {
    if (length > std::uint64_t(INT64_MAX)) return errnoFailure(EFBIG);
    if (int err = injected(FileOp::resize)) return errnoFailure(err);
    if (::ftruncate(fd_, off_t(length)) != 0) return errnoFailure(errno);
    return done(FileOp::resize);
}

Status FileHandle::sync() const {
    if (int err = injected(FileOp::sync)) return errnoFailure(err);
    if (::fsync(fd_) != 0) return errnoFailure(errno);
    return done(FileOp::sync);
}

void FileHandle::dropCached(std::uint64_t off, std::uint64_t len) const {
    if (off > std::uint64_t(INT64_MAX) || len > std::uint64_t(INT64_MAX) - off) return;
    ::posix_fadvise(fd_, off_t(off), off_t(len), POSIX_FADV_DONTNEED);
}

Status FileHandle::syncData() const {
    if (int err = injected(FileOp::sync)) return errnoFailure(err);
    if (::fdatasync(fd_) != 0) return errnoFailure(errno);
    return done(FileOp::sync);
}

void FileHandle::startWriteback() const {
    ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
}

bool FileHandle::isCached(std::uint64_t off) const {
    if (off > std::uint64_t(INT64_MAX)) return true;
    std::uint8_t byte = 0;
    iovec io{&byte, 1};
    return ::preadv2(fd_, &io, 1, off_t(off), RWF_NOWAIT) >= 0 || errno != EAGAIN;
}

void FileHandle::prefetch(std::uint64_t off, std::uint64_t len) const {
    if (off <= std::uint64_t(INT64_MAX) && len <= std::uint64_t(INT64_MAX) - off)
        ::posix_fadvise(fd_, off_t(off), off_t(len), POSIX_FADV_WILLNEED);
}

namespace {

Status changeRange(int fd, int mode, FileOp op, std::uint64_t off, std::uint64_t len) {
    if (off > std::uint64_t(INT64_MAX) || len > std::uint64_t(INT64_MAX) - off)
        return errnoFailure(EFBIG);
    if (int err = injected(op)) return errnoFailure(err);
    while (::fallocate(fd, mode, off_t(off), off_t(len)) != 0) {
        if (errno != EINTR) return errnoFailure(errno);
    }
    return done(op);
}

} // namespace

Status FileHandle::insertRange(std::uint64_t off, std::uint64_t len) const {
    if (fileFaults().rangeInsertion == RangeInsertion::never) return errnoFailure(EOPNOTSUPP);
    return changeRange(fd_, FALLOC_FL_INSERT_RANGE, FileOp::insertRange, off, len);
}

Status FileHandle::collapseRange(std::uint64_t off, std::uint64_t len) const {
    return changeRange(fd_, FALLOC_FL_COLLAPSE_RANGE, FileOp::collapseRange, off, len);
}

Result<std::vector<Extent>> FileHandle::extents() const {
    constexpr std::uint32_t BATCH = 256;
    std::vector<std::uint8_t> buffer(sizeof(fiemap) + BATCH * sizeof(fiemap_extent));
    auto* map = reinterpret_cast<fiemap*>(buffer.data());
    std::vector<Extent> found;
    std::uint64_t from = 0;
    for (;;) {
        std::fill(buffer.begin(), buffer.end(), 0);
        map->fm_start = from;
        map->fm_length = FIEMAP_MAX_OFFSET - from;
        map->fm_flags = FIEMAP_FLAG_SYNC;
        map->fm_extent_count = BATCH;
        if (::ioctl(fd_, FS_IOC_FIEMAP, map) != 0) return errnoFailure(errno);
        if (map->fm_mapped_extents == 0) break;
        bool last = false;
        for (std::uint32_t i = 0; i < map->fm_mapped_extents; ++i) {
            const fiemap_extent& e = map->fm_extents[i];
            found.push_back({e.fe_logical, e.fe_physical, e.fe_length, e.fe_flags});
            last = last || (e.fe_flags & FIEMAP_EXTENT_LAST) != 0;
            from = e.fe_logical + e.fe_length;
        }
        if (last || map->fm_mapped_extents < BATCH) break;
    }
    return found;
}

Result<FileIdentity> FileHandle::identity() const {
    struct statx st {};
    if (::statx(fd_, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &st) != 0)
        return errnoFailure(errno);
    FileIdentity id;
    id.device = (std::uint64_t(st.stx_dev_major) << 32) | st.stx_dev_minor;
    id.inode = st.stx_ino;
    id.size = st.stx_size;
    id.mtimeNs = std::int64_t(st.stx_mtime.tv_sec) * 1000000000 + st.stx_mtime.tv_nsec;
    id.allocated = std::uint64_t(st.stx_blocks) * 512;
    id.owner = st.stx_uid;
    id.mode = st.stx_mode & 07777;
    id.links = st.stx_nlink;
    if (st.stx_mask & STATX_BTIME)
        id.birthNs = std::int64_t(st.stx_btime.tv_sec) * 1000000000 + st.stx_btime.tv_nsec;
    return id;
}

Result<FileSystemInfo> FileHandle::fileSystem() const {
    struct statfs fs {};
    if (::fstatfs(fd_, &fs) != 0) return errnoFailure(errno);
    FileSystemInfo info;
    info.type = std::uint64_t(fs.f_type);
    info.blockSize = std::uint64_t(fs.f_bsize);
    std::uint64_t free = 0;
    if (__builtin_mul_overflow(std::uint64_t(fs.f_bavail), std::uint64_t(fs.f_bsize), &free))
        free = UINT64_MAX;
    info.freeBytes = free;
    constexpr std::uint64_t BCACHEFS = 0xca451a4e, ZFS = 0x2fc12fc1;
    if (info.type == BTRFS_SUPER_MAGIC || info.type == BCACHEFS || info.type == ZFS) {
        int flags = 0;
        const bool noCow = ::ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_NOCOW_FL);
        info.copyOnWrite = !noCow;
    } else if (info.type == XFS_SUPER_MAGIC) {
        // XFS rewrites shared (reflinked) blocks into new ones, as a copy-on-write file system
        // does.
        auto map = extents();
        info.copyOnWrite = map.ok() && std::any_of(map->begin(), map->end(), [](const Extent& e) {
                               return (e.flags & FIEMAP_EXTENT_SHARED) != 0;
                           });
    }
    return info;
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

// File-system services: descriptors owned by RAII, positioned reads and writes (no seek state, so
// a failed seek can never redirect a write), and the small path and file queries processing needs.
#pragma once

#include "base/result.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tg {

enum class LockKind { shared, exclusive };

// Reads up to out.size() bytes at absolute offset `at`; fewer only at the end of the file.
using ReadAt = std::function<Result<std::size_t>(std::uint64_t at, std::span<std::uint8_t> out)>;

// Who a file is, from its open descriptor: a path can be replaced between two looks, a descriptor
// cannot.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t mtimeNs = 0;            // modification time, nanoseconds since the epoch
    std::optional<std::int64_t> birthNs; // creation time where the file system keeps one
    std::uint64_t allocated = 0;         // bytes of storage it holds: less than size when sparse
    std::uint32_t owner = 0;             // user id
    std::uint32_t mode = 0;              // permission bits
    std::uint32_t links = 1;             // names the file has
};

// One mapped range of a file (FIEMAP): logical offset, physical offset on the device, length.
struct Extent {
    std::uint64_t logical = 0;
    std::uint64_t physical = 0;
    std::uint64_t length = 0;
    std::uint32_t flags = 0; // FIEMAP_EXTENT_* bits
    bool operator==(const Extent&) const = default;
};

// What the file system under a descriptor offers.
struct FileSystemInfo {
    std::uint64_t type = 0;      // statfs f_type
    std::uint64_t blockSize = 0; // the unit of range insertion and allocation
    std::uint64_t freeBytes = 0; // for unprivileged users
    // Every overwrite lands in new blocks (btrfs, bcachefs, ZFS), unless the file opted out; on
    // XFS, when the file shares blocks with another (a reflinked copy).
    bool copyOnWrite = false;
};

// Owns one file descriptor; closes it on destruction. Closing never changes a result.
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(int fd) : fd_(fd) {}
    FileHandle(FileHandle&& other) noexcept : fd_(other.release()) {}
    FileHandle& operator=(FileHandle&& other) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() { reset(); }

    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    int release();
    void reset();

    // Opens an existing file for reading and writing, without truncation.
    static FileHandle openForUpdate(const std::filesystem::path& path);
    static FileHandle openForReading(const std::filesystem::path& path);
    // Opens a regular file without following a FIFO or device into a blocking open: anything but
    // a regular file fails (cause "not a regular file") before a byte is read. writable asks for
    // O_RDWR.
    static Result<FileHandle> openRegular(const std::filesystem::path& path, bool writable);
    // Creates a new file that must not exist yet (O_EXCL), for writing.
    static FileHandle createExclusive(const std::filesystem::path& path, unsigned mode = 0644);
    // Opens an existing regular file for reading and writing without following a final link.
    static Result<FileHandle> openNoFollow(const std::filesystem::path& path);

    // Reads up to out.size() bytes at off; fewer only at end of file.
    Result<std::size_t> readAt(std::uint64_t off, std::span<std::uint8_t> out) const;
    // Reads exactly count bytes at off; end of file first is a failure.
    Result<std::vector<std::uint8_t>> readFully(std::uint64_t off, std::size_t count) const;
    // The whole file, from its first byte to its current size.
    Result<std::vector<std::uint8_t>> readAll() const;
    // Writes all bytes at off, or fails.
    Status writeAt(std::uint64_t off, std::span<const std::uint8_t> bytes) const;
    // Sets the length; added bytes read as zero. Space is reserved first, so a full disk fails
    // here and not on a later write into a sparse hole.
    Status resize(std::uint64_t length) const;
    // Reserves storage for [off, off + len) without changing the length, where the file system
    // can; a full disk fails here.
    Status reserve(std::uint64_t off, std::uint64_t len) const;
    // Gives the open file one more name (in the same file system), without a path race.
    Status linkAs(const std::filesystem::path& name) const;
    Status sync() const;
    // Drops the clean cached pages of [off, off + len). Only a hint: the page cache may hold a
    // file in large folios, and a one-byte write into one dirties (and writes back) all of it.
    void dropCached(std::uint64_t off, std::uint64_t len) const;
    // Flushes the data (and the size, when it changed) without other metadata.
    Status syncData() const;
    // Starts writing dirty pages back without waiting, so that a later syncData finds less to do.
    // A hint only: it promises nothing about durability.
    void startWriteback() const;
    // Asks for [off, off + len) to be read into the page cache in the background. A hint only.
    void prefetch(std::uint64_t off, std::uint64_t len) const;
    // Whether the byte at off is in the page cache (a read there would not wait for the disk).
    // Unknown is reported as cached.
    bool isCached(std::uint64_t off) const;
    // Opens a hole of len bytes at off, moving everything from off on by len (ext4, XFS). off and
    // len must be multiples of the block size. Fails with EOPNOTSUPP where unsupported.
    Status insertRange(std::uint64_t off, std::uint64_t len) const;
    // The inverse: removes [off, off + len), moving the rest back.
    Status collapseRange(std::uint64_t off, std::uint64_t len) const;
    // Shortens or lengthens the file without reserving space; only recovery shrinks a file.
    Status truncate(std::uint64_t length) const;
    // The file's extent map, after flushing its dirty pages so that the map is final.
    Result<std::vector<Extent>> extents() const;
    Result<FileIdentity> identity() const;
    Result<FileSystemInfo> fileSystem() const;
    // An advisory whole-file lock tied to this open file (an open-file-description lock), taken
    // without waiting. Fails with EAGAIN's text when another open file holds a conflicting one,
    // in this process or any other; released when the handle closes.
    Status tryLock(LockKind kind) const;
    // Whether the failure of tryLock means another holder rather than an error.
    static bool isHeldElsewhere(const Status& lockStatus);
    Result<std::uint64_t> size() const;

private:
    int fd_ = -1;
};

// Writes all bytes at off of a descriptor, retrying short writes and interruptions.
Status writeAll(int fd, std::uint64_t off, std::span<const std::uint8_t> bytes);

// Copies length bytes of `from` at fromOff to `to` at toOff: in the kernel where it can, else
// through one small buffer, so memory stays flat whatever the length. A source that ends before
// the range does fails with EIO.
Status copyRange(const FileHandle& from, std::uint64_t fromOff, const FileHandle& to,
                 std::uint64_t toOff, std::uint64_t length);

// Reads exactly out.size() bytes at `at` through a ReadAt; a short read fails with EIO.
Status readExactly(const ReadAt& read, std::uint64_t at, std::span<std::uint8_t> out);

// Size in bytes of the file at path, 0 when it cannot be read.
std::int64_t fileSizeOf(const std::filesystem::path& path);

// access(W_OK) on the path itself.
bool isWritable(const std::filesystem::path& path);
bool fileExists(const std::filesystem::path& path);

// Removes a file; failure is ignored by callers, but reported here for tests.
bool removeFile(const std::filesystem::path& path);

// Flushes a folder's entries (a rename or a new name inside it) to storage.
Status syncFolder(const std::filesystem::path& folder);

// The folder holding path ("." for a bare name), so that access() and statvfs() see a real path.
std::filesystem::path folderOf(const std::filesystem::path& path);

// A fresh random UUID in its 36-character upper-case text form.
std::string uuidString();

// strerror text for an errno value.
std::string errorText(int err);

} // namespace tg

#include "pipeline/copy.h"

#include "base/work_file.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tg {

namespace {

// Copies every byte in the kernel; falls back to read/write where copy_file_range cannot
// cross the two file systems.
int copyContents(int in, int out, std::uint64_t size) {
    std::uint64_t done = 0;
    while (done < size) {
        loff_t inOff = loff_t(done), outOff = loff_t(done);
        std::size_t chunk = std::size_t(std::min<std::uint64_t>(size - done, 1u << 30));
        ssize_t n = ::copy_file_range(in, &inOff, out, &outOff, chunk, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL)
                break; // fall through to the plain loop from `done`
            return errno;
        }
        if (n == 0) return EIO; // the source shrank under us
        done += std::uint64_t(n);
    }
    std::vector<char> buf(1 << 20);
    while (done < size) {
        ssize_t n = ::pread(in, buf.data(), buf.size(), off_t(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;
        const auto written = writeAll(
            out, done, {reinterpret_cast<const std::uint8_t*>(buf.data()), std::size_t(n)});
        if (written.failed()) return errno ? errno : EIO;
        done += std::uint64_t(n);
    }
    return 0;
}

} // namespace

Status copyInto(const FileHandle& source, const FileHandle& destination) {
    struct stat st {};
    if (::fstat(source.fd(), &st) != 0) return errnoFailure(errno);
    if (!S_ISREG(st.st_mode)) return Failure{{}, "not a regular file"};
    int err = 0;
    if (::ioctl(destination.fd(), FICLONE, source.fd()) != 0)
        err = copyContents(source.fd(), destination.fd(), std::uint64_t(st.st_size));
    if (err != 0) return errnoFailure(err);
    copyExtendedAttributes(source.fd(), destination.fd());
    // The owner must be able to tag the copy even when the master is read-only.
    if (::fchmod(destination.fd(), (st.st_mode & 07777) | S_IWUSR) != 0) return errnoFailure(errno);
    return {};
}

} // namespace tg

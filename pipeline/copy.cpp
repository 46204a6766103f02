#include "pipeline/copy.h"

#include "base/work_file.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tg {

Status copyInto(const FileHandle& source, const FileHandle& destination) {
    struct stat st {};
    if (::fstat(source.fd(), &st) != 0) return errnoFailure(errno);
    if (!S_ISREG(st.st_mode)) return Failure{{}, "not a regular file"};
    if (::ioctl(destination.fd(), FICLONE, source.fd()) != 0) {
        auto copied = copyRange(source, 0, destination, 0, std::uint64_t(st.st_size));
        if (copied.failed()) return copied;
    }
    copyExtendedAttributes(source.fd(), destination.fd());
    // The owner must be able to tag the copy even when the master is read-only.
    if (::fchmod(destination.fd(), (st.st_mode & 07777) | S_IWUSR) != 0) return errnoFailure(errno);
    return {};
}

} // namespace tg

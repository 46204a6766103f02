#include "image/image_io.h"

#include "core/file.h"

#include <sys/stat.h>

#include <cerrno>
#include <unistd.h>

namespace tg {

std::optional<std::vector<std::uint8_t>> readWholeFile(const std::filesystem::path& path) {
    FileHandle fh = FileHandle::openForReading(path);
    if (!fh.isOpen()) return std::nullopt;
    struct stat st {};
    if (::fstat(fh.fd(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return std::nullopt;
    return fh.readFully(0, std::size_t(st.st_size));
}

bool writeAll(int fd, std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, off_t(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += std::size_t(n);
    }
    return true;
}

} // namespace tg

#include "image/image_io.h"

#include "base/file.h"

#include <sys/stat.h>

#include <cerrno>
#include <unistd.h>

namespace tg {

std::optional<std::vector<std::uint8_t>> readWholeFile(const std::filesystem::path& path) {
    FileHandle fh = FileHandle::openForReading(path);
    if (!fh.isOpen()) return std::nullopt;
    struct stat st {};
    if (::fstat(fh.fd(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return std::nullopt;
    auto bytes = fh.readFully(0, std::size_t(st.st_size));
    if (bytes.failed()) return std::nullopt;
    return std::move(*bytes);
}

} // namespace tg

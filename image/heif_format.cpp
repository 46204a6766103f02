// HEIF, HEIC and AVIF: re-labelled at the container level. The box tree is rewritten around the
// coded image data, which is copied from the source byte for byte, so every picture decodes
// exactly as before; no codec is involved.
#include "base/file.h"
#include "image/formats.h"
#include "image/heif_plan.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace tg {

namespace {

struct Opened {
    FileHandle fd;
    std::uint64_t size = 0;
    std::optional<heif::Source> source;
};

Opened open(const std::filesystem::path& path) {
    Opened o;
    o.fd = FileHandle::openForReading(path);
    struct stat st {};
    if (!o.fd.isOpen() || ::fstat(o.fd.fd(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0)
        return o;
    o.size = std::uint64_t(st.st_size);
    const int fd = o.fd.fd();
    o.source = heif::readSource(
        [fd](std::uint64_t at, std::span<std::uint8_t> out) {
            std::size_t done = 0;
            while (done < out.size()) {
                const ssize_t n =
                    ::pread(fd, out.data() + done, out.size() - done, off_t(at + done));
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) return false;
                done += std::size_t(n);
            }
            return true;
        },
        o.size);
    return o;
}

bool writeFully(int fd, std::span<const std::uint8_t> bytes, std::uint64_t at) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, off_t(at + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += std::size_t(n);
    }
    return true;
}

// In the kernel where it can; otherwise through one small buffer, so memory stays flat whatever
// the size of the picture.
bool copyRange(int in, int out, const heif::Run& run) {
    std::uint64_t done = 0;
    while (done < run.length) {
        loff_t from = loff_t(run.from + done), to = loff_t(run.to + done);
        const auto chunk = std::size_t(std::min<std::uint64_t>(run.length - done, 1u << 30));
        const ssize_t n = ::copy_file_range(in, &from, out, &to, chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL))
            break;
        if (n <= 0) return false;
        done += std::uint64_t(n);
    }
    std::vector<std::uint8_t> buffer(std::size_t{1} << 20);
    while (done < run.length) {
        const auto chunk = std::size_t(std::min<std::uint64_t>(run.length - done, buffer.size()));
        const ssize_t n = ::pread(in, buffer.data(), chunk, off_t(run.from + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (!writeFully(out, std::span(buffer).first(std::size_t(n)), run.to + done)) return false;
        done += std::uint64_t(n);
    }
    return true;
}

} // namespace

ImageInfo inspectHeif(const std::filesystem::path& source) {
    const Opened o = open(source);
    if (!o.source) return {};
    return {heif::planTagging(*o.source).check, std::nullopt};
}

// The primary item's colour properties; an ICC profile and nclx codes may both be there.
ColourSignal colourOfHeif(const std::filesystem::path& source) {
    const Opened o = open(source);
    if (!o.source) return {};
    const auto* pitm = o.source->meta.find<heif::Pitm>();
    const auto* iprp = o.source->meta.find<heif::Iprp>();
    if (!pitm || !iprp) return {};
    ColourSignal s;
    for (const auto& ipma : iprp->ipma)
        for (const auto& entry : ipma.entries) {
            if (entry.itemId != pitm->itemId) continue;
            for (const auto& a : entry.props) {
                if (a.index == 0 || a.index > iprp->ipco.size()) continue;
                const heif::Property& p = iprp->ipco[a.index - 1];
                if (const auto n = heif::nclxOf(p); n && !s.cicp)
                    s.cicp = std::array<std::uint16_t, 3>{n->primaries, n->transfer, n->matrix};
                else if (const heif::Bytes icc = heif::iccOf(p); !icc.empty() && !s.icc)
                    s.icc = std::vector<std::uint8_t>(icc.begin(), icc.end());
            }
        }
    return s;
}

bool writeHeif(const std::filesystem::path& source, const ImageInfo&, int out) {
    const Opened o = open(source);
    if (!o.source) return false;
    const heif::Plan plan = heif::planTagging(*o.source);
    if (plan.check != ImageCheck::taggable || !writeFully(out, plan.head, 0)) return false;
    for (const auto& run : plan.runs)
        if (!copyRange(o.fd.fd(), out, run)) return false;
    // The source must not have changed under us: the copy ends where the plan says.
    struct stat st {};
    return ::fstat(out, &st) == 0 && std::uint64_t(st.st_size) == plan.size;
}

} // namespace tg

#include "image/image_tagger.h"

#include "base/bytes.h"
#include "base/file.h"
#include "base/work_file.h"
#include "image/formats.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace tg {

namespace {

using Format = ImageFormat;

bool hasPrefix(std::span<const std::uint8_t> b, std::string_view magic) {
    return b.size() >= magic.size() && std::memcmp(b.data(), magic.data(), magic.size()) == 0;
}

// Still images of the HEIF family (HEIC, AVIF); image sequences are recognised so that they are
// refused as such rather than called unreadable.
bool isHeifBrand(std::string_view brand) {
    constexpr std::array<std::string_view, 12> BRANDS = {"heic", "heix", "heim", "heis",
                                                         "mif1", "miaf", "avif", "heif",
                                                         "msf1", "avis", "hevc", "hevx"};
    for (auto b : BRANDS)
        if (brand == b) return true;
    return false;
}

// ISO-BMFF: the ftyp box names a major brand and a list of compatible ones.
Format classifyFtyp(std::span<const std::uint8_t> b) {
    if (b.size() < 16 || !hasPrefix(b.subspan(4), "ftyp")) return Format::none;
    const std::uint32_t boxSize = u32(b, 0);
    const std::size_t end = std::min<std::size_t>(boxSize, b.size());
    const auto brandAt = [&](std::size_t off) {
        return std::string_view(reinterpret_cast<const char*>(b.data()) + off, 4);
    };
    if (isHeifBrand(brandAt(8))) return Format::heif;
    for (std::size_t off = 16; off + 4 <= end; off += 4)
        if (isHeifBrand(brandAt(off))) return Format::heif;
    return Format::none;
}

// "BM" alone is too common a start for text; the reserved fields and header size must fit too.
bool isBmp(std::span<const std::uint8_t> b) {
    if (b.size() < 18 || !hasPrefix(b, "BM")) return false;
    if (b[6] | b[7] | b[8] | b[9]) return false;
    const auto header = readUnsigned(b, 14, 4, false);
    return header == 12 || header == 40 || header == 52 || header == 56 || header == 64 ||
           header == 108 || header == 124;
}

} // namespace

// The type comes from the content, as an image source reports it, never from the name.
ImageFormat sniffFormat(std::span<const std::uint8_t> b) {
    if (b.size() >= 3 && b[0] == 0xFF && b[1] == 0xD8 && b[2] == 0xFF) return Format::jpeg;
    if (hasPrefix(b, "\x89PNG\r\n\x1a\n")) return Format::png;
    if (hasPrefix(b, std::string_view("II*\0", 4)) || hasPrefix(b, std::string_view("MM\0*", 4)) ||
        hasPrefix(b, std::string_view("II+\0", 4)) || hasPrefix(b, std::string_view("MM\0+", 4)))
        return Format::tiff;
    if (const Format f = classifyFtyp(b); f != Format::none) return f;
    // Images we recognise but do not write.
    if (hasPrefix(b, "GIF87a") || hasPrefix(b, "GIF89a") || isBmp(b) ||
        (hasPrefix(b, "RIFF") && b.size() >= 12 && hasPrefix(b.subspan(8), "WEBP")))
        return Format::other;
    return Format::none;
}

namespace {

ImageInfo inspect(Format f, const std::filesystem::path& p) {
    switch (f) {
    case Format::jpeg:
        return inspectJpeg(p);
    case Format::png:
        return inspectPng(p);
    case Format::tiff:
        return inspectTiff(p);
    case Format::heif:
        return inspectHeif(p);
    case Format::other:
        return {ImageCheck::taggable, std::nullopt};
    case Format::none:
        break;
    }
    return {};
}

bool write(Format f, const std::filesystem::path& p, const ImageInfo& info, int out) {
    switch (f) {
    case Format::jpeg:
        return writeJpeg(p, info, out);
    case Format::png:
        return writePng(p, info, out);
    case Format::tiff:
        return writeTiff(p, info, out);
    case Format::heif:
        return writeHeif(p, info, out);
    case Format::other:
    case Format::none:
        break;
    }
    return false;
}

// Makes the finished temporary file look like the original before it takes its place: the same
// permission bits and, where we may, the same owner (root replacing a user's photo must not
// leave it owned by root).
bool matchOriginal(int fd, const struct stat& original) {
    if (::fchown(fd, original.st_uid, original.st_gid) != 0 && errno != EPERM) return false;
    return ::fchmod(fd, original.st_mode & 07777) == 0;
}

} // namespace

namespace {

const char* const TAGGED = "Tagged \u2192 Display-P3";

// Everything processImageCore knows before it writes: the photo it would replace and, when it
// stops before writing, the result it gives.
struct Decision {
    std::string name;
    std::filesystem::path target;
    struct stat st {};
    Format format = Format::none;
    ImageInfo info;
    FileHandle in;
    std::optional<TGResult> final;
};

Decision decide(const std::filesystem::path& file) {
    Decision d;
    d.name = file.filename().string();
    const auto fail = [&](const char* message) {
        d.final = TGResult(d.name, TGOutcome::error, message);
        return std::move(d);
    };

    // A link is followed: the photo it points to is replaced inside its own folder and the link
    // keeps pointing at it, instead of the link itself turning into a file.
    std::error_code ec;
    d.target = std::filesystem::canonical(file, ec);
    if (ec || ::stat(d.target.c_str(), &d.st) != 0 || !S_ISREG(d.st.st_mode))
        return fail("Can't read image");

    std::array<std::uint8_t, 64> head{};
    d.in = FileHandle::openForReading(d.target);
    if (!d.in.isOpen()) return fail("Can't read image");
    const auto got = d.in.readAt(0, head);
    if (got.failed()) return fail("Can't read image");
    d.format = sniffFormat(std::span(head).first(*got));

    d.info = inspect(d.format, d.target);
    switch (d.info.check) {
    case ImageCheck::unreadable:
        return fail("Can't read image");
    case ImageCheck::alreadyP3:
        d.final = TGResult(d.name, TGOutcome::already, "Already Display-P3");
        return d;
    case ImageCheck::notRgb:
    case ImageCheck::refused:
        return fail("Couldn't tag image");
    case ImageCheck::taggable:
        break;
    }
    if (d.format == Format::other) return fail("Unknown image type");
    return d;
}

} // namespace

TGResult wouldTagImage(const std::filesystem::path& file) {
    Decision d = decide(file);
    if (d.final) return std::move(*d.final);
    return {d.name, TGOutcome::fixed, TAGGED};
}

TGResult processImageCore(const std::filesystem::path& file) {
    Decision d = decide(file);
    if (d.final) return std::move(*d.final);
    const std::string& name = d.name;
    const auto fail = [&](const char* message) {
        return TGResult(name, TGOutcome::error, message);
    };

    const std::string ext = extensionOf(file);
    const auto temp =
        folderOf(d.target) / (".tg_img_" + uuidString() + (ext.empty() ? "" : "." + ext));
    // Marked live while we hold it, so another run's sweep of leftovers leaves it alone.
    auto created = createLive(temp, 0600);
    if (created.failed()) return fail("Write init failed");
    FileHandle out = std::move(*created);

    copyExtendedAttributes(d.in.fd(), out.fd());
    if (!write(d.format, d.target, d.info, out.fd()) || !matchOriginal(out.fd(), d.st) ||
        out.sync().failed()) {
        out.reset();
        removeFile(temp);
        return fail("Write failed");
    }
    if (::rename(temp.c_str(), d.target.c_str()) != 0) {
        removeFile(temp);
        return fail("Replace failed");
    }
    out.reset();
    (void)syncFolder(folderOf(d.target));
    return {name, TGOutcome::fixed, TAGGED};
}

} // namespace tg

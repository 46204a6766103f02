#include "image/image_tagger.h"

#include "base/file.h"
#include "base/work_file.h"
#include "image/formats.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <optional>

namespace tg {

namespace {

// Makes the finished temporary file look like the original before it takes its place: the same
// permission bits and, where we may, the same owner (root replacing a user's photo must not
// leave it owned by root).
Status matchOriginal(const FileHandle& file, const struct stat& original) {
    if (::fchown(file.fd(), original.st_uid, original.st_gid) != 0 && errno != EPERM)
        return errnoFailure(errno);
    if (::fchmod(file.fd(), original.st_mode & 07777) != 0) return errnoFailure(errno);
    return {};
}

const char* const TAGGED = "Tagged \u2192 Display-P3";

// Everything processImageCore knows before it writes: the photo it would replace and, when it
// stops before writing, the result it gives.
struct Decision {
    std::string name;
    std::filesystem::path target;
    struct stat st {};
    const PhotoFormat* format = nullptr;
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
    const ImageFormat sniffed = sniffFormat(std::span(head).first(*got));
    d.format = photoFormatOf(sniffed);
    if (!d.format)
        return fail(sniffed == ImageFormat::other ? "Unknown image type" : "Can't read image");

    d.info = d.format->decide(d.in);
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
    return d;
}

// The re-labelled photo in the hidden file, complete, with the original's owner and mode, and
// on storage.
Status writeTagged(const Decision& d, const FileHandle& out) {
    copyExtendedAttributes(d.in.fd(), out.fd());
    if (auto written = d.format->write(d.in, d.info, out); written.failed()) return written;
    if (auto matched = matchOriginal(out, d.st); matched.failed()) return matched;
    return out.sync();
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
    const auto fail = [&](const char* message, const Status& why) {
        TGResult r(d.name, TGOutcome::error, message);
        if (!why.cause().empty()) r.detail = why.cause();
        return r;
    };

    // Marked live while we hold it, so another run's sweep of leftovers leaves it alone; removed
    // unless it takes the photo's place.
    auto pending = PendingFile::create(d.target, ".tg_img_", 0600);
    if (pending.failed()) return fail("Write init failed", pending.failure());
    if (auto written = writeTagged(d, pending->handle()); written.failed())
        return fail("Write failed", written);
    if (auto replaced = pending->commit(); replaced.failed()) return fail("Replace failed", replaced);
    return {d.name, TGOutcome::fixed, TAGGED};
}

} // namespace tg

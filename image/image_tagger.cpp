#include "image/image_tagger.h"

#include "base/file.h"
#include "base/work_file.h"
#include "image/formats.h"

#include <fcntl.h>
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
const char* const CHANGED_WHILE_TAGGED =
    "Changed by another program while being tagged \u2014 left as it was";

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

// Opens the photo for a tag: for writing where we may, so that the lock can be exclusive (a
// photo we may only read is still replaced by a rename; its runs share the lock and rely on the
// checks before the rename).
Result<FileHandle> openLocked(const std::filesystem::path& file) {
    // A run that held the lock before us may have renamed a new photo over the name: then the
    // file we locked is no longer the photo, and the new one is what to read.
    for (int attempt = 0; attempt < 3; ++attempt) {
        auto opened = FileHandle::openRegular(file, true);
        if (opened.failed() && (opened.failure().is(EACCES) || opened.failure().is(EPERM) ||
                                opened.failure().is(EROFS)))
            opened = FileHandle::openRegular(file, false);
        if (opened.failed()) return opened;
        auto locked = opened->tryLock(LockKind::exclusive);
        if (locked.failed() && locked.failure().is(EBADF))
            locked = opened->tryLock(LockKind::shared);
        if (locked.failed()) return locked.failure();
        struct stat open {
        }, named{};
        if (::fstat(opened->fd(), &open) == 0 && ::stat(file.c_str(), &named) == 0 &&
            open.st_dev == named.st_dev && open.st_ino == named.st_ino)
            return opened;
    }
    return errnoFailure(EAGAIN);
}

// `opened`, when given, is the photo already open for reading (an inspection's): it is read
// through a duplicate of that descriptor instead of being opened again.
Decision decide(const std::filesystem::path& file, bool forTag,
                const FileHandle* opened = nullptr) {
    Decision d;
    d.name = file.filename().string();
    const auto fail = [&](const char* message, std::string why) {
        d.final = TGResult(d.name, TGOutcome::error, message);
        d.final->detail = why.empty() ? "read failed" : std::move(why);
        return std::move(d);
    };
    const auto failErrno = [&](const char* message) { return fail(message, errorText(errno)); };

    // A link is followed: the photo it points to is replaced inside its own folder and the link
    // keeps pointing at it, instead of the link itself turning into a file. Only a link is
    // resolved: a path through linked folders already names the real folder.
    std::error_code ec;
    d.target = std::filesystem::is_symlink(file, ec) ? std::filesystem::canonical(file, ec) : file;
    if (ec) return fail(CANT_READ_IMAGE, ec.message());
    if (::stat(d.target.c_str(), &d.st) != 0) return failErrno(CANT_READ_IMAGE);
    if (!S_ISREG(d.st.st_mode)) return fail(CANT_READ_IMAGE, "not a regular file");

    std::array<std::uint8_t, 64> head{};
    if (forTag) {
        auto opened = openLocked(d.target);
        if (opened.failed() && FileHandle::isHeldElsewhere(opened.failure()))
            return fail(IN_USE_MESSAGE, "locked by another run");
        if (opened.failed()) return fail(CANT_READ_IMAGE, opened.failure().cause);
        d.in = std::move(*opened);
        // What we read is what we replace: the checks before the rename compare against this.
        if (::fstat(d.in.fd(), &d.st) != 0) return failErrno(CANT_READ_IMAGE);
    } else {
        d.in = opened ? FileHandle(::fcntl(opened->fd(), F_DUPFD_CLOEXEC, 0))
                      : FileHandle::openForReading(d.target);
        if (!d.in.isOpen()) return failErrno(CANT_READ_IMAGE);
    }
    const auto got = d.in.readAt(0, head);
    if (got.failed()) return fail(CANT_READ_IMAGE, got.failure().cause);
    const ImageFormat sniffed = sniffFormat(std::span(head).first(*got));
    d.format = photoFormatOf(sniffed);
    if (sniffed == ImageFormat::other)
        return fail("Unknown image type", "not a JPEG, PNG, TIFF, HEIF or WebP image");
    if (!d.format)
        return fail(CANT_READ_IMAGE, *got == 0 ? "empty file" : "not an image we recognise");

    d.info = d.format->decide(d.in);
    switch (d.info.check) {
    case ImageCheck::unreadable:
        return fail(CANT_READ_IMAGE, d.info.reason);
    case ImageCheck::alreadyP3:
        d.final = TGResult(d.name, TGOutcome::already, "Already Display-P3");
        return d;
    case ImageCheck::notRgb:
    case ImageCheck::refused:
        d.final = TGResult(d.name, TGOutcome::error, "Couldn't tag image");
        d.final->detail = !d.info.reason.empty()               ? d.info.reason
                          : d.info.check == ImageCheck::notRgb ? "not an RGB image"
                                                               : "cannot be re-labelled safely";
        return d;
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

bool changedSince(const Decision& d) {
    struct stat now {
    }, named{};
    if (::fstat(d.in.fd(), &now) != 0 || ::stat(d.target.c_str(), &named) != 0) return true;
    return now.st_size != d.st.st_size || now.st_mtim.tv_sec != d.st.st_mtim.tv_sec ||
           now.st_mtim.tv_nsec != d.st.st_mtim.tv_nsec || named.st_dev != now.st_dev ||
           named.st_ino != now.st_ino;
}

} // namespace

TGResult wouldTagImage(const std::filesystem::path& file, const FileHandle* opened) {
    Decision d = decide(file, false, opened);
    if (d.final) return std::move(*d.final);
    return {d.name, TGOutcome::fixed, TAGGED};
}

TGResult processImageCore(const std::filesystem::path& file, FileHandle* committed) {
    Decision d = decide(file, true);
    if (d.final) return std::move(*d.final);
    const auto fail = [&](const char* message, const Status& why) {
        TGResult r(d.name, TGOutcome::error, message);
        const Failure& f = why.failure();
        r.detail = !f.cause.empty() ? f.cause : !f.message.empty() ? f.message : "failed";
        return r;
    };

    // Marked live while we hold it, so another run's sweep of leftovers leaves it alone; removed
    // unless it takes the photo's place.
    auto pending = PendingFile::create(d.target, ".tg_img_", 0600);
    if (pending.failed()) return fail("Write init failed", pending.failure());
    if (auto written = writeTagged(d, pending->handle()); written.failed())
        return fail("Write failed", written);
    // Another program may have gone on writing the photo, or replaced it, while we read it: its
    // bytes would go to a file nobody sees any more.
    if (changedSince(d)) {
        TGResult r(d.name, TGOutcome::error, CHANGED_WHILE_TAGGED);
        r.detail = "changed while being read";
        return r;
    }
    if (auto replaced = pending->commit(/*flushed=*/true); replaced.failed())
        return fail("Replace failed", replaced);
    if (committed) *committed = pending->takeHandle();
    return {d.name, TGOutcome::fixed, TAGGED};
}

} // namespace tg

// TIFF: the first page is re-labelled by copying its strips or tiles byte for byte under a new,
// minimal directory that carries the Display P3 profile. No pixel is decoded or re-encoded, so the
// result is exact for every compression libtiff can name, and the work is a file copy.
#include "base/file.h"
#include "base/owned.h"
#include "image/display_p3.h"
#include "image/formats.h"

#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <tuple>
#include <vector>

namespace tg {

namespace {

// libtiff reports to stderr unless told otherwise; our result line is the only report.
int quietHandler(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

void silenceGlobalHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandler(nullptr);
    });
}

using Options = Owned<TIFFOpenOptions, TIFFOpenOptionsFree>;

using Tiff = Owned<TIFF, TIFFClose>;

// Largest single allocation libtiff may make while reading a directory; strips never pass
// through libtiff's buffers here.
constexpr tmsize_t MAX_LIBTIFF_ALLOC = 256 * 1024 * 1024;
// Strips and tiles are copied in pieces of at most this size, so a single-strip image of any
// size needs only this much memory.
constexpr std::size_t COPY_CHUNK = 8 * 1024 * 1024;
// Directory, profile, colour map and tables need little room; past this margin below 4 GiB the
// output becomes BigTIFF.
constexpr std::uint64_t CLASSIC_LIMIT = 0xFFFFFFFFull - 16 * 1024 * 1024;

Options quietOptions() {
    Options opts(TIFFOpenOptionsAlloc());
    if (!opts) return nullptr;
    TIFFOpenOptionsSetMaxSingleMemAlloc(opts.get(), MAX_LIBTIFF_ALLOC);
    TIFFOpenOptionsSetErrorHandlerExtR(opts.get(), quietHandler, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(opts.get(), quietHandler, nullptr);
    return opts;
}

std::optional<std::uint16_t> u16Field(TIFF* tif, ttag_t tag) {
    std::uint16_t v = 0;
    if (TIFFGetField(tif, tag, &v) != 1) return std::nullopt;
    return v;
}

// Why a colour model other than RGB, YCbCr or a palette cannot be labelled.
std::string photometricReason(std::uint16_t photometric) {
    switch (photometric) {
    case PHOTOMETRIC_MINISWHITE:
    case PHOTOMETRIC_MINISBLACK:
        return "monochrome image";
    case PHOTOMETRIC_SEPARATED:
        return "CMYK image";
    case PHOTOMETRIC_MASK:
        return "transparency mask";
    case PHOTOMETRIC_CIELAB:
    case PHOTOMETRIC_ICCLAB:
    case PHOTOMETRIC_ITULAB:
        return "Lab image";
    case PHOTOMETRIC_LOGL:
    case PHOTOMETRIC_LOGLUV:
        return "LogLuv image";
    case PHOTOMETRIC_CFA:
        return "raw sensor data";
    default:
        return "TIFF colour model " + std::to_string(photometric);
    }
}

// Only the first directory counts; it is classified by its colour model.
ImageInfo classify(TIFF* tif) {
    std::uint32_t width = 0, height = 0;
    if (TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width) != 1 ||
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height) != 1 || width == 0 || height == 0)
        return unreadableImage("TIFF without an image size");

    ImageInfo info;
    std::uint32_t iccSize = 0;
    void* iccData = nullptr;
    if (TIFFGetField(tif, TIFFTAG_ICCPROFILE, &iccSize, &iccData) == 1 && iccData &&
        isDisplayP3({static_cast<const std::uint8_t*>(iccData), iccSize})) {
        info.check = ImageCheck::alreadyP3;
        return info;
    }

    std::uint32_t subfile = 0;
    std::uint16_t samples = 1;
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    const auto photometric = u16Field(tif, TIFFTAG_PHOTOMETRIC);
    if (TIFFGetField(tif, TIFFTAG_SUBFILETYPE, &subfile) == 1 && (subfile & FILETYPE_MASK)) {
        info.check = ImageCheck::notRgb;
        info.reason = "transparency mask";
    } else if (!photometric) {
        return unreadableImage("TIFF without a colour model");
    } else if (*photometric == PHOTOMETRIC_RGB || *photometric == PHOTOMETRIC_YCBCR) {
        if (samples < 3) return unreadableImage("RGB with fewer than three samples");
        info.check = ImageCheck::taggable;
    } else if (*photometric == PHOTOMETRIC_PALETTE) {
        std::uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
        if (TIFFGetField(tif, TIFFTAG_COLORMAP, &r, &g, &b) != 1)
            return unreadableImage("palette without a colour map");
        info.check = ImageCheck::taggable;
    } else {
        // Grey, bilevel, CMYK, masks, Lab, LogLuv, raw sensor data: not three RGB components.
        info.check = ImageCheck::notRgb;
        info.reason = photometricReason(*photometric);
    }
    return info;
}

// Every strip or tile must lie inside the file before a byte of it is copied.
bool stripsInsideFile(TIFF* tif, std::uint64_t fileSize) {
    const std::uint32_t count = TIFFIsTiled(tif) ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
    if (count == 0) return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        int err = 0;
        const std::uint64_t off = TIFFGetStrileOffsetWithErr(tif, i, &err);
        if (err) return false;
        const std::uint64_t len = TIFFGetStrileByteCountWithErr(tif, i, &err);
        if (err) return false;
        if (len > fileSize || off > fileSize - len) return false;
    }
    return true;
}

// libtiff works on a descriptor the caller owns, the source's or the output's: positioned reads
// and writes, and a close that leaves the descriptor open. A failed write keeps its cause.
struct Channel {
    int fd = -1;
    std::uint64_t pos = 0;
    std::uint64_t end = 0;
    Status written;
};

tmsize_t channelRead(thandle_t h, void* buf, tmsize_t size) {
    auto* s = static_cast<Channel*>(h);
    if (size < 0) return -1;
    const ssize_t n = ::pread(s->fd, buf, static_cast<std::size_t>(size), off_t(s->pos));
    if (n < 0) return -1;
    s->pos += std::uint64_t(n);
    return n;
}

tmsize_t channelWrite(thandle_t h, void* buf, tmsize_t size) {
    auto* s = static_cast<Channel*>(h);
    if (size < 0) return -1;
    const std::span bytes(static_cast<const std::uint8_t*>(buf), static_cast<std::size_t>(size));
    if (auto status = writeAll(s->fd, s->pos, bytes); status.failed()) {
        s->written = std::move(status);
        return -1;
    }
    s->pos += bytes.size();
    s->end = std::max(s->end, s->pos);
    return size;
}

toff_t channelSeek(thandle_t h, toff_t off, int whence) {
    auto* s = static_cast<Channel*>(h);
    std::uint64_t base = 0;
    switch (whence) {
    case SEEK_SET:
        base = 0;
        break;
    case SEEK_CUR:
        base = s->pos;
        break;
    case SEEK_END:
        base = s->end;
        break;
    default:
        return static_cast<toff_t>(-1);
    }
    std::uint64_t target = 0;
    // toff_t is unsigned; libtiff only seeks forward from a base, so any wrap is an error.
    if (__builtin_add_overflow(base, off, &target) || target > std::uint64_t(INT64_MAX))
        return static_cast<toff_t>(-1);
    s->pos = target;
    return target;
}

int channelClose(thandle_t) {
    return 0;
}
toff_t channelSize(thandle_t h) {
    return static_cast<Channel*>(h)->end;
}
int channelMap(thandle_t, void**, toff_t*) {
    return 0;
}
void channelUnmap(thandle_t, void*, toff_t) {}

Tiff openThrough(Channel& channel, const char* mode) {
    silenceGlobalHandlers();
    Options opts = quietOptions();
    if (!opts) return nullptr;
    return Tiff(TIFFClientOpenExt("tintguard", mode, &channel, channelRead, channelWrite,
                                  channelSeek, channelClose, channelSize, channelMap, channelUnmap,
                                  opts.get()));
}

// The source, read through its descriptor and never mapped: a file cut short under a mapping
// would end the program with SIGBUS. The channel must outlive the TIFF.
struct Source {
    Channel channel;
    Tiff tif;
};

std::unique_ptr<Source> openSource(const FileHandle& file) {
    auto size = file.size();
    if (size.failed()) return nullptr;
    auto source = std::make_unique<Source>();
    source->channel = Channel{file.fd(), 0, *size, {}};
    source->tif = openThrough(source->channel, "rm");
    if (!source->tif) return nullptr;
    return source;
}

// Copies one tag when the source has it; a tag the output refuses fails the copy.
template <typename... T> bool copyField(TIFF* in, TIFF* out, ttag_t tag) {
    std::tuple<T...> values{};
    const bool present =
        std::apply([&](auto&... v) { return TIFFGetField(in, tag, &v...) == 1; }, values);
    if (!present) return true;
    return std::apply([&](auto&... v) { return TIFFSetField(out, tag, v...) == 1; }, values);
}

// Carries tags over and names the first one the output refuses, for the writer's cause.
class TagCarrier {
public:
    TagCarrier(TIFF* in, TIFF* out) : in_(in), out_(out) {}

    template <typename... T> bool copy(ttag_t tag) {
        return note(tag, copyField<T...>(in_, out_, tag));
    }
    template <typename... T> bool set(ttag_t tag, T... values) {
        return note(tag, TIFFSetField(out_, tag, values...) == 1);
    }
    void unset(ttag_t tag) { TIFFUnsetField(out_, tag); }
    bool note(ttag_t tag, bool ok) {
        if (!ok) refused_ = tag;
        return ok;
    }
    Status refused() const {
        const TIFFField* field = TIFFFieldWithTag(out_, refused_);
        return refusal(field ? TIFFFieldName(field) : "tag " + std::to_string(refused_));
    }
    static Status refusal(const std::string& which) {
        return Failure{{}, "a tag cannot be carried over: " + which};
    }

private:
    TIFF* in_;
    TIFF* out_;
    ttag_t refused_ = 0;
};

// Size, samples, compression and the cut into strips or tiles.
Status copyLayout(TagCarrier& c, TIFF* in, std::uint16_t compression) {
    const bool ok =
        c.copy<std::uint32_t>(TIFFTAG_IMAGEWIDTH) && c.copy<std::uint32_t>(TIFFTAG_IMAGELENGTH) &&
        c.copy<std::uint16_t>(TIFFTAG_BITSPERSAMPLE) &&
        c.copy<std::uint16_t>(TIFFTAG_SAMPLESPERPIXEL) && c.set(TIFFTAG_COMPRESSION, compression) &&
        c.copy<std::uint16_t>(TIFFTAG_PHOTOMETRIC) && c.copy<std::uint16_t>(TIFFTAG_PLANARCONFIG) &&
        c.copy<std::uint16_t, std::uint16_t*>(TIFFTAG_EXTRASAMPLES) &&
        c.copy<std::uint16_t>(TIFFTAG_SAMPLEFORMAT) && c.copy<std::uint16_t>(TIFFTAG_FILLORDER);
    if (!ok) return c.refused();

    if (TIFFIsTiled(in)) {
        if (!c.copy<std::uint32_t>(TIFFTAG_TILEWIDTH) || !c.copy<std::uint32_t>(TIFFTAG_TILELENGTH))
            return c.refused();
    } else {
        // The defaulted value covers a missing tag and libtiff's split of one large strip alike.
        std::uint32_t rows = 0;
        if (!c.note(TIFFTAG_ROWSPERSTRIP,
                    TIFFGetFieldDefaulted(in, TIFFTAG_ROWSPERSTRIP, &rows) == 1) ||
            !c.set(TIFFTAG_ROWSPERSTRIP, rows))
            return c.refused();
    }

    std::uint16_t predictor = PREDICTOR_NONE;
    if (TIFFGetField(in, TIFFTAG_PREDICTOR, &predictor) == 1 && predictor != PREDICTOR_NONE &&
        !c.set(TIFFTAG_PREDICTOR, predictor))
        return c.refused();
    return {};
}

// What the samples mean: the palette, the JPEG tables, how YCbCr turns into RGB.
Status copySampleMeaning(TagCarrier& c, TIFF* in, std::uint16_t compression) {
    std::uint16_t photometric = 0;
    TIFFGetField(in, TIFFTAG_PHOTOMETRIC, &photometric);
    if (photometric == PHOTOMETRIC_PALETTE &&
        !c.copy<std::uint16_t*, std::uint16_t*, std::uint16_t*>(TIFFTAG_COLORMAP))
        return c.refused();

    if (compression == COMPRESSION_JPEG) {
        // libtiff reserves an empty tables field for new JPEG files; it must not stay empty.
        std::uint32_t size = 0;
        void* tables = nullptr;
        if (TIFFGetField(in, TIFFTAG_JPEGTABLES, &size, &tables) == 1 && tables && size > 0) {
            if (!c.set(TIFFTAG_JPEGTABLES, size, tables)) return c.refused();
        } else {
            c.unset(TIFFTAG_JPEGTABLES);
        }
    }

    if (photometric == PHOTOMETRIC_YCBCR) {
        // How the samples turn into RGB; without them the colours would change.
        const bool ok = c.copy<std::uint16_t, std::uint16_t>(TIFFTAG_YCBCRSUBSAMPLING) &&
                        c.copy<std::uint16_t>(TIFFTAG_YCBCRPOSITIONING) &&
                        c.copy<float*>(TIFFTAG_YCBCRCOEFFICIENTS) &&
                        c.copy<float*>(TIFFTAG_REFERENCEBLACKWHITE);
        if (!ok) return c.refused();
    }
    return {};
}

Status copyStructure(TIFF* in, TIFF* out, const ImageInfo& info) {
    std::uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(in, TIFFTAG_COMPRESSION, &compression);
    // Old-style JPEG keeps its tables at file offsets that a raw copy cannot carry.
    if (compression == COMPRESSION_OJPEG) return TagCarrier::refusal("old-style JPEG tables");

    TagCarrier c(in, out);
    if (auto status = copyLayout(c, in, compression); status.failed()) return status;
    if (auto status = copySampleMeaning(c, in, compression); status.failed()) return status;

    // Physical size is a property of the image, not metadata about it; copied when valid.
    copyField<float>(in, out, TIFFTAG_XRESOLUTION);
    copyField<float>(in, out, TIFFTAG_YRESOLUTION);
    copyField<std::uint16_t>(in, out, TIFFTAG_RESOLUTIONUNIT);

    if (info.orientation && *info.orientation >= 1 && *info.orientation <= 8 &&
        !c.set(TIFFTAG_ORIENTATION, *info.orientation))
        return c.refused();

    const std::vector<std::uint8_t>& icc = displayP3Profile();
    if (!c.note(TIFFTAG_ICCPROFILE, !icc.empty() && icc.size() <= UINT32_MAX) ||
        !c.set(TIFFTAG_ICCPROFILE, static_cast<std::uint32_t>(icc.size()), icc.data()))
        return c.refused();
    return {};
}

// Sum of all strip or tile bytes, to choose between classic TIFF and BigTIFF.
std::optional<std::uint64_t> dataBytes(TIFF* tif) {
    const std::uint32_t count = TIFFIsTiled(tif) ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
    std::uint64_t total = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (__builtin_add_overflow(total, TIFFGetStrileByteCount(tif, i), &total))
            return std::nullopt;
    }
    return total;
}

Status copyData(TIFF* in, TIFF* out, const FileHandle& src, std::uint64_t fileSize) {
    const bool tiled = TIFFIsTiled(in);
    const std::uint32_t count = tiled ? TIFFNumberOfTiles(in) : TIFFNumberOfStrips(in);
    const std::uint32_t outCount = tiled ? TIFFNumberOfTiles(out) : TIFFNumberOfStrips(out);
    // The same tags must describe the same layout, or pixels would land in the wrong place.
    if (count == 0 || count != outCount) return Failure{{}, "the strip layout differs"};

    for (std::uint32_t i = 0; i < count; ++i) {
        int err = 0;
        const std::uint64_t off = TIFFGetStrileOffsetWithErr(in, i, &err);
        const std::uint64_t len = err ? 0 : TIFFGetStrileByteCountWithErr(in, i, &err);
        if (err || len > fileSize || off > fileSize - len)
            return Failure{{}, "a strip lies outside the file"};
        // An absent strip (offset and size 0) stays absent.
        for (std::uint64_t done = 0; done < len;) {
            const std::size_t piece =
                static_cast<std::size_t>(std::min<std::uint64_t>(len - done, COPY_CHUNK));
            auto got = src.readFully(off + done, piece);
            if (got.failed()) return got.failure();
            const tmsize_t n = static_cast<tmsize_t>(piece);
            const tmsize_t wrote = tiled ? TIFFWriteRawTile(out, i, got->data(), n)
                                         : TIFFWriteRawStrip(out, i, got->data(), n);
            if (wrote != n) return Failure{{}, "libtiff did not take a strip"};
            done += piece;
        }
    }
    return {};
}

ImageInfo decideTiff(const FileHandle& file) {
    const auto source = openSource(file);
    if (!source || source->channel.end == 0) return unreadableImage("not a TIFF libtiff can read");
    TIFF* tif = source->tif.get();
    ImageInfo info = classify(tif);
    if (info.check == ImageCheck::taggable && !stripsInsideFile(tif, source->channel.end))
        info = unreadableImage("image data outside the file");
    if (const auto o = u16Field(tif, TIFFTAG_ORIENTATION); o && *o >= 1 && *o <= 8)
        info.orientation = *o;
    return info;
}

ColourSignal recogniseTiff(const FileHandle& file) {
    const auto source = openSource(file);
    if (!source) return {};
    std::uint32_t size = 0;
    void* data = nullptr;
    if (TIFFGetField(source->tif.get(), TIFFTAG_ICCPROFILE, &size, &data) != 1 || !data) return {};
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    return {std::vector<std::uint8_t>(bytes, bytes + size), std::nullopt};
}

Status writeTiff(const FileHandle& file, const ImageInfo& info, const FileHandle& out) {
    const auto source = openSource(file);
    if (!source) return Failure{{}, "libtiff cannot read the source"};
    TIFF* in = source->tif.get();
    const auto data = dataBytes(in);
    if (!data) return Failure{{}, "strip sizes overflow"};

    // Same byte order as the source: uncompressed samples wider than 8 bits are copied as
    // stored, and their order is a property of the file.
    std::string mode = TIFFIsBigEndian(in) ? "wb" : "wl";
    if (TIFFIsBigTIFF(in) || *data > CLASSIC_LIMIT) mode += '8';

    Channel sink{out.fd(), 0, 0, {}};
    Tiff dst = openThrough(sink, mode.c_str());
    if (!dst) return Failure{{}, "libtiff cannot start the output"};
    if (auto copied = copyStructure(in, dst.get(), info); copied.failed()) return copied;
    if (auto copied = copyData(in, dst.get(), file, source->channel.end); copied.failed())
        return sink.written.failed() ? sink.written : copied;
    const bool finished = TIFFWriteDirectory(dst.get()) == 1 && TIFFFlush(dst.get()) == 1;
    if (sink.written.failed()) return sink.written;
    if (!finished) return Failure{{}, "libtiff could not finish the directory"};
    return {};
}

} // namespace

const PhotoFormat TIFF_FORMAT{recogniseTiff, decideTiff, writeTiff};

} // namespace tg

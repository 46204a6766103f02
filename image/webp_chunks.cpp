#include "image/webp_chunks.h"

#include "base/byte_cursor.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace tg {

namespace {

constexpr std::size_t RIFF_HEADER = 12, CHUNK_HEADER = 8, VP8X_SIZE = 10;
// A RIFF size is 32 bits, and the last value is kept from use by the format.
constexpr std::uint64_t MAX_RIFF_SIZE = 0xFFFFFFFEu;

bool isType(const WebpChunk& c, std::string_view type) {
    return std::memcmp(c.type.data(), type.data(), 4) == 0;
}
std::uint32_t le(Bytes d, std::size_t off, unsigned width) {
    return std::uint32_t(readUnsigned(d, off, width, false));
}
Failure damaged(std::string why) {
    return Failure{{}, std::move(why)};
}

struct Picture {
    std::uint32_t width = 0, height = 0;
    bool alpha = false;
};

// A lossy picture starts with a key frame: its frame tag, start code and the two sizes.
std::optional<Picture> vp8Header(Bytes d) {
    if (d.size() < 10) return std::nullopt;
    const std::uint32_t tag = le(d, 0, 3);
    const bool keyFrame = (tag & 1) == 0, shown = (tag >> 4 & 1) != 0;
    const std::uint32_t version = tag >> 1 & 7, firstPartition = tag >> 5;
    if (!keyFrame || version > 3 || !shown || firstPartition >= d.size()) return std::nullopt;
    if (d[3] != 0x9D || d[4] != 0x01 || d[5] != 0x2A) return std::nullopt;
    const Picture p{le(d, 6, 2) & 0x3FFFu, le(d, 8, 2) & 0x3FFFu, false};
    if (p.width == 0 || p.height == 0) return std::nullopt;
    return p;
}

// A lossless picture: signature, then 14 bits each of width and height less one, the alpha hint
// and a version that must be 0.
std::optional<Picture> vp8lHeader(Bytes d) {
    if (d.size() < 5 || d[0] != 0x2F) return std::nullopt;
    const std::uint32_t bits = le(d, 1, 4);
    if (bits >> 29 != 0) return std::nullopt;
    return Picture{(bits & 0x3FFFu) + 1, (bits >> 14 & 0x3FFFu) + 1, (bits >> 28 & 1) != 0};
}

Result<std::vector<WebpChunk>> walkChunks(Bytes f) {
    if (f.size() < RIFF_HEADER || !startsWith(f, "RIFF") || !startsWith(f.subspan(8), "WEBP"))
        return damaged("not a WebP file");
    const std::uint64_t riffEnd = std::uint64_t(8) + le(f, 4, 4);
    if (riffEnd > f.size()) return damaged("WebP cut short");
    if (riffEnd < f.size()) return damaged("data after the end of the WebP");
    std::vector<WebpChunk> chunks;
    std::size_t pos = RIFF_HEADER;
    while (pos < riffEnd) {
        if (!fits(riffEnd, pos, CHUNK_HEADER)) return damaged("WebP chunk header cut short");
        WebpChunk c;
        std::memcpy(c.type.data(), f.data() + pos, 4);
        c.begin = pos;
        c.dataBegin = pos + CHUNK_HEADER;
        c.dataLength = le(f, pos + 4, 4);
        if (!fits(riffEnd, c.dataBegin, c.dataLength))
            return damaged("a WebP chunk runs past the end of the file");
        chunks.push_back(c);
        // An odd chunk is followed by a pad byte; a last chunk may come without it.
        pos = std::min<std::uint64_t>(c.dataBegin + c.dataLength + (c.dataLength & 1), riffEnd);
    }
    if (chunks.empty()) return damaged("no chunks in the WebP");
    return chunks;
}

Bytes dataOf(Bytes f, const WebpChunk& c) {
    return f.subspan(c.dataBegin, c.dataLength);
}

void putChunk(ByteWriter& out, std::string_view type, Bytes data) {
    out.bytes(asBytes(type));
    out.u32(data.size());
    out.bytes(data);
    if (data.size() & 1) out.u8(0);
}

} // namespace

Result<WebpLayout> walkWebp(Bytes f) {
    auto chunks = walkChunks(f);
    if (chunks.failed()) return chunks.failure();
    WebpLayout layout;
    layout.chunks = std::move(*chunks);
    const auto first = [&](std::string_view a, std::string_view b) -> const WebpChunk* {
        for (const auto& c : layout.chunks)
            if (isType(c, a) || isType(c, b)) return &c;
        return nullptr;
    };
    const auto picture = [&](const WebpChunk* c) {
        return !c                   ? std::nullopt
               : isType(*c, "VP8 ") ? vp8Header(dataOf(f, *c))
                                    : vp8lHeader(dataOf(f, *c));
    };
    const WebpChunk& head = layout.chunks.front();
    if (isType(head, "VP8X")) {
        const Bytes d = dataOf(f, head);
        if (d.size() != VP8X_SIZE) return damaged("damaged VP8X chunk");
        layout.extended = true;
        layout.flags = d[0];
        layout.width = le(d, 4, 3) + 1;
        layout.height = le(d, 7, 3) + 1;
        if (layout.flags & WEBP_ANIMATION) {
            if (!first("ANIM", "ANIM") || !first("ANMF", "ANMF"))
                return damaged("WebP animation without frames");
            return layout;
        }
        const auto p = picture(first("VP8 ", "VP8L"));
        if (!p) return damaged("no readable picture in the WebP");
        // Decoders refuse a still picture that does not fill its canvas.
        if (p->width != layout.width || p->height != layout.height)
            return damaged("WebP picture and canvas sizes differ");
        return layout;
    }
    // A simple file is its picture alone, which gives the canvas a new VP8X needs.
    const auto p = isType(head, "VP8 ") || isType(head, "VP8L") ? picture(&head) : std::nullopt;
    if (!p) return damaged("no readable picture in the WebP");
    layout.width = p->width;
    layout.height = p->height;
    layout.flags = p->alpha ? WEBP_ALPHA : 0;
    return layout;
}

WebpMeta webpMeta(Bytes f, const WebpLayout& layout) {
    WebpMeta meta;
    bool seenExif = false;
    for (const auto& c : layout.chunks) {
        if (isType(c, "ICCP") && !meta.icc) {
            const Bytes d = dataOf(f, c);
            meta.icc.emplace(d.begin(), d.end());
            meta.iccFlagged = layout.extended && (layout.flags & WEBP_ICC);
        } else if (isType(c, "EXIF") && !seenExif) {
            seenExif = true;
            // Some writers keep the JPEG-style "Exif\0\0" prefix in the chunk.
            const Bytes d = dataOf(f, c);
            meta.orientation =
                exifOrientation(startsWith(d, EXIF_PREFIX) ? d.subspan(EXIF_PREFIX.size()) : d);
        }
    }
    return meta;
}

std::optional<std::vector<std::uint8_t>>
taggedWebp(Bytes f, const WebpLayout& layout, Bytes icc,
           const std::optional<ExifOrientation>& orientation) {
    if (layout.chunks.empty() || icc.empty() || icc.size() > MAX_RIFF_SIZE) return std::nullopt;
    ByteWriter out(Endian::little);
    out.bytes(asBytes("RIFF"));
    out.u32(0); // the size, once known
    out.bytes(asBytes("WEBP"));

    std::array<std::uint8_t, VP8X_SIZE> vp8x{};
    if (layout.extended)
        std::copy_n(f.begin() + std::ptrdiff_t(layout.chunks.front().dataBegin), VP8X_SIZE,
                    vp8x.begin());
    else
        for (unsigned i = 0; i < 3; ++i) {
            vp8x[4 + i] = std::uint8_t((layout.width - 1) >> (8 * i));
            vp8x[7 + i] = std::uint8_t((layout.height - 1) >> (8 * i));
        }
    vp8x[0] = std::uint8_t((layout.flags & ~(WEBP_EXIF | WEBP_XMP)) | WEBP_ICC |
                           (orientation ? WEBP_EXIF : 0));
    putChunk(out, "VP8X", vp8x);
    putChunk(out, "ICCP", icc);

    // The coded picture, its alpha and the animation frames; metadata and unknown chunks go.
    constexpr std::array<std::string_view, 5> KEEP = {"VP8 ", "VP8L", "ALPH", "ANIM", "ANMF"};
    for (const auto& c : layout.chunks)
        if (std::any_of(KEEP.begin(), KEEP.end(), [&](std::string_view t) { return isType(c, t); }))
            putChunk(out, std::string_view(c.type.data(), 4), dataOf(f, c));
    if (orientation)
        putChunk(out, "EXIF", orientationExif(orientation->value, orientation->bigEndian));

    if (out.size() - 8 > MAX_RIFF_SIZE) return std::nullopt;
    out.patch(4, out.size() - 8, 4);
    return out.take();
}

} // namespace tg

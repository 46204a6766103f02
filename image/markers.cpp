#include "image/markers.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string_view>

namespace tg::markers {

namespace {

std::uint16_t u16(Bytes b, std::size_t off, bool bigEndian) {
    return std::uint16_t(readUnsigned(b, off, 2, bigEndian));
}
std::uint32_t u32(Bytes b, std::size_t off, bool bigEndian) {
    return std::uint32_t(readUnsigned(b, off, 4, bigEndian));
}
std::uint16_t be16(Bytes b, std::size_t off) {
    return tg::u16(b, off);
}
std::uint32_t be32(Bytes b, std::size_t off) {
    return tg::u32(b, off);
}

bool fits(Bytes b, std::size_t off, std::size_t width) {
    return tg::fits(b.size(), off, width);
}

bool startsWith(Bytes b, std::string_view prefix) {
    return b.size() >= prefix.size() && std::memcmp(b.data(), prefix.data(), prefix.size()) == 0;
}

void put16(std::vector<std::uint8_t>& out, std::uint16_t v, bool bigEndian) {
    if (bigEndian) {
        out.push_back(std::uint8_t(v >> 8));
        out.push_back(std::uint8_t(v));
    } else {
        out.push_back(std::uint8_t(v));
        out.push_back(std::uint8_t(v >> 8));
    }
}
void put32(std::vector<std::uint8_t>& out, std::uint32_t v, bool bigEndian) {
    if (bigEndian) {
        put16(out, std::uint16_t(v >> 16), true);
        put16(out, std::uint16_t(v), true);
    } else {
        put16(out, std::uint16_t(v), false);
        put16(out, std::uint16_t(v >> 16), false);
    }
}
void append(std::vector<std::uint8_t>& out, Bytes bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}
void append(std::vector<std::uint8_t>& out, std::string_view text) {
    out.insert(out.end(), text.begin(), text.end());
}

Bytes body(Bytes file, const JpegSegment& s) {
    return file.subspan(s.bodyBegin, s.bodyEnd - s.bodyBegin);
}

constexpr std::uint8_t SOI = 0xD8, EOI = 0xD9, SOS = 0xDA, APP0 = 0xE0, APP1 = 0xE1, APP2 = 0xE2,
                       APP14 = 0xEE, APP15 = 0xEF, COM = 0xFE;

bool isRst(std::uint8_t m) {
    return m >= 0xD0 && m <= 0xD7;
}
bool isStandalone(std::uint8_t m) {
    return isRst(m) || m == 0x01;
}
// SOF0..SOF15 without DHT (C4), JPG (C8) and DAC (CC).
bool isSof(std::uint8_t m) {
    return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}

constexpr std::string_view ICC_TAG{"ICC_PROFILE\0", 12};
constexpr std::string_view EXIF_TAG{"Exif\0\0", 6};
constexpr std::size_t ICC_CHUNK = 65519; // 65535 - length field - tag - sequence - count

// Where the entropy-coded data starting at pos ends: at the 0xFF that begins the next marker
// (stuffed 0xFF00 and restart markers belong to the scan). The file's end if there is none.
std::size_t scanEnd(Bytes f, std::size_t pos) {
    while (pos < f.size()) {
        const auto* hit =
            static_cast<const std::uint8_t*>(std::memchr(f.data() + pos, 0xFF, f.size() - pos));
        if (!hit) return f.size();
        const std::size_t at = std::size_t(hit - f.data());
        std::size_t next = at + 1;
        while (next < f.size() && f[next] == 0xFF)
            ++next; // fill bytes before a marker
        if (next >= f.size()) return at;
        if (f[next] != 0x00 && !isRst(f[next])) return at;
        pos = next + 1;
    }
    return f.size();
}

} // namespace

// ---- EXIF ----

std::optional<ExifOrientation> exifOrientation(Bytes t) {
    if (t.size() < 8) return std::nullopt;
    bool bigEndian;
    if (t[0] == 'I' && t[1] == 'I')
        bigEndian = false;
    else if (t[0] == 'M' && t[1] == 'M')
        bigEndian = true;
    else
        return std::nullopt;
    if (u16(t, 2, bigEndian) != 42) return std::nullopt;
    const std::uint32_t ifd = u32(t, 4, bigEndian);
    if (!fits(t, ifd, 2)) return std::nullopt;
    const std::size_t count = u16(t, ifd, bigEndian);
    const std::size_t entries = std::size_t(ifd) + 2;
    for (std::size_t i = 0; i < count && fits(t, entries + i * 12, 12); ++i) {
        const std::size_t e = entries + i * 12;
        if (u16(t, e, bigEndian) != 0x0112) continue;
        const bool shortOne = u16(t, e + 2, bigEndian) == 3 && u32(t, e + 4, bigEndian) == 1;
        const std::uint16_t v = u16(t, e + 8, bigEndian);
        if (!shortOne || v < 1 || v > 8) return std::nullopt;
        return ExifOrientation{v, bigEndian};
    }
    return std::nullopt;
}

std::vector<std::uint8_t> orientationExif(std::uint16_t orientation, bool bigEndian) {
    std::vector<std::uint8_t> t;
    t.reserve(26);
    append(t, bigEndian ? std::string_view("MM") : std::string_view("II"));
    put16(t, 42, bigEndian);
    put32(t, 8, bigEndian); // IFD0 right after the header
    put16(t, 1, bigEndian); // one entry
    put16(t, 0x0112, bigEndian);
    put16(t, 3, bigEndian); // SHORT
    put32(t, 1, bigEndian);
    put16(t, orientation, bigEndian); // value, left-justified in the 4-byte field
    put16(t, 0, bigEndian);
    put32(t, 0, bigEndian); // no next IFD
    return t;
}

// ---- JPEG ----

std::optional<JpegLayout> walkJpeg(Bytes f) {
    if (f.size() < 4 || f[0] != 0xFF || f[1] != SOI) return std::nullopt;
    JpegLayout layout;
    layout.segments.push_back({SOI, 0, 2, 2, 2});
    bool seenFrame = false, seenScan = false;
    std::size_t pos = 2;
    while (pos < f.size()) {
        const std::size_t begin = pos;
        // Stray bytes before a marker are skipped by decoders; keep them with the next segment.
        if (f[pos] != 0xFF) {
            const auto* hit =
                static_cast<const std::uint8_t*>(std::memchr(f.data() + pos, 0xFF, f.size() - pos));
            if (!hit) return std::nullopt;
            pos = std::size_t(hit - f.data());
        }
        while (pos < f.size() && f[pos] == 0xFF)
            ++pos;
        if (pos >= f.size()) return std::nullopt;
        const std::uint8_t m = f[pos++];
        if (m == 0x00 || m == SOI) return std::nullopt;
        if (m == EOI) {
            layout.segments.push_back({m, begin, pos, pos, pos});
            layout.hasEoi = true;
            break;
        }
        if (isStandalone(m)) {
            layout.segments.push_back({m, begin, pos, pos, pos});
            continue;
        }
        if (!fits(f, pos, 2)) return std::nullopt;
        const std::size_t length = be16(f, pos);
        if (length < 2 || !fits(f, pos, length)) return std::nullopt;
        JpegSegment s{m, begin, pos + length, pos + 2, pos + length};
        if (isSof(m)) seenFrame = true;
        if (m == SOS) {
            if (!seenFrame) return std::nullopt;
            seenScan = true;
            s.end = scanEnd(f, s.bodyEnd);
        }
        layout.segments.push_back(s);
        pos = s.end;
    }
    if (!seenScan) return std::nullopt;
    return layout;
}

namespace {

bool isLossless(std::uint8_t m) {
    return m == 0xC3 || m == 0xC7 || m == 0xCB || m == 0xCF;
}
bool isHierarchical(std::uint8_t m) {
    return (m >= 0xC5 && m <= 0xC7) || (m >= 0xCD && m <= 0xCF);
}

std::optional<JpegFrame> readFrame(std::uint8_t marker, Bytes b) {
    if (b.size() < 6) return std::nullopt;
    JpegFrame frame{marker, b[0], be16(b, 1), be16(b, 3), {}};
    const std::size_t count = b[5];
    const bool precisionOk = isLossless(marker) ? frame.precision >= 2 && frame.precision <= 16
                                                : frame.precision == 8 || frame.precision == 12;
    // Height 0 defers it to a DNL marker after the first scan, which decoders rarely follow.
    if (!precisionOk || frame.height == 0 || frame.width == 0 || count == 0 ||
        b.size() != 6 + 3 * count)
        return std::nullopt;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t id = b[6 + 3 * i], sampling = b[7 + 3 * i], table = b[8 + 3 * i];
        const unsigned h = sampling >> 4, v = sampling & 15;
        if (h < 1 || h > 4 || v < 1 || v > 4 || table > 3) return std::nullopt;
        if (std::find(frame.components.begin(), frame.components.end(), id) !=
            frame.components.end())
            return std::nullopt;
        frame.components.push_back(id);
    }
    return frame;
}

bool scanHeaderFits(Bytes b, const JpegFrame& frame) {
    if (b.empty()) return false;
    const std::size_t count = b[0];
    if (count < 1 || count > 4 || b.size() != 1 + 2 * count + 3) return false;
    for (std::size_t i = 0; i < count; ++i)
        if (std::find(frame.components.begin(), frame.components.end(), b[1 + 2 * i]) ==
            frame.components.end())
            return false;
    return true;
}

} // namespace

std::optional<JpegFrame> jpegFrame(Bytes f, const JpegLayout& layout) {
    std::optional<JpegFrame> frame;
    for (const auto& s : layout.segments) {
        if (isSof(s.marker)) {
            if (frame && !isHierarchical(frame->marker)) return std::nullopt;
            if (frame) continue; // later frames of a hierarchical file refine the first
            frame = readFrame(s.marker, body(f, s));
            if (!frame) return std::nullopt;
        } else if (s.marker == SOS) {
            if (!frame || !scanHeaderFits(body(f, s), *frame)) return std::nullopt;
        }
    }
    return frame;
}

EmbeddedMeta jpegMeta(Bytes f, const JpegLayout& layout) {
    EmbeddedMeta meta;
    // ICC chunks carry "sequence number of count"; reassemble only a complete, consistent set.
    std::vector<Bytes> chunks;
    bool iccBroken = false;
    bool seenExif = false;
    for (const auto& s : layout.segments) {
        const Bytes b = body(f, s);
        if (s.marker == APP1 && !seenExif && startsWith(b, EXIF_TAG)) {
            seenExif = true;
            meta.orientation = exifOrientation(b.subspan(EXIF_TAG.size()));
        } else if (s.marker == APP2 && startsWith(b, ICC_TAG)) {
            if (b.size() < ICC_TAG.size() + 2) {
                iccBroken = true;
                continue;
            }
            const std::size_t seq = b[12], count = b[13];
            if (count == 0 || seq == 0 || seq > count) {
                iccBroken = true;
                continue;
            }
            if (chunks.empty()) chunks.resize(count);
            if (chunks.size() != count || !chunks[seq - 1].empty()) {
                iccBroken = true;
                continue;
            }
            chunks[seq - 1] = b.subspan(14);
            if (chunks[seq - 1].empty()) iccBroken = true;
        }
    }
    const bool complete = !chunks.empty() && std::none_of(chunks.begin(), chunks.end(),
                                                          [](Bytes c) { return c.empty(); });
    if (complete && !iccBroken) {
        std::vector<std::uint8_t> icc;
        for (Bytes c : chunks)
            append(icc, c);
        meta.icc = std::move(icc);
    }
    return meta;
}

std::optional<std::vector<std::uint8_t>>
taggedJpeg(Bytes f, const JpegLayout& layout, Bytes icc,
           const std::optional<ExifOrientation>& orientation) {
    const std::size_t iccSegments = (icc.size() + ICC_CHUNK - 1) / ICC_CHUNK;
    if (icc.empty() || iccSegments > 255) return std::nullopt;

    std::vector<std::uint8_t> out;
    const std::size_t last = layout.segments.empty() ? 0 : layout.segments.back().end;
    out.reserve(last + icc.size() + iccSegments * 18 + 64);
    out.push_back(0xFF);
    out.push_back(SOI);

    // JFIF wants to come first; it says how the components are to be read.
    const JpegSegment* jfif = nullptr;
    for (const auto& s : layout.segments)
        if (s.marker == APP0 && startsWith(body(f, s), std::string_view("JFIF\0", 5))) {
            jfif = &s;
            break;
        }
    if (jfif) append(out, f.subspan(jfif->begin, jfif->end - jfif->begin));

    if (orientation) {
        const auto tiff = orientationExif(orientation->value, orientation->bigEndian);
        out.push_back(0xFF);
        out.push_back(APP1);
        put16(out, std::uint16_t(2 + EXIF_TAG.size() + tiff.size()), true);
        append(out, EXIF_TAG);
        append(out, tiff);
    }

    for (std::size_t i = 0; i < iccSegments; ++i) {
        const Bytes part =
            icc.subspan(i * ICC_CHUNK, std::min(ICC_CHUNK, icc.size() - i * ICC_CHUNK));
        out.push_back(0xFF);
        out.push_back(APP2);
        put16(out, std::uint16_t(2 + ICC_TAG.size() + 2 + part.size()), true);
        append(out, ICC_TAG);
        out.push_back(std::uint8_t(i + 1));
        out.push_back(std::uint8_t(iccSegments));
        append(out, part);
    }

    for (const auto& s : layout.segments) {
        if (s.marker == SOI || &s == jfif) continue;
        const bool app = s.marker >= APP0 && s.marker <= APP15;
        const bool adobe = s.marker == APP14 && startsWith(body(f, s), "Adobe");
        if ((app && !adobe) || s.marker == COM) continue;
        append(out, f.subspan(s.begin, s.end - s.begin));
    }
    return out;
}

// ---- PNG ----

namespace {

constexpr std::array<std::uint8_t, 8> PNG_SIGNATURE = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

bool isType(const PngChunk& c, std::string_view type) {
    return std::memcmp(c.type.data(), type.data(), 4) == 0;
}
bool isLetter(std::uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool isCritical(const PngChunk& c) {
    return (c.type[0] & 0x20) == 0;
}

std::uint32_t crcOf(Bytes bytes) {
    uLong crc = crc32(0L, Z_NULL, 0);
    // zlib takes uInt lengths; chunk lengths are at most 2^31 - 1, but feed it in pieces anyway.
    while (!bytes.empty()) {
        const std::size_t n = std::min<std::size_t>(bytes.size(), 1u << 30);
        crc = crc32(crc, bytes.data(), uInt(n));
        bytes = bytes.subspan(n);
    }
    return std::uint32_t(crc);
}

void putChunk(std::vector<std::uint8_t>& out, std::string_view type, Bytes data) {
    put32(out, std::uint32_t(data.size()), true);
    const std::size_t typeAt = out.size();
    append(out, type);
    append(out, data);
    put32(out, crcOf(Bytes(out).subspan(typeAt)), true);
}

constexpr std::size_t MAX_PROFILE = std::size_t{64} << 20;

} // namespace

std::optional<std::vector<PngChunk>> walkPng(Bytes f) {
    if (f.size() < PNG_SIGNATURE.size() ||
        !std::equal(PNG_SIGNATURE.begin(), PNG_SIGNATURE.end(), f.begin()))
        return std::nullopt;
    std::vector<PngChunk> chunks;
    std::size_t pos = PNG_SIGNATURE.size();
    while (true) {
        if (!fits(f, pos, 12)) return std::nullopt;
        const std::uint32_t length = be32(f, pos);
        if (length > 0x7FFFFFFFu || !fits(f, pos + 8, std::size_t(length) + 4)) return std::nullopt;
        PngChunk c;
        for (std::size_t i = 0; i < 4; ++i) {
            if (!isLetter(f[pos + 4 + i])) return std::nullopt;
            c.type[i] = char(f[pos + 4 + i]);
        }
        c.begin = pos;
        c.dataBegin = pos + 8;
        c.dataLength = length;
        c.end = c.dataBegin + length + 4;
        if (crcOf(f.subspan(pos + 4, std::size_t(length) + 4)) != be32(f, c.dataBegin + length))
            return std::nullopt;
        if (chunks.empty() && (!isType(c, "IHDR") || length != 13)) return std::nullopt;
        chunks.push_back(c);
        pos = c.end;
        if (isType(c, "IEND")) return chunks;
    }
}

std::optional<std::vector<std::uint8_t>> inflateProfile(Bytes zdata) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return std::nullopt;
    std::vector<std::uint8_t> out;
    std::array<std::uint8_t, 16384> buffer{};
    z.next_in = const_cast<Bytef*>(zdata.data());
    z.avail_in = uInt(std::min<std::size_t>(zdata.size(), 0x7FFFFFFF));
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = buffer.data();
        z.avail_out = uInt(buffer.size());
        rc = inflate(&z, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END) break;
        out.insert(out.end(), buffer.data(), buffer.data() + (buffer.size() - z.avail_out));
        if (out.size() > MAX_PROFILE)
            rc = Z_MEM_ERROR;
        else if (rc == Z_OK && z.avail_in == 0 && z.avail_out != 0)
            rc = Z_BUF_ERROR; // truncated
    }
    inflateEnd(&z);
    if (rc != Z_STREAM_END) return std::nullopt;
    return out;
}

PngMeta pngMeta(Bytes f, const std::vector<PngChunk>& chunks) {
    PngMeta meta;
    bool seenIcc = false, seenExif = false;
    for (const auto& c : chunks) {
        const Bytes data = f.subspan(c.dataBegin, c.dataLength);
        if (isType(c, "iCCP") && !seenIcc) {
            seenIcc = true;
            // Profile name (1-79 bytes), NUL, compression method 0, zlib stream.
            const auto* nul = static_cast<const std::uint8_t*>(
                std::memchr(data.data(), 0, std::min<std::size_t>(data.size(), 80)));
            if (!nul) continue;
            const std::size_t at = std::size_t(nul - data.data());
            if (at == 0 || !fits(data, at + 1, 1) || data[at + 1] != 0) continue;
            meta.icc = inflateProfile(data.subspan(at + 2));
        } else if (isType(c, "cICP") && c.dataLength == 4 && !meta.cicp) {
            meta.cicp = std::array<std::uint8_t, 4>{data[0], data[1], data[2], data[3]};
        } else if (isType(c, "eXIf") && !seenExif) {
            seenExif = true;
            // Some writers keep the JPEG-style "Exif\0\0" prefix in the chunk.
            const Bytes tiff = startsWith(data, EXIF_TAG) ? data.subspan(EXIF_TAG.size()) : data;
            meta.orientation = exifOrientation(tiff);
        }
    }
    return meta;
}

std::optional<std::vector<std::uint8_t>>
taggedPng(Bytes f, const std::vector<PngChunk>& chunks, Bytes icc,
          const std::optional<ExifOrientation>& orientation) {
    if (chunks.empty() || icc.empty() || icc.size() > MAX_PROFILE) return std::nullopt;
    uLongf zsize = compressBound(uLong(icc.size()));
    std::vector<std::uint8_t> iccp;
    append(iccp, std::string_view("Display P3\0\0", 12)); // name, NUL, compression method 0
    const std::size_t zAt = iccp.size();
    iccp.resize(zAt + zsize);
    if (compress2(iccp.data() + zAt, &zsize, icc.data(), uLong(icc.size()), 9) != Z_OK)
        return std::nullopt;
    iccp.resize(zAt + zsize);

    std::vector<std::uint8_t> out;
    out.reserve(chunks.back().end + iccp.size() + 64);
    append(out, Bytes(PNG_SIGNATURE));
    const auto copy = [&](const PngChunk& c) { append(out, f.subspan(c.begin, c.end - c.begin)); };
    copy(chunks.front()); // IHDR
    putChunk(out, "iCCP", iccp);
    if (orientation)
        putChunk(out, "eXIf", orientationExif(orientation->value, orientation->bigEndian));

    constexpr std::array<std::string_view, 7> KEEP = {"PLTE", "tRNS", "IDAT", "IEND",
                                                      "sBIT", "bKGD", "pHYs"};
    for (std::size_t i = 1; i < chunks.size(); ++i) {
        const auto& c = chunks[i];
        const bool keep =
            std::any_of(KEEP.begin(), KEEP.end(), [&](std::string_view t) { return isType(c, t); });
        if (keep)
            copy(c);
        else if (isCritical(c))
            return std::nullopt; // cannot drop what decoders must understand
    }
    return out;
}

} // namespace tg::markers

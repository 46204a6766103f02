#include "image/png_chunks.h"

#include "base/byte_cursor.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string_view>

namespace tg {

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

void putChunk(ByteWriter& out, std::string_view type, Bytes data) {
    out.u32(data.size());
    const std::size_t typeAt = out.size();
    out.bytes(asBytes(type));
    out.bytes(data);
    out.u32(crcOf(Bytes(out.bytes()).subspan(typeAt)));
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
        if (!fits(f.size(), pos, 12)) return std::nullopt;
        const std::uint32_t length = u32(f, pos);
        if (length > 0x7FFFFFFFu || !fits(f.size(), pos + 8, std::size_t(length) + 4))
            return std::nullopt;
        PngChunk c;
        for (std::size_t i = 0; i < 4; ++i) {
            if (!isLetter(f[pos + 4 + i])) return std::nullopt;
            c.type[i] = char(f[pos + 4 + i]);
        }
        c.begin = pos;
        c.dataBegin = pos + 8;
        c.dataLength = length;
        c.end = c.dataBegin + length + 4;
        if (crcOf(f.subspan(pos + 4, std::size_t(length) + 4)) != u32(f, c.dataBegin + length))
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
            if (at == 0 || !fits(data.size(), at + 1, 1) || data[at + 1] != 0) continue;
            meta.icc = inflateProfile(data.subspan(at + 2));
        } else if (isType(c, "cICP") && c.dataLength == 4 && !meta.cicp) {
            meta.cicp = std::array<std::uint8_t, 4>{data[0], data[1], data[2], data[3]};
        } else if (isType(c, "eXIf") && !seenExif) {
            seenExif = true;
            // Some writers keep the JPEG-style "Exif\0\0" prefix in the chunk.
            const Bytes tiff =
                startsWith(data, EXIF_PREFIX) ? data.subspan(EXIF_PREFIX.size()) : data;
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
    constexpr std::string_view NAME{"Display P3\0\0", 12}; // name, NUL, compression method 0
    std::vector<std::uint8_t> iccp(NAME.begin(), NAME.end());
    const std::size_t zAt = iccp.size();
    iccp.resize(zAt + zsize);
    if (compress2(iccp.data() + zAt, &zsize, icc.data(), uLong(icc.size()), 9) != Z_OK)
        return std::nullopt;
    iccp.resize(zAt + zsize);

    ByteWriter out;
    out.bytes(PNG_SIGNATURE);
    const auto copy = [&](const PngChunk& c) { out.bytes(f.subspan(c.begin, c.end - c.begin)); };
    copy(chunks.front()); // IHDR
    putChunk(out, "iCCP", iccp);
    if (orientation)
        putChunk(out, "eXIf", orientationExif(orientation->value, orientation->bigEndian));

    // acTL, fcTL and fdAT: an animated PNG's frames, which the new profile applies to as well.
    constexpr std::array<std::string_view, 10> KEEP = {"PLTE", "tRNS", "IDAT", "IEND", "sBIT",
                                                       "bKGD", "pHYs", "acTL", "fcTL", "fdAT"};
    for (std::size_t i = 1; i < chunks.size(); ++i) {
        const auto& c = chunks[i];
        const bool keep =
            std::any_of(KEEP.begin(), KEEP.end(), [&](std::string_view t) { return isType(c, t); });
        if (keep)
            copy(c);
        else if (isCritical(c))
            return std::nullopt; // cannot drop what decoders must understand
    }
    return out.take();
}

} // namespace tg

#include "image/jpeg_markers.h"

#include "base/byte_cursor.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace tg {

namespace {

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
        if (!fits(f.size(), pos, 2)) return std::nullopt;
        const std::size_t length = u16(f, pos);
        if (length < 2 || !fits(f.size(), pos, length)) return std::nullopt;
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
    ByteReader r(b);
    JpegFrame frame{marker, r.u8(), r.u16(), r.u16(), {}};
    const std::size_t count = r.u8();
    const bool precisionOk = isLossless(marker) ? frame.precision >= 2 && frame.precision <= 16
                                                : frame.precision == 8 || frame.precision == 12;
    // Height 0 defers it to a DNL marker after the first scan, which decoders rarely follow.
    if (!r.ok() || !precisionOk || frame.height == 0 || frame.width == 0 || count == 0 ||
        r.left() != 3 * count)
        return std::nullopt;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t id = r.u8(), sampling = r.u8(), table = r.u8();
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

JpegMeta jpegMeta(Bytes f, const JpegLayout& layout) {
    JpegMeta meta;
    // ICC chunks carry "sequence number of count"; reassemble only a complete, consistent set.
    std::vector<Bytes> chunks;
    bool iccBroken = false;
    bool seenExif = false;
    for (const auto& s : layout.segments) {
        const Bytes b = body(f, s);
        if (s.marker == APP1 && !seenExif && startsWith(b, EXIF_PREFIX)) {
            seenExif = true;
            meta.orientation = exifOrientation(b.subspan(EXIF_PREFIX.size()));
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
            icc.insert(icc.end(), c.begin(), c.end());
        meta.icc = std::move(icc);
    }
    return meta;
}

std::optional<std::vector<std::uint8_t>>
taggedJpeg(Bytes f, const JpegLayout& layout, Bytes icc,
           const std::optional<ExifOrientation>& orientation) {
    const std::size_t iccSegments = (icc.size() + ICC_CHUNK - 1) / ICC_CHUNK;
    if (icc.empty() || iccSegments > 255) return std::nullopt;

    ByteWriter out;
    const auto marker = [&](std::uint8_t m, std::size_t bodyLength) {
        out.u8(0xFF);
        out.u8(m);
        out.u16(2 + bodyLength);
    };
    out.u8(0xFF);
    out.u8(SOI);

    // JFIF wants to come first; it says how the components are to be read.
    const JpegSegment* jfif = nullptr;
    for (const auto& s : layout.segments)
        if (s.marker == APP0 && startsWith(body(f, s), std::string_view("JFIF\0", 5))) {
            jfif = &s;
            break;
        }
    if (jfif) out.bytes(f.subspan(jfif->begin, jfif->end - jfif->begin));

    if (orientation) {
        const auto tiff = orientationExif(orientation->value, orientation->bigEndian);
        marker(APP1, EXIF_PREFIX.size() + tiff.size());
        out.bytes(asBytes(EXIF_PREFIX));
        out.bytes(tiff);
    }

    for (std::size_t i = 0; i < iccSegments; ++i) {
        const Bytes part =
            icc.subspan(i * ICC_CHUNK, std::min(ICC_CHUNK, icc.size() - i * ICC_CHUNK));
        marker(APP2, ICC_TAG.size() + 2 + part.size());
        out.bytes(asBytes(ICC_TAG));
        out.u8(i + 1);
        out.u8(iccSegments);
        out.bytes(part);
    }

    for (const auto& s : layout.segments) {
        if (s.marker == SOI || &s == jfif) continue;
        const bool app = s.marker >= APP0 && s.marker <= APP15;
        const bool adobe = s.marker == APP14 && startsWith(body(f, s), "Adobe");
        if ((app && !adobe) || s.marker == COM) continue;
        out.bytes(f.subspan(s.begin, s.end - s.begin));
    }
    return out.take();
}

bool hasGainMap(Bytes f, const JpegLayout& layout) {
    constexpr std::string_view ISO_21496 = "urn:iso:std:iso:ts:21496:-1";
    constexpr std::string_view XMP_GAIN_MAP = "http://ns.adobe.com/hdr-gain-map/1.0/";
    const auto holds = [](Bytes b, std::string_view what) {
        return std::search(b.begin(), b.end(), what.begin(), what.end()) != b.end();
    };
    const auto says = [&](Bytes b) { return holds(b, ISO_21496) || holds(b, XMP_GAIN_MAP); };
    for (const auto& s : layout.segments)
        if ((s.marker == APP1 || s.marker == APP2) &&
            says(f.subspan(s.bodyBegin, s.bodyEnd - s.bodyBegin)))
            return true;
    // Images after the first are found by MPF offsets or by their markers; reading all that
    // follows finds them either way without trusting either.
    const std::size_t end = layout.segments.empty() ? 0 : layout.segments.back().end;
    return end < f.size() && says(f.subspan(end));
}

} // namespace tg

// Matroska and WebM files made at test time by ffmpeg and mkvmerge, and readers of our own and of
// others to judge what a run left: every CRC-32 checked with zlib, mkvinfo's primaries.
#pragma once

#include "base/file.h"
#include "base/file_faults.h"
#include "fixtures/box_bytes.h"
#include "fixtures/media.h"
#include "fixtures/stops.h"
#include "matroska/mkv_tagging.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <set>
#include <string>
#include <vector>

namespace mkvtest {

using namespace tgtest;

const std::string SRC = "-f lavfi -i testsrc2=s=64x48:d=0.6:r=25 ";
const std::string X264 = "-c:v libx264 -pix_fmt yuv420p ";
const std::string VP9 = "-c:v libvpx-vp9 -b:v 50k -deadline realtime -cpu-used 8 ";
const std::string BT709 = "-color_primaries bt709 -color_trc bt709 -colorspace bt709 ";
const std::string CUES_FIRST = "-reserve_index_space 2000 ";
// Eight video streams: more Colour elements than ffmpeg's Void before Info can take.
const std::string EIGHT = "-map 0:v -map 0:v -map 0:v -map 0:v -map 0:v -map 0:v -map 0:v "
                          "-map 0:v ";
const std::string ADDED = "No tag found — added Display-P3";
const std::string FIXED = "Fixed → Display-P3";
const std::string FINISHED = "Interrupted edit finished → Display-P3";

// A file made by ffmpeg from args (the format follows the extension), then remuxed by mkvmerge
// with its options when asked.
inline void makeMatroska(const fs::path& path, const std::string& args, bool mkvmerge = false,
                         const std::string& mkvmergeOptions = "") {
    if (!mkvmerge) return ffmpeg(args + " " + sh(path));
    const fs::path first = path.parent_path() / ("ffmpeg-" + path.filename().string());
    ffmpeg(args + " " + sh(first));
    ASSERT_EQ(run("mkvmerge -q -o " + sh(path) + " " + mkvmergeOptions + " " + sh(first)).status,
              0);
    fs::remove(first);
}

inline constexpr std::uint32_t CLUSTER_ID = 0x1F43B675, CUES_ID = 0x1C53BB6B;

// One EBML header: where its data starts and ends (nothing when it does not hold together).
struct Head {
    std::uint32_t id = 0;
    std::size_t at = 0, data = 0, end = 0;
    bool ok = false;
};
inline Head headAt(const Blob& b, std::size_t at, std::size_t limit) {
    Head h{.at = at};
    auto width = [&](std::size_t p) {
        if (p >= limit) return 9;
        int w = 1;
        while (w <= 8 && !(b[p] & (0x80 >> (w - 1))))
            ++w;
        return w;
    };
    const int iw = width(at);
    if (iw > 4 || at + iw >= limit) return h;
    const int sw = width(at + iw);
    if (sw > 8 || at + iw + sw > limit) return h;
    for (int i = 0; i < iw; ++i)
        h.id = h.id << 8 | b[at + i];
    std::uint64_t size = b[at + iw] & (0xFF >> sw);
    bool ones = size == (0xFFu >> sw);
    for (int i = 1; i < sw; ++i) {
        size = size << 8 | b[at + iw + i];
        ones = ones && b[at + iw + i] == 0xFF;
    }
    h.data = at + iw + sw;
    h.end = ones ? limit : h.data + size;
    h.ok = h.end <= limit;
    return h;
}

// Walks every master element Matroska puts a CRC-32 in or above, checking each CRC-32 (zlib over
// the rest of its parent's data, stored little-endian); counts them, and the bad ones.
struct CrcCount {
    int checked = 0, bad = 0;
    bool walked = true;
};
inline void checkCrcs(const Blob& b, std::size_t from, std::size_t to, CrcCount& n) {
    static const std::set<std::uint32_t> masters = {
        0x18538067, 0x114D9B74, 0x1549A966, 0x1654AE6B, 0x1C53BB6B, 0x1254C367, 0x1F43B675, 0xAE,
        0xE0,       0x55B0,     0x4DBB,     0xBB,       0xB7,       0xA0,       0x1043A770};
    bool first = true;
    for (std::size_t at = from; at < to;) {
        const Head h = headAt(b, at, to);
        if (!h.ok) {
            n.walked = false;
            return;
        }
        if (first && h.id == 0xBF) {
            ++n.checked;
            const auto crc = std::uint32_t(::crc32(0, b.data() + h.end, unsigned(to - h.end)));
            const std::uint32_t stored = b[h.data] | b[h.data + 1] << 8 | b[h.data + 2] << 16 |
                                         std::uint32_t(b[h.data + 3]) << 24;
            if (crc != stored) ++n.bad;
        }
        first = false;
        if (masters.contains(h.id)) checkCrcs(b, h.data, h.end, n);
        at = h.end;
    }
}
inline CrcCount crcs(const fs::path& file) {
    const Blob b = readBytes(file);
    CrcCount n;
    const Head ebml = headAt(b, 0, b.size());
    if (!ebml.ok) return {0, 0, false};
    checkCrcs(b, ebml.end, b.size(), n);
    return n;
}

// Whether every SeekHead entry names the element at its position, and every Cues entry a
// Cluster: positions count from the Segment's data.
inline bool positionsHold(const fs::path& file) {
    const Blob b = readBytes(file);
    const Head seg = headAt(b, headAt(b, 0, b.size()).end, b.size());
    if (!seg.ok) return false;
    const auto number = [&](const Head& h) {
        std::uint64_t v = 0;
        for (std::size_t i = h.data; i < h.end; ++i)
            v = v << 8 | b[i];
        return v;
    };
    const auto idAt = [&](std::uint64_t pos) {
        const Head h = headAt(b, seg.data + pos, b.size());
        return h.ok ? h.id : 0;
    };
    const auto children = [&](const Head& parent) {
        std::vector<Head> out;
        for (std::size_t at = parent.data; at < parent.end;) {
            const Head h = headAt(b, at, parent.end);
            if (!h.ok) return std::vector<Head>{};
            out.push_back(h);
            at = h.end;
        }
        return out;
    };
    int seen = 0;
    for (const Head& top : children(seg)) {
        for (const Head& entry :
             top.id == 0x114D9B74 || top.id == CUES_ID ? children(top) : std::vector<Head>{}) {
            std::uint64_t id = 0;
            for (const Head& f : children(entry)) {
                if (f.id == 0x53AB) id = number(f);
                if (f.id == 0x53AC && idAt(number(f)) != id) return false;
                for (const Head& g : f.id == 0xB7 ? children(f) : std::vector<Head>{})
                    if (g.id == 0xF1 && idAt(number(g)) != CLUSTER_ID) return false;
                ++seen;
            }
        }
        if (top.id == CLUSTER_ID && top.end == b.size()) break; // a Cluster of unknown size
    }
    return seen > 0;
}

// The Segment's top-level elements, up to the first that does not hold together.
inline std::vector<Head> topLevel(const Blob& b) {
    const Head seg = headAt(b, headAt(b, 0, b.size()).end, b.size());
    std::vector<Head> top;
    for (std::size_t at = seg.data; seg.ok && at < seg.end;) {
        const Head h = headAt(b, at, seg.end);
        if (!h.ok) break;
        top.push_back(h);
        at = h.end;
    }
    return top;
}

// Where the first top-level element with this ID starts, from the Segment's data; 0 for none.
inline std::uint64_t elementAt(const fs::path& file, std::uint32_t id) {
    const auto top = topLevel(readBytes(file));
    for (const Head& h : top)
        if (h.id == id) return h.at - top.front().at; // the Segment's data starts with it
    return 0;
}

// A file whose first Cluster (Cues in front) or whose Cues (at the end) start 8 bytes short of
// 64 KiB into the Segment's data, so that a moved tail takes a position naming it past two bytes.
// What lies in front of it, Cues' reserve or a Tags comment, is measured on earlier muxes.
inline void makeNear64k(const fs::path& path, const std::string& args, std::uint32_t id) {
    constexpr std::uint64_t TARGET = 65536 - 8;
    const auto pad = [&](std::uint64_t n) {
        return id == CLUSTER_ID ? "-reserve_index_space " + std::to_string(n) + " "
                                : "-metadata comment=" + std::string(n, 'x') + " ";
    };
    std::uint64_t n = 30000; // sizes past 16 KiB: their widths stay as the padding is tuned
    for (int tries = 0; tries < 3; ++tries) {
        makeMatroska(path, args + pad(n));
        const std::uint64_t at = elementAt(path, id);
        if (at == TARGET || at == 0) break;
        n = n + TARGET - at;
    }
    ASSERT_EQ(elementAt(path, id), TARGET);
}

// The Colour primaries mkvinfo lists, one a track that has them.
inline std::string mkvinfoPrimaries(const fs::path& file) {
    const auto out = run("mkvinfo " + sh(file)).out;
    std::string found;
    for (std::size_t at = out.find("Color primaries: "); at != std::string::npos;
         at = out.find("Color primaries: ", at + 1))
        found += out.substr(at + 17, out.find('\n', at) - at - 17) + " ";
    return found;
}

inline bool identifies(const fs::path& file) {
    return run("mkvmerge --identify " + sh(file) + " > /dev/null").status == 0;
}

inline tg::TGResult tagWith(const fs::path& path, const tg::FileFaults& faults) {
    tg::setFileFaults(faults);
    auto r = tg::tagMatroska(path);
    tg::setFileFaults({});
    return r;
}

} // namespace mkvtest

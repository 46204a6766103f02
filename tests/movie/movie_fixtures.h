// Helpers for the movie tests: atom trees built in memory, real movies made by ffmpeg and
// reshaped at the atom level, and a child process stopped at a chosen write of the file layer.
#pragma once

#include "base/checksum.h"
#include "base/file.h"
#include "base/file_faults.h"
#include "movie/atoms.h"
#include "movie/moov_layout.h"
#include "movie/movie_tagger.h"

#include "fixtures/box_bytes.h"
#include "fixtures/media.h"
#include "fixtures/stops.h"

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

namespace movietest {

using namespace tgtest;
// A sample entry: 78 bytes of visual fields (data reference 1), then its child atoms.
inline Blob entry(const std::string& type, std::initializer_list<Blob> children = {}) {
    Blob fields(78, 0);
    fields[7] = 1;
    return atom(type, cat({fields, cat(children)}));
}
inline Blob stsd(std::initializer_list<Blob> entries) {
    return atom("stsd", cat({be(0), be(entries.size()), cat(entries)}));
}
inline Blob stco(std::initializer_list<std::uint64_t> offsets, bool wide = false) {
    Blob b = cat({be(0), be(offsets.size())});
    for (auto o : offsets)
        b = cat({b, be(o, wide ? 8 : 4)});
    return atom(wide ? "co64" : "stco", b);
}
inline Blob hdlr(const std::string& handler) {
    return atom("hdlr", cat({be(0), be(0), text(handler), Blob(12, 0), Blob{0}}));
}
// dref with one entry; selfContained sets the flag that says the data is in this file.
inline Blob dinf(bool selfContained = true) {
    return atom("dinf", atom("dref", cat({be(0), be(1), atom("url ", be(selfContained ? 1 : 0))})));
}
// A whole track: trak/mdia(hdlr, minf(dinf, stbl(...))).
inline Blob track(const std::string& handler, std::initializer_list<Blob> stblChildren,
                  bool selfContained = true) {
    return atom("trak", atom("mdia", cat({hdlr(handler),
                                          atom("minf", cat({dinf(selfContained),
                                                            atom("stbl", cat(stblChildren))}))})));
}
inline Blob colr(const std::string& kind, std::uint16_t prim, std::uint16_t trc) {
    return atom("colr", cat({text(kind), be(prim, 2), be(trc, 2), be(1, 2)}));
}

// The offset of the first atom along a path of types (a sample description's entries and a
// video sample entry's children are found after their fixed fields); npos when it is not there.
inline std::uint64_t find(const Blob& d, const std::vector<std::string>& path) {
    std::uint64_t start = 0, end = d.size(), at = std::string::npos;
    for (const auto& type : path) {
        at = std::string::npos;
        for (const auto& a : tg::childAtoms(d, start, end)) {
            if (a.type != type) continue;
            at = a.offset;
            const std::uint64_t skip = type == "stsd" ? 8 : tg::VID_CODECS.contains(type) ? 78 : 0;
            start = a.offset + a.headerSize + skip;
            end = a.offset + a.size;
            break;
        }
        if (at == std::string::npos) return at;
    }
    return at;
}

const std::string SRC = "-f lavfi -i testsrc2=s=64x48:r=10:d=1 ";
const std::string SND = "-f lavfi -i sine=d=1 ";
const std::string BT709 = "-color_primaries bt709 -color_trc bt709 -colorspace bt709 ";
const std::string X264 = "-c:v libx264 -pix_fmt yuv420p ";
const std::string FAST = "-movflags +faststart ";
const std::string ADDED = "No tag found — added Display-P3";
const std::string FIXED = "Fixed → Display-P3";
const std::string FINISHED = "Interrupted edit finished → Display-P3";
// color_primaries of each video stream as the container signals it: without decoding, since a
// decoder reports the bitstream's own colour description instead.
inline std::string primaries(const fs::path& file) {
    return run("ffprobe -v error -nofind_stream_info -select_streams v "
               "-show_entries stream=color_primaries -of csv=p=0 " +
               sh(file))
        .out;
}

// Makes a movie with ffmpeg; the format follows the extension.
inline void makeMovie(const fs::path& path, const std::string& args) {
    ffmpeg(args + " -f " + (path.extension() == ".mov" ? "mov " : "mp4 ") + sh(path));
}

// Appends a top-level free atom of `size` bytes whose payload is a hole: large files for tests
// that do not care what the padding holds. A 64-bit size from 4 GiB on. dense fills the payload
// with bytes that differ from their neighbours, so that bytes moved by the wrong amount show.
inline void padWithFree(const fs::path& path, std::uint64_t size, bool dense = false) {
    const std::uint64_t at = fs::file_size(path);
    const Blob h =
        size > 0xFFFFFFFF ? cat({be(1), text("free"), be(size, 8)}) : cat({be(size), text("free")});
    tg::FileHandle f = tg::FileHandle::openForUpdate(path);
    ASSERT_TRUE(f.writeAt(at, h).ok());
    ASSERT_TRUE(f.truncate(at + size).ok());
    if (!dense) return;
    Blob fill(size - h.size());
    for (std::size_t i = 0; i < fill.size(); ++i)
        fill[i] = std::uint8_t(i * 131 + (i >> 8));
    ASSERT_TRUE(f.writeAt(at + h.size(), fill).ok());
}

// A checksum of the file's bytes, block by block (big files are compared this way).
inline std::uint64_t fileHash(const fs::path& path) {
    tg::FileHandle f = tg::FileHandle::openForReading(path);
    std::vector<std::uint8_t> block(8 << 20);
    std::uint64_t h = 0, at = 0;
    for (;;) {
        auto got = f.readAt(at, block);
        if (got.failed() || *got == 0) break;
        h = tg::checksum64(tg::Bytes(block.data(), *got), h);
        at += *got;
    }
    return h;
}

inline bool onExt4(const fs::path& dir) {
    struct statfs s {};
    return ::statfs(dir.c_str(), &s) == 0 && s.f_type == 0xEF53;
}

// The hidden journals in a folder.
inline std::vector<fs::path> journals(const fs::path& dir) {
    return namesStartingWith(dir, ".tg_edit_");
}

// Runs fn in a child process and sends it SIGKILL as soon as it reports its `after`-th operation
// of the file layer. It keeps running meanwhile, so the kill lands during or after the next one;
// past that one it waits for the kill, which a busy machine may be slow to deliver, rather than
// finish. Returns true when the kill came before fn ended.
inline bool runKilledAfter(int after, const std::function<void()>& fn, tg::FileFaults faults = {}) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return false;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        auto seen = std::make_shared<int>(0);
        faults.after = [out = pipeFds[1], after, seen](tg::FileOp) {
            const char tick = 1;
            if (++*seen > after)
                for (;;)
                    ::pause();
            if (::write(out, &tick, 1) != 1) ::_exit(3);
        };
        tg::setFileFaults(faults);
        fn();
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    char tick = 0;
    int seen = 0;
    while (seen < after && ::read(pipeFds[0], &tick, 1) == 1)
        ++seen;
    ::kill(child, SIGKILL);
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

// Where every chunk offset of a file's tracks is stored: for each trak of the first moov, the
// file positions of its stco or co64 entries and their width in bytes.
struct OffsetFields {
    std::vector<std::uint64_t> at;
    int width = 4;
};
inline std::vector<OffsetFields> chunkOffsetFields(const Blob& file) {
    std::vector<OffsetFields> tracks;
    const std::uint64_t moov = find(file, {"moov"});
    if (moov == std::string::npos) return tracks;
    for (const auto& t : tg::childAtoms(file, moov + 8, moov + tg::u32(file, moov))) {
        if (t.type != "trak") continue;
        const Blob trak(file.begin() + std::ptrdiff_t(t.offset),
                        file.begin() + std::ptrdiff_t(t.offset + t.size));
        OffsetFields fields;
        for (const char* table : {"stco", "co64"}) {
            const std::uint64_t at = find(trak, {"trak", "mdia", "minf", "stbl", table});
            if (at == std::string::npos) continue;
            fields.width = table[1] == 'o' ? 8 : 4;
            for (std::uint64_t i = 0; i < tg::u32(trak, at + 12); ++i)
                fields.at.push_back(t.offset + at + 16 + std::uint64_t(fields.width) * i);
        }
        tracks.push_back(fields);
    }
    return tracks;
}

// The chunk-offset tables of a file's tracks: for each trak of moov, its stco or co64 values.
inline std::vector<std::vector<std::uint64_t>> chunkOffsets(const Blob& file) {
    std::vector<std::vector<std::uint64_t>> tracks;
    for (const auto& f : chunkOffsetFields(file)) {
        tracks.emplace_back();
        for (auto at : f.at)
            tracks.back().push_back(f.width == 8 ? tg::u64(file, at) : tg::u32(file, at));
    }
    return tracks;
}

// The file with `child` appended inside moov (32-bit sizes); when moov lies in front of the media
// data, every chunk offset follows.
inline Blob withMoovChild(const Blob& file, const Blob& child) {
    Blob out = file;
    const std::uint64_t moov = find(file, {"moov"}), size = tg::u32(file, moov);
    for (const auto& f : chunkOffsetFields(file)) {
        if (moov > find(file, {"mdat"})) break;
        for (auto at : f.at) {
            if (f.width == 8)
                tg::wU64(out, at, tg::u64(out, at) + child.size());
            else
                tg::wU32(out, at, std::uint32_t(tg::u32(out, at) + child.size()));
        }
    }
    tg::wU32(out, moov, std::uint32_t(size + child.size()));
    out.insert(out.begin() + std::ptrdiff_t(moov + size), child.begin(), child.end());
    return out;
}

} // namespace movietest

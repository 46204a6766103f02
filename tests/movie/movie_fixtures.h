// Helpers for the movie tests: atom trees built in memory, real movies made by ffmpeg and
// reshaped at the atom level, and a child process stopped at a chosen write of the file layer.
#pragma once

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
#include <set>
#include <string>
#include <vector>

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
inline Blob stco(const std::vector<std::uint64_t>& offsets, bool wide = false) {
    Blob b = cat({be(0), be(offsets.size())});
    for (auto o : offsets)
        b = cat({b, be(o, wide ? 8 : 4)});
    return atom(wide ? "co64" : "stco", b);
}
inline Blob hdlr(const std::string& handler) {
    return atom("hdlr", cat({be(0), be(0), text(handler), Blob(12, 0), Blob{0}}));
}
// A whole track: trak/mdia(hdlr, minf(dinf (the data in this file), stbl(...))).
inline Blob track(const std::string& handler, std::initializer_list<Blob> stblChildren) {
    const Blob dinf = atom("dinf", atom("dref", cat({be(0), be(1), atom("url ", be(1))})));
    return atom("trak",
                atom("mdia", cat({hdlr(handler),
                                  atom("minf", cat({dinf, atom("stbl", cat(stblChildren))}))})));
}
inline Blob colr(const std::string& kind, std::uint16_t prim, std::uint16_t trc) {
    return atom("colr", cat({text(kind), be(prim, 2), be(trc, 2), be(1, 2)}));
}

// The offset of the first atom along a path of types, searched from [start, end) (a sample
// description's entries and a video sample entry's children are found after their fixed fields);
// npos when it is not there.
inline std::uint64_t find(const Blob& d, const std::vector<std::string>& path,
                          std::uint64_t start = 0, std::uint64_t end = std::string::npos) {
    std::uint64_t at = std::string::npos;
    end = std::min<std::uint64_t>(end, d.size());
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

// The trak atoms of the first moov, in order.
inline std::vector<tg::Atom> traks(const Blob& file) {
    std::vector<tg::Atom> out;
    const std::uint64_t moov = find(file, {"moov"});
    for (const auto& t : tg::childAtoms(file, moov + 8, moov + tg::u32(file, moov)))
        if (t.type == "trak") out.push_back(t);
    return out;
}
// The first atom along a path inside a trak.
inline std::uint64_t findIn(const Blob& file, const tg::Atom& trak,
                            const std::vector<std::string>& path) {
    return find(file, path, trak.offset + trak.headerSize, trak.offset + trak.size);
}

const std::string SRC = "-f lavfi -i testsrc2=s=64x48:r=10:d=1 ";
const std::string SND = "-f lavfi -i sine=d=1 ";
const std::string BT709 = "-color_primaries bt709 -color_trc bt709 -colorspace bt709 ";
const std::string X264 = "-c:v libx264 -pix_fmt yuv420p ";
const std::string FAST = "-movflags +faststart ";
const std::string ADDED = "No tag found — added Display-P3";
const std::string FIXED = "Fixed → Display-P3";
const std::string FINISHED = "Interrupted edit finished → Display-P3";
// processCore with the file layer's faults set for the call.
inline tg::TGResult processWith(const fs::path& path, const tg::FileFaults& faults) {
    tg::setFileFaults(faults);
    auto r = tg::processCore(path);
    tg::setFileFaults({});
    return r;
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

// Runs fn in a child process and sends it SIGKILL as soon as it reports its `after`-th operation
// of the file layer. It keeps running meanwhile, so the kill lands during or after the next one;
// past that one it waits for the kill, which a busy machine may be slow to deliver, rather than
// finish. Returns true when the kill came before fn ended.
inline bool runKilledAfter(int after, const std::function<void()>& fn, tg::FileFaults faults = {}) {
    int ticks[2];
    if (::pipe(ticks) != 0) return false;
    const pid_t child = ::fork();
    if (child == 0) {
        int seen = 0;
        faults.after = [&](tg::FileOp) {
            while (++seen > after)
                ::pause();
            if (::write(ticks[1], "", 1) != 1) ::_exit(3);
        };
        tg::setFileFaults(faults);
        fn();
        ::_exit(0);
    }
    ::close(ticks[1]);
    char tick = 0;
    for (int seen = 0; seen < after && ::read(ticks[0], &tick, 1) == 1;)
        ++seen;
    ::kill(child, SIGKILL);
    ::close(ticks[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

// The values of the stco or co64 atom at `at`.
inline std::vector<std::uint64_t> offsetTable(const Blob& d, std::uint64_t at) {
    const bool wide = d[at + 4] == 'c';
    std::vector<std::uint64_t> values;
    for (std::uint64_t i = 0; i < tg::u32(d, at + 12); ++i)
        values.push_back(wide ? tg::u64(d, at + 16 + 8 * i) : tg::u32(d, at + 16 + 4 * i));
    return values;
}
// Layouts ffmpeg does not write: chunk offsets all 64-bit, a moov with a 64-bit size, a child
// appended to moov.
struct MoovReshape {
    bool co64 = false, largeMoov = false;
    Blob moovChild = {};
};
inline Blob rebuiltAtom(const Blob& d, const tg::Atom& a, const MoovReshape& how,
                        std::uint64_t delta) {
    if (a.type == "stco" || a.type == "co64") {
        auto offsets = offsetTable(d, a.offset);
        for (auto& o : offsets)
            o += delta;
        return stco(offsets, how.co64 || a.type == "co64");
    }
    if (!std::set<std::string>{"moov", "trak", "mdia", "minf", "stbl"}.contains(a.type))
        return Blob(d.begin() + a.offset, d.begin() + a.offset + a.size);
    Blob out;
    for (const auto& c : tg::childAtoms(d, a.offset + a.headerSize, a.offset + a.size))
        out = cat({out, rebuiltAtom(d, c, how, delta)});
    if (a.type == "moov") out = cat({out, how.moovChild});
    return atom(a.type, out, a.type == "moov" && how.largeMoov);
}
// The file with its moov rebuilt as asked; when moov lies in front of the media data, every chunk
// offset follows its growth.
inline Blob reshaped(const Blob& file, const MoovReshape& how) {
    Blob out;
    bool moovFirst = true;
    for (const auto& a : tg::childAtoms(file, 0, file.size())) {
        moovFirst = moovFirst && a.type != "mdat";
        const std::uint64_t grown = rebuiltAtom(file, a, how, 0).size() - a.size;
        out = cat({out, rebuiltAtom(file, a, how, moovFirst ? grown : 0)});
    }
    return out;
}

} // namespace movietest

#include "movie_files.h"

#include "movie/atoms.h"

#include <cstdlib>
#include <set>

#include <unistd.h>

namespace tgtest {

namespace {

const std::set<std::string> CONTAINERS = {"moov", "trak", "mdia", "minf", "stbl"};

struct Rebuild {
    MoovShape shape;
    std::uint64_t delta = 0; // added to every chunk offset

    Blob node(const Blob& d, const tg::Atom& a) const {
        if (CONTAINERS.contains(a.typ)) {
            Blob kids;
            for (const auto& c : tg::childAtoms(d, a.p + a.hs, a.p + a.size)) {
                Blob k = node(d, c);
                kids.insert(kids.end(), k.begin(), k.end());
            }
            return atom(a.typ, kids, a.typ == "moov" && shape.largeHeader);
        }
        if (a.typ == "stco" || a.typ == "co64") {
            bool wide = a.typ == "co64" || shape.co64;
            std::uint64_t count = tg::u32(d, a.p + 12);
            Blob b = cat({be32(0), be32(count)});
            for (std::uint64_t i = 0; i < count; ++i) {
                std::uint64_t v =
                    a.typ == "co64" ? tg::u64(d, a.p + 16 + 8 * i) : tg::u32(d, a.p + 16 + 4 * i);
                wide ? putU64(b, v + delta) : putU32(b, v + delta);
            }
            return atom(wide ? "co64" : "stco", b);
        }
        return Blob(d.begin() + a.p, d.begin() + a.p + a.size);
    }
};

} // namespace

bool moovFirst(const Blob& file) {
    for (const auto& a : tg::childAtoms(file, 0, file.size())) {
        if (a.typ == "moov") return true;
        if (a.typ == "mdat") return false;
    }
    return false;
}

Blob reshapeMoov(const Blob& file, MoovShape shape) {
    Blob out;
    auto top = tg::childAtoms(file, 0, file.size());
    for (const auto& a : top) {
        if (a.typ != "moov") {
            out.insert(out.end(), file.begin() + a.p, file.begin() + a.p + a.size);
            continue;
        }
        Rebuild r{shape};
        std::uint64_t grown = r.node(file, a).size() - a.size;
        if (moovFirst(file)) r.delta = grown;
        Blob moov = r.node(file, a);
        out.insert(out.end(), moov.begin(), moov.end());
    }
    return out;
}

Blob padToPageTail(const Blob& file, std::uint64_t tail) {
    std::uint64_t pad = (tail + 4096 - file.size() % 4096) % 4096;
    if (pad < 8) pad += 4096;
    return cat({file, atom("free", Blob(pad - 8, 0))});
}

Blob padLastMdat(const Blob& file, std::uint64_t total, std::uint8_t fill) {
    auto top = tg::childAtoms(file, 0, file.size());
    if (top.empty() || top.back().typ != "mdat" || top.back().hs != 8 || total < file.size())
        return file;
    Blob out = file;
    std::uint64_t grow = total - file.size();
    tg::wU32(out, top.back().p, std::uint32_t(top.back().size + grow));
    out.resize(total, fill);
    return out;
}

std::string primariesOf(const fs::path& file) {
    auto r = run("ffprobe -v error -nofind_stream_info -select_streams v:0 -show_entries "
                 "stream=color_primaries -of csv=p=0 " +
                 sh(file));
    std::string out = r.out;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

int exifPrimaries(const fs::path& file) {
    auto r = run("exiftool -n -s3 -ColorPrimaries " + sh(file));
    try {
        return r.out.empty() ? -1 : std::stoi(r.out);
    } catch (const std::exception&) {
        return -1;
    }
}

fs::path mediaCache() {
    const char* build = std::getenv("TG_BUILD_DIR");
    fs::path dir = build ? fs::path(build) / "test-media" / "movie"
                         : fs::temp_directory_path() / "tintguard-movie-media";
    fs::create_directories(dir);
    return dir;
}

fs::path cached(const std::string& name, const std::function<void(const fs::path&)>& make) {
    fs::path target = mediaCache() / name;
    if (fs::exists(target)) return target;
    fs::path tmp = mediaCache() / (".part-" + std::to_string(::getpid()) + "-" + name);
    make(tmp);
    std::error_code ec;
    if (fs::exists(tmp)) fs::rename(tmp, target, ec); // whole files only, even with -j2
    return target;
}

} // namespace tgtest

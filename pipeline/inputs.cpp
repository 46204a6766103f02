#include "pipeline/inputs.h"

#include "base/file.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace tg {

namespace fs = std::filesystem;

namespace {

constexpr const char* OUTPUT_SUFFIXES[] = {"_P3", "_universal"};

struct Listing {
    std::vector<std::string> files;                       // runnable, in byte order
    std::vector<std::string> folders;                     // to walk, in byte order
    std::vector<std::pair<std::string, int>> unreachable; // entries whose type could not be read
    int error = 0;                                        // errno when the folder could not be read
};

// The name an output of ours would have been made from, if name looks like one.
std::vector<std::string> originalsOf(const std::string& name) {
    std::vector<std::string> originals;
    const fs::path path(name);
    const std::string stem = path.stem().string();
    const std::string ext = path.extension().string(); // with its dot
    for (const char* suffix : OUTPUT_SUFFIXES) {
        const std::string tail(suffix);
        if (stem.size() > tail.size() &&
            stem.compare(stem.size() - tail.size(), tail.size(), tail) == 0)
            originals.push_back(stem.substr(0, stem.size() - tail.size()) + ext);
    }
    return originals;
}

// An open folder, shared by the subfolders still waiting to be walked: they are opened relative
// to it, so a walk goes as deep as the tree does, past the longest path the system can name.
using FolderFd = std::shared_ptr<FileHandle>;

// One folder's entries, without following any link inside it. Entries whose type cannot be read
// are files we cannot reach.
Listing listFolder(const FileHandle& folder) {
    Listing listing;
    const int fd = ::dup(folder.fd());
    DIR* dir = fd < 0 ? nullptr : ::fdopendir(fd);
    if (!dir) {
        listing.error = errno;
        if (fd >= 0) ::close(fd);
        return listing;
    }
    std::vector<std::pair<std::string, fs::file_type>> entries;
    for (;;) {
        errno = 0;
        const dirent* e = ::readdir(dir);
        if (!e) break;
        const std::string name = e->d_name;
        if (name.empty() || name[0] == '.') continue; // hidden, and our own temporaries
        struct stat info {};
        if (::fstatat(folder.fd(), e->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
            listing.unreachable.emplace_back(name, errno);
            continue;
        }
        entries.emplace_back(name, S_ISDIR(info.st_mode)   ? fs::file_type::directory
                                   : S_ISREG(info.st_mode) ? fs::file_type::regular
                                                           : fs::file_type::unknown);
    }
    if (errno != 0) listing.error = errno;
    ::closedir(dir);
    if (listing.error) return listing;
    // char_traits<char> compares as unsigned char: byte order, whatever the locale.
    std::sort(entries.begin(), entries.end());
    std::vector<std::string> names;
    names.reserve(entries.size());
    for (const auto& entry : entries)
        names.push_back(entry.first);
    for (const auto& [name, type] : entries) {
        if (type == fs::file_type::directory) {
            listing.folders.push_back(name);
            continue;
        }
        if (type != fs::file_type::regular) continue; // links, pipes, devices, sockets
        if (!isMovie(name) && !isImage(name)) continue;
        const auto originals = originalsOf(name);
        const bool output = std::any_of(originals.begin(), originals.end(), [&](const auto& o) {
            return std::binary_search(names.begin(), names.end(), o);
        });
        if (!output) listing.files.push_back(name);
    }
    return listing;
}

Input folderLine(const fs::path& folder, TGOutcome outcome, std::string message,
                 std::string detail) {
    return {folder, outcome, std::move(message), std::move(detail)};
}

Input unreadable(const fs::path& path, const char* what, int err) {
    return folderLine(path, TGOutcome::error, what + errorText(err), errorText(err));
}

struct Pending {
    fs::path path;
    FolderFd parent; // empty for the folder the user named
};

FileHandle openFolder(const Pending& p) {
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    if (!p.parent) return FileHandle(::open(p.path.c_str(), flags));
    return FileHandle(::openat(p.parent->fd(), p.path.filename().c_str(), flags | O_NOFOLLOW));
}

// Depth first with an explicit stack, so a deep tree costs memory and one descriptor a level,
// not call depth.
void walk(const fs::path& root, std::vector<Input>& out) {
    const std::size_t before = out.size();
    std::set<std::pair<dev_t, ino_t>> seen;
    std::vector<Pending> pending{{root, nullptr}};
    while (!pending.empty()) {
        const Pending next = std::move(pending.back());
        pending.pop_back();
        auto folder = std::make_shared<FileHandle>(openFolder(next));
        struct stat info {};
        Listing listing;
        if (!folder->isOpen() || ::fstat(folder->fd(), &info) != 0) listing.error = errno;
        // A folder met twice (a bind mount of a parent) is walked once.
        else if (!seen.insert({info.st_dev, info.st_ino}).second)
            continue;
        else
            listing = listFolder(*folder);
        if (listing.error) {
            out.push_back(unreadable(next.path, "Can't read folder: ", listing.error));
            continue;
        }
        for (const auto& [name, err] : listing.unreachable)
            out.push_back(unreadable(next.path / name, "Can't read file: ", err));
        for (const auto& name : listing.files) {
            const fs::path file = next.path / name;
            // Beyond the longest path the system opens, nothing downstream could reach it.
            if (file.native().size() >= PATH_MAX)
                out.push_back(unreadable(file, "Can't read file: ", ENAMETOOLONG));
            else
                out.push_back({file, std::nullopt, {}, {}});
        }
        for (auto it = listing.folders.rbegin(); it != listing.folders.rend(); ++it)
            pending.push_back({next.path / *it, folder});
    }
    if (out.size() == before)
        out.push_back(folderLine(root, TGOutcome::skipped, "Skipped (no movies or photos inside)",
                                 "no movies or photos inside"));
}

// "clips/" names the folder "clips".
fs::path withoutTrailingSlash(const fs::path& path) {
    return path.has_filename() || !path.has_parent_path() || path == path.root_path()
               ? path
               : path.parent_path();
}

} // namespace

std::vector<Input> expandInputs(const std::vector<fs::path>& given) {
    std::vector<Input> inputs;
    for (const fs::path& named : given) {
        std::error_code ec;
        // A folder named by the user is entered even through a link; inside, links are not.
        if (fs::is_directory(named, ec))
            walk(withoutTrailingSlash(named), inputs);
        else
            inputs.push_back({named, std::nullopt, {}, {}});
    }
    return inputs;
}

TGResult processInput(const Input& input, TGMode mode, const ProgressFn& onProgress,
                      const std::atomic<bool>* cancel, SweptFolders* swept) {
    if (input.outcome) {
        TGResult result(input.path.filename().string(), *input.outcome, input.message);
        result.detail = input.detail;
        return result;
    }
    return processOne(input.path, mode, onProgress, cancel, swept);
}

} // namespace tg

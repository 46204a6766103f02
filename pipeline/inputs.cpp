#include "pipeline/inputs.h"

#include "base/file.h"

#include <algorithm>
#include <cerrno>
#include <set>
#include <sys/stat.h>
#include <utility>

namespace tg {

namespace fs = std::filesystem;

namespace {

constexpr const char* OUTPUT_SUFFIXES[] = {"_P3", "_universal"};

struct Listing {
    std::vector<std::string> files;   // runnable, in byte order
    std::vector<std::string> folders; // to walk, in byte order
    int error = 0;                    // errno when the folder could not be read
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

// One folder's entries, without following any link inside it.
Listing listFolder(const fs::path& folder) {
    Listing listing;
    std::error_code ec;
    fs::directory_iterator it(folder, fs::directory_options::none, ec);
    std::vector<std::pair<std::string, fs::file_type>> entries;
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name[0] == '.') continue; // hidden, and our own temporaries
        std::error_code typeEc;
        const fs::file_type type = it->symlink_status(typeEc).type();
        if (!typeEc) entries.emplace_back(name, type);
    }
    if (ec) {
        listing.error = ec.value();
        return listing;
    }
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

// The folder's identity, so that a folder met twice (a bind mount of a parent) is walked once.
std::optional<std::pair<dev_t, ino_t>> identity(const fs::path& folder) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) return std::nullopt;
    return std::pair(info.st_dev, info.st_ino);
}

Input folderLine(const fs::path& folder, TGOutcome outcome, std::string message) {
    return {folder, outcome, std::move(message)};
}

// Depth first with an explicit stack, so a deep tree costs memory, not call depth.
void walk(const fs::path& root, std::vector<Input>& out) {
    const std::size_t before = out.size();
    std::set<std::pair<dev_t, ino_t>> seen;
    std::vector<fs::path> pending{root};
    while (!pending.empty()) {
        const fs::path folder = std::move(pending.back());
        pending.pop_back();
        if (const auto id = identity(folder); id && !seen.insert(*id).second) continue;
        const Listing listing = listFolder(folder);
        if (listing.error) {
            out.push_back(folderLine(folder, TGOutcome::error,
                                     "Can't read folder: " + errorText(listing.error)));
            continue;
        }
        for (const auto& name : listing.files)
            out.push_back({folder / name, std::nullopt, {}});
        for (auto it = listing.folders.rbegin(); it != listing.folders.rend(); ++it)
            pending.push_back(folder / *it);
    }
    if (out.size() == before)
        out.push_back(folderLine(root, TGOutcome::skipped, "Skipped (no movies or photos inside)"));
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
            inputs.push_back({named, std::nullopt, {}});
    }
    return inputs;
}

TGResult processInput(const Input& input, TGMode mode, const ProgressFn& onProgress,
                      const std::atomic<bool>* cancel) {
    if (input.outcome) return {input.path.filename().string(), *input.outcome, input.message};
    return processOne(input.path, mode, onProgress, cancel);
}

} // namespace tg

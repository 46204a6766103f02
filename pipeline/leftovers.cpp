#include "pipeline/leftovers.h"

#include "base/work_file.h"
#include "edit/journal.h"
#include "edit/mark.h"

#include <array>
#include <cctype>
#include <optional>
#include <sys/stat.h>

namespace tg {

namespace {

// 8-4-4-4-12 hexadecimal digits, as uuidString writes them.
bool isUuid(std::string_view text) {
    if (text.size() != 36) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i])))
            return false;
    }
    return true;
}

} // namespace

bool isLeftoverName(std::string_view name) {
    constexpr std::array PREFIXES = {COPY_PREFIX, BAKE_PREFIX, IMAGE_PREFIX};
    for (std::string_view prefix : PREFIXES) {
        if (!name.starts_with(prefix)) continue;
        const std::string_view rest = name.substr(prefix.size());
        if (rest.size() < 36 || !isUuid(rest.substr(0, 36))) return false;
        return rest.size() == 36 || (rest[36] == '.' && rest.size() > 37);
    }
    return false;
}

namespace {

// A journal is stale when the file it was written for is gone (the second name the edit gave that
// file is its last) or no longer carries the journal's mark (replaced, or the edit ended). A file
// keeps its mark from before its journal exists until after it is removed, so a live edit's
// journal is never stale.
bool isStale(const std::filesystem::path& folder, const std::string& id,
             const std::optional<Journal>& j) {
    const auto carriesMark = [&](const FileHandle& f) {
        const auto mark = findMark(f);
        return mark && mark->id == id;
    };
    if (auto link = FileHandle::openRegular(journalLinkPath(folder, id), false); link.ok()) {
        auto file = link->identity();
        return file.ok() && (file->links <= 1 || !carriesMark(*link));
    }
    // A journal cut short, without a second name for its file, tells nothing of it: it stays.
    if (!j) return false;
    if (auto named = FileHandle::openRegular(folder / j->name, false); named.ok())
        return !carriesMark(*named);
    // Without a second name, a file that is not at its name may have moved: its journal stays.
    return isLeftoverName(j->name);
}

} // namespace

std::vector<std::string> sweepLeftovers(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> journals, links;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(folder, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        const auto& path = it->path();
        const std::string name = path.filename().string();
        if (journalIdOf(name))
            journals.push_back(path);
        else if (isLeftoverName(name) && removeIfAbandoned(path))
            syncFolder(folder).ok();
        else if (name.starts_with(".tg_edit_") && name.ends_with(".file"))
            links.push_back(path);
    }
    // After the leftovers: a copy killed while it was being tagged leaves its edit's journal.
    std::vector<std::string> retired;
    for (const auto& path : journals) {
        const std::string id = *journalIdOf(path.filename().string());
        const auto j = readJournal(path);
        // One whose header names another edit than its file name does is nobody's: it goes.
        if (!(j && j->id != id) && !isStale(folder, id, j)) continue;
        removeJournal(path, id);
        if (j && !isLeftoverName(j->name)) retired.push_back(j->name);
    }
    // A second name whose journal is gone (lost, so its file is refused): only the name goes.
    for (const auto& link : links)
        if (!fileExists(link.parent_path() / (link.stem().string() + ".journal"))) removeFile(link);
    return retired;
}

std::vector<std::string> SweptFolders::sweepOnce(const std::filesystem::path& folder) {
    const std::lock_guard lock(mutex_); // held until the folder is clean
    struct stat info {};
    // A folder we cannot look at cannot be listed either; the sweep says nothing then.
    if (::stat(folder.c_str(), &info) == 0 && !seen_.insert({info.st_dev, info.st_ino}).second)
        return {};
    return sweepLeftovers(folder);
}

} // namespace tg

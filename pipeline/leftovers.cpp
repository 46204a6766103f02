#include "pipeline/leftovers.h"

#include "base/work_file.h"
#include "edit/journal.h"

#include <array>
#include <cctype>
#include <optional>

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

void sweepLeftovers(const std::filesystem::path& folder) {
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(folder, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        const auto& path = it->path();
        if (!isLeftoverName(path.filename().string())) continue;
        // A copy killed while it was being tagged also leaves the edit journal of its hidden file.
        // That journal ends with the file: its inode number would later name another file.
        std::optional<std::filesystem::path> journal;
        if (auto file = FileHandle::openRegular(path, false); file.ok())
            if (auto id = file->identity(); id.ok())
                journal = journalPath(path, id->device, id->inode);
        if (removeIfAbandoned(path) && journal && removeFile(*journal)) syncFolder(folder).ok();
    }
}

} // namespace tg

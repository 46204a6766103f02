#include "pipeline/preflight.h"

#include "base/file.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <sys/statvfs.h>

namespace tg {

bool isNotDownloaded(const std::filesystem::path&) {
    return false;
}

std::optional<std::int64_t> freeSpace(const std::filesystem::path& folder) {
    struct statvfs vfs {};
    if (::statvfs(folder.c_str(), &vfs) != 0) return std::nullopt;
    std::uint64_t bytes = 0;
    if (__builtin_mul_overflow(std::uint64_t(vfs.f_bavail), std::uint64_t(vfs.f_frsize), &bytes) ||
        bytes > std::uint64_t(INT64_MAX))
        return INT64_MAX;
    return std::int64_t(bytes);
}

std::optional<WriteBlock> writeBlocker(const std::filesystem::path& file, std::int64_t need) {
    auto folder = folderOf(file);
    if (isNotDownloaded(file))
        return WriteBlock{"This file isn't downloaded from iCloud yet — open it in Finder first.",
                          "not downloaded"};
    if (!isWritable(folder)) {
        const int err = errno;
        return WriteBlock{"That folder is read-only — move the file somewhere you can save to.",
                          "folder: " + errorText(err)};
    }
    auto free = freeSpace(folder);
    // need + margin could pass INT64_MAX for an absurd need; compare without the addition.
    if (free && need >= 1 && (*free < FREE_SPACE_MARGIN || *free - FREE_SPACE_MARGIN < need))
        return WriteBlock{"Not enough disk space — needs " + fmtBytes(need) + ", only " +
                              fmtBytes(*free) + " free.",
                          "needs " + std::to_string(need) + " bytes and a margin of " +
                              std::to_string(FREE_SPACE_MARGIN) + ", " + std::to_string(*free) +
                              " free"};
    return std::nullopt;
}

std::string fmtBytes(std::int64_t n) {
    if (n == 0) return "Zero KB";
    const char* sign = n < 0 ? "-" : "";
    long double v = n < 0 ? -(long double)n : (long double)n;
    if (v < 1000) {
        char buf[48];
        std::snprintf(buf, sizeof buf, "%s%.0Lf %s", sign, v, v == 1 ? "byte" : "bytes");
        return buf;
    }
    static const char* units[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    int unit = 0;
    v /= 1000;
    // Decimals: none for KB, one for MB, two from GB on; rounding may carry into the next unit.
    auto decimalsFor = [](int u) { return u == 0 ? 0 : u == 1 ? 1 : 2; };
    for (;;) {
        long double scale = std::pow(10.0L, decimalsFor(unit));
        long double rounded = std::round(v * scale) / scale;
        if (rounded >= 1000 && unit < 5) {
            v /= 1000;
            ++unit;
            continue;
        }
        char buf[48];
        std::snprintf(buf, sizeof buf, "%.*Lf", decimalsFor(unit), rounded);
        std::string text = buf;
        if (text.find('.') != std::string::npos) {
            while (text.back() == '0')
                text.pop_back();
            if (text.back() == '.') text.pop_back();
        }
        return sign + text + " " + units[unit];
    }
}

} // namespace tg

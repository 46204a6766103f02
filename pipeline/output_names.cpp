#include "pipeline/output_names.h"

#include "model/job.h"

namespace tg {

namespace {

std::filesystem::path besideWithSuffix(const std::filesystem::path& file, const char* suffix) {
    return file.parent_path() / (file.stem().string() + suffix + "." + extensionOf(file));
}

} // namespace

std::filesystem::path p3CopyPath(const std::filesystem::path& file) {
    return besideWithSuffix(file, "_P3");
}

std::filesystem::path universalPath(const std::filesystem::path& file) {
    return besideWithSuffix(file, "_universal");
}

} // namespace tg

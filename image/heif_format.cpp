// Temporary stand-in until the HEIF format lands.
#include "image/formats.h"

namespace tg {
ImageInfo inspectHeif(const std::filesystem::path&) {
    return {};
}
bool writeHeif(const std::filesystem::path&, const ImageInfo&, int) {
    return false;
}
} // namespace tg

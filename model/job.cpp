#include "model/job.h"

#include <algorithm>

namespace tg {

const std::set<std::string> VIDEO_EXTS = {"mov", "mp4", "m4v", "mkv", "webm"};
const std::set<std::string> MATROSKA_EXTS = {"mkv", "webm"};
// hif: the HEIF name Canon and Fujifilm cameras give their photos.
const std::set<std::string> IMAGE_EXTS = {"jpg", "jpeg", "png",  "heic", "heif",
                                          "hif", "avif", "tiff", "tif",  "webp"};

std::string extensionOf(const std::filesystem::path& path) {
    std::string ext = path.extension().string();
    return ext.empty() ? ext : ext.substr(1);
}

std::string lowercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : char(c); });
    return text;
}

bool isMovie(const std::filesystem::path& path) {
    return VIDEO_EXTS.contains(lowercased(extensionOf(path)));
}

bool isMatroska(const std::filesystem::path& path) {
    return MATROSKA_EXTS.contains(lowercased(extensionOf(path)));
}

bool isImage(const std::filesystem::path& path) {
    return IMAGE_EXTS.contains(lowercased(extensionOf(path)));
}

const char* modeName(TGMode mode) {
    switch (mode) {
    case TGMode::inPlace:
        return "inPlace";
    case TGMode::p3Copy:
        return "p3Copy";
    case TGMode::bake:
        return "bake";
    }
    return "?";
}

const char* outcomeSymbol(TGOutcome outcome) {
    switch (outcome) {
    case TGOutcome::fixed:
    case TGOutcome::added:
        return "\u2713";
    case TGOutcome::already:
        return "\u2022";
    case TGOutcome::hdr:
    case TGOutcome::skipped:
        return "\u2014";
    case TGOutcome::error:
        return "\u2715";
    }
    return "?";
}

const char* outcomeName(TGOutcome outcome) {
    switch (outcome) {
    case TGOutcome::fixed:
        return "fixed";
    case TGOutcome::added:
        return "added";
    case TGOutcome::already:
        return "already";
    case TGOutcome::hdr:
        return "hdr";
    case TGOutcome::skipped:
        return "skipped";
    case TGOutcome::error:
        return "error";
    }
    return "?";
}

} // namespace tg

// HEIF, HEIC and AVIF: re-labelled at the container level. The box tree is rewritten around the
// coded image data, which is copied from the source byte for byte, so every picture decodes
// exactly as before; no codec is involved.
#include "base/file.h"
#include "image/formats.h"
#include "image/heif_plan.h"

#include <array>
#include <optional>
#include <vector>

namespace tg {

namespace {

std::optional<heif::Source> readSource(const FileHandle& file) {
    auto size = file.size();
    if (size.failed()) return std::nullopt;
    return heif::readSource(
        [&file](std::uint64_t at, std::span<std::uint8_t> out) { return file.readAt(at, out); },
        *size);
}

ImageInfo decideHeif(const FileHandle& file) {
    const auto source = readSource(file);
    if (!source) return unreadableImage("damaged HEIF box tree");
    heif::Plan plan = heif::planTagging(*source);
    return {plan.check, std::nullopt, std::move(plan.reason)};
}

// The primary item's colour properties; an ICC profile and nclx codes may both be there.
ColourSignal recogniseHeif(const FileHandle& file) {
    const auto source = readSource(file);
    if (!source) return {};
    const auto* pitm = source->meta.find<heif::Pitm>();
    const auto* iprp = source->meta.find<heif::Iprp>();
    if (!pitm || !iprp) return {};
    ColourSignal s;
    for (const auto& ipma : iprp->ipma)
        for (const auto& entry : ipma.entries) {
            if (entry.itemId != pitm->itemId) continue;
            for (const auto& a : entry.props) {
                if (a.index == 0 || a.index > iprp->ipco.size()) continue;
                const heif::Property& p = iprp->ipco[a.index - 1];
                if (const auto n = heif::nclxOf(p); n && !s.cicp)
                    s.cicp = std::array<std::uint16_t, 3>{n->primaries, n->transfer, n->matrix};
                else if (const heif::Bytes icc = heif::iccOf(p); !icc.empty() && !s.icc)
                    s.icc = std::vector<std::uint8_t>(icc.begin(), icc.end());
            }
        }
    return s;
}

Status writeHeif(const FileHandle& file, const ImageInfo&, const FileHandle& out) {
    const auto source = readSource(file);
    if (!source) return Failure{{}, "the box tree no longer reads"};
    const heif::Plan plan = heif::planTagging(*source);
    if (plan.check != ImageCheck::taggable) return Failure{{}, "no longer taggable"};
    if (auto written = out.writeAt(0, plan.head); written.failed()) return written;
    for (const auto& run : plan.runs)
        if (auto copied = copyRange(file, run.from, out, run.to, run.length); copied.failed())
            return copied;
    // The source must not have changed under us: the copy ends where the plan says.
    auto size = out.size();
    if (size.failed()) return size.failure();
    if (*size != plan.size) return Failure{{}, "the source changed while it was copied"};
    return {};
}

} // namespace

const PhotoFormat HEIF_FORMAT{recogniseHeif, decideHeif, writeHeif};

} // namespace tg

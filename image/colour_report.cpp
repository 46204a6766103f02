#include "image/colour_report.h"

#include "base/file.h"
#include "base/owned.h"
#include "image/formats.h"
#include "image/image_tagger.h"

#include <lcms2.h>

#include <vector>

namespace tg {

namespace {

using Profile = Owned<void, cmsCloseProfile>;

// The profile's description, empty when lcms2 cannot read the profile or it has none.
std::string describe(const std::vector<std::uint8_t>& icc) {
    if (icc.empty() || icc.size() > UINT32_MAX) return {};
    Profile p(cmsOpenProfileFromMem(icc.data(), cmsUInt32Number(icc.size())));
    if (!p) return {};
    const cmsUInt32Number need =
        cmsGetProfileInfoASCII(p.get(), cmsInfoDescription, "en", "US", nullptr, 0);
    if (need == 0) return {};
    std::vector<char> text(need);
    cmsGetProfileInfoASCII(p.get(), cmsInfoDescription, "en", "US", text.data(), need);
    return std::string(text.data());
}

} // namespace

PhotoInspection inspectPhoto(const std::filesystem::path& file) {
    PhotoInspection report;
    const std::string name = file.filename().string();
    auto opened = FileHandle::openRegular(file, false);
    if (opened.failed()) {
        report.inPlace = TGResult(name, TGOutcome::error, CANT_READ_IMAGE);
        report.inPlace.detail = opened.cause();
        return report;
    }
    std::array<std::uint8_t, 64> head{};
    auto got = opened->readAt(0, head);
    if (got.failed()) {
        report.inPlace = TGResult(name, TGOutcome::error, CANT_READ_IMAGE);
        report.inPlace.detail = got.cause();
        return report;
    }
    report.readable = true;
    const ImageFormat format = sniffFormat(std::span(head).first(*got));
    const PhotoFormat* operations = photoFormatOf(format);
    const ColourSignal signal = operations ? operations->recognise(*opened) : ColourSignal{};
    // In a PNG, cICP outranks iCCP; elsewhere the profile is what decoders apply.
    const bool codesFirst = format == ImageFormat::png && signal.cicp;
    if (signal.icc && !codesFirst)
        report.colour = PhotoColour{"icc", describe(*signal.icc), {}};
    else if (signal.cicp)
        report.colour = PhotoColour{codesFirst ? "cicp" : "nclx", {}, *signal.cicp};
    report.inPlace = wouldTagImage(file, &*opened);
    if (report.inPlace.message == CANT_READ_IMAGE) report.readable = false;
    report.displayP3 = report.inPlace.outcome == TGOutcome::already;
    return report;
}

} // namespace tg

#include "image/display_p3.h"
#include "base/owned.h"

#include <lcms2.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>

namespace tg {

namespace {

using Profile = Owned<void, cmsCloseProfile>; // cmsHPROFILE is a void*
using Curve = Owned<cmsToneCurve, cmsFreeToneCurve>;
using Mlu = Owned<cmsMLU, cmsMLUfree>;

// IEC 61966-2-1 (sRGB) transfer as an ICC parametric curve of type 4.
constexpr std::array<cmsFloat64Number, 5> SRGB_PARAMS = {2.4, 1.0 / 1.055, 0.055 / 1.055,
                                                         1.0 / 12.92, 0.04045};

double srgbToLinear(double v) {
    return v >= 0.04045 ? std::pow((v + 0.055) / 1.055, 2.4) : v / 12.92;
}

bool setText(cmsHPROFILE p, cmsTagSignature sig, const char* text) {
    Mlu mlu(cmsMLUalloc(nullptr, 1));
    if (!mlu || !cmsMLUsetASCII(mlu.get(), "en", "US", text)) return false;
    return cmsWriteTag(p, sig, mlu.get()) != 0;
}

Profile buildProfile() {
    const cmsCIExyY d65 = {0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries = {
        {0.680, 0.320, 1.0},
        {0.265, 0.690, 1.0},
        {0.150, 0.060, 1.0},
    };
    Curve trc(cmsBuildParametricToneCurve(nullptr, 4, SRGB_PARAMS.data()));
    if (!trc) return nullptr;
    cmsToneCurve* curves[3] = {trc.get(), trc.get(), trc.get()};
    Profile p(cmsCreateRGBProfile(&d65, &primaries, curves));
    if (!p) return nullptr;
    if (!setText(p.get(), cmsSigProfileDescriptionTag, "Display P3") ||
        !setText(p.get(), cmsSigCopyrightTag, "No copyright, use freely"))
        return nullptr;
    return p;
}

std::vector<std::uint8_t> saveProfile() {
    Profile p = buildProfile();
    if (!p) return {};
    cmsUInt32Number size = 0;
    if (!cmsSaveProfileToMem(p.get(), nullptr, &size) || size == 0) return {};
    std::vector<std::uint8_t> bytes(size);
    if (!cmsSaveProfileToMem(p.get(), bytes.data(), &size)) return {};
    bytes.resize(size);
    // lcms2 stamps the creation time; a fixed date keeps the profile byte-identical across runs.
    constexpr std::array<std::uint8_t, 12> DATE = {0x07, 0xE8, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0};
    if (bytes.size() >= 36) std::copy(DATE.begin(), DATE.end(), bytes.begin() + 24);
    return bytes;
}

// The D50-adapted colorants of our own profile, the reference every other profile is held to.
struct Colorants {
    std::array<cmsCIEXYZ, 3> rgb{};
    bool ok = false;
};

bool readColorants(cmsHPROFILE p, std::array<cmsCIEXYZ, 3>& out) {
    const cmsTagSignature sigs[3] = {cmsSigRedColorantTag, cmsSigGreenColorantTag,
                                     cmsSigBlueColorantTag};
    for (int i = 0; i < 3; ++i) {
        const auto* xyz = static_cast<const cmsCIEXYZ*>(cmsReadTag(p, sigs[i]));
        if (!xyz) return false;
        out[static_cast<std::size_t>(i)] = *xyz;
    }
    return true;
}

const Colorants& referenceColorants() {
    static const Colorants ref = [] {
        Colorants c;
        const auto& bytes = displayP3Profile();
        Profile p(cmsOpenProfileFromMem(bytes.data(), static_cast<cmsUInt32Number>(bytes.size())));
        c.ok = p && readColorants(p.get(), c.rgb);
        return c;
    }();
    return ref;
}

// Profiles written by other programs round the numbers differently (s15Fixed16, their own
// Bradford matrix); these tolerances accept that and still reject DCI-P3, Adobe RGB or gamma 2.2.
constexpr double COLORANT_TOLERANCE = 0.003;
constexpr double CURVE_TOLERANCE = 0.002;

bool near(const cmsCIEXYZ& a, const cmsCIEXYZ& b) {
    return std::fabs(a.X - b.X) <= COLORANT_TOLERANCE &&
           std::fabs(a.Y - b.Y) <= COLORANT_TOLERANCE && std::fabs(a.Z - b.Z) <= COLORANT_TOLERANCE;
}

bool isSrgbCurve(const cmsToneCurve* curve) {
    if (!curve) return false;
    constexpr int STEPS = 64;
    for (int i = 0; i <= STEPS; ++i) {
        const double v = static_cast<double>(i) / STEPS;
        const double got = cmsEvalToneCurveFloat(curve, static_cast<cmsFloat32Number>(v));
        if (!std::isfinite(got) || std::fabs(got - srgbToLinear(v)) > CURVE_TOLERANCE) return false;
    }
    return true;
}

} // namespace

const std::vector<std::uint8_t>& displayP3Profile() {
    static const std::vector<std::uint8_t> bytes = saveProfile();
    return bytes;
}

namespace {

// An ICC header alone is 128 bytes; absurd sizes are refused before lcms2 sees them.
Profile openProfile(std::span<const std::uint8_t> icc) {
    if (icc.size() < 128 || icc.size() > (std::size_t{64} << 20)) return nullptr;
    return Profile(cmsOpenProfileFromMem(icc.data(), static_cast<cmsUInt32Number>(icc.size())));
}

} // namespace

std::optional<std::array<std::uint16_t, 3>> profileCodes(std::span<const std::uint8_t> icc) {
    Profile p = openProfile(icc);
    if (!p) return std::nullopt;
    const auto* cicp = static_cast<const cmsVideoSignalType*>(cmsReadTag(p.get(), cmsSigcicpTag));
    if (!cicp) return std::nullopt;
    return std::array<std::uint16_t, 3>{cicp->ColourPrimaries, cicp->TransferCharacteristics,
                                        cicp->MatrixCoefficients};
}

bool isDisplayP3(std::span<const std::uint8_t> icc) {
    const Colorants& ref = referenceColorants();
    if (!ref.ok) return false;
    Profile p = openProfile(icc);
    if (!p) return false;
    if (cmsGetColorSpace(p.get()) != cmsSigRgbData) return false;

    std::array<cmsCIEXYZ, 3> rgb{};
    if (!readColorants(p.get(), rgb)) return false;
    for (std::size_t i = 0; i < 3; ++i)
        if (!near(rgb[i], ref.rgb[i])) return false;

    const cmsTagSignature trcs[3] = {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag};
    for (auto sig : trcs)
        if (!isSrgbCurve(static_cast<const cmsToneCurve*>(cmsReadTag(p.get(), sig)))) return false;
    return true;
}

} // namespace tg

// The profile we attach, read back by exiftool, and which profiles count as Display P3.
#include "image/display_p3.h"
#include "image/image_fixtures.h"

#include <gtest/gtest.h>
#include <lcms2.h>

namespace {

using namespace imgtest;

TEST(DisplayP3Profile, ReadsBackAsDisplayP3) {
    tgtest::TempDir dir;
    const auto file = dir / "p3.icc";
    tgtest::writeBytes(file, tg::displayP3Profile());
    const Tags t(file, "-ProfileDescription -ColorSpaceData -ProfileClass -ChromaticityChannel1 "
                       "-ChromaticityChannel2 -ChromaticityChannel3 -ProfileCopyright");
    EXPECT_EQ(t["ProfileDescription"], "Display P3");
    EXPECT_EQ(t["ColorSpaceData"], "RGB "); // the ICC signature, space-padded
    EXPECT_EQ(t["ProfileClass"], "Display Device Profile");
    EXPECT_EQ(t["ChromaticityChannel1"], "0.67999 0.32001");
    EXPECT_EQ(t["ChromaticityChannel2"], "0.265 0.69");
    EXPECT_EQ(t["ChromaticityChannel3"], "0.14999 0.06");
    EXPECT_NE(t["ProfileCopyright"], "");
    // Built once: every call hands out the same bytes.
    EXPECT_EQ(&tg::displayP3Profile(), &tg::displayP3Profile());
}

TEST(DisplayP3Profile, MatchesByColorimetryNotByName) {
    EXPECT_TRUE(tg::isDisplayP3(tg::displayP3Profile()));

    ProfileSpec v2;
    v2.version = 2.1;
    v2.description = "iPhone";
    ProfileSpec rounded;
    rounded.red[0] = 0.6802;
    rounded.blue[1] = 0.0601;
    rounded.white[1] = 0.32902;
    EXPECT_TRUE(tg::isDisplayP3(makeProfile(v2)));
    EXPECT_TRUE(tg::isDisplayP3(makeProfile(rounded)));

    ProfileSpec gamma22, linear, named = srgb();
    gamma22.curve = Curve::gamma22;
    linear.curve = Curve::linear;
    named.description = "Display P3"; // the name alone does not make it P3
    for (const auto& spec : {dciP3(), adobeRgb(), srgb(), gamma22, linear, named})
        EXPECT_FALSE(tg::isDisplayP3(makeProfile(spec))) << spec.description;

    cmsHPROFILE grey = cmsCreateGrayProfile(cmsD50_xyY(), nullptr);
    ASSERT_NE(grey, nullptr);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(grey, nullptr, &size);
    std::vector<std::uint8_t> greyBytes(size);
    cmsSaveProfileToMem(grey, greyBytes.data(), &size);
    cmsCloseProfile(grey);
    EXPECT_FALSE(tg::isDisplayP3(greyBytes));
}

TEST(DisplayP3Profile, DamagedBytesAreNotP3) {
    const auto& p3 = tg::displayP3Profile();
    EXPECT_FALSE(tg::isDisplayP3({}));
    EXPECT_FALSE(tg::isDisplayP3(std::span(p3).first(p3.size() / 2)));
    std::vector<std::uint8_t> noise(p3.size());
    for (std::size_t i = 0; i < noise.size(); ++i)
        noise[i] = std::uint8_t(i * 7919 >> 3);
    EXPECT_FALSE(tg::isDisplayP3(noise));
}

} // namespace

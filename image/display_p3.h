// The Display P3 ICC profile we attach, and the test for a profile that already is Display P3.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tg {

// P3 primaries, D65 white, sRGB tone curve, description "Display P3"; built once with lcms2.
const std::vector<std::uint8_t>& displayP3Profile();

// True when the ICC profile's colorimetry (colorants, white point, tone curve) matches Display P3
// within a small tolerance, whoever wrote it.
bool isDisplayP3(std::span<const std::uint8_t> icc);

// The H.273 codes (primaries, transfer, matrix) of the profile's cicp tag (ICC v4.4), which is
// how a profile states PQ, HLG or BT.2020; nullopt when it has none or does not open.
std::optional<std::array<std::uint16_t, 3>> profileCodes(std::span<const std::uint8_t> icc);

} // namespace tg

// Colour codes as ITU-T H.273 numbers them: the same numbers in colr / nclx atoms and boxes, PNG
// cICP chunks, H.264 / HEVC VUI, AV1 color_config and ProRes frame headers.
#pragma once

#include <cstdint>
#include <string>

namespace tg {

inline constexpr std::uint8_t CODE_UNSPECIFIED = 2;

// colour_primaries
inline constexpr std::uint8_t PRIMARIES_BT709 = 1;
inline constexpr std::uint8_t PRIMARIES_BT2020 = 9;
inline constexpr std::uint8_t PRIMARIES_DISPLAY_P3 = 12; // P3 primaries, D65 white

// transfer_characteristics
inline constexpr std::uint8_t TRANSFER_SRGB = 13;
inline constexpr std::uint8_t TRANSFER_PQ = 16;
inline constexpr std::uint8_t TRANSFER_HLG = 18;

// matrix_coefficients
inline constexpr std::uint8_t MATRIX_IDENTITY = 0;

// What H.273 codes say HDR: PQ or HLG transfer, or BT.2020 primaries.
// Wider than a byte, as colr atoms carry them.
constexpr bool hdrTransfer(unsigned transfer) {
    return transfer == TRANSFER_PQ || transfer == TRANSFER_HLG;
}
constexpr bool hdrCodes(unsigned primaries, unsigned transfer) {
    return hdrTransfer(transfer) || primaries == PRIMARIES_BT2020;
}

// A primaries code's name for result lines: "BT.709", "unspecified", "BT.601 NTSC", ...
std::string primariesName(std::uint8_t code);

} // namespace tg

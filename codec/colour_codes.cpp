#include "codec/colour_codes.h"

namespace tg {

std::string primariesName(std::uint8_t code) {
    switch (code) {
    case 1:
        return "BT.709";
    case 2:
        return "unspecified";
    case 4:
        return "BT.470M";
    case 5:
        return "BT.601 PAL";
    case 6:
        return "BT.601 NTSC";
    case 7:
        return "SMPTE 240M";
    case 8:
        return "generic film";
    case 9:
        return "BT.2020";
    case 10:
        return "SMPTE 428 (CIE XYZ)";
    case 11:
        return "DCI-P3";
    case 12:
        return "Display-P3";
    case 22:
        return "EBU 3213";
    default:
        break;
    }
    return "primaries " + std::to_string(code);
}

} // namespace tg

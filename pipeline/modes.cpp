#include "pipeline/modes.h"

namespace tg {

std::vector<TGMode> orderedModes(bool inPlace, bool copy, bool bake) {
    std::vector<TGMode> modes;
    if (copy) modes.push_back(TGMode::p3Copy);
    if (bake) modes.push_back(TGMode::bake);
    if (inPlace) modes.push_back(TGMode::inPlace);
    return modes;
}

} // namespace tg

// Writes the Display P3 profile we attach to standard output, for reference tools to use.
#include "image/display_p3.h"

#include <cstdio>

int main() {
    const auto& icc = tg::displayP3Profile();
    return std::fwrite(icc.data(), 1, icc.size(), stdout) == icc.size() ? 0 : 1;
}

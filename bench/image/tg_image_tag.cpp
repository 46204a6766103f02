// Tags each image named on the command line in place and prints one result line per file.
#include "image/image_tagger.h"

#include <cstdio>

int main(int argc, char** argv) {
    int failed = 0;
    for (int i = 1; i < argc; ++i) {
        const auto r = tg::processImageCore(argv[i]);
        std::printf("%s: %s\n", r.name().c_str(), r.message.c_str());
        failed += r.outcome == tg::TGOutcome::error;
    }
    return failed == 0 ? 0 : 1;
}

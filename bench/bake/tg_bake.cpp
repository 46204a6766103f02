// Bakes one movie to BT.709 through the library pipeline: tg_bake <source> <destination>.
#include "bake/bake.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: tg_bake <source> <destination>\n");
        return 2;
    }
    const auto status = tg::bakeToRec709Sync(argv[1], argv[2]);
    if (!status.ok) std::fprintf(stderr, "%s\n", status.message.c_str());
    return status.ok ? 0 : 1;
}

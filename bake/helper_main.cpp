// tintguard-bake SOURCE DESTINATION: one re-encode in a process of its own, so that FFmpeg and
// its codecs load only here, a codec's crash cannot take the window or a batch with it, and a
// cancel is the end of this process.
#include "bake/bake.h"
#include "bake/helper_protocol.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>

int main(int argc, char** argv) {
    using namespace tg::bakeprotocol;
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s SOURCE DESTINATION\n", HELPER_NAME.data());
        return 2;
    }
    // A run that is killed takes its re-encode with it, instead of leaving it writing into a file
    // the next run clears away.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The death signal only covers a parent that dies from here on: one already gone has left
    // us to another, and its id tells.
    if (const char* parent = std::getenv(PARENT_ENV);
        parent && std::to_string(::getppid()) != parent)
        return 1;
    const auto status = tg::bakeToRec709Sync(argv[1], argv[2], [](double fraction) {
        std::printf("%.*s%.4f\n", int(PROGRESS.size()), PROGRESS.data(), fraction);
        std::fflush(stdout);
    });
    if (status.ok()) {
        std::printf("%.*s\n", int(OK.size()), OK.data());
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    std::string line = std::string(FAILED) + status.failure().message;
    for (char& c : line)
        if (c == '\n') c = ' ';
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    return 1;
}

// libx265 3.5 keeps one block from x265_encoder_open after x265_encoder_close: not ours to free.
// Its frames have no frame pointers, so the stack ends inside the library: match the module.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libx265.so\n";
}
#endif
#endif

// Tags one movie the way the window does and reports what it cost: wall time, bytes read and
// written (/proc/self/io) and peak memory, as key=value lines for run.sh. "shift" forces the
// recoverable tail shift (the route file systems without range insertion take) through the file
// layer's test instrumentation; the program itself has no such switch.
#include "base/file_faults.h"
#include "movie/movie_tagger.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include <sys/resource.h>

namespace {

void printIo() {
    std::ifstream io("/proc/self/io");
    std::string key;
    unsigned long long value = 0;
    while (io >> key >> value) {
        key.pop_back(); // the colon
        if (key == "rchar" || key == "wchar" || key == "read_bytes" || key == "write_bytes")
            std::printf("%s=%llu\n", key.c_str(), value);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s core|add|shift movie\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    if (mode == "shift") {
        tg::FileFaults faults;
        faults.rangeInsertion = tg::RangeInsertion::never;
        tg::setFileFaults(faults);
    }
    auto t0 = std::chrono::steady_clock::now();
    auto r = mode == "add" ? tg::addColr(argv[2]) : tg::processCore(argv[2]);
    auto t1 = std::chrono::steady_clock::now();
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    std::printf("outcome=%s\nmessage=%s\nseconds=%.6f\nmaxrss_kb=%ld\n", tg::outcomeName(r.outcome),
                r.message.c_str(), std::chrono::duration<double>(t1 - t0).count(), ru.ru_maxrss);
    printIo();
    return r.outcome == tg::TGOutcome::error ? 1 : 0;
}

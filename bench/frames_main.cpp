// Moves a fixed number of frames one way through a running adapter, for a profiler:
//   qvnet_bench_frames tx|rx SIZE COUNT
// A few frames go first so that what is done once (the first of each request, allocations
// that then stay) falls outside Measured, which a profiler can count alone
// (valgrind --tool=callgrind --toggle-collect='Measured*').
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/data_path.h"

// Out of line and outside any namespace, so that the profiler finds it by this name.
[[gnu::noinline]] bool Measured(qvbench::DataPath& path, qvbench::Way way, uint64_t count) {
    return path.Move(way, count);
}

int main(int argc, char** argv) {
    if (argc != 4 || (std::string(argv[1]) != "tx" && std::string(argv[1]) != "rx")) {
        std::fprintf(stderr, "usage: %s tx|rx SIZE COUNT\n", argv[0]);
        return 2;
    }
    const qvbench::Way way = std::string(argv[1]) == "tx" ? qvbench::Way::Transmit
                                                          : qvbench::Way::Receive;
    const auto size = std::strtoull(argv[2], nullptr, 10);
    const auto count = std::strtoull(argv[3], nullptr, 10);
    constexpr uint64_t kWarmUp = 64;

    qvbench::DataPath path(size);
    if (path.Move(way, kWarmUp) && Measured(path, way, count)) {
        std::printf("%llu frames of %llu bytes %s\n",
                    static_cast<unsigned long long>(path.Arrived(way)),
                    static_cast<unsigned long long>(size),
                    way == qvbench::Way::Transmit ? "on the wire" : "indicated");
        return 0;
    }
    std::fprintf(stderr, "%s\n", path.Error().c_str());
    return 1;
}

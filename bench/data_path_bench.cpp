// Frames per second through the driver and the hosted platform, each way, at the smallest and
// the largest frame, one at a time on one core; beside each, the ratio to the 100 Mb/s line
// rate for that frame size.
#include <benchmark/benchmark.h>

#include "bench/data_path.h"

namespace qvbench {
namespace {

void MoveFrames(benchmark::State& state, Way way) {
    const auto size = static_cast<size_t>(state.range(0));
    DataPath path(size);
    for (auto _ : state) {
        if (!path.Move(way, 1)) break;
    }
    if (!path.Error().empty()) {
        state.SkipWithError(path.Error().c_str());
        return;
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size));
    // Frames per second over the line rate's: 1 is a full 100 Mb/s link.
    state.counters["x_line_rate"] = benchmark::Counter(
        static_cast<double>(state.iterations()) / LineRate(size), benchmark::Counter::kIsRate);
}

void Transmit(benchmark::State& state) { MoveFrames(state, Way::Transmit); }
void Receive(benchmark::State& state) { MoveFrames(state, Way::Receive); }

BENCHMARK(Transmit)->Arg(64)->Arg(1514);
BENCHMARK(Receive)->Arg(64)->Arg(1514);

}  // namespace
}  // namespace qvbench

BENCHMARK_MAIN();

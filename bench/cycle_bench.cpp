// Poll cycles of the bus device with its real units through the frame layer:
// steady cycles (analog values and parameters only) and full ones (every
// optional query), on a typical and a large site. The simulator's answers
// are prepared before the timed loop, the 20 ms pause is taken out through
// its seam and the decoders' output goes nowhere, so a cycle costs only the
// driver's own work. Allocations per cycle are counted exactly.
#include <benchmark/benchmark.h>

#include "bench/CountingNew.h"
#include "bench/CycleRig.h"
#include "bench/QuietOutput.h"

namespace {

void BM_Cycle(benchmark::State& state, cycle_rig::Site site, bool steady,
              bool with_controller = false) {
    smd::set_pause([](unsigned) {});
    std::shared_ptr<SMDController> controller;
    if (with_controller) {
        // The host's side as well: snapshots published, alarm points
        // evaluated and records stored (in memory) on this thread.
        controller = std::make_shared<SMDController>();
        controller->SetSynchronousWork(true);
    }
    cycle_rig::Rig rig(site, steady, controller);
    // A few cycles to let every buffer reach its size.
    for (int i = 0; i < 4; ++i) rig.Cycle();
    if (!rig.ok) {
        state.SkipWithError("the warm-up cycles did not complete");
        smd::set_pause(nullptr);
        return;
    }
    const std::uint64_t commands = rig.Commands();
    const std::uint64_t allocations = counting_new::allocations.load();
    for (auto _ : state) {
        if (!rig.Cycle()) {
            state.SkipWithError("a cycle did not complete");
            break;
        }
    }
    const double cycles = static_cast<double>(state.iterations());
    state.counters["allocs_per_cycle"] =
        static_cast<double>(counting_new::allocations.load() - allocations) / cycles;
    state.counters["commands_per_cycle"] = static_cast<double>(rig.Commands() - commands) / cycles;
    smd::set_pause(nullptr);
}
BENCHMARK_CAPTURE(BM_Cycle, typical_steady, cycle_rig::kTypical, true);
BENCHMARK_CAPTURE(BM_Cycle, typical_full, cycle_rig::kTypical, false);
BENCHMARK_CAPTURE(BM_Cycle, large_steady, cycle_rig::kLarge, true);
BENCHMARK_CAPTURE(BM_Cycle, large_full, cycle_rig::kLarge, false);
BENCHMARK_CAPTURE(BM_Cycle, typical_steady_with_controller, cycle_rig::kTypical, true, true);
BENCHMARK_CAPTURE(BM_Cycle, large_steady_with_controller, cycle_rig::kLarge, true, true);

}  // namespace

int main(int argc, char** argv) {
    return quiet_output::RunBenchmarks(argc, argv);
}

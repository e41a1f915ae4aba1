// The in-memory history store (the fallback when no database can be used):
// one append into a store already holding its retention of records.
#include <benchmark/benchmark.h>

#include "host/SMDController.h"

namespace {

void BM_MemoryHistoryAppendWhenFull(benchmark::State& state) {
    const auto retention = static_cast<std::size_t>(state.range(0));
    smd::MemoryHistoryStore store(retention);
    smd::HistoryRecord r;
    r.data_id = 200;
    r.device_type = "ravo3-ac";
    r.unit_type = 5159;
    r.bytes.assign(64, 0x5A);
    for (std::size_t i = 0; i < retention; ++i) store.Append(r);
    for (auto _ : state) store.Append(r);
    if (store.Count() != retention) state.SkipWithError("retention not kept");
}
BENCHMARK(BM_MemoryHistoryAppendWhenFull)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

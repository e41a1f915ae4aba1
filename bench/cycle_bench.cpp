// One complete poll cycle of the bus device with its real units: answers
// built by the simulator, framed, fed through the frame layer, decoded,
// ended with every unit's RoundDone. The 20 ms pause is taken out through its
// seam, so this measures the driver's own work per cycle.
#include <benchmark/benchmark.h>

#include <memory>

#include "bus/Ravo3.h"
#include "runtime/FrameCodec.h"
#include "sim/Device.h"
#include "sim/Scenario.h"

namespace {

struct LastCommand : smd::Transport {
    bool Open() override { return true; }
    void Close() override {}
    bool IsOpen() const override { return true; }
    int Write(const unsigned char* d, unsigned int len, EnumParity) override {
        last.assign(d, d + len);
        return static_cast<int>(len);
    }
    std::vector<unsigned char> last;
};

std::string site(int ac, int dc) {
    return "{\"ac\": {\"units\": " + std::to_string(ac) +
           ", \"channels\": 3, \"data_flag\": 17}, \"dc\": {\"units\": " + std::to_string(dc) +
           ", \"data_flag\": 17}, \"rectifier\": {\"modules\": 12, \"data_flag\": 17}}";
}

void BM_FullCycle(benchmark::State& state) {
    const int ac = static_cast<int>(state.range(0));
    const int dc = static_cast<int>(state.range(1));
    smd::set_pause([](unsigned) {});
    auto controller = std::make_shared<SMDController>();
    controller->SetSynchronousWork(true);
    auto port = std::make_shared<LastCommand>();
    auto bus = std::make_shared<Ravo3>();
    bus->Init(controller, 100, Json::Value());
    Json::Value cfg(Json::objectValue);
    for (int i = 0; i < ac; ++i) cfg["acSetting"][i]["data_id"] = 200 + i;
    for (int i = 0; i < dc; ++i) cfg["dcSetting"][i]["data_id"] = 300 + i;
    cfg["rcSetting"] = Json::Value(Json::objectValue);
    bus->InitSetting(cfg);
    bus->SetTransport(port);
    sim::Device unit(sim::ParseScenario(site(ac, dc)));
    smd::Frame cmd;
    smd::FrameParser parse([&](const smd::Frame& f) { cmd = f; }, nullptr);
    std::vector<unsigned char> info;
    std::size_t bytes = 0;
    auto answer_last = [&] {
        parse.Feed(port->last.data(), port->last.size());
        unit.Observe(cmd.cid1, cmd.cid2, 0);
        unit.BuildInfo(cmd.cid1, cmd.cid2, info);
        auto frame = smd::encode_frame(0x20, 1, cmd.cid1, 0, info.data(), info.size());
        bytes += frame.size();
        bus->process(frame.data(), static_cast<unsigned>(frame.size()));
    };
    bus->RefreshStatus();  // model query
    answer_last();
    for (auto _ : state) {
        // Answer every command until the cycle ends (no command is left out).
        const auto before = bus->Stats().cycles;
        do {
            if (!bus->IsProcessing()) {
                // Past the hold-off between cycles.
                bus->last_update = boost::posix_time::ptime(boost::gregorian::date(2000, 1, 1));
                if (!bus->RefreshStatus()) {
                    state.SkipWithError("poll declined");
                    return;
                }
            }
            answer_last();
        } while (bus->Stats().cycles == before);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    state.counters["line_bytes_per_cycle"] =
        benchmark::Counter(static_cast<double>(bytes) / static_cast<double>(state.iterations()));
    smd::set_pause(nullptr);
}
// A small site, the demo's, and a large one (8 AC panels, 8 DC panels, 12 modules).
BENCHMARK(BM_FullCycle)->Args({1, 1})->Args({2, 4})->Args({8, 8});

}  // namespace

BENCHMARK_MAIN();

// The units' own operations on a typical site (1 AC channel, 1 DC unit,
// 6 modules) and a large one (2 AC units of 3 channels, 4 DC units, 24
// modules): each parse operation on the simulator's answer (built before the
// timed loop), each unit's RoundDone, and Get_Value per kind of name, with
// the AC channel-name matcher against a std::regex baseline in the same run.
// Decoder output goes nowhere.
#include <benchmark/benchmark.h>

#include <chrono>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/CycleRig.h"
#include "bench/QuietOutput.h"

namespace {

using cycle_rig::Site;

// A rig after its first cycles, with the simulator's answers to hand.
struct Units {
    Units(const Site& site)
        : rig(site, true), unit(sim::ParseScenario(cycle_rig::ScenarioJson(site, 0))) {
        smd::set_pause([](unsigned) {});
        rig.Cycle();
        smd::set_pause(nullptr);
        ac = std::dynamic_pointer_cast<Ravo3AC>(rig.bus->GetChildVDevice(200));
        dc = std::dynamic_pointer_cast<Ravo3DC>(rig.bus->GetChildVDevice(300));
        rc = std::dynamic_pointer_cast<Ravo3RC>(rig.bus->GetAllChildVDevices().back());
    }
    cycle_rig::Rig rig;
    sim::Device unit;
    std::shared_ptr<Ravo3AC> ac;
    std::shared_ptr<Ravo3DC> dc;
    std::shared_ptr<Ravo3RC> rc;
};

enum class Op {
    ac40_41,
    ac40_43,
    ac40_44,
    rc41_41,
    rc41_43,
    rc41_44,
    rc40_46,
    rc42_46,
    dc42_41,
    dc42_44
};

void BM_Parse(benchmark::State& state, Site site, Op op) {
    Units u(site);
    // The INFO as the bus device hands it on: a unit's block follows the data
    // flag and the unit count for the AC and DC answers; the rectifier unit
    // gets the whole INFO. The first unit's block is timed.
    sim::Bytes info;
    int start = 0;
    int expected = 0;
    auto run = [&]() -> int {
        const unsigned char* p = info.data() + start;
        const int n = static_cast<int>(info.size()) - start;
        switch (op) {
            case Op::ac40_41:
                return u.ac->parse40_41(p, n);
            case Op::ac40_43:
                return u.ac->parse40_43(p, n);
            case Op::ac40_44:
                return u.ac->parse40_44(p, n);
            case Op::rc41_41:
                return u.rc->parse41_41(p, n);
            case Op::rc41_43:
                return u.rc->parse41_43(p, n);
            case Op::rc41_44:
                return u.rc->parse41_44(p, n);
            case Op::rc40_46:
                return u.rc->parse40_46(p, n);
            case Op::rc42_46:
                return u.rc->parse42_46(p, n);
            case Op::dc42_41:
                return u.dc->parse42_41(p, n);
            case Op::dc42_44:
                return u.dc->parse42_44(p, n);
        }
        return -1;
    };
    switch (op) {
        case Op::ac40_41:
            info = u.unit.AcAnalog();
            start = 2;
            break;
        case Op::ac40_43:
            info = u.unit.AcStatus();
            start = 2;
            break;
        case Op::ac40_44:
            info = u.unit.AcAlarm();
            start = 2;
            break;
        case Op::rc41_41:
            info = u.unit.RcAnalog();
            break;
        case Op::rc41_43:
            info = u.unit.RcStatus();
            break;
        case Op::rc41_44:
            info = u.unit.RcAlarm();
            break;
        case Op::rc40_46:
            info = u.unit.AcParams();
            break;
        case Op::rc42_46:
            info = u.unit.DcParams();
            break;
        case Op::dc42_41:
            info = u.unit.DcAnalog();
            start = site.dc_units <= 3 ? 2 : 1;
            break;
        case Op::dc42_44:
            info = u.unit.DcAlarm();
            start = 2;
            break;
    }
    expected = run();
    if (expected <= 0) {
        state.SkipWithError("the answer was refused");
        return;
    }
    for (auto _ : state) {
        const int used = run();
        benchmark::DoNotOptimize(used);
    }
    state.counters["bytes"] = expected;
}
#define PARSE(op)                                                           \
    BENCHMARK_CAPTURE(BM_Parse, op##_typical, cycle_rig::kTypical, Op::op); \
    BENCHMARK_CAPTURE(BM_Parse, op##_large, cycle_rig::kLarge, Op::op)
PARSE(ac40_41);
PARSE(ac40_43);
PARSE(ac40_44);
PARSE(rc41_41);
PARSE(rc41_43);
PARSE(rc41_44);
PARSE(rc40_46);
PARSE(rc42_46);
PARSE(dc42_41);
PARSE(dc42_44);

// RoundDone with no controller: the closure runs at once and finds no
// controller to evaluate or store for, so this is the unit's own work
// (record, alarm points, the closure and its record copy).
void BM_RoundDone(benchmark::State& state, Site site, int which) {
    Units u(site);
    SMDVDevice* unit = which == 0   ? static_cast<SMDVDevice*>(u.ac.get())
                       : which == 1 ? static_cast<SMDVDevice*>(u.dc.get())
                                    : static_cast<SMDVDevice*>(u.rc.get());
    for (auto _ : state) unit->RoundDone();
    state.counters["points"] = static_cast<double>(unit->alarm_seq - 1);  // numbered from 1
}
BENCHMARK_CAPTURE(BM_RoundDone, ac_typical, cycle_rig::kTypical, 0);
BENCHMARK_CAPTURE(BM_RoundDone, ac_large, cycle_rig::kLarge, 0);
BENCHMARK_CAPTURE(BM_RoundDone, dc_typical, cycle_rig::kTypical, 1);
BENCHMARK_CAPTURE(BM_RoundDone, rc_typical, cycle_rig::kTypical, 2);
BENCHMARK_CAPTURE(BM_RoundDone, rc_large, cycle_rig::kLarge, 2);

// One value query; a refusal is a thrown std::out_of_range.
void BM_GetValue(benchmark::State& state, int which, std::string name) {
    Units u(cycle_rig::kLarge);
    const SMDVDevice* unit = which == 0   ? static_cast<SMDVDevice*>(u.ac.get())
                             : which == 1 ? static_cast<SMDVDevice*>(u.dc.get())
                                          : static_cast<SMDVDevice*>(u.rc.get());
    std::int64_t refused = 0;
    for (auto _ : state) {
        try {
            benchmark::DoNotOptimize(unit->Get_Value(0, name));
        } catch (const std::out_of_range&) {
            ++refused;
        }
    }
    state.counters["refused"] =
        benchmark::Counter(static_cast<double>(refused), benchmark::Counter::kAvgIterations);
}
BENCHMARK_CAPTURE(BM_GetValue, ac_phase_current, 0, std::string("ia"));
BENCHMARK_CAPTURE(BM_GetValue, ac_channel_value, 0, std::string("channel_2_f"));
BENCHMARK_CAPTURE(BM_GetValue, ac_channel_out_of_range, 0, std::string("channel_7_a"));
BENCHMARK_CAPTURE(BM_GetValue, ac_not_provided, 0, std::string("frequency"));
BENCHMARK_CAPTURE(BM_GetValue, dc_value, 1, std::string("i"));
BENCHMARK_CAPTURE(BM_GetValue, dc_not_ready, 1, std::string("t"));
BENCHMARK_CAPTURE(BM_GetValue, rc_refused, 2, std::string("v"));

// Names a host may ask the AC unit for, matched and not.
const std::vector<std::string>& ChannelNames() {
    static const std::vector<std::string> names = {
        "channel_0_a", "channel_2_f", "channel_12_b", "ac.channel_1_c", "ia",
        "channel__a",  "channel_3_",  "channel_x_a",  "frequency",      "channel_0_\n"};
    return names;
}

// The matcher in the timed loop; then the matcher and the std::regex search
// it replaces over the same names for as many rounds, timed by the clock,
// their ratio reported as `regex_over_matcher`.
void BM_ChannelNameMatcher(benchmark::State& state) {
    const std::vector<std::string>& names = ChannelNames();
    const std::regex pattern("channel_(\\d+)_(.+?)");
    // Both give the same answer for every name.
    for (const std::string& name : names) {
        std::smatch m;
        const bool found = std::regex_search(name, m, pattern);
        const ac_detail::ChannelName c = ac_detail::match_channel_name(name);
        if (found != c.found || (found && (m[1].str() != c.digits || m[2].str()[0] != c.letter))) {
            state.SkipWithError(("the matcher and the regex differ on " + name).c_str());
            return;
        }
    }
    for (auto _ : state) {
        for (const std::string& name : names) {
            benchmark::DoNotOptimize(ac_detail::match_channel_name(name));
        }
    }
    const int rounds = 20000;
    using Clock = std::chrono::steady_clock;
    const auto t0 = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        for (const std::string& name : names) {
            benchmark::DoNotOptimize(ac_detail::match_channel_name(name));
        }
    }
    const auto t1 = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        for (const std::string& name : names) {
            std::smatch m;
            benchmark::DoNotOptimize(std::regex_search(name, m, pattern));
        }
    }
    const auto t2 = Clock::now();
    const double matcher_ns = std::chrono::duration<double, std::nano>(t1 - t0).count();
    const double regex_ns = std::chrono::duration<double, std::nano>(t2 - t1).count();
    const double per_name = static_cast<double>(rounds * names.size());
    state.counters["matcher_ns_per_name"] = matcher_ns / per_name;
    state.counters["regex_ns_per_name"] = regex_ns / per_name;
    state.counters["regex_over_matcher"] = regex_ns / matcher_ns;
}
BENCHMARK(BM_ChannelNameMatcher);

}  // namespace

int main(int argc, char** argv) {
    return quiet_output::RunBenchmarks(argc, argv);
}

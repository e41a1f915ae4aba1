// The simulator's answers through the real bus device and units, in
// process: every command the bus device writes goes to the responder, every
// reply back into the frame layer. Catches any layout the units read
// differently from the way the simulator writes it.
#include <gtest/gtest.h>
#include <json/json.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "bus/Ravo3.h"
#include "sim/Responder.h"
#include "sim/Scenario.h"
#include "tests/support/Fixture.h"

using namespace testing_support;

namespace {

constexpr unsigned kBusId = 100;
constexpr unsigned kAcId = 11;
constexpr unsigned kDcId = 21;

Json::Value SiteConfig(unsigned ac_units = 1, unsigned dc_units = 1) {
    Json::Value cfg(Json::objectValue);
    for (unsigned i = 0; i < ac_units; ++i) cfg["acSetting"][i]["data_id"] = kAcId + i;
    for (unsigned i = 0; i < dc_units; ++i) cfg["dcSetting"][i]["data_id"] = kDcId + i;
    cfg["rcSetting"] = Json::Value(Json::objectValue);
    return cfg;
}

class SimHost : public ::testing::Test {
  protected:
    void Connect(sim::Scenario s, const Json::Value& site = SiteConfig()) {
        responder = std::make_unique<sim::Responder>(std::move(s));
        bus->Init(rec.controller, kBusId, site);
        bus->SetTransport(line);
        ASSERT_TRUE(bus->InitSetting(site));
    }
    // Hands every command written so far to the simulator and its replies
    // back to the bus device, until the line is quiet.
    void Pump() {
        while (seen < line->writes.size()) {
            const Bytes cmd = line->writes[seen++];
            for (const auto& r : responder->Feed(cmd.data(), cmd.size(), 0)) {
                Bytes b = r.bytes;
                bus->process(b.data(), static_cast<unsigned>(b.size()));
            }
        }
    }
    // Polls until `cycles` cycles have ended, the way the host's loop would:
    // time moves on between calls, so hold-offs and answer time-outs pass.
    void RunUntil(std::uint64_t cycles) {
        for (int guard = 0; guard < 400 && bus->Stats().cycles < cycles; ++guard) {
            clock.Advance(2);
            clock.AdvanceMillis(5000);
            bus->RefreshStatus();
            Pump();
        }
        ASSERT_EQ(bus->Stats().cycles, cycles);
    }
    std::set<std::string> Active(unsigned data_id) const {
        std::set<std::string> keys;
        for (const auto& a : rec.controller->ActiveAlarms()) {
            if (a.data_id == data_id) keys.insert(a.key + " " + a.detail);
        }
        return keys;
    }
    std::vector<std::string> ProtocolErrors() const {
        std::vector<std::string> out;
        for (const auto& t : rec.LogTexts()) {
            if (t.find("ProcotolError") != std::string::npos) out.push_back(t);
        }
        return out;
    }

    Recorder rec;
    FakeClock clock;
    NoPause no_pause;
    std::shared_ptr<RecordingTransport> line = std::make_shared<RecordingTransport>();
    std::unique_ptr<Ravo3> bus = std::make_unique<Ravo3>();
    std::unique_ptr<sim::Responder> responder;
    std::size_t seen = 0;
};

}  // namespace

TEST_F(SimHost, ExampleScenarioRaisesAndClearsItsAlarms) {
    const sim::Scenario s =
        sim::LoadScenarioFile(std::string(RAVO3_SOURCE_DIR) + "/examples/scenario.json");
    const sim::Value dc_v = s.dc_units.at(0).v;
    const sim::Value ib = s.ac_units.at(0).ib;
    Connect(s);

    const std::string low_a = "AC_0 交流屏1输入线/相电压AB/A";
    const std::string fuse2 = "DC_3 直流2电池熔丝故障告警";
    const std::string module2 = "RC_0 模块2整流模块故障告警";
    const std::string room = "RAVO3_DC_7 其他告警";
    struct Want {
        bool low_a, fuse2, module2, room;
        std::size_t modules;
    };
    const Want want[] = {
        {false, false, false, false, 3},  // 1
        {false, false, false, false, 3},  // 2
        {true, false, false, false, 3},   // 3: phase A voltage low
        {true, true, false, false, 3},    // 4: fuse 2 blown
        {true, true, true, false, 3},     // 5: module 2 failed
        {false, true, true, false, 3},    // 6: voltage back
        {false, true, true, false, 4},    // 7: a module added, taken on its third answer
        {false, true, true, true, 4},     // 8: battery room over-temperature
        {false, false, true, true, 4},    // 9: fuse replaced
        {false, false, false, true, 4},   // 10: module 2 back
        {false, false, false, false, 4},  // 11
    };
    for (std::uint64_t c = 1; c <= 11; ++c) {
        RunUntil(c);
        const Want& w = want[c - 1];
        const auto ac = Active(kAcId);
        const auto dc = Active(kDcId);
        const auto rc = Active(kBusId);
        EXPECT_EQ(ac.count(low_a), w.low_a ? 1u : 0u) << "cycle " << c;
        EXPECT_EQ(dc.count(fuse2), w.fuse2 ? 1u : 0u) << "cycle " << c;
        EXPECT_EQ(rc.count(module2), w.module2 ? 1u : 0u) << "cycle " << c;
        EXPECT_EQ(dc.count(room), w.room ? 1u : 0u) << "cycle " << c;
        EXPECT_EQ(responder->device().State().modules.size(), w.modules) << "cycle " << c;
        const auto snaps = rec.Snapshots();
        ASSERT_FALSE(snaps.empty());
        EXPECT_EQ(snaps.back().data_id, kBusId);
        EXPECT_EQ(snaps.back().bytes.at(73), w.modules) << "cycle " << c;  // module count
        // The values the scenario sets, as the host reads them.
        EXPECT_EQ(bus->Get_SP_Value(kDcId, "v"), dc_v.At(c)) << "cycle " << c;
        EXPECT_EQ(bus->Get_SP_Value(kAcId, "ib"), ib.At(c)) << "cycle " << c;
        EXPECT_EQ(responder->device().Cycle(), c);
    }
    // The added module was refused twice and then taken, as the units'
    // count rule says; nothing else was out of place.
    const auto errors = ProtocolErrors();
    EXPECT_TRUE(std::all_of(errors.begin(), errors.end(), [](const std::string& e) {
        return e.find("41_41") != std::string::npos;
    })) << ::testing::PrintToString(errors);
    EXPECT_EQ(bus->Stats().checksum_errors, 0u);
    EXPECT_EQ(bus->Stats().rtn_errors, 0u);
    EXPECT_EQ(responder->counters().rtn_errors, 0u);
}

TEST_F(SimHost, ForeignModelAlarm) {
    sim::Scenario s = sim::DefaultScenario();
    sim::SetModel(s, "RAV-O2");
    Connect(s);
    RunUntil(1);
    const auto active = Active(kBusId);
    ASSERT_EQ(std::count_if(active.begin(), active.end(),
                            [](const std::string& k) { return k.rfind("device_model ", 0) == 0; }),
              1);
}

TEST_F(SimHost, FaultyLineStillCompletesEveryCycle) {
    Connect(sim::ParseScenario(R"({"faults": {"seed": 3,
        "drop": {"probability": 0.1}, "corrupt_checksum": {"probability": 0.1},
        "truncate": {"probability": 0.1}, "garbage": {"probability": 0.1, "bytes": 7}}})"));
    RunUntil(15);
    EXPECT_GT(responder->counters().faults, 10u);
    EXPECT_GT(bus->Stats().checksum_errors, 0u);
    EXPECT_GT(bus->Stats().timeouts, 0u);
    EXPECT_GT(bus->Stats().garbage_runs, 0u);
    // Every finished cycle published every unit once.
    std::size_t ac = 0, dc = 0, rc = 0;
    for (const auto& s : rec.Snapshots()) {
        ac += s.data_id == kAcId;
        dc += s.data_id == kDcId;
        rc += s.data_id == kBusId;
    }
    EXPECT_EQ(ac, 15u);
    EXPECT_EQ(dc, 15u);
    EXPECT_EQ(rc, 15u);
    EXPECT_FLOAT_EQ(bus->Get_SP_Value(kDcId, "i"), 48.0f);
}

TEST_F(SimHost, WrongUnitCountRestartsTheCycle) {
    Connect(sim::ParseScenario(R"({"events": [
        {"at_cycle": 2, "do": "wrong_count", "count": "ac_units", "value": 2, "answers": 1}]})"));
    RunUntil(3);
    const auto errors = ProtocolErrors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("read ac_number is 2, configured ac_number is 1"), std::string::npos)
        << errors[0];
}

TEST_F(SimHost, LargerSiteWithCountTroubles) {
    // Two AC units and four DC units: the DC analog data begin at the count byte.
    Connect(sim::LoadScenarioFile(std::string(RAVO3_SOURCE_DIR) + "/examples/scenario-events.json"),
            SiteConfig(2, 4));
    RunUntil(10);
    EXPECT_EQ(responder->device().Cycle(), 10u);
    EXPECT_FLOAT_EQ(bus->Get_SP_Value(kAcId + 1, "channel_0_a"), 230.0f);
    EXPECT_FLOAT_EQ(bus->Get_SP_Value(kDcId + 3, "v"), 53.5f);
    EXPECT_FLOAT_EQ(bus->Get_SP_Value(kDcId + 2, "i"), 20.0f);
    // The first unit's voltage carries the count in its lowest byte.
    const float v0 = bus->Get_SP_Value(kDcId, "v");
    unsigned char raw[4];
    std::memcpy(raw, &v0, 4);
    EXPECT_EQ(raw[0], 4);
    EXPECT_NEAR(v0, 53.5f, 1e-4);
    const auto snaps = rec.Snapshots();
    EXPECT_EQ(snaps.back().bytes.at(73), 4);  // a module removed and another added
}

// A unit that does not flag a count change in its data flags (fixed at 0):
// the records of what remains are kept and read again at once, so a standing
// alarm neither clears nor raises again, and the points of what went are
// cleared exactly once. The history record follows the new count.
TEST_F(SimHost, CountChangesKeepWhatIsStillTrue) {
    struct Case {
        const char* name;
        const char* scenario;
        unsigned data_id;
        std::vector<std::string> raised, cleared;  // "key detail", in order
        std::size_t record_bytes;
    };
    const std::string m2 = "RC_0 模块2整流模块故障告警", m3 = "RC_0 模块3整流模块故障告警";
    const std::string m3_model = "RAVO3_RC_0 模块3模块故障告警状态";
    const std::string ch1 = "AC_0 交流屏1输入线/相电压AB/A", ch2 = "AC_5 交流屏2输入线/相电压BC/B";
    const std::vector<Case> cases = {
        {"module removed",
         R"({"rectifier": {"modules": 3, "data_flag": 0}, "events": [
             {"at_cycle": 1, "do": "fail_module", "module": 2},
             {"at_cycle": 1, "do": "fail_module", "module": 3},
             {"at_cycle": 1, "do": "set", "target": "module_alarm", "module": 3, "slot": 0},
             {"at_cycle": 3, "do": "remove_module"}]})",
         kBusId,
         {m2, m3, m3_model},
         {m3, m3_model},
         81 + 32 * 2},
        {"module added",
         R"({"rectifier": {"modules": 2, "data_flag": 0}, "events": [
             {"at_cycle": 1, "do": "fail_module", "module": 2},
             {"at_cycle": 3, "do": "add_module"}]})",
         kBusId,
         {m2},
         {},
         81 + 32 * 3},
        {"AC channel removed",
         R"({"ac": {"channels": 2, "data_flag": 0}, "events": [
             {"at_cycle": 1, "do": "set", "target": "ac_channel", "channel": 1, "phase": "a"},
             {"at_cycle": 1, "do": "set", "target": "ac_channel", "channel": 2, "phase": "b",
              "state": 2},
             {"at_cycle": 3, "do": "remove_channel"}]})",
         kAcId,
         {ch1, ch2},
         {ch2},
         40 + 30 * 1},
        {"AC channel added",
         R"({"ac": {"channels": 1, "data_flag": 0}, "events": [
             {"at_cycle": 1, "do": "set", "target": "ac_channel", "channel": 1, "phase": "a"},
             {"at_cycle": 3, "do": "add_channel"}]})",
         kAcId,
         {ch1},
         {},
         40 + 30 * 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Recorder fresh;
        bus = std::make_unique<Ravo3>();
        line = std::make_shared<RecordingTransport>();
        seen = 0;
        responder = std::make_unique<sim::Responder>(sim::ParseScenario(c.scenario));
        bus->Init(fresh.controller, kBusId, SiteConfig());
        bus->SetTransport(line);
        ASSERT_TRUE(bus->InitSetting(SiteConfig()));
        for (std::uint64_t n = 1; n <= 6; ++n) {
            for (int guard = 0; guard < 400 && bus->Stats().cycles < n; ++guard) {
                clock.Advance(2);
                clock.AdvanceMillis(5000);
                bus->RefreshStatus();
                Pump();
            }
        }
        ASSERT_EQ(bus->Stats().cycles, 6u);
        std::vector<std::string> raised, cleared;
        for (const auto& e : fresh.Events()) {
            if (e.alarm.data_id != c.data_id) continue;
            (e.kind == smd::AlarmEvent::Kind::Raised ? raised : cleared)
                .push_back(e.alarm.key + " " + e.alarm.detail);
        }
        EXPECT_EQ(raised, c.raised);
        EXPECT_EQ(cleared, c.cleared);
        std::set<std::string> active;
        for (const auto& a : fresh.controller->ActiveAlarms()) {
            if (a.data_id == c.data_id) active.insert(a.key + " " + a.detail);
        }
        std::set<std::string> want(c.raised.begin(), c.raised.end());
        for (const auto& k : c.cleared) want.erase(k);
        EXPECT_EQ(active, want);
        const auto history = fresh.history->All();
        ASSERT_FALSE(history.empty());
        std::size_t last = 0;
        for (const auto& r : history) {
            if (r.data_id == c.data_id && r.device_type != "ravo3-dc") last = r.bytes.size();
        }
        EXPECT_EQ(last, c.record_bytes);
    }
}

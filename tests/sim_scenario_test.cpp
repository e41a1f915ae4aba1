// Scenario files: every error names the key at fault; events fall due at the
// right cycle or second and change the answers as they say.
#include <gtest/gtest.h>

#include <string>

#include "sim/Device.h"
#include "sim/Scenario.h"
#include "tests/support/Fixture.h"

using testing_support::ByteBuilder;
using testing_support::Bytes;

namespace {

// One full poll cycle's commands, in order, as the device sees them.
void FullCycle(sim::Device& d, double seconds = 0) {
    const unsigned order[][2] = {{0x40, 0x41}, {0x40, 0x43}, {0x40, 0x44}, {0x41, 0x41},
                                 {0x41, 0x43}, {0x41, 0x44}, {0x42, 0x41}, {0x42, 0x44},
                                 {0x40, 0x46}, {0x42, 0x46}};
    for (const auto& c : order) {
        d.Observe(static_cast<std::uint8_t>(c[0]), static_cast<std::uint8_t>(c[1]), seconds);
    }
}

std::uint8_t ModuleCount(sim::Device& d) {
    return d.RcAnalog()[5];
}

}  // namespace

TEST(SimScenario, ErrorsNameTheKey) {
    struct Case {
        const char* json;
        const char* key;
    };
    const Case cases[] = {
        {R"({"ac": {"unit": 1}})", "ac.unit"},
        {R"({"ac": {"units": [{"channels": [{"a": "x"}]}]}})", "ac.units[0].channels[0].a"},
        {R"({"ac": {"units": [{"channels": [{"b": {"drift": 1}}]}]}})",
         "ac.units[0].channels[0].b.value"},
        {R"({"ac": {"units": 16, "channels": 16}})", "ac.units"},
        {R"({"ac": {"channels": 17}})", "ac.channels"},
        {R"({"ac": {"data_flag": "sometimes"}})", "ac.data_flag"},
        {R"({"model": "123456789012345678901"})", "model"},
        {R"({"model": 7})", "model"},
        {R"({"protocol_version": 34})", "protocol_version"},
        {R"({"address": 255})", "address"},
        {R"({"dc": {"units": 17}})", "dc.units"},
        {R"({"dc": {"units": [{"fuses": [0, 0, 300]}]}})", "dc.units[0].fuses[2]"},
        {R"({"rectifier": {"modules": [{"analog": [1, 2, 3]}]}})", "rectifier.modules[0].analog"},
        {R"({"rectifier": {"modules": 97}})", "rectifier.modules"},
        {R"({"parameters": {"dc_user": [1]}})", "parameters.dc_user"},
        {R"({"events": {}})", "events"},
        {R"({"events": [{"do": "blow_fuse", "fuse": 3}]})", "events[0].at_cycle"},
        {R"({"events": [{"at_cycle": 1, "at_seconds": 2, "do": "fail_module", "module": 1}]})",
         "events[0].at_cycle"},
        {R"({"events": [{"at_seconds": -1, "do": "fail_module", "module": 1}]})",
         "events[0].at_seconds"},
        {R"({"events": [{"at_cycle": 2, "do": "explode"}]})", "events[0].do"},
        {R"({"events": [{"at_cycle": 2, "do": "blow_fuse", "fuse": 65}]})", "events[0].fuse"},
        {R"({"events": [{"at_cycle": 2, "do": "blow_fuse"}]})", "events[0].fuse"},
        {R"({"events": [{"at_cycle": 2, "do": "set", "target": "ac_channel", "phase": "x"}]})",
         "events[0].phase"},
        {R"({"events": [{"at_cycle": 2, "do": "set", "target": "ac_channel", "phase": "a",
             "channel": 2}]})",
         "events[0].channel"},
        {R"({"events": [{"at_cycle": 2, "do": "set", "target": "dc_voltage", "unit": 2}]})",
         "events[0].unit"},
        {R"({"events": [{"at_cycle": 2, "do": "set", "target": "dc_user", "slot": 13}]})",
         "events[0].slot"},
        {R"({"events": [{"at_cycle": 2, "do": "set", "target": "lamp"}]})", "events[0].target"},
        {R"({"events": [{"at_cycle": 2, "do": "clear", "target": "dc_voltage", "state": 1}]})",
         "events[0].state"},
        {R"({"events": [{"at_cycle": 2, "do": "wrong_count", "count": "ac_units"}]})",
         "events[0].value"},
        {R"({"events": [{"at_cycle": 2, "do": "wrong_count", "count": "fuses", "value": 1}]})",
         "events[0].count"},
        {R"({"events": [{"at_cycle": 2, "do": "set_flag", "block": "ups", "value": 0}]})",
         "events[0].block"},
        {R"({"events": [{"at_cycle": 2, "do": "set_value", "target": "group"}]})",
         "events[0].value"},
        {R"({"faults": {"drop": {"probability": 1.5}}})", "faults.drop.probability"},
        {R"({"faults": {"drop": {"every": 3, "at": [1]}}})", "faults.drop.probability"},
        {R"({"faults": {"drop": {"every": 2, "ms": 5}}})", "faults.drop.ms"},
        {R"({"faults": {"garbage": [{"every": 2}, {"every": 2, "command": "4141"}]}})",
         "faults.garbage[1].command"},
        {R"({"faults": {"delay": {"at": []}}})", "faults.delay.at"},
        {R"({"faults": {"smoke": {"every": 1}}})", "faults.smoke"},
        {R"([])", "(top)"},
    };
    for (const auto& c : cases) {
        try {
            sim::ParseScenario(c.json);
            ADD_FAILURE() << "accepted: " << c.json;
        } catch (const sim::ScenarioError& e) {
            EXPECT_EQ(e.key(), c.key) << c.json << "\n" << e.what();
            EXPECT_NE(std::string(e.what()).find(std::string("\"") + c.key + "\""),
                      std::string::npos)
                << e.what();
        }
    }
}

TEST(SimScenario, JsonSyntaxErrors) {
    for (const char* text : {R"({"ac": )", R"({"model": "a", "model": "b"})", R"({} x)"}) {
        try {
            sim::ParseScenario(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const sim::ScenarioError& e) {
            EXPECT_EQ(e.key(), "");
            EXPECT_NE(std::string(e.what()).find("not valid JSON"), std::string::npos) << e.what();
        }
    }
}

TEST(SimScenario, FileErrorsNameTheFile) {
    try {
        sim::LoadScenarioFile("/nonexistent/scenario.json");
        ADD_FAILURE();
    } catch (const sim::ScenarioError& e) {
        EXPECT_NE(std::string(e.what()).find("/nonexistent/scenario.json"), std::string::npos);
    }
}

TEST(SimScenario, ExampleScenariosParse) {
    for (const char* name : {"scenario.json", "scenario-faults.json", "scenario-events.json"}) {
        const std::string path = std::string(RAVO3_SOURCE_DIR) + "/examples/" + name;
        EXPECT_NO_THROW(sim::LoadScenarioFile(path)) << path;
    }
}

TEST(SimScenario, DefaultsAndComments) {
    const sim::Scenario s = sim::ParseScenario(R"({"_comment": "ignored", "ac": {"_note": 1}})");
    EXPECT_EQ(s.model, "RAV-O3");
    EXPECT_EQ(s.protocol_version, 0x20);
    EXPECT_EQ(s.address, 1);
    ASSERT_EQ(s.ac_units.size(), 1u);
    EXPECT_EQ(s.ac_units[0].channels.size(), 1u);
    EXPECT_EQ(s.modules.size(), 3u);
    EXPECT_EQ(s.dc_units.size(), 1u);
    EXPECT_TRUE(s.ac_flag.automatic);
    EXPECT_EQ(s.faults.seed, 1u);
    EXPECT_TRUE(s.faults.rules.empty());
}

TEST(SimScenario, CyclesCountedFromThePollOrder) {
    sim::Device d(sim::DefaultScenario());
    d.Observe(0x40, 0x51, 0);  // the model query belongs to no cycle
    EXPECT_EQ(d.Cycle(), 0u);
    d.Observe(0x40, 0x41, 0);
    EXPECT_EQ(d.Cycle(), 1u);
    d.Observe(0x40, 0x41, 0);  // a retry
    d.Observe(0x41, 0x41, 0);
    d.Observe(0x42, 0x41, 0);
    d.Observe(0x40, 0x46, 0);
    d.Observe(0x42, 0x46, 0);
    EXPECT_EQ(d.Cycle(), 1u);
    d.Observe(0x40, 0x41, 0);
    EXPECT_EQ(d.Cycle(), 2u);
    d.Observe(0x41, 0x41, 0);  // a site without AC units starts its cycles here
    d.Observe(0x41, 0x41, 0);
    d.Observe(0x42, 0x41, 0);
    d.Observe(0x41, 0x41, 0);
    EXPECT_EQ(d.Cycle(), 3u);
}

TEST(SimScenario, StateEventsTakeEffectAtTheirCycle) {
    sim::Device d(sim::ParseScenario(R"({"events": [
        {"at_cycle": 3, "do": "set", "target": "ac_channel", "phase": "b", "state": 2},
        {"at_cycle": 5, "do": "clear", "target": "ac_channel", "phase": "b"},
        {"at_cycle": 3, "do": "blow_fuse", "fuse": 64},
        {"at_cycle": 4, "do": "set", "target": "dc_user", "slot": 6, "state": 227},
        {"at_cycle": 4, "do": "fail_module", "module": 2},
        {"at_cycle": 4, "do": "set", "target": "module_alarm", "module": 3, "slot": 3, "state": 226},
        {"at_cycle": 4, "do": "set", "target": "ac_current", "phase": "c", "state": 3},
        {"at_cycle": 4, "do": "set", "target": "dc_voltage", "state": 1}]})"));
    const auto b_state = [&] { return d.AcAlarm()[2 + 1 + 1]; };
    const auto ic_alert = [&] { return d.AcAlarm()[2 + 1 + 14 + 2]; };
    const auto fuse64 = [&] { return d.DcAlarm()[2 + 2 + 63]; };
    const auto dc_slot6 = [&] { return d.DcAlarm()[2 + 2 + 64 + 1 + 6]; };
    const auto v_state = [&] { return d.DcAlarm()[2]; };
    const auto fault2 = [&] { return d.RcAlarm()[2 + 6]; };
    const auto comm3 = [&] { return d.RcAlarm()[2 + 12 + 2 + 3]; };

    struct Want {
        int b, fuse, slot6, fault, comm, ic, v;
    };
    const Want want[] = {
        {0, 0, 0, 0, 0, 0, 0},      // cycle 1
        {0, 0, 0, 0, 0, 0, 0},      // cycle 2
        {2, 3, 0, 0, 0, 0, 0},      // cycle 3
        {2, 3, 227, 1, 226, 3, 1},  // cycle 4
        {0, 3, 227, 1, 226, 3, 1},  // cycle 5
    };
    for (int c = 0; c < 5; ++c) {
        FullCycle(d);
        ASSERT_EQ(d.Cycle(), static_cast<std::uint64_t>(c + 1));
        EXPECT_EQ(b_state(), want[c].b) << "cycle " << c + 1;
        EXPECT_EQ(fuse64(), want[c].fuse) << "cycle " << c + 1;
        EXPECT_EQ(dc_slot6(), want[c].slot6) << "cycle " << c + 1;
        EXPECT_EQ(fault2(), want[c].fault) << "cycle " << c + 1;
        EXPECT_EQ(comm3(), want[c].comm) << "cycle " << c + 1;
        EXPECT_EQ(ic_alert(), want[c].ic) << "cycle " << c + 1;
        EXPECT_EQ(v_state(), want[c].v) << "cycle " << c + 1;
    }
}

TEST(SimScenario, EventsInSeconds) {
    sim::Device d(sim::ParseScenario(R"({"events": [
        {"at_seconds": 10, "do": "set", "target": "dc_voltage", "state": 2}]})"));
    d.Observe(0x42, 0x44, 9.999);
    EXPECT_EQ(d.DcAlarm()[2], 0);
    d.Observe(0x42, 0x44, 10.0);
    EXPECT_EQ(d.DcAlarm()[2], 2);
}

TEST(SimScenario, ModulesAddedAndRemoved) {
    sim::Device d(sim::ParseScenario(R"({"rectifier": {"modules": 2, "value": 10}, "events": [
        {"at_cycle": 2, "do": "add_module", "value": 33.5},
        {"at_cycle": 3, "do": "remove_module", "module": 1},
        {"at_cycle": 4, "do": "remove_module"},
        {"at_cycle": 5, "do": "fail_module", "module": 2}]})"));
    FullCycle(d);
    EXPECT_EQ(ModuleCount(d), 2);
    FullCycle(d);
    EXPECT_EQ(ModuleCount(d), 3);
    Bytes analog = d.RcAnalog();
    ASSERT_EQ(analog.size(), 6u + 3u * 21u);
    EXPECT_EQ(Bytes(analog.begin() + 6 + 42, analog.begin() + 6 + 46),
              ByteBuilder().f32(33.5f).build());
    EXPECT_EQ(d.RcStatus()[1], 3);
    EXPECT_EQ(d.RcAlarm()[1], 3);
    FullCycle(d);
    analog = d.RcAnalog();
    ASSERT_EQ(analog[5], 2);  // the first module went; the added one is second now
    EXPECT_EQ(Bytes(analog.begin() + 6 + 21, analog.begin() + 6 + 25),
              ByteBuilder().f32(33.5f).build());
    FullCycle(d);
    EXPECT_EQ(ModuleCount(d), 1);
    FullCycle(d);  // module 2 no longer exists: the event is noted and ignored
    EXPECT_EQ(ModuleCount(d), 1);
    bool noted = false;
    for (const auto& n : d.TakeNotes()) noted |= n.find("no module 2") != std::string::npos;
    EXPECT_TRUE(noted);
}

TEST(SimScenario, WrongCounts) {
    sim::Device d(sim::ParseScenario(R"({"ac": {"units": 1, "channels": 2}, "dc": {"units": 2},
        "events": [
        {"at_cycle": 2, "do": "wrong_count", "count": "ac_units", "value": 2, "answers": 2},
        {"at_cycle": 2, "do": "wrong_count", "count": "dc_units", "value": 5},
        {"at_cycle": 2, "do": "wrong_count", "count": "modules", "value": 9, "answers": 1},
        {"at_cycle": 2, "do": "wrong_count", "count": "ac_channels", "unit": 1, "value": 3},
        {"at_cycle": 3, "do": "fix_count", "count": "dc_units"},
        {"at_cycle": 3, "do": "fix_count", "count": "ac_channels"}]})"));
    FullCycle(d);
    EXPECT_EQ(d.AcAnalog()[1], 1);
    FullCycle(d);
    // Only the count bytes are wrong; the data stays as it is.
    const Bytes ac = d.AcAnalog();
    EXPECT_EQ(ac[1], 2);
    EXPECT_EQ(ac[2], 3);
    EXPECT_EQ(ac.size(), 2u + 13u + 34u);
    EXPECT_EQ(d.AcAlarm()[1], 2);   // the second answer carrying the wrong count
    EXPECT_EQ(d.AcStatus()[1], 1);  // right again
    EXPECT_EQ(d.RcAnalog()[5], 9);
    EXPECT_EQ(d.RcAnalog()[5], 3);
    EXPECT_EQ(d.DcAnalog()[1], 5);
    EXPECT_EQ(d.DcAlarm()[1], 5);
    EXPECT_EQ(d.DcAnalog()[1], 5);
    FullCycle(d);
    EXPECT_EQ(d.DcAnalog()[1], 2);
    EXPECT_EQ(d.AcAnalog()[2], 2);
}

TEST(SimScenario, ValuesAndFlagsSetByEvents) {
    sim::Device d(sim::ParseScenario(R"({"dc": {"data_flag": 0}, "events": [
        {"at_cycle": 2, "do": "set_value", "target": "dc_voltage", "value": 47.5},
        {"at_cycle": 2, "do": "set_value", "target": "ac_channel", "phase": "f", "value": null},
        {"at_cycle": 2, "do": "set_value", "target": "group", "value": 54},
        {"at_cycle": 2, "do": "set_flag", "block": "dc", "value": 17}]})"));
    FullCycle(d);
    EXPECT_EQ(d.DcAnalog()[0], 0);
    FullCycle(d);
    const Bytes dc = d.DcAnalog();
    EXPECT_EQ(dc[0], 17);
    EXPECT_EQ(Bytes(dc.begin() + 2, dc.begin() + 6), ByteBuilder().f32(47.5f).build());
    const Bytes ac = d.AcAnalog();
    EXPECT_EQ(Bytes(ac.begin() + 15, ac.begin() + 19), Bytes(4, 0x20));
    const Bytes rc = d.RcAnalog();
    EXPECT_EQ(Bytes(rc.begin() + 1, rc.begin() + 5), ByteBuilder().f32(54).build());
}

// INFO layouts of every answer of the simulated unit, byte by byte against
// hand-built answers, and the data flags that steer the host's cycle.
#include <gtest/gtest.h>

#include <string>

#include "sim/Device.h"
#include "sim/Scenario.h"
#include "tests/support/Fixture.h"

using testing_support::ByteBuilder;
using testing_support::Bytes;

namespace {

sim::Device DeviceOf(const std::string& json) {
    return sim::Device(sim::ParseScenario(json));
}

constexpr unsigned kNa = 0x20;  // the not-available marker byte

}  // namespace

TEST(SimAnswers, AcAnalogOneUnitOneChannel) {
    auto d = DeviceOf(R"({"ac": {"data_flag": 0, "units": [{"channels": [{"a": 220, "b": 221.5,
        "c": null, "f": 50}], "ia": 1.5, "ib": 2, "ic": null}]}})");
    const Bytes want = ByteBuilder()
                           .u8(0)  // DATAFLAG
                           .u8(1)  // AC units
                           .u8(1)  // M
                           .f32(220.0f)
                           .f32(221.5f)
                           .repeat(kNa, 4)
                           .f32(50.0f)
                           .u8(0)  // p
                           .f32(1.5f)
                           .f32(2.0f)
                           .repeat(kNa, 4);
    EXPECT_EQ(d.AcAnalog(), want);
    EXPECT_EQ(want.size(), 2u + 30u);
}

TEST(SimAnswers, AcAnalogUnitsFollowOneAnother) {
    auto d = DeviceOf(R"({"ac": {"data_flag": 0, "voltage": 230, "frequency": 49.5, "current": 3,
        "units": [{"channels": 0}, {"channels": 2}]}})");
    ByteBuilder want;
    want.u8s({0, 2});
    want.u8(0).f32(3).f32(3).f32(3);  // a unit without channels: M = 0 and its currents
    want.u8(2);
    for (int ch = 0; ch < 2; ++ch) want.f32(230).f32(230).f32(230).f32(49.5f).u8(0);
    want.f32(3).f32(3).f32(3);
    EXPECT_EQ(d.AcAnalog(), want.build());
    EXPECT_EQ(want.size(), 2u + 13u + 47u);
}

TEST(SimAnswers, AcStatusAndAlarm) {
    auto d = DeviceOf(R"({"ac": {"data_flag": 17, "units": [{"breakers": [1, 0, 2],
        "status_user": [0, 1, 0], "current_alarms": [0, 2, 3],
        "channels": [{"states": [1, 2, 3, 0], "alarm_user": [9, 8, 7, 6, 5, 4, 3, 2]}]}]}})");
    EXPECT_EQ(d.AcStatus(), ByteBuilder().u8s({0x11, 1, 3, 1, 0, 2, 3, 0, 1, 0}).build());
    const Bytes alarm = ByteBuilder()
                            .u8s({0x11, 1})
                            .u8(1)              // channel count, passed over by the host
                            .u8s({1, 2, 3, 0})  // a, b, c, f states
                            .u8(0)              // no further alarm bytes
                            .u8(8)
                            .u8s({9, 8, 7, 6, 5, 4, 3, 2})
                            .u8s({0, 2, 3});  // ia, ib, ic alarm states
    EXPECT_EQ(d.AcAlarm(), alarm);
    EXPECT_EQ(alarm.size(), 2u + 4u + 14u);
}

TEST(SimAnswers, RectifierAnswers) {
    auto d = DeviceOf(R"({"rectifier": {"data_flag": 0, "group": 53.5, "modules": [
        {"value": 20, "analog": [1, 2, null, 4], "status": [1, 0, 1], "status_user": 5},
        {"value": 21.25, "analog": [5, 6, 7, 8], "fault": 1, "alarm_user": [0, 1, 0, 226]}]}})");
    const Bytes analog = ByteBuilder()
                             .u8(0)
                             .f32(53.5f)
                             .u8(2)
                             .f32(20)
                             .u8(4)
                             .f32(1)
                             .f32(2)
                             .repeat(kNa, 4)
                             .f32(4)
                             .f32(21.25f)
                             .u8(4)
                             .f32(5)
                             .f32(6)
                             .f32(7)
                             .f32(8);
    EXPECT_EQ(d.RcAnalog(), analog);
    EXPECT_EQ(analog.size(), 6u + 21u * 2);
    EXPECT_EQ(d.RcStatus(), ByteBuilder().u8s({0, 2, 1, 0, 1, 1, 5, 0, 0, 0, 1, 0}).build());
    EXPECT_EQ(d.RcAlarm(), ByteBuilder().u8s({0, 2, 0, 4, 0, 0, 0, 0, 1, 4, 0, 1, 0, 226}).build());
}

TEST(SimAnswers, DcAnalogWithCountByte) {
    auto d = DeviceOf(R"({"dc": {"data_flag": 0, "units": [{"v": 53.5, "i": 48, "m": [1.5, null],
        "n": [7], "user": [9]}]}})");
    const Bytes want = ByteBuilder()
                           .u8s({0, 1})
                           .f32(53.5f)
                           .f32(48)
                           .u8(2)
                           .f32(1.5f)
                           .repeat(kNa, 4)
                           .u8(1)
                           .f32(7)
                           .u8(1)
                           .f32(9);
    EXPECT_EQ(d.DcAnalog(), want);
}

TEST(SimAnswers, DcAnalogWithFourUnitsBeginsAtTheCountByte) {
    auto d = DeviceOf(R"({"dc": {"data_flag": 0, "units": 4, "voltage": 48.25, "current": 10,
        "m": []}})");
    ByteBuilder sections;
    for (int u = 0; u < 4; ++u) sections.f32(48.25f).f32(10).u8s({0, 0, 0});
    Bytes want = ByteBuilder().u8(0).bytes(sections.build());
    want[1] = 4;  // the count byte is the first byte of the first unit's data
    const Bytes got = d.DcAnalog();
    EXPECT_EQ(got, want);
    EXPECT_EQ(got.size(), 1u + 4u * 11u);
}

TEST(SimAnswers, DcAlarm) {
    auto d = DeviceOf(R"({"dc": {"data_flag": 0, "units": [{"v_state": 2, "fuses": [0, 3],
        "user_alarms": [0, 0, 0, 0, 228]}]}})");
    ByteBuilder want;
    want.u8s({0, 1, 2, 64, 0, 3}).repeat(0, 62).u8(13).u8s({0, 0, 0, 0, 228}).repeat(0, 8);
    EXPECT_EQ(d.DcAlarm(), want.build());
    EXPECT_EQ(want.size(), 2u + 80u);
}

TEST(SimAnswers, ParametersAndModel) {
    auto d = DeviceOf(R"({"parameters": {"ac": [1, 2, 3, 4, 5], "dc": [57.5, 43],
        "dc_user": [1, 2, 3, 4, 5, 6, 7, 8, null]}, "model": "RAV-O3"})");
    EXPECT_EQ(d.AcParams(), ByteBuilder().f32(1).f32(2).f32(3).f32(4).f32(5).u8(0).build());
    ByteBuilder dc;
    dc.f32(57.5f).f32(43).u8(9);
    for (int i = 1; i <= 8; ++i) dc.f32(static_cast<float>(i));
    dc.repeat(kNa, 4);
    EXPECT_EQ(d.DcParams(), dc.build());
    EXPECT_EQ(dc.size(), 45u);
    EXPECT_EQ(d.Model(), ByteBuilder().u8s({'R', 'A', 'V', '-', 'O', '3'}).repeat(0, 14).build());

    auto full = DeviceOf(R"({"model": "ABCDEFGHIJKLMNOPQRST"})");
    const Bytes m = full.Model();
    EXPECT_EQ(std::string(m.begin(), m.end()), "ABCDEFGHIJKLMNOPQRST");
}

TEST(SimAnswers, BuildInfoServesExactlyTheCommandSet) {
    sim::Device d(sim::DefaultScenario());
    struct Case {
        unsigned cid1, cid2;
        bool served;
    };
    const Case cases[] = {
        {0x40, 0x41, true},  {0x40, 0x43, true},  {0x40, 0x44, true},  {0x40, 0x46, true},
        {0x40, 0x51, true},  {0x41, 0x41, true},  {0x41, 0x43, true},  {0x41, 0x44, true},
        {0x42, 0x41, true},  {0x42, 0x44, true},  {0x42, 0x46, true},  {0x41, 0x46, false},
        {0x42, 0x43, false}, {0x40, 0x47, false}, {0x43, 0x41, false}, {0x42, 0x51, false},
    };
    for (const auto& c : cases) {
        Bytes info;
        EXPECT_EQ(
            d.BuildInfo(static_cast<std::uint8_t>(c.cid1), static_cast<std::uint8_t>(c.cid2), info),
            c.served)
            << std::hex << c.cid1 << "/" << c.cid2;
    }
}

TEST(SimAnswers, DefaultScenarioSizes) {
    sim::Device d(sim::DefaultScenario());
    EXPECT_EQ(d.AcAnalog().size(), 2u + 30u);
    EXPECT_EQ(d.AcStatus().size(), 2u + 2u + 2u + 3u);
    EXPECT_EQ(d.AcAlarm().size(), 2u + 4u + 14u);
    EXPECT_EQ(d.RcAnalog().size(), 6u + 3u * 21u);
    EXPECT_EQ(d.RcStatus().size(), 2u + 3u * 5u);
    EXPECT_EQ(d.RcAlarm().size(), 2u + 3u * 6u);
    EXPECT_EQ(d.DcAnalog().size(), 2u + 11u + 8u);
    EXPECT_EQ(d.DcAlarm().size(), 2u + 80u);
    EXPECT_EQ(d.AcParams().size(), 21u);
    EXPECT_EQ(d.DcParams().size(), 45u);
}

TEST(SimAnswers, AutomaticFlagsReportChangesUntilRead) {
    auto d = DeviceOf(R"({"events": [
        {"at_cycle": 2, "do": "set", "target": "ac_channel", "phase": "a", "state": 1},
        {"at_cycle": 2, "do": "set", "target": "module_status", "module": 1, "slot": 0},
        {"at_cycle": 2, "do": "blow_fuse", "fuse": 1}]})");
    d.Observe(0x40, 0x41, 0);
    // Everything counts as changed until the host has read it once.
    EXPECT_EQ(d.AcAnalog()[0], 0x11);
    EXPECT_EQ(d.RcAnalog()[0], 0x11);
    EXPECT_EQ(d.DcAnalog()[0], 0x01);
    d.AcStatus();
    EXPECT_EQ(d.AcAnalog()[0], 0x01);
    d.AcAlarm();
    d.RcStatus();
    d.RcAlarm();
    d.DcAlarm();
    EXPECT_EQ(d.AcAnalog()[0], 0x00);
    EXPECT_EQ(d.RcAnalog()[0], 0x00);
    EXPECT_EQ(d.DcAnalog()[0], 0x00);

    d.Observe(0x42, 0x46, 0);
    d.Observe(0x40, 0x41, 0);          // cycle 2: the events fall due
    EXPECT_EQ(d.AcAnalog()[0], 0x01);  // an alarm state changed
    EXPECT_EQ(d.RcAnalog()[0], 0x10);  // a status byte changed
    EXPECT_EQ(d.DcAnalog()[0], 0x01);
}

TEST(SimAnswers, FixedFlagStaysWhatever) {
    auto d = DeviceOf(R"({"ac": {"data_flag": 16}, "dc": {"data_flag": 0},
        "rectifier": {"data_flag": 1}})");
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(d.AcAnalog()[0], 0x10);
        EXPECT_EQ(d.DcAnalog()[0], 0x00);
        EXPECT_EQ(d.RcAnalog()[0], 0x01);
        d.AcStatus();
        d.AcAlarm();
        d.DcAlarm();
    }
}

TEST(SimAnswers, DriftFollowsTheCycle) {
    sim::Value v;
    v.base = 100.0f;
    v.drift = 10.0f;
    v.period = 4;
    EXPECT_FLOAT_EQ(v.At(0), 100.0f);
    EXPECT_FLOAT_EQ(v.At(1), 110.0f);
    EXPECT_NEAR(v.At(2), 100.0f, 1e-4);
    EXPECT_FLOAT_EQ(v.At(3), 90.0f);
    EXPECT_NEAR(v.At(4), 100.0f, 1e-4);

    auto d = DeviceOf(R"({"dc": {"data_flag": 0, "voltage": {"value": 50, "drift": 2,
        "period": 4}}})");
    d.Observe(0x42, 0x41, 0);  // cycle 1
    const Bytes info = d.DcAnalog();
    EXPECT_EQ(Bytes(info.begin() + 2, info.begin() + 6), ByteBuilder().f32(52.0f).build());
}

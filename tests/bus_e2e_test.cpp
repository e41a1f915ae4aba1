// The bus device with its real units: complete cycles fed as YD/T 1363.3
// answer frames through the frame layer, every command checked on the line.
#include <gtest/gtest.h>
#include <json/json.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "bus/Ravo3.h"
#include "tests/support/Fixture.h"

using namespace testing_support;

namespace {

constexpr unsigned kBusId = 100;
constexpr unsigned kAcId = 11;
constexpr unsigned kDcId = 21;

Json::Value SiteConfig() {
    Json::Value cfg(Json::objectValue);
    cfg["acSetting"][0]["data_id"] = kAcId;
    cfg["dcSetting"][0]["data_id"] = kDcId;
    cfg["rcSetting"] = Json::Value(Json::objectValue);
    return cfg;
}

std::string Text(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

// Answers of one monitoring unit with one AC panel (one channel), one
// rectifier module and one DC panel; `flag` is every answer's DATAFLAG.
struct Answers {
    static Bytes Model() { return ByteBuilder().hex("5241562D4F33").repeat(0, 14); }
    static Bytes AcAnalog(unsigned flag) {
        return ByteBuilder()
            .u8(flag)
            .u8(1)  // AC units
            .u8(1)  // channels
            .f32(220.5f)
            .f32(221.0f)
            .f32(219.75f)
            .f32(50.0f)  // a b c f
            .u8(0)       // no user-defined values
            .f32(10.5f)
            .f32(11.0f)
            .f32(12.0f);  // ia ib ic
    }
    static Bytes AcStatus(unsigned flag) {
        return ByteBuilder().u8(flag).u8(1).u8(2).u8s({1, 0}).u8(3).u8s({0, 0, 0});
    }
    static Bytes AcAlarm(unsigned flag) {
        return ByteBuilder()
            .u8(flag)
            .u8(1)
            .u8(1)              // passed over
            .u8s({0, 0, 0, 0})  // a b c f states
            .u8(0)              // no further alarm bytes
            .u8(8)
            .repeat(0, 8)     // user-defined alarm bytes
            .u8s({0, 0, 0});  // current alarm states
    }
    static Bytes RcAnalog(unsigned flag) {
        return ByteBuilder()
            .u8(flag)
            .f32(53.5f)  // group value
            .u8(1)       // modules
            .f32(30.0f)
            .u8(4)
            .f32(1.0f)
            .f32(2.0f)
            .f32(3.0f)
            .f32(4.0f);
    }
    static Bytes RcStatus(unsigned flag) {
        return ByteBuilder().u8(flag).u8(1).u8s({0, 1, 0}).u8(1).u8(0);
    }
    static Bytes RcAlarm(unsigned flag) {
        return ByteBuilder().u8(flag).u8(1).u8(0).u8(4).u8s({0, 0, 0, 0});
    }
    static Bytes DcAnalog(unsigned flag) {
        return ByteBuilder().u8(flag).u8(1).f32(53.5f).f32(120.25f).u8(0).u8(0).u8(0);
    }
    static Bytes DcAlarm(unsigned flag) {
        return ByteBuilder().u8(flag).u8(1).u8(0).u8(64).repeat(0, 64).u8(13).repeat(0, 13);
    }
    static Bytes AcParams() {
        return ByteBuilder().f32(242.0f).f32(187.0f).f32(50.0f).f32(47.0f).f32(53.0f).u8(0);
    }
    static Bytes DcParams() {
        ByteBuilder b;
        b.f32(57.6f).f32(45.0f).u8(9);
        for (int i = 0; i < 9; ++i) b.f32(static_cast<float>(i));
        return b;
    }
};

class Ravo3Cycle : public ::testing::Test {
  protected:
    void SetUp() override {
        bus->Init(rec.controller, kBusId, SiteConfig());
        bus->SetTransport(line);
        ASSERT_TRUE(bus->InitSetting(SiteConfig()));
    }
    // Sends an answer frame in two pieces, as a serial line may deliver it.
    void Answer(unsigned char cid1, const Bytes& info) {
        Bytes frame = answer_frame(cid1, info);
        const std::size_t cut = frame.size() / 3;
        bus->process(frame.data(), static_cast<unsigned>(cut));
        bus->process(frame.data() + cut, static_cast<unsigned>(frame.size() - cut));
    }
    std::vector<std::string> Lines(std::size_t from = 0) const {
        std::vector<std::string> out;
        for (std::size_t i = from; i < line->writes.size(); ++i)
            out.push_back(Text(line->writes[i]));
        return out;
    }

    Recorder rec;
    FakeClock clock;
    NoPause no_pause;
    std::shared_ptr<RecordingTransport> line = std::make_shared<RecordingTransport>();
    std::unique_ptr<Ravo3> bus = std::make_unique<Ravo3>();
};

}  // namespace

TEST(Ravo3, ConstructionDefaults) {
    Ravo3 bus;
    EXPECT_EQ(bus.DeviceType(), "ravo3");
    EXPECT_EQ(bus.BaudRate(), 9600);
    EXPECT_TRUE(bus.SerialLine());
    EXPECT_EQ(bus.ProtocolVersion(), 0x20);
    EXPECT_EQ(bus.CommandStep(), 0);
    EXPECT_TRUE(bus.LoadFromCache(std::string("anything")));
    EXPECT_THROW(bus.Get_Value(0, "v"), std::out_of_range);
}

TEST_F(Ravo3Cycle, CompleteCycleOnTheLine) {
    ASSERT_TRUE(bus->RefreshStatus());
    Answer(0x40, Answers::Model());
    Answer(0x40, Answers::AcAnalog(0));
    Answer(0x40, Answers::AcStatus(0));
    Answer(0x40, Answers::AcAlarm(0));
    Answer(0x41, Answers::RcAnalog(0));
    Answer(0x41, Answers::RcStatus(0));
    Answer(0x41, Answers::RcAlarm(0));
    Answer(0x42, Answers::DcAnalog(0));
    Answer(0x42, Answers::DcAlarm(0));
    Answer(0x40, Answers::AcParams());
    Answer(0x42, Answers::DcParams());

    // Model query, then the full first cycle; nothing after its last answer.
    EXPECT_EQ(Lines(), (std::vector<std::string>{
                           "~200140510000FDB3\r",    // model
                           "~20014041E002FFFD11\r",  // AC analog, group byte
                           "~20014043E002FFFD0F\r",  // AC status
                           "~20014044E002FFFD0E\r",  // AC alarms
                           "~200141410000FDB3\r",    // rectifier analog
                           "~200141430000FDB1\r",    // rectifier status
                           "~200141440000FDB0\r",    // rectifier alarms
                           "~200142410000FDB2\r",    // DC analog
                           "~200142440000FDAF\r",    // DC alarms
                           "~200140460000FDAF\r",    // AC parameters
                           "~200142460000FDAD\r",    // DC parameters
                       }));
    // Every answer was accepted as it stands.
    EXPECT_EQ(rec.LogTexts(), std::vector<std::string>{});
    EXPECT_EQ(bus->Stats().answers, 11u);
    EXPECT_EQ(bus->Stats().cycles, 1u);
    EXPECT_EQ(bus->CommandStep(), 0);
    EXPECT_EQ(bus->serial_state, 0);
    EXPECT_EQ(bus->ready, 1);
    EXPECT_EQ(bus->last_update, clock.Now());
    EXPECT_EQ(std::count(no_pause.pauses.begin(), no_pause.pauses.end(), 20000u), 11);

    // The cycle end published every unit in order: AC, DC, rectifier.
    const auto snaps = rec.Snapshots();
    ASSERT_EQ(snaps.size(), 3u);
    EXPECT_EQ(snaps[0].data_id, kAcId);
    EXPECT_EQ(snaps[0].unit_type, 5159);
    EXPECT_EQ(snaps[1].data_id, kDcId);
    EXPECT_EQ(snaps[1].unit_type, 5161);
    EXPECT_EQ(snaps[2].data_id, kBusId);
    EXPECT_EQ(snaps[2].unit_type, 5160);
    ASSERT_EQ(snaps[0].bytes.size(), 40u + 30u);
    EXPECT_FLOAT_EQ(f32_at(&snaps[0].bytes[4]), 10.5f);  // ia
    EXPECT_EQ(snaps[0].bytes[16], 1);                    // channel_count
    EXPECT_EQ(snaps[0].bytes[17], 2);                    // breaker states
    EXPECT_FLOAT_EQ(f32_at(&snaps[0].bytes[40]), 220.5f);
    ASSERT_EQ(snaps[1].bytes.size(), 142u);
    EXPECT_FLOAT_EQ(f32_at(&snaps[1].bytes[4]), 53.5f);  // v
    EXPECT_FLOAT_EQ(f32_at(&snaps[1].bytes[8]), 120.25f);
    EXPECT_EQ(snaps[1].bytes[56], 64);  // fuse states
    ASSERT_EQ(snaps[2].bytes.size(), 81u + 32u);
    EXPECT_EQ(u32_at(&snaps[2].bytes[0]), kBusId);
    EXPECT_FLOAT_EQ(f32_at(&snaps[2].bytes[4]), 242.0f);  // AC parameters
    EXPECT_EQ(snaps[2].bytes[32], 9);                     // DC user-defined parameters
    EXPECT_FLOAT_EQ(f32_at(&snaps[2].bytes[69]), 53.5f);  // group value
    EXPECT_EQ(snaps[2].bytes[73], 1);                     // modules
    EXPECT_EQ(snaps[2].bytes[81 + 22], 1);                // module status byte 2

    // The host reads the values through the bus device.
    EXPECT_FLOAT_EQ(bus->Get_SP_Value(kAcId, "ia"), 10.5f);
    EXPECT_FLOAT_EQ(bus->Get_SP_Value(kAcId, "channel_0_c"), 219.75f);
    EXPECT_FLOAT_EQ(bus->Get_SP_Value(kDcId, "i"), 120.25f);

    // A listed model raises no alarm of the bus device.
    for (const auto& b : rec.Batches()) EXPECT_NE(b.device_type, "ravo3");
}

TEST_F(Ravo3Cycle, LaterCyclesWaitTwoSecondsAndFollowTheDataFlags) {
    ASSERT_TRUE(bus->RefreshStatus());
    Answer(0x40, Answers::Model());
    Answer(0x40, Answers::AcAnalog(0));
    Answer(0x40, Answers::AcStatus(0));
    Answer(0x40, Answers::AcAlarm(0));
    Answer(0x41, Answers::RcAnalog(0));
    Answer(0x41, Answers::RcStatus(0));
    Answer(0x41, Answers::RcAlarm(0));
    Answer(0x42, Answers::DcAnalog(0));
    Answer(0x42, Answers::DcAlarm(0));
    Answer(0x40, Answers::AcParams());
    Answer(0x42, Answers::DcParams());
    ASSERT_EQ(bus->Stats().cycles, 1u);
    const std::size_t first = line->writes.size();

    clock.Advance(1);
    EXPECT_FALSE(bus->RefreshStatus());
    EXPECT_EQ(line->writes.size(), first);
    clock.Advance(1);
    ASSERT_TRUE(bus->RefreshStatus());
    // No change flag: AC analog, rectifier analog, DC analog, parameters.
    Answer(0x40, Answers::AcAnalog(0));
    Answer(0x41, Answers::RcAnalog(0));
    Answer(0x42, Answers::DcAnalog(0));
    Answer(0x40, Answers::AcParams());
    Answer(0x42, Answers::DcParams());
    EXPECT_EQ(Lines(first), (std::vector<std::string>{
                                "~20014041E002FFFD11\r",
                                "~200141410000FDB3\r",
                                "~200142410000FDB2\r",
                                "~200140460000FDAF\r",
                                "~200142460000FDAD\r",
                            }));
    EXPECT_EQ(bus->Stats().cycles, 2u);

    // The rectifier's status flag asks for its status in the third cycle.
    clock.Advance(2);
    const std::size_t second = line->writes.size();
    ASSERT_TRUE(bus->RefreshStatus());
    Answer(0x40, Answers::AcAnalog(0));
    Answer(0x41, Answers::RcAnalog(0x10));
    Answer(0x41, Answers::RcStatus(0x10));
    Answer(0x42, Answers::DcAnalog(0x01));
    Answer(0x42, Answers::DcAlarm(0x01));
    Answer(0x40, Answers::AcParams());
    Answer(0x42, Answers::DcParams());
    EXPECT_EQ(Lines(second), (std::vector<std::string>{
                                 "~20014041E002FFFD11\r",
                                 "~200141410000FDB3\r",
                                 "~200141430000FDB1\r",
                                 "~200142410000FDB2\r",
                                 "~200142440000FDAF\r",
                                 "~200140460000FDAF\r",
                                 "~200142460000FDAD\r",
                             }));
    EXPECT_EQ(bus->Stats().cycles, 3u);
    EXPECT_EQ(rec.LogTexts(), std::vector<std::string>{});
}

TEST_F(Ravo3Cycle, ForeignModelRaisesTheConfigurationAlarm) {
    ASSERT_TRUE(bus->RefreshStatus());
    const Bytes model = ByteBuilder().hex("4B4C582D303442").repeat(' ', 13);  // "KLX-04B"
    Answer(0x40, model);
    const auto active = rec.controller->ActiveAlarms();
    ASSERT_EQ(active.size(), 1u);
    EXPECT_EQ(active[0].data_id, kBusId);
    EXPECT_EQ(active[0].device_type, "ravo3");
    EXPECT_EQ(active[0].key, "device_model");
    EXPECT_EQ(active[0].code, "70319");
    EXPECT_EQ(active[0].name, "设备配置检测");
    EXPECT_EQ(active[0].detail, "本驱动类型:ravo3 检测型号:" + Text(model));
    EXPECT_EQ(active[0].level, 3);
    // Polling goes on with the first cycle.
    ASSERT_EQ(line->writes.size(), 2u);
    EXPECT_EQ(Text(line->writes[1]), "~20014041E002FFFD11\r");
}

TEST_F(Ravo3Cycle, Version21SendsGroupByteWithDcQueries) {
    bus = std::make_unique<Ravo3>();
    Json::Value cfg = SiteConfig();
    cfg["protocol_version"] = 0x21;
    bus->Init(rec.controller, kBusId, cfg);
    bus->SetTransport(line);
    ASSERT_TRUE(bus->InitSetting(cfg));
    ASSERT_TRUE(bus->RefreshStatus());
    Answer(0x40, Answers::Model());
    Answer(0x40, Answers::AcAnalog(0));
    Answer(0x40, Answers::AcStatus(0));
    Answer(0x40, Answers::AcAlarm(0));
    Answer(0x41, Answers::RcAnalog(0));
    Answer(0x41, Answers::RcStatus(0));
    Answer(0x41, Answers::RcAlarm(0));
    Answer(0x42, Answers::DcAnalog(0));
    const auto sent = line->commands;
    ASSERT_EQ(sent.size(), 9u);
    EXPECT_EQ(Text(sent[0].raw), "~210140510000FDB2\r");
    EXPECT_EQ(Text(sent[7].raw), "~21014241E002FFFD0E\r");
    EXPECT_EQ(sent[8].cid2, 0x44);
    EXPECT_EQ(sent[8].info, Bytes{0xFF});
    EXPECT_EQ(sent[1].info, Bytes{0xFF});
    EXPECT_TRUE(sent[4].info.empty());
}

// Value queries and cache reload of the AC unit.
#include <gtest/gtest.h>
#include <json/value.h>

#include <cstring>
#include <memory>
// GCC 12 under the sanitizers warns inside <regex> (a known false positive).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop
#include <stdexcept>
#include <string>
#include <vector>

#include "ac/Ravo3AC.h"
#include "tests/support/Fixture.h"

using namespace testing_support;

namespace {

using Parent = testing_support::ParentDevice;

constexpr unsigned kId = 31;

struct Rig {
    FakeClock clock;
    Recorder rec;
    std::shared_ptr<Parent> parent = std::make_shared<Parent>();
    std::shared_ptr<Ravo3AC> unit = std::make_shared<Ravo3AC>();
    Rig() {
        parent->Init(rec.controller, 1, Json::Value());
        unit->InitV(parent.get(), kId, Json::Value(Json::objectValue));
    }
    int Parse(int (Ravo3AC::*p)(const unsigned char*, int), const Bytes& b) {
        testing::internal::CaptureStdout();
        const int got = (unit.get()->*p)(b.data(), static_cast<int>(b.size()));
        testing::internal::GetCapturedStdout();
        return got;
    }
    // Two channels: channel i has a = 220 + i, b = 230 + i, c = 240 + i, f = 50 + i;
    // currents 1.5, 2.5, 3.5; current states 2, 0, 3.
    void TwoChannels() {
        ByteBuilder a;
        a.u8(2);
        for (int i = 0; i < 2; ++i) {
            a.f32(220.0f + i).f32(230.0f + i).f32(240.0f + i).f32(50.0f + i).u8(0);
        }
        a.f32(1.5f).f32(2.5f).f32(3.5f);
        ASSERT_EQ(Parse(&Ravo3AC::parse40_41, a), 47);
        ByteBuilder s;
        s.u8(1).u8(1).u8(3).u8s({4, 5, 6});
        ASSERT_EQ(Parse(&Ravo3AC::parse40_43, s), 6);
        ByteBuilder al;
        al.u8(2);
        for (int i = 0; i < 2; ++i) al.u8s({1, 2, 3, 1, 0, 8}).repeat(9, 8);
        al.u8s({2, 0, 3});
        ASSERT_EQ(Parse(&Ravo3AC::parse40_44, al), 32);
    }
    std::string Reply(const std::string& name) const {
        try {
            unit->Get_Value(kId, name);
        } catch (const std::out_of_range& e) {
            return e.what();
        }
        return "value";
    }
};

const std::string kNotReady = "数据未就绪";
const std::string kTimedOut = "数据已超时";
const std::string kOutOfRange = "通道参数越界";
const std::string kNotProvided = "数据未提供";

Bytes Record(unsigned count, std::size_t len, unsigned char fill = 0) {
    Bytes b(len, fill);
    if (len > 16) b[16] = static_cast<unsigned char>(count);
    return b;
}

}  // namespace

TEST(AcValues, NotReadyBeforeAnyCycleOrLoad) {
    Rig rig;
    rig.TwoChannels();
    for (const char* name : {"ia", "channel_0_a", "nothing", ""}) {
        EXPECT_EQ(rig.Reply(name), kNotReady) << name;
    }
}

TEST(AcValues, Names) {
    Rig rig;
    rig.TwoChannels();
    rig.unit->RoundDone();
    struct Case {
        std::string name;
        float value;  // when reply is empty
        std::string reply;
    };
    const std::string huge(40, '9');
    const std::vector<Case> cases = {
        {"ia", 1.5f, ""},
        {"ib", 2.5f, ""},
        {"ic", 3.5f, ""},
        {"ia_alert", 2.0f, ""},
        {"ib_alert", 0.0f, ""},
        {"ic_alert", 3.0f, ""},
        {"channel_0_a", 220.0f, ""},
        {"channel_0_b", 230.0f, ""},
        {"channel_0_c", 240.0f, ""},
        {"channel_0_f", 50.0f, ""},
        {"channel_1_f", 51.0f, ""},
        {"channel_01_a", 221.0f, ""},
        {"channel_0_abc", 220.0f, ""},
        {"my_channel_0_b", 230.0f, ""},
        {"channel_x_channel_1_c", 241.0f, ""},
        {"channel_channel_1_a", 221.0f, ""},
        {"channel_0_\nchannel_1_b", 231.0f, ""},
        {"channel_" + std::string(30, '0') + "1_b", 231.0f, ""},
        {"channel_2_a", 0, kOutOfRange},
        {"channel_5_x", 0, kOutOfRange},
        {"channel_" + huge + "_a", 0, kOutOfRange},
        {"channel_18446744073709551617_a", 0, kOutOfRange},
        {"channel_4294967296_a", 0, kOutOfRange},
        {"channel_0_x", 0, kNotProvided},
        {"channel_0_A", 0, kNotProvided},
        {"channel_a", 0, kNotProvided},
        {"channel__a", 0, kNotProvided},
        {"channel_0_", 0, kNotProvided},
        {"channel_0", 0, kNotProvided},
        {"channel_0_\n", 0, kNotProvided},
        {"Channel_0_a", 0, kNotProvided},
        {"IA", 0, kNotProvided},
        {"ia ", 0, kNotProvided},
        {"airlock_state", 0, kNotProvided},
        {"", 0, kNotProvided},
    };
    for (const Case& c : cases) {
        if (c.reply.empty()) {
            EXPECT_EQ(rig.unit->Get_Value(kId, c.name), c.value) << c.name;
        } else {
            EXPECT_EQ(rig.Reply(c.name), c.reply) << c.name;
        }
    }
}

TEST(AcValues, NoChannelsMeansEveryChannelNameIsOutOfRange) {
    Rig rig;
    rig.unit->RoundDone();
    for (const char* name : {"channel_0_a", "channel_0_x", "x_channel_00_f"}) {
        EXPECT_EQ(rig.Reply(name), kOutOfRange) << name;
    }
    EXPECT_EQ(rig.unit->Get_Value(kId, "ia"), 0.0f);
}

// The hand-written matcher answers as the search with the regular expression would.
TEST(AcValues, MatcherAgreesWithTheRegularExpression) {
    const std::regex pattern("channel_(\\d+)_(.+?)");
    const std::vector<std::string> names = {"channel_0_a",
                                            "channel_12_b",
                                            "my_channel_0_b",
                                            "channel_0_abc",
                                            "channel_a",
                                            "channel__a",
                                            "channel_0_",
                                            "IA",
                                            "channel_01_a",
                                            "channel_0",
                                            "channel_",
                                            "channelchannel_3_c",
                                            "channel_x_channel_2_f",
                                            "channel_1__",
                                            "channel_1_\r",
                                            "channel_1_\rchannel_2_a",
                                            "channel_1_\n",
                                            "channel_9_\t",
                                            "cchannel_7_7",
                                            "channel_0_中",
                                            "channel_1a_b",
                                            "_channel_3_c_",
                                            "channel_" + std::string(50, '9') + "_a",
                                            std::string("channel_4_\0", 11),
                                            "xxchannel_",
                                            "channel_-1_a"};
    for (const std::string& n : names) {
        std::smatch m;
        const bool found = std::regex_search(n, m, pattern);
        const ac_detail::ChannelName got = ac_detail::match_channel_name(n);
        ASSERT_EQ(got.found, found) << n;
        if (!found) continue;
        EXPECT_EQ(std::string(got.digits), m[1].str()) << n;
        EXPECT_EQ(std::string(1, got.letter), m[2].str()) << n;
    }
}

TEST(AcValues, Freshness) {
    struct Case {
        long offset;
        bool fresh;
    };
    const std::vector<Case> cases = {{0, true},     {59, true},  {60, true},   {61, false},
                                     {3600, false}, {-60, true}, {-61, false}, {-1, true}};
    for (bool by_load : {false, true}) {
        for (const Case& c : cases) {
            Rig rig;
            if (by_load) {
                Bytes r = Record(1, 70);
                std::memcpy(r.data() + 4, "\x00\x00\xC0\x3F", 4);  // ia 1.5
                ASSERT_TRUE(rig.unit->LoadFromCache(r.data(), 70));
            } else {
                rig.TwoChannels();
                rig.unit->RoundDone();
            }
            rig.clock.Advance(c.offset);
            if (c.fresh) {
                EXPECT_EQ(rig.unit->Get_Value(kId, "ia"), 1.5f) << c.offset;
            } else {
                EXPECT_EQ(rig.Reply("ia"), kTimedOut) << c.offset;
                EXPECT_EQ(rig.Reply("no such name"), kTimedOut) << c.offset;
            }
        }
    }
}

TEST(AcCache, LengthCases) {
    struct Case {
        const char* what;
        Bytes blob;
        int len;
        bool accepted;
        unsigned channels;
    };
    const std::vector<Case> cases = {
        {"negative", Record(0, 70), -1, false, 2},
        {"empty", Record(0, 70), 0, false, 2},
        {"unit record only", Record(0, 40), 40, false, 2},
        {"41 bytes, no channel", Record(0, 41), 41, false, 2},
        {"one channel", Record(1, 70), 70, true, 1},
        {"one channel, 100 bytes", Record(1, 100), 100, false, 2},
        {"one channel, 69 bytes", Record(1, 70), 69, false, 2},
        {"three channels", Record(3, 130), 130, true, 3},
        {"two channels", Record(2, 100), 100, true, 2},
        {"255 channels, too short", Record(255, 130), 130, false, 2},
        {"70 bytes, no channel", Record(0, 70), 70, false, 2},
    };
    for (const Case& c : cases) {
        Rig rig;
        rig.TwoChannels();
        const Bytes unit_before(reinterpret_cast<unsigned char*>(&rig.unit->ac),
                                reinterpret_cast<unsigned char*>(&rig.unit->ac) + 40);
        const float a1 = rig.unit->channels[1].a;
        // Exactly `len` bytes on the heap.
        const std::size_t n = c.len > 0 ? static_cast<std::size_t>(c.len) : 0;
        std::unique_ptr<unsigned char[]> copy(new unsigned char[n + 1]);
        std::memcpy(copy.get(), c.blob.data(), n);
        EXPECT_EQ(rig.unit->LoadFromCache(copy.get(), c.len), c.accepted) << c.what;
        EXPECT_EQ(rig.unit->channels.size(), c.channels) << c.what;
        EXPECT_EQ(rig.unit->ac.channel_count, c.channels) << c.what;
        if (c.accepted) {
            EXPECT_EQ(rig.unit->ready, 1) << c.what;
            EXPECT_EQ(rig.unit->last_update, rig.clock.Now()) << c.what;
            EXPECT_EQ(rig.unit->DataId(), kId) << c.what;
            EXPECT_EQ(+rig.unit->ac.data_id, 0u) << c.what << ": the record's data id is taken";
            EXPECT_EQ(rig.unit->Get_Value(kId, "ia"), 0.0f) << c.what;
        } else {
            // Nothing at all changes.
            EXPECT_EQ(Bytes(reinterpret_cast<unsigned char*>(&rig.unit->ac),
                            reinterpret_cast<unsigned char*>(&rig.unit->ac) + 40),
                      unit_before)
                << c.what;
            EXPECT_EQ(+rig.unit->channels[1].a, a1) << c.what;
            EXPECT_EQ(rig.unit->ready, 0) << c.what;
            EXPECT_EQ(rig.Reply("ia"), kNotReady) << c.what;
        }
    }
    Rig rig;
    EXPECT_FALSE(rig.unit->LoadFromCache(nullptr, 70));
    EXPECT_FALSE(rig.unit->LoadFromCache(std::string()));
    const Bytes r = Record(1, 70);
    EXPECT_TRUE(rig.unit->LoadFromCache(std::string(r.begin(), r.end())));
}

TEST(AcCache, LoadFixesTheChannelCount) {
    Rig rig;
    ASSERT_TRUE(rig.unit->LoadFromCache(Record(1, 70).data(), 70));
    ByteBuilder two;
    two.u8(2).repeat(0, 34).f32(1).f32(2).f32(3);
    EXPECT_EQ(rig.Parse(&Ravo3AC::parse40_41, two), -1);
    ByteBuilder one;
    one.u8(1).f32(1).f32(2).f32(3).f32(4).u8(0).f32(5).f32(6).f32(7);
    EXPECT_EQ(rig.Parse(&Ravo3AC::parse40_41, one), 30);
    EXPECT_EQ(rig.unit->Get_Value(kId, "channel_0_f"), 4.0f);
}

TEST(AcCache, LoadRestartsACountChangeStreak) {
    Rig rig;
    rig.TwoChannels();
    ByteBuilder three;
    three.u8(3).repeat(0, 51).f32(1).f32(2).f32(3);
    EXPECT_EQ(rig.Parse(&Ravo3AC::parse40_41, three), -1);
    EXPECT_EQ(rig.Parse(&Ravo3AC::parse40_41, three), -1);
    ASSERT_TRUE(rig.unit->LoadFromCache(Record(2, 100).data(), 100));
    EXPECT_EQ(rig.Parse(&Ravo3AC::parse40_41, three), -1);
    EXPECT_EQ(rig.unit->channels.size(), 2u);
}

TEST(AcCache, StoredHistoryServesTheSameValuesInAFreshUnit) {
    Rig first;
    first.TwoChannels();
    first.unit->RoundDone();
    const auto stored = first.rec.history->All();
    ASSERT_EQ(stored.size(), 1u);

    Rig second;
    ASSERT_TRUE(second.unit->LoadFromCache(stored[0].bytes.data(),
                                           static_cast<int>(stored[0].bytes.size())));
    EXPECT_EQ(second.unit->history, nullptr) << "a load does not touch the history buffer";
    EXPECT_TRUE(second.rec.Batches().empty());
    for (const char* name : {"ia", "ib", "ic", "ia_alert", "ib_alert", "ic_alert", "channel_0_a",
                             "channel_0_b", "channel_0_c", "channel_0_f", "channel_1_a",
                             "channel_1_b", "channel_1_c", "channel_1_f"}) {
        EXPECT_EQ(second.unit->Get_Value(kId, name), first.unit->Get_Value(kId, name)) << name;
    }
    EXPECT_EQ(second.Reply("channel_2_a"), kOutOfRange);
    // Its next cycle publishes the same record (same clock, so the same stamp).
    second.unit->RoundDone();
    Bytes again = second.rec.Snapshots().back().bytes;
    EXPECT_EQ(again, stored[0].bytes);
}

// Decoding of the AC unit's blocks of the 0x40 answers and its settings.
#include <gtest/gtest.h>
#include <json/value.h>

#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ac/Ravo3AC.h"
#include "tests/support/Fixture.h"

using namespace testing_support;
using Kind = smd::LogArg::Kind;

namespace {

using Parent = testing_support::ParentDevice;

constexpr unsigned kId = 77;

struct Rig {
    Recorder rec;
    std::shared_ptr<Parent> parent = std::make_shared<Parent>();
    std::shared_ptr<Ravo3AC> unit = std::make_shared<Ravo3AC>();
    explicit Rig(const Json::Value& cfg = Json::Value(Json::objectValue), unsigned id = kId) {
        parent->Init(rec.controller, 1, Json::Value());
        unit->InitV(parent.get(), id, cfg);
    }
};

struct Ch {
    float a, b, c, f;
};

Bytes Analog(const std::vector<Ch>& chs, float ia, float ib, float ic) {
    ByteBuilder b;
    b.u8(static_cast<unsigned>(chs.size()));
    for (const Ch& c : chs) b.f32(c.a).f32(c.b).f32(c.c).f32(c.f).u8(0);
    return b.f32(ia).f32(ib).f32(ic);
}

Bytes Status(const Bytes& states, const Bytes& user) {
    return ByteBuilder()
        .u8(static_cast<unsigned>(states.size()))
        .bytes(states)
        .u8(static_cast<unsigned>(user.size()))
        .bytes(user);
}

struct ChAlarm {
    unsigned a, b, c, f;
    Bytes extra;
    Bytes user;
};

Bytes Alarm(const std::vector<ChAlarm>& chs, unsigned ia, unsigned ib, unsigned ic,
            unsigned first = 0) {
    ByteBuilder b;
    b.u8(first);
    for (const ChAlarm& c : chs) {
        b.u8s({c.a, c.b, c.c, c.f}).u8(static_cast<unsigned>(c.extra.size())).bytes(c.extra);
        b.u8(static_cast<unsigned>(c.user.size())).bytes(c.user);
    }
    return b.u8s({ia, ib, ic});
}

template <typename T>
Bytes BytesOf(const T& v) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(&v);
    return Bytes(p, p + sizeof(T));
}

Bytes UnitBytes(const Ravo3AC& u) {
    Bytes out = BytesOf(u.ac);
    for (const auto& ch : u.channels) {
        Bytes c = BytesOf(ch);
        out.insert(out.end(), c.begin(), c.end());
    }
    return out;
}

Bytes Slice(const Bytes& b, std::size_t at, std::size_t n) {
    return Bytes(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n));
}

using Parser = int (Ravo3AC::*)(const unsigned char*, int);

// Hands the parser exactly `n` bytes on the heap, so that a read past them is
// caught by the address sanitizer.
int FeedPrefix(Ravo3AC& u, Parser p, const Bytes& b, std::size_t n) {
    std::unique_ptr<unsigned char[]> copy(new unsigned char[n == 0 ? 1 : n]);
    if (n > 0) std::memcpy(copy.get(), b.data(), n);
    return (u.*p)(copy.get(), static_cast<int>(n));
}
int Feed(Ravo3AC& u, Parser p, const Bytes& b) {
    return FeedPrefix(u, p, b, b.size());
}

struct Arg {
    Kind kind;
    long long value;
};

void ExpectLog(const smd::LogRecord& r, const std::string& format, const std::vector<Arg>& args) {
    EXPECT_EQ(r.format, format);
    ASSERT_EQ(r.args.size(), args.size()) << r.format;
    for (std::size_t i = 0; i < args.size(); ++i) {
        EXPECT_EQ(r.args[i].kind, args[i].kind) << r.format << " argument " << i;
        const bool is_signed = args[i].kind == Kind::I32 || args[i].kind == Kind::I64;
        const long long got = is_signed ? static_cast<long long>(r.args[i].integer)
                                        : static_cast<long long>(r.args[i].uinteger);
        EXPECT_EQ(got, args[i].value) << r.format << " argument " << i;
    }
}

const char* const kOverflow41 = "PMBusPowerAC:ProcotolError {} read 40_41 read overflow {} - {}";
const char* const kOverflow43 = "PMBusPowerAC:ProcotolError {} read 40_43 read overflow {} - {}";
const char* const kOverflow44 = "PMBusPowerAC:ProcotolError {} read 40_44 read overflow {} - {}";
const char* const kP41 = "PMBusPowerAC:ProcotolError {} read 40_41 p is {} not {}";
const char* const kM43 = "ProcotolError %u read 40_43 m is %d max %d";
const char* const kP43 = "PMBusPowerAC:ProcotolError P{} read 40_43 p is {} not {}";
const char* const kM44 = "PMBusPowerAC:ProcotolError {} read 40_44 m is {}";
const char* const kP44 = "PMBusPowerAC:ProcotolError {} read 40_44 p is {} not {}";
const char* const kCountChange =
    "PMBusPowerAC:ProcotolError {} read 40_41 channel count {} changed to {}";

}  // namespace

// ---- construction and settings ----

TEST(AcRecord, FreshUnitIsEmpty) {
    Ravo3AC u;
    EXPECT_EQ(u.DeviceType(), "ravo3-ac");
    EXPECT_EQ(BytesOf(u.ac), Bytes(40, 0));
    EXPECT_EQ(u.ac.channel_count, 0);
    EXPECT_TRUE(u.channels.empty());
    EXPECT_EQ(u.diff_v, 20.0f);
    EXPECT_EQ(u.diff_i, 20.0f);
    EXPECT_EQ(u.history, nullptr);
    EXPECT_EQ(u.ready, 0);
}

TEST(AcRecord, LimitFunctions) {
    EXPECT_EQ(tele_c_ravo3_ac::AIRLOCK_MAX(), 8);
    EXPECT_EQ(tele_c_ravo3_ac::P40_43_SIZE(), 3);
    EXPECT_EQ(tele_c_ravo3_ac_channel::P40_41_SIZE(), 0);
    EXPECT_EQ(tele_c_ravo3_ac_channel::p40_44_SIZE(), 8);
    // A channel template with user-defined values carries them after p_count.
    using WithValues = tele_c_pmbuspower_ac_channel<2, 8>;
    EXPECT_EQ(sizeof(WithValues), 38u);
    EXPECT_EQ(offsetof(WithValues, a_state), 25u);
}

TEST(AcSettings, InitVReadsThresholdsAndDataId) {
    struct Case {
        const char* what;
        std::function<Json::Value()> cfg;
        float diff_v, diff_i;
    };
    auto with_app = [](Json::Value app) {
        Json::Value cfg(Json::objectValue);
        cfg["appSetting"] = app;
        return cfg;
    };
    auto app_of = [](const char* key, Json::Value v) {
        Json::Value app(Json::objectValue);
        app[key] = v;
        return app;
    };
    const std::vector<Case> cases = {
        {"no appSetting", [] { return Json::Value(Json::objectValue); }, 20, 20},
        {"appSetting array", [&] { return with_app(Json::Value(Json::arrayValue)); }, 20, 20},
        {"appSetting string", [&] { return with_app(Json::Value("diff_v")); }, 20, 20},
        {"appSetting null", [&] { return with_app(Json::Value()); }, 20, 20},
        {"config not an object", [] { return Json::Value(Json::arrayValue); }, 20, 20},
        {"diff_v text", [&] { return with_app(app_of("diff_v", "5.5")); }, 5.5f, 20},
        {"diff_v number", [&] { return with_app(app_of("diff_v", 5.5)); }, 5.5f, 20},
        {"diff_v not a number", [&] { return with_app(app_of("diff_v", "abc")); }, 0, 20},
        {"diff_v null", [&] { return with_app(app_of("diff_v", Json::Value())); }, 20, 20},
        {"diff_i only", [&] { return with_app(app_of("diff_i", "7")); }, 20, 7},
        {"diff_i integer", [&] { return with_app(app_of("diff_i", 3)); }, 20, 3},
    };
    for (const Case& c : cases) {
        Rig rig(c.cfg());
        EXPECT_EQ(rig.unit->diff_v, c.diff_v) << c.what;
        EXPECT_EQ(rig.unit->diff_i, c.diff_i) << c.what;
        EXPECT_EQ(rig.unit->DataId(), kId) << c.what;
    }
    Rig big(with_app(app_of("diff_v", "1e300")));
    EXPECT_TRUE(std::isinf(big.unit->diff_v));
}

TEST(AcSettings, DataIdStoredLittleEndian) {
    Rig rig(Json::Value(Json::objectValue), 258);
    EXPECT_EQ(Slice(BytesOf(rig.unit->ac), 0, 4), Bytes({0x02, 0x01, 0x00, 0x00}));
    EXPECT_EQ(rig.unit->DataId(), 258u);
}

// ---- 0x40/0x41 analog values ----

TEST(AcAnalog, LayoutOfOneAndTwoChannels) {
    Rig rig;
    Ravo3AC& u = *rig.unit;
    // 00 00 5C 43 is 220.0.
    const Bytes one = ByteBuilder()
                          .u8(1)
                          .hex("00005C43")
                          .f32(221)
                          .f32(219.5f)
                          .f32(50)
                          .u8(0)
                          .f32(10.5f)
                          .f32(11)
                          .f32(12)
                          .build();
    ASSERT_EQ(one.size(), 30u);
    testing::internal::CaptureStdout();
    EXPECT_EQ(Feed(u, &Ravo3AC::parse40_41, one), 30);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "a:220 b:221 c:219.5 f:50\n");
    ASSERT_EQ(u.channels.size(), 1u);
    EXPECT_EQ(u.ac.channel_count, 1);
    EXPECT_EQ(+u.channels[0].a, 220.0f);
    EXPECT_EQ(+u.channels[0].b, 221.0f);
    EXPECT_EQ(+u.channels[0].c, 219.5f);
    EXPECT_EQ(+u.channels[0].f, 50.0f);
    EXPECT_EQ(u.channels[0].p_count, 0);
    EXPECT_EQ(+u.ac.ia, 10.5f);
    EXPECT_EQ(+u.ac.ib, 11.0f);
    EXPECT_EQ(+u.ac.ic, 12.0f);
    EXPECT_TRUE(rig.rec.Logs().empty());

    Rig rig2;
    const Bytes two = Analog({{220.5f, 221, 219.8f, 50}, {1, 2, 3, 4}}, 5, 6, 7);
    ASSERT_EQ(two.size(), 47u);
    testing::internal::CaptureStdout();
    EXPECT_EQ(Feed(*rig2.unit, &Ravo3AC::parse40_41, two), 47);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "a:220.5 b:221 c:219.8 f:50\na:1 b:2 c:3 f:4\n");
    // Every value is stored as the bytes that came.
    const Bytes rec = BytesOf(rig2.unit->channels[1]);
    EXPECT_EQ(Slice(rec, 0, 16), Slice(two, 18, 16));
    EXPECT_EQ(Slice(BytesOf(rig2.unit->ac), 4, 12), Slice(two, 35, 12));
    // Extra bytes after the block belong to the next unit.
    Rig rig3;
    Bytes longer = two;
    longer.push_back(0x99);
    testing::internal::CaptureStdout();
    EXPECT_EQ(Feed(*rig3.unit, &Ravo3AC::parse40_41, longer), 47);
    testing::internal::GetCapturedStdout();
}

TEST(AcAnalog, NotAvailableMarkers) {
    struct Case {
        const char* what;
        int position;  // 0..3 channel a,b,c,f; 4..6 ia,ib,ic
        const char* sent;
        const char* stored;
    };
    const std::vector<Case> cases = {
        {"a marker", 0, "20202020", "00000000"},
        {"b marker", 1, "20202020", "00000000"},
        {"c marker", 2, "FFFFFFFF", "00000000"},
        {"f marker", 3, "01010101", "00000000"},
        {"a zero", 0, "00000000", "00000000"},
        {"a not all equal", 0, "00000020", "00000020"},
        {"ia marker", 4, "20202020", "CDCCCCBD"},
        {"ib marker", 5, "7F7F7F7F", "CDCCCCBD"},
        {"ic marker", 6, "20202020", "CDCCCCBD"},
        {"ia zero", 4, "00000000", "00000000"},
        {"ia not all equal", 4, "00000020", "00000020"},
        {"ic three equal", 6, "20202021", "20202021"},
    };
    for (const Case& c : cases) {
        Rig rig;
        Bytes b = Analog({{1, 2, 3, 4}}, 5, 6, 7);
        const std::size_t at = c.position < 4 ? 1 + 4 * c.position : 18 + 4 * (c.position - 4);
        const Bytes sent = hex_bytes(c.sent);
        std::copy(sent.begin(), sent.end(), b.begin() + static_cast<long>(at));
        testing::internal::CaptureStdout();
        ASSERT_EQ(Feed(*rig.unit, &Ravo3AC::parse40_41, b), 30) << c.what;
        const std::string out = testing::internal::GetCapturedStdout();
        const Bytes stored = c.position < 4
                                 ? Slice(BytesOf(rig.unit->channels[0]), 4 * c.position, 4)
                                 : Slice(BytesOf(rig.unit->ac), 4 + 4 * (c.position - 4), 4);
        EXPECT_EQ(hex_string(stored), c.stored) << c.what;
        if (c.position == 0 && std::string(c.stored) == "00000000") {
            EXPECT_EQ(out.substr(0, 4), "a:0 ") << c.what;
        }
    }
}

TEST(AcAnalog, UserDefinedValuesAreLoggedAndPassedOver) {
    Rig rig;
    const Bytes b = ByteBuilder()
                        .u8(2)
                        .f32(1)
                        .f32(2)
                        .f32(3)
                        .f32(4)
                        .u8(2)
                        .f32(91)
                        .f32(92)
                        .f32(5)
                        .f32(6)
                        .f32(7)
                        .f32(8)
                        .u8(0)
                        .f32(9)
                        .f32(10)
                        .f32(11)
                        .build();
    testing::internal::CaptureStdout();
    EXPECT_EQ(Feed(*rig.unit, &Ravo3AC::parse40_41, b), 55);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(rig.unit->channels[0].p_count, 2);
    EXPECT_EQ(rig.unit->channels[1].p_count, 0);
    EXPECT_EQ(+rig.unit->channels[1].a, 5.0f);
    EXPECT_EQ(+rig.unit->ac.ia, 9.0f);
    const auto logs = rig.rec.Logs();
    ASSERT_EQ(logs.size(), 1u);
    ExpectLog(logs[0], kP41, {{Kind::U32, kId}, {Kind::U8, 2}, {Kind::U8, 0}});
    EXPECT_EQ(logs[0].text, "PMBusPowerAC:ProcotolError 77 read 40_41 p is 2 not 0");
}

TEST(AcAnalog, ChannelCountIsFixedByFirstAnswer) {
    struct Step {
        unsigned m;
        int result;
        unsigned count_after;
    };
    struct Case {
        const char* what;
        std::vector<Step> steps;
    };
    const std::vector<Case> cases = {
        {"2 fixes, 3 refused, 2 decoded", {{2, 47, 2}, {3, -1, 2}, {2, 47, 2}}},
        {"0 leaves it open", {{0, 13, 0}, {2, 47, 2}, {1, -1, 2}}},
        {"fewer refused", {{2, 47, 2}, {1, -1, 2}, {0, -1, 2}}},
    };
    for (const Case& c : cases) {
        Rig rig;
        float v = 100;
        for (const Step& s : c.steps) {
            std::vector<Ch> chs(s.m, Ch{v, v + 1, v + 2, v + 3});
            const Bytes before = UnitBytes(*rig.unit);
            testing::internal::CaptureStdout();
            EXPECT_EQ(Feed(*rig.unit, &Ravo3AC::parse40_41, Analog(chs, v, v, v)), s.result)
                << c.what << " m=" << s.m;
            const std::string out = testing::internal::GetCapturedStdout();
            EXPECT_EQ(rig.unit->ac.channel_count, s.count_after) << c.what;
            EXPECT_EQ(rig.unit->channels.size(), s.count_after) << c.what;
            if (s.result < 0) {
                EXPECT_EQ(UnitBytes(*rig.unit), before)
                    << c.what << ": a refused answer changes nothing";
                EXPECT_EQ(out, "") << c.what;
            } else if (s.m > 0) {
                EXPECT_EQ(+rig.unit->channels[s.m - 1].a, v) << c.what;
            }
            v += 10;
        }
        EXPECT_TRUE(rig.rec.Logs().empty()) << c.what;
    }
}

TEST(AcAnalog, SameNewCountThreeTimesIsTaken) {
    struct Case {
        const char* what;
        std::vector<unsigned> ms;  // after a first answer with M = 2
        std::vector<int> results;
        unsigned final_count;
        bool logged;
    };
    const std::vector<Case> cases = {
        {"three in a row", {3, 3, 3}, {-1, -1, 64}, 3, true},
        {"fixed count resets the streak", {3, 3, 2, 3, 3}, {-1, -1, 47, -1, -1}, 2, false},
        {"another new count restarts it", {3, 4, 3, 3}, {-1, -1, -1, -1}, 2, false},
        {"three after a reset", {3, 2, 3, 3, 3}, {-1, 47, -1, -1, 64}, 3, true},
        {"down to one", {1, 1, 1}, {-1, -1, 30}, 1, true},
        {"down to none", {0, 0, 0}, {-1, -1, 13}, 0, true},
    };
    for (const Case& c : cases) {
        Rig rig;
        testing::internal::CaptureStdout();
        ASSERT_EQ(
            Feed(*rig.unit, &Ravo3AC::parse40_41, Analog({{1, 1, 1, 1}, {2, 2, 2, 2}}, 1, 1, 1)),
            47);
        rig.unit->channels[0].a_state = 9;  // a channel that remains keeps its states
        for (std::size_t i = 0; i < c.ms.size(); ++i) {
            std::vector<Ch> chs(c.ms[i], Ch{7, 7, 7, 7});
            EXPECT_EQ(Feed(*rig.unit, &Ravo3AC::parse40_41, Analog(chs, 8, 8, 8)), c.results[i])
                << c.what << " answer " << i;
        }
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(rig.unit->ac.channel_count, c.final_count) << c.what;
        ASSERT_EQ(rig.unit->channels.size(), c.final_count) << c.what;
        const auto logs = rig.rec.Logs();
        if (c.logged) {
            ASSERT_EQ(logs.size(), 1u) << c.what;
            ExpectLog(logs[0], kCountChange,
                      {{Kind::U32, kId}, {Kind::U8, 2}, {Kind::U8, c.final_count}});
            for (std::size_t k = 0; k < rig.unit->channels.size(); ++k) {
                EXPECT_EQ(+rig.unit->channels[k].a, 7.0f) << c.what;
                EXPECT_EQ(rig.unit->channels[k].a_state, k == 0 ? 9 : 0) << c.what;
            }
            EXPECT_EQ(+rig.unit->ac.ia, 8.0f) << c.what;
        } else {
            EXPECT_TRUE(logs.empty()) << c.what;
        }
    }
    Rig rig;
    testing::internal::CaptureStdout();
    Feed(*rig.unit, &Ravo3AC::parse40_41, Analog({{1, 1, 1, 1}}, 1, 1, 1));
    for (int i = 0; i < 3; ++i) Feed(*rig.unit, &Ravo3AC::parse40_41, Analog({}, 1, 1, 1));
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(rig.rec.Logs().size(), 1u);
    EXPECT_EQ(rig.rec.Logs()[0].text,
              "PMBusPowerAC:ProcotolError 77 read 40_41 channel count 1 changed to 0");
}

TEST(AcAnalog, TruncationKeepsWhatWasRead) {
    Rig rig;
    testing::internal::CaptureStdout();
    ASSERT_EQ(Feed(*rig.unit, &Ravo3AC::parse40_41, Analog({{1, 2, 3, 4}}, 5, 6, 7)), 30);
    testing::internal::GetCapturedStdout();
    const Bytes next = Analog({{11, 12, 13, 14}}, 15, 16, 17);
    testing::internal::CaptureStdout();
    // Cut in the middle of c: a and b are new, the rest is the previous answer's.
    EXPECT_EQ(FeedPrefix(*rig.unit, &Ravo3AC::parse40_41, next, 11), -1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "") << "the line is written only for a complete channel";
    const auto& ch = rig.unit->channels[0];
    EXPECT_EQ(+ch.a, 11.0f);
    EXPECT_EQ(+ch.b, 12.0f);
    EXPECT_EQ(+ch.c, 3.0f);
    EXPECT_EQ(+ch.f, 4.0f);
    EXPECT_EQ(+rig.unit->ac.ia, 5.0f);
    const auto logs = rig.rec.Logs();
    ASSERT_EQ(logs.size(), 1u);
    ExpectLog(logs[0], kOverflow41, {{Kind::U32, kId}, {Kind::I32, 13}, {Kind::I32, 11}});
    EXPECT_EQ(logs[0].text, "PMBusPowerAC:ProcotolError 77 read 40_41 read overflow 13 - 11");

    // Cut inside ib: ia is new, ib and ic stay.
    testing::internal::CaptureStdout();
    EXPECT_EQ(FeedPrefix(*rig.unit, &Ravo3AC::parse40_41, next, 23), -1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(+rig.unit->channels[0].f, 14.0f);
    EXPECT_EQ(+rig.unit->ac.ia, 15.0f);
    EXPECT_EQ(+rig.unit->ac.ib, 6.0f);
    ExpectLog(rig.rec.Logs().back(), kOverflow41,
              {{Kind::U32, kId}, {Kind::I32, 26}, {Kind::I32, 23}});
}

// ---- 0x40/0x43 status values ----

TEST(AcStatus, Layouts) {
    struct Case {
        const char* what;
        Bytes block;
        int result;
        unsigned airlock_count;
        Bytes airlock_state;  // all 8 bytes after the call (earlier ones 0xEE)
        unsigned status_p_count;
        Bytes status_p;
        std::vector<std::string> formats;
    };
    const Bytes earlier(8, 0xEE);
    const std::vector<Case> cases = {
        {"m 8 p 3",
         Status({1, 2, 3, 4, 5, 6, 7, 8}, {9, 10, 11}),
         13,
         8,
         {1, 2, 3, 4, 5, 6, 7, 8},
         3,
         {9, 10, 11},
         {}},
        {"m 2 keeps later states",
         Status({1, 2}, {9, 10, 11}),
         7,
         2,
         {1, 2, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE},
         3,
         {9, 10, 11},
         {}},
        {"m 0", Status({}, {4, 5, 6}), 5, 0, earlier, 3, {4, 5, 6}, {}},
        {"m 9 refused",
         Status({1, 2, 3, 4, 5, 6, 7, 8, 9}, {9, 10, 11}),
         -1,
         9,
         earlier,
         0xEE,
         {0xEE, 0xEE, 0xEE},
         {kM43}},
        {"p 4 passed over",
         Status({1, 2}, {9, 10, 11, 12}),
         8,
         2,
         {1, 2, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE},
         4,
         {0xEE, 0xEE, 0xEE},
         {kP43}},
        {"p 0",
         Status({1}, {}),
         3,
         1,
         {1, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE},
         0,
         {0xEE, 0xEE, 0xEE},
         {kP43}},
    };
    for (const Case& c : cases) {
        Rig rig;
        std::memset(rig.unit->ac.airlock_state, 0xEE, 8);
        std::memset(rig.unit->ac.status_p, 0xEE, 3);
        rig.unit->ac.status_p_count = 0xEE;
        EXPECT_EQ(Feed(*rig.unit, &Ravo3AC::parse40_43, c.block), c.result) << c.what;
        EXPECT_EQ(rig.unit->ac.airlock_count, c.airlock_count) << c.what;
        EXPECT_EQ(Bytes(rig.unit->ac.airlock_state, rig.unit->ac.airlock_state + 8),
                  c.airlock_state)
            << c.what;
        EXPECT_EQ(rig.unit->ac.status_p_count, c.status_p_count) << c.what;
        EXPECT_EQ(Bytes(rig.unit->ac.status_p, rig.unit->ac.status_p + 3), c.status_p) << c.what;
        const auto logs = rig.rec.Logs();
        ASSERT_EQ(logs.size(), c.formats.size()) << c.what;
        for (std::size_t i = 0; i < logs.size(); ++i) EXPECT_EQ(logs[i].format, c.formats[i]);
    }
}

TEST(AcStatus, MessageArguments) {
    Rig rig;
    Feed(*rig.unit, &Ravo3AC::parse40_43, Status({1, 2, 3, 4, 5, 6, 7, 8, 9}, {}));
    Feed(*rig.unit, &Ravo3AC::parse40_43, Status({1, 2}, {9, 10, 11, 12}));
    const auto logs = rig.rec.Logs();
    ASSERT_EQ(logs.size(), 2u);
    ExpectLog(logs[0], kM43, {{Kind::U32, kId}, {Kind::U8, 9}, {Kind::U8, 8}});
    ExpectLog(logs[1], kP43, {{Kind::U32, kId}, {Kind::U8, 4}, {Kind::U8, 3}});
    EXPECT_EQ(logs[1].text, "PMBusPowerAC:ProcotolError P77 read 40_43 p is 4 not 3");
}

TEST(AcStatus, OtherUserCountPastTheAnswerIsRefused) {
    // 2 + m + p = 8 bytes announced, 7 there: the next unit must not start past the answer.
    Rig rig;
    const Bytes b = Status({1, 2}, {9, 10, 11, 12});
    EXPECT_EQ(FeedPrefix(*rig.unit, &Ravo3AC::parse40_43, b, 7), -1);
    const auto logs = rig.rec.Logs();
    ASSERT_EQ(logs.size(), 2u);
    ExpectLog(logs[0], kP43, {{Kind::U32, kId}, {Kind::U8, 4}, {Kind::U8, 3}});
    ExpectLog(logs[1], kOverflow43, {{Kind::U32, kId}, {Kind::I32, 8}, {Kind::I32, 7}});
    EXPECT_EQ(rig.unit->ac.airlock_count, 2);
    EXPECT_EQ(rig.unit->ac.status_p_count, 4);
}

TEST(AcStatus, TruncatedStatesAreNotWritten) {
    Rig rig;
    std::memset(rig.unit->ac.airlock_state, 0xEE, 8);
    EXPECT_EQ(FeedPrefix(*rig.unit, &Ravo3AC::parse40_43, Status({1, 2, 3}, {4, 5, 6}), 3), -1);
    EXPECT_EQ(rig.unit->ac.airlock_count, 3);
    EXPECT_EQ(rig.unit->ac.airlock_state[0], 0xEE);
    ExpectLog(rig.rec.Logs().back(), kOverflow43,
              {{Kind::U32, kId}, {Kind::I32, 4}, {Kind::I32, 3}});
}

// ---- 0x40/0x44 alarm states ----

TEST(AcAlarmStates, Layouts) {
    Rig rig;
    testing::internal::CaptureStdout();
    ASSERT_EQ(Feed(*rig.unit, &Ravo3AC::parse40_41, Analog({{1, 1, 1, 1}, {2, 2, 2, 2}}, 0, 0, 0)),
              47);
    testing::internal::GetCapturedStdout();
    Ravo3AC& u = *rig.unit;
    const Bytes user = {1, 2, 3, 4, 5, 6, 7, 8};
    // The first byte is passed over, whatever it says.
    const Bytes b = Alarm({{1, 2, 3, 2, {}, user}, {3, 0, 1, 3, {}, user}}, 1, 2, 3, 5);
    ASSERT_EQ(b.size(), 32u);
    EXPECT_EQ(Feed(u, &Ravo3AC::parse40_44, b), 32);
    EXPECT_EQ(u.channels[0].a_state, 1);
    EXPECT_EQ(u.channels[0].b_state, 2);
    EXPECT_EQ(u.channels[0].c_state, 3);
    EXPECT_EQ(u.channels[0].f_state, 2);
    EXPECT_EQ(u.channels[0].alert_p_count, 8);
    EXPECT_EQ(Bytes(u.channels[0].alert_p, u.channels[0].alert_p + 8), user);
    EXPECT_EQ(u.channels[1].a_state, 3);
    EXPECT_EQ(u.channels[1].f_state, 3);
    EXPECT_EQ(u.ac.ia_alert, 1);
    EXPECT_EQ(u.ac.ib_alert, 2);
    EXPECT_EQ(u.ac.ic_alert, 3);
    EXPECT_TRUE(rig.rec.Logs().empty());

    // Before any analog answer there is no channel: 4 bytes.
    Rig none;
    EXPECT_EQ(Feed(*none.unit, &Ravo3AC::parse40_44, ByteBuilder().u8s({2, 1, 2, 3, 9})), 4);
    EXPECT_EQ(none.unit->ac.ia_alert, 1);
    EXPECT_EQ(none.unit->ac.ic_alert, 3);
}

TEST(AcAlarmStates, FurtherAndUserBytes) {
    struct Case {
        const char* what;
        Bytes extra, user;
        int result;
        unsigned alert_p_count;
        Bytes alert_p;
        std::vector<std::vector<Arg>> args;
        std::vector<std::string> formats;
    };
    const Bytes keep(8, 0xEE);
    const std::vector<Case> cases = {
        {"m 0 p 8", {}, {1, 2, 3, 4, 5, 6, 7, 8}, 18, 8, {1, 2, 3, 4, 5, 6, 7, 8}, {}, {}},
        {"m 2",
         {0xAA, 0xBB},
         {1, 2, 3, 4, 5, 6, 7, 8},
         20,
         8,
         {1, 2, 3, 4, 5, 6, 7, 8},
         {{{Kind::U32, kId}, {Kind::I32, 2}}},
         {kM44}},
        {"p 3",
         {},
         {1, 2, 3},
         13,
         3,
         keep,
         {{{Kind::U32, kId}, {Kind::U8, 3}, {Kind::U8, 8}}},
         {kP44}},
        {"p 9",
         {},
         {1, 2, 3, 4, 5, 6, 7, 8, 9},
         19,
         9,
         keep,
         {{{Kind::U32, kId}, {Kind::U8, 9}, {Kind::U8, 8}}},
         {kP44}},
        {"m 1 and p 0",
         {0xAA},
         {},
         11,
         0,
         keep,
         {{{Kind::U32, kId}, {Kind::I32, 1}}, {{Kind::U32, kId}, {Kind::U8, 0}, {Kind::U8, 8}}},
         {kM44, kP44}},
    };
    for (const Case& c : cases) {
        Rig rig;
        testing::internal::CaptureStdout();
        ASSERT_EQ(Feed(*rig.unit, &Ravo3AC::parse40_41, Analog({{1, 1, 1, 1}}, 0, 0, 0)), 30);
        testing::internal::GetCapturedStdout();
        std::memset(rig.unit->channels[0].alert_p, 0xEE, 8);
        EXPECT_EQ(
            Feed(*rig.unit, &Ravo3AC::parse40_44, Alarm({{1, 2, 3, 1, c.extra, c.user}}, 3, 2, 1)),
            c.result)
            << c.what;
        const auto& ch = rig.unit->channels[0];
        EXPECT_EQ(ch.a_state, 1) << c.what;
        EXPECT_EQ(ch.f_state, 1) << c.what;
        EXPECT_EQ(ch.alert_p_count, c.alert_p_count) << c.what;
        EXPECT_EQ(Bytes(ch.alert_p, ch.alert_p + 8), c.alert_p) << c.what;
        EXPECT_EQ(rig.unit->ac.ia_alert, 3) << c.what;
        const auto logs = rig.rec.Logs();
        ASSERT_EQ(logs.size(), c.formats.size()) << c.what;
        for (std::size_t i = 0; i < logs.size(); ++i) ExpectLog(logs[i], c.formats[i], c.args[i]);
    }
}

TEST(AcAlarmStates, TruncationKeepsWhatWasRead) {
    Rig rig;
    testing::internal::CaptureStdout();
    Feed(*rig.unit, &Ravo3AC::parse40_41, Analog({{1, 1, 1, 1}}, 0, 0, 0));
    testing::internal::GetCapturedStdout();
    const Bytes b = Alarm({{1, 2, 3, 1, {}, Bytes(8, 4)}}, 3, 2, 1);
    // Cut after b_state: a and b are new.
    EXPECT_EQ(FeedPrefix(*rig.unit, &Ravo3AC::parse40_44, b, 3), -1);
    EXPECT_EQ(rig.unit->channels[0].a_state, 1);
    EXPECT_EQ(rig.unit->channels[0].b_state, 2);
    EXPECT_EQ(rig.unit->channels[0].c_state, 0);
    ExpectLog(rig.rec.Logs().back(), kOverflow44,
              {{Kind::U32, kId}, {Kind::I32, 4}, {Kind::I32, 3}});
    // Cut inside the user bytes: they are not written, the count is.
    EXPECT_EQ(FeedPrefix(*rig.unit, &Ravo3AC::parse40_44, b, 10), -1);
    EXPECT_EQ(rig.unit->channels[0].alert_p_count, 8);
    EXPECT_EQ(rig.unit->channels[0].alert_p[0], 0);
    ExpectLog(rig.rec.Logs().back(), kOverflow44,
              {{Kind::U32, kId}, {Kind::I32, 15}, {Kind::I32, 10}});
}

// ---- every prefix of valid answers ----

TEST(AcParse, EveryPrefixStaysInsideTheAnswer) {
    struct Case {
        const char* what;
        Parser parser;
        const char* overflow;
        Bytes block;
        Bytes analog_first;  // fixes the channel count before the alarm block
    };
    const Bytes two = Analog({{1, 2, 3, 4}, {5, 6, 7, 8}}, 9, 10, 11);
    const Bytes user_values = ByteBuilder()
                                  .u8(1)
                                  .f32(1)
                                  .f32(2)
                                  .f32(3)
                                  .f32(4)
                                  .u8(3)
                                  .f32(1)
                                  .f32(2)
                                  .f32(3)
                                  .f32(9)
                                  .f32(9)
                                  .f32(9)
                                  .build();
    const std::vector<Case> cases = {
        {"analog one", &Ravo3AC::parse40_41, kOverflow41, Analog({{1, 2, 3, 4}}, 5, 6, 7), {}},
        {"analog two", &Ravo3AC::parse40_41, kOverflow41, two, {}},
        {"analog user values", &Ravo3AC::parse40_41, kOverflow41, user_values, {}},
        {"status", &Ravo3AC::parse40_43, kOverflow43, Status({1, 2, 3}, {4, 5, 6}), {}},
        {"status p 5", &Ravo3AC::parse40_43, kOverflow43, Status({1}, {4, 5, 6, 7, 8}), {}},
        {"alarm none", &Ravo3AC::parse40_44, kOverflow44, Alarm({}, 1, 2, 3), {}},
        {"alarm two", &Ravo3AC::parse40_44, kOverflow44,
         Alarm({{1, 2, 3, 1, {7}, Bytes(8, 4)}, {1, 2, 3, 1, {}, Bytes(2, 4)}}, 1, 2, 3), two},
    };
    for (const Case& c : cases) {
        for (std::size_t n = 0; n <= c.block.size(); ++n) {
            Rig rig;
            testing::internal::CaptureStdout();
            if (!c.analog_first.empty()) Feed(*rig.unit, &Ravo3AC::parse40_41, c.analog_first);
            rig.rec.Clear();
            const int got = FeedPrefix(*rig.unit, c.parser, c.block, n);
            testing::internal::GetCapturedStdout();
            if (n == c.block.size()) {
                EXPECT_EQ(got, static_cast<int>(n)) << c.what;
                continue;
            }
            EXPECT_EQ(got, -1) << c.what << " prefix " << n;
            const auto logs = rig.rec.Logs();
            ASSERT_FALSE(logs.empty()) << c.what << " prefix " << n;
            const auto& last = logs.back();
            EXPECT_EQ(last.format, c.overflow) << c.what << " prefix " << n;
            ASSERT_EQ(last.args.size(), 3u);
            EXPECT_GT(last.args[1].integer, static_cast<long long>(n)) << c.what << " prefix " << n;
            EXPECT_EQ(last.args[2].integer, static_cast<long long>(n)) << c.what << " prefix " << n;
        }
    }
}

TEST(AcParse, ArbitraryBytesNeverRunPastLen) {
    std::mt19937 gen(1363);
    std::uniform_int_distribution<int> byte(0, 255), small(0, 12), length(0, 80);
    const Parser parsers[] = {&Ravo3AC::parse40_41, &Ravo3AC::parse40_43, &Ravo3AC::parse40_44};
    Rig rig;
    testing::internal::CaptureStdout();
    for (int i = 0; i < 300; ++i) {
        Bytes b(static_cast<std::size_t>(length(gen)));
        for (auto& x : b) x = static_cast<unsigned char>(byte(gen) < 200 ? small(gen) : byte(gen));
        for (Parser p : parsers) {
            const int got = Feed(*rig.unit, p, b);
            EXPECT_TRUE(got == -1 || (got >= 0 && got <= static_cast<int>(b.size())))
                << "got " << got << " of " << b.size();
            ASSERT_EQ(rig.unit->channels.size(), rig.unit->ac.channel_count);
        }
    }
    testing::internal::GetCapturedStdout();
}

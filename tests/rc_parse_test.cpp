// Decoding of the rectifier answers (0x41/0x41, 0x41/0x43, 0x41/0x44) and of
// the two parameter answers the rectifier unit keeps (0x40/0x46, 0x42/0x46).
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "rc/Ravo3RC.h"
#include "tests/support/Fixture.h"

using namespace testing_support;

namespace {

constexpr unsigned kId = 260;

const char* const kAnalogCount =
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_41 p is {} not {}";
const char* const kAnalogInChannel =
    "PMBusPowerAC:ProcotolError {} read 41_41 in channel overflow {} - {}";
const char* const kAnalogOverflow =
    "PMBusPowerAC:ProcotolError {} read 41_41 read overflow {} - {}";
const char* const kAnalogCountChanged =
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_41 channel_count changed {} "
    "-> {}";
const char* const kStatusCount =
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_43 p is {}, not {}";
const char* const kStatusOverflow =
    "PMBusPowerAC:ProcotolError {} read 41_43 read overflow {} - {}";
const char* const kAlarmModules =
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} parse p41_44 channel_count not "
    "equal {} != {} ";
const char* const kAlarmCount =
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_44 p is {}, not {}";
const char* const kAlarmOverflow = "PMBusPowerAC:ProcotolError {} read 41_44 read overflow {} - {}";
const char* const kAcOverflow = "PMBusPowerAC:ProcotolError {} read 40_46 read overflow {} - {}";
const char* const kDcCount = "KLX04B:ProcotolError parse42_46 {} p:{} != {}";
const char* const kDcOverflow = "PMBusPowerAC:ProcotolError {} read 42_46 read overflow {} - {}";

using Parent = testing_support::ParentDevice;

struct Rig {
    Recorder rec;
    std::shared_ptr<Parent> parent = std::make_shared<Parent>();
    std::shared_ptr<Ravo3RC> unit = std::make_shared<Ravo3RC>();
    Rig() {
        parent->Init(rec.controller, kId, Json::Value());
        unit->InitV(parent.get(), kId, Json::Value(Json::objectValue));
    }
};

smd::LogArg U32(std::uint32_t v) {
    return smd::to_log_arg(v);
}
smd::LogArg U8(std::uint8_t v) {
    return smd::to_log_arg(v);
}
smd::LogArg I32(std::int32_t v) {
    return smd::to_log_arg(v);
}

struct Log {
    std::string format;
    std::vector<smd::LogArg> args;
};

void ExpectLogs(const Recorder& rec, const std::vector<Log>& want) {
    const auto logs = rec.Logs();
    ASSERT_EQ(logs.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(logs[i].text);
        EXPECT_EQ(logs[i].format, want[i].format);
        ASSERT_EQ(logs[i].args.size(), want[i].args.size());
        for (std::size_t k = 0; k < want[i].args.size(); ++k)
            EXPECT_TRUE(logs[i].args[k] == want[i].args[k]) << "argument " << k;
    }
}

template <typename T>
Bytes raw(const T& r) {
    const auto* p = reinterpret_cast<const unsigned char*>(&r);
    return Bytes(p, p + sizeof r);
}
Bytes field(const std::uint8_t* p, std::size_t n) {
    return Bytes(p, p + n);
}

// A 4-byte value whose bytes differ, tagged so that its position shows.
Bytes val(unsigned tag) {
    return {static_cast<unsigned char>(tag), 0x11, 0x22, 0x43};
}
Bytes cat(std::vector<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes prefix(const Bytes& b, std::size_t n) {
    return Bytes(b.begin(), b.begin() + n);
}

// Analog answer: data flag, group value, module count, modules.
Bytes analog(const std::vector<Bytes>& modules, unsigned group_tag = 0x01) {
    return ByteBuilder()
        .u8(0)
        .bytes(val(group_tag))
        .u8(static_cast<unsigned>(modules.size()))
        .bytes(cat(modules));
}
// One analog module entry with the given user-defined values.
Bytes analog_module(unsigned tag, const std::vector<Bytes>& user) {
    return ByteBuilder().bytes(val(tag)).u8(static_cast<unsigned>(user.size())).bytes(cat(user));
}
Bytes full_module(unsigned tag) {
    return analog_module(tag, {val(tag + 0x10), val(tag + 0x20), val(tag + 0x30), val(tag + 0x40)});
}
Bytes modules_answer(int n, unsigned group_tag = 0x01) {
    std::vector<Bytes> m;
    for (int i = 0; i < n; ++i) m.push_back(full_module(0xA1 + i));
    return analog(m, group_tag);
}
Bytes user_of(unsigned tag) {
    return cat({val(tag + 0x10), val(tag + 0x20), val(tag + 0x30), val(tag + 0x40)});
}

Bytes status_answer(unsigned n, const Bytes& entries) {
    return ByteBuilder().u8(0).u8(n).bytes(entries);
}
Bytes alarm_answer(unsigned n, const Bytes& entries) {
    return ByteBuilder().u8(0).u8(n).bytes(entries);
}

int call(Ravo3RC& u, int (Ravo3RC::*decoder)(const unsigned char*, int), const Bytes& b) {
    // A buffer of exactly the answer's size, so that the sanitizer sees any
    // read past it.
    std::unique_ptr<unsigned char[]> copy(new unsigned char[b.size() + 1]);
    std::copy(b.begin(), b.end(), copy.get());
    return (u.*decoder)(b.empty() ? nullptr : copy.get(), static_cast<int>(b.size()));
}

int learn(Ravo3RC& u, int modules) {
    return call(u, &Ravo3RC::parse41_41, modules_answer(modules));
}

}  // namespace

TEST(RcUnit, FreshUnitHasNoModulesNoHistoryAndAZeroRecord) {
    Ravo3RC u;
    EXPECT_EQ(u.DeviceType(), "ravo3-rc");
    EXPECT_TRUE(u.channels.empty());
    EXPECT_FALSE(u.history);
    EXPECT_EQ(u.history_size, 0u);
    EXPECT_EQ(raw(u.rc), Bytes(81, 0));
}

TEST(RcUnit, InitVStoresDataIdLowByteFirstAndReturnsTheHostResult) {
    Recorder rec;
    auto parent = std::make_shared<Parent>();
    parent->Init(rec.controller, 7, Json::Value());
    auto u = std::make_shared<Ravo3RC>();
    EXPECT_TRUE(u->InitV(parent.get(), 260, Json::Value(Json::objectValue)));
    EXPECT_EQ(field(u->rc.data_id, 4), Bytes({0x04, 0x01, 0x00, 0x00}));
    EXPECT_EQ(u->DataId(), 260u);
    auto orphan = std::make_shared<Ravo3RC>();
    EXPECT_FALSE(orphan->InitV(nullptr, 0x12345678, Json::Value()));
    EXPECT_EQ(field(orphan->rc.data_id, 4), Bytes({0x78, 0x56, 0x34, 0x12}));
}

// Every decoded byte lands at its place in the two stored records.
TEST(RcUnit, AnswersLandAtTheirRecordOffsets) {
    Rig r;
    auto& u = *r.unit;
    ASSERT_EQ(learn(u, 1), 27);
    ASSERT_EQ(call(u, &Ravo3RC::parse41_43,
                   status_answer(1, ByteBuilder().u8s({0x31, 0x32, 0x33, 1, 0x34}))),
              7);
    ASSERT_EQ(call(u, &Ravo3RC::parse41_44,
                   alarm_answer(1, ByteBuilder().u8s({1, 4, 0x41, 0x42, 0x43, 0x44}))),
              8);
    Bytes ac;
    for (unsigned i = 0; i < 20; ++i) ac.push_back(0x50 + i);
    ASSERT_EQ(call(u, &Ravo3RC::parse40_46, ByteBuilder().bytes(ac).u8(0)), 21);
    Bytes dc, user;
    for (unsigned i = 0; i < 8; ++i) dc.push_back(0x70 + i);
    for (unsigned i = 0; i < 36; ++i) user.push_back(0x80 + i);
    ASSERT_EQ(call(u, &Ravo3RC::parse42_46, ByteBuilder().bytes(dc).u8(9).bytes(user)), 45);

    const Bytes g = raw(u.rc);
    EXPECT_EQ(prefix(g, 4), Bytes({0x04, 0x01, 0, 0}));
    EXPECT_EQ(Bytes(g.begin() + 4, g.begin() + 24), ac);
    EXPECT_EQ(Bytes(g.begin() + 24, g.begin() + 32), dc);
    EXPECT_EQ(g[32], 9);
    EXPECT_EQ(Bytes(g.begin() + 33, g.begin() + 69), user);
    EXPECT_EQ(Bytes(g.begin() + 69, g.begin() + 73), val(0x01));
    EXPECT_EQ(g[73], 1);

    const Bytes c = raw(u.channels.at(0));
    EXPECT_EQ(prefix(c, 4), val(0xA1));
    EXPECT_EQ(c[4], 4);
    EXPECT_EQ(Bytes(c.begin() + 5, c.begin() + 21), user_of(0xA1));
    EXPECT_EQ(Bytes(c.begin() + 21, c.end()),
              Bytes({0x31, 0x32, 0x33, 1, 0x34, 1, 4, 0x41, 0x42, 0x43, 0x44}));
}

// ---- 0x41/0x41 -------------------------------------------------------------

struct AnalogCase {
    const char* name;
    Bytes answer;
    int result;
    std::size_t modules;
    std::vector<Log> logs;
    std::function<void(const Ravo3RC&)> check;
};

TEST(RcAnalog, FirstAnswers) {
    const std::vector<AnalogCase> cases = {
        {"two modules of four values",
         modules_answer(2),
         48,
         2,
         {},
         [](const Ravo3RC& u) {
             EXPECT_EQ(field(u.rc.group_value, 4), val(0x01));
             for (int m = 0; m < 2; ++m) {
                 EXPECT_EQ(field(u.channels[m].module_value, 4), val(0xA1 + m));
                 EXPECT_EQ(u.channels[m].analog_count, 4);
                 EXPECT_EQ(field(u.channels[m].analog_user, 16), user_of(0xA1 + m));
             }
         }},
        {"module 1 with three values",
         analog({analog_module(0xA1, {val(0xB1), val(0xB2), val(0xB3)}), full_module(0xA2)}),
         6 + 17 + 21,
         2,
         {{kAnalogCount, {U32(kId), U8(3), U8(4)}}},
         [](const Ravo3RC& u) {
             EXPECT_EQ(field(u.channels[0].module_value, 4), val(0xA1));
             EXPECT_EQ(u.channels[0].analog_count, 3);
             EXPECT_EQ(field(u.channels[0].analog_user, 16), Bytes(16, 0));
             EXPECT_EQ(field(u.channels[1].module_value, 4), val(0xA2));
             EXPECT_EQ(field(u.channels[1].analog_user, 16), user_of(0xA2));
         }},
        {"no modules", modules_answer(0), 6, 0, {}, nullptr},
        {"bytes after the last module are not consumed",
         ByteBuilder().bytes(modules_answer(2)).u8s({0xEE, 0xEE}),
         48,
         2,
         {},
         nullptr},
        {"skipped values run past the end",
         analog({ByteBuilder().bytes(val(0xA1)).u8(5).bytes(cat({val(1), val(2), val(3)}))}),
         -1,
         1,
         {{kAnalogCount, {U32(kId), U8(5), U8(4)}},
          {kAnalogOverflow, {U32(kId), I32(31), I32(23)}}},
         [](const Ravo3RC& u) { EXPECT_EQ(u.channels[0].analog_count, 5); }},
        {"values of module 2 cut short",
         prefix(modules_answer(2), 6 + 21 + 5 + 8),
         -1,
         2,
         {{kAnalogInChannel, {U32(kId), I32(48), I32(40)}}},
         [](const Ravo3RC& u) {
             EXPECT_EQ(field(u.channels[0].analog_user, 16), user_of(0xA1));
             EXPECT_EQ(field(u.channels[1].module_value, 4), val(0xA2));
             EXPECT_EQ(u.channels[1].analog_count, 4);
             EXPECT_EQ(field(u.channels[1].analog_user, 16), Bytes(16, 0));
         }},
        {"entry of module 2 cut short",
         prefix(modules_answer(2), 6 + 21 + 2),
         -1,
         2,
         {{kAnalogInChannel, {U32(kId), I32(32), I32(29)}}},
         [](const Ravo3RC& u) {
             EXPECT_EQ(field(u.channels[0].analog_user, 16), user_of(0xA1));
             EXPECT_EQ(raw(u.channels[1]), Bytes(32, 0));
         }},
        {"module count missing",
         prefix(modules_answer(2), 5),
         -1,
         0,
         {{kAnalogOverflow, {U32(kId), I32(6), I32(5)}}},
         [](const Ravo3RC& u) { EXPECT_EQ(field(u.rc.group_value, 4), Bytes(4, 0)); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r;
        EXPECT_EQ(call(*r.unit, &Ravo3RC::parse41_41, c.answer), c.result);
        EXPECT_EQ(r.unit->channels.size(), c.modules);
        EXPECT_EQ(static_cast<std::size_t>(r.unit->rc.channel_count), c.modules);
        ExpectLogs(r.rec, c.logs);
        if (c.check) c.check(*r.unit);
    }
}

// Four equal bytes mark a user-defined value the monitoring unit cannot give;
// the module's own value is always kept as it came.
TEST(RcAnalog, FourEqualBytesInUserValuesBecomeZero) {
    const struct {
        Bytes value;
        Bytes stored;
    } cases[] = {
        {{0x20, 0x20, 0x20, 0x20}, {0, 0, 0, 0}},
        {{0xFF, 0xFF, 0xFF, 0xFF}, {0, 0, 0, 0}},
        {{0x00, 0x00, 0x00, 0x00}, {0, 0, 0, 0}},
        {{0x00, 0x00, 0x80, 0x3F}, {0x00, 0x00, 0x80, 0x3F}},
        {{0x20, 0x20, 0x20, 0x21}, {0x20, 0x20, 0x20, 0x21}},
        {{0x21, 0x20, 0x20, 0x20}, {0x21, 0x20, 0x20, 0x20}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(hex_string(c.value));
        for (int pos = 0; pos < 4; ++pos) {
            Rig r;
            std::vector<Bytes> user = {val(0xB1), val(0xB2), val(0xB3), val(0xB4)};
            user[pos] = c.value;
            Bytes module = ByteBuilder().bytes(c.value).u8(4).bytes(cat(user));
            ASSERT_EQ(call(*r.unit, &Ravo3RC::parse41_41, analog({module})), 27);
            const auto& ch = r.unit->channels.at(0);
            EXPECT_EQ(field(ch.module_value, 4), c.value);
            user[pos] = c.stored;
            EXPECT_EQ(field(ch.analog_user, 16), cat(user)) << "position " << pos;
        }
    }
}

TEST(RcAnalog, AnotherModuleCountIsRefusedSilentlyKeepingTheModules) {
    Rig r;
    auto& u = *r.unit;
    ASSERT_EQ(learn(u, 2), 48);
    const Bytes before = cat({raw(u.channels[0]), raw(u.channels[1])});
    EXPECT_EQ(call(u, &Ravo3RC::parse41_41, modules_answer(3, 0x07)), -1);
    EXPECT_TRUE(r.rec.Logs().empty());
    EXPECT_EQ(field(u.rc.group_value, 4), val(0x07));
    EXPECT_EQ(u.rc.channel_count, 2);
    ASSERT_EQ(u.channels.size(), 2u);
    EXPECT_EQ(cat({raw(u.channels[0]), raw(u.channels[1])}), before);
    // The learned count still decodes.
    EXPECT_EQ(call(u, &Ravo3RC::parse41_41, modules_answer(2)), 48);
}

// A new module count is taken after three analog answers in a row carry it.
TEST(RcAnalog, NewModuleCountIsTakenAfterThreeAnswersInARow) {
    const int kShort = -1;  // an answer too short to carry a count
    const struct {
        const char* name;
        std::vector<int> counts;
        std::vector<int> results;
        int final_count;
    } cases[] = {
        {"three in a row", {3, 3, 3}, {-1, -1, 69}, 3},
        {"the fixed count resets the streak", {3, 3, 2, 3, 3}, {-1, -1, 48, -1, -1}, 2},
        {"another count starts again", {3, 4, 3, 3, 3}, {-1, -1, -1, -1, 69}, 3},
        {"a short answer carries no count", {3, kShort, 3, 3}, {-1, -1, -1, 69}, 3},
        {"down to none, then learned at once", {0, 0, 0, 1}, {-1, -1, 6, 27}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r;
        auto& u = *r.unit;
        ASSERT_EQ(learn(u, 2), 48);
        ASSERT_EQ(call(u, &Ravo3RC::parse41_43,
                       status_answer(2, ByteBuilder().u8s({9, 9, 9, 1, 9, 9, 9, 9, 1, 9}))),
                  12);
        for (std::size_t i = 0; i < c.counts.size(); ++i) {
            const Bytes a = c.counts[i] == kShort ? Bytes{0, 1, 2} : modules_answer(c.counts[i]);
            EXPECT_EQ(call(u, &Ravo3RC::parse41_41, a), c.results[i]) << "answer " << i;
        }
        EXPECT_EQ(u.rc.channel_count, c.final_count);
        ASSERT_EQ(u.channels.size(), static_cast<std::size_t>(c.final_count));
        std::vector<std::string> changes;
        for (const auto& l : r.rec.Logs())
            if (l.format == kAnalogCountChanged) changes.push_back(l.text);
        if (c.final_count == 2) {
            EXPECT_TRUE(changes.empty());
            continue;
        }
        ASSERT_FALSE(changes.empty());
        if (c.final_count == 3) {
            ASSERT_EQ(changes.size(), 1u);
            EXPECT_EQ(changes[0],
                      "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 260 read 41_41 "
                      "channel_count changed 2 -> 3");
            // The modules that remain keep their status; the added one starts at zero.
            for (int m = 0; m < 3; ++m) {
                EXPECT_EQ(field(u.channels[m].module_value, 4), val(0xA1 + m));
                EXPECT_EQ(field(u.channels[m].status, 3), Bytes(3, m < 2 ? 9 : 0));
            }
        } else {
            EXPECT_EQ(changes[0],
                      "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 260 read 41_41 "
                      "channel_count changed 2 -> 0");
        }
    }
}

TEST(RcAnalog, CountChangeLineCarriesIdAndBothCountsAsBytes) {
    Rig r;
    ASSERT_EQ(learn(*r.unit, 2), 48);
    for (int i = 0; i < 3; ++i) call(*r.unit, &Ravo3RC::parse41_41, modules_answer(1));
    ExpectLogs(r.rec, {{kAnalogCountChanged, {U32(kId), U8(2), U8(1)}}});
}

// ---- 0x41/0x43 -------------------------------------------------------------

struct ModuleCase {
    const char* name;
    Bytes answer;
    int result;
    std::vector<Log> logs;
    std::function<void(const Ravo3RC&)> check;
};

void RunWithThreeModules(const std::vector<ModuleCase>& cases,
                         int (Ravo3RC::*decoder)(const unsigned char*, int)) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r;
        ASSERT_EQ(learn(*r.unit, 3), 69);
        EXPECT_EQ(call(*r.unit, decoder, c.answer), c.result);
        ExpectLogs(r.rec, c.logs);
        if (c.check) c.check(*r.unit);
    }
}

Bytes status_of(const Ravo3RC& u, int m) {
    const Bytes b = raw(u.channels[m]);
    return Bytes(b.begin() + 21, b.begin() + 26);
}

TEST(RcStatus, Answers) {
    const Bytes untouched(5, 0);
    RunWithThreeModules(
        {
            {"one of three modules",
             status_answer(1, ByteBuilder().u8s({1, 2, 3, 1, 4})),
             7,
             {},
             [&](const Ravo3RC& u) {
                 EXPECT_EQ(status_of(u, 0), Bytes({1, 2, 3, 1, 4}));
                 EXPECT_EQ(status_of(u, 1), untouched);
                 EXPECT_EQ(status_of(u, 2), untouched);
             }},
            {"all three",
             status_answer(3, ByteBuilder().u8s({1, 2, 3, 1, 4, 5, 6, 7, 1, 8, 9, 10, 11, 1, 12})),
             17,
             {},
             [](const Ravo3RC& u) {
                 EXPECT_EQ(status_of(u, 2), Bytes({9, 10, 11, 1, 12}));
             }},
            {"more modules than known",
             status_answer(4, ByteBuilder().repeat(1, 20)),
             -1,
             {},
             [&](const Ravo3RC& u) {
                 for (int m = 0; m < 3; ++m) EXPECT_EQ(status_of(u, m), untouched);
             }},
            {"module 1 with two user bytes",
             status_answer(2, ByteBuilder().u8s({1, 2, 3, 2, 0x77, 0x78, 5, 6, 7, 1, 8})),
             13,
             {{kStatusCount, {U32(kId), U8(2), U8(1)}}},
             [](const Ravo3RC& u) {
                 EXPECT_EQ(status_of(u, 0), Bytes({1, 2, 3, 2, 0}));
                 EXPECT_EQ(status_of(u, 1), Bytes({5, 6, 7, 1, 8}));
             }},
            {"skipped user bytes run past the end",
             status_answer(1, ByteBuilder().u8s({1, 2, 3, 3, 0x77})),
             -1,
             {{kStatusCount, {U32(kId), U8(3), U8(1)}},
              {kStatusOverflow, {U32(kId), I32(9), I32(7)}}},
             nullptr},
            {"module 2 cut short",
             status_answer(2, ByteBuilder().u8s({1, 2, 3, 1, 4, 5, 6})),
             -1,
             {{kStatusOverflow, {U32(kId), I32(11), I32(9)}}},
             [&](const Ravo3RC& u) {
                 EXPECT_EQ(status_of(u, 0), Bytes({1, 2, 3, 1, 4}));
                 EXPECT_EQ(status_of(u, 1), untouched);
             }},
            {"user byte missing",
             status_answer(1, ByteBuilder().u8s({1, 2, 3, 1})),
             -1,
             {{kStatusOverflow, {U32(kId), I32(7), I32(6)}}},
             [](const Ravo3RC& u) {
                 EXPECT_EQ(status_of(u, 0), Bytes({1, 2, 3, 1, 0}));
             }},
            {"module count missing",
             Bytes{0},
             -1,
             {{kStatusOverflow, {U32(kId), I32(2), I32(1)}}},
             nullptr},
        },
        &Ravo3RC::parse41_43);
}

// ---- 0x41/0x44 -------------------------------------------------------------

Bytes alarms_of(const Ravo3RC& u, int m) {
    const Bytes b = raw(u.channels[m]);
    return Bytes(b.begin() + 26, b.end());
}

TEST(RcAlarm, Answers) {
    const Bytes untouched(6, 0);
    RunWithThreeModules(
        {
            {"two of three modules",
             alarm_answer(2, ByteBuilder().u8s({0, 4, 1, 0, 1, 0xE2, 1, 4, 0, 1, 0, 1})),
             14,
             {},
             [&](const Ravo3RC& u) {
                 EXPECT_EQ(alarms_of(u, 0), Bytes({0, 4, 1, 0, 1, 0xE2}));
                 EXPECT_EQ(alarms_of(u, 1), Bytes({1, 4, 0, 1, 0, 1}));
                 EXPECT_EQ(alarms_of(u, 2), untouched);
             }},
            {"more modules than known",
             alarm_answer(4, ByteBuilder().repeat(1, 24)),
             0,
             {{kAlarmModules, {U32(kId), I32(4), U8(3)}}},
             [&](const Ravo3RC& u) {
                 for (int m = 0; m < 3; ++m) EXPECT_EQ(alarms_of(u, m), untouched);
             }},
            {"module 1 with five alarm bytes",
             alarm_answer(2, ByteBuilder().u8s({1, 5, 9, 9, 9, 9, 9, 0, 4, 1, 1, 1, 1})),
             15,
             {{kAlarmCount, {U32(kId), U8(5), U8(4)}}},
             [](const Ravo3RC& u) {
                 EXPECT_EQ(alarms_of(u, 0), Bytes({1, 5, 0, 0, 0, 0}));
                 EXPECT_EQ(alarms_of(u, 1), Bytes({0, 4, 1, 1, 1, 1}));
             }},
            {"no modules", alarm_answer(0, {}), 2, {}, nullptr},
            {"alarm bytes cut short",
             alarm_answer(1, ByteBuilder().u8s({1, 4, 1, 1})),
             -1,
             {{kAlarmOverflow, {U32(kId), I32(8), I32(6)}}},
             [](const Ravo3RC& u) {
                 EXPECT_EQ(alarms_of(u, 0), Bytes({1, 4, 0, 0, 0, 0}));
             }},
            {"skipped alarm bytes run past the end",
             alarm_answer(1, ByteBuilder().u8s({0, 2})),
             -1,
             {{kAlarmCount, {U32(kId), U8(2), U8(4)}},
              {kAlarmOverflow, {U32(kId), I32(6), I32(4)}}},
             nullptr},
            {"module 2 cut short",
             alarm_answer(2, ByteBuilder().u8s({1, 4, 1, 1, 1, 1, 1})),
             -1,
             {{kAlarmOverflow, {U32(kId), I32(10), I32(9)}}},
             [&](const Ravo3RC& u) {
                 EXPECT_EQ(alarms_of(u, 0), Bytes({1, 4, 1, 1, 1, 1}));
                 EXPECT_EQ(alarms_of(u, 1), untouched);
             }},
            {"module count missing",
             Bytes{0},
             -1,
             {{kAlarmOverflow, {U32(kId), I32(2), I32(1)}}},
             nullptr},
        },
        &Ravo3RC::parse41_44);
}

// ---- 0x40/0x46 and 0x42/0x46 -----------------------------------------------

Bytes ac_values() {
    Bytes b;
    for (unsigned i = 0; i < 20; ++i) b.push_back(0x50 + i);
    return b;
}

TEST(RcParameters, AcAnswers) {
    const struct {
        const char* name;
        Bytes answer;
        int result;
        bool stored;
        std::vector<Log> logs;
    } cases[] = {
        {"no user values", ByteBuilder().bytes(ac_values()).u8(0), 21, true, {}},
        {"no user values, longer",
         ByteBuilder().bytes(ac_values()).u8(0).u8s({1, 2, 3, 4}),
         21,
         true,
         {}},
        // User values are stepped over and not checked against the length here.
        {"two user values, none present", ByteBuilder().bytes(ac_values()).u8(2), 29, true, {}},
        {"two user values", ByteBuilder().bytes(ac_values()).u8(2).repeat(7, 8), 29, true, {}},
        {"count missing", ac_values(), -1, false, {{kAcOverflow, {U32(kId), I32(21), I32(20)}}}},
        {"empty", {}, -1, false, {{kAcOverflow, {U32(kId), I32(21), I32(0)}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r;
        EXPECT_EQ(call(*r.unit, &Ravo3RC::parse40_46, c.answer), c.result);
        EXPECT_EQ(field(r.unit->rc.ac_param, 20), c.stored ? ac_values() : Bytes(20, 0));
        ExpectLogs(r.rec, c.logs);
    }
}

TEST(RcParameters, DcAnswers) {
    Bytes old_user(36, 0xEE), new_user;
    for (unsigned i = 0; i < 40; ++i) new_user.push_back(0x80 + i);
    const Bytes old_dc(8, 0xDD), new_dc{1, 2, 3, 4, 5, 6, 7, 8};
    auto answer = [&](unsigned count, std::size_t user_bytes) {
        return ByteBuilder().bytes(new_dc).u8(count).bytes(prefix(new_user, user_bytes)).build();
    };
    auto kept = [&](std::size_t n) {
        Bytes b = prefix(new_user, n);
        b.insert(b.end(), old_user.begin() + n, old_user.end());
        return b;
    };
    const struct {
        const char* name;
        Bytes answer;
        int result;
        Bytes dc;
        unsigned count;
        Bytes user;
        std::vector<Log> logs;
    } cases[] = {
        {"nine values", answer(9, 36), 45, new_dc, 9, kept(36), {}},
        {"nine values and more bytes", answer(9, 40), 45, new_dc, 9, kept(36), {}},
        {"nine values, 11 bytes of them", answer(9, 11), 20, new_dc, 9, kept(11), {}},
        {"nine values, none of them", answer(9, 0), 9, new_dc, 9, kept(0), {}},
        {"eight values",
         answer(8, 32),
         41,
         new_dc,
         8,
         old_user,
         {{kDcCount, {U32(kId), U8(8), U8(9)}}}},
        {"no values", answer(0, 0), 9, new_dc, 0, old_user, {{kDcCount, {U32(kId), U8(0), U8(9)}}}},
        {"count missing",
         prefix(answer(9, 36), 8),
         -1,
         old_dc,
         9,
         old_user,
         {{kDcOverflow, {U32(kId), I32(9), I32(8)}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r;
        auto& u = *r.unit;
        ASSERT_EQ(call(u, &Ravo3RC::parse42_46, ByteBuilder().bytes(old_dc).u8(9).bytes(old_user)),
                  45);
        EXPECT_EQ(call(u, &Ravo3RC::parse42_46, c.answer), c.result);
        EXPECT_EQ(field(u.rc.dc_param, 8), c.dc);
        EXPECT_EQ(static_cast<unsigned>(u.rc.dc_user_count), c.count);
        EXPECT_EQ(field(u.rc.dc_user_param, 36), c.user);
        ExpectLogs(r.rec, c.logs);
    }
}

// ---- every prefix of a valid answer -----------------------------------------

TEST(RcTruncation, EveryPrefixStaysInsideAndFailsWithTheNeededOffset) {
    using Decoder = int (Ravo3RC::*)(const unsigned char*, int);
    const struct {
        const char* name;
        Decoder decoder;
        int known_modules;  // learned before the answer; -1 for none
        Bytes answer;
        bool may_exceed;  // results past the length on purpose
    } cases[] = {
        {"41_41 first answer", &Ravo3RC::parse41_41, -1, modules_answer(3), false},
        {"41_41 learned count", &Ravo3RC::parse41_41, 3, modules_answer(3), false},
        {"41_41 module with two values", &Ravo3RC::parse41_41, -1,
         analog({analog_module(0xA1, {val(1), val(2)}), full_module(0xA2)}), false},
        {"41_43", &Ravo3RC::parse41_43, 3,
         status_answer(3, ByteBuilder().u8s({1, 2, 3, 1, 4, 5, 6, 7, 1, 8, 9, 10, 11, 1, 12})),
         false},
        {"41_43 two user bytes", &Ravo3RC::parse41_43, 2,
         status_answer(2, ByteBuilder().u8s({1, 2, 3, 2, 4, 4, 5, 6, 7, 1, 8})), false},
        {"41_44", &Ravo3RC::parse41_44, 2,
         alarm_answer(2, ByteBuilder().u8s({0, 4, 1, 0, 1, 0xE2, 1, 4, 0, 1, 0, 1})), false},
        {"41_44 three alarm bytes", &Ravo3RC::parse41_44, 2,
         alarm_answer(2, ByteBuilder().u8s({0, 3, 1, 0, 1, 1, 4, 0, 1, 0, 1})), false},
        {"40_46", &Ravo3RC::parse40_46, -1, ByteBuilder().bytes(ac_values()).u8(0), false},
        {"40_46 user values", &Ravo3RC::parse40_46, -1,
         ByteBuilder().bytes(ac_values()).u8(2).repeat(3, 8), true},
        {"42_46", &Ravo3RC::parse42_46, -1, ByteBuilder().repeat(1, 8).u8(9).repeat(2, 36), false},
        {"42_46 eight values", &Ravo3RC::parse42_46, -1,
         ByteBuilder().repeat(1, 8).u8(8).repeat(2, 32), true},
    };
    for (const auto& c : cases) {
        const int full = static_cast<int>(c.answer.size());
        for (int len = 0; len <= full; ++len) {
            SCOPED_TRACE(std::string(c.name) + " len " + std::to_string(len));
            Rig r;
            if (c.known_modules >= 0) {
                ASSERT_EQ(learn(*r.unit, c.known_modules), 6 + 21 * c.known_modules);
            }
            const int result = call(*r.unit, c.decoder, prefix(c.answer, len));
            if (len == full) {
                EXPECT_EQ(result, full);
                continue;
            }
            if (result == -1) {
                // The last message is an overflow naming the offset needed and the length.
                const auto logs = r.rec.Logs();
                ASSERT_FALSE(logs.empty());
                const auto& last = logs.back();
                EXPECT_NE(last.format.find("overflow"), std::string::npos) << last.format;
                ASSERT_EQ(last.args.size(), 3u);
                EXPECT_TRUE(last.args[0] == U32(kId));
                EXPECT_GT(last.args[1].integer, len);
                EXPECT_TRUE(last.args[2] == I32(len));
            } else {
                EXPECT_GE(result, 0);
                if (!c.may_exceed) {
                    EXPECT_LE(result, len);
                }
            }
            EXPECT_EQ(r.unit->channels.size(), static_cast<std::size_t>(r.unit->rc.channel_count));
        }
    }
}

// End of a poll cycle for the rectifier unit: history record, snapshot, alarm
// points and the closure handed to the host.
#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rc/Ravo3RC.h"
#include "tests/support/Fixture.h"

using namespace testing_support;

namespace {

constexpr unsigned kId = 260;

using Parent = testing_support::ParentDevice;

struct Rig {
    FakeClock clock;
    Recorder rec;
    std::shared_ptr<Parent> parent = std::make_shared<Parent>();
    std::shared_ptr<Ravo3RC> unit = std::make_shared<Ravo3RC>();
    explicit Rig(bool async = false) : rec(async) {
        parent->Init(rec.controller, kId, Json::Value());
        unit->InitV(parent.get(), kId, Json::Value(Json::objectValue));
    }
};

int call(Ravo3RC& u, int (Ravo3RC::*decoder)(const unsigned char*, int), const Bytes& b) {
    return (u.*decoder)(b.data(), static_cast<int>(b.size()));
}

Bytes analog(int modules) {
    ByteBuilder b;
    b.u8(0).u8s({0x01, 0x11, 0x22, 0x43}).u8(static_cast<unsigned>(modules));
    for (int m = 0; m < modules; ++m)
        b.u8s({0xA1u + m, 0x11, 0x22, 0x43}).u8(4).repeat(0x30 + m, 16);
    return b;
}

// Alarm answer with one entry per module: fault byte, alarm count, bytes.
struct ModuleAlarm {
    unsigned fault;
    Bytes user;  // its size is the alarm count sent
};
Bytes alarms(const std::vector<ModuleAlarm>& modules) {
    ByteBuilder b;
    b.u8(0).u8(static_cast<unsigned>(modules.size()));
    for (const auto& m : modules)
        b.u8(m.fault).u8(static_cast<unsigned>(m.user.size())).bytes(m.user);
    return b;
}

// Sets up the modules of a unit with the given alarm states.
void Prepare(Ravo3RC& u, const std::vector<ModuleAlarm>& modules) {
    const Bytes a = analog(static_cast<int>(modules.size()));
    ASSERT_EQ(call(u, &Ravo3RC::parse41_41, a), static_cast<int>(a.size()));
    const Bytes b = alarms(modules);
    ASSERT_EQ(call(u, &Ravo3RC::parse41_44, b), static_cast<int>(b.size()));
}

std::string Module(int n) {
    return "模块" + std::to_string(n);
}

const rule_value* Find(const std::vector<rule_value>& rules, const std::string& key,
                       const std::string& detail) {
    for (const auto& r : rules)
        if (r.key == key && r.detail == detail) return &r;
    return nullptr;
}

}  // namespace

// The model's points exactly as operators and downstream rules know them.
TEST(RcAlarmTable, ModelRulesAreTheRavo3Points) {
    const struct {
        const char* key;
        const char* code;
        const char* name;
        const char* detail;
        int level;
        int byte;
        unsigned value;
    } want[] = {
        {"RAVO3_RC_0", "06024", "整流模块故障告警", "模块故障告警状态", 3, 0, 0x01},
        {"RAVO3_RC_1", "06025", "整流模块风扇告警", "模块风扇告警", 4, 1, 0x01},
        {"RAVO3_RC_2", "06027", "整流模块温度过高告警", "模块过温告警状态", 3, 2, 0x01},
        {"RAVO3_RC_3", "06028", "整流模块通信状态告警", "模块通讯中断告警状态", 4, 3, 0xE2},
    };
    const auto& rules = Ravo3RC::ModelRules();
    ASSERT_EQ(rules.size(), 4u);
    for (std::size_t i = 0; i < rules.size(); ++i) {
        SCOPED_TRACE(want[i].key);
        EXPECT_STREQ(rules[i].key, want[i].key);
        EXPECT_STREQ(rules[i].code, want[i].code);
        EXPECT_STREQ(rules[i].name, want[i].name);
        EXPECT_STREQ(rules[i].detail, want[i].detail);
        EXPECT_EQ(rules[i].level, want[i].level);
        EXPECT_EQ(rules[i].alarm_byte, want[i].byte);
        EXPECT_EQ(rules[i].alarm_value, want[i].value);
    }
}

// Which points a cycle registers, in which order, with which sequence numbers.
TEST(RcRoundDone, PointsAndSequenceNumbers) {
    const Bytes four(4, 0), five(5, 0), three(3, 0);
    const struct {
        const char* name;
        std::vector<ModuleAlarm> modules;
        std::vector<int> with_model_rules;  // module numbers, in order
    } cases[] = {
        {"no modules", {}, {}},
        {"one module", {{0, four}}, {1}},
        {"two modules", {{0, four}, {0, four}}, {1, 2}},
        {"count 5 before count 4", {{0, five}, {0, four}}, {2}},
        {"count 4 before count 3", {{0, four}, {0, three}}, {1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r;
        Prepare(*r.unit, c.modules);
        r.unit->RoundDone();
        const auto batches = r.rec.Batches();
        ASSERT_EQ(batches.size(), 1u);  // the closure ran once
        EXPECT_EQ(batches[0].data_id, kId);
        EXPECT_EQ(batches[0].device_type, "ravo3-rc");

        std::vector<rule_value> want;
        int seq = 1;
        for (std::size_t m = 1; m <= c.modules.size(); ++m) {
            rule_value v;
            v.key = "RC_0";
            v.code = "06024";
            v.name = "整流模块故障告警";
            v.detail = Module(static_cast<int>(m)) + "整流模块故障告警";
            v.level = 2;
            v.seq = seq++;
            want.push_back(v);
        }
        for (int m : c.with_model_rules) {
            for (const auto& rule : Ravo3RC::ModelRules()) {
                rule_value v;
                v.key = rule.key;
                v.code = rule.code;
                v.name = rule.name;
                v.detail = Module(m) + rule.detail;
                v.level = rule.level;
                v.seq = seq++;
                want.push_back(v);
            }
        }
        const auto& got = batches[0].rules;
        ASSERT_EQ(got.size(), want.size());
        for (std::size_t i = 0; i < want.size(); ++i) {
            SCOPED_TRACE(want[i].detail);
            EXPECT_EQ(got[i].key, want[i].key);
            EXPECT_EQ(got[i].code, want[i].code);
            EXPECT_EQ(got[i].name, want[i].name);
            EXPECT_EQ(got[i].detail, want[i].detail);
            EXPECT_EQ(got[i].level, want[i].level);
            EXPECT_EQ(got[i].seq, want[i].seq);
            EXPECT_EQ(got[i].active, 0);
        }
        // Sequence numbers restart in every cycle.
        r.unit->RoundDone();
        const auto again = r.rec.Batches();
        ASSERT_EQ(again.size(), 2u);
        ASSERT_EQ(again[1].rules.size(), want.size());
        if (!want.empty()) {
            EXPECT_EQ(again[1].rules[0].seq, 1);
        }
    }
}

// Each model point is raised by its own byte value only; the neighbours and
// the other rules' alarm values do not raise it.
TEST(RcRoundDone, ModelPointsFollowTheirAlarmBytes) {
    for (const auto& rule : Ravo3RC::ModelRules()) {
        const unsigned v = rule.alarm_value;
        for (unsigned value : {v, v - 1, v + 1, 0u, 1u, 2u, 0xE2u, 0xFFu}) {
            SCOPED_TRACE(std::string(rule.key) + " byte " + std::to_string(value));
            Rig r;
            Bytes user(4, 0);
            user[rule.alarm_byte] = static_cast<unsigned char>(value);
            Prepare(*r.unit, {{0, user}});
            r.unit->RoundDone();
            const auto batches = r.rec.Batches();
            ASSERT_EQ(batches.size(), 1u);
            for (const auto& other : Ravo3RC::ModelRules()) {
                const rule_value* p = Find(batches[0].rules, other.key, Module(1) + other.detail);
                ASSERT_NE(p, nullptr);
                const bool expect = &other == &rule && value == v;
                EXPECT_EQ(p->active, expect ? 1 : 0) << other.key;
            }
        }
    }
}

TEST(RcRoundDone, FaultByteOneRaisesTheModulePointWhateverItsAlarmCount) {
    const struct {
        unsigned fault;
        std::size_t alarm_count;
        bool active;
    } cases[] = {{1, 4, true},  {1, 5, true},  {1, 0, true},
                 {0, 4, false}, {2, 4, false}, {0xFF, 4, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE("fault " + std::to_string(c.fault) + " count " +
                     std::to_string(c.alarm_count));
        Rig r;
        Prepare(*r.unit, {{0, Bytes(4, 0)}, {c.fault, Bytes(c.alarm_count, 0)}});
        r.unit->RoundDone();
        const auto rules = r.rec.Batches().at(0).rules;
        const rule_value* m2 = Find(rules, "RC_0", Module(2) + "整流模块故障告警");
        ASSERT_NE(m2, nullptr);
        EXPECT_EQ(m2->active, c.active ? 1 : 0);
        EXPECT_EQ(Find(rules, "RC_0", Module(1) + "整流模块故障告警")->active, 0);
    }
}

TEST(RcRoundDone, HistoryRecordIsStampedPublishedAndStored) {
    const struct {
        int modules;
        unsigned size;
    } cases[] = {{0, 81}, {1, 113}, {3, 177}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.modules);
        Rig r;
        r.clock.Set(boost::posix_time::time_from_string("2026-12-08 10:20:30"));
        auto& u = *r.unit;
        const Bytes a = analog(c.modules);
        ASSERT_EQ(call(u, &Ravo3RC::parse41_41, a), static_cast<int>(a.size()));
        u.RoundDone();

        ASSERT_TRUE(u.history);
        EXPECT_EQ(u.history_size, c.size);
        const Bytes h(u.history.get(), u.history.get() + u.history_size);
        EXPECT_EQ(Bytes(h.begin(), h.begin() + 4), Bytes({0x04, 0x01, 0x00, 0x00}));
        EXPECT_EQ(Bytes(h.begin() + 74, h.begin() + 81),
                  Bytes({0xEA, 0x07, 12, 8, 10, 20, 30}));  // 2026-12-08 10:20:30
        EXPECT_EQ(h[73], c.modules);
        for (int m = 0; m < c.modules; ++m) {
            const auto* rec = reinterpret_cast<const unsigned char*>(&u.channels[m]);
            EXPECT_EQ(Bytes(h.begin() + 81 + 32 * m, h.begin() + 113 + 32 * m),
                      Bytes(rec, rec + 32));
        }

        const auto snaps = r.rec.Snapshots();
        ASSERT_EQ(snaps.size(), 1u);
        EXPECT_EQ(snaps[0].unit_type, 5160);
        EXPECT_FALSE(snaps[0].flag);
        EXPECT_EQ(snaps[0].bytes, h);
        const auto stored = r.rec.history->All();
        ASSERT_EQ(stored.size(), 1u);
        EXPECT_EQ(stored[0].bytes, h);
        EXPECT_EQ(stored[0].data_id, kId);
        EXPECT_EQ(stored[0].device_type, "ravo3-rc");

        EXPECT_TRUE(u.ready);
        EXPECT_EQ(u.last_update, r.clock.Now());
        EXPECT_TRUE(u.pending_rules.empty());
        EXPECT_GE(u.pending_rules.capacity(), static_cast<std::size_t>(c.modules));
    }
}

// The buffer follows the module count, however the count changed.
TEST(RcRoundDone, HistorySizeFollowsTheModuleCount) {
    Rig r;
    auto& u = *r.unit;
    u.RoundDone();
    EXPECT_EQ(u.history_size, 81u);
    ASSERT_EQ(call(u, &Ravo3RC::parse41_41, analog(2)), 48);
    u.RoundDone();
    EXPECT_EQ(u.history_size, 145u);
    for (int i = 0; i < 3; ++i) call(u, &Ravo3RC::parse41_41, analog(3));
    ASSERT_EQ(u.channels.size(), 3u);
    u.RoundDone();
    EXPECT_EQ(u.history_size, 177u);
    Bytes cached(81, 0);
    cached[73] = 0;
    ASSERT_TRUE(u.LoadFromCache(cached.data(), static_cast<int>(cached.size())));
    u.RoundDone();
    EXPECT_EQ(u.history_size, 81u);
    std::vector<std::size_t> sizes;
    for (const auto& s : r.rec.Snapshots()) sizes.push_back(s.bytes.size());
    EXPECT_EQ(sizes, (std::vector<std::size_t>{81, 145, 177, 81}));
    std::vector<std::size_t> stored;
    for (const auto& h : r.rec.history->All()) stored.push_back(h.bytes.size());
    EXPECT_EQ(stored, sizes);
}

TEST(RcRoundDone, ClosureOnlyEverSetsAlarmChanged) {
    const struct {
        const char* name;
        bool before;
        unsigned fault;
        bool after;
    } cases[] = {
        {"nothing changes, flag clear", false, 0, false},
        {"nothing changes, flag set stays set", true, 0, true},
        {"a point raised sets the flag", false, 1, true},
        {"a point raised, flag set", true, 1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r;
        Prepare(*r.unit, {{c.fault, Bytes(4, 0)}});
        r.unit->alarm_changed = c.before;
        r.unit->RoundDone();
        EXPECT_EQ(r.unit->alarm_changed, c.after);
        EXPECT_EQ(r.rec.Events().size(), c.fault == 1 ? 1u : 0u);
    }
}

// A closure that runs after the next cycle rewrote the buffer still stores
// its own cycle's record, and keeps the unit alive.
TEST(RcRoundDone, LateClosureStoresItsOwnCyclesRecord) {
    Rig r(true);
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    // Hold the worker so that both cycles' closures wait behind this one.
    r.rec.controller->SubmitWork([&] {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return release; });
    });
    auto& u = *r.unit;
    ASSERT_EQ(call(u, &Ravo3RC::parse41_41, analog(1)), 27);
    u.RoundDone();
    const Bytes first(u.history.get(), u.history.get() + u.history_size);
    r.clock.Advance(5);
    ASSERT_EQ(call(u, &Ravo3RC::parse41_44, alarms({{1, {1, 1, 1, 0xE2}}})), 8);
    u.RoundDone();
    const Bytes second(u.history.get(), u.history.get() + u.history_size);
    ASSERT_NE(first, second);
    std::weak_ptr<Ravo3RC> weak = r.unit;
    r.unit.reset();
    EXPECT_FALSE(weak.expired());  // the pending closures hold it
    {
        std::lock_guard<std::mutex> lock(m);
        release = true;
    }
    cv.notify_all();
    r.rec.controller->DrainWork();
    const auto stored = r.rec.history->All();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0].bytes, first);
    EXPECT_EQ(stored[1].bytes, second);
    const auto batches = r.rec.Batches();
    ASSERT_EQ(batches.size(), 2u);
    EXPECT_EQ(batches[0].rules.size(), 1u);  // no alarm answer yet: no model points
    EXPECT_EQ(batches[1].rules.size(), 5u);
    EXPECT_EQ(Find(batches[1].rules, "RC_0", Module(1) + "整流模块故障告警")->active, 1);
    EXPECT_TRUE(weak.expired());
}

// End of a poll cycle of the DC unit: snapshot, history, alarm points, closure.
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <vector>

#include "dc/Ravo3DC.h"
#include "tests/support/Fixture.h"

using testing_support::ByteBuilder;
using testing_support::Bytes;
using testing_support::FakeClock;
using testing_support::Recorder;

namespace {

constexpr unsigned kId = 258;

using Parent = testing_support::ParentDevice;

// One expected alarm point.
struct Point {
    std::string key, code, name, detail;
    int level;
    bool active;
    int seq;
    int state;  // -1 for a boolean point
};

Bytes Analog(float v, float i) {
    return ByteBuilder().f32(v).f32(i).u8(0).u8(0).u8(0);
}

Bytes Alarm(unsigned v_state, const Bytes& fuses, const Bytes& user) {
    return ByteBuilder()
        .u8(v_state)
        .u8(static_cast<unsigned>(fuses.size()))
        .bytes(fuses)
        .u8(static_cast<unsigned>(user.size()))
        .bytes(user);
}

class DcCycle : public ::testing::Test {
  protected:
    explicit DcCycle(bool async = false) : rec(async) {}
    void SetUp() override {
        parent = std::make_shared<Parent>();
        parent->Init(rec.controller, 1, Json::Value());
        unit = std::make_shared<Ravo3DC>("ravo3");
        ASSERT_TRUE(unit->InitV(parent.get(), kId, Json::Value()));
    }
    void Feed(const Bytes& analog, const Bytes& alarms) {
        if (!analog.empty()) {
            ASSERT_EQ(unit->parse42_41(analog.data(), static_cast<int>(analog.size())),
                      static_cast<int>(analog.size()));
        }
        if (!alarms.empty()) {
            ASSERT_EQ(unit->parse42_44(alarms.data(), static_cast<int>(alarms.size())),
                      static_cast<int>(alarms.size()));
        }
    }
    // The rules of the last cycle as the batch check received them.
    std::vector<rule_value> LastRules() const {
        const auto batches = rec.Batches();
        return batches.empty() ? std::vector<rule_value>() : batches.back().rules;
    }
    Bytes Record() const {
        const auto* p = reinterpret_cast<const unsigned char*>(&unit->record);
        return Bytes(p, p + sizeof unit->record);
    }

    FakeClock clock;
    Recorder rec;
    std::shared_ptr<Parent> parent;
    std::shared_ptr<Ravo3DC> unit;
};

// The points one cycle states, built from the rule tables: the voltage pair,
// the fuse points when 64 fuse states came, then the user-defined points when
// 13 user states came.
std::vector<Point> ExpectedPoints(unsigned v_state, const Bytes& fuses, const Bytes& user) {
    std::vector<Point> out;
    int seq = 1;
    for (const auto& r : dc_rules::kVoltageRules)
        out.push_back({r.key, r.code, r.name, r.detail, r.level, v_state == r.value, seq++, -1});
    if (fuses.size() == 64) {
        const auto& f = dc_rules::kFuseRule;
        for (unsigned k = 1; k <= 64; ++k)
            out.push_back({f.key, f.code, f.name, "直流" + std::to_string(k) + "电池熔丝故障告警",
                           f.level, fuses[k - 1] == f.fault, seq++, -1});
    }
    if (user.size() == 13) {
        const auto& names = ravo3_dc::voltage_state_names();
        for (unsigned k = 0; k < 13; ++k) {
            const auto& r = ravo3_dc::kUserRules[k];
            if (r.state_map) {
                auto it = names.find(user[k]);
                const std::string text =
                    it != names.end() ? it->second : "状态" + std::to_string(unsigned(user[k]));
                out.push_back({r.key, r.code, std::string(r.name) + "(" + text + ")", r.detail, 2,
                               user[k] != 0, seq++, user[k]});
            } else {
                out.push_back({r.key, r.code, r.name, r.detail, 2, user[k] == r.value, seq++, -1});
            }
        }
    }
    return out;
}

void ExpectPoints(const std::vector<rule_value>& got, const std::vector<Point>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t k = 0; k < want.size(); ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(got[k].key, want[k].key);
        EXPECT_EQ(got[k].code, want[k].code);
        EXPECT_EQ(got[k].name, want[k].name);
        EXPECT_EQ(got[k].detail, want[k].detail);
        EXPECT_EQ(got[k].level, want[k].level);
        EXPECT_EQ(got[k].active, want[k].active ? 1 : 0);
        EXPECT_EQ(got[k].seq, want[k].seq);
        EXPECT_EQ(got[k].state, want[k].state);
    }
}

// The numbering and presence of the tables follow the two counts exactly.
TEST_F(DcCycle, PointsForEachCountCombination) {
    struct Case {
        unsigned fuses, user;
        std::size_t points;
    };
    const std::vector<Case> cases = {{64, 13, 79}, {63, 13, 15}, {64, 12, 66}, {63, 12, 2},
                                     {65, 14, 2},  {0, 0, 2},    {13, 64, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.fuses) + "/" + std::to_string(c.user));
        SetUp();
        const Bytes fuses(c.fuses, 0), user(c.user, 0);
        Feed({}, Alarm(0, fuses, user));
        unit->RoundDone();
        const auto got = LastRules();
        EXPECT_EQ(got.size(), c.points);
        ExpectPoints(
            got, ExpectedPoints(0, c.fuses == 64 ? fuses : Bytes(), c.user == 13 ? user : Bytes()));
    }
}

// A few rows spelled out, so a slip in the tables themselves shows.
TEST_F(DcCycle, TableRowsAsOperatorsSeeThem) {
    Bytes fuses(64, 0), user(13, 0);
    fuses[4] = 3;
    user[6] = 0xE3;
    Feed({}, Alarm(1, fuses, user));
    unit->RoundDone();
    const auto r = LastRules();
    ASSERT_EQ(r.size(), 79u);
    EXPECT_EQ(r[0].key, "DC_0");
    EXPECT_EQ(r[0].code, "06008");
    EXPECT_EQ(r[0].name, "输出电压过低告警");
    EXPECT_EQ(r[0].level, 3);
    EXPECT_EQ(r[0].active, 1);
    EXPECT_EQ(r[1].key, "DC_1");
    EXPECT_EQ(r[1].code, "06009");
    EXPECT_EQ(r[1].detail, "输出电压过高告警");
    EXPECT_EQ(r[1].active, 0);
    EXPECT_EQ(r[6].key, "DC_3");
    EXPECT_EQ(r[6].code, "06001");
    EXPECT_EQ(r[6].name, "电池熔丝故障告警");
    EXPECT_EQ(r[6].detail, "直流5电池熔丝故障告警");
    EXPECT_EQ(r[6].level, 1);
    EXPECT_EQ(r[6].seq, 7);
    EXPECT_EQ(r[6].active, 1);
    EXPECT_EQ(r[65].detail, "直流64电池熔丝故障告警");
    EXPECT_EQ(r[66].key, "RAVO3_DC_0");
    EXPECT_EQ(r[66].seq, 67);
    EXPECT_EQ(r[66].code, "06007");
    EXPECT_EQ(r[66].detail, "负载熔丝1故障告警");
    EXPECT_EQ(r[72].key, "RAVO3_DC_6");
    EXPECT_EQ(r[72].code, "06080");
    EXPECT_EQ(r[72].name, "二级低压脱离告警");
    EXPECT_EQ(r[72].detail, "第二级低压脱离开关动作，其后的负载被断电");
    EXPECT_EQ(r[72].level, 2);
    EXPECT_EQ(r[72].active, 1);
    EXPECT_EQ(r[76].key, "RAVO3_DC_10");
    EXPECT_EQ(r[76].code, "06011");
    EXPECT_EQ(r[76].detail, "直流屏通讯中断告警状态");
    EXPECT_EQ(r[78].key, "RAVO3_DC_12");
    EXPECT_EQ(r[78].name, "电池组2电压异常(正常)");
    EXPECT_EQ(r[78].detail, "其他告警");
    EXPECT_EQ(r[78].seq, 79);
    EXPECT_EQ(ravo3_dc::voltage_state_names(),
              (std::map<unsigned char, std::string>{{0, "正常"}, {1, "欠压"}, {2, "过压"}}));
}

TEST_F(DcCycle, WithoutFuseTableUserRulesStartAtThree) {
    Feed({}, Alarm(0, Bytes(63, 3), Bytes(13, 0)));
    unit->RoundDone();
    const auto r = LastRules();
    ASSERT_EQ(r.size(), 15u);
    EXPECT_EQ(r[2].key, "RAVO3_DC_0");
    EXPECT_EQ(r[2].seq, 3);
}

// Each state value that raises a point, and its neighbours that must not.
TEST_F(DcCycle, StateValuesAndTheirNeighbours) {
    struct Probe {
        std::string what;
        unsigned v_state;
        Bytes fuses, user;
    };
    std::vector<Probe> probes;
    for (unsigned vs : {0u, 1u, 2u, 3u, 0xFFu})
        probes.push_back({"v_state " + std::to_string(vs), vs, Bytes(64, 0), Bytes(13, 0)});
    for (unsigned s : {2u, 3u, 4u, 0xFFu}) {
        Bytes fuses(64, 0);
        fuses[4] = static_cast<unsigned char>(s);
        fuses[63] = static_cast<unsigned char>(s);
        probes.push_back({"fuse state " + std::to_string(s), 0, fuses, Bytes(13, 0)});
    }
    for (unsigned k = 0; k < 13; ++k) {
        const auto& rule = ravo3_dc::kUserRules[k];
        const std::vector<unsigned> values =
            rule.state_map ? std::vector<unsigned>{0, 1, 2, 3, 5}
                           : std::vector<unsigned>{rule.value - 1u, rule.value, rule.value + 1u};
        for (unsigned s : values) {
            Bytes user(13, 0);
            user[k] = static_cast<unsigned char>(s);
            probes.push_back(
                {std::string(rule.key) + " = " + std::to_string(s), 0, Bytes(64, 0), user});
        }
    }
    // Slot 6 carrying the value of another row's condition stays quiet.
    Bytes user6(13, 0);
    user6[6] = 3;
    probes.push_back({"RAVO3_DC_6 = 3", 0, Bytes(64, 0), user6});

    for (const auto& p : probes) {
        SCOPED_TRACE(p.what);
        SetUp();
        Feed({}, Alarm(p.v_state, p.fuses, p.user));
        unit->RoundDone();
        ExpectPoints(LastRules(), ExpectedPoints(p.v_state, p.fuses, p.user));
    }
}

TEST_F(DcCycle, SnapshotAndHistoryCarryTheRecord) {
    Feed(Analog(53.5f, 120.0f), Alarm(2, Bytes(64, 1), Bytes(13, 0)));
    unit->RoundDone();
    clock.Advance(5);
    unit->RoundDone();

    const auto snaps = rec.Snapshots();
    const auto hist = rec.history->All();
    ASSERT_EQ(snaps.size(), 2u);
    ASSERT_EQ(hist.size(), 2u);
    ASSERT_EQ(rec.Batches().size(), 2u);
    const Bytes stamps[2] = {{0xEA, 0x07, 12, 8, 10, 0, 0}, {0xEA, 0x07, 12, 8, 10, 0, 5}};
    for (int c = 0; c < 2; ++c) {
        SCOPED_TRACE(c);
        EXPECT_EQ(snaps[c].unit_type, 5161);
        EXPECT_EQ(snaps[c].data_id, kId);
        EXPECT_EQ(snaps[c].device_type, "ravo3-dc");
        EXPECT_FALSE(snaps[c].flag);
        ASSERT_EQ(snaps[c].bytes.size(), 142u);
        EXPECT_EQ(Bytes(snaps[c].bytes.begin(), snaps[c].bytes.begin() + 4),
                  (Bytes{0x02, 0x01, 0x00, 0x00}));
        EXPECT_EQ(Bytes(snaps[c].bytes.begin() + 135, snaps[c].bytes.end()), stamps[c]);
        EXPECT_EQ(testing_support::f32_at(&snaps[c].bytes[4]), 53.5f);
        EXPECT_EQ(snaps[c].bytes[55], 2);
        EXPECT_EQ(hist[c].bytes, snaps[c].bytes);
        EXPECT_EQ(hist[c].data_id, kId);
        EXPECT_EQ(hist[c].unit_type, 5161);
    }
    EXPECT_EQ(snaps[1].bytes, Record());
    EXPECT_EQ(unit->alarm_seq, 80);  // one past the last point of the cycle
}

TEST_F(DcCycle, ACycleWithoutAnswersStillPublishes) {
    unit->RoundDone();
    ASSERT_EQ(rec.Snapshots().size(), 1u);
    Bytes want(142, 0);
    want[0] = 0x02;
    want[1] = 0x01;
    const Bytes stamp = {0xEA, 0x07, 12, 8, 10, 0, 0};
    std::copy(stamp.begin(), stamp.end(), want.begin() + 135);
    EXPECT_EQ(rec.Snapshots()[0].bytes, want);
    ExpectPoints(LastRules(), ExpectedPoints(0, {}, {}));
}

TEST_F(DcCycle, FirstCycleMakesTheUnitReady) {
    Feed(Analog(48.0f, 10.0f), {});
    EXPECT_THROW(
        try { unit->Get_Value(kId, "v"); } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), "数据未就绪");
            throw;
        },
        std::out_of_range);
    unit->RoundDone();
    EXPECT_EQ(unit->ready, 1);
    EXPECT_EQ(unit->last_update, clock.Now());
    EXPECT_EQ(unit->Get_Value(kId, "v"), 48.0f);
    EXPECT_EQ(unit->last_v, 48.0f);
    EXPECT_EQ(unit->last_i, 10.0f);
}

TEST_F(DcCycle, RuleListMovesOutAndRoomIsKept) {
    Feed({}, Alarm(0, Bytes(64, 0), Bytes(13, 0)));
    unit->RoundDone();
    EXPECT_TRUE(unit->pending_rules.empty());
    EXPECT_GE(unit->pending_rules.capacity(), 79u);
    EXPECT_EQ(LastRules().size(), 79u);
}

TEST_F(DcCycle, ClosureOrsBatchResultIntoAlarmChanged) {
    struct Step {
        unsigned v_state;
        bool changed;  // alarm_changed after the cycle
        std::size_t events;
    };
    // Nothing raised; raised; standing (batch says no change, the flag stays);
    // cleared.
    const std::vector<Step> steps = {{0, false, 0}, {1, true, 1}, {1, true, 1}, {0, true, 2}};
    for (const auto& s : steps) {
        Feed({}, Alarm(s.v_state, {}, {}));
        unit->RoundDone();
        EXPECT_EQ(unit->alarm_changed, s.changed) << s.v_state;
        EXPECT_EQ(rec.Events().size(), s.events);
    }
}

TEST_F(DcCycle, UnitNotOwnedBySharedPointerKeepsItsRules) {
    Ravo3DC loose;
    ASSERT_TRUE(loose.InitV(parent.get(), 7, Json::Value()));
    EXPECT_THROW(loose.RoundDone(), std::bad_weak_ptr);
    EXPECT_EQ(loose.pending_rules.size(), 2u);
    EXPECT_TRUE(rec.Batches().empty());
}

// Whether the cycle's values moved noticeably, as the snapshot reports it.
TEST_F(DcCycle, ChangeIndication) {
    Json::Value cfg;
    cfg["appSetting"]["diff_v"] = "0.5";
    cfg["appSetting"]["diff_i"] = 20;
    ASSERT_TRUE(unit->InitV(parent.get(), kId, cfg));
    struct Step {
        float v, i;
        bool changed;
    };
    const std::vector<Step> steps = {
        {48.0f, 100.0f, true},    // the cycle that makes the unit ready
        {48.0f, 100.0f, false},   // nothing moved
        {48.25f, 119.0f, false},  // both under their thresholds
        {48.75f, 119.0f, true},   // v moved by exactly diff_v
        {48.75f, 139.0f, true},   // i moved by exactly diff_i
        {48.5f, 130.0f, false},   // back by less than either
        {47.0f, 130.0f, true},    // a drop counts too
    };
    for (std::size_t k = 0; k < steps.size(); ++k) {
        SCOPED_TRACE(k);
        Feed(Analog(steps[k].v, steps[k].i), {});
        unit->RoundDone();
        EXPECT_EQ(unit->notable_change.load(), steps[k].changed);
        EXPECT_EQ(rec.Snapshots().back().changed, steps[k].changed);
    }
    EXPECT_EQ(rec.history->All().size(), steps.size());  // stored every cycle regardless
}

// A closure that runs late, on the worker thread, stores the record of its own
// cycle and keeps the unit alive until it has run.
class DcCycleLateWork : public DcCycle {
  protected:
    DcCycleLateWork() : DcCycle(true) {}
};

TEST_F(DcCycleLateWork, ClosureStoresItsOwnCycleAndKeepsTheUnit) {
    std::promise<void> gate;
    std::shared_future<void> open = gate.get_future().share();
    rec.controller->SubmitWork([open] { open.wait(); });

    Feed(Analog(48.0f, 10.0f), Alarm(1, {}, {}));
    unit->RoundDone();
    const Bytes first = Record();
    Feed(Analog(60.0f, 99.0f), Alarm(2, {}, {}));  // the next cycle's answers arrive
    std::weak_ptr<Ravo3DC> weak = unit;
    unit.reset();
    EXPECT_FALSE(weak.expired());  // the pending closure holds it

    gate.set_value();
    rec.controller->DrainWork();
    const auto hist = rec.history->All();
    ASSERT_EQ(hist.size(), 1u);
    EXPECT_EQ(hist[0].bytes, first);
    EXPECT_EQ(testing_support::f32_at(&hist[0].bytes[4]), 48.0f);
    ASSERT_EQ(rec.Batches().size(), 1u);
    EXPECT_EQ(rec.Batches()[0].rules[0].active, 1);  // DC_0 of the first cycle
    EXPECT_TRUE(weak.expired());
}

}  // namespace

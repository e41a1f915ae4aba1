// Cycle end of the AC unit: history record, snapshot, alarm points, closure.
#include <gtest/gtest.h>
#include <json/value.h>

#include <future>
#include <memory>
#include <string>
#include <vector>

#include "ac/Ravo3AC.h"
#include "tests/support/Fixture.h"

using namespace testing_support;
using ac_alarm::Source;

namespace {

using Parent = testing_support::ParentDevice;

constexpr unsigned kId = 258;

struct Rig {
    FakeClock clock;
    Recorder rec;
    std::shared_ptr<Parent> parent = std::make_shared<Parent>();
    std::shared_ptr<Ravo3AC> unit = std::make_shared<Ravo3AC>();
    explicit Rig(bool async = false, const Json::Value& cfg = Json::Value(Json::objectValue))
        : rec(async) {
        parent->Init(rec.controller, 1, Json::Value());
        unit->InitV(parent.get(), kId, cfg);
    }
    // Fixes the channel count through an analog answer.
    void Channels(unsigned m) {
        ByteBuilder b;
        b.u8(m);
        for (unsigned i = 0; i < m; ++i) b.f32(220).f32(221).f32(222).f32(50).u8(0);
        b.f32(1).f32(2).f32(3);
        testing::internal::CaptureStdout();
        const int got = unit->parse40_41(b.build().data(), static_cast<int>(b.size()));
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(got, static_cast<int>(b.size()));
    }
    std::vector<rule_value> LastRules() const {
        const auto batches = rec.Batches();
        return batches.empty() ? std::vector<rule_value>() : batches.back().rules;
    }
};

Bytes Slice(const Bytes& b, std::size_t at, std::size_t n) {
    return Bytes(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n));
}

template <typename T>
Bytes BytesOf(const T& v) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(&v);
    return Bytes(p, p + sizeof(T));
}

std::uint8_t& StateField(Ravo3AC& u, Source s, std::size_t channel) {
    switch (s) {
        case Source::a_state:
            return u.channels[channel].a_state;
        case Source::b_state:
            return u.channels[channel].b_state;
        case Source::c_state:
            return u.channels[channel].c_state;
        case Source::f_state:
            return u.channels[channel].f_state;
        case Source::ia_alert:
            return u.ac.ia_alert;
        case Source::ib_alert:
            return u.ac.ib_alert;
        case Source::ic_alert:
            return u.ac.ic_alert;
    }
    throw std::logic_error("source");
}

// The points a cycle must register for `m` channels, in order, built from the
// same table the unit walks; `active(row, channel)` says which hold
// (channel -1 for the current points).
std::vector<rule_value> Expected(std::size_t m,
                                 const std::function<bool(const ac_alarm::Rule&, int)>& active) {
    std::vector<rule_value> out;
    int seq = 1;
    auto add = [&](const ac_alarm::Rule& row, int channel) {
        rule_value r;
        r.key = row.key;
        r.code = row.code;
        r.name = row.name;
        r.level = row.level;
        r.detail = channel >= 0 ? "交流屏" + std::to_string(channel + 1) + row.detail : row.detail;
        r.active = active(row, channel) ? 1 : 0;
        r.seq = seq++;
        out.push_back(r);
    };
    for (std::size_t ch = 0; ch < m; ++ch) {
        for (const auto& row : ac_alarm::kRules) {
            if (ac_alarm::per_channel(row.source)) add(row, static_cast<int>(ch));
        }
    }
    for (const auto& row : ac_alarm::kRules) {
        if (!ac_alarm::per_channel(row.source)) add(row, -1);
    }
    return out;
}

void ExpectRules(const std::vector<rule_value>& got, const std::vector<rule_value>& want,
                 const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].key, want[i].key) << what << " #" << i;
        EXPECT_EQ(got[i].code, want[i].code) << what << " #" << i;
        EXPECT_EQ(got[i].name, want[i].name) << what << " #" << i;
        EXPECT_EQ(got[i].detail, want[i].detail) << what << " #" << i;
        EXPECT_EQ(got[i].level, want[i].level) << what << " #" << i;
        EXPECT_EQ(got[i].active, want[i].active) << what << " #" << i << " " << got[i].key;
        EXPECT_EQ(got[i].seq, want[i].seq) << what << " #" << i;
        EXPECT_EQ(got[i].state, -1) << what << " #" << i;
    }
}

std::vector<std::string> ActiveKeys(const std::vector<rule_value>& rules) {
    std::vector<std::string> out;
    for (const auto& r : rules) {
        if (r.active) out.push_back(r.key + "@" + r.detail);
    }
    return out;
}

}  // namespace

// Operators and downstream alarm rules match on these texts.
TEST(AcRules, TableHoldsTheAlarmTexts) {
    struct Row {
        const char* key;
        int level;
        const char* code;
        const char* name;
        const char* detail;
        Source source;
        int value;
    };
    const Row rows[] = {
        {"AC_0", 3, "06015", "交流输入电压过低告警", "输入线/相电压AB/A", Source::a_state, 1},
        {"AC_1", 3, "06015", "交流输入电压过低告警", "输入线/相电压BC/B", Source::b_state, 1},
        {"AC_2", 3, "06015", "交流输入电压过低告警", "输入线/相电压CA/C", Source::c_state, 1},
        {"AC_3", 3, "06019", "交流输入频率过低告警", "频率", Source::f_state, 1},
        {"AC_4", 2, "06014", "交流输入电压过高告警", "输入线/相电压AB/A", Source::a_state, 2},
        {"AC_5", 2, "06014", "交流输入电压过高告警", "输入线/相电压BC/B", Source::b_state, 2},
        {"AC_6", 2, "06014", "交流输入电压过高告警", "输入线/相电压CA/C", Source::c_state, 2},
        {"AC_7", 2, "06018", "交流输入频率过高告警", "频率", Source::f_state, 2},
        {"AC_8", 2, "06017", "交流输入缺相告警", "输入线/相电压AB/A", Source::a_state, 3},
        {"AC_9", 2, "06017", "交流输入缺相告警", "输入线/相电压BC/B", Source::b_state, 3},
        {"AC_10", 2, "06017", "交流输入缺相告警", "输入线/相电压CA/C", Source::c_state, 3},
        {"AC_12", 3, "06029", "A相输入电流低于下限", "其他告警", Source::ia_alert, 1},
        {"AC_13", 3, "06029", "B相输入电流低于下限", "其他告警", Source::ib_alert, 1},
        {"AC_14", 3, "06029", "C相输入电流低于下限", "其他告警", Source::ic_alert, 1},
        {"AC_15", 3, "06029", "A相输入电流高于上限", "其他告警", Source::ia_alert, 2},
        {"AC_16", 3, "06029", "B相输入电流高于上限", "其他告警", Source::ib_alert, 2},
        {"AC_17", 3, "06029", "C相输入电流高于上限", "其他告警", Source::ic_alert, 2},
        {"AC_18", 3, "06029", "A相输入电流缺项", "其他告警", Source::ia_alert, 3},
        {"AC_19", 3, "06029", "B相输入电流缺项", "其他告警", Source::ib_alert, 3},
        {"AC_20", 3, "06029", "C相输入电流缺项", "其他告警", Source::ic_alert, 3},
    };
    ASSERT_EQ(std::size(ac_alarm::kRules), std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const auto& t = ac_alarm::kRules[i];
        EXPECT_STREQ(t.key, rows[i].key);
        EXPECT_EQ(t.level, rows[i].level) << rows[i].key;
        EXPECT_STREQ(t.code, rows[i].code) << rows[i].key;
        EXPECT_STREQ(t.name, rows[i].name) << rows[i].key;
        EXPECT_STREQ(t.detail, rows[i].detail) << rows[i].key;
        EXPECT_EQ(t.source, rows[i].source) << rows[i].key;
        EXPECT_EQ(t.value, rows[i].value) << rows[i].key;
    }
}

TEST(AcRules, PointsForNoneOneAndTwoChannels) {
    for (unsigned m : {0u, 1u, 2u}) {
        Rig rig;
        if (m > 0) rig.Channels(m);
        rig.unit->RoundDone();
        const auto rules = rig.LastRules();
        ExpectRules(rules, Expected(m, [](const ac_alarm::Rule&, int) { return false; }),
                    "m=" + std::to_string(m));
        ASSERT_EQ(rules.size(), 11 * m + 9);
        // The numbering that operators see.
        EXPECT_EQ(rules[11 * m].key, "AC_12");
        EXPECT_EQ(rules[11 * m].seq, static_cast<int>(11 * m + 1));
        EXPECT_EQ(rules.back().key, "AC_20");
        EXPECT_EQ(rules.back().seq, static_cast<int>(11 * m + 9));
        if (m == 2) {
            EXPECT_EQ(rules[3].detail, "交流屏1频率");
            EXPECT_EQ(rules[11].detail, "交流屏2输入线/相电压AB/A");
            EXPECT_EQ(rules[11].seq, 12);
            EXPECT_EQ(rules[21].key, "AC_10");
            EXPECT_EQ(rules[21].detail, "交流屏2输入线/相电压CA/C");
            EXPECT_EQ(rules[21].seq, 22);
        }
        // The sequence restarts in the next cycle.
        rig.unit->RoundDone();
        EXPECT_EQ(rig.LastRules().front().seq, 1);
    }
}

TEST(AcRules, EachStateRaisesOnlyItsPoint) {
    const Source sources[] = {Source::a_state,  Source::b_state,  Source::c_state, Source::f_state,
                              Source::ia_alert, Source::ib_alert, Source::ic_alert};
    for (Source s : sources) {
        for (unsigned v : {0u, 1u, 2u, 3u, 4u, 255u}) {
            Rig rig;
            rig.Channels(2);
            StateField(*rig.unit, s, 1) = static_cast<std::uint8_t>(v);
            rig.unit->RoundDone();
            const int on_channel = ac_alarm::per_channel(s) ? 1 : -1;
            ExpectRules(
                rig.LastRules(),
                Expected(2,
                         [&](const ac_alarm::Rule& row, int channel) {
                             return row.source == s && row.value == v && channel == on_channel;
                         }),
                "source " + std::to_string(static_cast<int>(s)) + " value " + std::to_string(v));
        }
    }
}

TEST(AcRules, NamedStateExamples) {
    struct Case {
        Source source;
        unsigned value;
        std::vector<std::string> active;
    };
    const std::vector<Case> cases = {
        {Source::c_state, 2, {"AC_6@交流屏1输入线/相电压CA/C"}},
        {Source::b_state, 3, {"AC_9@交流屏1输入线/相电压BC/B"}},
        {Source::f_state, 3, {}},
        {Source::f_state, 2, {"AC_7@交流屏1频率"}},
        {Source::a_state, 1, {"AC_0@交流屏1输入线/相电压AB/A"}},
        {Source::ia_alert, 3, {"AC_18@其他告警"}},
        {Source::ic_alert, 1, {"AC_14@其他告警"}},
        {Source::ib_alert, 2, {"AC_16@其他告警"}},
    };
    for (const Case& c : cases) {
        Rig rig;
        rig.Channels(1);
        StateField(*rig.unit, c.source, 0) = static_cast<std::uint8_t>(c.value);
        rig.unit->RoundDone();
        EXPECT_EQ(ActiveKeys(rig.LastRules()), c.active) << c.value;
    }
}

TEST(AcCycle, HistoryRecordAndSnapshot) {
    Rig rig;
    rig.Channels(2);
    rig.unit->channels[1].c_state = 2;
    rig.unit->ac.airlock_count = 3;
    rig.clock.Advance(5);  // 2026-12-08 10:00:05
    rig.unit->RoundDone();
    EXPECT_EQ(rig.unit->ready, 1);
    EXPECT_EQ(rig.unit->last_update, rig.clock.Now());
    ASSERT_EQ(rig.unit->history_size, 100u);
    const Bytes history(rig.unit->history.get(), rig.unit->history.get() + 100);
    EXPECT_EQ(Slice(history, 0, 4), Bytes({0x02, 0x01, 0x00, 0x00}));
    EXPECT_EQ(hex_string(Slice(history, 33, 7)), "EA070C080A0005");
    EXPECT_EQ(Slice(history, 0, 40), BytesOf(rig.unit->ac));
    EXPECT_EQ(Slice(history, 70, 30), BytesOf(rig.unit->channels[1]));
    EXPECT_EQ(history[70 + 19], 2);

    const auto snaps = rig.rec.Snapshots();
    ASSERT_EQ(snaps.size(), 1u);
    EXPECT_EQ(snaps[0].unit_type, 5159);
    EXPECT_FALSE(snaps[0].flag);
    EXPECT_EQ(+snaps[0].data_id, kId);
    EXPECT_EQ(snaps[0].device_type, "ravo3-ac");
    EXPECT_EQ(snaps[0].bytes, history);

    const auto stored = rig.rec.history->All();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].bytes, history);
    EXPECT_EQ(+stored[0].data_id, kId);
    EXPECT_EQ(stored[0].device_type, "ravo3-ac");

    // The next cycle carries its own time stamp.
    rig.clock.Advance(60);
    rig.unit->RoundDone();
    EXPECT_EQ(hex_string(Slice(rig.rec.history->All().back().bytes, 33, 7)), "EA070C080A0105");
}

TEST(AcCycle, NoChannelsStill40BytesAndClosure) {
    Rig rig;
    rig.unit->RoundDone();
    EXPECT_EQ(rig.unit->history_size, 40u);
    ASSERT_EQ(rig.rec.Snapshots().size(), 1u);
    EXPECT_EQ(rig.rec.Snapshots()[0].bytes.size(), 40u);
    EXPECT_EQ(rig.rec.history->All().size(), 1u);
    EXPECT_EQ(rig.LastRules().size(), 9u);
    EXPECT_TRUE(rig.unit->pending_rules.empty());
    EXPECT_GE(rig.unit->pending_rules.capacity(), 9u);
}

TEST(AcCycle, HistoryFollowsTheChannelCount) {
    Rig rig;
    rig.unit->RoundDone();
    EXPECT_EQ(rig.rec.Snapshots().back().bytes.size(), 40u);
    rig.Channels(2);
    rig.unit->RoundDone();
    EXPECT_EQ(rig.unit->history_size, 100u);
    EXPECT_EQ(rig.rec.Snapshots().back().bytes.size(), 100u);
    // A third panel, reported three times.
    testing::internal::CaptureStdout();
    for (int i = 0; i < 3; ++i) {
        Bytes a = ByteBuilder().u8(3).build();
        for (int ch = 0; ch < 3; ++ch) {
            a.insert(a.end(),
                     {0, 0, 0x5C, 0x43, 0, 0, 0x5C, 0x43, 0, 0, 0x5C, 0x43, 0, 0, 0x48, 0x42, 0});
        }
        a.insert(a.end(), 12, 0);
        rig.unit->parse40_41(a.data(), static_cast<int>(a.size()));
    }
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(rig.unit->channels.size(), 3u);
    rig.unit->RoundDone();
    EXPECT_EQ(rig.unit->history_size, 130u);
    EXPECT_EQ(rig.rec.Snapshots().back().bytes.size(), 130u);
    EXPECT_EQ(rig.rec.history->All().back().bytes.size(), 130u);
    EXPECT_EQ(rig.LastRules().size(), 42u);
    // A reload that brings one channel.
    Bytes one(70, 0);
    one[16] = 1;
    ASSERT_TRUE(rig.unit->LoadFromCache(one.data(), 70));
    rig.unit->RoundDone();
    EXPECT_EQ(rig.unit->history_size, 70u);
    EXPECT_EQ(rig.rec.Snapshots().back().bytes.size(), 70u);
}

TEST(AcCycle, ClosureSetsAlarmChanged) {
    struct Case {
        const char* what;
        bool initially;
        std::vector<unsigned> a_states;  // one cycle each
        std::vector<bool> after;
    };
    const std::vector<Case> cases = {
        {"raised sets it", false, {1}, {true}},
        {"nothing leaves it clear", false, {0, 0}, {false, false}},
        {"already set stays set", true, {0}, {true}},
        {"raised then standing then cleared", false, {2, 2, 0}, {true, true, true}},
    };
    for (const Case& c : cases) {
        Rig rig;
        rig.Channels(1);
        rig.unit->alarm_changed = c.initially;
        for (std::size_t i = 0; i < c.a_states.size(); ++i) {
            rig.unit->channels[0].a_state = static_cast<std::uint8_t>(c.a_states[i]);
            rig.unit->RoundDone();
            EXPECT_EQ(rig.unit->alarm_changed, c.after[i]) << c.what << " cycle " << i;
        }
    }
    // A standing alarm that does not change leaves a cleared flag clear.
    Rig rig;
    rig.Channels(1);
    rig.unit->channels[0].a_state = 1;
    rig.unit->RoundDone();
    rig.unit->alarm_changed = false;
    rig.unit->RoundDone();
    EXPECT_FALSE(rig.unit->alarm_changed);
    rig.unit->channels[0].a_state = 0;
    rig.unit->RoundDone();
    EXPECT_TRUE(rig.unit->alarm_changed);
}

TEST(AcCycle, ClosureStoresItsOwnCopyAndKeepsTheUnitAlive) {
    Rig rig(true);
    rig.Channels(1);
    std::promise<void> gate;
    std::shared_future<void> open = gate.get_future().share();
    rig.rec.controller->SubmitWork([open] { open.wait(); });
    rig.unit->ac.ia = 1.0f;
    rig.unit->RoundDone();
    rig.unit->ac.ia = 2.0f;
    rig.unit->channels[0].a_state = 1;
    rig.unit->RoundDone();
    std::weak_ptr<Ravo3AC> watch = rig.unit;
    rig.unit.reset();
    EXPECT_FALSE(watch.expired()) << "the closures hold the unit";
    gate.set_value();
    rig.rec.controller->DrainWork();
    EXPECT_TRUE(watch.expired());
    const auto stored = rig.rec.history->All();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(f32_at(stored[0].bytes.data() + 4), 1.0f);
    EXPECT_EQ(f32_at(stored[1].bytes.data() + 4), 2.0f);
    const auto batches = rig.rec.Batches();
    ASSERT_EQ(batches.size(), 2u);
    EXPECT_TRUE(ActiveKeys(batches[0].rules).empty());
    EXPECT_EQ(ActiveKeys(batches[1].rules),
              std::vector<std::string>({"AC_0@交流屏1输入线/相电压AB/A"}));
}

TEST(AcCycle, ChangeIndication) {
    struct Case {
        const char* what;
        const char* diff_v;
        const char* diff_i;
        std::function<void(Ravo3AC&)> change;
        bool changed;
    };
    const std::vector<Case> cases = {
        {"nothing moved", nullptr, nullptr, [](Ravo3AC&) {}, false},
        {"ia below diff_i", nullptr, nullptr, [](Ravo3AC& u) { u.ac.ia += 19.5f; }, false},
        {"ia by diff_i", nullptr, nullptr, [](Ravo3AC& u) { u.ac.ia += 20.0f; }, true},
        {"ic down by diff_i", nullptr, nullptr, [](Ravo3AC& u) { u.ac.ic -= 20.0f; }, true},
        {"a below diff_v", "5", nullptr, [](Ravo3AC& u) { u.channels[1].a += 4.5f; }, false},
        {"a by diff_v", "5", nullptr, [](Ravo3AC& u) { u.channels[1].a += 5.0f; }, true},
        {"b by diff_v", "5", nullptr, [](Ravo3AC& u) { u.channels[0].b -= 5.0f; }, true},
        {"c by diff_v", "5", nullptr, [](Ravo3AC& u) { u.channels[1].c += 6.0f; }, true},
        {"frequency is not compared", "1", "1", [](Ravo3AC& u) { u.channels[0].f += 100.0f; },
         false},
        {"states are not compared", "1", "1",
         [](Ravo3AC& u) {
             u.channels[0].a_state = 3;
             u.ac.ia_alert = 1;
         },
         false},
        {"diff_i 2", nullptr, "2", [](Ravo3AC& u) { u.ac.ib += 2.0f; }, true},
    };
    for (const Case& c : cases) {
        Json::Value cfg(Json::objectValue);
        if (c.diff_v) cfg["appSetting"]["diff_v"] = c.diff_v;
        if (c.diff_i) cfg["appSetting"]["diff_i"] = c.diff_i;
        Rig rig(false, cfg);
        rig.Channels(2);
        rig.unit->RoundDone();
        EXPECT_TRUE(rig.rec.Snapshots().back().changed) << c.what << ": the first cycle";
        c.change(*rig.unit);
        rig.unit->RoundDone();
        EXPECT_EQ(rig.unit->notable_change.load(), c.changed) << c.what;
        EXPECT_EQ(rig.rec.Snapshots().back().changed, c.changed) << c.what;
        // Published and stored every cycle whatever the indication says.
        EXPECT_EQ(rig.rec.Snapshots().size(), 2u) << c.what;
        EXPECT_EQ(rig.rec.history->All().size(), 2u) << c.what;
    }
    // A changed channel count always counts as a change.
    Rig rig;
    rig.Channels(1);
    rig.unit->RoundDone();
    Bytes two(100, 0);
    two[16] = 2;
    ASSERT_TRUE(rig.unit->LoadFromCache(two.data(), 100));
    rig.unit->RoundDone();
    EXPECT_TRUE(rig.rec.Snapshots().back().changed);
}

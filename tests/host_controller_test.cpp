#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "host/SMDSPDevice.h"
#include "tests/support/Fixture.h"

using namespace testing_support;

namespace {

rule_value rule(const std::string& key, const std::string& detail, bool active, int state = -1) {
    rule_value r;
    r.key = key;
    r.code = "06015";
    r.name = "交流输入电压过低告警";
    r.detail = detail;
    r.level = 3;
    r.active = active;
    r.state = state;
    return r;
}

struct Unit : SMDSPDevice {
    bool LoadFromCache(const unsigned char*, int) override { return true; }
    void SetType(const std::string& t) { device_type_ = t; }
};

}  // namespace

TEST(AlarmTable, RaisesAndClearsEachPointOnceByKeyAndDetail) {
    Recorder rec;
    auto& c = *rec.controller;
    // Same key on two channels: two points.
    EXPECT_TRUE(c.EvaluateRules(1, "ravo3-ac",
                                {rule("AC_0", "交流屏1", true), rule("AC_0", "交流屏2", false)}));
    EXPECT_FALSE(c.EvaluateRules(1, "ravo3-ac",
                                 {rule("AC_0", "交流屏1", true), rule("AC_0", "交流屏2", false)}));
    EXPECT_TRUE(c.EvaluateRules(1, "ravo3-ac",
                                {rule("AC_0", "交流屏1", true), rule("AC_0", "交流屏2", true)}));
    EXPECT_EQ(c.ActiveAlarms().size(), 2u);
    // Another device with the same key and detail is a different point.
    EXPECT_TRUE(c.EvaluateRules(2, "ravo3-ac", {rule("AC_0", "交流屏1", true)}));
    EXPECT_EQ(c.ActiveAlarms().size(), 3u);
    EXPECT_TRUE(c.EvaluateRules(1, "ravo3-ac", {rule("AC_0", "交流屏1", false)}));
    EXPECT_FALSE(c.EvaluateRules(1, "ravo3-ac", {rule("AC_0", "交流屏1", false)}));
    auto events = rec.Events();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].kind, smd::AlarmEvent::Kind::Raised);
    EXPECT_EQ(events[0].alarm.detail, "交流屏1");
    EXPECT_EQ(events[3].kind, smd::AlarmEvent::Kind::Cleared);
    EXPECT_EQ(events[3].alarm.data_id, 1u);
}

TEST(AlarmTable, MultiValuedPointMovingStateIsClearedAndRaisedAgain) {
    Recorder rec;
    auto u = std::make_shared<Unit>();
    u->Init(rec.controller, 3, Json::Value());
    u->SetType("ravo3-dc");
    const std::map<unsigned char, std::string> names{{0, "正常"}, {1, "欠压"}, {2, "过压"}};
    auto cycle = [&](unsigned char state) {
        u->CheckAlertMap(state, 2, "RAVO3_DC_11", "06029", "电池组1电压异常", "其他告警", names, 1);
        auto rules = std::move(u->pending_rules);
        u->pending_rules.clear();
        return u->DoBatchCheckThreshold(rules);
    };
    EXPECT_FALSE(cycle(0));
    EXPECT_TRUE(cycle(1));
    EXPECT_FALSE(cycle(1));
    EXPECT_TRUE(cycle(2));
    EXPECT_TRUE(cycle(0));
    auto ev = rec.Events();
    ASSERT_EQ(ev.size(), 4u);
    EXPECT_EQ(ev[0].alarm.name, "电池组1电压异常(欠压)");
    EXPECT_EQ(ev[1].kind, smd::AlarmEvent::Kind::Cleared);
    EXPECT_EQ(ev[2].alarm.name, "电池组1电压异常(过压)");
    EXPECT_EQ(ev[3].kind, smd::AlarmEvent::Kind::Cleared);
    u->CheckAlertMap(5, 2, "k", "c", "n", "d", names, 1);
    EXPECT_EQ(u->pending_rules.back().name, "n(状态5)");
    EXPECT_EQ(u->pending_rules.back().state, 5);
}

TEST(ThresholdWork, RunsEachClosureOnceOnTheWorkerThreadInOrder) {
    Recorder rec(/*async=*/true);
    const auto caller = std::this_thread::get_id();
    std::vector<int> order;
    std::atomic<bool> other_thread{true};
    auto u = std::make_shared<Unit>();
    u->Init(rec.controller, 1, Json::Value());
    for (int i = 0; i < 50; ++i) {
        u->CheckThresholdWork([&, i] {
            if (std::this_thread::get_id() == caller) other_thread = false;
            order.push_back(i);
        });
    }
    rec.controller->DrainWork();
    ASSERT_EQ(order.size(), 50u);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
    EXPECT_TRUE(other_thread);
    EXPECT_EQ(rec.controller->WorkRun(), 50u);
}

TEST(ThresholdWork, ClosureKeepsItsDeviceAliveAndAThrowDoesNotStopTheWorker) {
    Recorder rec(/*async=*/true);
    std::weak_ptr<Unit> weak;
    {
        auto u = std::make_shared<Unit>();
        u->Init(rec.controller, 1, Json::Value());
        weak = u;
        auto self = u->shared_from_this();
        u->CheckThresholdWork([self] { throw std::runtime_error("boom"); });
    }
    rec.controller->DrainWork();
    EXPECT_TRUE(weak.expired()) << "released once the closure ran";
    bool ran = false;
    rec.controller->SubmitWork([&] { ran = true; });
    rec.controller->DrainWork();
    EXPECT_TRUE(ran);
    EXPECT_NE(rec.LogTexts().at(0).find("boom"), std::string::npos);
}

TEST(History, SaveDeviceHistoryCopiesBytesWithDataIdTypeAndUnitType) {
    Recorder rec;
    FakeClock clock;
    auto u = std::make_shared<Unit>();
    u->Init(rec.controller, 9, Json::Value());
    u->SetType("ravo3-dc");
    unsigned char buf[4] = {1, 2, 3, 4};
    u->SendSP(5161, buf, 4, false);
    u->SaveDeviceHistory(buf, 4);
    buf[0] = 99;
    auto all = rec.history->All();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].bytes, Bytes({1, 2, 3, 4}));
    EXPECT_EQ(all[0].data_id, 9u);
    EXPECT_EQ(all[0].device_type, "ravo3-dc");
    EXPECT_EQ(all[0].unit_type, 5161);
    EXPECT_EQ(all[0].time, clock.Now());
    auto latest = rec.history->Latest(9, "ravo3-dc");
    ASSERT_TRUE(latest.has_value());
    EXPECT_FALSE(rec.history->Latest(9, "ravo3-ac").has_value());
}

TEST(History, MemoryStoreKeepsTheNewestWithinRetention) {
    smd::MemoryHistoryStore store(3);
    for (unsigned char i = 0; i < 5; ++i) {
        smd::HistoryRecord r;
        r.data_id = 1;
        r.device_type = "t";
        r.bytes = {i};
        store.Append(r);
    }
    EXPECT_EQ(store.Count(), 3u);
    EXPECT_EQ(store.Latest(1, "t")->bytes, Bytes({4}));
    EXPECT_EQ(store.All().front().bytes, Bytes({2}));
}

// Against the plain model (append, drop the oldest beyond retention): the
// ring keeps the same records in the same order, whatever the wrap point,
// and finds each device's newest record.
TEST(History, MemoryStoreRingMatchesAppendAndDropOldest) {
    struct Case {
        std::size_t retention;
        int appends;
    };
    const Case cases[] = {{1, 3}, {2, 2}, {2, 5}, {3, 7}, {4, 9}, {5, 4}, {0, 6}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.retention << " / " << c.appends);
        smd::MemoryHistoryStore store(c.retention);
        std::vector<smd::HistoryRecord> model;
        for (int i = 0; i < c.appends; ++i) {
            smd::HistoryRecord r;
            r.data_id = static_cast<std::uint32_t>(i % 2);  // two devices, interleaved
            r.device_type = "t";
            r.bytes = {static_cast<unsigned char>(i)};
            store.Append(r);
            model.push_back(r);
            if (c.retention > 0 && model.size() > c.retention) model.erase(model.begin());
        }
        const auto all = store.All();
        ASSERT_EQ(all.size(), model.size());
        EXPECT_EQ(store.Count(), model.size());
        for (std::size_t k = 0; k < model.size(); ++k) EXPECT_EQ(all[k].bytes, model[k].bytes);
        for (std::uint32_t id : {0u, 1u}) {
            const smd::HistoryRecord* newest = nullptr;
            for (const auto& r : model) {
                if (r.data_id == id) newest = &r;
            }
            const auto latest = store.Latest(id, "t");
            ASSERT_EQ(latest.has_value(), newest != nullptr);
            if (newest) {
                EXPECT_EQ(latest->bytes, newest->bytes);
            }
        }
    }
}

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "runtime/events/Events.h"

namespace {

using Kind = smd::HostEvent::Kind;

smd::HostEvent ev(Kind kind, const std::string& device, const std::string& key = "") {
    smd::HostEvent e;
    e.kind = kind;
    e.device = device;
    e.alarm.data_id = 7;
    e.alarm.device_type = "t";
    e.alarm.key = key;
    return e;
}

// "k:device[:key]" of each queued event, oldest first.
std::vector<std::string> drain(smd::EventQueue& q) {
    std::vector<std::string> out;
    smd::HostEvent e;
    while (q.TryPop(e)) {
        std::string s = std::string(smd::event_kind_name(e.kind)) + ":" + e.device;
        if (!e.alarm.key.empty()) s += ":" + e.alarm.key;
        if (e.initial) s = "*" + s;
        out.push_back(s);
    }
    return out;
}

}  // namespace

// What a consumer that falls behind keeps, and what a late subscriber learns.
TEST(EventBus, SlowConsumersLoseOnlySupersededCyclesAndLateOnesGetTheState) {
    smd::EventBus bus(3);
    bus.Declare("a", smd::LineStatus{});
    auto early = bus.Subscribe();
    bus.Publish(ev(Kind::Cycle, "a"));
    bus.Publish(ev(Kind::AlarmRaised, "a", "k1"));
    bus.Publish(ev(Kind::Cycle, "b"));
    bus.Publish(ev(Kind::Cycle, "a"));               // full: the oldest cycle goes
    bus.Publish(ev(Kind::AlarmRaised, "b", "k2"));   // full: the newest cycle goes too
    bus.Publish(ev(Kind::AlarmCleared, "a", "k1"));  // no cycle left: kept past the bound
    EXPECT_EQ(drain(*early), (std::vector<std::string>{"*line:a", "alarm_raised:a:k1",
                                                       "alarm_raised:b:k2", "alarm_cleared:a:k1"}));
    EXPECT_EQ(early->Dropped(), 3u);

    auto late = bus.Subscribe();
    EXPECT_EQ(drain(*late), (std::vector<std::string>{"*cycle:a", "*line:a", "*cycle:b", "*line:b",
                                                      "*alarm_raised:b:k2"}));
    EXPECT_EQ(bus.State().seq, 6u);
    bus.Unsubscribe(late);
    bus.Publish(ev(Kind::Cycle, "a"));
    EXPECT_TRUE(drain(*late).empty());
}

// A line that died after its last cycle: whoever subscribes now is told so by
// the cycle it is primed with as well as by the line event after it.
TEST(EventBus, APrimedCycleCarriesTheLineAsItIsNow) {
    smd::EventBus bus;
    smd::HostEvent cycle = ev(Kind::Cycle, "a");
    cycle.line.state = smd::LineState::Answering;
    bus.Publish(cycle);
    smd::HostEvent dead = ev(Kind::Line, "a");
    dead.line.state = smd::LineState::NotAnswering;
    dead.line.comm_lost = true;
    bus.Publish(dead);
    auto q = bus.Subscribe();
    std::vector<std::pair<Kind, smd::LineState>> seen;
    smd::HostEvent e;
    while (q->TryPop(e)) seen.emplace_back(e.kind, e.line.state);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], std::make_pair(Kind::Cycle, smd::LineState::NotAnswering));
    EXPECT_EQ(seen[1], std::make_pair(Kind::Line, smd::LineState::NotAnswering));
}

TEST(EventBus, ConsumerThreadSeesEveryEventInOrderAndStops) {
    struct Recorder : smd::EventConsumer {
        std::mutex m;
        std::vector<std::uint64_t> seqs;
        void OnEvent(const smd::HostEvent& e) override {
            std::lock_guard<std::mutex> l(m);
            seqs.push_back(e.seq);
        }
    };
    smd::EventBus bus;
    auto rec = std::make_shared<Recorder>();
    {
        smd::ConsumerThread t(bus, rec);
        for (int i = 0; i < 100; ++i) bus.Publish(ev(Kind::AlarmRaised, "a", std::to_string(i)));
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (t.Queue()->Size() > 0 && std::chrono::steady_clock::now() < until) {
            std::this_thread::yield();
        }
        t.Stop();
    }
    std::lock_guard<std::mutex> l(rec->m);
    ASSERT_FALSE(rec->seqs.empty());
    for (std::size_t i = 0; i < rec->seqs.size(); ++i) EXPECT_EQ(rec->seqs[i], i + 1);
}

TEST(Iso8601, CarriesTheOffset) {
    setenv("TZ", "Asia/Shanghai", 1);
    tzset();
    EXPECT_EQ(smd::iso8601(boost::posix_time::ptime(boost::gregorian::date(2026, 12, 8),
                                                    boost::posix_time::time_duration(6, 5, 9))),
              "2026-12-08T06:05:09+08:00");
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(smd::iso8601(boost::posix_time::ptime(boost::gregorian::date(2026, 1, 2),
                                                    boost::posix_time::time_duration(23, 0, 0))),
              "2026-01-02T23:00:00+00:00");
    EXPECT_EQ(smd::iso8601(boost::posix_time::ptime()), "");
    unsetenv("TZ");
    tzset();
}

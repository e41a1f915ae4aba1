// The host against the simulator on a pty, with the line's faults injected:
// late and repeated answers, a unit that falls silent and comes back, a
// second host on the same port. Time runs ten times faster than the wall
// clock through the clock seams, so time-outs and the communication-lost
// delay pass quickly; the test waits on the host's events, never on time.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/site/Host.h"
#include "sim/Scenario.h"
#include "sim/Server.h"
#include "tests/runtime_fixture.h"

namespace {

class FastClock {
  public:
    FastClock() {
        smd::set_steady_clock([this] { return Now(); });
        smd::set_local_clock([this] { return start_ + boost::posix_time::seconds(Now() / 1000); });
        smd::set_pause([](unsigned int) {});
    }
    ~FastClock() {
        smd::set_steady_clock(nullptr);
        smd::set_local_clock(nullptr);
        smd::set_pause(nullptr);
    }
    std::int64_t Now() const {
        const auto real = std::chrono::steady_clock::now() - origin_;
        return 1000000 + 10 * std::chrono::duration_cast<std::chrono::milliseconds>(real).count();
    }

  private:
    const std::chrono::steady_clock::time_point origin_ = std::chrono::steady_clock::now();
    const boost::posix_time::ptime start_ =
        boost::posix_time::time_from_string("2026-12-08 10:00:00");
};

// One AC unit whose phase A stands in alarm, two modules, one DC unit.
std::string scenario(const std::string& faults, const std::string& events = "[]") {
    return R"({"ac": {"units": [{"channels": [{"a": 230.5, "b": 231.5, "c": 229.5, "f": 50.0,
                                               "states": [1, 0, 0, 0]}],
                                 "ia": 12.5, "ib": 11.5, "ic": 13.5}]},
               "rectifier": {"group": 53.5, "modules": [{"value": 16.0}, {"value": 17.0}]},
               "dc": {"units": [{"v": 53.25, "i": 48.5}]},
               "faults": )" +
           faults + R"(, "events": )" + events + "}";
}

std::string site(const std::string& port, const std::string& lock_dir) {
    return R"({"poll_period_ms": 5, "comm_lost_s": 10, "lock_dir": ")" + lock_dir +
           R"(", "devices": [{"name": "room1", "port": ")" + port + R"(", "driver": ")" +
           RAVO3_PLUGIN_PATH + R"(", "data_id": 100, "acSetting": [{"data_id": 101}],
              "dcSetting": [{"data_id": 102}], "rcSetting": {}}]})";
}

struct Outcome {
    std::vector<smd::HostEvent> events;
    std::vector<std::string> logs;
    smd::FrameStats frames;
};

// Starts a host on `port` and collects its events until `done` holds.
class Watcher {
  public:
    Watcher(const std::string& port, const std::string& lock_dir) {
        smd::HostOptions o;
        o.log = [this](const std::string& s) {
            std::lock_guard<std::mutex> l(m_);
            run_.logs.push_back(s);
        };
        host_ = std::make_unique<smd::Host>(o);
        queue_ = host_->Events().Subscribe();
        smd::SiteConfig cfg;
        std::string error;
        EXPECT_TRUE(smd::ParseSiteConfig(site(port, lock_dir), "/", cfg, error)) << error;
        EXPECT_TRUE(host_->Start(cfg, error)) << error;
    }
    bool Until(const std::function<bool(const std::vector<smd::HostEvent>&)>& done) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!done(run_.events)) {
            smd::HostEvent e;
            if (std::chrono::steady_clock::now() > until) return false;
            if (queue_->Pop(e, std::chrono::milliseconds(200)) && !e.initial) {
                run_.events.push_back(e);
            }
        }
        return true;
    }
    Outcome Finish() {
        host_->Stop();
        if (auto s = host_->Stats("room1")) run_.frames = *s;
        std::lock_guard<std::mutex> l(m_);
        return run_;
    }
    smd::Host& host() { return *host_; }

  private:
    std::mutex m_;
    Outcome run_;
    std::unique_ptr<smd::Host> host_;
    std::shared_ptr<smd::EventQueue> queue_;
};

std::size_t cycles(const std::vector<smd::HostEvent>& ev) {
    std::size_t n = 0;
    for (const auto& e : ev) n += e.kind == smd::HostEvent::Kind::Cycle && !e.units.empty();
    return n;
}

// "raised comm_lost", "cleared DC_3 ..." in the order they came.
std::vector<std::string> alarm_events(const std::vector<smd::HostEvent>& ev) {
    std::vector<std::string> out;
    for (const auto& e : ev) {
        if (e.kind == smd::HostEvent::Kind::AlarmRaised) out.push_back("raised " + e.alarm.key);
        if (e.kind == smd::HostEvent::Kind::AlarmCleared) out.push_back("cleared " + e.alarm.key);
    }
    return out;
}

float value_of(const smd::HostEvent& e, smd::UnitKind kind, const std::string& name) {
    for (const auto& u : e.units) {
        if (u.kind != kind) continue;
        for (const auto& v : u.values) {
            if (v.name == name && v.ok) return v.value;
        }
    }
    return NAN;
}

}  // namespace

TEST(Line, LateRepeatedAndMissingAnswersRaiseNothingFalse) {
    FastClock clock;
    rt_test::TempDir locks;
    // The AC phase A alarm stands from the first cycle on.
    const std::vector<std::string> standing = {"raised AC_0"};
    struct Case {
        const char* name;
        std::string faults;
        std::string events;
        std::size_t cycles;
        std::uint64_t stale, timeouts;    // time-outs: at least that many when silent
        std::vector<std::string> alarms;  // after the standing ones
    };
    const std::vector<Case> cases = {
        {"answer later than the time-out",
         R"({"delay": {"command": "42/41", "cycles": [2],
                                               "ms": 1500}})",
         "[]",
         4,
         1,
         1,
         {}},
        {"answer sent twice",
         R"({"duplicate": {"command": "42/41", "cycles": [2]}})",
         "[]",
         4,
         1,
         0,
         {}},
        // Silent from cycle 3's DC analog query for 30 s; the values change
        // meanwhile, so a record finished across the break would mix them.
        {"unit silent for 30 s",
         R"({"silence": {"command": "42/41", "cycles": [3], "s": 30}})",
         R"([{"at_seconds": 15, "do": "set_value", "target": "ac_current", "phase": "a",
              "value": 99.0},
             {"at_seconds": 15, "do": "set_value", "target": "dc_voltage", "value": 99.0}])",
         6,
         0,
         2,
         {"raised comm_lost", "cleared comm_lost"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::ServerOptions so;
        so.clock_ms = [&clock] { return clock.Now(); };
        sim::Server unit(sim::ParseScenario(scenario(c.faults, c.events)), so);
        ASSERT_TRUE(unit.Start()) << unit.Error();
        Watcher w(unit.Path(), locks.Path());
        ASSERT_TRUE(w.Until([&](const auto& ev) { return cycles(ev) >= c.cycles; }));
        const Outcome run = w.Finish();

        std::vector<std::string> want = standing;
        want.insert(want.end(), c.alarms.begin(), c.alarms.end());
        EXPECT_EQ(alarm_events(run.events), want);
        EXPECT_EQ(run.frames.stale_answers, c.stale);
        if (c.alarms.empty()) {
            EXPECT_EQ(run.frames.timeouts, c.timeouts);
        } else {
            EXPECT_GE(run.frames.timeouts, c.timeouts);
        }
        for (const auto& l : run.logs) EXPECT_EQ(l.find("ProcotolError"), std::string::npos) << l;
        // Every cycle's values come from one side of the break.
        for (const auto& e : run.events) {
            if (e.kind != smd::HostEvent::Kind::Cycle || e.units.empty()) continue;
            const bool ac_new = value_of(e, smd::UnitKind::AC, "ia") == 99.0f;
            const bool dc_new = value_of(e, smd::UnitKind::DC, "v") == 99.0f;
            EXPECT_EQ(ac_new, dc_new) << "cycle " << e.cycle.number;
            EXPECT_EQ(value_of(e, smd::UnitKind::DC, "i"), 48.5f);
        }
        // The line said it was not answering, and answered again.
        if (!c.alarms.empty()) {
            std::vector<smd::LineState> states;
            for (const auto& e : run.events) {
                if (e.kind == smd::HostEvent::Kind::Line &&
                    (states.empty() || states.back() != e.line.state)) {
                    states.push_back(e.line.state);
                }
            }
            EXPECT_EQ(states, (std::vector<smd::LineState>{smd::LineState::Answering,
                                                           smd::LineState::NotAnswering,
                                                           smd::LineState::Answering}));
        }
    }
}

TEST(Line, ASecondHostOnThePortIsRefusedAndCountsAsNotAnswering) {
    FastClock clock;
    rt_test::TempDir locks;
    sim::ServerOptions so;
    so.clock_ms = [&clock] { return clock.Now(); };
    sim::Server unit(sim::ParseScenario(scenario("{}")), so);
    ASSERT_TRUE(unit.Start()) << unit.Error();
    Watcher first(unit.Path(), locks.Path());
    ASSERT_TRUE(first.Until([](const auto& ev) { return cycles(ev) >= 1; }));
    Watcher second(unit.Path(), locks.Path());
    ASSERT_TRUE(second.Until([](const auto& ev) {
        const auto alarms = alarm_events(ev);
        return std::find(alarms.begin(), alarms.end(), "raised comm_lost") != alarms.end();
    }));
    const smd::LineStatus line = second.host().LineOf("room1");
    EXPECT_EQ(line.state, smd::LineState::PortBusy);
    EXPECT_TRUE(line.comm_lost);
    EXPECT_EQ(line.detail, unit.Path() + ": held by another process (PID " +
                               std::to_string(::getpid()) + "), a line of this host");
    ASSERT_TRUE(first.Until([](const auto& ev) { return cycles(ev) >= 3; }));
    const Outcome run = first.Finish();
    EXPECT_EQ(alarm_events(run.events), std::vector<std::string>{"raised AC_0"});
    second.Finish();
}

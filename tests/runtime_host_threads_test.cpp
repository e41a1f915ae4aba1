#include <gtest/gtest.h>
#include <poll.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "runtime/line/SerialPort.h"
#include "runtime/site/Host.h"
#include "runtime/store/StoreReader.h"
#include "sim/Responder.h"
#include "sim/Scenario.h"
#include "tests/runtime_fixture.h"

using rt_test::SharedClock;
using rt_test::Signal;
using rt_test::TempDir;

namespace {

// Pauses of the line threads return at once.
struct QuickPause {
    QuickPause() {
        smd::set_pause([](unsigned int) {});
    }
    ~QuickPause() { smd::set_pause(nullptr); }
};

// The monitoring unit on the far end of a pty: the simulator's responder
// answering every command at once, on its own thread.
class SimPeer {
  public:
    SimPeer(int fd, const std::string& scenario)
        : fd_(fd), responder_(sim::ParseScenario(scenario)) {
        EXPECT_EQ(::pipe(stop_), 0);
        thread_ = std::thread([this] { Run(); });
    }
    ~SimPeer() {
        (void)!::write(stop_[1], "x", 1);
        thread_.join();
        ::close(stop_[0]);
        ::close(stop_[1]);
    }

  private:
    void Run() {
        unsigned char buf[512];
        for (;;) {
            pollfd p[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (::poll(p, 2, -1) <= 0) continue;
            if (p[1].revents) return;
            if (!(p[0].revents & POLLIN)) return;
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0) return;
            for (const auto& r : responder_.Feed(buf, static_cast<std::size_t>(n), 0)) {
                rt_test::write_all(fd_, r.bytes);
            }
        }
    }
    int fd_;
    sim::Responder responder_;
    int stop_[2];
    std::thread thread_;
};

// One AC unit with one channel whose phase A is in alarm, two modules, one DC unit.
std::string scenario(const std::string& events = "[]") {
    return R"({"ac": {"units": [{"channels": [{"a": 230.5, "b": 231.5, "c": 229.5, "f": 50.0,
                                               "states": [1, 0, 0, 0]}],
                                 "ia": 12.5, "ib": 11.5, "ic": 13.5}]},
               "rectifier": {"group": 53.5, "modules": [{"value": 16.0}, {"value": 17.0}]},
               "dc": {"units": [{"v": 53.25, "i": 48.5}]},
               "events": )" +
           events + "}";
}

std::string site(const std::string& db, const std::string& port, const std::string& extra = "") {
    return R"({"history_db": ")" + db + R"(", "poll_period_ms": 5, "devices": [)" + extra +
           R"({"name": "room1", "port": ")" + port + R"(", "driver": ")" + RAVO3_PLUGIN_PATH +
           R"(", "data_id": 100, "acSetting": [{"data_id": 101}],
              "dcSetting": [{"data_id": 102}], "rcSetting": {}}]})";
}

struct Logs {
    std::mutex m;
    std::vector<std::string> lines;
    smd::HostOptions Options() {
        smd::HostOptions o;
        o.log = [this](const std::string& s) {
            std::lock_guard<std::mutex> l(m);
            lines.push_back(s);
        };
        return o;
    }
    int Count(const std::string& part) {
        std::lock_guard<std::mutex> l(m);
        int n = 0;
        for (const auto& s : lines) n += s.find(part) != std::string::npos;
        return n;
    }
};

bool start(smd::Host& host, const std::string& text) {
    smd::SiteConfig cfg;
    std::string error;
    EXPECT_TRUE(smd::ParseSiteConfig(text, "/", cfg, error)) << error;
    const bool ok = host.Start(cfg, error);
    EXPECT_TRUE(ok) << error;
    return ok;
}

// Counts the cycles the bus device completes.
struct Cycles {
    Signal signal;
    std::atomic<int> n{0};
    void Watch(smd::Host& host) {
        ASSERT_TRUE(host.WithDevice("room1", [&](SMDSPDevice& d) {
            dynamic_cast<PMBusProtocol&>(d).SetCycleListener([this] {
                ++n;
                signal.Notify();
            });
        }));
    }
    bool WaitFor(int count) {
        return signal.WaitFor([&] { return n.load() >= count; });
    }
};

std::string reply(const smd::Host& host, unsigned id, const std::string& name) {
    try {
        return std::to_string(host.GetValue(id, name));
    } catch (const std::out_of_range& e) {
        return e.what();
    }
}

int events_of(smd::SqliteStore& store, smd::AlarmEvent::Kind kind, const std::string& type) {
    int n = 0;
    for (const auto& e : store.Events()) n += e.kind == kind && e.alarm.device_type == type;
    return n;
}

}  // namespace

TEST(Host, ServesACycleAndAfterARestartServesTheStoredValuesAtOnce) {
    SharedClock clock;
    QuickPause pause;
    TempDir dir;
    const std::string db = dir.File("site.db");
    int raised = 0;
    std::size_t standing = 0;
    {
        smd::PtyPair pty;
        ASSERT_TRUE(pty.Create());
        Logs logs;
        smd::Host host(logs.Options());
        ASSERT_TRUE(start(host, site(db, pty.SlavePath())));
        EXPECT_TRUE(host.PersistentHistory());
        EXPECT_EQ(reply(host, 101, "ia"), "数据未就绪");
        Cycles cycles;
        cycles.Watch(host);
        // Queries from another thread while the line runs.
        std::atomic<bool> done{false};
        std::thread reader([&] {
            while (!done.load()) {
                (void)reply(host, 101, "channel_0_a");
                (void)reply(host, 102, "v");
                (void)host.Stats("room1");
                (void)host.ActiveAlarms();
            }
        });
        SimPeer peer(pty.MasterFd(), scenario());
        ASSERT_TRUE(cycles.WaitFor(1));
        EXPECT_EQ(host.GetValue(101, "ia"), 12.5f);
        EXPECT_EQ(host.GetValue(101, "ic"), 13.5f);
        EXPECT_EQ(host.GetValue(101, "channel_0_a"), 230.5f);
        EXPECT_EQ(host.GetValue(101, "channel_0_f"), 50.0f);
        EXPECT_EQ(host.GetValue(102, "v"), 53.25f);
        EXPECT_EQ(host.GetValue(102, "i"), 48.5f);
        EXPECT_EQ(reply(host, 100, "anything"), "数据未就绪");  // the rectifier unit serves no name
        EXPECT_EQ(reply(host, 999, "v"), "数据未提供");
        // The next cycle, once the hold-off after the last one's start has passed.
        clock.AdvanceSeconds(3);
        clock.AdvanceMillis(3000);
        ASSERT_TRUE(cycles.WaitFor(2));
        done = true;
        reader.join();
        host.Controller()->DrainWork();
        auto stats = host.Stats("room1");
        ASSERT_TRUE(stats);
        EXPECT_GE(stats->cycles, 2u);
        EXPECT_EQ(stats->checksum_errors + stats->length_errors + stats->timeouts, 0u);
        EXPECT_EQ(host.Devices()[0].port_opens, 1u);
        EXPECT_TRUE(host.Devices()[0].port_open);

        auto store = host.Store();
        ASSERT_TRUE(store);
        raised = events_of(*store, smd::AlarmEvent::Kind::Raised, "ravo3-ac");
        EXPECT_GE(raised, 1);  // raised in the first cycle only
        EXPECT_EQ(events_of(*store, smd::AlarmEvent::Kind::Cleared, "ravo3-ac"), 0);
        standing = host.ActiveAlarms().size();
        EXPECT_GE(store->Count(), 6u);  // three units, two cycles
        struct Snap {
            unsigned id;
            const char* type;
            int unit_type;
        };
        for (const Snap& s : {Snap{101, "ravo3-ac", 5159}, Snap{102, "ravo3-dc", 5161},
                              Snap{100, "ravo3-rc", 5160}}) {
            SCOPED_TRACE(s.type);
            auto snap = store->LoadSnapshot(s.id, s.type);
            ASSERT_TRUE(snap);
            EXPECT_EQ(snap->unit_type, s.unit_type);
            EXPECT_FALSE(snap->bytes.empty());
        }
        EXPECT_EQ(host.Snapshots().size(), 3u);
        host.Stop();
        EXPECT_FALSE(host.Devices()[0].port_open);
        EXPECT_EQ(host.GetValue(102, "v"), 53.25f);  // still served after the stop
    }
    {
        // Restarted on a line whose unit says nothing yet.
        smd::PtyPair pty;
        ASSERT_TRUE(pty.Create());
        Logs logs;
        smd::Host host(logs.Options());
        ASSERT_TRUE(start(host, site(db, pty.SlavePath())));
        EXPECT_EQ(host.GetValue(101, "ia"), 12.5f);
        EXPECT_EQ(host.GetValue(101, "channel_0_a"), 230.5f);
        EXPECT_EQ(host.GetValue(102, "v"), 53.25f);
        EXPECT_EQ(host.GetValue(102, "i"), 48.5f);
        EXPECT_EQ(host.Devices()[0].replayed, 3u);
        EXPECT_EQ(host.ActiveAlarms().size(), standing);
        EXPECT_EQ(logs.Count("3 stored unit records replayed"), 1);
        EXPECT_EQ(host.Stats("room1")->answers, 0u);

        // The unit answers now; its phase alarm clears in its second cycle.
        Cycles cycles;
        cycles.Watch(host);
        SimPeer peer(pty.MasterFd(), scenario(R"([{"at_cycle": 2, "do": "clear",
                                                   "target": "ac_channel", "phase": "a"}])"));
        ASSERT_TRUE(cycles.WaitFor(1));
        host.Controller()->DrainWork();
        auto store = host.Store();
        EXPECT_EQ(events_of(*store, smd::AlarmEvent::Kind::Raised, "ravo3-ac"), raised);
        EXPECT_EQ(events_of(*store, smd::AlarmEvent::Kind::Cleared, "ravo3-ac"), 0);
        clock.AdvanceSeconds(3);
        clock.AdvanceMillis(3000);
        ASSERT_TRUE(cycles.WaitFor(2));
        host.Controller()->DrainWork();
        EXPECT_EQ(events_of(*store, smd::AlarmEvent::Kind::Raised, "ravo3-ac"), raised);
        EXPECT_EQ(events_of(*store, smd::AlarmEvent::Kind::Cleared, "ravo3-ac"), raised);
        host.Stop();
    }
}

// What another program reads in the file, one row per line.
std::string file_rows(const std::string& db, const char* sql) {
    sqlite3* h = nullptr;
    std::string out;
    if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(h, 5000);  // the host may be writing
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(h, sql, -1, &s, nullptr) == SQLITE_OK) {
            while (sqlite3_step(s) == SQLITE_ROW) {
                const unsigned char* t = sqlite3_column_text(s, 0);
                out += (t ? reinterpret_cast<const char*>(t) : "NULL") + std::string("\n");
            }
        }
        sqlite3_finalize(s);
    }
    sqlite3_close(h);
    return out;
}

// History records in the file, as another program counts them.
const char* const kStoredRecords =
    "SELECT (SELECT count(*) FROM recent) + (SELECT coalesce(sum(count), 0) FROM chunks)";

// A write-failure window loses nothing and leaves the standing alarms true; a
// second host is refused the database; a file that can only be read is
// still replayed.
TEST(Host, StoreFaultsLoseNothingAndOneHostWritesTheFile) {
    SharedClock clock;
    QuickPause pause;
    TempDir dir;
    const std::string db = dir.File("site.db");
    std::atomic<int> fault{SQLITE_OK};
    std::string events_seen;
    {
        smd::PtyPair pty;
        ASSERT_TRUE(pty.Create());
        Logs logs;
        smd::HostOptions o = logs.Options();
        o.store_fault = [&](const char* step) {
            return std::string(step) == "write" ? fault.load() : SQLITE_OK;
        };
        smd::Host host(o);
        ASSERT_TRUE(start(host, site(db, pty.SlavePath())));
        fault = SQLITE_FULL;
        Cycles cycles;
        cycles.Watch(host);
        // The phase alarm is raised in cycle 1 and cleared in cycle 2, both
        // while the disk is full.
        SimPeer peer(pty.MasterFd(), scenario(R"([{"at_cycle": 2, "do": "clear",
                                                   "target": "ac_channel", "phase": "a"}])"));
        ASSERT_TRUE(cycles.WaitFor(1));
        clock.AdvanceSeconds(3);
        clock.AdvanceMillis(3000);
        ASSERT_TRUE(cycles.WaitFor(2));
        host.Controller()->DrainWork();
        auto store = host.Store();
        store->Sync();                    // a write of everything is tried, and fails
        EXPECT_GE(store->Waiting(), 8u);  // 3 units x 2 cycles and 2 events
        EXPECT_EQ(file_rows(db, kStoredRecords), "0\n");
        EXPECT_EQ(logs.Count("history database " + db +
                             ": cannot write: database or disk is full; history rows and "
                             "alarm events wait in memory"),
                  1);
        EXPECT_EQ(host.GetValue(101, "channel_0_a"), 230.5f);

        {
            smd::PtyPair other_pty;
            ASSERT_TRUE(other_pty.Create());
            Logs other_logs;
            smd::Host other(other_logs.Options());
            smd::SiteConfig cfg;
            std::string error;
            ASSERT_TRUE(smd::ParseSiteConfig(site(db, other_pty.SlavePath()), "/", cfg, error));
            EXPECT_FALSE(other.Start(cfg, error));
            EXPECT_EQ(error, "history database " + db + ": in use by another host (" + db +
                                 ".lock is held by process " + std::to_string(::getpid()) +
                                 "); one host writes a database");
        }

        fault = SQLITE_OK;
        clock.AdvanceSeconds(3);
        clock.AdvanceMillis(3000);
        ASSERT_TRUE(cycles.WaitFor(3));
        host.Controller()->DrainWork();
        store->Sync();
        EXPECT_EQ(store->Waiting(), 0u);
        EXPECT_EQ(logs.Count("history database " + db +
                             ": writing again; 6 history rows and 2 "
                             "alarm events that waited written"),
                  1);
        events_seen = file_rows(db, "SELECT kind || ' ' || key FROM alarm_events ORDER BY id");
        EXPECT_EQ(events_seen, "raised AC_0\ncleared AC_0\n");
        EXPECT_EQ(file_rows(db, "SELECT count(*) FROM active_alarms"),
                  std::to_string(host.ActiveAlarms().size()) + "\n");
        EXPECT_EQ(file_rows(db, kStoredRecords), "9\n");
        host.Stop();
    }
    {
        // The file can only be read now: what it holds is served, new rows stay in memory.
        smd::PtyPair pty;
        ASSERT_TRUE(pty.Create());
        Logs logs;
        smd::HostOptions o = logs.Options();
        o.store_fault = [](const char* step) {
            return std::string(step) == "open" ? SQLITE_READONLY : SQLITE_OK;
        };
        smd::Host host(o);
        ASSERT_TRUE(start(host, site(db, pty.SlavePath())));
        EXPECT_EQ(logs.Count("history database " + db +
                             " is read-only (attempt to write a readonly database): replaying "
                             "what it holds"),
                  1);
        EXPECT_EQ(host.Devices()[0].replayed, 3u);
        EXPECT_EQ(host.GetValue(102, "v"), 53.25f);
        Cycles cycles;
        cycles.Watch(host);
        SimPeer peer(pty.MasterFd(), scenario());
        ASSERT_TRUE(cycles.WaitFor(1));
        host.Controller()->DrainWork();
        EXPECT_EQ(host.Store()->Count(), 12u);
        EXPECT_EQ(file_rows(db, kStoredRecords), "9\n");
        host.Stop();
    }
}

// A disk that takes its time holds up no cycle: each record carries the time
// of its own cycle, however late it is written.
TEST(Host, RecordsCarryTheirCycleTimeWhileWritesWait) {
    SharedClock clock;
    QuickPause pause;
    TempDir dir;
    const std::string db = dir.File("slow.db");
    // The disk: each write waits until the gate opens.
    struct Gate {
        std::mutex m;
        std::condition_variable cv;
        bool open = false;
        void Open() {
            std::lock_guard<std::mutex> l(m);
            open = true;
            cv.notify_all();
        }
    };
    auto gate = std::make_shared<Gate>();
    smd::PtyPair pty;
    ASSERT_TRUE(pty.Create());
    Logs logs;
    smd::HostOptions o = logs.Options();
    o.store_fault = [gate](const char* step) {
        if (std::string(step) == "write") {
            std::unique_lock<std::mutex> l(gate->m);
            gate->cv.wait(l, [&] { return gate->open; });
        }
        return SQLITE_OK;
    };
    smd::Host host(o);
    // Opened whatever way the test ends, before the host stops.
    struct Opener {
        std::shared_ptr<Gate> g;
        ~Opener() { g->Open(); }
    } opener{gate};
    ASSERT_TRUE(start(host, site(db, pty.SlavePath())));
    Cycles cycles;
    cycles.Watch(host);
    SimPeer peer(pty.MasterFd(), scenario());
    // The worker has done a cycle's work when a job handed to it after the cycle runs.
    auto worker_done = [&] {
        struct Flag {
            Signal signal;
            std::atomic<bool> ran{false};
        };
        auto flag = std::make_shared<Flag>();
        host.Controller()->SubmitWork([flag] {
            flag->ran = true;
            flag->signal.Notify();
        });
        return flag->signal.WaitFor([&] { return flag->ran.load(); });
    };
    std::vector<boost::posix_time::ptime> times;
    for (int n = 1; n <= 3; ++n) {
        ASSERT_TRUE(cycles.WaitFor(n));
        ASSERT_TRUE(worker_done()) << "cycle " << n << ": the worker waits for the disk";
        times.push_back(smd::local_time());
        clock.AdvanceSeconds(3);
        clock.AdvanceMillis(3000);
    }
    gate->Open();
    host.Stop();
    std::string error;
    auto reader = smd::StoreReader::Open(db, &error);
    ASSERT_TRUE(reader) << error;
    for (std::uint32_t unit : {100u, 101u, 102u}) {
        std::vector<smd::StoredRecord> records;
        ASSERT_TRUE(reader->History(unit, {}, {}, 0, 100, records, error)) << error;
        ASSERT_GE(records.size(), 3u) << unit;
        for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(records[k].record.time, times[k]) << unit;
    }
}

TEST(Host, AFailedDeviceAndAnUnusableDatabaseLeaveTheRestRunning) {
    SharedClock clock;
    QuickPause pause;
    TempDir dir;
    const std::string db = dir.File("broken.db");
    std::ofstream(db) << std::string(8192, 'x');
    smd::PtyPair pty;
    ASSERT_TRUE(pty.Create());
    Logs logs;
    smd::Host host(logs.Options());
    const std::string bad =
        R"({"name": "bad", "port": "/dev/null", "driver": "/nonexistent/ravo3.so", "data_id": 7},
           {"name": "off", "port": "/dev/null", "driver": "x.so", "data_id": 8, "enabled": false},)";
    ASSERT_TRUE(start(host, site(db, pty.SlavePath(), bad)));
    EXPECT_FALSE(host.PersistentHistory());
    EXPECT_EQ(logs.Count("history database " + db + ": "), 1);
    EXPECT_EQ(logs.Count("corrupt or not a database"), 1);
    EXPECT_EQ(logs.Count("running without stored history"), 1);
    EXPECT_EQ(logs.Count("device \"bad\": cannot load driver /nonexistent/ravo3.so"), 1);
    const auto devices = host.Devices();
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_FALSE(devices[0].loaded);
    EXPECT_NE(devices[0].error.find("cannot load driver"), std::string::npos);
    EXPECT_FALSE(devices[1].enabled);
    EXPECT_FALSE(devices[1].loaded);
    EXPECT_TRUE(devices[2].loaded);
    EXPECT_FALSE(host.Stats("bad"));

    Cycles cycles;
    cycles.Watch(host);
    SimPeer peer(pty.MasterFd(), scenario());
    ASSERT_TRUE(cycles.WaitFor(1));
    EXPECT_EQ(host.GetValue(102, "v"), 53.25f);
    host.Controller()->DrainWork();
    EXPECT_GE(host.Controller()->GetHistoryStore()->Count(), 3u);  // kept in memory
}

TEST(Host, StartFailsWhenNoDeviceCanBeLoaded) {
    Logs logs;
    smd::Host host(logs.Options());
    smd::SiteConfig cfg;
    std::string error;
    ASSERT_TRUE(smd::ParseSiteConfig(
        R"({"devices": [{"name": "a", "port": "/dev/null", "driver": "/none.so", "data_id": 1}]})",
        "/", cfg, error));
    EXPECT_FALSE(host.Start(cfg, error));
    EXPECT_EQ(error, "no device could be loaded");
    EXPECT_EQ(logs.Count("no \"history_db\" configured"), 1);
    EXPECT_FALSE(host.Start("/nonexistent/site.json", error));
    EXPECT_EQ(error, "/nonexistent/site.json: cannot be read (no such file)");
}

// The stream tells a consumer what the host knows: each cycle's values by the
// names the units serve, that cycle's alarms ahead of it, and after a restart
// the stored values marked as replayed.
TEST(Host, EventStreamCarriesEachCycleAfterItsAlarms) {
    using Kind = smd::HostEvent::Kind;
    SharedClock clock;
    QuickPause pause;
    TempDir dir;
    const std::string db = dir.File("site.db");
    auto check_values = [](const smd::Host& host, const smd::HostEvent& e) {
        std::map<std::string, float> rc;
        for (const auto& u : e.units) {
            for (const auto& v : u.values) {
                SCOPED_TRACE(v.name);
                ASSERT_TRUE(v.ok) << v.reply;
                if (u.kind == smd::UnitKind::RC) {
                    rc[v.name] = v.value;
                } else {
                    EXPECT_EQ(v.value, host.GetValue(u.data_id, v.name));
                }
            }
        }
        EXPECT_EQ(rc, (std::map<std::string, float>{
                          {"group_value", 53.5f},           {"module_count", 2.0f},
                          {"module_1_value", 16.0f},        {"module_2_value", 17.0f},
                          {"module_1_status_1", 0},         {"module_1_status_2", 0},
                          {"module_1_status_3", 0},         {"module_1_fault", 0},
                          {"module_2_status_1", 0},         {"module_2_status_2", 0},
                          {"module_2_status_3", 0},         {"module_2_fault", 0},
                          {"module_1_module_fault", 0},     {"module_1_fan_fault", 0},
                          {"module_1_over_temperature", 0}, {"module_1_comm_lost", 0},
                          {"module_2_module_fault", 0},     {"module_2_fan_fault", 0},
                          {"module_2_over_temperature", 0}, {"module_2_comm_lost", 0}}));
    };
    std::size_t names = 0;
    {
        smd::PtyPair pty;
        ASSERT_TRUE(pty.Create());
        Logs logs;
        smd::Host host(logs.Options());
        ASSERT_TRUE(start(host, site(db, pty.SlavePath())));
        auto q = host.Events().Subscribe();
        SimPeer peer(pty.MasterFd(), scenario());
        std::vector<std::string> seen;
        smd::HostEvent e, cycle, raised;
        while (q->Pop(e, std::chrono::milliseconds(rt_test::kWaitMs))) {
            // Line changes (starting, answering) may come between a cycle's alarms and the cycle.
            if (!e.initial && e.kind == Kind::Line) continue;
            seen.push_back(std::string(e.initial ? "*" : "") + smd::event_kind_name(e.kind));
            if (e.kind == Kind::AlarmRaised) raised = e;
            if (e.kind == Kind::Cycle) {
                cycle = e;
                break;
            }
        }
        ASSERT_EQ(cycle.kind, Kind::Cycle);
        ASSERT_GE(seen.size(), 3u);
        EXPECT_EQ(seen.front(), "*line");
        EXPECT_EQ(seen[seen.size() - 2], "alarm_raised");
        EXPECT_EQ(cycle.device, "room1");
        EXPECT_EQ(cycle.cycle.number, 1u);
        EXPECT_EQ(cycle.line.state, smd::LineState::Answering);
        EXPECT_EQ(cycle.frames.cycles, 1u);
        ASSERT_EQ(cycle.units.size(), 3u);
        EXPECT_EQ(cycle.units[0].values.size(), 6u + 4u);  // phases, alarm states, one channel
        for (const auto& u : cycle.units) names += u.values.size();
        check_values(host, cycle);
        // Every unit carries its alarm points; the one just raised stands among them.
        bool standing = false;
        for (const auto& u : cycle.units) {
            EXPECT_FALSE(u.points.empty()) << smd::unit_kind_name(u.kind);
            for (const auto& p : u.points) {
                standing |= u.data_id == raised.alarm.data_id &&
                            u.device_type == raised.alarm.device_type &&
                            p.key == raised.alarm.key && p.detail == raised.alarm.detail &&
                            p.active;
            }
        }
        EXPECT_TRUE(standing) << raised.alarm.key << " " << raised.alarm.detail;
        host.Stop();
        EXPECT_EQ(host.Events().State().lines.at("room1").state, smd::LineState::Stopped);
    }
    {
        smd::PtyPair pty;
        ASSERT_TRUE(pty.Create());
        Logs logs;
        smd::Host host(logs.Options());
        ASSERT_TRUE(start(host, site(db, pty.SlavePath())));
        auto q = host.Events().Subscribe();
        // Primed with the replayed cycle, then the line as it is now.
        smd::HostEvent e, line;
        ASSERT_TRUE(q->TryPop(e));
        ASSERT_EQ(e.kind, Kind::Cycle);
        EXPECT_TRUE(e.initial);
        ASSERT_TRUE(q->TryPop(line));
        EXPECT_EQ(line.kind, Kind::Line);
        std::size_t replayed_names = 0;
        for (const auto& u : e.units) {
            EXPECT_TRUE(u.replayed);
            EXPECT_FALSE(u.stored.is_special());
            replayed_names += u.values.size();
        }
        EXPECT_EQ(replayed_names, names);
        check_values(host, e);
        ASSERT_TRUE(q->TryPop(e));  // the phase alarm stood when the host stopped
        EXPECT_EQ(e.kind, Kind::AlarmRaised);
        EXPECT_EQ(e.device, "room1");
        host.Stop();
    }
}

// After a start each unit's stored record goes out, marked as replayed; a
// unit that took none (added to the site since, or its record damaged) gives
// the names it serves with its own reply, as its queries do.
TEST(Host, ReplayedCycleGivesTheRecordsTheUnitsTook) {
    using Kind = smd::UnitKind;
    auto record = [](Kind kind, std::size_t groups, std::size_t extra = 0) {
        const smd::UnitVocabulary& v = smd::vocabulary(kind);
        std::vector<unsigned char> b(v.record_size + v.group_size * groups + extra, 0);
        if (v.group_size > 0) b[v.count_at] = static_cast<unsigned char>(groups);
        const float volts = 53.25f;
        if (kind == Kind::DC) std::memcpy(&b[smd::lookup_value(kind, "v").def->offset], &volts, 4);
        return b;
    };
    // Each unit: its values as "name=value" or "name:reply", and whether a record's time came.
    auto summary = [](const smd::UnitValues& u) {
        std::string s = u.stored.is_special() ? "" : "stored";
        for (const auto& v : u.values) {
            s += " " + v.name +
                 (v.ok ? "=" + std::to_string(static_cast<int>(v.value)) : ":" + v.reply);
        }
        return s;
    };
    const struct {
        const char* name;
        bool rc_stored;
        std::size_t dc_extra;  // bytes that make the DC record one the unit refuses
        std::string rc, dc;
    } cases[] = {
        {"every unit stored", true, 0, "stored group_value=0 module_count=0", "stored v=53 i=0"},
        {"a unit added since", false, 0, " group_value:数据未就绪", "stored v=53 i=0"},
        {"a damaged record", true, 1, "stored group_value=0 module_count=0",
         "stored v:数据未就绪 i:数据未就绪"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        TempDir dir;
        const std::string db = dir.File("site.db");
        {
            std::string why;
            auto store = smd::SqliteStore::Open(db, smd::SqliteStore::Options(), &why);
            ASSERT_TRUE(store) << why;
            auto add = [&](std::uint32_t id, const char* type, std::vector<unsigned char> bytes) {
                smd::HistoryRecord r;
                r.data_id = id;
                r.device_type = type;
                r.time = smd::local_time();
                r.bytes = std::move(bytes);
                store->Append(r);
            };
            add(101, "ravo3-ac", record(Kind::AC, 1));
            add(102, "ravo3-dc", record(Kind::DC, 0, k.dc_extra));
            if (k.rc_stored) add(100, "ravo3-rc", record(Kind::RC, 0));
            store->Flush();
        }
        Logs logs;
        smd::HostOptions o = logs.Options();
        o.start_lines = false;
        smd::Host host(o);
        ASSERT_TRUE(start(host, site(db, "/nonexistent/tty")));
        const auto state = host.Events().State();
        ASSERT_EQ(state.cycles.count("room1"), 1u);
        const auto& units = state.cycles.at("room1").units;
        ASSERT_EQ(units.size(), 3u);
        for (const auto& u : units) EXPECT_TRUE(u.replayed);
        EXPECT_EQ(units[0].values.size(), 6u + 4u);
        EXPECT_EQ(summary(units[1]), k.dc);
        EXPECT_EQ(summary(units[2]), k.rc);
        host.Stop();
    }
}

// Lines as sites have them, end to end on loopback and ptys: a unit behind a
// serial device server (a relay written here: a pty on one side, a TCP
// listener on the other, raw or with Telnet COM port control, that can refuse and drop),
// several units on one line, and a capture played back through the driver.
// Time runs ten times faster through the clock seams; the tests wait on the
// host's events, never on time.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <map>
#include <mutex>
#include <thread>

#include "runtime/capture/Capture.h"
#include "runtime/capture/Replay.h"
#include "runtime/line/FrameCodec.h"
#include "runtime/line/Telnet.h"
#include "runtime/site/Host.h"
#include "service/json/EventJson.h"
#include "sim/Scenario.h"
#include "sim/Server.h"
#include "tests/runtime_fixture.h"

extern char** environ;

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

// A serial device server: bytes between a TCP client and a pty's slave side.
// Until Listen() the port refuses connections; Drop() breaks the one there is.
class Relay {
  public:
    Relay(std::string tty, bool telnet) : tty_(std::move(tty)), telnet_(telnet) {
        sock_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(sock_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(sock_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        tty_fd_ = ::open(tty_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    }
    ~Relay() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        for (int fd : {sock_, tty_fd_, client_.load()}) {
            if (fd >= 0) ::close(fd);
        }
    }
    int Port() const { return port_; }
    void Listen() {
        ::listen(sock_, 4);
        thread_ = std::thread([this] { Run(); });
    }
    void Drop() { drop_ = true; }
    int Connections() const { return connections_.load(); }
    std::uint32_t Baud() const { return baud_.load(); }

  private:
    void Run() {
        while (!stop_) {
            int c = client_.load();
            if (drop_ && c >= 0) {
                ::close(c);
                client_ = c = -1;
                drop_ = false;
            }
            pollfd p[2] = {{c >= 0 ? c : sock_, POLLIN, 0}, {tty_fd_, POLLIN, 0}};
            if (::poll(p, 2, 20) <= 0) continue;
            unsigned char buf[4096];
            if (c < 0 && (p[0].revents & POLLIN)) {
                client_ = ::accept4(sock_, nullptr, nullptr, SOCK_CLOEXEC);
                ++connections_;
                // As access servers do, a Telnet one opens with its offers: a
                // segment of negotiation and no data for the client to read.
                if (telnet_ && client_ >= 0) {
                    const unsigned char offer[] = {255, 251, 0, 255, 251, 3};  // WILL BINARY, SGA
                    rt_test::write_all(client_, smd::telnet::Bytes(offer, offer + sizeof offer));
                }
                continue;
            }
            if (c >= 0 && (p[0].revents & (POLLIN | POLLHUP))) {
                const ssize_t n = ::read(c, buf, sizeof buf);
                if (n <= 0) {
                    ::close(c);
                    client_ = -1;
                    continue;
                }
                const smd::telnet::Bytes data =
                    telnet_ ? Strip(buf, n) : smd::telnet::Bytes(buf, buf + n);
                rt_test::write_all(tty_fd_, data);
            }
            if (p[1].revents & POLLIN) {
                const ssize_t n = ::read(tty_fd_, buf, sizeof buf);
                if (n <= 0 || c < 0) continue;  // no client: the unit's bytes are lost
                smd::telnet::Bytes out;
                if (telnet_) {
                    smd::telnet::Escape(buf, static_cast<std::size_t>(n), out);
                } else {
                    out.assign(buf, buf + n);
                }
                rt_test::write_all(c, out);
            }
        }
    }
    // The server's side of Telnet: data without its commands, the speed the
    // client set kept.
    smd::telnet::Bytes Strip(const unsigned char* in, ssize_t n) {
        smd::telnet::Bytes data;
        for (ssize_t i = 0; i < n; ++i) {
            const unsigned char b = in[i];
            if (state_ == 0) {
                if (b == 255)
                    state_ = 1;
                else
                    data.push_back(b);
            } else if (state_ == 1) {
                if (b == 255) {
                    data.push_back(b);
                    state_ = 0;
                } else if (b == 250) {
                    sub_.clear();
                    state_ = 3;
                } else
                    state_ = b >= 251 ? 2 : 0;
            } else if (state_ == 2) {
                state_ = 0;
            } else if (state_ == 3) {
                if (b == 255)
                    state_ = 4;
                else
                    sub_.push_back(b);
            } else {
                if (b == 240 && sub_.size() == 6 && sub_[0] == 44 && sub_[1] == 1) {
                    baud_ = sub_[2] << 24 | sub_[3] << 16 | sub_[4] << 8 | sub_[5];
                }
                if (b == 255) {
                    sub_.push_back(b);
                    state_ = 3;
                } else
                    state_ = 0;
            }
        }
        return data;
    }

    std::string tty_;
    bool telnet_;
    int sock_ = -1, tty_fd_ = -1, port_ = 0;
    std::atomic<int> client_{-1};
    std::atomic<bool> stop_{false}, drop_{false};
    std::atomic<int> connections_{0};
    std::atomic<std::uint32_t> baud_{0};
    int state_ = 0;
    smd::telnet::Bytes sub_;
    std::thread thread_;
};

// One AC unit, two modules, one DC unit with steady values; `faults` and
// `events` as the scenario keys take them.
sim::Scenario scenario(int address, const std::string& events = "[]") {
    return sim::ParseScenario(R"({"address": )" + std::to_string(address) +
                              R"(, "ac": {"units": [{"channels": [{"a": 230.5, "b": 231.5,
              "c": 229.5, "f": 50.0}], "ia": 12.5, "ib": 11.5, "ic": 13.5}]},
              "rectifier": {"group": 53.5, "modules": [{"value": 16.0}, {"value": 17.0}]},
              "dc": {"units": [{"v": 53.25, "i": 48.5}]}, "events": )" +
                              events + "}");
}

std::string device(const std::string& name, const std::string& port, int address, int data_id) {
    const std::string id = std::to_string(data_id);
    return R"({"name": ")" + name + R"(", "port": ")" + port + R"(", "driver": ")" +
           RAVO3_PLUGIN_PATH + R"(", "address": )" + std::to_string(address) + R"(, "data_id": )" +
           id + R"(, "acSetting": [{"data_id": )" + id + R"(1}],
              "dcSetting": [{"data_id": )" +
           id + R"(2}], "rcSetting": {}})";
}

// A host on a site and what it published.
class SiteRun {
  public:
    SiteRun(const std::string& devices, const std::string& lock_dir, smd::HostOptions o = {}) {
        o.log = [this](const std::string& s) {
            std::lock_guard<std::mutex> l(m_);
            logs_.push_back(s);
        };
        host_ = std::make_unique<smd::Host>(o);
        queue_ = host_->Events().Subscribe();
        smd::SiteConfig cfg;
        std::string error;
        const std::string text = R"({"poll_period_ms": 5, "comm_lost_s": 10, "reopen_max_ms": 1000,
            "lock_dir": ")" + lock_dir +
                                 R"(", "devices": [)" + devices + "]}";
        EXPECT_TRUE(smd::ParseSiteConfig(text, "/", cfg, error)) << error;
        EXPECT_TRUE(host_->Start(cfg, error)) << error;
    }
    bool Until(const std::function<bool()>& done) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!done()) {
            smd::HostEvent e;
            if (std::chrono::steady_clock::now() > until) return false;
            if (queue_->Pop(e, std::chrono::milliseconds(100)) && !e.initial) events.push_back(e);
        }
        return true;
    }
    std::size_t Cycles(const std::string& dev) const {
        std::size_t n = 0;
        for (const auto& e : events)
            n += e.kind == smd::HostEvent::Kind::Cycle && !e.units.empty() && e.device == dev;
        return n;
    }
    bool SawState(const std::string& dev, smd::LineState s) const {
        for (const auto& e : events) {
            if (e.device == dev && e.kind == smd::HostEvent::Kind::Line && e.line.state == s)
                return true;
        }
        return false;
    }
    std::vector<std::string> Alarms() const {
        std::vector<std::string> out;
        for (const auto& e : events) {
            if (e.kind == smd::HostEvent::Kind::AlarmRaised)
                out.push_back(e.device + " raised " + e.alarm.key);
            if (e.kind == smd::HostEvent::Kind::AlarmCleared)
                out.push_back(e.device + " cleared " + e.alarm.key);
        }
        return out;
    }
    smd::Host& host() { return *host_; }
    std::vector<smd::HostEvent> events;

  private:
    std::mutex m_;
    std::vector<std::string> logs_;
    std::unique_ptr<smd::Host> host_;
    std::shared_ptr<smd::EventQueue> queue_;
};

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

TEST(Lines, AUnitBehindADeviceServerIsReachedAgainAfterARefusalAndADrop) {
    for (const bool telnet : {false, true}) {
        SCOPED_TRACE(telnet ? "rfc2217" : "tcp");
        FastClock clock;
        rt_test::TempDir dir;
        sim::Server unit(scenario(1));
        ASSERT_TRUE(unit.Start());
        Relay relay(unit.Path(), telnet);
        const std::string port = std::string(telnet ? "rfc2217" : "tcp") +
                                 "://127.0.0.1:" + std::to_string(relay.Port());
        SiteRun run(device("box", port, 1, 100), dir.Path());
        // Nothing listens yet: the line says so, and is tried again.
        ASSERT_TRUE(
            run.Until([&] { return run.SawState("box", smd::LineState::ConnectionRefused); }));
        relay.Listen();
        ASSERT_TRUE(run.Until([&] { return run.Cycles("box") >= 2; }));
        // The connection breaks between a command and its answer at the latest.
        relay.Drop();
        ASSERT_TRUE(run.Until([&] { return run.SawState("box", smd::LineState::ConnectionLost); }));
        const std::size_t before = run.Cycles("box");
        ASSERT_TRUE(run.Until([&] { return run.Cycles("box") >= before + 2; }));
        run.host().Stop();
        EXPECT_GE(relay.Connections(), 2);
        if (telnet) {
            EXPECT_EQ(relay.Baud(), 9600u);
        }
        // No alarm the unit did not report; every value exact.
        EXPECT_TRUE(run.Alarms().empty()) << testing::PrintToString(run.Alarms());
        for (const auto& e : run.events) {
            if (e.kind != smd::HostEvent::Kind::Cycle || e.units.empty()) continue;
            EXPECT_FLOAT_EQ(value_of(e, smd::UnitKind::DC, "v"), 53.25f);
            EXPECT_FLOAT_EQ(value_of(e, smd::UnitKind::AC, "ia"), 12.5f);
        }
    }
}

// The same against Debian's ser2net, raw and with Telnet COM port control (skipped where it
// is not installed: scripts/setup.sh installs it).
TEST(Lines, AUnitBehindSer2netAnswersRawAndWithComPortControl) {
    const char* ser2net = "/usr/sbin/ser2net";
    if (::access(ser2net, X_OK) != 0) GTEST_SKIP() << "ser2net is not installed";
    for (const bool telnet : {false, true}) {
        SCOPED_TRACE(telnet ? "rfc2217" : "tcp");
        FastClock clock;
        rt_test::TempDir dir;
        sim::Server unit(scenario(1));
        ASSERT_TRUE(unit.Start());
        int port = 0;
        {
            // A free port: bound, read and given back for ser2net to take.
            Relay probe(unit.Path(), false);
            port = probe.Port();
        }
        const std::string line = "127.0.0.1," + std::to_string(port) +
                                 (telnet ? ":telnet:0:" : ":raw:0:") + unit.Path() +
                                 ":9600 8DATABITS NONE 1STOPBIT LOCAL" + (telnet ? " remctl" : "");
        std::vector<std::string> args = {ser2net, "-n", "-u", "-C", line};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        // Its output goes nowhere: a ser2net outliving a crashed test must not
        // hold the test runner's pipes open.
        posix_spawn_file_actions_t quiet;
        posix_spawn_file_actions_init(&quiet);
        posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        const int spawned = ::posix_spawn(&pid, ser2net, &quiet, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&quiet);
        ASSERT_EQ(spawned, 0);
        struct Reap {
            pid_t pid;
            ~Reap() {
                ::kill(pid, SIGTERM);
                ::waitpid(pid, nullptr, 0);
            }
        } reap{pid};
        {
            SiteRun run(device("box",
                               std::string(telnet ? "rfc2217" : "tcp") +
                                   "://127.0.0.1:" + std::to_string(port),
                               1, 100),
                        dir.Path());
            // Tried again until ser2net listens.
            ASSERT_TRUE(run.Until([&] { return run.Cycles("box") >= 2; }));
            run.host().Stop();
            EXPECT_TRUE(run.Alarms().empty());
            for (const auto& e : run.events) {
                if (e.kind != smd::HostEvent::Kind::Cycle || e.units.empty()) continue;
                EXPECT_FLOAT_EQ(value_of(e, smd::UnitKind::DC, "v"), 53.25f);
            }
        }
    }
}

TEST(Lines, UnitsOnOneLineTakeTurnsAndASilentOneCostsOnlyItsOwnTurns) {
    for (const int units : {2, 4}) {
        SCOPED_TRACE(std::to_string(units) + " units");
        FastClock clock;
        rt_test::TempDir dir;
        // Units at addresses 1 .. units-1 answer; the last address has none.
        std::vector<sim::Scenario> on_line;
        for (int a = 1; a < units; ++a) on_line.push_back(scenario(a));
        sim::Server line(std::move(on_line), sim::ServerOptions{});
        ASSERT_TRUE(line.Start());
        std::string devices;
        for (int a = 1; a <= units; ++a) {
            devices +=
                (a > 1 ? ", " : "") + device("u" + std::to_string(a), line.Path(), a, 100 + a);
        }
        SiteRun run(devices, dir.Path());
        const std::string silent = "u" + std::to_string(units);
        // Long enough for the silent unit's communication-lost alarm (10 s).
        ASSERT_TRUE(run.Until([&] {
            for (int a = 1; a < units; ++a) {
                if (run.Cycles("u" + std::to_string(a)) < 8) return false;
            }
            return run.SawState(silent, smd::LineState::NotAnswering) && !run.Alarms().empty();
        }));
        run.host().Stop();
        EXPECT_EQ(run.Alarms(), std::vector<std::string>{silent + " raised comm_lost"});
        EXPECT_EQ(run.Cycles(silent), 0u);
        // The others keep their 2 s period: the silent unit is asked once in
        // 10 s, one time-out each time, not in every round.
        for (int a = 1; a < units; ++a) {
            const std::string name = "u" + std::to_string(a);
            std::vector<double> periods;
            for (const auto& e : run.events) {
                if (e.device != name || e.kind != smd::HostEvent::Kind::Cycle || e.units.empty())
                    continue;
                if (e.cycle.period_seconds > 0) periods.push_back(e.cycle.period_seconds);
                EXPECT_FLOAT_EQ(value_of(e, smd::UnitKind::DC, "v"), 53.25f);
            }
            ASSERT_FALSE(periods.empty());
            std::sort(periods.begin(), periods.end());
            EXPECT_LT(periods[periods.size() / 2], 2.5) << name;
        }
    }
}

TEST(Lines, ACaptureReplaysToTheSameValuesAndAlarmsWithTheirAnswers) {
    rt_test::TempDir dir;
    const std::string file = dir.File("line.cap");
    std::vector<smd::HostEvent> live;
    {
        FastClock clock;
        // The second fuse of DC unit 1 blows in cycle 2 and is mended in 4.
        sim::Server unit(scenario(1, R"([{"at_cycle": 2, "do": "blow_fuse", "fuse": 2},
                                          {"at_cycle": 4, "do": "clear", "target": "fuse", "fuse": 2}])"));
        ASSERT_TRUE(unit.Start());
        smd::HostOptions o;
        o.capture = file;
        SiteRun run(device("room", unit.Path(), 1, 100), dir.Path(), o);
        ASSERT_TRUE(run.Until([&] { return run.Cycles("room") >= 6; }));
        run.host().Stop();
        live = run.events;
        EXPECT_EQ(run.Alarms(),
                  (std::vector<std::string>{"room raised DC_3", "room cleared DC_3"}));
    }
    smd::capture::File capture;
    std::string error;
    ASSERT_TRUE(smd::capture::Load(file, capture, error)) << error;
    ASSERT_EQ(capture.sessions.size(), 1u);
    // Twice, with the site the test ran.
    auto play = [&] {
        std::vector<smd::HostEvent> out;
        smd::SiteConfig site;
        std::string e;
        EXPECT_TRUE(smd::ParseSiteConfig(R"({"devices": [)" + device("room", "any", 1, 100) + "]}",
                                         "/", site, e));
        smd::ReplayOptions o;
        o.on_event = [&](const smd::HostEvent& ev) { out.push_back(ev); };
        std::uint64_t mismatches = 1;
        EXPECT_TRUE(smd::RunReplay(capture.sessions[0], site, o, e, &mismatches)) << e;
        EXPECT_EQ(mismatches, 0u);
        return out;
    };
    auto text = [](const std::vector<smd::HostEvent>& ev) {
        std::string s;
        for (const auto& e : ev) {
            smd::json::Writer w;
            smd::service::WriteEvent(w, e);
            s += w.Take() + "\n";
        }
        return s;
    };
    const auto first = play();
    const auto second = play();
    EXPECT_EQ(text(first), text(second));
    // The live run's values and alarm events, cycle by cycle.
    auto summary = [](const std::vector<smd::HostEvent>& ev) {
        std::vector<std::string> out;
        for (const auto& e : ev) {
            if (e.kind == smd::HostEvent::Kind::Cycle && !e.units.empty()) {
                std::string s = "cycle";
                for (const auto& u : e.units) {
                    for (const auto& v : u.values)
                        s += " " + v.name + "=" + (v.ok ? std::to_string(v.value) : v.reply);
                }
                out.push_back(s);
            } else if (e.kind == smd::HostEvent::Kind::AlarmRaised ||
                       e.kind == smd::HostEvent::Kind::AlarmCleared) {
                out.push_back(std::string(smd::event_kind_name(e.kind)) + " " + e.alarm.key + " " +
                              e.alarm.detail);
            }
        }
        return out;
    };
    const auto replayed = summary(first);
    const auto recorded = summary(live);
    ASSERT_LE(replayed.size(), recorded.size());
    EXPECT_EQ(replayed,
              std::vector<std::string>(recorded.begin(), recorded.begin() + replayed.size()));
    EXPECT_GE(replayed.size() + 1, recorded.size());

    // The simulator serves the capture as a unit: the host reads the same values.
    {
        FastClock clock;
        sim::ServerOptions so;
        ASSERT_TRUE(sim::LoadExchanges(file, so.replay, error)) << error;
        sim::Server unit(scenario(1), so);
        ASSERT_TRUE(unit.Start());
        SiteRun run(device("room", unit.Path(), 1, 100), dir.Path());
        ASSERT_TRUE(run.Until([&] { return run.Cycles("room") >= 2; }));
        run.host().Stop();
        for (const auto& e : run.events) {
            if (e.kind != smd::HostEvent::Kind::Cycle || e.units.empty()) continue;
            EXPECT_FLOAT_EQ(value_of(e, smd::UnitKind::DC, "v"), 53.25f);
        }
    }

    // The raise's provenance: its cycle, and a DC alarm answer whose bytes
    // decode to the blown fuse (state 3, the second of the unit's fuses).
    for (const auto& e : live) {
        if (e.kind != smd::HostEvent::Kind::AlarmRaised) continue;
        ASSERT_TRUE(e.provenance);
        EXPECT_GE(e.provenance->cycle, 2u);
        bool decoded = false;
        for (const auto& a : e.provenance->answers) {
            if (a.cid1 != 0x42 || a.cid2 != 0x44) continue;
            smd::FrameParser parser(
                [&](const smd::Frame& f) {
                    // DATAFLAG, unit count, then unit 1: voltage state, fuse count, fuses.
                    ASSERT_GE(f.info.size(), 6u);
                    EXPECT_GE(f.info[3], 2u);
                    EXPECT_EQ(f.info[5], 3u);
                    decoded = true;
                },
                nullptr);
            parser.Feed(a.bytes.data(), a.bytes.size());
        }
        EXPECT_TRUE(decoded);
    }
}

// The runner end to end: ravo3-monitor loads ravo3.so and polls simulated
// monitoring units on ptys (its own under --simulate, or ravo3-sim processes
// the test starts, stops and resumes); the tests read its JSON lines, its
// screen through a pty of 80x24, its exit status and its messages.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <json/value.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "apps/ravo3-monitor/RunnerScreen.h"
#include "tests/support/Fixture.h"

using testing_support::parse_json;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string slurp(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool valid_utf8(const std::string& s) {
    return monitor::fit(s, 0) == s || s.find('\n') != std::string::npos;
}

// A program the test runs: its standard output (a pipe, or a pty of 80x24)
// read as it comes, its standard error in a file.
class Child {
  public:
    Child(const std::vector<std::string>& args, const fs::path& err, bool terminal = false) {
        int out[2] = {-1, -1};
        if (terminal) {
            struct winsize ws {};
            ws.ws_row = 24;
            ws.ws_col = 80;
            pid_ = ::forkpty(&fd_, nullptr, nullptr, &ws);
        } else {
            if (::pipe(out) != 0) return;
            pid_ = ::fork();
        }
        if (pid_ == 0) {
            if (!terminal) {
                ::dup2(out[1], 1);
                ::close(out[0]);
                ::close(out[1]);
                const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                ::dup2(e, 2);
            }
            std::vector<char*> argv;
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        if (!terminal) {
            ::close(out[1]);
            fd_ = out[0];
        }
    }
    ~Child() {
        if (pid_ > 0 && status_ < -1) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (fd_ >= 0) ::close(fd_);
    }
    pid_t Pid() const { return pid_; }
    void Signal(int s) { ::kill(pid_, s); }
    void CloseOutput() {
        ::close(fd_);
        fd_ = -1;
    }

    // Reads until `done` holds for what was read, EOF, or the deadline.
    bool ReadUntil(const std::function<bool(const std::string&)>& done, int seconds) {
        const auto end = Clock::now() + std::chrono::seconds(seconds);
        while (!done(text_)) {
            if (fd_ < 0 || Clock::now() >= end) return false;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char buf[4096];
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0) return done(text_);
            text_.append(buf, static_cast<std::size_t>(n));
        }
        return true;
    }
    // One whole line, waiting for it; false at EOF or the deadline.
    bool Line(std::string& line, int seconds) {
        if (!ReadUntil(
                [&](const std::string& t) { return t.find('\n', taken_) != std::string::npos; },
                seconds)) {
            return false;
        }
        const auto nl = text_.find('\n', taken_);
        line = text_.substr(taken_, nl - taken_);
        taken_ = nl + 1;
        return true;
    }
    // The exit status, after reading the rest of the output.
    int Wait(int seconds) {
        ReadUntil([](const std::string&) { return false; }, seconds);
        const auto end = Clock::now() + std::chrono::seconds(seconds);
        int st = 0;
        while (::waitpid(pid_, &st, WNOHANG) == 0) {
            if (Clock::now() >= end) return -1;
            pollfd none{-1, 0, 0};
            ::poll(&none, 0, 20);  // the child is ending; look again
        }
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return status_;
    }
    const std::string& Text() const { return text_; }

  private:
    pid_t pid_ = -1;
    int fd_ = -1;
    int status_ = -2;
    std::string text_;
    std::size_t taken_ = 0;
};

// What a terminal of 24x80 shows after the runner's output: the cursor
// controls it uses (home, erase to end of line and of screen) and UTF-8 text.
std::vector<std::string> screen_of(const std::string& out) {
    std::vector<std::vector<std::string>> cells(24, std::vector<std::string>(80, " "));
    int row = 0, col = 0;
    for (std::size_t i = 0; i < out.size();) {
        const unsigned char c = static_cast<unsigned char>(out[i]);
        if (c == 0x1B && i + 1 < out.size() && out[i + 1] == '[') {
            std::size_t j = i + 2;
            while (j < out.size() && !std::isalpha(static_cast<unsigned char>(out[j]))) ++j;
            if (j >= out.size()) break;
            const char op = out[j];
            if (op == 'H') {
                row = col = 0;
            } else if (op == 'K') {
                for (int k = col; k < 80; ++k) cells[row][k] = " ";
            } else if (op == 'J') {
                for (int k = col; k < 80; ++k) cells[row][k] = " ";
                for (int r = row + 1; r < 24; ++r) cells[r].assign(80, " ");
            }
            i = j + 1;
        } else if (c == '\r') {
            col = 0;
            ++i;
        } else if (c == '\n') {
            row = std::min(row + 1, 23);
            ++i;
        } else {
            std::size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
            const std::string ch = out.substr(i, n);
            const int w = static_cast<int>(monitor::display_width(ch));
            if (col + w <= 80) {
                cells[row][col] = ch;
                if (w == 2) cells[row][col + 1] = "";
            }
            col += w;
            i += n;
        }
    }
    std::vector<std::string> lines;
    for (const auto& r : cells) {
        std::string l;
        for (const auto& c : r) l += c;
        while (!l.empty() && l.back() == ' ') l.pop_back();
        lines.push_back(l);
    }
    return lines;
}

// Scenario values that floats hold exactly, no drift, so every cycle serves them as sent.
std::string flat_scenario(const std::string& dc_v, const std::string& ia) {
    return R"({"ac": {"units": [{"channels": [{"a": 230.5, "b": 231.25, "c": 229.75, "f": 50.0}],
                         "ia": )" +
           ia + R"(, "ib": 11.75, "ic": 13.0}]},
              "rectifier": {"modules": 2, "value": 16.5},
              "dc": {"units": [{"v": )" +
           dc_v + R"(, "i": 48.5}]}})";
}

struct Dev {
    std::string name;
    std::string port;
    std::string scenario;  // file name in the test's folder, or empty
};

class Runner : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("ravo3-e2e-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        WriteSite({{"site-1", "/dev/null", ""}});
    }
    void TearDown() override { fs::remove_all(dir_); }

    void WriteSite(const std::vector<Dev>& devices, int timeout_ms = 1000) {
        std::ofstream f(dir_ / "site.json");
        f << "{\"history_db\": \"history.db\", \"answer_timeout_ms\": " << timeout_ms
          << ", \"devices\": [";
        for (std::size_t k = 0; k < devices.size(); ++k) {
            const unsigned id = 500 + 100 * static_cast<unsigned>(k);
            f << (k ? ", " : "") << "{\"name\": \"" << devices[k].name << "\", \"port\": \""
              << devices[k].port << "\", \"driver\": \"" << RAVO3_PLUGIN_PATH
              << "\", \"data_id\": " << id << ", \"acSetting\": [{\"data_id\": " << id + 1
              << "}], \"dcSetting\": [{\"data_id\": " << id + 2 << "}], \"rcSetting\": {}";
            if (!devices[k].scenario.empty())
                f << ", \"scenario\": \"" << devices[k].scenario << "\"";
            f << "}";
        }
        f << "]}";
    }
    void Write(const std::string& name, const std::string& text) {
        std::ofstream(dir_ / name) << text;
    }
    std::vector<std::string> Args(const std::string& extra) {
        std::vector<std::string> a = {std::string(RAVO3_BINARY_DIR) + "/ravo3-monitor", "--config",
                                      (dir_ / "site.json").string(), "--fast"};
        std::istringstream in(extra);
        for (std::string w; in >> w;) a.push_back(w);
        return a;
    }
    // Runs the runner to its end; its output and messages.
    struct Run {
        int status = -1;
        std::string out, err;
    };
    Run Monitor(const std::string& extra) {
        Child c(Args(extra), dir_ / "err.txt");
        Run r;
        r.status = c.Wait(120);
        r.out = c.Text();
        r.err = slurp(dir_ / "err.txt");
        return r;
    }
    // A ravo3-sim process on a pty of its own; its line's path.
    std::unique_ptr<Child> Simulator(const std::string& scenario, std::string& path) {
        auto c = std::make_unique<Child>(
            std::vector<std::string>{std::string(RAVO3_BINARY_DIR) + "/ravo3-sim", "--quiet",
                                     "--scenario", (dir_ / scenario).string()},
            dir_ / ("sim-" + scenario + ".err"));
        EXPECT_TRUE(c->Line(path, 30));
        return c;
    }

    static std::vector<Json::Value> Objects(const std::string& out, const std::string& type) {
        std::vector<Json::Value> v;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);) {
            if (line.empty()) continue;
            Json::Value j = parse_json(line);
            if (j["type"].asString() == type) v.push_back(j);
        }
        return v;
    }
    static const Json::Value& Unit(const Json::Value& cycle, const std::string& kind) {
        for (const auto& u : cycle["units"]) {
            if (u["kind"].asString() == kind) return u;
        }
        return Json::Value::nullSingleton();
    }
    static bool HasAlarm(const Json::Value& cycle, const std::string& code,
                         const std::string& detail) {
        for (const auto& a : cycle["alarms"]) {
            if (a["code"].asString() == code && a["detail"].asString() == detail) return true;
        }
        return false;
    }
    int HistoryRows(const fs::path& db) {
        sqlite3* h = nullptr;
        int rows = -1;
        if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_busy_timeout(h, 5000);  // the host may be writing
            sqlite3_stmt* st = nullptr;
            if (sqlite3_prepare_v2(h,
                                   "SELECT (SELECT count(*) FROM recent) + (SELECT "
                                   "coalesce(sum(count), 0) FROM chunks)",
                                   -1, &st, nullptr) == SQLITE_OK &&
                sqlite3_step(st) == SQLITE_ROW) {
                rows = sqlite3_column_int(st, 0);
            }
            sqlite3_finalize(st);
        }
        sqlite3_close(h);
        return rows;
    }

    fs::path dir_;
};

const char* kEvents = R"({
  "ac": {"units": [{"channels": [{"a": 230.5, "b": 231.25, "c": 229.75, "f": 50.0}],
                    "ia": 12.5, "ib": 11.75, "ic": 13.0}]},
  "rectifier": {"modules": 2, "value": 16.5},
  "dc": {"units": [{"v": 53.25, "i": 48.5}]},
  "events": [
    {"at_cycle": 2, "do": "set", "target": "ac_channel", "phase": "b", "state": 2},
    {"at_cycle": 2, "do": "add_module", "value": 12.0},
    {"at_cycle": 4, "do": "clear", "target": "ac_channel", "phase": "b"}
  ]
})";

}  // namespace

// Two devices, each with its simulated unit on a pty of its own: both polled,
// each with its own values, every line valid JSON, and the site's own history
// left alone.
TEST_F(Runner, SimulatesEveryDeviceOnItsOwnLine) {
    Write("a.json", flat_scenario("53.52", "12.5"));
    Write("b.json", flat_scenario("48.25", "7.5"));
    WriteSite({{"room-a", "/dev/ttyUSB7", "a.json"}, {"room-b", "/dev/ttyUSB8", "b.json"}});
    const Run r = Monitor("--simulate --json --cycles 3");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::regex iso(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)");
    struct Want {
        std::string device;
        float v, ia;
    };
    std::set<std::string> ports;
    for (const Want& w : {Want{"room-a", 53.52f, 12.5f}, Want{"room-b", 48.25f, 7.5f}}) {
        SCOPED_TRACE(w.device);
        std::vector<Json::Value> cycles;
        for (const auto& c : Objects(r.out, "cycle")) {
            if (c["device"].asString() == w.device) cycles.push_back(c);
        }
        ASSERT_EQ(cycles.size(), 3u) << r.out;
        for (std::size_t k = 0; k < cycles.size(); ++k) {
            const auto& c = cycles[k];
            EXPECT_EQ(c["cycle"].asUInt64(), k + 1);
            EXPECT_TRUE(std::regex_match(c["time"].asString(), iso)) << c["time"].asString();
            EXPECT_EQ(c["line"]["state"].asString(), "answering");
            EXPECT_EQ(Unit(c, "dc")["values"]["v"].asFloat(), w.v);
            EXPECT_EQ(Unit(c, "ac")["values"]["ia"].asFloat(), w.ia);
            EXPECT_EQ(Unit(c, "ac")["values"]["channel_0_b"].asFloat(), 231.25f);
            EXPECT_EQ(Unit(c, "rc")["values"]["module_count"].asFloat(), 2.0f);
            EXPECT_FALSE(Unit(c, "dc")["replayed"].asBool());
            ports.insert(c["port"].asString());
        }
        EXPECT_EQ(cycles[0]["period_seconds"].asDouble(), 0.0);
        EXPECT_GT(cycles[2]["period_seconds"].asDouble(), 0.0);
    }
    EXPECT_EQ(ports.size(), 2u);
    // The float as the unit sent it, not the double widened from it.
    EXPECT_NE(r.out.find("\"v\":53.52,"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("53.5200"), std::string::npos);
    EXPECT_EQ(Objects(r.out, "status").size(), 2u) << "each line: answering";
    EXPECT_FALSE(fs::exists(dir_ / "history.db")) << "a simulated run has a database of its own";
    EXPECT_NE(r.err.find("simulated unit on /dev/pts/"), std::string::npos) << r.err;
}

TEST_F(Runner, ServesTheScenarioValuesAndTheAlarmsOfEachCycle) {
    Write("scenario.json", kEvents);
    const Run r = Monitor("--simulate --json --cycles 6 --db " + (dir_ / "h.db").string());
    ASSERT_EQ(r.status, 0) << r.err;
    const auto cycles = Objects(r.out, "cycle");
    ASSERT_EQ(cycles.size(), 6u) << r.out;
    // Phase BC too high from cycle 2, cleared in cycle 4: in the very cycle
    // whose answers carried it.
    const std::string detail = "交流屏1输入线/相电压BC/B";
    const bool want[] = {false, true, true, false, false, false};
    for (std::size_t k = 0; k < cycles.size(); ++k) {
        EXPECT_EQ(HasAlarm(cycles[k], "06014", detail), want[k]) << "cycle " << k + 1;
    }
    // The module added in cycle 2 is refused twice, then taken with the new count.
    EXPECT_EQ(Unit(cycles[0], "rc")["values"]["module_count"].asFloat(), 2.0f);
    EXPECT_EQ(Unit(cycles[1], "rc")["values"]["module_count"].asFloat(), 3.0f);
    EXPECT_EQ(Unit(cycles[5], "rc")["values"]["module_3_value"].asFloat(), 12.0f);
    EXPECT_NE(r.err.find("read 41_41 channel_count changed 2 -> 3"), std::string::npos);
    EXPECT_EQ(HistoryRows(dir_ / "h.db"), 18) << "three unit records a cycle";
}

// Raw bytes of a foreign model reach the alarm text; the JSON stays UTF-8.
TEST_F(Runner, ForeignModelBytesStayValidUtf8) {
    Write("scenario.json", "{\"model\": \"XR\xff\xfe-77\"}");
    const Run r = Monitor("--simulate --json --cycles 1");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(valid_utf8(r.out));
    const auto cycles = Objects(r.out, "cycle");
    ASSERT_EQ(cycles.size(), 1u);
    bool found = false;
    for (const auto& a : cycles[0]["alarms"]) {
        if (a["code"].asString() != "70319") continue;
        found = true;
        EXPECT_EQ(a["name"].asString(), "设备配置检测");
        EXPECT_NE(a["detail"].asString().find("XR\xEF\xBF\xBD\xEF\xBF\xBD-77"), std::string::npos)
            << a["detail"].asString();
    }
    EXPECT_TRUE(found) << r.out;
}

TEST_F(Runner, RecoversFromAFaultyLineAndStoresEveryFinishedCycle) {
    WriteSite({{"site-1", "/dev/null", ""}}, 100);
    Write("scenario.json", R"({"faults": {"seed": 5,
        "drop": {"cycles": [1, 3], "command": "41/41"},
        "corrupt_checksum": {"cycles": [2], "command": "42/41"},
        "truncate": {"cycles": [2], "command": "40/41"},
        "garbage": {"every": 4}}})");
    const Run r = Monitor("--simulate --json --cycles 4 --db " + (dir_ / "h.db").string());
    ASSERT_EQ(r.status, 0) << r.err;
    const auto cycles = Objects(r.out, "cycle");
    ASSERT_EQ(cycles.size(), 4u) << r.out << r.err;
    const auto& frames = cycles.back()["frames"];
    EXPECT_GE(frames["timeouts"].asUInt64(), 2u);
    EXPECT_GE(frames["checksum_errors"].asUInt64(), 1u);
    EXPECT_GE(frames["truncated"].asUInt64() + frames["timeouts"].asUInt64(), 3u);
    EXPECT_GE(frames["garbage_runs"].asUInt64(), 1u);
    EXPECT_EQ(HistoryRows(dir_ / "h.db"), 12);
}

// A restart against a dead port: the stored values are shown, marked as
// replayed, and the run ends with status 1 since no cycle completed.
TEST_F(Runner, RestartShowsReplayedValuesAndADeadPort) {
    Write("scenario.json", flat_scenario("53.25", "12.5"));
    const std::string db = "--db " + (dir_ / "h.db").string();
    ASSERT_EQ(Monitor("--simulate --json --cycles 2 " + db).status, 0);
    const Run r = Monitor("--port /nonexistent-ravo3-port --duration 1 " + db);
    EXPECT_EQ(r.status, 1) << r.err;
    for (const char* want :
         {"REPLAYED values, stored", "AC 501  A 12.5 A  B 11.8 A  C 13.0 A",
          "Channel 1  AB/A 230.5 V  BC/B 231.2 V  CA/C 229.8 V  f 50.00 Hz",
          "Voltage 53.25 V  Current 48.5 A", "RC 500  Group", "Modules 2", "Module 2  Value"}) {
        EXPECT_NE(r.out.find(want), std::string::npos) << want << "\n" << r.out;
    }
    EXPECT_NE(r.err.find("3 stored unit records replayed"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("/nonexistent-ravo3-port does not exist"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("0 cycles completed"), std::string::npos) << r.err;
}

// Lines that never deliver: a status object says why, with what to do, and
// --cycles gives up at its deadline with status 1.
TEST_F(Runner, DeadLinesEndWithStatusOne) {
    struct Case {
        std::string port;
        std::string state, hint;
    };
    const Case cases[] = {
        {"/nonexistent-ravo3-port", "port_missing", "does not exist"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        WriteSite({{"site-1", c.port, ""}});
        const Run r = Monitor("--json --cycles 1 --timeout 2");
        EXPECT_EQ(r.status, 1) << r.err;
        const auto status = Objects(r.out, "status");
        ASSERT_FALSE(status.empty()) << r.out;
        EXPECT_EQ(status[0]["line"]["state"].asString(), c.state);
        EXPECT_NE(status[0]["hint"].asString().find(c.hint), std::string::npos)
            << status[0].toStyledString();
        EXPECT_NE(r.err.find("0 cycles completed of 1 within the 2 s of --timeout"),
                  std::string::npos)
            << r.err;
    }
}

// One unit stops answering and comes back: a status object at each change,
// the other line unaffected, and --cycles still completes.
TEST_F(Runner, ALineThatStopsAndResumesIsReported) {
    Write("a.json", flat_scenario("53.25", "12.5"));
    Write("b.json", flat_scenario("48.25", "7.5"));
    std::string pa, pb;
    auto sim_a = Simulator("a.json", pa);
    auto sim_b = Simulator("b.json", pb);
    // The default answer time-out: at 50 ms a loaded machine made room-b's
    // unit miss several in a row before its first cycle, a true report that
    // this test took for a fault.
    WriteSite({{"room-a", pa, ""}, {"room-b", pb, ""}});
    Child runner(Args("--json --cycles 5 --timeout 200"), dir_ / "err.txt");
    std::vector<std::string> b_states;
    std::map<std::string, int> cycles;
    bool stopped = false;
    for (std::string line; runner.Line(line, 60);) {
        const Json::Value j = parse_json(line);
        const std::string device = j["device"].asString();
        if (j["type"].asString() == "cycle") {
            ++cycles[device];
            // The other line's values never come under this name.
            EXPECT_EQ(Unit(j, "dc")["values"]["v"].asFloat(), device == "room-a" ? 53.25f : 48.25f);
        } else if (device == "room-b") {
            b_states.push_back(j["line"]["state"].asString());
            if (b_states.back() == "not_answering") {
                EXPECT_NE(j["hint"].asString().find("answered before"), std::string::npos) << line;
                sim_b->Signal(SIGCONT);
            }
        }
        if (!stopped && device == "room-b" && cycles[device] == 2) {
            sim_b->Signal(SIGSTOP);
            stopped = true;
        }
    }
    EXPECT_EQ(runner.Wait(60), 0) << slurp(dir_ / "err.txt");
    EXPECT_EQ(b_states, (std::vector<std::string>{"answering", "not_answering", "answering"}));
    EXPECT_EQ(cycles["room-a"], 5);
    EXPECT_EQ(cycles["room-b"], 5);
}

// The live view on a terminal of 80x24: both devices, the stopped line's
// state in words, every line within the screen; --cycles then gives up.
TEST_F(Runner, LiveViewShowsAStoppedLineAt80x24) {
    Write("a.json", flat_scenario("53.25", "12.5"));
    Write("b.json", flat_scenario("48.25", "7.5"));
    std::string pa, pb;
    auto sim_a = Simulator("a.json", pa);
    auto sim_b = Simulator("b.json", pb);
    sim_b->Signal(SIGSTOP);
    WriteSite({{"room-a", pa, ""}, {"room-b", pb, ""}}, 50);
    Child runner(Args("--cycles 3 --timeout 12"), dir_ / "err.txt", true);
    std::vector<std::string> screen;
    const bool seen = runner.ReadUntil(
        [&](const std::string& out) {
            const auto at = out.rfind("\033[H");
            if (at == std::string::npos || out.find("\033[J", at) == std::string::npos) {
                return false;
            }
            screen = screen_of(out.substr(at));
            bool a = false, b = false;
            for (const auto& l : screen) {
                a |= l.rfind("room-a  " + pa + "  answering, last cycle", 0) == 0;
                b |= l.rfind("room-b  " + pb + "  NOT ANSWERING since", 0) == 0;
            }
            return a && b;
        },
        60);
    std::string shown;
    for (const auto& l : screen) shown += l + "\n";
    ASSERT_TRUE(seen) << shown;
    std::printf("%s", shown.c_str());  // the screen, for the record
    EXPECT_TRUE(std::regex_match(
        screen[0], std::regex(R"(ravo3-monitor  \d\d:\d\d:\d\d  2 devices  site.json)")))
        << screen[0];
    bool values = false, hint = false, alarms = false;
    for (const auto& l : screen) {
        EXPECT_LE(monitor::display_width(l), 80u) << l;
        values |= l.find("DC 502  Voltage 53.25 V  Current 48.5 A") != std::string::npos;
        hint |= l.rfind("  ! no answer from the monitoring unit on " + pb, 0) == 0;
        alarms |= l.rfind("Active alarms (", 0) == 0;
    }
    EXPECT_TRUE(values && hint && alarms) << shown;
    EXPECT_EQ(runner.Wait(60), 1);
    sim_b->Signal(SIGCONT);
}

// Every way to be told to stop ends as cleanly as Ctrl-C: lines stopped,
// history written, a last message, status 0 with data.
TEST_F(Runner, SignalsAndAClosedOutputStopCleanly) {
    Write("scenario.json", flat_scenario("53.25", "12.5"));
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        SCOPED_TRACE(sig);
        fs::remove(dir_ / "h.db");
        Child runner(Args("--simulate --json --db " + (dir_ / "h.db").string()), dir_ / "err.txt");
        std::string line;
        ASSERT_TRUE(runner.ReadUntil(
            [](const std::string& t) { return t.find("\"type\":\"cycle\"") != std::string::npos; },
            60));
        if (sig == SIGPIPE) {
            runner.CloseOutput();  // as `--json | head -1` does
        } else {
            runner.Signal(sig);
        }
        EXPECT_EQ(runner.Wait(60), 0);
        const std::string err = slurp(dir_ / "err.txt");
        EXPECT_NE(err.find(sig == SIGPIPE ? "(standard output closed)" : "(signal "),
                  std::string::npos)
            << err;
        EXPECT_GE(HistoryRows(dir_ / "h.db"), 3);
        // Log lines carry their time.
        EXPECT_TRUE(std::regex_search(
            err, std::regex(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d ravo3-monitor: )")))
            << err;
    }
}

TEST_F(Runner, CheckNamesEveryProblemWithItsPath) {
    struct Case {
        std::string site;
        int status;
        std::vector<std::string> messages;
    };
    const std::string dev = std::string(R"("name": "x", "port": "/dev/ttyUSB0", "driver": ")") +
                            RAVO3_PLUGIN_PATH + R"(", "data_id": 1)";
    const Case cases[] = {
        {"{\"devices\": [{" + dev + R"(, "rcSetting": {}}]})", 0, {"OK, 1 device (1 enabled)"}},
        {"{\"devices\": [{" + dev + R"(, "rcSetting": {},}]})", 1, {"not valid JSON"}},
        {"{\"devices\": [{" + dev + R"(, "rcSetting": {}, "acSetting": [{"data_id": 2},
            {"data-id": 3, "appSetting": {"diff_v": "x"}}]}]})",
         1,
         {"devices[0].acSetting[1].data_id: is missing",
          R"(devices[0].acSetting[1].data-id: is not a known key; did you mean "data_id"?)",
          "devices[0].acSetting[1].appSetting.diff_v: must be a number", "3 problems"}},
        {"{\"devices\": [{" + dev + "}]}",
         1,
         {"devices[0].rcSetting: is missing", "devices[0]: not loaded: ", "refused the settings"}},
        {R"({"http": {"listen": 5}, "devices": [{)" + dev + R"(, "rcSetting": {}}]})",
         1,
         {R"("http"."listen")"}},
        {"{\"poll_period_ms\": 1, \"devices\": [{" + dev + R"(, "adress": 2, "rcSetting": {}}]})",
         1,
         {"poll_period_ms: must be an integer from 5 to 10000",
          R"(devices[0].adress: is not a known key; did you mean "address"?)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.site);
        Write("site.json", c.site);
        const Run r = Monitor("--check");
        EXPECT_EQ(r.status, c.status) << r.err;
        for (const auto& m : c.messages) {
            EXPECT_NE((r.out + r.err).find(m), std::string::npos) << m << "\n" << r.err;
        }
    }
}

TEST_F(Runner, UsageHelpVersionAndTheSiteFileItLooksFor) {
    struct Case {
        std::string args;
        int status;
        std::string message;
    };
    WriteSite({{"a", "/dev/ttyUSB7", ""}, {"b", "/dev/ttyUSB8", ""}});
    const Case cases[] = {
        {"--cycles zero", 2, "--cycles needs a positive number"},
        {"--cycles 1.5", 2, "--cycles needs a whole number"},
        {"--nonsense", 2, "unknown option '--nonsense'"},
        {"--simulate --port /dev/ttyS0", 2, "exclude each other"},
        {"--port /dev/ttyS0 --cycles 1", 2, "has 2 devices"},
        {"--timeout 5", 2, "--timeout is for --cycles"},
        {"--help", 0, "Exit status:"},
        {"--version", 0, "ravo3-monitor "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const Run r = Monitor(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE((r.out + r.err).find(c.message), std::string::npos) << r.out << r.err;
    }
    // Without --config: ./site.json, then /etc/ravo3/site.json.
    const std::string cmd =
        "cd " + dir_.string() + "/.. && " + RAVO3_BINARY_DIR + "/ravo3-monitor --check 2>&1";
    if (!fs::exists("/etc/ravo3/site.json") && !fs::exists(dir_.parent_path() / "site.json")) {
        FILE* p = ::popen(cmd.c_str(), "r");
        std::string out;
        char buf[512];
        while (std::fgets(buf, sizeof buf, p)) out += buf;
        EXPECT_EQ(WEXITSTATUS(::pclose(p)), 1);
        EXPECT_NE(
            out.find("no site file: looked for " + (dir_.parent_path() / "site.json").string() +
                     " and /etc/ravo3/site.json"),
            std::string::npos)
            << out;
    }
}

// ravo3d reading its site file again on SIGHUP while its lines run on ptys
// to simulators, and `ravo3d --check` finding what would break a start.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <json/reader.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "sim/Server.h"
#include "tests/support/NotifySocket.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The AC channel's BC voltage state 2 raises an alarm on every unit.
const char* const kScenario = R"({
  "ac": {"units": [{"channels": [{"a": 230.5, "b": 231.25, "c": 229.75, "f": 50.0,
                                  "states": [0, 2, 0, 0]}]}]},
  "rectifier": {"modules": [{"value": 16.5}]},
  "dc": {"units": [{"v": 53.52, "i": 48.5}]}
})";

std::string device(const std::string& name, const std::string& port, int id,
                   const std::string& extra = "") {
    return R"({"name": ")" + name + R"(", "port": ")" + port + R"(", "data_id": )" +
           std::to_string(id) + R"(, "acSetting": [{"data_id": )" + std::to_string(id + 1) +
           R"(}], "dcSetting": [{"data_id": )" + std::to_string(id + 2) + R"(}], "rcSetting": {})" +
           extra + "}";
}

std::string read_file(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Asks again until `ok` holds or the deadline passes; the pause between two
// looks only spares the processor.
bool eventually(const std::function<bool()>& ok,
                std::chrono::seconds limit = std::chrono::seconds(30)) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (ok()) return true;
        ::poll(nullptr, 0, 50);
    }
    return ok();
}

class DaemonReload : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("ravo3-reload-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        fs::remove_all(dir_);
    }
    void WriteSite(const std::string& devices) {
        std::ofstream(dir_ / "site.json.new")
            << R"({"poll_period_ms": 20, "http": {"listen": "127.0.0.1:0"}, "devices": [)"
            << devices << "]}";
        fs::rename(dir_ / "site.json.new", dir_ / "site.json");  // whole, as an editor saves
    }
    void Spawn() {
        std::vector<std::string> env = {"NOTIFY_SOCKET=" + (dir_ / "notify").string()};
        for (char** e = environ; *e; ++e) {
            if (std::strncmp(*e, "NOTIFY_SOCKET=", 14) && std::strncmp(*e, "WATCHDOG_", 9)) {
                env.push_back(*e);
            }
        }
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        std::string a0 = std::string(RAVO3_BINARY_DIR) + "/ravo3d", a1 = "--config",
                    a2 = (dir_ / "site.json").string();
        char* argv[] = {a0.data(), a1.data(), a2.data(), nullptr};
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 2, Log().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_EQ(posix_spawn(&pid_, a0.c_str(), &fa, nullptr, argv, envp.data()), 0);
        posix_spawn_file_actions_destroy(&fa);
    }
    std::string Log() const { return (dir_ / "ravo3d.log").string(); }
    // A log line holding `text`, after the first `skip` such lines.
    std::string LogLine(const std::string& text, int skip = 0) {
        std::istringstream lines(read_file(Log()));
        for (std::string line; std::getline(lines, line);) {
            if (line.find(text) != std::string::npos && skip-- == 0) return line;
        }
        return std::string();
    }
    Json::Value Get(const std::string& path) {
        Json::Value v;
        if (port_ == 0) {
            std::smatch m;
            const std::string log = read_file(Log());
            if (!std::regex_search(log, m, std::regex(R"(HTTP API on http://127\.0\.0\.1:(\d+))")))
                return v;
            port_ = std::stoi(m[1].str());
        }
        httplib::Client c("127.0.0.1", port_);
        auto r = c.Get(path);
        if (!r || r->status != 200) return v;
        std::istringstream in(r->body);
        Json::CharReaderBuilder b;
        std::string errs;
        Json::parseFromStream(b, in, &v, &errs);
        return v;
    }
    Json::Value Device(const std::string& name) {
        const Json::Value all = Get("/api/v1/devices");
        for (const auto& d : all["devices"]) {
            if (d["name"].asString() == name) return d;
        }
        return Json::Value();
    }
    std::vector<std::string> Names(const std::string& path, const char* list, const char* key) {
        std::vector<std::string> out;
        const Json::Value all = Get(path);
        for (const auto& d : all[list]) out.push_back(d[key].asString());
        return out;
    }
    // The `since` of each standing alarm of `name`.
    std::vector<std::string> AlarmsOf(const std::string& name) {
        std::vector<std::string> out;
        const Json::Value all = Get("/api/v1/alarms");
        for (const auto& a : all["alarms"]) {
            if (a["device"].asString() == name) out.push_back(a["since"].asString());
        }
        return out;
    }

    fs::path dir_;
    pid_t pid_ = -1;
    int port_ = 0;
};

TEST_F(DaemonReload, SighupAddsRemovesAndKeepsDevicesAndRefusesABadFile) {
    std::vector<std::unique_ptr<sim::Server>> sims;
    for (int i = 0; i < 3; ++i) {
        sims.push_back(std::make_unique<sim::Server>(sim::ParseScenario(kScenario)));
        ASSERT_TRUE(sims.back()->Start()) << sims.back()->Error();
    }
    // Two units on one line, at addresses 1 and 2.
    std::vector<sim::Scenario> units(2, sim::ParseScenario(kScenario));
    units[1].address = 2;
    sims.push_back(std::make_unique<sim::Server>(units, sim::ServerOptions{}));
    ASSERT_TRUE(sims.back()->Start()) << sims.back()->Error();
    const std::string kept =
        device("kept", sims[0]->Path(), 500, R"(, "driver": ")" RAVO3_PLUGIN_PATH R"(")") + ", " +
        device("shared", sims[3]->Path(), 800);
    WriteSite(kept + ", " + device("gone", sims[1]->Path(), 600));
    testing_support::NotifySocket notify(dir_ / "notify");
    Spawn();
    ASSERT_TRUE(notify.WaitFor("READY=1", std::chrono::seconds(30)));
    ASSERT_TRUE(eventually([&] {
        return Device("kept")["cycles"].asUInt64() >= 2 && !AlarmsOf("kept").empty() &&
               !AlarmsOf("gone").empty();
    })) << read_file(Log());
    const Json::Value before = Device("kept");
    const Json::Value shared_before = Device("shared");
    const std::vector<std::string> alarms_before = AlarmsOf("kept");

    // A second unit joins the shared line: its thread is rebuilt.
    WriteSite(kept + ", " + device("added", sims[2]->Path(), 700) + ", " +
              device("joined", sims[3]->Path(), 900, R"(, "address": 2)"));
    ASSERT_EQ(::kill(pid_, SIGHUP), 0);
    ASSERT_TRUE(notify.WaitFor("RELOADING=1", std::chrono::seconds(30)));
    ASSERT_TRUE(notify.WaitFor("READY=1", std::chrono::seconds(30)));
    const std::string line = LogLine("reloaded ");
    EXPECT_NE(line.find(R"(added "added")"), std::string::npos) << line;
    EXPECT_NE(line.find(R"(removed "gone")"), std::string::npos) << line;
    EXPECT_NE(line.find(R"(kept "kept";)"), std::string::npos) << line;
    EXPECT_NE(line.find(R"(kept with their line reopened "shared")"), std::string::npos) << line;
    EXPECT_NE(line.find("standing alarm"), std::string::npos) << line;

    // The kept device ran on: the same line state since before, the port
    // never reopened, its cycles counted on, its alarm standing since before.
    ASSERT_TRUE(eventually([&] {
        return Device("kept")["cycles"].asUInt64() > before["cycles"].asUInt64() + 1 &&
               Device("shared")["cycles"].asUInt64() > shared_before["cycles"].asUInt64() &&
               Device("added")["cycles"].asUInt64() >= 1 &&
               Device("joined")["cycles"].asUInt64() >= 1;
    })) << read_file(Log());
    const Json::Value after = Device("kept");
    EXPECT_EQ(after["line"]["state"].asString(), "answering");
    EXPECT_EQ(after["line"]["since"], before["line"]["since"]);
    EXPECT_EQ(after["port_opens"], before["port_opens"]);
    EXPECT_EQ(AlarmsOf("kept"), alarms_before);
    // The shared line's kept device: its port opened once more, nothing else.
    EXPECT_EQ(Device("shared")["port_opens"].asUInt64(),
              shared_before["port_opens"].asUInt64() + 1);
    EXPECT_EQ(Device("shared")["line"]["since"], shared_before["line"]["since"]);
    // The removed device is gone from the host, the site view and the alarms.
    EXPECT_EQ(Names("/api/v1/devices", "devices", "name"),
              (std::vector<std::string>{"kept", "shared", "added", "joined"}));
    EXPECT_TRUE(eventually([&] {
        const auto shown = Names("/api/v1/values", "devices", "device");
        return std::find(shown.begin(), shown.end(), "gone") == shown.end() &&
               std::find(shown.begin(), shown.end(), "added") != shown.end();
    }));
    EXPECT_TRUE(AlarmsOf("gone").empty());

    // A file with a problem is refused with --check's message; the site runs on.
    WriteSite(kept + ", " + device("added", sims[2]->Path(), 700, R"(, "adress": 2)"));
    ASSERT_EQ(::kill(pid_, SIGHUP), 0);
    ASSERT_TRUE(notify.WaitFor("RELOADING=1", std::chrono::seconds(30)));
    ASSERT_TRUE(notify.WaitFor("READY=1", std::chrono::seconds(30)));
    EXPECT_NE(LogLine(R"(devices[2].adress: is not a known key; did you mean "address"?)"), "");
    EXPECT_NE(LogLine("reload refused: "), "") << read_file(Log());
    const std::uint64_t cycles = Device("kept")["cycles"].asUInt64();
    EXPECT_TRUE(eventually([&] { return Device("kept")["cycles"].asUInt64() > cycles; }));
    EXPECT_EQ(Names("/api/v1/devices", "devices", "name"),
              (std::vector<std::string>{"kept", "shared", "added", "joined"}));

    ASSERT_EQ(::kill(pid_, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid_, &status, 0), pid_);
    pid_ = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(DaemonReload, CheckFindsWhatWouldBreakAStart) {
    std::ofstream(dir_ / "text.so") << "not a library\n";
    fs::create_directories(dir_ / "drv");
    fs::create_symlink(RAVO3_PLUGIN_PATH, dir_ / "drv" / "ravo3.so");
    const std::string plugin = R"(, "driver": ")" RAVO3_PLUGIN_PATH R"(")";
    const std::string text_so = (dir_ / "text.so").string();
    const struct {
        std::string args;
        std::string devices;  // empty: no site file written
        int status;
        std::vector<std::string> messages;
    } cases[] = {
        {"", device("a", "/dev/ttyS9", 1, plugin), 0, {"OK, 1 device (1 enabled)"}},
        // The ravo3.so beside the program stands in only for a device without "driver".
        {"", device("a", "/dev/ttyS9", 1), 0, {"OK, 1 device"}},
        {"",
         device("a", "/dev/ttyS9", 1, R"(, "driver": "/nonexistent/ravo3.so")"),
         1,
         {"devices[0]: not loaded: ",
          "cannot load driver /nonexistent/ravo3.so: there is no such file", "1 problem"}},
        {"",
         device("a", "/dev/ttyS9", 1, R"(, "driver": ")" + text_so + "\""),
         1,
         {"cannot load driver " + text_so + ": "}},
        // Relative paths from the site file's folder.
        {"",
         device("a", "ttyNone", 1, R"(, "driver": "drv/ravo3.so")"),
         0,
         {"note: device \"a\": " + (dir_ / "ttyNone").string() + " does not exist", "OK"}},
        // One line, two units: their addresses tell them apart.
        {"",
         device("a", "/dev/ttyS9", 1, plugin) + ", " + device("b", "/dev/ttyS9", 10, plugin),
         1,
         {"devices[1].address: address 1 on /dev/ttyS9 is already devices[0]'s"}},
        {"",
         device("a", "/dev/ttyS9", 1, plugin) + ", " +
             device("b", "/dev/ttyS9", 10, plugin + R"(, "address": 2)"),
         0,
         {"OK, 2 devices (2 enabled)"}},
        {"",
         device("a", "/dev/ttyS9", 1, plugin + R"(, "enabled": false)"),
         1,
         {"none is enabled"}},
        {"--config /nonexistent/site.json", "", 1, {"/nonexistent/site.json: cannot be read"}},
        {"--bogus", "", 2, {"unknown argument \"--bogus\"", "Usage: ravo3d"}},
        {"--config", "", 2, {"--config needs a value"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args + " " + c.devices);
        if (!c.devices.empty()) WriteSite(c.devices);
        const std::string cmd =
            std::string(RAVO3_BINARY_DIR) + "/ravo3d --check " +
            (c.args.empty() ? "--config " + (dir_ / "site.json").string() : c.args) + " 2>&1";
        FILE* p = ::popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr);
        std::string out;
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
        const int rc = ::pclose(p);
        EXPECT_EQ(WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, c.status) << out;
        for (const auto& m : c.messages)
            EXPECT_NE(out.find(m), std::string::npos) << m << "\n" << out;
        // Usage, when it is due, once.
        std::size_t usages = 0;
        for (auto at = out.find("Usage:"); at != std::string::npos; at = out.find("Usage:", at + 1))
            ++usages;
        EXPECT_EQ(usages, c.status == 2 ? 1u : 0u) << out;
    }
}

}  // namespace

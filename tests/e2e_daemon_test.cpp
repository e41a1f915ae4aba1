// ravo3d as systemd runs it: a separate process on a pty to the simulator,
// NOTIFY_SOCKET and WATCHDOG_USEC set, asked by ravo3c, stopped by SIGTERM.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "sim/Server.h"
#include "tests/support/NotifySocket.h"
#include "tests/support/RawHttp.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

using testing_support::NotifySocket;

struct Ran {
    int status = -1;
    std::string out;
};

Ran run(const std::string& cmd) {
    Ran r;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int rc = ::pclose(p);
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return r;
}

const char* const kScenario = R"({
  "ac": {"units": [{"channels": [{"a": 230.5, "b": 231.25, "c": 229.75, "f": 50.0,
                                  "states": [0, 2, 0, 0]}],
                    "ia": 12.5, "ib": 11.75, "ic": 13.0}]},
  "rectifier": {"modules": [{"value": 16.5}]},
  "dc": {"units": [{"v": 53.52, "i": 48.5}]}
})";

TEST(Daemon, NotifiesServesAndStopsOnSigterm) {
    const fs::path dir = fs::temp_directory_path() / ("ravo3-daemon-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    sim::Server sim(sim::ParseScenario(kScenario));
    ASSERT_TRUE(sim.Start()) << sim.Error();
    std::ofstream(dir / "token") << "t0ken\n";
    std::ofstream(dir / "site.json")
        << R"({"history_db": "history.db", "poll_period_ms": 20,
               "http": {"listen": "127.0.0.1:0", "token_file": "token"},
               "devices": [{"name": "site-1", "port": ")"
        << sim.Path() << R"(", "driver": ")" RAVO3_PLUGIN_PATH R"(", "data_id": 500,
               "acSetting": [{"data_id": 501}], "dcSetting": [{"data_id": 502}], "rcSetting": {}},
              {"name": "room\n2026-12-08T00:00:00+00:00 ravo3d: forged\u001b[2J",
               "port": "/nonexistent/ttyX", "driver": ")" RAVO3_PLUGIN_PATH R"(", "data_id": 600,
               "acSetting": [{"data_id": 601}], "dcSetting": [{"data_id": 602}], "rcSetting": {}}]})";
    NotifySocket notify(dir / "notify");

    const std::string daemon = std::string(RAVO3_BINARY_DIR) + "/ravo3d";
    const std::string config = (dir / "site.json").string();
    const std::string log = (dir / "ravo3d.log").string();
    std::vector<std::string> env = {"NOTIFY_SOCKET=" + (dir / "notify").string(),
                                    "WATCHDOG_USEC=400000"};
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "NOTIFY_SOCKET=", 14) && std::strncmp(*e, "WATCHDOG_", 9) &&
            std::strncmp(*e, "JOURNAL_STREAM=", 15)) {
            env.push_back(*e);
        }
    }
    std::vector<char*> envp, argv;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string a0 = daemon, a1 = "--config", a2 = config, a3 = "--driver-log",
                a4 = (dir / "driver.log").string();
    argv = {a0.data(), a1.data(), a2.data(), a3.data(), a4.data(), nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, daemon.c_str(), &fa, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&fa);

    // READY once the lines and the listener run; pings follow while the line lives.
    ASSERT_TRUE(notify.WaitFor("READY=1", std::chrono::seconds(30)));
    // The site view may not have taken the lines in yet: the count follows.
    EXPECT_NE(notify.messages.back().find("\nSTATUS="), std::string::npos);
    ASSERT_TRUE(notify.WaitFor("WATCHDOG=1", std::chrono::seconds(10)));
    ASSERT_TRUE(
        notify.WaitFor("STATUS=2 lines: answering 1, port_missing 1", std::chrono::seconds(30)));

    std::ifstream in(log);
    std::stringstream logged;
    logged << in.rdbuf();
    std::smatch m;
    const std::string text = logged.str();
    ASSERT_TRUE(std::regex_search(text, m, std::regex(R"(HTTP API on (http://127\.0\.0\.1:\d+))")))
        << text;
    // Every line is one entry with its time: a device name cannot forge one.
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(std::regex_search(
            line, std::regex(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d ravo3d: )")))
            << line;
        EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
    }
    EXPECT_NE(text.find("room\\n2026-12-08T00:00:00+00:00 ravo3d: forged\\x1b[2J"),
              std::string::npos)
        << text;
    const std::string client = std::string(RAVO3_BINARY_DIR) + "/ravo3c --url " + m[1].str() +
                               " --token-file " + (dir / "token").string() + " ";
    const struct {
        std::string args;
        int status;
        std::vector<std::string> contains;
    } cases[] = {
        {"devices", 0, {"site-1", "answering"}},
        {"values site-1", 0, {"channel_0_b", "231.25", "53.52", "module_1_value", "16.5"}},
        {"alarms", 0, {"06014", "交流屏1输入线/相电压BC/B"}},
        {"events --since 2000-01-01", 0, {"raised", "06014", "40/44", ", 40/44 at ", ": 7E"}},
        {"history 502 --from 2000-01-01 --to 2100-01-01", 0, {"ravo3-dc", "53.52"}},
        {"--json values", 0, {"\"v\":53.52"}},
        {"values elsewhere", 1, {}},
        {"history 502", 2, {}},
        {"frobnicate", 2, {}},
    };
    for (const auto& k : cases) {
        const Ran r = run(client + k.args + " 2>/dev/null");
        EXPECT_EQ(r.status, k.status) << k.args << "\n" << r.out;
        for (const auto& c : k.contains) {
            EXPECT_NE(r.out.find(c), std::string::npos) << k.args << ": " << c << "\n" << r.out;
        }
    }
    const Ran unauthorised =
        run(std::string(RAVO3_BINARY_DIR) + "/ravo3c --url " + m[1].str() + " alarms 2>&1");
    EXPECT_EQ(unauthorised.status, 1);
    EXPECT_NE(unauthorised.out.find("bearer token"), std::string::npos) << unauthorised.out;

    // Hostile clients against the daemon itself: more idle and half-sent
    // connections than it has workers, and a flood of header lines without a
    // token; a request with the token is answered throughout.
    {
        const int port = std::stoi(m[1].str().substr(m[1].str().rfind(':') + 1));
        std::vector<std::unique_ptr<testing_support::RawHttp>> held;
        for (int i = 0; i < 40; ++i) {
            held.push_back(std::make_unique<testing_support::RawHttp>(port));
            if (i % 2) held.back()->Send("GET /api/v1/values HTTP/1.1\r\nHost: x\r\n");
        }
        testing_support::RawHttp flood(port);
        std::string lines = "GET /api/v1/values HTTP/1.1\r\nHost: x\r\n";
        while (lines.size() < 4 * 1024 * 1024) lines += "X: y\r\n";
        flood.Send(lines);
        EXPECT_EQ(testing_support::status_of(flood.Answer()), 431);
        testing_support::RawHttp asked(port);
        ASSERT_TRUE(asked.Send(
            "GET /api/v1/values HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer t0ken\r\n\r\n"));
        EXPECT_EQ(testing_support::status_of(asked.Answer()), 200);
    }

    // A second daemon on the same address is refused, naming the holder; to
    // the journal the refusal is an error.
    {
        std::ofstream(dir / "second.json")
            << R"({"http": {"listen": ")" << m[1].str().substr(7)
            << R"("}, "devices": [{"name": "x", "port": "/nonexistent/ttyY", "driver": ")" RAVO3_PLUGIN_PATH
               R"(", "data_id": 700, "acSetting": [], "dcSetting": [], "rcSetting": {}}]})";
        const Ran second = run("JOURNAL_STREAM=8:9 " + daemon + " --config " +
                               (dir / "second.json").string() + " 2>&1 >/dev/null");
        EXPECT_EQ(second.status, 1) << second.out;
        EXPECT_NE(second.out.find("<3>"), std::string::npos) << second.out;
        EXPECT_NE(second.out.find("cannot listen on " + m[1].str().substr(7)), std::string::npos)
            << second.out;
        EXPECT_NE(second.out.find("held by ravo3d (pid " + std::to_string(pid) + ")"),
                  std::string::npos)
            << second.out;
    }
    // The standing alarm was told to the journal as it was raised.
    {
        std::ifstream again(log);
        std::stringstream all;
        all << again.rdbuf();
        EXPECT_NE(all.str().find("ravo3d: error: alarm raised: site-1 06014 "), std::string::npos)
            << all.str();
    }

    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    EXPECT_TRUE(notify.WaitFor("STOPPING=1", std::chrono::seconds(30)));
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // The driver's diagnostics went to their own file, not to the journal.
    EXPECT_GT(fs::file_size(dir / "driver.log"), 0u);
    sim.Stop();
    fs::remove_all(dir);
}

// A daemon with `args` (argv[0] first), standard error to `log`, telling `notify`.
pid_t spawn(const std::vector<std::string>& args, const fs::path& log, const fs::path& notify) {
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    // The watchdog's pings carry the status as often.
    std::vector<std::string> env = {"NOTIFY_SOCKET=" + notify.string(), "WATCHDOG_USEC=400000"};
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "NOTIFY_SOCKET=", 14) && std::strncmp(*e, "WATCHDOG_", 9)) {
            env.push_back(*e);
        }
    }
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}

bool stopped(pid_t pid) {
    if (::kill(pid, SIGTERM) != 0) return false;
    int status = 0;
    return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The address the daemon's log names (its listener runs before READY).
std::string api_url(const fs::path& log) {
    std::smatch m;
    const std::string s = read_file(log);
    if (!std::regex_search(s, m, std::regex(R"(HTTP API on (http://127\.0\.0\.1:\d+))"))) return "";
    return m[1].str();
}

// On a read-only filesystem the database is replayed and served: history and
// events come from the file, and /devices and /metrics say that new history
// stays in memory.
TEST(Daemon, ServesADatabaseOnAReadOnlyFilesystem) {
    const fs::path dir =
        fs::temp_directory_path() / ("ravo3-daemon-ro-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    const fs::path data = dir / "data", run_dir = dir / "run";
    fs::create_directories(data);
    fs::create_directories(run_dir);
    // A private mount namespace with the data folder mounted read-only.
    if (run("unshare -m sh -c 'mount --bind " + data.string() + " " + data.string() +
            " && mount -o remount,bind,ro " + data.string() + "' 2>/dev/null")
            .status != 0) {
        fs::remove_all(dir);
        GTEST_SKIP() << "a read-only bind mount cannot be made here (unshare -m, mount)";
    }
    sim::Server sim(sim::ParseScenario(kScenario));
    ASSERT_TRUE(sim.Start()) << sim.Error();
    std::ofstream(data / "site.json")
        << R"({"history_db": "history.db", "poll_period_ms": 20,
               "http": {"listen": "127.0.0.1:0"},
               "devices": [{"name": "site-1", "port": ")"
        << sim.Path() << R"(", "driver": ")" RAVO3_PLUGIN_PATH R"(", "data_id": 500,
               "acSetting": [{"data_id": 501}], "dcSetting": [{"data_id": 502}], "rcSetting": {}}]})";
    const std::string daemon = std::string(RAVO3_BINARY_DIR) + "/ravo3d";
    const std::string config = (data / "site.json").string();
    const std::string client = std::string(RAVO3_BINARY_DIR) + "/ravo3c --url ";
    const std::string window = " --from 2000-01-01 --to 2100-01-01";
    {
        // A writable run stores a cycle's history and the standing alarm.
        NotifySocket notify(run_dir / "notify-1");
        const fs::path log = run_dir / "first.log";
        const pid_t pid = spawn({daemon, "--config", config}, log, run_dir / "notify-1");
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(notify.WaitFor("STATUS=1 line: answering 1", std::chrono::seconds(30)));
        ASSERT_TRUE(stopped(pid));
    }
    NotifySocket notify(run_dir / "notify-2");
    const fs::path log = run_dir / "read-only.log";
    const pid_t pid = spawn({"unshare", "-m", "sh", "-c",
                             "mount --bind \"$1\" \"$1\" && mount -o remount,bind,ro \"$1\" && "
                             "exec \"$2\" --config \"$3\"",
                             "sh", data.string(), daemon, config},
                            log, run_dir / "notify-2");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(notify.WaitFor("READY=1", std::chrono::seconds(30))) << read_file(log);
    const std::string url = api_url(log);
    ASSERT_FALSE(url.empty()) << read_file(log);
    const struct {
        std::string command;
        std::vector<std::string> contains;
    } cases[] = {
        {client + url + " history 502" + window, {"ravo3-dc", "53.52"}},
        {client + url + " events --since 2000-01-01", {"raised", "06014"}},
        {"curl -s " + url + "/api/v1/devices", {R"("history":{"state":"read_only")"}},
        {"curl -s " + url + "/metrics", {R"(ravo3_history_state{state="read_only"} 1)"}},
    };
    for (const auto& k : cases) {
        const Ran r = run(k.command + " 2>&1");
        EXPECT_EQ(r.status, 0) << k.command << "\n" << r.out;
        for (const auto& c : k.contains) {
            EXPECT_NE(r.out.find(c), std::string::npos) << k.command << ": " << c << "\n" << r.out;
        }
    }
    EXPECT_TRUE(stopped(pid));
    EXPECT_NE(read_file(log).find("is read-only"), std::string::npos) << read_file(log);
    sim.Stop();
    fs::remove_all(dir);
}

}  // namespace

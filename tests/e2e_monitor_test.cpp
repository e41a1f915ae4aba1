// The runner end to end: ravo3-monitor loads ravo3.so, starts the simulated
// monitoring unit on a pty and polls it; the tests read what it prints.
#include <gtest/gtest.h>
#include <json/value.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/Fixture.h"

using testing_support::parse_json;

namespace {

namespace fs = std::filesystem;

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

std::string slurp(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class Runner : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("ravo3-e2e-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        WriteSite(1000);
    }
    void TearDown() override { fs::remove_all(dir_); }

    void WriteSite(int timeout_ms) {
        std::ofstream(dir_ / "site.json")
            << "{\"history_db\": \"history.db\", \"answer_timeout_ms\": " << timeout_ms
            << ", \"devices\": [{\"name\": \"site-1\", \"port\": \"/dev/null\", \"driver\": \""
            << RAVO3_PLUGIN_PATH
            << "\", \"data_id\": 500, \"acSetting\": [{\"data_id\": 501}],"
               " \"dcSetting\": [{\"data_id\": 502}], \"rcSetting\": {}}]}";
    }
    void WriteScenario(const std::string& json) { std::ofstream(dir_ / "scenario.json") << json; }

    RunResult Monitor(const std::string& args) {
        const std::string cmd = std::string(RAVO3_BINARY_DIR) + "/ravo3-monitor --config " +
                                (dir_ / "site.json").string() + " --fast " + args + " > " +
                                (dir_ / "out.txt").string() + " 2> " + (dir_ / "err.txt").string();
        RunResult r;
        const int rc = std::system(cmd.c_str());
        r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
        r.out = slurp(dir_ / "out.txt");
        r.err = slurp(dir_ / "err.txt");
        return r;
    }

    static std::vector<Json::Value> Cycles(const RunResult& r) {
        std::vector<Json::Value> out;
        std::istringstream in(r.out);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty()) out.push_back(parse_json(line));
        }
        return out;
    }

    static bool HasAlarm(const Json::Value& cycle, const std::string& code,
                         const std::string& detail) {
        for (const auto& a : cycle["alarms"]) {
            if (a["code"].asString() == code && a["detail"].asString() == detail) return true;
        }
        return false;
    }

    int HistoryRows() {
        sqlite3* db = nullptr;
        int rows = -1;
        if (sqlite3_open((dir_ / "history.db").c_str(), &db) == SQLITE_OK) {
            sqlite3_stmt* st = nullptr;
            if (sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM history", -1, &st, nullptr) ==
                    SQLITE_OK &&
                sqlite3_step(st) == SQLITE_ROW) {
                rows = sqlite3_column_int(st, 0);
            }
            sqlite3_finalize(st);
        }
        sqlite3_close(db);
        return rows;
    }

    fs::path dir_;
};

// Values that floats hold exactly, no drift, so every cycle serves them as sent.
const char* kFlatSite = R"({
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

TEST_F(Runner, ServesTheScenarioValuesAndFollowsItsEvents) {
    WriteScenario(kFlatSite);
    const RunResult r = Monitor("--json --cycles 6");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto cycles = Cycles(r);
    ASSERT_EQ(cycles.size(), 6u) << r.out;
    for (std::size_t k = 0; k < cycles.size(); ++k) {
        const auto& c = cycles[k];
        EXPECT_EQ(c["cycle"].asUInt64(), k + 1) << "no cycle is lost";
        const auto& ac = c["ac"][0];
        EXPECT_EQ(ac["ia"].asFloat(), 12.5f);
        EXPECT_EQ(ac["ib"].asFloat(), 11.75f);
        EXPECT_EQ(ac["channels"][0]["a"].asFloat(), 230.5f);
        EXPECT_EQ(ac["channels"][0]["c"].asFloat(), 229.75f);
        EXPECT_EQ(ac["channels"][0]["f"].asFloat(), 50.0f);
        EXPECT_EQ(c["dc"][0]["v"].asFloat(), 53.25f);
        EXPECT_EQ(c["dc"][0]["i"].asFloat(), 48.5f);
        EXPECT_TRUE(c["rectifier"]["published"].asBool());
        // Storing runs on the host's worker thread, so the last cycle's may lag.
        EXPECT_GE(c["history_records"].asUInt64(), 3 * k);
    }
    // Phase BC too high in cycles 2 and 3, cleared from cycle 4.
    const std::string detail = "交流屏1输入线/相电压BC/B";
    EXPECT_FALSE(HasAlarm(cycles[0], "06014", detail));
    EXPECT_TRUE(HasAlarm(cycles[1], "06014", detail));
    EXPECT_TRUE(HasAlarm(cycles[2], "06014", detail));
    EXPECT_FALSE(HasAlarm(cycles[3], "06014", detail));
    // The module added in cycle 2 is refused twice, then taken on the third
    // analog answer with the new count (the host's retries within cycle 2),
    // and no cycle is lost to it.
    EXPECT_EQ(cycles[0]["rectifier"]["modules"].size(), 2u);
    EXPECT_EQ(cycles[1]["rectifier"]["modules"].size(), 3u);
    EXPECT_EQ(cycles[5]["rectifier"]["modules"][2]["value"].asFloat(), 12.0f);
    EXPECT_NE(r.err.find("read 41_41 channel_count changed 2 -> 3"), std::string::npos);
    // Every finished cycle is in the database: three unit records each.
    EXPECT_EQ(HistoryRows(), 18);
}

TEST_F(Runner, ForeignModelRaisesTheConfigurationAlarm) {
    WriteScenario(R"({"model": "XR-77"})");
    const RunResult r = Monitor("--json --cycles 1");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto cycles = Cycles(r);
    ASSERT_EQ(cycles.size(), 1u);
    bool found = false;
    for (const auto& a : cycles[0]["alarms"]) {
        if (a["code"].asString() == "70319") {
            found = true;
            EXPECT_EQ(a["name"].asString(), "设备配置检测");
            EXPECT_EQ(a["detail"].asString().rfind("本驱动类型:ravo3 检测型号:XR-77", 0), 0u);
            EXPECT_EQ(a["device_type"].asString(), "ravo3");
        }
    }
    EXPECT_TRUE(found) << r.out;
}

TEST_F(Runner, RecoversFromAFaultyLineAndStoresEveryFinishedCycle) {
    WriteSite(100);
    WriteScenario(R"({"faults": {"seed": 5,
        "drop": {"cycles": [1, 3], "command": "41/41"},
        "corrupt_checksum": {"cycles": [2], "command": "42/41"},
        "truncate": {"cycles": [2], "command": "40/41"},
        "garbage": {"every": 4}}})");
    const RunResult r = Monitor("--json --cycles 4");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto cycles = Cycles(r);
    ASSERT_EQ(cycles.size(), 4u) << r.out << r.err;
    const auto& frames = cycles.back()["frames"];
    EXPECT_GE(frames["timeouts"].asUInt64(), 2u);
    EXPECT_GE(frames["checksum_errors"].asUInt64(), 1u);
    EXPECT_GE(frames["truncated"].asUInt64() + frames["timeouts"].asUInt64(), 3u);
    EXPECT_GE(frames["garbage_runs"].asUInt64(), 1u);
    EXPECT_EQ(HistoryRows(), 12);
}

TEST_F(Runner, RestartServesStoredValuesBeforeTheUnitAnswers) {
    WriteScenario(kFlatSite);
    ASSERT_EQ(Monitor("--json --cycles 2").status, 0);
    // No monitoring unit on this port: only the replayed history can answer.
    const RunResult r = Monitor("--port /nonexistent-ravo3-port --duration 0.5");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("input current A/B/C:    12.5   11.8   13.0 A"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("panel 1  AB/A  230.5 V"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("53.25 V"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("3 stored unit records replayed"), std::string::npos) << r.err;
}

TEST_F(Runner, UsageErrorsAndHelp) {
    EXPECT_EQ(Monitor("--cycles zero").status, 2);
    EXPECT_EQ(Monitor("--nonsense").status, 2);
    const RunResult help = Monitor("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: ravo3-monitor"), std::string::npos);
    WriteScenario("{}");
    std::ofstream(dir_ / "site.json") << "{\"bogus\": 1, \"devices\": [{\"name\": \"x\", "
                                         "\"port\": \"/dev/null\", \"driver\": \"x.so\"}]}";
    const RunResult bad = Monitor("--cycles 1");
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("bogus"), std::string::npos) << bad.err;
}

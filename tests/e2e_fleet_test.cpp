// Two sites as a fleet has them: two ravo3d processes, each on a pty to its
// own simulator, with the same device name, publishing to one broker and
// scraped over HTTP. What must hold for a fleet: the sites' topics and Home
// Assistant ids never meet, the load per site and cycle stays what
// docs/fleet.md says, and the example alerting rules and Grafana dashboard
// ask only for what a real /metrics serves.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <json/reader.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "sim/Server.h"
#include "tests/support/MqttBroker.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace testing_support;

const char* const kScenario = R"({
  "ac": {"units": [{"channels": [{"a": 230.5, "b": 231.25, "c": 229.75, "f": 50.0,
                                  "states": [0, 2, 0, 0]}],
                    "ia": 12.5, "ib": 11.75, "ic": 13.0}]},
  "rectifier": {"modules": [{"value": 16.5}, {"value": 17.25}]},
  "dc": {"units": [{"v": 53.52, "i": 48.5}]}
})";

std::string run(const std::string& cmd, int* status = nullptr) {
    std::string out;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int rc = ::pclose(p);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

Json::Value parse(const std::string& text) {
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string errors;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    if (!r->parse(text.data(), text.data() + text.size(), &v, &errors)) {
        ADD_FAILURE() << "not JSON: " << text.substr(0, 200) << ": " << errors;
    }
    return v;
}

// One site host: a simulated unit and ravo3d with HTTP and MQTT.
struct Site {
    std::string name;
    std::unique_ptr<sim::Server> sim;
    pid_t pid = -1;
    int http_port = 0;
    std::string prefix;

    bool Start(const fs::path& dir, int broker_port, std::string& why) {
        sim = std::make_unique<sim::Server>(sim::ParseScenario(kScenario));
        if (!sim->Start()) {
            why = sim->Error();
            return false;
        }
        http_port = free_port();
        prefix = "ravo3/" + name;
        const fs::path site = dir / (name + ".json");
        std::ofstream(site) << R"({"history_db": ")" << name << R"(.db", "poll_period_ms": 20,
            "http": {"listen": "127.0.0.1:)"
                            << http_port << R"("},
            "mqtt": {"host": "127.0.0.1", "port": )"
                            << broker_port << R"(, "client_id": ")" << name
                            << R"(", "topic_prefix": ")" << prefix << R"("},
            "devices": [{"name": "room-1", "port": ")"
                            << sim->Path() << R"(", "driver": ")" RAVO3_PLUGIN_PATH R"(",
              "data_id": 500, "acSetting": [{"data_id": 501}], "dcSetting": [{"data_id": 502}],
              "rcSetting": {}}]})";
        const std::string daemon = std::string(RAVO3_BINARY_DIR) + "/ravo3d";
        const std::string config = site.string();
        const std::string log = (dir / (name + ".log")).string();
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<std::string> args = {daemon, "--config", config};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid, daemon.c_str(), &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0) {
            why = "cannot start " + daemon;
            return false;
        }
        return true;
    }
    // The daemon's exit status after SIGTERM (a sanitizer's finding makes it
    // fail), with its log when it is not 0.
    int Stop(const fs::path& dir, std::string& log) {
        int status = 0;
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, &status, 0);
            pid = -1;
        }
        if (sim) sim->Stop();
        const int rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (rc != 0) {
            std::ifstream in(dir / (name + ".log"));
            log.assign(std::istreambuf_iterator<char>(in), {});
        }
        return rc;
    }
};

// The cycle number a unit state message carries; 0 for any other message.
unsigned cycle_of(const Message& m, const std::string& state_topic) {
    if (m.topic != state_topic) return 0;
    static const std::regex cycle(R"("cycle":(\d+))");
    std::smatch x;
    return std::regex_search(m.payload, x, cycle) ? static_cast<unsigned>(std::stoul(x[1])) : 0;
}

class Fleet : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        const int port = free_port();
        broker_ = new Broker(dir_->path, port);
        std::string why;
        if (!broker_->Start(why)) {
            setup_error_ = why;
            return;
        }
        sub_ = new Subscriber(port, "fleet-watcher", false);
        if (!sub_->WaitSubscribed()) setup_error_ = "no subscription";
        for (const char* name : {"site-a", "site-b"}) {
            sites_.push_back(new Site);
            sites_.back()->name = name;
            if (!sites_.back()->Start(dir_->path, port, why)) setup_error_ = why;
        }
    }
    static void TearDownTestSuite() {
        for (Site* s : sites_) {
            std::string log;
            EXPECT_EQ(s->Stop(dir_->path, log), 0) << s->name << ": " << log;
            delete s;
        }
        sites_.clear();
        delete sub_;
        delete broker_;
        delete dir_;
    }
    void SetUp() override {
        ASSERT_TRUE(setup_error_.empty()) << setup_error_;
        // Both sites well into their cycles, alarm standing.
        for (Site* s : sites_) {
            const std::string state = s->prefix + "/room-1/dc/502/state";
            ASSERT_TRUE(sub_->WaitFor([&](const std::vector<Message>& ms) {
                for (const Message& m : ms) {
                    if (cycle_of(m, state) >= 3) return true;
                }
                return false;
            })) << s->name
                << " made no cycles";
        }
    }

    static inline TempDir* dir_ = nullptr;
    static inline Broker* broker_ = nullptr;
    static inline Subscriber* sub_ = nullptr;
    static inline std::vector<Site*> sites_;
    static inline std::string setup_error_;
};

TEST_F(Fleet, SitesShareOneBrokerWithoutMeeting) {
    for (Site* s : sites_) EXPECT_TRUE(sub_->WaitTopic(s->prefix + "/status", "online"));
    // Discovery of both sites present: each one's line entity.
    for (Site* s : sites_) {
        EXPECT_FALSE(sub_->Find("homeassistant/sensor/" + s->name + "/", "_line/config").empty());
    }
    const std::vector<Message> all = sub_->All();
    std::map<std::string, std::set<std::string>> ids;  // "unique_id" etc. -> values seen
    for (const Message& m : all) {
        if (m.topic.rfind("homeassistant/", 0) == 0) {
            if (m.payload.empty()) continue;
            // homeassistant/DOMAIN/NODE/OBJECT/config: NODE is the site.
            const std::size_t a = m.topic.find('/', 14) + 1;
            const std::string node = m.topic.substr(a, m.topic.find('/', a) - a);
            const Json::Value c = parse(m.payload);
            EXPECT_EQ(c["state_topic"].asString().rfind("ravo3/" + node + "/", 0), 0u) << m.topic;
            for (const char* key : {"unique_id", "default_entity_id"}) {
                ids[key].insert(node + " " + c[key].asString());
            }
            ids["device"].insert(node + " " + c["device"]["identifiers"][0].asString());
            continue;
        }
        bool own = false;
        for (Site* s : sites_) own = own || m.topic.rfind(s->prefix + "/", 0) == 0;
        EXPECT_TRUE(own) << "a topic outside every site's prefix: " << m.topic;
    }
    // The same device name on both sites, yet no id of one is the other's.
    for (const auto& [key, seen] : ids) {
        std::map<std::string, std::set<std::string>> sites_of;
        for (const std::string& s : seen) {
            const std::size_t sp = s.find(' ');
            sites_of[s.substr(sp + 1)].insert(s.substr(0, sp));
        }
        for (const auto& [id, sites] : sites_of) EXPECT_EQ(sites.size(), 1u) << key << " " << id;
    }

    // What a site sends per cycle, taken over five cycles of its DC unit.
    constexpr unsigned kCycles = 5;
    const auto newest = [](const std::vector<Message>& ms, const Site* s) {
        unsigned c = 0;
        for (const Message& m : ms)
            c = std::max(c, cycle_of(m, s->prefix + "/room-1/dc/502/state"));
        return c;
    };
    std::map<const Site*, unsigned> first;
    for (const Site* s : sites_) first[s] = newest(sub_->All(), s);
    ASSERT_TRUE(sub_->WaitFor([&](const std::vector<Message>& ms) {
        for (const Site* s : sites_) {
            if (newest(ms, s) < first[s] + kCycles) return false;
        }
        return true;
    }));
    const std::vector<Message> ms = sub_->All();
    for (const Site* s : sites_) {
        const std::string state = s->prefix + "/room-1/dc/502/state";
        std::size_t messages = 0, bytes = 0;
        bool within = false;
        std::set<std::string> retained;  // every topic but the events is retained
        for (const Message& m : ms) {
            const bool mine = m.topic.rfind(s->prefix + "/", 0) == 0;
            const bool discovery = m.topic.rfind("homeassistant/", 0) == 0 &&
                                   m.topic.find("/" + s->name + "/") != std::string::npos;
            if ((mine && m.topic.find("/events") == std::string::npos) || discovery) {
                retained.insert(m.topic);
            }
            const unsigned c = cycle_of(m, state);
            if (c == first[s]) within = true;
            if (c == first[s] + kCycles) within = false;
            if (within && mine) {
                ++messages;
                bytes += m.topic.size() + m.payload.size();
            }
        }
        const double per_cycle = static_cast<double>(messages) / kCycles;
        std::cout << "fleet: " << s->name << ": " << per_cycle << " messages and "
                  << bytes / kCycles << " bytes per cycle (topic and payload), " << retained.size()
                  << " retained topics\n";
        // Three unit states and the line's state; an alarm list or
        // availability only when they change.
        EXPECT_GE(per_cycle, 4.0);
        EXPECT_LE(per_cycle, 5.0);
    }
}

// The labels and values a scrape serves: metric name -> label -> values.
using Scrape = std::map<std::string, std::map<std::string, std::set<std::string>>>;

Scrape scrape(int port, std::string& text) {
    httplib::Client c("127.0.0.1", port);
    auto r = c.Get("/metrics");
    Scrape out;
    if (!r || r->status != 200) return out;
    text = r->body;
    const std::regex sample(R"(^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{(.*)\})? \S+$)");
    const std::regex label(R"(([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\.)*)\")");
    std::istringstream in(text);
    std::string line;
    std::smatch m;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#' || !std::regex_match(line, m, sample)) continue;
        auto& labels = out[m[1]];
        const std::string l = m[3];
        for (std::sregex_iterator it(l.begin(), l.end(), label), end; it != end; ++it) {
            labels[(*it)[1]].insert((*it)[2]);
        }
    }
    return out;
}

// Every metric a query names is served, with every label it matches on or
// groups by; a label matched for equality has that value in the scrape.
// Prometheus adds instance and job; "$var" values are Grafana's.
void check_query(const std::string& q, const Scrape& s) {
    SCOPED_TRACE(q);
    static const std::regex metric(R"(\bravo3_[a-z0-9_]+)");
    static const std::regex selector(R"(\b(ravo3_[a-z0-9_]+)\{([^}]*)\})");
    static const std::regex matcher(R"(([a-zA-Z_]+)\s*(=~|!~|!=|=)\s*"([^"]*)\")");
    static const std::regex grouping(R"(\b(?:by|on|without|ignoring)\s*\(([^)]*)\))");
    const std::set<std::string> target = {"instance", "job"};
    std::set<std::string> labels_here;
    int names = 0;
    for (std::sregex_iterator it(q.begin(), q.end(), metric), end; it != end; ++it) {
        ++names;
        const auto found = s.find(it->str());
        ASSERT_NE(found, s.end()) << it->str() << " is not in the scrape";
        for (const auto& [l, values] : found->second) labels_here.insert(l);
    }
    for (std::sregex_iterator it(q.begin(), q.end(), selector), end; it != end; ++it) {
        const std::string body = (*it)[2];
        const auto& labels = s.at((*it)[1]);
        for (std::sregex_iterator mt(body.begin(), body.end(), matcher), e2; mt != e2; ++mt) {
            const std::string l = (*mt)[1], op = (*mt)[2], v = (*mt)[3];
            if (target.count(l)) continue;
            const auto lv = labels.find(l);
            ASSERT_NE(lv, labels.end()) << (*it)[1] << " has no label " << l;
            if (op == "=" && v.find('$') == std::string::npos) {
                EXPECT_TRUE(lv->second.count(v)) << l << "=\"" << v << "\" never served";
            }
        }
    }
    for (std::sregex_iterator it(q.begin(), q.end(), grouping), end; it != end; ++it) {
        std::stringstream list((*it)[1]);
        std::string l;
        while (std::getline(list, l, ',')) {
            l.erase(0, l.find_first_not_of(' '));
            l.erase(l.find_last_not_of(' ') + 1);
            if (!l.empty() && !target.count(l)) {
                EXPECT_TRUE(labels_here.count(l)) << "by " << l;
            }
        }
    }
    if (q.find("up{") == std::string::npos) {
        EXPECT_GT(names, 0) << "asks for no ravo3 metric";
    }
}

TEST_F(Fleet, RulesAndDashboardAskForWhatAScrapeServes) {
    Site& site = *sites_[0];
    std::string text;
    // The standing alarm (06014, from the scenario) in the scrape too.
    Scrape s;
    for (int i = 0; i < 100 && !s.count("ravo3_alarm_active"); ++i) {
        ASSERT_TRUE(sub_->WaitFor([&](const std::vector<Message>& ms) {
            for (const Message& m : ms) {
                if (m.topic == site.prefix + "/room-1/alarms" && m.payload != "[]") return true;
            }
            return false;
        }));
        s = scrape(site.http_port, text);
    }
    ASSERT_TRUE(s.count("ravo3_alarm_active")) << text;

    const std::string rules =
        std::string(RAVO3_SOURCE_DIR) + "/examples/prometheus/ravo3.rules.yml";
    const std::string dashboard = std::string(RAVO3_SOURCE_DIR) + "/examples/grafana/ravo3.json";
    int status = 0;
    const std::string rules_json = run(
        "/usr/bin/python3 -c 'import json, sys, yaml; json.dump(yaml.safe_load(open(sys.argv[1])), "
        "sys.stdout)' " +
            rules + " 2>&1",
        &status);
    ASSERT_EQ(status, 0) << "the rules are not YAML (or python3-yaml is missing): " << rules_json;
    const Json::Value r = parse(rules_json);
    std::vector<std::string> alerts;
    for (const Json::Value& g : r["groups"]) {
        for (const Json::Value& rule : g["rules"]) {
            alerts.push_back(rule["alert"].asString());
            check_query(rule["expr"].asString(), s);
        }
    }
    EXPECT_GE(alerts.size(), 8u);

    std::ifstream in(dashboard);
    const Json::Value d = parse(std::string(std::istreambuf_iterator<char>(in), {}));
    std::set<int> panel_ids;
    int queries = 0;
    for (const Json::Value& p : d["panels"]) {
        EXPECT_TRUE(panel_ids.insert(p["id"].asInt()).second) << "panel id twice";
        for (const Json::Value& t : p["targets"]) {
            EXPECT_EQ(t["datasource"]["uid"].asString(), "${datasource}");
            check_query(t["expr"].asString(), s);
            ++queries;
        }
    }
    for (const Json::Value& v : d["templating"]["list"]) {
        if (v["type"].asString() == "query") check_query(v["query"]["query"].asString(), s);
    }
    EXPECT_GE(queries, 15);

    if (::access("/usr/bin/promtool", X_OK) != 0) {
        std::cout << "promtool missing (Debian package prometheus): rules only parsed\n";
        return;
    }
    const std::string checked = run("/usr/bin/promtool check rules " + rules + " 2>&1", &status);
    EXPECT_EQ(status, 0) << checked;
    const fs::path metrics = dir_->path / "scrape.txt";
    std::ofstream(metrics) << text;
    const std::string lint =
        run("/usr/bin/promtool check metrics < " + metrics.string() + " 2>&1", &status);
    EXPECT_EQ(status, 0) << lint;

    // The rules over the real scrape, held for half an hour: on this healthy
    // site no alert but the unit's own standing alarm fires.
    const fs::path test = dir_->path / "rules-test.yml";
    {
        std::ofstream t(test);
        t << "rule_files: [" << rules << "]\nevaluation_interval: 1m\ntests:\n"
          << "  - interval: 1m\n    input_series:\n"
          << "      - series: 'up{job=\"ravo3\", instance=\"site-a:8363\"}'\n"
          << "        values: '1+0x30'\n";
        std::istringstream lines(text);
        std::string line;
        while (std::getline(lines, line)) {
            if (line.empty() || line[0] == '#') continue;
            const std::size_t sp = line.rfind(' ');
            std::string series = line.substr(0, sp);
            const std::string value = line.substr(sp + 1);
            if (value == "NaN" || value.find("Inf") != std::string::npos) continue;
            const std::string extra = "job=\"ravo3\", instance=\"site-a:8363\"";
            if (series.back() == '}') {
                series.insert(series.size() - 1, "," + extra);
            } else {
                series += "{" + extra + "}";
            }
            t << "      - series: '" << series << "'\n        values: '" << value << "+0x30'\n";
        }
        t << "    alert_rule_test:\n";
        for (const std::string& a : alerts) {
            if (a == "Ravo3UnitAlarm") continue;
            t << "      - eval_time: 25m\n        alertname: " << a << "\n        exp_alerts: []\n";
        }
    }
    const std::string tested =
        run("/usr/bin/promtool test rules " + test.string() + " 2>&1", &status);
    EXPECT_EQ(status, 0) << tested;
}

}  // namespace

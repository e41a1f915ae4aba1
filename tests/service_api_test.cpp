// The HTTP API and /metrics end to end: the host polls the simulator on a
// pty, the service serves it on loopback, cpp-httplib's client asks.
#include <gtest/gtest.h>
#include <httplib.h>
#include <json/reader.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "host/HostTypes.h"
#include "runtime/site/Host.h"
#include "runtime/store/SqliteStore.h"
#include "runtime/text/JsonText.h"
#include "runtime/text/LogText.h"
#include "runtime/values/Vocabulary.h"
#include "service/Service.h"
#include "service/http/Api.h"
#include "service/http/HttpServer.h"
#include "service/metrics/Metrics.h"
#include "service/systemd/Notifier.h"
#include "service/view/SiteView.h"
#include "sim/Server.h"
#include "tests/support/Fixture.h"
#include "tests/support/RawHttp.h"

using testing_support::parse_json;

namespace {

namespace fs = std::filesystem;

const char* const kToken = "s3cret-token";

// Values floats hold exactly, and 53.52, which they do not: it must still
// read 53.52, not 53.520000457763672.
const char* const kScenario = R"({
  "ac": {"units": [{"channels": [{"a": 230.5, "b": 231.25, "c": 229.75, "f": 50.0},
                                 {"a": 220.0, "b": 221.0, "c": 222.0, "f": 49.5}],
                    "ia": 12.5, "ib": 11.75, "ic": 13.0}]},
  "rectifier": {"modules": [{"value": 16.5}, {"value": 17.25}]},
  "dc": {"units": [{"v": 53.52, "i": 48.5}]},
  "events": [{"at_cycle": 2, "do": "set", "target": "ac_channel", "phase": "b", "state": 2}]
})";

class ServiceApi : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        smd::set_pause([](unsigned) {});
        dir_ = fs::temp_directory_path() / ("ravo3-api-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        std::ofstream(dir_ / "token") << kToken << "\n";
        sim_ = new sim::Server(sim::ParseScenario(kScenario));
        ASSERT_TRUE(sim_->Start()) << sim_->Error();
        const std::string site =
            R"({"history_db": "history.db", "http": {"listen": "127.0.0.1:0", "token_file": "token"},
                "devices": [{"name": "site-1", "port": ")" +
            sim_->Path() + R"(", "driver": ")" RAVO3_PLUGIN_PATH R"(", "data_id": 500,
                "acSetting": [{"data_id": 501}], "dcSetting": [{"data_id": 502}], "rcSetting": {}}]})";
        std::string error;
        ASSERT_TRUE(smd::ParseSiteConfig(site, dir_.string(), site_, error)) << error;
        site_.path = (dir_ / "site.json").string();
        smd::HostOptions ho;
        ho.log = [](const std::string&) {};
        host_ = new smd::Host(ho);
        ASSERT_TRUE(host_->Start(site_, error)) << error;
        service_ = new smd::service::Service();
        ASSERT_TRUE(service_->Start(*host_, site_, nullptr, error)) << error;
        // Three cycles: the alarm of cycle 2 is raised and stored.
        auto q = host_->Events().Subscribe();
        smd::HostEvent e;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline &&
               !(q->Pop(e, std::chrono::milliseconds(500)) &&
                 e.kind == smd::HostEvent::Kind::Cycle && e.cycle.number >= 3)) {
        }
        ASSERT_EQ(e.cycle.number, 3u);
        host_->Events().Unsubscribe(q);
        // Freeze the site so every answer below sees the same cycle.
        host_->Stop();
        const auto seq = host_->Events().State().seq;
        ASSERT_TRUE(service_->View().WaitFor(seq, std::chrono::seconds(10)));
        // The metrics count on their own thread: the last cycle must be in.
        auto* metrics = dynamic_cast<smd::service::Metrics*>(service_->Part("metrics"));
        ASSERT_TRUE(metrics && metrics->WaitFor(seq, std::chrono::seconds(10)));
    }
    static void TearDownTestSuite() {
        delete service_;
        delete host_;
        delete sim_;
        fs::remove_all(dir_);
        smd::set_pause(nullptr);
    }

    static httplib::Client Client(const std::string& token = kToken) {
        httplib::Client c("127.0.0.1", service_->Http()->Port());
        c.set_read_timeout(10, 0);
        if (!token.empty()) c.set_bearer_token_auth(token.c_str());
        return c;
    }
    static Json::Value GetJson(const std::string& path, int want = 200) {
        auto c = Client();
        auto r = c.Get(path.c_str());
        EXPECT_TRUE(r) << path;
        if (!r) return Json::Value();
        EXPECT_EQ(r->status, want) << path << ": " << r->body;
        EXPECT_EQ(r->get_header_value("Content-Type"), "application/json; charset=utf-8");
        return parse_json(r->body);
    }

    // The frozen site's line as if it were in `state` now, its last cycle
    // at the stopped host's last one; every part has taken it in on return.
    static void SetLine(smd::LineState state, bool comm_lost) {
        smd::HostEvent e;
        e.kind = smd::HostEvent::Kind::Line;
        e.device = "site-1";
        e.line = host_->Events().State().lines.at("site-1");
        e.line.state = state;
        e.line.comm_lost = comm_lost;
        e.time = smd::local_time();
        host_->Events().Publish(e);
        const auto seq = host_->Events().State().seq;
        ASSERT_TRUE(service_->View().WaitFor(seq, std::chrono::seconds(10)));
        auto* metrics = dynamic_cast<smd::service::Metrics*>(service_->Part("metrics"));
        ASSERT_TRUE(metrics && metrics->WaitFor(seq, std::chrono::seconds(10)));
    }

    static inline fs::path dir_;
    static inline sim::Server* sim_ = nullptr;
    static inline smd::SiteConfig site_;
    static inline smd::Host* host_ = nullptr;
    static inline smd::service::Service* service_ = nullptr;
};

TEST_F(ServiceApi, ValuesMatchTheHostForEveryName) {
    auto c = Client();
    auto r = c.Get("/api/v1/values");
    ASSERT_TRUE(r);
    EXPECT_NE(r->body.find("\"v\":53.52,"), std::string::npos) << "shortest float form";
    const Json::Value v = parse_json(r->body);
    ASSERT_EQ(v["devices"].size(), 1u);
    std::set<std::string> kinds;
    std::size_t compared = 0;
    for (const auto& unit : v["devices"][0]["units"]) {
        kinds.insert(unit["kind"].asString());
        if (unit["kind"] == "rc") continue;  // served from its record; below
        for (const auto& name : unit["values"].getMemberNames()) {
            const float want = host_->GetValue(unit["data_id"].asUInt(), name);
            EXPECT_EQ(unit["values"][name].asFloat(), want) << name;
            ++compared;
        }
    }
    EXPECT_EQ(kinds, (std::set<std::string>{"ac", "dc", "rc"}));
    EXPECT_EQ(compared, 6u + 8u + 2u);
    const Json::Value& rc = v["devices"][0]["units"][2]["values"];
    EXPECT_EQ(rc["module_count"].asInt(), 2);
    EXPECT_EQ(rc["module_2_value"].asFloat(), 17.25f);

    // Every name served has its row in the vocabulary the API serves.
    auto vr = c.Get("/api/v1/vocabulary");
    ASSERT_TRUE(vr);
    ASSERT_EQ(vr->status, 200) << vr->body;
    std::map<std::string, std::set<std::string>> rows;  // kind -> "ia", "channel_*_a"
    const Json::Value vocabulary = parse_json(vr->body);
    for (const auto& u : vocabulary["units"]) {
        for (const auto& row : u["values"])
            rows[u["kind"].asString()].insert(row["name"].asString());
        if (u["group"].isNull()) continue;
        for (const auto& row : u["group"]["values"]) {
            rows[u["kind"].asString()].insert(u["group"]["prefix"].asString() + "*_" +
                                              row["name"].asString());
        }
    }
    for (const auto& unit : v["devices"][0]["units"]) {
        for (const auto& name : unit["values"].getMemberNames()) {
            std::string pattern = name;
            const auto digits = pattern.find_first_of("0123456789");
            if (digits != std::string::npos && pattern.find('_') < digits) {
                pattern.replace(digits, pattern.find('_', digits) - digits, "*");
            }
            EXPECT_EQ(rows[unit["kind"].asString()].count(pattern), 1u) << name;
        }
    }
}

const char* const kRange = "1970-01-01T00:00:00 to 9999-12-31T23:59:59 local time";

TEST_F(ServiceApi, AnswersAndErrors) {
    struct Case {
        std::string path;
        int status;
        std::string token;
        std::string error;  // a part of the error text
    } cases[] = {
        {"/api/v1/devices", 401, "", "bearer token is needed"},
        {"/api/v1/devices", 401, "wrong", "token is wrong"},
        {"/metrics", 401, "s3cret-tokeN", "token is wrong"},
        {"/api/v1/devices", 200, kToken, ""},
        {"/api/v1/nothing", 404, kToken, "no such resource"},
        {"/api/v1/values?device=elsewhere", 404, kToken, "elsewhere"},
        {"/api/v1/values?data_id=99", 404, kToken, "99"},
        {"/api/v1/history", 400, kToken, "\"data_id\" is needed"},
        {"/api/v1/history?data_id=-1", 400, kToken, "data_id"},
        {"/api/v1/history?data_id=4294967296", 400, kToken, "data_id"},
        {"/api/v1/history?data_id=502&from=yesterday", 400, kToken, "is no time"},
        {"/api/v1/history?data_id=502&from=2026-12-09&to=2026-12-08", 400, kToken, "before"},
        {"/api/v1/history?data_id=502&limit=0", 400, kToken, "limit"},
        {"/api/v1/history?data_id=502&limit=5001", 400, kToken, "limit"},
        {"/api/v1/events?since=2026-13-01", 400, kToken, "is no time"},
        {"/api/v1/events?after=x", 400, kToken, "after"},
        // The calendar's edges: refused with the range, never a server error.
        {"/api/v1/events?since=9999-12-31T23:59:59-23:59", 400, kToken, kRange},
        {"/api/v1/history?data_id=502&from=9999-12-31T23:59:59-23:59", 400, kToken, kRange},
        {"/api/v1/history?data_id=502&to=9999-12-31T23:59:59-23:59", 400, kToken, kRange},
        {"/api/v1/history?data_id=502&from=0000-01-01&points=4", 400, kToken, kRange},
        {"/api/v1/history?data_id=502&from=9999-12-31T23:59:59&points=4", 200, kToken, ""},
    };
    for (const auto& k : cases) {
        auto c = Client(k.token);
        auto r = c.Get(k.path.c_str());
        ASSERT_TRUE(r) << k.path;
        EXPECT_EQ(r->status, k.status) << k.path << " " << r->body;
        if (k.status == 401) {
            EXPECT_EQ(r->get_header_value("WWW-Authenticate").rfind("Bearer", 0), 0u);
        }
        if (k.error.empty()) continue;
        const Json::Value e = parse_json(r->body);
        EXPECT_NE(e["error"].asString().find(k.error), std::string::npos) << r->body;
        EXPECT_EQ(e["status"].asInt(), k.status);
    }
}

// Only the whole token, in the header or (on the stream alone) as a query
// parameter; a near miss at either end is refused.
TEST_F(ServiceApi, OnlyTheWholeTokenIsTaken) {
    const struct {
        const char* name;
        std::string target;
        std::string authorization;  // the header's value; empty: none
        int status;
    } cases[] = {
        {"the token", "/api/v1/alarms", "Bearer s3cret-token", 200},
        {"the scheme in any case", "/api/v1/alarms", "bearer s3cret-token", 200},
        {"a prefix", "/api/v1/alarms", "Bearer s3cret-toke", 401},
        {"one more byte", "/api/v1/alarms", "Bearer s3cret-tokenn", 401},
        {"empty", "/api/v1/alarms", "Bearer ", 401},
        {"no scheme", "/api/v1/alarms", "s3cret-token", 401},
        {"a trailing NUL", "/api/v1/alarms", std::string("Bearer s3cret-token\0", 20), 400},
        {"none", "/api/v1/alarms", "", 401},
        {"the parameter on the stream", "/api/v1/stream?access_token=s3cret-token", "", 200},
        {"a prefix as the parameter", "/api/v1/stream?access_token=s3cret-toke", "", 401},
        {"a NUL after the parameter", "/api/v1/stream?access_token=s3cret-token%00", "", 401},
        {"an empty parameter", "/api/v1/stream?access_token=", "", 401},
        {"the parameter elsewhere", "/api/v1/alarms?access_token=s3cret-token", "", 401},
        {"a wrong header beside the parameter", "/api/v1/stream?access_token=s3cret-token",
         "Bearer wrong", 401},
        {"the dashboard's page", "/", "", 200},
    };
    for (const auto& k : cases) {
        testing_support::RawHttp c(service_->Http()->Port());
        // HEAD: a stream's head is its answer to the token.
        ASSERT_TRUE(
            c.Send("HEAD " + k.target + " HTTP/1.1\r\nHost: x\r\n" +
                   (k.authorization.empty() ? "" : "Authorization: " + k.authorization + "\r\n") +
                   "\r\n"));
        const std::string answer = c.Answer(10000, true);
        EXPECT_EQ(testing_support::status_of(answer), k.status) << k.name << ": " << answer;
    }
}

// Both ends of every window belong to it: a record or event at exactly
// `from`, `to` or `since` is served; one second further it is not.
TEST_F(ServiceApi, TimeWindowsIncludeBothEnds) {
    namespace pt = boost::posix_time;
    auto local = [](const Json::Value& iso) {  // "2026-12-08T07:02:18+01:00" as local time
        return pt::time_from_string(iso.asString().substr(0, 10) + " " +
                                    iso.asString().substr(11, 8));
    };
    auto text = [](pt::ptime t) { return pt::to_iso_extended_string(t); };
    const Json::Value all = GetJson("/api/v1/history?data_id=502");
    ASSERT_GT(all["records"].size(), 0u);
    const pt::ptime first = local(all["records"][0]["time"]);
    const pt::ptime last = local(all["records"][all["records"].size() - 1]["time"]);
    const pt::ptime event = local(GetJson("/api/v1/events")["events"][0]["time"]);
    const pt::seconds s1(1);
    const struct {
        std::string query;
        bool served;  // the record or event at the window's end
    } cases[] = {
        {"history?data_id=502&from=" + text(first) + "&to=" + text(first), true},
        {"history?data_id=502&to=" + text(first - s1), false},
        {"history?data_id=502&from=" + text(last), true},
        {"history?data_id=502&from=" + text(last + s1), false},
        {"history?data_id=502&to=" + text(last), true},
        {"history?data_id=502&from=" + text(first) + "&to=" + text(last) + "&points=4", true},
        {"history?data_id=502&from=" + text(last + s1) + "&points=4", false},
        {"events?since=" + text(event), true},
        {"events?since=" + text(event + s1), false},
    };
    for (const auto& k : cases) {
        const Json::Value v = GetJson("/api/v1/" + k.query);
        const Json::Value& list = v.isMember("events") ? v["events"] : v["records"];
        bool end_served = false;
        for (const auto& r : list) {
            const pt::ptime t = local(r["time"]);
            end_served |= k.query.rfind("events", 0) == 0 ? t == event : t == first || t == last;
        }
        EXPECT_EQ(end_served, k.served) << k.query << ": " << v.toStyledString();
    }
}

TEST_F(ServiceApi, DevicesAlarmsEventsAndHistoryPages) {
    const Json::Value d = GetJson("/api/v1/devices")["devices"][0];
    EXPECT_EQ(d["name"], "site-1");
    EXPECT_EQ(d["line"]["state"], "stopped");
    EXPECT_EQ(d["cycles"].asUInt(), 3u);
    EXPECT_EQ(d["frames"]["answers"].asUInt(), d["frames"]["commands_sent"].asUInt());

    const Json::Value alarms = GetJson("/api/v1/alarms")["alarms"];
    ASSERT_EQ(alarms.size(), 1u);
    EXPECT_EQ(alarms[0]["device"], "site-1");
    EXPECT_EQ(alarms[0]["code"], "06014");

    const Json::Value events = GetJson("/api/v1/events?since=2000-01-01T00:00:00Z");
    ASSERT_EQ(events["events"].size(), 1u);
    EXPECT_EQ(events["events"][0]["kind"], "raised");
    EXPECT_EQ(events["events"][0]["alarm"]["device"], "site-1");
    // Where it came from: the cycle it was evaluated in and the AC alarm
    // answer among the answers of its unit, as they came off the line.
    const Json::Value& p = events["events"][0]["provenance"];
    EXPECT_GE(p["cycle"].asUInt(), 1u);
    bool alarm_answer = false;
    for (const auto& a : p["answers"]) {
        EXPECT_EQ(a["command"].asString().substr(0, 3), "40/");
        EXPECT_EQ(a["hex"].asString().substr(0, 2), "7E");  // SOI
        alarm_answer |= a["command"] == "40/44";
    }
    EXPECT_TRUE(alarm_answer) << p.toStyledString();
    EXPECT_TRUE(events["next_after"].isNull());
    EXPECT_EQ(GetJson("/api/v1/events?since=2999-01-01")["events"].size(), 0u);

    // Three DC records, a page of two, then the last one.
    const Json::Value p1 = GetJson("/api/v1/history?data_id=502&limit=2");
    ASSERT_EQ(p1["records"].size(), 2u);
    EXPECT_EQ(p1["records"][0]["values"]["v"].asFloat(), 53.52f);
    const Json::Value p2 =
        GetJson("/api/v1/history?data_id=502&limit=2&after=" + p1["next_after"].asString());
    ASSERT_EQ(p2["records"].size(), 1u);
    EXPECT_TRUE(p2["next_after"].isNull());
    EXPECT_GT(p2["records"][0]["id"].asInt64(), p1["records"][1]["id"].asInt64());
    // The AC record decodes with both channels; the rectifier's by the device's id.
    const Json::Value ac = GetJson("/api/v1/history?data_id=501&limit=1")["records"][0];
    EXPECT_EQ(ac["values"]["channel_1_f"].asFloat(), 49.5f);
    const Json::Value rc = GetJson("/api/v1/history?data_id=500&limit=1")["records"][0];
    EXPECT_EQ(rc["kind"], "rc");
    EXPECT_EQ(rc["values"]["module_1_value"].asFloat(), 16.5f);
    // A window that ends before the first record is empty, not an error.
    EXPECT_EQ(
        GetJson("/api/v1/history?data_id=502&to=2000-01-01T00:00:00%2B01:00")["records"].size(),
        0u);
}

// Every line is a comment of the two kinds or a sample of the family last
// declared; label values are escaped; the simulator's values come out exactly.
TEST_F(ServiceApi, MetricsFollowTheTextFormatAndCarryTheValues) {
    SetLine(smd::LineState::Answering, false);
    GetJson("/api/v1/alarms");  // an answer for the daemon's request count
    auto c = Client();
    auto r = c.Get("/metrics");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200);
    const std::regex help(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) .+)");
    const std::regex type(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (gauge|counter|histogram))");
    const std::regex sample(
        R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\{((?:[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*",?)*)\})? (\S+))");
    const std::regex label(R"(([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\\n]|\\[\\"n])*)\")");
    std::istringstream in(r->body);
    std::string line, family, family_type;
    std::set<std::string> seen;
    std::map<std::string, double> by_key;  // "family|name|extra" -> value
    std::smatch m;
    int samples = 0;
    std::vector<std::string> standing;
    while (std::getline(in, line)) {
        if (std::regex_match(line, m, help)) {
            EXPECT_TRUE(seen.insert(m[1]).second) << "family twice: " << line;
            family = m[1];
            continue;
        }
        if (std::regex_match(line, m, type)) {
            EXPECT_EQ(m[1], family) << line;
            family_type = m[2];
            continue;
        }
        ASSERT_TRUE(std::regex_match(line, m, sample)) << "not a sample: " << line;
        const std::string name = m[1], labels = m[2], value = m[3];
        const std::string base =
            family_type == "histogram" ? family : name;  // _bucket, _sum, _count
        EXPECT_EQ(name.compare(0, base.size(), base), 0) << line;
        if (family_type == "counter") {
            EXPECT_EQ(name.substr(name.size() - 6), "_total");
        }
        std::map<std::string, std::string> l;
        for (std::sregex_iterator it(labels.begin(), labels.end(), label), end; it != end; ++it) {
            l[(*it)[1]] = (*it)[2];
        }
        std::size_t used = 0;
        const double v = std::stod(value, &used);
        EXPECT_EQ(used, value.size()) << line;
        const std::string value_name = l.count("key") ? std::string() : l["name"];
        if (name == "ravo3_alarm_active") {
            // Stable ASCII labels only: the texts stay in the API.
            for (const auto& [k, text] : l) {
                for (unsigned char c : text) EXPECT_LT(c, 0x80) << line;
            }
            EXPECT_FALSE(l.count("name") || l.count("detail")) << line;
            EXPECT_EQ(v, 1) << line;
            standing.push_back(l["unit"] + " " + l["key"] + " " + l["code"] + " " + l["level"] +
                               " " + l["point"].substr(0, 9));
        }
        by_key[name + "|" + value_name + "|" + l["channel"] + l["module"] + l["cause"] +
               l["code"]] = v;
        ++samples;
    }
    EXPECT_GT(samples, 60);
    EXPECT_EQ(standing, std::vector<std::string>{"ac501 AC_5 06014 2 ac_5_501_"});
    const struct {
        std::string key;
        float want;
    } expect[] = {
        {"ravo3_dc_voltage_volts|v|", 53.52f},
        {"ravo3_dc_load_current_amperes|i|", 48.5f},
        {"ravo3_ac_phase_current_amperes|ib|", 11.75f},
        {"ravo3_ac_voltage_volts|channel_0_b|0", 231.25f},
        {"ravo3_ac_frequency_hertz|channel_1_f|1", 49.5f},
        {"ravo3_rectifier_module_value|module_2_value|2", 17.25f},
        {"ravo3_rectifier_modules|module_count|", 2.0f},
        {"ravo3_poll_cycles_total||", 3.0f},
        {"ravo3_frame_errors_total||checksum", 0.0f},
        {"ravo3_poll_duration_seconds_count||", 3.0f},
    };
    for (const auto& e : expect) {
        auto it = by_key.find(e.key);
        ASSERT_NE(it, by_key.end()) << e.key;
        EXPECT_EQ(static_cast<float>(it->second), e.want) << e.key;
    }
    EXPECT_NE(r->body.find("ravo3_line_state{device=\"site-1\",state=\"answering\"} 1"),
              std::string::npos);
    // The history: written as it came, nothing waiting after the stop.
    EXPECT_NE(r->body.find("ravo3_history_state{state=\"writing\"} 1"), std::string::npos);
    EXPECT_GE(by_key["ravo3_history_records_written_total||"], 9.0);
    EXPECT_EQ(by_key["ravo3_history_waiting_records||"], 0.0);
    // The daemon's own health.
    for (const char* sample :
         {"ravo3_build_info{version=\"", "ravo3_http_requests_total{status=\"200\"} ",
          "ravo3_event_consumers ", "ravo3_event_cycles_dropped_total 0"}) {
        EXPECT_NE(r->body.find(sample), std::string::npos) << sample;
    }
}

// Values are current only while the line answers, no communication loss
// stands and they are younger than the line's stale time; otherwise every
// output says so, and past the unit's own time-out they are withheld.
TEST_F(ServiceApi, StaleValuesAreMarkedWithheldAndNotExported) {
    const auto last = host_->Events().State().cycles.at("site-1").time;
    const int stale_s = site_.comm_lost_s;
    const struct {
        const char* name;
        smd::LineState state;
        bool comm_lost;
        long age_s;  // the clock this far past the last cycle
        bool fresh, withheld;
    } cases[] = {
        {"answering", smd::LineState::Answering, false, 0, true, false},
        {"just before the stale time", smd::LineState::Answering, false, stale_s - 1, true, false},
        {"at the stale time", smd::LineState::Answering, false, stale_s, false, false},
        {"past the unit's time-out", smd::LineState::Answering, false, 61, false, true},
        {"communication lost", smd::LineState::Answering, true, 0, false, false},
        {"not answering", smd::LineState::NotAnswering, false, 0, false, false},
        {"stopped", smd::LineState::Stopped, false, 0, false, false},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        SetLine(k.state, k.comm_lost);
        const auto at = last + boost::posix_time::seconds(k.age_s);
        smd::set_local_clock([at] { return at; });
        const Json::Value dev = GetJson("/api/v1/values?device=site-1")["devices"][0];
        EXPECT_EQ(dev["stale"].asBool(), !k.fresh);
        EXPECT_NEAR(dev["age_seconds"].asDouble(), static_cast<double>(k.age_s), 1.0);
        const Json::Value& dc = dev["units"][1];
        ASSERT_EQ(dc["kind"].asString(), "dc");
        EXPECT_EQ(dc["values"]["v"].isNull(), k.withheld);
        EXPECT_EQ(dc["replies"]["v"].asString(), k.withheld ? "数据已超时" : "");
        bool devices_stale = false;
        const Json::Value devices = GetJson("/api/v1/devices")["devices"];
        for (const auto& d : devices) {
            if (d["name"].asString() == "site-1") devices_stale = d["stale"].asBool();
        }
        EXPECT_EQ(devices_stale, !k.fresh);
        auto c = Client();
        auto m = c.Get("/metrics");
        ASSERT_TRUE(m);
        EXPECT_EQ(m->body.find("ravo3_dc_voltage_volts{") != std::string::npos, k.fresh);
        // The line and the age are exported either way.
        EXPECT_NE(m->body.find("ravo3_data_age_seconds{device=\"site-1\"}"), std::string::npos);
        EXPECT_NE(m->body.find("ravo3_line_state{device=\"site-1\""), std::string::npos);
    }
    smd::set_local_clock(nullptr);
    SetLine(smd::LineState::Stopped, false);
}

TEST_F(ServiceApi, StreamStartsWithTheSiteState) {
    auto c = Client();
    std::string got;
    auto r = c.Get("/api/v1/stream", [&](const char* data, std::size_t n) {
        got.append(data, n);
        // Enough once the standing alarm (after the line and cycle) came.
        return got.find("event: alarm_raised") == std::string::npos;
    });
    ASSERT_NE(got.find("event: line\n"), std::string::npos) << got;
    const auto at = got.find("event: cycle\ndata: ");
    ASSERT_NE(at, std::string::npos) << got;
    const auto end = got.find("\n\n", at);
    const Json::Value cycle = parse_json(got.substr(at + 19, end - at - 19));
    EXPECT_TRUE(cycle["initial"].asBool());
    EXPECT_EQ(cycle["cycle"]["number"].asUInt(), 3u);
    EXPECT_EQ(cycle["units"].size(), 3u);
}

// After a restart on a line that stays dead, the values served are the
// stored ones, marked so, and their age counts from when they were stored.
TEST_F(ServiceApi, ReplayedValuesKeepTheirStoredAge) {
    const fs::path dir = dir_ / "restart";
    fs::create_directories(dir);
    fs::copy_file(dir_ / "history.db", dir / "history.db");
    const std::string site =
        R"({"history_db": "history.db", "http": {"listen": "127.0.0.1:0"},
            "devices": [{"name": "site-1", "port": "/nonexistent/tty", "driver": ")" RAVO3_PLUGIN_PATH
        R"(", "data_id": 500, "acSetting": [{"data_id": 501}], "dcSetting": [{"data_id": 502}],
            "rcSetting": {}}]})";
    smd::SiteConfig config;
    std::string error;
    ASSERT_TRUE(smd::ParseSiteConfig(site, dir.string(), config, error)) << error;
    const auto later = smd::local_time() + boost::posix_time::hours(1);
    smd::set_local_clock([later] { return later; });
    {
        smd::HostOptions ho;
        ho.log = [](const std::string&) {};
        smd::Host host(ho);
        ASSERT_TRUE(host.Start(config, error)) << error;
        smd::service::Service service;
        ASSERT_TRUE(service.Start(host, config, nullptr, error)) << error;
        ASSERT_TRUE(service.View().WaitFor(host.Events().State().seq, std::chrono::seconds(10)));
        httplib::Client c("127.0.0.1", service.Http()->Port());
        auto r = c.Get("/api/v1/values");
        ASSERT_TRUE(r);
        const Json::Value d = parse_json(r->body)["devices"][0];
        EXPECT_TRUE(d["units"][1]["replayed"].asBool()) << r->body;
        // An hour old: withheld as the unit itself would.
        EXPECT_TRUE(d["stale"].asBool());
        EXPECT_TRUE(d["units"][1]["values"]["v"].isNull());
        EXPECT_EQ(d["units"][1]["replies"]["v"].asString(), "数据已超时");
        EXPECT_GE(d["age_seconds"].asDouble(), 3500) << r->body;
        auto m = c.Get("/metrics");
        ASSERT_TRUE(m);
        std::smatch age;
        ASSERT_TRUE(std::regex_search(
            m->body, age, std::regex(R"(ravo3_data_age_seconds\{device="site-1"\} (\S+))")));
        EXPECT_GE(std::stod(age[1]), 3500);
        service.Stop();
        host.Stop();
    }
    smd::set_local_clock(nullptr);
}

// Plots: a window whose slots span a minute or more is drawn from the
// per-minute summaries, a shorter one from the records; both keep a dip of
// one record and count every record of the window. Records that wait for the
// disk are served with the others.
TEST(ServiceHistory, PlotsFromSummariesOrRecordsAndPagesWithWaitingRecords) {
    namespace pt = boost::posix_time;
    const fs::path dir = fs::temp_directory_path() / ("ravo3-plot-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const pt::ptime t0 = pt::time_from_string("2026-12-08 08:00:00");
    pt::ptime now = t0 + pt::hours(4);
    smd::set_local_clock([&now] { return now; });
    auto dc = [](float v) {
        std::vector<unsigned char> b(142, 0);
        std::memcpy(&b[4], &v, 4);
        return b;
    };
    // Three hours of a DC unit every 2 s, 53.5 V but one record at 40 V.
    const pt::ptime dip = t0 + pt::minutes(70) + pt::seconds(14);
    {
        smd::SqliteStore::Options o;
        std::string error;
        auto store = smd::SqliteStore::Open((dir / "history.db").string(), o, &error);
        ASSERT_TRUE(store) << error;
        for (int k = 0; k < 5400; ++k) {
            smd::HistoryRecord r;
            r.data_id = 502;
            r.device_type = "ravo3-dc";
            r.unit_type = 5161;
            r.time = t0 + pt::seconds(2 * k);
            r.bytes = dc(r.time == dip ? 40.f : 53.5f);
            store->Append(r);
        }
        store->Maintain();
    }
    const std::string site =
        R"({"history_db": "history.db", "history_days": 1, "http": {"listen": "127.0.0.1:0"},
            "devices": [{"name": "site-1", "port": "/nonexistent/tty", "driver": ")" RAVO3_PLUGIN_PATH
        R"(", "data_id": 500, "acSetting": [{"data_id": 501}], "dcSetting": [{"data_id": 502}],
            "rcSetting": {}}]})";
    smd::SiteConfig config;
    std::string error;
    ASSERT_TRUE(smd::ParseSiteConfig(site, dir.string(), config, error)) << error;
    std::atomic<int> fault{0};
    smd::HostOptions ho;
    ho.log = [](const std::string&) {};
    ho.start_lines = false;
    ho.store_fault = [&](const char* step) {
        return std::string(step) == "write" ? fault.load() : 0;
    };
    smd::Host host(ho);
    ASSERT_TRUE(host.Start(config, error)) << error;
    smd::service::Service service;
    ASSERT_TRUE(service.Start(host, config, nullptr, error)) << error;
    httplib::Client c("127.0.0.1", service.Http()->Port());
    c.set_read_timeout(10, 0);
    auto get = [&](const std::string& path) {
        auto r = c.Get(path.c_str());
        EXPECT_TRUE(r && r->status == 200) << path << (r ? r->body : "");
        return r ? parse_json(r->body) : Json::Value();
    };
    struct Case {
        const char* name;
        const char* from;
        const char* to;
        int points;
        std::size_t in_window, in_summaries;  // while the records are kept, and after
        bool dip;
    };
    const Case cases[] = {
        {"three hours: slots of a minute and more", "08:00:00", "10:59:58", 200, 5400, 5400, true},
        {"an hour: slots of seconds", "08:30:00", "09:29:58", 2000, 1800, 1800, true},
        {"a minute", "09:10:00", "09:10:59", 100, 30, 30, true},
        {"both ends on one record", "09:10:14", "09:10:14", 4, 1, 30, true},
        {"an hour after the dip", "09:20:00", "10:19:58", 200, 1800, 1800, false}};
    auto check = [&](bool summaries_only) {
        for (const Case& k : cases) {
            SCOPED_TRACE(std::string(k.name) + (summaries_only ? ", records gone" : ""));
            const Json::Value a =
                get("/api/v1/history?data_id=502&from=2026-12-08T" + std::string(k.from) +
                    "&to=2026-12-08T" + k.to + "&points=" + std::to_string(k.points));
            EXPECT_EQ(a["records_in_window"].asUInt(),
                      summaries_only ? k.in_summaries : k.in_window);
            EXPECT_EQ(a["undecoded"].asUInt(), 0u);
            EXPECT_LE(a["records"].size(), static_cast<unsigned>(k.points));
            float low = 1e9f;
            for (const Json::Value& r : a["records"])
                low = std::min(low, r["values"]["v"].asFloat());
            EXPECT_EQ(low, k.dip ? 40.f : 53.5f);
        }
    };
    check(false);
    // Only the names asked for, from summaries and from records alike.
    for (const char* points : {"200", "2000"}) {
        const Json::Value only = get(
            "/api/v1/history?data_id=502&from=2026-12-08T09:00&to=2026-12-08T09:59:59&names=*v*,x&"
            "points=" +
            std::string(points));
        ASSERT_GT(only["records"].size(), 0u) << points;
        for (const Json::Value& r : only["records"]) {
            EXPECT_EQ(r["values"].getMemberNames(), std::vector<std::string>{"v"}) << points;
        }
    }
    for (const char* bad : {"v,", "v;i", ",", "%20"}) {
        auto r = c.Get(("/api/v1/history?data_id=502&names=" + std::string(bad)).c_str());
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 400) << bad;
    }
    // A record the disk does not take yet is in the pages and plots all the same.
    fault = 13;  // SQLITE_FULL
    smd::HistoryRecord late;
    late.data_id = 502;
    late.device_type = "ravo3-dc";
    late.unit_type = 5161;
    late.time = t0 + pt::hours(3);
    late.bytes = dc(41.f);
    host.Store()->Append(late);
    host.Store()->Sync();
    const Json::Value page = get("/api/v1/history?data_id=502&from=2026-12-08T10:59:58");
    ASSERT_EQ(page["records"].size(), 2u);
    EXPECT_EQ(page["records"][1]["values"]["v"].asFloat(), 41.f);
    EXPECT_GT(page["records"][1]["id"].asInt64(), page["records"][0]["id"].asInt64());
    const Json::Value plot =
        get("/api/v1/history?data_id=502&from=2026-12-08T08:00&to=2026-12-08T11:00&points=200");
    EXPECT_EQ(plot["records_in_window"].asUInt(), 5401u);
    fault = 0;
    // A day later the records are gone ("history_days": 1), their summaries not.
    now += pt::hours(24);
    host.Store()->Maintain();
    EXPECT_EQ(get("/api/v1/history?data_id=502")["records"].size(), 0u);
    check(true);
    service.Stop();
    host.Stop();
    smd::set_local_clock(nullptr);
    fs::remove_all(dir);
}

TEST(ServiceJson, TextRules) {
    using smd::json::number;
    using smd::json::quote;
    EXPECT_EQ(number(53.52f), "53.52");
    EXPECT_EQ(number(0.1f), "0.1");
    EXPECT_EQ(number(1e-45f), "1e-45");
    EXPECT_EQ(number(std::nanf("")), "null");
    EXPECT_EQ(number(-INFINITY), "null");
    EXPECT_EQ(number(0.1), "0.1");
    EXPECT_EQ(quote("a\"b\\c\n\x01\x7f"), "\"a\\\"b\\\\c\\n\\u0001\\u007f\"");
    EXPECT_EQ(quote("交流"), "\"交流\"");
    // Invalid bytes, an overlong form, a surrogate, a cut-off sequence: each becomes U+FFFD.
    EXPECT_EQ(quote("\xff"
                    "a\xc0\xaf"
                    "b\xed\xa0\x80"
                    "c\xe4\xba"),
              "\"\xEF\xBF\xBD"
              "a\xEF\xBF\xBD\xEF\xBF\xBD"
              "b\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
              "c\xEF\xBF\xBD\xEF\xBF\xBD\"");
    // A log line: no control character survives, nor a broken byte.
    EXPECT_EQ(smd::log_safe("a\nb\r\t\x1b[2J\x7f\xc2\x9b\xc2\xa0交流\xff"),
              "a\\nb\\r\\t\\x1b[2J\\x7f\\u009b\xc2\xa0交流\xEF\xBF\xBD");
}

TEST(ServiceTime, QueryTimes) {
    namespace pt = boost::posix_time;
    ::setenv("TZ", "UTC-1", 1);  // POSIX: one hour east of UTC
    ::tzset();
    const struct {
        const char* text;
        const char* local;   // empty: refused
        bool range = false;  // refused with the supported range named
    } cases[] = {
        {"2026-12-08T06:15:05+01:00", "2026-12-08 06:15:05"},
        {"2026-12-08T05:15:05Z", "2026-12-08 06:15:05"},
        {"2026-12-08T04:45:05-0030", "2026-12-08 06:15:05"},
        {"2026-12-08T06:15:05 01:00", "2026-12-08 06:15:05"},  // '+' unescaped in a URL
        {"2026-12-08 06:15:05", "2026-12-08 06:15:05"},
        {"2026-12-08T06:15:05.250", "2026-12-08 06:15:05"},
        {"2026-12-08T06:15", "2026-12-08 06:15:00"},
        {"2026-12-08", "2026-12-08 00:00:00"},
        {"2026-02-30", ""},
        {"2026-12-08T24:00", ""},
        {"2026-12-08T06:15:05+01", ""},
        {"2026-12-08x", ""},
        {"", ""},
        {"2024-02-29", "2024-02-29 00:00:00"},
        {"2100-02-29", ""},
        {"1970-01-01", "1970-01-01 00:00:00"},
        {"1969-12-31T23:59:59", "", true},
        {"1970-01-01T00:00:00+01:00", "1970-01-01 00:00:00"},
        {"1970-01-01T00:00:00+01:01", "", true},
        {"0000-01-01", "", true},
        {"9999-12-31T23:59:59", "9999-12-31 23:59:59"},
        {"9999-12-31T22:59:59Z", "9999-12-31 23:59:59"},
        {"9999-12-31T23:00:00Z", "", true},
        {"9999-12-31T23:59:59-23:59", "", true},
    };
    for (const auto& k : cases) {
        pt::ptime t;
        std::string error;
        const bool ok = smd::service::parse_query_time(k.text, t, error);
        EXPECT_EQ(ok, *k.local != 0) << k.text << ": " << error;
        EXPECT_EQ(error.find(kRange) != std::string::npos, k.range) << k.text << ": " << error;
        if (ok) {
            EXPECT_EQ(pt::to_simple_string(t), pt::to_simple_string(pt::time_from_string(k.local)))
                << k.text;
        }
    }
    ::unsetenv("TZ");
    ::tzset();
}

TEST(ServiceHttpOptions, ListenTokenAndTls) {
    const auto dir = fs::temp_directory_path() / ("ravo3-http-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "token") << "  abc \n";
    std::ofstream(dir / "empty") << "\n";
    const struct {
        const char* json;
        const char* error;  // empty: accepted
    } cases[] = {
        {R"({})", ""},
        {R"({"listen": "[::1]:9000"})", ""},
        {R"({"listen": "0.0.0.0:8363", "token_file": "token"})", ""},
        {R"({"listen": "0.0.0.0:8363"})", "needs a \"token_file\""},
        {R"({"listen": "192.168.1.5:8363", "token_file": "empty"})", "holds no token"},
        {R"({"listen": "127.0.0.1"})", "ADDRESS:PORT"},
        {R"({"listen": "127.0.0.1:65536"})", "ADDRESS:PORT"},
        {R"({"cert_file": "c.pem"})", "both"},
        {R"({"lisen": "127.0.0.1:1"})", "unknown key \"lisen\""},
        {R"({"token_file": "missing"})", "cannot read"},
        {R"({"max_connections": 16, "max_per_client": 16})", ""},
        {R"({"max_connections": 15})", "from 16 to 65536"},
        {R"({"max_connections": 100, "max_per_client": 101})", "from 1 to 100"},
        {R"({"max_per_client": 0})", "from 1 to 1024"},
    };
    for (const auto& k : cases) {
        smd::service::HttpOptions o;
        std::string error;
        const bool ok = smd::service::ParseHttpOptions(parse_json(k.json), dir.string(), o, error);
        EXPECT_EQ(ok, *k.error == 0) << k.json << ": " << error;
        if (!ok) {
            EXPECT_NE(error.find(k.error), std::string::npos) << error;
        }
        if (ok && std::string(k.json).find("token") != std::string::npos) {
            EXPECT_EQ(o.token, "abc");
        }
    }
    fs::remove_all(dir);
}

// TLS with the certificate and key given; the token still asked for; a
// certificate that cannot be used is refused at start, not at the first request.
TEST(ServiceTls, ServesOverTls) {
    const auto dir = fs::temp_directory_path() / ("ravo3-tls-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string cmd =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
        "-nodes -days 1 -subj /CN=localhost -keyout " +
        (dir / "key.pem").string() + " -out " + (dir / "cert.pem").string() + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    smd::service::HttpOptions o;
    o.port = 0;
    o.token = "tls-token";
    o.cert_file = (dir / "cert.pem").string();
    o.key_file = (dir / "key.pem").string();
    smd::service::HttpServer server(o);
    server.Get("/ping", [](const smd::service::HttpRequest&, smd::service::HttpResponse& res) {
        smd::service::SetJson(res, "{\"pong\":true}");
    });
    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;
    httplib::SSLClient tls("127.0.0.1", server.Port());
    tls.enable_server_certificate_verification(false);
    tls.set_bearer_token_auth("tls-token");
    auto r = tls.Get("/ping");
    ASSERT_TRUE(r) << httplib::to_string(r.error());
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->body, "{\"pong\":true}\n");
    httplib::Client plain("127.0.0.1", server.Port());
    plain.set_read_timeout(2, 0);
    auto p = plain.Get("/ping");
    EXPECT_TRUE(!p || p->status != 200) << "plain HTTP on a TLS listener";
    server.Stop();

    o.cert_file = (dir / "key.pem").string();  // a key is no certificate
    smd::service::HttpServer wrong(o);
    EXPECT_FALSE(wrong.Start(error));
    EXPECT_NE(error.find("cannot be used"), std::string::npos) << error;
    fs::remove_all(dir);
}

// Stored blobs come from disk: a record whose size does not fit its kind's
// layout (or its own channel or module count) is refused whole.
TEST(ServiceRecords, RecordsOfTheWrongShapeAreRefused) {
    auto ac = [](std::size_t channels, unsigned char count) {
        std::vector<unsigned char> r(40 + 30 * channels, 0);
        r[16] = count;
        return r;
    };
    auto rc = [](std::size_t modules, unsigned char count) {
        std::vector<unsigned char> r(81 + 32 * modules, 0);
        r[73] = count;
        return r;
    };
    const struct {
        smd::UnitKind kind;
        std::vector<unsigned char> record;
        std::size_t values;  // 0: refused
    } cases[] = {
        {smd::UnitKind::AC, ac(2, 2), 6 + 8},
        {smd::UnitKind::AC, ac(0, 0), 6},
        {smd::UnitKind::AC, ac(2, 3), 0},
        {smd::UnitKind::AC, std::vector<unsigned char>(39, 0), 0},
        {smd::UnitKind::AC, std::vector<unsigned char>(55, 0), 0},
        {smd::UnitKind::DC, std::vector<unsigned char>(142, 0), 2},
        {smd::UnitKind::DC, std::vector<unsigned char>(141, 0), 0},
        {smd::UnitKind::DC, {}, 0},
        {smd::UnitKind::RC, rc(1, 1), 2 + 5},
        {smd::UnitKind::RC, rc(1, 2), 0},
        {smd::UnitKind::RC, std::vector<unsigned char>(80, 0), 0},
    };
    for (const auto& k : cases) {
        std::vector<smd::NamedValue> out;
        EXPECT_EQ(smd::record_values(k.kind, k.record, out), k.values > 0)
            << smd::unit_kind_name(k.kind) << " " << k.record.size();
        EXPECT_EQ(out.size(), k.values) << smd::unit_kind_name(k.kind) << " " << k.record.size();
    }
}

// A line thread that stops turning (here: its device's lock held from
// outside) withholds the watchdog pings until it turns again.
TEST(ServiceWatchdog, AStuckLineWithholdsThePings) {
    smd::set_pause([](unsigned) {});
    const auto dir = fs::temp_directory_path() / ("ravo3-wd-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    sim::Server sim(sim::ParseScenario("{}"));
    ASSERT_TRUE(sim.Start()) << sim.Error();
    const std::string site = R"({"devices": [{"name": "site-1", "port": ")" + sim.Path() +
                             R"(", "driver": ")" RAVO3_PLUGIN_PATH R"(", "data_id": 500,
                                 "acSetting": [{"data_id": 501}], "dcSetting": [{"data_id": 502}], "rcSetting": {}}]})";
    smd::SiteConfig config;
    std::string error;
    ASSERT_TRUE(smd::ParseSiteConfig(site, dir.string(), config, error)) << error;
    smd::HostOptions ho;
    ho.log = [](const std::string&) {};
    smd::Host host(ho);
    ASSERT_TRUE(host.Start(config, error)) << error;

    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", (dir / "notify").c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ::setenv("NOTIFY_SOCKET", a.sun_path, 1);
    auto next = [fd](const std::string& want) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 200) <= 0) continue;
            char buf[1024];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n > 0 &&
                std::string(buf, static_cast<std::size_t>(n)).find(want) != std::string::npos) {
                return true;
            }
        }
        return false;
    };

    smd::service::SiteView view;
    std::mutex log_mutex;
    std::condition_variable logged;
    std::vector<std::string> lines;
    smd::service::Context ctx{host, config,
                              [&](const std::string& line) {
                                  std::lock_guard<std::mutex> lock(log_mutex);
                                  lines.push_back(line);
                                  logged.notify_all();
                              },
                              &view, nullptr};
    smd::service::Notifier notifier(ctx, 200000);
    ASSERT_TRUE(notifier.Start(error));
    EXPECT_TRUE(next("READY=1"));
    EXPECT_TRUE(next("WATCHDOG=1"));

    std::promise<void> release, held;
    std::thread blocker([&] {
        host.WithDevice("site-1", [&](SMDSPDevice&) {
            held.set_value();
            release.get_future().wait();
        });
    });
    held.get_future().wait();
    {
        std::unique_lock<std::mutex> lock(log_mutex);
        EXPECT_TRUE(logged.wait_for(lock, std::chrono::seconds(20), [&] {
            return !lines.empty() && lines.back().find("stuck (site-1)") != std::string::npos;
        }));
    }
    release.set_value();
    blocker.join();
    EXPECT_TRUE(next("WATCHDOG=1")) << "pings again once the line turns";

    notifier.Stop();
    ::unsetenv("NOTIFY_SOCKET");
    ::close(fd);
    host.Stop();
    sim.Stop();
    smd::set_pause(nullptr);
    fs::remove_all(dir);
}

}  // namespace

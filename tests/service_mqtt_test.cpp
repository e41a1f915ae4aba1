// The MQTT publisher against a real broker started here on a loopback port:
// what arrives (state, events, availability, discovery), what survives the
// broker's absence and the publisher's restart, and how a refusal reads.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <json/reader.h>
#include <json/writer.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "runtime/events/Events.h"
#include "runtime/site/Host.h"
#include "runtime/site/SiteConfig.h"
#include "service/Service.h"
#include "service/http/HttpServer.h"
#include "service/mqtt/MqttConfig.h"
#include "service/mqtt/MqttPublisher.h"
#include "sim/Server.h"
#include "tests/support/MqttBroker.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using boost::posix_time::ptime;
using boost::posix_time::time_from_string;
using namespace testing_support;

// A TCP relay between the publisher and the broker that can hold back what
// the broker answers (its acknowledgements) and then cut the connection: the
// connection lost after a publish and before its PUBACK, at a chosen moment.
class Relay {
  public:
    explicit Relay(int broker_port) : broker_port_(broker_port) {
        listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listen_, 4);
        getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        pipe2(wake_, O_CLOEXEC);
        thread_ = std::thread([this] { Run(); });
    }
    ~Relay() {
        stop_ = true;
        Wake();
        thread_.join();
        for (int fd : {listen_, wake_[0], wake_[1], client_, broker_}) {
            if (fd >= 0) close(fd);
        }
    }
    int Port() const { return port_; }
    // From now on the broker's bytes stay unread (nothing is acknowledged).
    void Hold() {
        hold_ = true;
        Wake();
    }
    // The held connection is dropped; the next one is relayed in full.
    void Cut() {
        cut_ = true;
        Wake();
    }

  private:
    void Wake() { (void)!write(wake_[1], "x", 1); }
    void Close() {
        for (int* fd : {&client_, &broker_}) {
            if (*fd >= 0) close(*fd);
            *fd = -1;
        }
    }
    void Run() {
        char buf[4096];
        while (!stop_) {
            if (cut_.exchange(false)) {
                Close();
                hold_ = false;
            }
            std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listen_, POLLIN, 0}};
            if (client_ >= 0) fds.push_back({client_, POLLIN, 0});
            if (broker_ >= 0 && !hold_) fds.push_back({broker_, POLLIN, 0});
            if (poll(fds.data(), fds.size(), 1000) <= 0) continue;
            if (fds[0].revents) (void)!read(wake_[0], buf, sizeof buf);
            if (fds[1].revents) {
                const int c = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
                Close();
                client_ = c;
                broker_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_in a{};
                a.sin_family = AF_INET;
                a.sin_port = htons(static_cast<std::uint16_t>(broker_port_));
                a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                if (connect(broker_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) Close();
                continue;
            }
            for (std::size_t i = 2; i < fds.size(); ++i) {
                if (!fds[i].revents) continue;
                const bool from_client = fds[i].fd == client_;
                const ssize_t n = read(fds[i].fd, buf, sizeof buf);
                const int to = from_client ? broker_ : client_;
                if (n <= 0 || to < 0 || write(to, buf, static_cast<std::size_t>(n)) != n) {
                    Close();
                    break;
                }
            }
        }
    }
    int broker_port_, port_ = 0;
    int listen_ = -1, client_ = -1, broker_ = -1;
    int wake_[2] = {-1, -1};
    std::atomic<bool> stop_{false}, hold_{false}, cut_{false};
    std::thread thread_;
};

Json::Value parse(const std::string& text) {
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string errors;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    if (!r->parse(text.data(), text.data() + text.size(), &v, &errors)) {
        ADD_FAILURE() << "not JSON: " << text << ": " << errors;
    }
    return v;
}

// Log lines of the publisher, waited on like messages.
struct LogLines {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::string> lines;
    smd::MqttPublisher::LogFn Fn() {
        return [this](const std::string& l) {
            std::lock_guard<std::mutex> lock(mutex);
            lines.push_back(l);
            cv.notify_all();
        };
    }
    // Waits for `count` lines containing `text`.
    bool Wait(const std::string& text, std::size_t count = 1) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, kDeadline, [&] {
            std::size_t n = 0;
            for (const auto& l : lines) n += l.find(text) != std::string::npos;
            return n >= count;
        });
    }
};

// One statement on the site's database, as a second connection: the
// publisher's connection writes the same file, so wait for its lock.
int run_sql(const std::string& db, const char* text) {
    sqlite3* h = nullptr;
    sqlite3_open(db.c_str(), &h);
    sqlite3_busy_timeout(h, 5000);
    const int rc = sqlite3_exec(h, text, nullptr, nullptr, nullptr);
    sqlite3_close(h);
    return rc;
}

// An outbox that refuses every row, as a full disk would.
const char* const kFullOutbox =
    "CREATE TABLE mqtt_outbox(id INTEGER PRIMARY KEY AUTOINCREMENT, topic TEXT NOT NULL, "
    "payload TEXT NOT NULL);"
    "CREATE TRIGGER full BEFORE INSERT ON mqtt_outbox BEGIN "
    "SELECT RAISE(ABORT, 'database or disk is full'); END;";

smd::mqtt::MqttConfig config(int port, const std::string& db = "") {
    smd::mqtt::MqttConfig c;
    c.host = "127.0.0.1";
    c.port = port;
    c.client_id = "site-7";
    c.topic_prefix = "ravo3/site-7";
    c.outbox_db = db;
    c.reconnect_min_ms = 100;
    c.reconnect_max_ms = 400;
    return c;
}

smd::NamedValue value(const std::string& name, float v) {
    smd::NamedValue n;
    n.name = name;
    n.ok = true;
    n.value = v;
    return n;
}

smd::HostEvent cycle_event() {
    smd::HostEvent e;
    e.kind = smd::HostEvent::Kind::Cycle;
    e.device = "plant/a";  // a separator in the name must not make a new level
    e.time = time_from_string("2026-12-08 06:15:05");
    e.cycle.number = 3;
    e.line.state = smd::LineState::Answering;
    e.line.since = e.time;
    e.line.last_cycle = e.time;
    smd::UnitValues ac;
    ac.kind = smd::UnitKind::AC;
    ac.data_id = 5001;
    ac.device_type = "ravo3-ac";
    ac.values = {value("ia", 12.5f), value("ib", 0.1f), value("ic", std::nanf("")),
                 value("channel_0_a", 230.4f), value("channel_0_f", 50.0f)};
    smd::NamedValue stale;
    stale.name = "channel_0_b";
    stale.reply = "数据已超时";
    ac.values.push_back(stale);
    smd::ActiveAlarm p;
    p.key = "AC_0";
    p.code = "06015";
    p.name = "交流输入停电";
    p.detail = "交流屏1";
    ac.points.push_back(p);
    smd::UnitValues dc;
    dc.kind = smd::UnitKind::DC;
    dc.data_id = 5002;
    dc.device_type = "ravo3-dc";
    dc.values = {value("v", 53.5f), value("i", 20.25f)};
    e.units = {ac, dc};
    return e;
}

smd::HostEvent alarm_event(bool raised, const std::string& detail) {
    smd::HostEvent e;
    e.kind = raised ? smd::HostEvent::Kind::AlarmRaised : smd::HostEvent::Kind::AlarmCleared;
    e.device = "plant/a";
    e.time = time_from_string("2026-12-08 06:15:06");
    e.alarm.data_id = 5001;
    e.alarm.device_type = "ravo3-ac";
    e.alarm.key = "AC_0";
    e.alarm.code = "06015";
    e.alarm.name = "交流输入停电";
    e.alarm.detail = detail;
    e.alarm.level = 1;
    e.alarm.state = raised ? 1 : -1;
    e.alarm.since = e.time;
    return e;
}

std::size_t outbox_rows(const std::string& db) {
    sqlite3* h = nullptr;
    std::size_t n = 0;
    if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(h, 5000);  // the host may be writing
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(h, "SELECT COUNT(*) FROM mqtt_outbox", -1, &s, nullptr) ==
                SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW) {
            n = static_cast<std::size_t>(sqlite3_column_int64(s, 0));
        }
        sqlite3_finalize(s);
    }
    sqlite3_close(h);
    return n;
}

TEST(MqttConfig, KeysAreCheckedByName) {
    TempDir dir;
    std::ofstream(dir.path / "pw") << "secret\n";
    struct Case {
        const char* json;
        const char* error;  // empty: accepted
    } cases[] = {
        {R"({"host":"broker"})", ""},
        {R"({"host":"broker","username":"u","password_file":"pw","tls":{}})", ""},
        {R"({"port":1883})", "\"host\" is missing"},
        {R"({"host":"b","port":70000})", "\"port\" must be"},
        {R"({"host":"b","topic_prefix":"a/+/b"})", "\"topic_prefix\""},
        {R"({"host":"b","discovery_prefix":"ha/"})", "\"discovery_prefix\""},
        {R"({"host":"b","password_file":"pw"})", "needs a \"username\""},
        {R"({"host":"b","username":"u","password_file":"nope"})", "cannot be read"},
        {R"({"host":"b","tls":{"cert_file":"pw"}})", "go together"},
        {R"({"host":"b","tls":{"cafile":"pw"}})", "\"tls.cafile\" is not a known key"},
        {R"({"host":"b","ha_discovery":"yes"})", "\"ha_discovery\" must be"},
        {R"({"hots":"b"})", "\"hots\" is not a known key"},
    };
    for (const Case& c : cases) {
        smd::mqtt::MqttConfig out;
        std::string error;
        const bool ok = smd::mqtt::ParseMqttConfig(parse(c.json), dir.path.string(), out, error);
        if (*c.error == '\0') {
            EXPECT_TRUE(ok) << c.json << ": " << error;
        } else {
            EXPECT_FALSE(ok) << c.json;
            EXPECT_NE(error.find(c.error), std::string::npos) << c.json << ": " << error;
        }
    }
    smd::mqtt::MqttConfig out;
    std::string error;
    ASSERT_TRUE(smd::mqtt::ParseMqttConfig(
        parse(R"({"host":"b","username":"u","password_file":"pw","tls":{}})"), dir.path.string(),
        out, error));
    EXPECT_EQ(out.password, "secret");
    EXPECT_EQ(out.port, 8883);
    EXPECT_EQ(out.topic_prefix, "ravo3");
    EXPECT_FALSE(out.client_id.empty());
}

TEST(MqttPublisher, StateEventsAvailabilityAndDiscoveryArrive) {
    TempDir dir;
    const int port = free_port();
    Broker broker(dir.path, port);
    std::string why;
    ASSERT_TRUE(broker.Start(why)) << why;
    Subscriber sub(port, "watcher", false);
    ASSERT_TRUE(sub.WaitSubscribed());

    smd::EventBus bus;
    bus.Publish(cycle_event());  // before the start: reaches the publisher as state
    LogLines log;
    auto pub = smd::MqttPublisher::Start(config(port), bus, log.Fn(), why);
    ASSERT_TRUE(pub) << why;
    bus.Publish(alarm_event(true, "交流屏1"));
    const std::string base = "ravo3/site-7/plant_a";
    ASSERT_TRUE(sub.WaitTopic(base + "/events")) << "no event";
    ASSERT_TRUE(sub.WaitTopic("ravo3/site-7/status", "online"));
    // Object ids of a device whose name had to be changed carry a hash of it.
    const std::string ha = "homeassistant/sensor/site-7/plant_a_";
    const std::string ia = sub.Find(ha, "_ac5001_ia/config");
    const std::string freq = sub.Find(ha, "_ac5001_channel_0_f/config");
    const std::string volt = sub.Find(ha, "_ac5001_channel_0_a/config");
    const std::string dcv = sub.Find(ha, "_dc5002_v/config");

    struct Expect {
        std::string topic;
        std::string path;  // member path in the JSON payload, '.'-separated; empty: whole text
        std::string value;
    } expects[] = {
        {base + "/availability", "", "online"},
        {base + "/line", "state", "answering"},
        {base + "/line", "since", "2026-12-08T06:15:05"},
        {base + "/ac/5001/state", "values.ia", "12.5"},
        {base + "/ac/5001/state", "values.ib", "0.1"},
        {base + "/ac/5001/state", "values.ic", "null"},
        {base + "/ac/5001/state", "replies.ic", "not a number"},
        {base + "/ac/5001/state", "values.channel_0_b", "null"},
        {base + "/ac/5001/state", "replies.channel_0_b", "数据已超时"},
        {base + "/ac/5001/state", "time", "2026-12-08T06:15:05"},
        {base + "/dc/5002/state", "values.v", "53.5"},
        {base + "/dc/5002/state", "values.i", "20.25"},
        {base + "/alarms", "0.key", "AC_0"},
        {base + "/alarms", "0.detail", "交流屏1"},
        {base + "/events", "event", "alarm_raised"},
        {base + "/events", "code", "06015"},
        {base + "/events", "id", "1"},
        {ia, "device_class", "current"},
        {ia, "unit_of_measurement", "A"},
        {ia, "value_template", "{{ value_json['values'][\"ia\"] }}"},
        {freq, "unit_of_measurement", "Hz"},
        {freq, "suggested_display_precision", "2"},
        {volt, "device_class", "voltage"},
        {dcv, "state_class", "measurement"},
        {dcv, "state_topic", base + "/dc/5002/state"},
        {dcv, "device.name", "plant/a"},
        {dcv, "availability.1.topic", base + "/availability"},
    };
    // The point's id is a hash of its unit, key and detail: take it from the list.
    ASSERT_TRUE(sub.WaitFor([&](const std::vector<Message>& ms) {
        for (const Message& m : ms) {
            if (m.topic == base + "/alarms" && m.payload != "[]") return true;
        }
        return false;
    }));
    const std::string pid = parse(sub.Last(base + "/alarms").payload)[0]["point"].asString();
    const std::string alarm_config =
        sub.Find("homeassistant/binary_sensor/site-7/plant_a_", "_alarm_" + pid + "/config");
    ASSERT_FALSE(alarm_config.empty());
    EXPECT_EQ(parse(sub.Last(alarm_config).payload)["device_class"].asString(), "problem");

    for (const Expect& x : expects) {
        ASSERT_TRUE(sub.WaitTopic(x.topic)) << x.topic;
        const Message m = sub.Last(x.topic);
        if (x.path.empty()) {
            EXPECT_EQ(m.payload, x.value) << x.topic;
            continue;
        }
        Json::Value v = parse(m.payload);
        std::string last;
        std::size_t from = 0;
        while (from <= x.path.size()) {
            const std::size_t dot = std::min(x.path.find('.', from), x.path.size());
            const std::string part = x.path.substr(from, dot - from);
            last = part;
            v = v.isArray() ? v[static_cast<Json::ArrayIndex>(std::stoul(part))] : v[part];
            from = dot + 1;
        }
        if (v.isString()) {
            // Times carry the local offset after the part given here.
            EXPECT_EQ(v.asString().substr(0, x.value.size()), x.value) << x.topic << " " << x.path;
        } else {
            // Numbers as they were written: the shortest text of the float.
            EXPECT_NE(m.payload.find("\"" + last + "\":" + x.value), std::string::npos)
                << x.topic << " " << x.path << ": " << m.payload;
        }
    }

    // What a newcomer gets is retained; the event is not.
    pub->Stop();
    Subscriber late(port, "late", false);
    ASSERT_TRUE(late.WaitTopic("ravo3/site-7/status", "offline"));
    for (const std::string& topic : {base + "/ac/5001/state", base + "/alarms", alarm_config, ia}) {
        ASSERT_TRUE(late.WaitTopic(topic)) << topic;
        EXPECT_TRUE(late.Last(topic).retain) << topic;
    }
    EXPECT_TRUE(late.On(base + "/events").empty());
}

// Keys of a discovery config as Home Assistant documents them today (its MQTT
// sensor and binary sensor pages, and the discovery page's "origin"), with
// `object_id` gone in favour of `default_entity_id`.
const std::set<std::string> kCommonKeys = {"availability",
                                           "availability_mode",
                                           "availability_template",
                                           "availability_topic",
                                           "default_entity_id",
                                           "device",
                                           "device_class",
                                           "enabled_by_default",
                                           "encoding",
                                           "entity_category",
                                           "entity_picture",
                                           "expire_after",
                                           "force_update",
                                           "icon",
                                           "json_attributes_template",
                                           "json_attributes_topic",
                                           "name",
                                           "origin",
                                           "payload_available",
                                           "payload_not_available",
                                           "platform",
                                           "qos",
                                           "state_topic",
                                           "unique_id",
                                           "value_template"};
const std::set<std::string> kSensorKeys = {"last_reset_value_template", "options",
                                           "suggested_display_precision", "state_class",
                                           "unit_of_measurement"};
const std::set<std::string> kBinarySensorKeys = {"off_delay", "payload_off", "payload_on"};
const std::set<std::string> kDeviceKeys = {"configuration_url", "connections",  "hw_version",
                                           "identifiers",       "manufacturer", "model",
                                           "model_id",          "name",         "serial_number",
                                           "suggested_area",    "sw_version",   "via_device"};
const std::set<std::string> kOriginKeys = {"name", "sw_version", "support_url"};

// Home Assistant's rule for an entity id: domain, dot, lower-case letters,
// digits and single underscores, none first or last.
bool valid_entity_id(const std::string& id, const std::string& domain) {
    if (id.compare(0, domain.size() + 1, domain + ".") != 0) return false;
    const std::string rest = id.substr(domain.size() + 1);
    if (rest.empty() || rest.front() == '_' || rest.back() == '_' ||
        rest.find("__") != std::string::npos)
        return false;
    for (char c : rest) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
    }
    return true;
}

smd::UnitValues rectifier(unsigned modules) {
    smd::UnitValues rc;
    rc.kind = smd::UnitKind::RC;
    rc.data_id = 5000;
    rc.device_type = "ravo3-rc";
    rc.values = {value("group_value", 53.5f), value("module_count", static_cast<float>(modules))};
    for (unsigned m = 1; m <= modules; ++m) {
        const std::string p = "module_" + std::to_string(m) + "_";
        for (const char* f : {"value", "status_1", "fault", "fan_fault"}) {
            rc.values.push_back(value(p + f, 0));
        }
        smd::ActiveAlarm fault;
        fault.key = "RC_0";  // one key for every module: the detail tells them apart
        fault.code = "06024";
        fault.name = "整流模块故障告警";
        fault.detail = "模块" + std::to_string(m) + "整流模块故障告警";
        rc.points.push_back(fault);
    }
    return rc;
}

// The whole discovery against a broker: every config's keys within the
// documented ones, entity ids Home Assistant accepts, a device per unit behind
// the bus device, raw bytes as disabled diagnostics, the bus device's entities
// before any cycle, removal when a module or channel count falls (and not
// when a cycle lacks the count), and everything again on Home Assistant's
// birth message.
TEST(MqttPublisher, DiscoveryForTodaysHomeAssistant) {
    TempDir dir;
    const int port = free_port();
    Broker broker(dir.path, port);
    std::string why;
    ASSERT_TRUE(broker.Start(why)) << why;
    Subscriber sub(port, "watcher", false);
    ASSERT_TRUE(sub.WaitSubscribed());
    smd::EventBus bus;
    smd::HostEvent line;
    line.kind = smd::HostEvent::Kind::Line;
    line.device = "plant/a";
    line.line.state = smd::LineState::PortMissing;
    bus.Publish(line);
    LogLines log;
    auto pub = smd::MqttPublisher::Start(config(port), bus, log.Fn(), why);
    ASSERT_TRUE(pub) << why;

    const std::string ha = "homeassistant/";
    // Config topics containing `needle`, with their newest payload.
    const auto configs = [&](const std::vector<Message>& ms, const std::string& needle) {
        std::map<std::string, std::string> out;
        for (const Message& m : ms) {
            if (m.topic.compare(0, ha.size(), ha) == 0 && m.topic.find(needle) != std::string::npos)
                out[m.topic] = m.payload;
        }
        return out;
    };
    // The line that never answered has its entities all the same.
    const std::string comm_lost =
        sub.Find(ha + "binary_sensor/site-7/plant_a_", "_comm_lost/config");
    ASSERT_FALSE(comm_lost.empty());
    EXPECT_TRUE(configs(sub.All(), "_ac5001_").empty());
    const Json::Value cl = parse(sub.Last(comm_lost).payload);
    EXPECT_EQ(cl["state_topic"].asString(), "ravo3/site-7/plant_a/line");
    EXPECT_EQ(cl["device_class"].asString(), "problem");

    smd::HostEvent first = cycle_event();
    first.units[0].values.push_back(value("ia_alert", 0));
    for (const char* n : {"channel_1_a", "channel_1_f"})
        first.units[0].values.push_back(value(n, 1));
    first.units.push_back(rectifier(6));
    bus.Publish(first);
    ASSERT_TRUE(sub.WaitFor([&](const std::vector<Message>& ms) {
        return configs(ms, "_rc5000_module_6_fan_fault/").size() == 1 &&
               configs(ms, "_alarm_rc_0_5000_").size() == 6;
    }));

    struct Raw {
        const char* object;  // end of the config topic's object id
        bool raw;
    } raws[] = {
        {"_ac5001_ia", false},
        {"_ac5001_ia_alert", true},
        {"_ac5001_channel_1_f", false},
        {"_dc5002_v", false},
        {"_rc5000_group_value", false},
        {"_rc5000_module_count", false},
        {"_rc5000_module_6_value", false},
        {"_rc5000_module_6_status_1", true},
        {"_rc5000_module_6_fault", true},
        {"_rc5000_module_6_fan_fault", true},
    };
    std::set<std::string> unique_ids, entity_ids;
    std::string bus_device;
    std::size_t checked = 0;
    for (const auto& [topic, payload] : configs(sub.All(), "/site-7/")) {
        SCOPED_TRACE(topic);
        const std::string domain = topic.substr(ha.size(), topic.find('/', ha.size()) - ha.size());
        ASSERT_TRUE(domain == "sensor" || domain == "binary_sensor");
        const Json::Value c = parse(payload);
        for (const std::string& key : c.getMemberNames()) {
            const auto& own = domain == "sensor" ? kSensorKeys : kBinarySensorKeys;
            EXPECT_TRUE(kCommonKeys.count(key) || own.count(key)) << "undocumented key " << key;
        }
        for (const std::string& key : c["device"].getMemberNames())
            EXPECT_TRUE(kDeviceKeys.count(key)) << key;
        for (const std::string& key : c["origin"].getMemberNames())
            EXPECT_TRUE(kOriginKeys.count(key)) << key;
        EXPECT_FALSE(c.isMember("object_id"));
        EXPECT_TRUE(valid_entity_id(c["default_entity_id"].asString(), domain))
            << c["default_entity_id"].asString();
        EXPECT_TRUE(unique_ids.insert(c["unique_id"].asString()).second);
        EXPECT_TRUE(entity_ids.insert(c["default_entity_id"].asString()).second);
        EXPECT_FALSE(c["state_topic"].asString().empty());
        EXPECT_FALSE(c["device"]["model"].asString().empty());
        EXPECT_FALSE(c["origin"]["sw_version"].asString().empty());
        const std::string ident = c["device"]["identifiers"][0].asString();
        const bool on_unit = topic.find("_ac5001_") != std::string::npos ||
                             topic.find("_dc5002_") != std::string::npos ||
                             topic.find("_rc5000_") != std::string::npos ||
                             topic.find("_alarm_") != std::string::npos;
        if (on_unit) {
            EXPECT_EQ(c["device"]["via_device"].asString() + "_",
                      ident.substr(0, c["device"]["via_device"].asString().size() + 1));
            bus_device = c["device"]["via_device"].asString();
        } else {
            EXPECT_FALSE(c["device"].isMember("via_device"));
        }
        for (const Raw& r : raws) {
            if (topic.size() < std::strlen(r.object) + 7 ||
                topic.compare(topic.size() - 7 - std::strlen(r.object), std::strlen(r.object),
                              r.object) != 0)
                continue;
            ++checked;
            EXPECT_EQ(c["entity_category"].asString(), r.raw ? "diagnostic" : "");
            EXPECT_EQ(c.isMember("enabled_by_default"), r.raw);
            EXPECT_FALSE(c["enabled_by_default"].asBool());
        }
    }
    EXPECT_EQ(checked, std::size(raws));
    EXPECT_EQ(bus_device,
              parse(sub.Last(comm_lost).payload)["device"]["identifiers"][0].asString());

    // A cycle without the rectifier's count (no record) removes nothing; the
    // next, with 3 modules and one channel, removes modules 4 to 6 (values and
    // points) and channel 2, and nothing else.
    smd::HostEvent no_count = cycle_event();
    no_count.units.push_back(rectifier(0));
    no_count.units.back().values.resize(1);
    no_count.units.back().points.clear();
    bus.Publish(no_count);
    smd::HostEvent fewer = cycle_event();
    fewer.units.push_back(rectifier(3));
    bus.Publish(fewer);
    const auto emptied = [&](const std::vector<Message>& ms) {
        std::set<std::string> out;
        for (const auto& [topic, payload] : configs(ms, "/site-7/")) {
            if (payload.empty()) out.insert(topic);
        }
        return out;
    };
    // 3 modules x 4 values, their 3 points, channel 2's 2 values, ia_alert.
    ASSERT_TRUE(
        sub.WaitFor([&](const std::vector<Message>& ms) { return emptied(ms).size() >= 18; }));
    const std::set<std::string> gone_topics = emptied(sub.All());
    for (const std::string& topic : gone_topics) {
        const bool gone = topic.find("_module_4_") != std::string::npos ||
                          topic.find("_module_5_") != std::string::npos ||
                          topic.find("_module_6_") != std::string::npos ||
                          topic.find("_channel_1_") != std::string::npos ||
                          topic.find("_ac5001_ia_alert/") != std::string::npos;
        const bool point = topic.find("_alarm_rc_0_5000_") != std::string::npos;
        EXPECT_TRUE(gone || point) << topic;
    }
    EXPECT_EQ(gone_topics.size(), 18u);

    // Home Assistant starts: everything announced is sent again.
    const std::size_t before = sub.On(comm_lost).size();
    sub.Publish("homeassistant/status", "online");
    EXPECT_TRUE(
        sub.WaitFor([&](const std::vector<Message>& ms) { return count(ms, comm_lost) > before; }));

    // The device leaves the site (a reload): every config and retained topic
    // of it is emptied, so Home Assistant and the broker forget it.
    bus.Remove("plant/a");
    const auto left = [&](const std::vector<Message>& ms) {
        std::map<std::string, std::string> newest = configs(ms, "/site-7/");
        for (const Message& m : ms) {
            const bool event =
                m.topic.size() > 7 && m.topic.substr(m.topic.size() - 7) == "/events";
            if (m.topic.rfind("ravo3/site-7/plant_a/", 0) == 0 && !event)
                newest[m.topic] = m.payload;
        }
        std::size_t full = 0;
        for (const auto& [topic, payload] : newest) full += payload.empty() ? 0 : 1;
        return newest.size() > 20 && full == 0;
    };
    EXPECT_TRUE(sub.WaitFor(left));
}

// The broker goes away while an alarm is raised and cleared; with or without
// a restart of the publisher in between, both events arrive once, in order.
TEST(MqttPublisher, EventsWaitForTheBrokerAndArriveOnceInOrder) {
    for (const bool restart : {false, true}) {
        SCOPED_TRACE(restart ? "publisher restarted" : "publisher kept");
        TempDir dir;
        const std::string db = (dir.path / "site.db").string();
        const int port = free_port();
        Broker broker(dir.path, port);
        std::string why;
        ASSERT_TRUE(broker.Start(why)) << why;
        Subscriber sub(port, "keeper", true);
        ASSERT_TRUE(sub.WaitSubscribed());
        smd::EventBus bus;
        LogLines log;
        auto pub = smd::MqttPublisher::Start(config(port, db), bus, log.Fn(), why);
        ASSERT_TRUE(pub) << why;
        ASSERT_TRUE(sub.WaitTopic("ravo3/site-7/status", "online"));

        broker.Stop();
        ASSERT_TRUE(log.Wait("lost"));
        bus.Publish(alarm_event(true, "交流屏1"));
        bus.Publish(alarm_event(false, "交流屏1"));
        ASSERT_TRUE(log.Wait("cannot connect", 1));
        if (restart) {
            pub.reset();
            EXPECT_EQ(outbox_rows(db), 2u);
            pub = smd::MqttPublisher::Start(config(port, db), bus, log.Fn(), why);
            ASSERT_TRUE(pub) << why;
            EXPECT_EQ(pub->Status().outbox, 2u);
        }
        ASSERT_TRUE(broker.Start(why)) << why;
        const std::string events = "ravo3/site-7/plant_a/events";
        ASSERT_TRUE(sub.WaitFor([&](auto& ms) { return count(ms, events) >= 2; }));
        // A new event after them: had anything been sent twice, it would come first.
        bus.Publish(alarm_event(true, "交流屏2"));
        ASSERT_TRUE(sub.WaitFor([&](auto& ms) { return count(ms, events) >= 3; }));
        const auto got = sub.On(events);
        ASSERT_EQ(got.size(), 3u);
        const Json::Value a = parse(got[0].payload), b = parse(got[1].payload),
                          c = parse(got[2].payload);
        EXPECT_EQ(a["event"].asString(), "alarm_raised");
        EXPECT_EQ(b["event"].asString(), "alarm_cleared");
        EXPECT_EQ(c["detail"].asString(), "交流屏2");
        EXPECT_LT(a["id"].asInt64(), b["id"].asInt64());
        EXPECT_LT(b["id"].asInt64(), c["id"].asInt64());
        pub.reset();
        EXPECT_EQ(outbox_rows(db), 0u);
    }
}

// The connection lost after the broker took two events and before their
// acknowledgements reached us: both stay in the outbox and go out again, in
// order, on the next session, before anything newer (at least once).
TEST(MqttPublisher, EventsInFlightWhenTheConnectionDropsAreSentAgain) {
    TempDir dir;
    const std::string db = (dir.path / "site.db").string();
    const int port = free_port();
    Broker broker(dir.path, port);
    std::string why;
    ASSERT_TRUE(broker.Start(why)) << why;
    Subscriber sub(port, "watcher", false);
    ASSERT_TRUE(sub.WaitSubscribed());
    Relay relay(port);
    smd::EventBus bus;
    LogLines log;
    auto pub = smd::MqttPublisher::Start(config(relay.Port(), db), bus, log.Fn(), why);
    ASSERT_TRUE(pub) << why;
    ASSERT_TRUE(sub.WaitTopic("ravo3/site-7/status", "online"));

    relay.Hold();
    bus.Publish(alarm_event(true, "交流屏1"));
    bus.Publish(alarm_event(false, "交流屏1"));
    const std::string events = "ravo3/site-7/plant_a/events";
    ASSERT_TRUE(sub.WaitFor([&](auto& ms) { return count(ms, events) >= 2; }));
    EXPECT_EQ(pub->Status().outbox, 2u) << "acknowledged before the broker said so";
    EXPECT_EQ(outbox_rows(db), 2u);
    relay.Cut();
    ASSERT_TRUE(sub.WaitFor([&](auto& ms) { return count(ms, events) >= 4; }))
        << "not sent again after the connection was lost";
    bus.Publish(alarm_event(true, "交流屏2"));
    ASSERT_TRUE(sub.WaitFor([&](auto& ms) { return count(ms, events) >= 5; }));
    std::vector<std::string> order;
    for (const auto& m : sub.On(events)) {
        const Json::Value v = parse(m.payload);
        order.push_back(v["event"].asString() + " " + v["detail"].asString());
    }
    EXPECT_EQ(order, (std::vector<std::string>{"alarm_raised 交流屏1", "alarm_cleared 交流屏1",
                                               "alarm_raised 交流屏1", "alarm_cleared 交流屏1",
                                               "alarm_raised 交流屏2"}));
    pub.reset();
    EXPECT_EQ(outbox_rows(db), 0u) << "acknowledged rows are deleted";
}

// A database that refuses the outbox's writes (a trigger stands in for a full
// disk): the events go to the broker from memory, in order; one the broker has
// not acknowledged when the database takes writes again is written then, and
// sent again from there.
TEST(MqttPublisher, EventsTheDatabaseRefusesGoOutFromMemoryAndAreKeptUntilAcknowledged) {
    TempDir dir;
    const std::string db = (dir.path / "site.db").string();
    auto sql = [&](const char* text) { return run_sql(db, text); };
    ASSERT_EQ(sql(kFullOutbox), SQLITE_OK);
    const int port = free_port();
    Broker broker(dir.path, port);
    std::string why;
    ASSERT_TRUE(broker.Start(why)) << why;
    Subscriber sub(port, "keeper", true);
    ASSERT_TRUE(sub.WaitSubscribed());
    smd::EventBus bus;
    LogLines log;
    auto pub = smd::MqttPublisher::Start(config(port, db), bus, log.Fn(), why);
    ASSERT_TRUE(pub) << why;
    ASSERT_TRUE(sub.WaitTopic("ravo3/site-7/status", "online"));
    const std::string events = "ravo3/site-7/plant_a/events";
    bus.Publish(alarm_event(true, "交流屏1"));
    bus.Publish(alarm_event(false, "交流屏1"));
    ASSERT_TRUE(log.Wait("database or disk is full; events held in memory"));
    ASSERT_TRUE(sub.WaitFor([&](auto& ms) { return count(ms, events) >= 2; }));
    EXPECT_EQ(outbox_rows(db), 0u);

    broker.Stop();
    ASSERT_TRUE(log.Wait("lost"));
    bus.Publish(alarm_event(true, "交流屏2"));
    ASSERT_EQ(sql("DROP TRIGGER full"), SQLITE_OK);
    ASSERT_TRUE(log.Wait("the outbox takes events again"));
    // Written now: every event the broker had not acknowledged when it went
    // (the new one, and the last one when its acknowledgement was on the way).
    EXPECT_EQ(outbox_rows(db), 3u - pub->Status().delivered);
    EXPECT_GE(outbox_rows(db), 1u);
    ASSERT_TRUE(broker.Start(why)) << why;
    // Delivery is at least once: a consumer drops a repeat by its id.
    const auto distinct = [&](const std::vector<Message>& ms) {
        std::vector<Json::Value> out;
        std::set<std::int64_t> ids;
        for (const Message& m : ms) {
            if (m.topic != events) continue;
            const Json::Value e = parse(m.payload);
            if (ids.insert(e["id"].asInt64()).second) out.push_back(e);
        }
        return out;
    };
    ASSERT_TRUE(sub.WaitFor([&](auto& ms) { return distinct(ms).size() >= 3; }));
    const auto got = distinct(sub.On(events));
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0]["event"].asString(), "alarm_raised");
    EXPECT_EQ(got[1]["event"].asString(), "alarm_cleared");
    EXPECT_EQ(got[2]["detail"].asString(), "交流屏2");
    EXPECT_LT(got[0]["id"].asInt64(), got[1]["id"].asInt64());
    EXPECT_LT(got[1]["id"].asInt64(), got[2]["id"].asInt64());
    pub.reset();
    EXPECT_EQ(outbox_rows(db), 0u);
}

// Brokers that ask for a password or speak TLS: a refusal or a certificate
// that does not check out is named in the log and retried; the right
// settings connect.
TEST(MqttPublisher, CredentialsAndTls) {
    TempDir dir;
    const std::string passwd = (dir.path / "passwd").string();
    const std::string cert = (dir.path / "cert.pem").string(),
                      key = (dir.path / "key.pem").string();
    ASSERT_EQ(std::system(("mosquitto_passwd -b -c " + passwd + " site secret").c_str()), 0)
        << "mosquitto_passwd (package mosquitto) is needed";
    ASSERT_EQ(std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                           "-nodes -days 1 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 "
                           "-keyout " +
                           key + " -out " + cert + " >/dev/null 2>&1")
                              .c_str()),
              0);
    const int pw_port = free_port(), tls_port = free_port();
    fs::create_directories(dir.path / "pw");
    fs::create_directories(dir.path / "tls");
    Broker pw(dir.path / "pw", pw_port, "allow_anonymous false\npassword_file " + passwd + "\n");
    Broker tls(dir.path / "tls", tls_port,
               "allow_anonymous true\ncertfile " + cert + "\nkeyfile " + key + "\n");
    std::string why;
    ASSERT_TRUE(pw.Start(why)) << why;
    ASSERT_TRUE(tls.Start(why)) << why;
    struct Case {
        const char* name;
        int port;
        const char* password;  // empty: no user
        bool tls;
        std::string ca_file;  // empty: the system's certificates
        const char* expect;   // in the log, twice when not connecting
        bool connects;
    } cases[] = {
        {"wrong password", pw_port, "wrong", false, "",
         "the broker refused the connection: not authorised", false},
        {"right password", pw_port, "secret", false, "", "connected to", true},
        {"broker's certificate", tls_port, "", true, cert, "connected to", true},
        {"unknown certificate", tls_port, "", true, "", "TLS failed", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        smd::EventBus bus;
        LogLines log;
        auto cfg = config(c.port);
        if (*c.password) {
            cfg.username = "site";
            cfg.password = c.password;
        }
        cfg.tls.enabled = c.tls;
        cfg.tls.ca_file = c.ca_file;
        auto pub = smd::MqttPublisher::Start(cfg, bus, log.Fn(), why);
        ASSERT_TRUE(pub) << why;
        EXPECT_TRUE(log.Wait(c.expect, c.connects ? 1 : 2));
        EXPECT_EQ(pub->Status().connected, c.connects);
        if (c.port == pw_port && !c.connects) {
            EXPECT_NE(pub->Status().last_error.find("password_file"), std::string::npos);
        }
    }
}

// The whole way: the host on a pty to the simulator, its stream through the
// publisher, the simulator's values and alarm at the subscriber.
TEST(MqttPublisher, SimulatedSiteEndToEnd) {
    TempDir dir;
    const int port = free_port();
    Broker broker(dir.path, port);
    std::string why;
    ASSERT_TRUE(broker.Start(why)) << why;
    Subscriber sub(port, "watcher", false);
    ASSERT_TRUE(sub.WaitSubscribed());
    sim::Server sim(sim::ParseScenario(R"({
      "ac": {"units": [{"channels": [{"a": 230.5, "b": 231.25, "c": 229.75, "f": 50.0,
                                      "states": [0, 2, 0, 0]}], "ia": 12.5}]},
      "rectifier": {"modules": [{"value": 16.5}]},
      "dc": {"units": [{"v": 53.52, "i": 48.5}]}})"));
    ASSERT_TRUE(sim.Start()) << sim.Error();
    const std::string text = R"({"history_db": "site.db", "poll_period_ms": 20,
        "mqtt": {"host": "127.0.0.1", "port": )" +
                             std::to_string(port) + R"(, "client_id": "site-9"},
        "devices": [{"name": "site-1", "port": ")" +
                             sim.Path() +
                             R"(", "data_id": 500, "driver": ")" RAVO3_PLUGIN_PATH R"(",
        "acSetting": [{"data_id": 501}], "dcSetting": [{"data_id": 502}], "rcSetting": {}}]})";
    smd::SiteConfig site;
    ASSERT_TRUE(smd::ParseSiteConfig(text, dir.path.string(), site, why)) << why;
    smd::mqtt::MqttConfig cfg;
    ASSERT_TRUE(smd::mqtt::ParseMqttConfig(site.mqtt, dir.path.string(), cfg, why)) << why;
    cfg.outbox_db = site.history_db;
    LogLines log;
    smd::HostOptions options;
    options.log = log.Fn();
    smd::Host host(options);
    ASSERT_TRUE(host.Start(site, why)) << why;
    auto pub = smd::MqttPublisher::Start(cfg, host.Events(), log.Fn(), why);
    ASSERT_TRUE(pub) << why;

    const struct {
        std::string topic;
        std::string contains;
    } expects[] = {
        {"ravo3/site-1/events", "\"code\":\"06014\""},
        {"ravo3/site-1/alarms", "交流屏1输入线/相电压BC/B"},
        {"ravo3/site-1/ac/501/state", "\"channel_0_b\":231.25"},
        {"ravo3/site-1/dc/502/state", "\"v\":53.52"},
        {"ravo3/site-1/rc/500/state", "\"module_1_value\":16.5"},
        {"ravo3/site-1/availability", "online"},
    };
    for (const auto& x : expects) {
        EXPECT_TRUE(sub.WaitFor([&](const std::vector<Message>& ms) {
            for (const Message& m : ms) {
                if (m.topic == x.topic && m.payload.find(x.contains) != std::string::npos)
                    return true;
            }
            return false;
        })) << x.topic
            << " " << x.contains;
    }
    // Every point the units register is announced, not only those that stood.
    const auto points = [](const std::vector<Message>& ms) {
        std::size_t n = 0;
        for (const Message& m : ms) {
            n += m.topic.rfind("homeassistant/binary_sensor/site-9/site-1_alarm_", 0) == 0;
        }
        return n;
    };
    EXPECT_TRUE(sub.WaitFor([&](const std::vector<Message>& ms) { return points(ms) > 10; }));
    pub->Stop();
    host.Stop();
    sim.Stop();
}

// The daemon's parts on a full disk (the history's writes and the outbox's
// both refused): an alarm the unit raises reaches the broker at once, and the
// API's event list has it; once the disk takes writes, the list keeps it
// under the same id, now from the file.
TEST(MqttPublisher, AFullDiskHoldsNoAlarmEventBack) {
    TempDir dir;
    const int port = free_port();
    Broker broker(dir.path, port);
    std::string why;
    ASSERT_TRUE(broker.Start(why)) << why;
    Subscriber sub(port, "watcher", false);
    ASSERT_TRUE(sub.WaitSubscribed());
    const std::string db = (dir.path / "site.db").string();
    auto sql = [&](const char* text) { return run_sql(db, text); };
    ASSERT_EQ(sql(kFullOutbox), SQLITE_OK);
    sim::Server sim(sim::ParseScenario(R"({
      "ac": {"units": [{"channels": [{"a": 230.5, "b": 231.25, "c": 229.75, "f": 50.0,
                                      "states": [0, 2, 0, 0]}], "ia": 12.5}]},
      "rectifier": {"modules": [{"value": 16.5}]},
      "dc": {"units": [{"v": 53.52, "i": 48.5}]}})"));
    ASSERT_TRUE(sim.Start()) << sim.Error();
    const std::string text = R"({"history_db": "site.db", "poll_period_ms": 20,
        "http": {"listen": "127.0.0.1:0"},
        "mqtt": {"host": "127.0.0.1", "port": )" +
                             std::to_string(port) + R"(, "client_id": "site-9"},
        "devices": [{"name": "site-1", "port": ")" +
                             sim.Path() +
                             R"(", "data_id": 500, "driver": ")" RAVO3_PLUGIN_PATH R"(",
        "acSetting": [{"data_id": 501}], "dcSetting": [{"data_id": 502}], "rcSetting": {}}]})";
    smd::SiteConfig site;
    ASSERT_TRUE(smd::ParseSiteConfig(text, dir.path.string(), site, why)) << why;
    std::atomic<int> fault{13};  // SQLITE_FULL
    LogLines log;
    smd::HostOptions options;
    options.log = log.Fn();
    options.store_fault = [&](const char* step) {
        return std::string(step) == "write" ? fault.load() : 0;
    };
    smd::Host host(options);
    ASSERT_TRUE(host.Start(site, why)) << why;
    smd::service::Service service;
    ASSERT_TRUE(service.Start(host, site, log.Fn(), why)) << why;
    httplib::Client api("127.0.0.1", service.Http()->Port());
    api.set_read_timeout(10, 0);
    const auto listed = [&]() -> Json::Value {
        auto r = api.Get("/api/v1/events");
        if (!r || r->status != 200) {
            ADD_FAILURE() << (r ? r->body : std::string("no answer"));
            return Json::Value();
        }
        const Json::Value body = parse(r->body);
        for (const Json::Value& e : body["events"]) {
            if (e["alarm"]["code"].asString() == "06014") return e;
        }
        return Json::Value();
    };

    ASSERT_TRUE(sub.WaitFor([](const std::vector<Message>& ms) {
        for (const Message& m : ms) {
            if (m.topic == "ravo3/site-1/events" &&
                m.payload.find("\"code\":\"06014\"") != std::string::npos) {
                return true;
            }
        }
        return false;
    }));
    const Json::Value waiting = listed();
    ASSERT_TRUE(waiting.isObject()) << "the API lists the event that waits for the disk";
    EXPECT_EQ(waiting["kind"].asString(), "raised");
    EXPECT_EQ(outbox_rows(db), 0u);
    EXPECT_TRUE(log.Wait("cannot write: database or disk is full"));

    fault = 0;
    ASSERT_EQ(sql("DROP TRIGGER full"), SQLITE_OK);
    host.Store()->Sync();
    const Json::Value stored = listed();
    ASSERT_TRUE(stored.isObject());
    EXPECT_EQ(stored["id"], waiting["id"]);
    service.Stop();
    host.Stop();
    sim.Stop();
    sqlite3* h = nullptr;
    sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(h, "SELECT count(*) FROM alarm_events WHERE code='06014'", -1, &st, nullptr);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(st, 0), 1);
    sqlite3_finalize(st);
    sqlite3_close(h);
}

}  // namespace

#include "service/mqtt/MqttPublisher.h"

#include <mosquitto.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <vector>

#include "ravo3/Version.h"
#include "runtime/text/JsonText.h"
#include "runtime/values/Vocabulary.h"
#include "service/json/EventJson.h"
#include "service/mqtt/Outbox.h"

namespace smd {

namespace {

using Clock = std::chrono::steady_clock;

// At most this many events wait for their acknowledgement at once; the
// outbox holds the rest, in order.
constexpr std::size_t kWindow = 20;
// A session that lasted this long starts the next back-off from the minimum.
constexpr auto kStableSession = std::chrono::seconds(10);
// With nothing to send, the network thread wakes this often for the
// library's keep-alive; anything to send wakes it at once.
constexpr int kIdleMs = 1000;
constexpr auto kRetryHeld = std::chrono::seconds(1);

std::uint32_t fnv1a(std::string_view s) {
    std::uint32_t h = 2166136261u;
    for (unsigned char c : s) {
        h ^= c;
        h *= 16777619u;
    }
    return h;
}

std::string hex8(std::uint32_t v) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08x", v);
    return buf;
}

// One level of a topic: no separators, wildcards or control characters.
std::string topic_level(const std::string& name) {
    std::string s = json::valid_utf8(name);
    for (char& c : s) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '/' || c == '+' || c == '#' || u < 0x20 || u == 0x7F) c = '_';
    }
    return s.empty() ? "_" : s;
}

// An identifier Home Assistant accepts ([A-Za-z0-9_-]); a name that had to
// be changed gets a hash of the original so that two names stay two ids.
std::string safe_id(const std::string& name) {
    std::string s;
    bool changed = name.empty();
    for (unsigned char c : name) {
        if (std::isalnum(c) || c == '_' || c == '-') {
            s += static_cast<char>(c);
        } else {
            if (s.empty() || s.back() != '_') s += '_';
            changed = true;
        }
    }
    if (changed) s += (s.empty() || s.back() == '_' ? "" : "_") + hex8(fnv1a(name));
    return s;
}

// The unit's names are complete once it reported its count (of modules, of
// channels): a name missing then is a module or channel gone from the plant,
// not a value missing for a cycle. A unit whose record counts its channels
// without a value of its own (AC) has its names once its first value came.
bool count_taken(const UnitValues& u) {
    const UnitVocabulary& voc = vocabulary(u.kind);
    if (voc.group_value_count == 0 || voc.value_count == 0) return true;
    const ValueDef* counter = &voc.values[0];
    for (std::size_t i = 0; i < voc.value_count; ++i) {
        if (voc.values[i].field == ValueField::Count) counter = &voc.values[i];
    }
    for (const NamedValue& v : u.values) {
        if (v.name == counter->name) return v.ok;
    }
    return false;
}

// An entity id as Home Assistant accepts one: lower-case letters and digits
// with single underscores between them.
std::string entity_slug(const std::string& text) {
    std::string s;
    for (unsigned char c : text) {
        if (c < 0x80 && std::isalnum(c)) {
            s += static_cast<char>(std::tolower(c));
        } else if (!s.empty() && s.back() != '_') {
            s += '_';
        }
    }
    while (!s.empty() && s.back() == '_') s.pop_back();
    return s.empty() ? "unnamed" : s;
}

// "ac501" -> the unit's device name and model in Home Assistant.
std::pair<std::string, std::string> unit_title(const std::string& unit) {
    const std::string kind = unit.substr(0, 2);
    const std::string id = unit.substr(std::min<std::size_t>(2, unit.size()));
    if (kind == "ac") return {"AC " + id, "RAV-O3 AC distribution"};
    if (kind == "dc") return {"DC " + id, "RAV-O3 DC distribution"};
    if (kind == "rc") return {"rectifiers", "RAV-O3 rectifier group"};
    return {unit, "RAV-O3 unit"};
}

// The host's communication-lost point: shown by the line's own entity.
constexpr const char* kCommLostKey = "comm_lost";

struct Retained {
    std::string payload;
    int qos = 1;
    bool dirty = false;
};

}  // namespace

struct MqttPublisher::Core : EventConsumer {
    Core(mqtt::MqttConfig c, LogFn l, std::unique_ptr<mqtt::Outbox> box)
        : cfg(std::move(c)), log(std::move(l)), outbox(std::move(box)) {
        node = safe_id(cfg.client_id);
        status_topic = cfg.topic_prefix + "/status";
        durable = outbox->Durable();
        wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    }
    ~Core() override {
        if (wake_fd >= 0) ::close(wake_fd);
    }

    // ---- the consumer thread ----
    void OnEvent(const HostEvent& e) override {
        Handle(e);
        if (marked) {
            marked = false;
            Wake();
        }
    }
    void Handle(const HostEvent& e);
    void OnIdle() override { FlushUnsaved(); }

    // ---- the network thread ----
    void Run();
    // Waits for the broker's socket or a wake-up, then lets the library read,
    // write and keep the session alive.
    int Loop();
    void Connect();
    void Drop(const std::string& why);
    void PumpOutbox();
    void PumpRetained(bool all);
    void Finish();

    void Log(const std::string& text) {
        if (log) log("mqtt: " + text);
    }
    void Wake() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            wake = true;
            cv.notify_all();
        }
        // The network thread waits in poll() while connected.
        const std::uint64_t one = 1;
        if (wake_fd >= 0 && ::write(wake_fd, &one, sizeof one) < 0) {
            // Already pending: the counter is far from full.
        }
    }
    void SetRetained(const std::string& topic, std::string payload, int qos);
    void Enqueue(const std::string& topic, std::string payload);
    void FlushUnsaved();

    std::string DeviceBase(const std::string& device) const {
        return cfg.topic_prefix + "/" + topic_level(device.empty() ? "unknown" : device);
    }
    // Home Assistant discovery.
    std::string ConfigTopic(const char* domain, const std::string& object) const {
        return cfg.discovery_prefix + "/" + domain + "/" + node + "/" + object + "/config";
    }
    void BeginEntity(json::Writer& w, const char* domain, const std::string& object,
                     const std::string& name, const std::string& state_topic) const;
    void HaDevice(json::Writer& w, const std::string& device, const std::string& unit,
                  const std::string& device_type) const;
    void DiscoverDevice(const std::string& device);
    void ForgetDevice(const std::string& device);
    void Discover(const HostEvent& e, const UnitValues& u, const std::string& state_topic);
    std::string DiscoverPoint(const std::string& device, std::uint32_t data_id,
                              const std::string& device_type, const std::string& key,
                              const std::string& name, const std::string& detail);
    void ResendAll();
    void OnAlarm(const HostEvent& e);
    void WriteAlarm(json::Writer& w, const std::string& device, const ActiveAlarm& a,
                    const std::string& pid) const;
    void PublishAlarmList(const std::string& device);

    const mqtt::MqttConfig cfg;
    const LogFn log;
    std::unique_ptr<mqtt::Outbox> outbox;
    std::string node;
    std::string status_topic;
    bool durable = false;

    // Consumer thread only.
    bool named = false;
    bool marked = false;  // retained topics changed since the last wake-up
    struct Standing {
        std::string pid;
        ActiveAlarm alarm;
    };
    std::map<std::string, std::vector<Standing>> standing;  // by device, oldest first
    // Config topics announced, in all and by unit ("device\x1funit").
    std::set<std::string> discovered;
    struct UnitEntities {
        std::set<std::string> values;
        std::set<std::string> points;
    };
    std::map<std::string, UnitEntities> entities;
    std::set<std::string> devices_announced;
    // By state topic: a digest of the names and points last announced, so
    // that an unchanged unit costs one pass over its names.
    std::map<std::string, std::uint32_t> announced;
    std::string held_error;  // why the outbox holds events in memory ("" when it does not)
    Clock::time_point last_retry;

    // Shared with the network thread.
    mutable std::mutex mutex;
    std::condition_variable cv;
    bool wake = false;
    bool stopping = false;
    std::map<std::string, Retained> retained;  // by topic
    std::deque<std::string> dirty;             // topics to (re)publish, in order
    std::atomic<bool> outbox_more{true};
    int wake_fd = -1;

    // Network thread only.
    mosquitto* mosq = nullptr;
    bool session = false;
    int refused = 0;  // the broker's CONNACK code when it refused us
    Clock::time_point attempt_started, session_started, next_attempt;
    std::chrono::milliseconds backoff{0};
    std::int64_t last_sent = 0;
    std::unordered_map<int, std::int64_t> inflight;  // message id -> outbox id
    std::thread net;

    mutable std::mutex status_mutex;
    MqttStatus status;
};

// ---------------------------------------------------------------------------
// Consumer thread: the stream's events become retained topics and outbox
// entries.

// The network thread is woken once per event, when the event's topics are all set.
void MqttPublisher::Core::SetRetained(const std::string& topic, std::string payload, int qos) {
    std::lock_guard<std::mutex> lock(mutex);
    Retained& r = retained[topic];
    if (r.payload == payload && r.qos == qos && !r.payload.empty()) return;
    r.payload = std::move(payload);
    r.qos = qos;
    if (!r.dirty) {
        r.dirty = true;
        dirty.push_back(topic);
    }
    marked = true;
}

// Events reach the outbox in the stream's order and go to the broker at once,
// from memory when the database refuses them for now (a full disk).
void MqttPublisher::Core::Enqueue(const std::string& topic, std::string payload) {
    std::string error;
    const bool stored = outbox->Add(topic, payload, error);
    outbox_more = true;
    Wake();
    if (stored) return;
    // Said once per cause, not at every retry.
    if (error != held_error) {
        Log(error + "; events held in memory (" + std::to_string(outbox->Held()) +
            " so far), sent to the broker from there and stored when the database takes them, "
            "retried every second");
    }
    held_error = error;
    last_retry = Clock::now();
}

void MqttPublisher::Core::FlushUnsaved() {
    if (held_error.empty()) return;
    last_retry = Clock::now();
    std::string error;
    if (!outbox->Retry(error)) {
        if (error != held_error) Log(error + "; events still held in memory");
        held_error = error;
        return;
    }
    Log("the outbox takes events again; the held ones are stored, in order");
    held_error.clear();
}

void MqttPublisher::Core::BeginEntity(json::Writer& w, const char* domain,
                                      const std::string& object, const std::string& name,
                                      const std::string& state_topic) const {
    w.BeginObject();
    w.Key("name").String(name);
    w.Key("unique_id").String(node + "_" + object);
    w.Key("default_entity_id").String(std::string(domain) + "." + entity_slug(node + "_" + object));
    w.Key("state_topic").String(state_topic);
}

// The bus device is the site's monitoring unit (`unit` empty); each unit
// behind it is a device of its own, reached through it.
void MqttPublisher::Core::HaDevice(json::Writer& w, const std::string& device,
                                   const std::string& unit, const std::string& device_type) const {
    const std::string bus = node + "_" + safe_id(device);
    w.Key("device").BeginObject();
    if (unit.empty()) {
        w.Key("identifiers").BeginArray().String(bus).EndArray();
        w.Key("name").String(device);
        w.Key("model").String("RAV-O3 monitoring unit");
    } else {
        const auto [title, model] = unit_title(unit);
        w.Key("identifiers").BeginArray().String(bus + "_" + unit).EndArray();
        w.Key("name").String(device + " " + title);
        w.Key("model").String(model);
        if (!device_type.empty()) w.Key("model_id").String(device_type);
        w.Key("via_device").String(bus);
    }
    w.EndObject();
    w.Key("origin").BeginObject();
    w.Key("name").String("ravo3");
    w.Key("sw_version").String(RAVO3_VERSION);
    w.EndObject();
}

// The bus device's own entities, from its first sight, whether or not its
// line ever answers: the line's state and the communication-lost point.
void MqttPublisher::Core::DiscoverDevice(const std::string& device) {
    if (!cfg.ha_discovery || !devices_announced.insert(device).second) return;
    const std::string dev_id = safe_id(device);
    const std::string line = DeviceBase(device) + "/line";
    {
        const std::string object = dev_id + "_comm_lost";
        json::Writer w;
        BeginEntity(w, "binary_sensor", object, "Communication lost", line);
        w.Key("device_class").String("problem");
        w.Key("value_template").String("{{ 'ON' if value_json.comm_lost else 'OFF' }}");
        w.Key("payload_on").String("ON");
        w.Key("payload_off").String("OFF");
        // Available while the daemon is: it matters most when the line is down.
        w.Key("availability_topic").String(status_topic);
        HaDevice(w, device, "", "");
        w.EndObject();
        SetRetained(ConfigTopic("binary_sensor", object), w.Take(), 1);
    }
    {
        const std::string object = dev_id + "_line";
        json::Writer w;
        BeginEntity(w, "sensor", object, "Line", line);
        w.Key("value_template").String("{{ value_json.state }}");
        w.Key("device_class").String("enum");
        w.Key("options").BeginArray();
        for (LineState s :
             {LineState::Starting, LineState::Answering, LineState::NotAnswering,
              LineState::PortMissing, LineState::PortBusy, LineState::HostUnreachable,
              LineState::ConnectionRefused, LineState::ConnectionLost, LineState::Stopped}) {
            w.String(line_state_name(s));
        }
        w.EndArray();
        w.Key("entity_category").String("diagnostic");
        w.Key("availability_topic").String(status_topic);
        HaDevice(w, device, "", "");
        w.EndObject();
        SetRetained(ConfigTopic("sensor", object), w.Take(), 1);
    }
}

// A device gone from the site (a reload): its entities leave Home Assistant
// and its retained topics the broker (an empty retained message deletes one).
void MqttPublisher::Core::ForgetDevice(const std::string& device) {
    const std::string base = DeviceBase(device) + "/";
    std::vector<std::string> topics;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& [topic, r] : retained) {
            if (topic.compare(0, base.size(), base) == 0 && !r.payload.empty()) {
                topics.push_back(topic);
            }
        }
    }
    if (devices_announced.erase(device)) {
        topics.push_back(ConfigTopic("binary_sensor", safe_id(device) + "_comm_lost"));
        topics.push_back(ConfigTopic("sensor", safe_id(device) + "_line"));
    }
    const std::string prefix = device + '\x1f';
    for (auto it = entities.begin(); it != entities.end();) {
        if (it->first.compare(0, prefix.size(), prefix) != 0) {
            ++it;
            continue;
        }
        topics.insert(topics.end(), it->second.values.begin(), it->second.values.end());
        topics.insert(topics.end(), it->second.points.begin(), it->second.points.end());
        it = entities.erase(it);
    }
    for (const std::string& t : topics) {
        discovered.erase(t);
        SetRetained(t, "", 1);
    }
    for (auto it = announced.begin(); it != announced.end();) {
        it = it->first.compare(0, base.size(), base) == 0 ? announced.erase(it) : std::next(it);
    }
    standing.erase(device);
}

void MqttPublisher::Core::Discover(const HostEvent& e, const UnitValues& u,
                                   const std::string& state_topic) {
    if (!cfg.ha_discovery) return;
    std::uint32_t digest = 2166136261u;
    for (const NamedValue& v : u.values) digest = (digest ^ fnv1a(v.name)) * 16777619u;
    for (const ActiveAlarm& a : u.points) digest = (digest ^ fnv1a(a.key + a.detail)) * 16777619u;
    auto seen = announced.find(state_topic);
    if (seen != announced.end() && seen->second == digest) return;
    announced[state_topic] = digest;
    const std::string dev_id = safe_id(e.device);
    const std::string unit = std::string(unit_kind_name(u.kind)) + std::to_string(u.data_id);
    UnitEntities& known = entities[e.device + '\x1f' + unit];
    std::set<std::string> values_now, points_now;
    for (const NamedValue& v : u.values) {
        const std::string object = dev_id + "_" + unit + "_" + safe_id(v.name);
        const std::string topic = ConfigTopic("sensor", object);
        values_now.insert(topic);
        known.values.insert(topic);
        if (!discovered.insert(topic).second) continue;
        json::Writer w;
        BeginEntity(w, "sensor", object, value_label(u.kind, v.name), state_topic);
        // Bracket access: "values" is also the name of a method of the JSON object.
        w.Key("value_template").String("{{ value_json['values'][" + json::quote(v.name) + "] }}");
        if (const ValueDef* d = lookup_value(u.kind, v.name).def) {
            if (*d->device_class) w.Key("device_class").String(d->device_class);
            if (*d->unit) w.Key("unit_of_measurement").String(d->unit);
            if (*d->state_class) w.Key("state_class").String(d->state_class);
            if (d->cls == ValueClass::Measurement) {
                w.Key("suggested_display_precision").Int(d->precision);
            } else {
                // A status or alarm byte as the unit sends it: for diagnosis,
                // not for the dashboard (the alarm points say what it means).
                w.Key("entity_category").String("diagnostic");
                w.Key("enabled_by_default").Bool(false);
            }
        }
        w.Key("availability").BeginArray();
        w.BeginObject().Key("topic").String(status_topic).EndObject();
        w.BeginObject().Key("topic").String(DeviceBase(e.device) + "/availability").EndObject();
        w.EndArray();
        w.Key("availability_mode").String("all");
        HaDevice(w, e.device, unit, u.device_type);
        w.EndObject();
        SetRetained(topic, w.Take(), 1);
    }
    for (const ActiveAlarm& a : u.points) {
        const std::string topic =
            DiscoverPoint(e.device, u.data_id, u.device_type, a.key, a.name, a.detail);
        if (!topic.empty()) points_now.insert(topic);
    }
    // Entities of modules or channels gone with a count change: an empty
    // retained config removes them from Home Assistant (and the broker).
    if (u.replayed || !count_taken(u)) return;
    const auto retire = [&](std::set<std::string>& announced_now,
                            const std::set<std::string>& now) {
        bool any = false;
        for (auto it = announced_now.begin(); it != announced_now.end();) {
            if (now.count(*it)) {
                ++it;
                continue;
            }
            SetRetained(*it, "", 1);
            discovered.erase(*it);
            it = announced_now.erase(it);
            any = true;
        }
        return any;
    };
    // Points go with a count change only: a cycle may evaluate fewer of them.
    if (retire(known.values, values_now) && !u.points.empty()) retire(known.points, points_now);
}

// Returns the point's config topic; empty when it has no entity of its own.
std::string MqttPublisher::Core::DiscoverPoint(const std::string& device, std::uint32_t data_id,
                                               const std::string& device_type,
                                               const std::string& key, const std::string& name,
                                               const std::string& detail) {
    if (!cfg.ha_discovery) return "";
    const std::string pid = service::AlarmPointId(data_id, device_type, key, detail);
    const std::string object = safe_id(device) + "_alarm_" + pid;
    const std::string topic = ConfigTopic("binary_sensor", object);
    if (key == kCommLostKey) {
        // Earlier versions gave this point an entity of its own on its first
        // loss; the line's "Communication lost" replaces it.
        if (discovered.insert(topic).second) SetRetained(topic, "", 1);
        return "";
    }
    const std::string unit = service::UnitId(data_id, device_type);
    const bool on_bus = unit.compare(0, 3, "bus") == 0;
    entities[device + '\x1f' + unit].points.insert(topic);
    if (!discovered.insert(topic).second) return topic;
    json::Writer w;
    // Some points repeat their name as detail: said once.
    BeginEntity(w, "binary_sensor", object,
                detail.empty() || detail == name ? name : name + " " + detail,
                DeviceBase(device) + "/alarms");
    w.Key("device_class").String("problem");
    // The retained list of standing alarms says whether this point stands.
    w.Key("value_template")
        .String("{{ 'ON' if value_json | selectattr('point', 'equalto', '" + pid +
                "') | list | length > 0 else 'OFF' }}");
    w.Key("payload_on").String("ON");
    w.Key("payload_off").String("OFF");
    // Alarm points stay available when the line is down.
    w.Key("availability_topic").String(status_topic);
    HaDevice(w, device, on_bus ? "" : unit, on_bus ? "" : device_type);
    w.EndObject();
    SetRetained(topic, w.Take(), 1);
    return topic;
}

// Home Assistant (re)started: it reads its discovery afresh, and the broker
// may have lost what was retained.
void MqttPublisher::Core::ResendAll() {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& [topic, r] : retained) {
        if (r.dirty) continue;
        r.dirty = true;
        dirty.push_back(topic);
    }
    wake = true;
}

// The API's alarm object with the point's id first.
void MqttPublisher::Core::WriteAlarm(json::Writer& w, const std::string& device,
                                     const ActiveAlarm& a, const std::string& pid) const {
    w.Key("point").String(pid);
    service::WriteAlarmFields(w, device, a);
}

void MqttPublisher::Core::PublishAlarmList(const std::string& device) {
    json::Writer w;
    w.BeginArray();
    for (const Standing& s : standing[device]) {
        w.BeginObject();
        WriteAlarm(w, device, s.alarm, s.pid);
        w.EndObject();
    }
    w.EndArray();
    SetRetained(DeviceBase(device) + "/alarms", w.Take(), 1);
}

void MqttPublisher::Core::OnAlarm(const HostEvent& e) {
    const ActiveAlarm& a = e.alarm;
    const std::string pid = service::AlarmPointId(a.data_id, a.device_type, a.key, a.detail);
    auto& list = standing[e.device];
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->pid == pid) {
            list.erase(it);
            break;
        }
    }
    if (e.kind == HostEvent::Kind::AlarmRaised) list.push_back(Standing{pid, a});
    // A cleared point announces nothing: it may be one of a removed module.
    if (e.kind == HostEvent::Kind::AlarmRaised) {
        DiscoverPoint(e.device, a.data_id, a.device_type, a.key, a.name, a.detail);
    }
    PublishAlarmList(e.device);
    // The state at subscription is not news: only new events go out as events.
    if (e.initial) return;
    json::Writer w;
    w.BeginObject();
    w.Key("event").String(event_kind_name(e.kind));
    w.Key("time").Time(e.time);
    WriteAlarm(w, e.device, a, pid);
    w.EndObject();
    Enqueue(DeviceBase(e.device) + "/events", w.Take());
}

void MqttPublisher::Core::Handle(const HostEvent& e) {
    if (!named) {
        // Seen apart from the daemon's other threads (top -H, the benchmark).
        pthread_setname_np(pthread_self(), "mqtt-events");
        named = true;
    }
    // A busy stream leaves no idle moment for the retry.
    if (!held_error.empty() && Clock::now() - last_retry >= kRetryHeld) FlushUnsaved();
    switch (e.kind) {
        case HostEvent::Kind::AlarmRaised:
        case HostEvent::Kind::AlarmCleared:
            OnAlarm(e);
            return;
        case HostEvent::Kind::Removed:
            ForgetDevice(e.device);
            return;
        case HostEvent::Kind::Cycle:
        case HostEvent::Kind::Line:
            break;
    }
    const std::string base = DeviceBase(e.device);
    // A device's list from its first sight, "[]" included, so that its alarm
    // points read as off rather than unknown.
    if (standing.find(e.device) == standing.end()) PublishAlarmList(e.device);
    DiscoverDevice(e.device);
    {
        json::Writer w;
        service::WriteLine(w, e.line);
        // Changes with every cycle (last_cycle): the newest one matters, as for state.
        SetRetained(base + "/line", w.Take(), 0);
        // Values of a line that stopped answering are not current: their
        // entities show unavailable, while the line and alarm entities,
        // which have their own availability, stay.
        SetRetained(
            base + "/availability",
            e.line.state == LineState::Answering && !e.line.comm_lost ? "online" : "offline", 1);
    }
    if (e.kind != HostEvent::Kind::Cycle) return;
    for (const UnitValues& u : e.units) {
        const std::string topic =
            base + "/" + unit_kind_name(u.kind) + "/" + std::to_string(u.data_id) + "/state";
        json::Writer w;
        service::WriteUnit(w, u, false, &e);
        SetRetained(topic, w.Take(), 0);
        Discover(e, u, topic);
    }
}

// ---------------------------------------------------------------------------
// Network thread: one connection at a time, its own back-off, all calls into
// the client library from this thread only.

namespace {

std::string refusal(int rc) {
    switch (rc) {
        case 1:
            return "the broker refused the connection: unacceptable protocol version";
        case 2:
            return "the broker refused the connection: client identifier rejected "
                   "(\"client_id\")";
        case 3:
            return "the broker refused the connection: server unavailable";
        case 4:
            return "the broker refused the connection: bad user name or password "
                   "(\"username\", \"password_file\")";
        case 5:
            return "the broker refused the connection: not authorised "
                   "(\"username\", \"password_file\")";
        default:
            return std::string("the broker refused the connection: ") +
                   mosquitto_connack_string(rc);
    }
}

std::string error_text(int rc, int err) {
    if (rc == MOSQ_ERR_ERRNO) return std::strerror(err);
    if (rc == MOSQ_ERR_TLS) {
        return "TLS failed: the broker's certificate is not signed by \"tls.ca_file\" or does "
               "not name \"host\", or the broker does not speak TLS on this port";
    }
    return mosquitto_strerror(rc);
}

}  // namespace

void MqttPublisher::Core::Connect() {
    attempt_started = Clock::now();
    refused = 0;
    mosq = mosquitto_new(cfg.client_id.c_str(), true, this);
    if (!mosq) {
        Drop("cannot create the client: out of memory");
        return;
    }
    mosquitto_connect_callback_set(mosq, [](mosquitto* mosq, void* obj, int rc) {
        auto* self = static_cast<Core*>(obj);
        if (rc == 0) {
            self->session = true;
            self->session_started = Clock::now();
            if (self->cfg.ha_discovery) {
                const std::string birth = self->cfg.discovery_prefix + "/status";
                mosquitto_subscribe(mosq, nullptr, birth.c_str(), 1);
            }
        } else {
            self->refused = rc;
        }
    });
    // Home Assistant says "online" on <discovery_prefix>/status when it starts.
    mosquitto_message_callback_set(mosq, [](mosquitto*, void* obj, const mosquitto_message* m) {
        auto* self = static_cast<Core*>(obj);
        const std::string_view payload(
            static_cast<const char*>(m->payload),
            m->payloadlen > 0 ? static_cast<std::size_t>(m->payloadlen) : 0);
        if (payload == "online" && m->topic == self->cfg.discovery_prefix + "/status") {
            self->ResendAll();
        }
    });
    mosquitto_publish_callback_set(mosq, [](mosquitto*, void* obj, int mid) {
        auto* self = static_cast<Core*>(obj);
        auto it = self->inflight.find(mid);
        if (it == self->inflight.end()) return;
        const std::int64_t id = it->second;
        self->inflight.erase(it);
        std::string error;
        // A row that cannot be removed is sent again later: at least once.
        if (!self->outbox->Remove(id, error)) self->Log(error);
        std::lock_guard<std::mutex> lock(self->status_mutex);
        ++self->status.delivered;
    });
    const std::string offline = "offline";
    int rc = mosquitto_will_set(mosq, status_topic.c_str(), static_cast<int>(offline.size()),
                                offline.data(), 1, true);
    if (rc == MOSQ_ERR_SUCCESS && !cfg.username.empty()) {
        rc = mosquitto_username_pw_set(mosq, cfg.username.c_str(),
                                       cfg.password.empty() ? nullptr : cfg.password.c_str());
    }
    if (rc == MOSQ_ERR_SUCCESS && cfg.tls.enabled) {
        const auto opt = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
        rc = mosquitto_tls_set(mosq, opt(cfg.tls.ca_file),
                               cfg.tls.ca_file.empty() ? "/etc/ssl/certs" : nullptr,
                               opt(cfg.tls.cert_file), opt(cfg.tls.key_file), nullptr);
        if (rc == MOSQ_ERR_SUCCESS && cfg.tls.insecure) rc = mosquitto_tls_insecure_set(mosq, true);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        Drop(std::string("cannot set up the client: ") + mosquitto_strerror(rc));
        return;
    }
    errno = 0;
    rc = mosquitto_connect_async(mosq, cfg.host.c_str(), cfg.port, cfg.keepalive_s);
    if (rc != MOSQ_ERR_SUCCESS) Drop(error_text(rc, errno));
}

void MqttPublisher::Core::Drop(const std::string& why) {
    const bool was_up = session;
    if (mosq) {
        mosquitto_destroy(mosq);
        mosq = nullptr;
    }
    // What was in flight is sent again on the next session, from the outbox.
    inflight.clear();
    last_sent = 0;
    outbox_more = true;
    session = false;
    const auto now = Clock::now();
    if (was_up && now - session_started >= kStableSession) backoff = std::chrono::milliseconds(0);
    backoff = backoff.count() == 0
                  ? std::chrono::milliseconds(cfg.reconnect_min_ms)
                  : std::min(backoff * 2, std::chrono::milliseconds(cfg.reconnect_max_ms));
    next_attempt = now + backoff;
    {
        std::lock_guard<std::mutex> lock(status_mutex);
        status.connected = false;
        status.last_error = why;
    }
    char secs[32];
    std::snprintf(secs, sizeof secs, "%.1f", backoff.count() / 1000.0);
    Log((was_up ? "connection to " : "cannot connect to ") + cfg.host + ":" +
        std::to_string(cfg.port) + (was_up ? " lost: " : ": ") + why + "; retrying in " + secs +
        " s");
}

void MqttPublisher::Core::PumpOutbox() {
    while (inflight.size() < kWindow) {
        if (!outbox_more.exchange(false)) return;
        const std::size_t want = kWindow - inflight.size();
        const auto batch = outbox->After(last_sent, want);
        if (batch.size() == want) outbox_more = true;
        for (const mqtt::OutboxEntry& e : batch) {
            // The stored body gets its outbox id, by which a consumer can
            // recognise a repeat (delivery is at least once).
            std::string payload = "{\"id\":" + std::to_string(e.id);
            if (e.payload.size() > 2 && e.payload.front() == '{') {
                payload += ',';
                payload.append(e.payload, 1, std::string::npos);
            } else {
                payload += '}';
            }
            int mid = 0;
            const int rc =
                mosquitto_publish(mosq, &mid, e.topic.c_str(), static_cast<int>(payload.size()),
                                  payload.data(), 1, false);
            if (rc == MOSQ_ERR_SUCCESS) {
                inflight[mid] = e.id;
                last_sent = e.id;
            } else if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_NOMEM) {
                Drop(mosquitto_strerror(rc));
                return;
            } else {
                // The broker can never take this one (a damaged row): keeping
                // it would hold up every later event.
                std::string error;
                outbox->Remove(e.id, error);
                last_sent = e.id;
                Log("outbox entry " + std::to_string(e.id) + " on \"" + json::valid_utf8(e.topic) +
                    "\" cannot be published (" + mosquitto_strerror(rc) + "); removed");
            }
        }
    }
}

void MqttPublisher::Core::PumpRetained(bool all) {
    std::vector<std::pair<std::string, Retained>> batch;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (all) {
            // A new session: the broker may have lost what it retained.
            dirty.clear();
            for (auto& [topic, r] : retained) {
                r.dirty = true;
                dirty.push_back(topic);
            }
        }
        while (!dirty.empty() && batch.size() < 256) {
            auto it = retained.find(dirty.front());
            dirty.pop_front();
            if (it == retained.end()) continue;
            it->second.dirty = false;
            batch.emplace_back(it->first, it->second);
        }
        if (!dirty.empty()) wake = true;
    }
    for (const auto& [topic, r] : batch) {
        const int rc =
            mosquitto_publish(mosq, nullptr, topic.c_str(), static_cast<int>(r.payload.size()),
                              r.payload.data(), r.qos, true);
        if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST) {
            Drop(mosquitto_strerror(rc));
            return;
        }
    }
}

void MqttPublisher::Core::Run() {
    pthread_setname_np(pthread_self(), "mqtt-net");
    while (true) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (stopping) break;
            if (!mosq) {
                cv.wait_until(lock, next_attempt, [&] { return stopping; });
                if (stopping) break;
                lock.unlock();
                Connect();
                continue;
            }
        }
        const bool was_up = session;
        errno = 0;
        const int rc = Loop();
        if (rc != MOSQ_ERR_SUCCESS) {
            Drop(refused ? refusal(refused) : error_text(rc, errno));
            continue;
        }
        if (refused) {
            Drop(refusal(refused));
            continue;
        }
        if (!session) {
            if (Clock::now() - attempt_started > std::chrono::seconds(cfg.keepalive_s)) {
                Drop("no answer from the broker");
            }
            continue;
        }
        if (!was_up) {
            backoff = std::chrono::milliseconds(0);
            mosquitto_publish(mosq, nullptr, status_topic.c_str(), 6, "online", 1, true);
            {
                std::lock_guard<std::mutex> lock(status_mutex);
                status.connected = true;
                ++status.connections;
            }
            Log("connected to " + cfg.host + ":" + std::to_string(cfg.port) + " as \"" +
                cfg.client_id + "\"");
        }
        PumpOutbox();
        if (mosq) PumpRetained(!was_up);
    }
    Finish();
}

int MqttPublisher::Core::Loop() {
    const int sock = mosquitto_socket(mosq);
    if (sock < 0) return MOSQ_ERR_NO_CONN;
    pollfd fds[2] = {
        {sock, static_cast<short>(POLLIN | (mosquitto_want_write(mosq) ? POLLOUT : 0)), 0},
        {wake_fd, POLLIN, 0}};
    bool again;
    {
        // A wake-up that comes after this is not lost: the descriptor holds it.
        std::lock_guard<std::mutex> lock(mutex);
        again = wake;  // retained topics left over from the last round
        wake = false;
    }
    if (::poll(fds, wake_fd >= 0 ? 2 : 1, again ? 0 : kIdleMs) < 0 && errno != EINTR) {
        return MOSQ_ERR_ERRNO;
    }
    if (fds[1].revents & POLLIN) {
        std::uint64_t n;
        if (::read(wake_fd, &n, sizeof n) < 0) {
            // Nothing pending after all.
        }
    }
    int rc = MOSQ_ERR_SUCCESS;
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) rc = mosquitto_loop_read(mosq, 1);
    if (rc == MOSQ_ERR_SUCCESS && (fds[0].revents & POLLOUT)) rc = mosquitto_loop_write(mosq, 1);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_misc(mosq);
    return rc;
}

// Sends what is pending, says "offline" and leaves; bounded so that a stuck
// broker cannot hold up the daemon's stop.
void MqttPublisher::Core::Finish() {
    if (!mosq) return;
    if (session) {
        PumpOutbox();
        if (mosq) PumpRetained(false);
    }
    if (mosq && session) {
        mosquitto_publish(mosq, nullptr, status_topic.c_str(), 7, "offline", 1, true);
        const auto deadline = Clock::now() + std::chrono::seconds(2);
        while (mosq && Clock::now() < deadline &&
               (!inflight.empty() || mosquitto_want_write(mosq))) {
            if (mosquitto_loop(mosq, 50, 1) != MOSQ_ERR_SUCCESS) break;
        }
        // One more round for the PUBACK of "offline" itself.
        if (mosq) mosquitto_loop(mosq, 50, 1);
        if (mosq) mosquitto_disconnect(mosq);
        if (mosq) mosquitto_loop(mosq, 50, 1);
    }
    if (mosq) mosquitto_destroy(mosq);
    mosq = nullptr;
    session = false;
    std::lock_guard<std::mutex> lock(status_mutex);
    status.connected = false;
}

// ---------------------------------------------------------------------------

std::unique_ptr<MqttPublisher> MqttPublisher::Start(const mqtt::MqttConfig& config, EventBus& bus,
                                                    LogFn log, std::string& error) {
    error.clear();
    static std::once_flag init;
    std::call_once(init, [] { mosquitto_lib_init(); });
    std::unique_ptr<mqtt::Outbox> box;
    if (!config.outbox_db.empty()) {
        std::string why;
        box = mqtt::SqliteOutbox::Open(config.outbox_db, config.db_outbox, why);
        // Like the host's own store: keep running, say plainly what is at stake.
        if (!box && log) {
            log("mqtt: " + why + "; alarm events wait in memory only and are lost on a restart");
        }
    }
    if (!box) {
        box = std::make_unique<mqtt::MemoryOutbox>(config.memory_outbox);
    }
    std::unique_ptr<MqttPublisher> p(new MqttPublisher);
    p->core_ = std::make_shared<Core>(config, std::move(log), std::move(box));
    Core& core = *p->core_;
    const std::size_t waiting = core.outbox->Size();
    {
        std::lock_guard<std::mutex> lock(core.status_mutex);
        core.status.durable = core.durable;
        core.status.outbox = waiting;
    }
    core.Log(std::string("publishing to ") + config.host + ":" + std::to_string(config.port) +
             (config.tls.enabled ? " over TLS" : "") + " under \"" + config.topic_prefix + "/\"" +
             (core.durable ? ", outbox in " + config.outbox_db
                           : ", outbox in memory (" + std::to_string(config.memory_outbox) +
                                 " events at most)") +
             (waiting ? ", " + std::to_string(waiting) + " events waiting from before" : ""));
    core.next_attempt = Clock::now();
    core.net = std::thread([c = p->core_] { c->Run(); });
    p->consumer_ = std::make_unique<ConsumerThread>(bus, p->core_);
    return p;
}

MqttPublisher::~MqttPublisher() {
    Stop();
}

void MqttPublisher::Stop() {
    if (consumer_) consumer_->Stop();
    if (core_ && core_->net.joinable()) {
        {
            std::lock_guard<std::mutex> lock(core_->mutex);
            core_->stopping = true;
            core_->cv.notify_all();
        }
        core_->Wake();  // out of its poll()
        core_->net.join();
    }
    if (core_ && !core_->held_error.empty()) {
        core_->FlushUnsaved();
        if (const std::size_t held = core_->outbox->Held()) {
            core_->Log(std::to_string(held) +
                       " alarm events could not be stored nor delivered and are lost");
        }
    }
}

MqttStatus MqttPublisher::Status() const {
    MqttStatus s;
    {
        std::lock_guard<std::mutex> lock(core_->status_mutex);
        s = core_->status;
    }
    s.outbox = core_->outbox->Size();
    s.dropped = core_->outbox->Dropped();
    return s;
}

}  // namespace smd

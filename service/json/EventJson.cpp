#include "service/json/EventJson.h"

#include <cctype>
#include <cmath>
#include <cstdio>

#include "host/ValueReply.h"
#include "runtime/site/Host.h"
#include "runtime/store/ProvenanceCodec.h"
#include "runtime/values/Vocabulary.h"

namespace smd::service {

HistoryState history_state(const Host& host, const std::string& history_db) {
    HistoryState h;
    const auto store = host.Store();
    if (!store) {
        if (!history_db.empty()) {
            h.state = "memory";
            h.detail = host.StoreError();
        }
        return h;
    }
    h.stats = store->Stats();
    if (store->ReadOnly()) {
        h.state = "read_only";
        h.detail = store->ReadOnlyCause();
    } else if (h.stats.failing) {
        h.state = "failing";
        h.detail = h.stats.last_error;
    } else {
        h.state = "writing";
    }
    return h;
}

void WriteHistory(json::Writer& w, const HistoryState& h) {
    w.BeginObject();
    w.Key("state").String(h.state);
    w.Key("detail").String(h.detail);
    w.Key("waiting_records").UInt(h.stats.waiting_records);
    w.Key("waiting_events").UInt(h.stats.waiting_events);
    w.Key("dropped_records").UInt(h.stats.dropped_records);
    w.Key("converting").UInt(h.stats.converting);
    w.EndObject();
}

void WriteLine(json::Writer& w, const LineStatus& line) {
    w.BeginObject();
    w.Key("state").String(line_state_name(line.state));
    w.Key("since").Time(line.since);
    w.Key("last_cycle").Time(line.last_cycle);
    w.Key("detail").String(line.detail);
    w.Key("comm_lost").Bool(line.comm_lost);
    w.Key("stale_after_seconds").Int(line.stale_after_s);
    w.EndObject();
}

void WriteFrames(json::Writer& w, const FrameStats& f) {
    w.BeginObject();
    w.Key("commands_sent").UInt(f.commands_sent);
    w.Key("answers").UInt(f.answers);
    w.Key("checksum_errors").UInt(f.checksum_errors);
    w.Key("length_errors").UInt(f.length_errors);
    w.Key("hex_errors").UInt(f.hex_errors);
    w.Key("overlong").UInt(f.overlong);
    w.Key("truncated").UInt(f.truncated);
    w.Key("garbage_runs").UInt(f.garbage_runs);
    w.Key("resync_bytes").UInt(f.resync_bytes);
    w.Key("rtn_errors").UInt(f.rtn_errors);
    w.Key("wrong_address").UInt(f.wrong_address);
    w.Key("echoes").UInt(f.echoes);
    w.Key("timeouts").UInt(f.timeouts);
    w.Key("stale_answers").UInt(f.stale_answers);
    w.Key("cycles").UInt(f.cycles);
    w.EndObject();
}

void WriteAlarm(json::Writer& w, const std::string& device, const ActiveAlarm& a) {
    w.BeginObject();
    WriteAlarmFields(w, device, a);
    w.EndObject();
}

void WriteAlarmFields(json::Writer& w, const std::string& device, const ActiveAlarm& a) {
    w.Key("device").String(device);
    w.Key("data_id").UInt(a.data_id);
    w.Key("device_type").String(a.device_type);
    w.Key("key").String(a.key);
    w.Key("code").String(a.code);
    w.Key("name").String(a.name);
    w.Key("detail").String(a.detail);
    w.Key("level").Int(a.level);
    w.Key("state").Int(a.state);
    w.Key("since").Time(a.since);
}

namespace {

std::string why_not_finite(float v) {
    if (std::isnan(v)) return "not a number";
    return v > 0 ? "+infinity" : "-infinity";
}

}  // namespace

void WriteValues(json::Writer& w, const std::vector<NamedValue>& values, bool timed_out) {
    if (timed_out) {
        w.Key("values").BeginObject();
        for (const NamedValue& v : values) w.Key(v.name).Null();
        w.EndObject();
        w.Key("replies").BeginObject();
        for (const NamedValue& v : values) w.Key(v.name).String(value_reply::kTimedOut.what());
        w.EndObject();
        return;
    }
    bool any_reply = false;
    w.Key("values").BeginObject();
    for (const NamedValue& v : values) {
        w.Key(v.name);
        if (v.ok && std::isfinite(v.value)) {
            w.Float(v.value);
        } else {
            w.Null();
            any_reply = true;
        }
    }
    w.EndObject();
    if (!any_reply) return;
    w.Key("replies").BeginObject();
    for (const NamedValue& v : values) {
        if (!v.ok) {
            w.Key(v.name).String(v.reply);
        } else if (!std::isfinite(v.value)) {
            w.Key(v.name).String(why_not_finite(v.value));
        }
    }
    w.EndObject();
}

void WriteUnit(json::Writer& w, const UnitValues& u, bool timed_out, const HostEvent* cycle) {
    w.BeginObject();
    if (cycle) w.Key("device").String(cycle->device);
    w.Key("kind").String(unit_kind_name(u.kind));
    w.Key("data_id").UInt(u.data_id);
    w.Key("device_type").String(u.device_type);
    if (cycle) {
        w.Key("time").Time(cycle->time);
        w.Key("cycle").UInt(cycle->cycle.number);
    }
    w.Key("replayed").Bool(u.replayed);
    w.Key("stored").Time(u.stored);
    WriteValues(w, u.values, timed_out);
    w.EndObject();
}

void WriteProvenance(json::Writer& w, const std::shared_ptr<const Provenance>& p) {
    if (!p) {
        w.Null();
        return;
    }
    w.BeginObject();
    w.Key("cycle").UInt(p->cycle);
    w.Key("answers").BeginArray();
    for (const AnswerRef& a : p->answers) {
        w.BeginObject();
        w.Key("command").String(command_text(a));
        w.Key("time").Time(a.time);
        w.Key("hex").String(hex_text(a.bytes));
        w.EndObject();
    }
    w.EndArray();
    w.EndObject();
}

void WriteEvent(json::Writer& w, const HostEvent& e) {
    w.BeginObject();
    w.Key("seq").UInt(e.seq);
    w.Key("kind").String(event_kind_name(e.kind));
    w.Key("initial").Bool(e.initial);
    w.Key("device").String(e.device);
    w.Key("time").Time(e.time);
    switch (e.kind) {
        case HostEvent::Kind::Cycle:
            w.Key("cycle").BeginObject();
            w.Key("number").UInt(e.cycle.number);
            w.Key("poll_seconds").Double(e.cycle.poll_seconds);
            w.Key("period_seconds").Double(e.cycle.period_seconds);
            w.EndObject();
            w.Key("line");
            WriteLine(w, e.line);
            w.Key("frames");
            WriteFrames(w, e.frames);
            w.Key("units").BeginArray();
            for (const auto& u : e.units) WriteUnit(w, u);
            w.EndArray();
            break;
        case HostEvent::Kind::AlarmRaised:
        case HostEvent::Kind::AlarmCleared:
            w.Key("alarm");
            WriteAlarm(w, e.device, e.alarm);
            w.Key("provenance");
            WriteProvenance(w, e.provenance);
            break;
        case HostEvent::Kind::Line:
            w.Key("line");
            WriteLine(w, e.line);
            break;
        case HostEvent::Kind::Removed:
            break;  // the device's name says it all
    }
    w.EndObject();
}

std::string AlarmPointId(std::uint32_t data_id, const std::string& device_type,
                         const std::string& key, const std::string& detail) {
    std::uint32_t h = 2166136261u;  // FNV-1a
    for (unsigned char c : device_type + '\x1f' + key + '\x1f' + detail) {
        h ^= c;
        h *= 16777619u;
    }
    std::string id;
    for (unsigned char c : key) {
        id += c < 0x80 && std::isalnum(c) ? static_cast<char>(std::tolower(c)) : '_';
    }
    char tail[24];
    std::snprintf(tail, sizeof tail, "_%u_%08x", static_cast<unsigned>(data_id),
                  static_cast<unsigned>(h));
    return id + tail;
}

std::string UnitId(std::uint32_t data_id, const std::string& device_type) {
    UnitKind kind;
    return (unit_kind_of(device_type, kind) ? unit_kind_name(kind) : "bus") +
           std::to_string(data_id);
}

}  // namespace smd::service

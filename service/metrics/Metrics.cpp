#include "service/metrics/Metrics.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

#include "host/HostTypes.h"
#include "ravo3/Version.h"
#include "runtime/text/JsonText.h"
#include "runtime/values/Vocabulary.h"
#include "service/http/HttpServer.h"
#include "service/json/EventJson.h"
#include "service/mqtt/MqttPublisher.h"
#include "service/view/SiteView.h"

namespace smd::service {

std::string prometheus_label(const std::string& value) {
    const std::string v = json::valid_utf8(value);
    std::string out;
    out.reserve(v.size());
    for (char c : v) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string prometheus_value(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
    return json::number(v);
}

std::string prometheus_value(float v) {
    if (!std::isfinite(v)) return prometheus_value(static_cast<double>(v));
    return json::number(v);
}

namespace {

// Families are written in the order they are first named, each with its
// samples together, as the format requires.
class Exposition {
  public:
    void Family(const std::string& name, const char* type, const char* help) {
        if (index_.count(name)) return;
        index_[name] = families_.size();
        families_.push_back({name, type, help, {}});
    }
    // `labels` is the text between the braces, already escaped.
    void Sample(const std::string& family, const std::string& suffix, const std::string& labels,
                const std::string& value) {
        auto& f = families_[index_.at(family)];
        f.samples += family;
        f.samples += suffix;
        if (!labels.empty()) {
            f.samples += '{';
            f.samples += labels;
            f.samples += '}';
        }
        f.samples += ' ';
        f.samples += value;
        f.samples += '\n';
    }
    std::string Text() const {
        std::string out;
        for (const auto& f : families_) {
            if (f.samples.empty()) continue;
            out += "# HELP " + f.name + " " + f.help + "\n# TYPE " + f.name + " " + f.type + "\n" +
                   f.samples;
        }
        return out;
    }

  private:
    struct F {
        std::string name;
        const char* type;
        const char* help;
        std::string samples;
    };
    std::vector<F> families_;
    std::map<std::string, std::size_t> index_;
};

std::string label(const char* name, const std::string& value) {
    return std::string(name) + "=\"" + prometheus_label(value) + "\"";
}

// Label values that must stay ASCII: anything else becomes '_'.
std::string ascii(const std::string& s) {
    std::string out = s;
    for (char& c : out) {
        if (static_cast<unsigned char>(c) >= 0x80 || c == '"' || c == '\\' || c < 0x20) c = '_';
    }
    return out;
}

struct ValueFamily {
    const char* family;
    const char* help;
    std::string extra;  // labels beyond device, data id, kind and name
};

// The family, help and labels of a value are its row's, the channel or
// module number as in the name; a name without a row goes to the family of
// any other value.
ValueFamily value_family(UnitKind kind, const std::string& name) {
    const ValueRef r = lookup_value(kind, name);
    if (!r.ok()) {
        return {"ravo3_value", "A value the unit serves under a name without a metric of its own.",
                ""};
    }
    std::string extra;
    if (r.number >= 0) extra = label(vocabulary(kind).group_metric_label, std::to_string(r.number));
    const std::string kv = r.def->metric_label;
    const std::size_t eq = kv.find('=');
    if (eq != std::string::npos) {
        extra += (extra.empty() ? "" : ",") + label(kv.substr(0, eq).c_str(), kv.substr(eq + 1));
    }
    return {r.def->metric, r.def->help, std::move(extra)};
}

}  // namespace

Metrics::Metrics(Context& ctx)
    : view_(*ctx.view),
      host_(ctx.host),
      history_db_(ctx.site.history_db),
      mqtt_(ctx.mqtt),
      http_(ctx.http) {
    ctx.http->Get("/metrics", [this](const HttpRequest&, HttpResponse& res) {
        res.set_content(Render(), "text/plain; version=0.0.4; charset=utf-8");
    });
    thread_ = std::make_unique<ConsumerThread>(
        ctx.host.Events(), std::shared_ptr<EventConsumer>(this, [](EventConsumer*) {}));
}

Metrics::~Metrics() {
    Stop();
}

void Metrics::Stop() {
    if (thread_) thread_->Stop();
}

bool Metrics::WaitFor(std::uint64_t seq, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return counted_.wait_for(lock, timeout, [&] { return seq_ >= seq; });
}

void Metrics::OnEvent(const HostEvent& e) {
    std::lock_guard<std::mutex> lock(mutex_);
    switch (e.kind) {
        case HostEvent::Kind::Cycle: {
            // Replayed values and the state at subscription are no poll.
            if (e.initial || e.cycle.number == 0) break;
            Poll& p = polls_[e.device];
            ++p.count;
            p.sum += e.cycle.poll_seconds;
            for (std::size_t i = 0; i < kPollBuckets.size(); ++i) {
                if (e.cycle.poll_seconds <= kPollBuckets[i]) {
                    ++p.buckets[i];
                    break;
                }
            }
            break;
        }
        case HostEvent::Kind::AlarmRaised:
        case HostEvent::Kind::AlarmCleared:
        case HostEvent::Kind::Line:
            break;
        case HostEvent::Kind::Removed:
            polls_.erase(e.device);  // its series end with it
            break;
    }
    seq_ = std::max(seq_, e.seq);
    counted_.notify_all();
}

namespace {

// The daemon's own health: what it is, what it answered, how its event
// stream keeps up.
void render_daemon(Exposition& x, Host& host, const HttpServer* http) {
    x.Family("ravo3_build_info", "gauge", "The daemon's version, as a label; always 1.");
    x.Sample("ravo3_build_info", "", label("version", RAVO3_VERSION), "1");
    x.Family("ravo3_http_requests_total", "counter", "HTTP answers given, by status.");
    if (http) {
        for (const auto& [status, n] : http->RequestCounts()) {
            x.Sample("ravo3_http_requests_total", "", label("status", std::to_string(status)),
                     std::to_string(n));
        }
    }
    EventBus& bus = host.Events();
    x.Family("ravo3_event_consumers", "gauge",
             "Consumers of the host's event stream (the daemon's parts and open streams).");
    x.Sample("ravo3_event_consumers", "", "", std::to_string(bus.Consumers()));
    x.Family("ravo3_event_cycles_dropped_total", "counter",
             "Cycle events dropped for consumers that fell behind (a newer one replaced each).");
    x.Sample("ravo3_event_cycles_dropped_total", "", "", std::to_string(bus.DroppedCycles()));
}

// Where the history goes and what waits: a full disk, a read-only file or a
// writer that falls behind shows here before anything is lost.
void render_history(Exposition& x, const Host& host, const std::string& history_db) {
    const HistoryState h = history_state(host, history_db);
    x.Family("ravo3_history_state", "gauge",
             "1 for the state the history database is in (writing, failing, read_only, memory, "
             "none).");
    for (const char* s : {"writing", "failing", "read_only", "memory", "none"}) {
        x.Sample("ravo3_history_state", "", label("state", s),
                 std::string(h.state) == s ? "1" : "0");
    }
    if (!host.Store()) return;
    const StoreStats& st = h.stats;
    const std::pair<const char*, const char*> families[] = {
        {"ravo3_history_waiting_records", "History records waiting to be written."},
        {"ravo3_history_waiting_events", "Alarm events waiting to be written."},
        {"ravo3_history_oldest_waiting_seconds", "Age of the oldest record or event waiting."},
        {"ravo3_history_converting_records", "Records of an older layout still to convert."},
    };
    const double values[] = {static_cast<double>(st.waiting_records),
                             static_cast<double>(st.waiting_events), st.oldest_waiting_s,
                             static_cast<double>(st.converting)};
    for (std::size_t k = 0; k < 4; ++k) {
        x.Family(families[k].first, "gauge", families[k].second);
        x.Sample(families[k].first, "", "", prometheus_value(values[k]));
    }
    const std::pair<const char*, const char*> counters[] = {
        {"ravo3_history_records_written_total", "History records written."},
        {"ravo3_history_events_written_total", "Alarm events written."},
        {"ravo3_history_records_dropped_total",
         "History records dropped from a full queue while writes failed."},
        {"ravo3_history_transactions_total", "Write transactions."},
    };
    const std::uint64_t counts[] = {st.written_records, st.written_events, st.dropped_records,
                                    st.transactions};
    for (std::size_t k = 0; k < 4; ++k) {
        x.Family(counters[k].first, "counter", counters[k].second);
        x.Sample(counters[k].first, "", "", std::to_string(counts[k]));
    }
    x.Family("ravo3_history_write_seconds_total", "counter", "Time spent writing history.");
    x.Sample("ravo3_history_write_seconds_total", "", "", prometheus_value(st.write_seconds));
}

}  // namespace

std::string Metrics::Render() const {
    const SiteSnapshot snap = view_.Snapshot();
    const auto now = local_time();
    Exposition x;
    x.Family("ravo3_line_state", "gauge", "1 for the state the device's line is in.");
    x.Family("ravo3_comm_lost", "gauge", "1 while the device's communication-lost alarm stands.");
    x.Family("ravo3_data_age_seconds", "gauge", "Seconds since the device's last values.");
    x.Family("ravo3_poll_cycles_total", "counter", "Poll cycles completed.");
    x.Family("ravo3_commands_sent_total", "counter", "Command frames sent.");
    x.Family("ravo3_answers_total", "counter", "Valid answer frames received.");
    x.Family("ravo3_frame_errors_total", "counter", "Answers refused or missed, by cause.");
    x.Family("ravo3_resync_bytes_total", "counter", "Bytes dropped looking for a frame start.");
    x.Family("ravo3_poll_duration_seconds", "histogram", "Duration of a poll cycle.");
    for (const DeviceView& d : snap.devices) {
        const std::string dev = label("device", d.name);
        for (LineState s :
             {LineState::Starting, LineState::Answering, LineState::NotAnswering,
              LineState::PortMissing, LineState::PortBusy, LineState::HostUnreachable,
              LineState::ConnectionRefused, LineState::ConnectionLost, LineState::Stopped}) {
            x.Sample("ravo3_line_state", "", dev + "," + label("state", line_state_name(s)),
                     d.line.state == s ? "1" : "0");
        }
        x.Sample("ravo3_comm_lost", "", dev, d.line.comm_lost ? "1" : "0");
        const HostEvent* c = d.cycle.get();
        if (c) {
            x.Sample(
                "ravo3_data_age_seconds", "", dev,
                prometheus_value(static_cast<double>((now - values_time(*c)).total_milliseconds()) /
                                 1000.0));
        }
        if (c && c->cycle.number > 0) {
            const FrameStats& f = c->frames;
            x.Sample("ravo3_poll_cycles_total", "", dev, std::to_string(f.cycles));
            x.Sample("ravo3_commands_sent_total", "", dev, std::to_string(f.commands_sent));
            x.Sample("ravo3_answers_total", "", dev, std::to_string(f.answers));
            const std::pair<const char*, std::uint64_t> causes[] = {
                {"checksum", f.checksum_errors},
                {"length", f.length_errors},
                {"hex", f.hex_errors},
                {"overlong", f.overlong},
                {"truncated", f.truncated},
                {"garbage", f.garbage_runs},
                {"rtn", f.rtn_errors},
                {"wrong_address", f.wrong_address},
                {"echo", f.echoes},
                {"timeout", f.timeouts},
                {"stale_answer", f.stale_answers}};
            for (const auto& [cause, n] : causes) {
                x.Sample("ravo3_frame_errors_total", "", dev + "," + label("cause", cause),
                         std::to_string(n));
            }
            x.Sample("ravo3_resync_bytes_total", "", dev, std::to_string(f.resync_bytes));
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [device, p] : polls_) {
            const std::string dev = label("device", device);
            std::uint64_t cumulative = 0;
            for (std::size_t i = 0; i < kPollBuckets.size(); ++i) {
                cumulative += p.buckets[i];
                x.Sample("ravo3_poll_duration_seconds", "_bucket",
                         dev + "," + label("le", prometheus_value(kPollBuckets[i])),
                         std::to_string(cumulative));
            }
            x.Sample("ravo3_poll_duration_seconds", "_bucket", dev + ",le=\"+Inf\"",
                     std::to_string(p.count));
            x.Sample("ravo3_poll_duration_seconds", "_sum", dev, prometheus_value(p.sum));
            x.Sample("ravo3_poll_duration_seconds", "_count", dev, std::to_string(p.count));
        }
    }
    // One series per standing point, in ASCII labels that stay the same
    // while it stands; its name and detail are the API's, the journal's and
    // MQTT's. "point" tells apart the points that share a key (one per module
    // or fuse).
    x.Family("ravo3_alarm_active", "gauge", "1 for each alarm point that stands.");
    for (const HostEvent& e : snap.alarms) {
        const ActiveAlarm& a = e.alarm;
        x.Sample("ravo3_alarm_active", "",
                 label("device", e.device) + "," + label("unit", UnitId(a.data_id, a.device_type)) +
                     "," + label("key", ascii(a.key)) + "," + label("code", ascii(a.code)) + "," +
                     label("level", std::to_string(a.level)) + "," +
                     label("point", AlarmPointId(a.data_id, a.device_type, a.key, a.detail)),
                 "1");
    }
    x.Family("ravo3_history_write_errors_total", "counter",
             "Failed writes to the history database (rows and events wait in memory).");
    if (const auto store = host_.Store()) {
        x.Sample("ravo3_history_write_errors_total", "", "", std::to_string(store->Errors()));
    }
    x.Family("ravo3_mqtt_outbox_events", "gauge",
             "Alarm events waiting for the MQTT broker's acknowledgement.");
    x.Family("ravo3_mqtt_connected", "gauge", "1 while the MQTT broker's session is up.");
    if (const MqttPublisher* mqtt = mqtt_.load()) {
        const MqttStatus st = mqtt->Status();
        x.Sample("ravo3_mqtt_outbox_events", "", "", std::to_string(st.outbox));
        x.Sample("ravo3_mqtt_connected", "", "", st.connected ? "1" : "0");
    }
    render_daemon(x, host_, http_);
    // Values only while they are current: an exporter exposes what it knows
    // now, so a dead line leaves a gap in the graphs rather than a flat line.
    // The line's state and the data's age above stay.
    for (const DeviceView& d : snap.devices) {
        if (!d.cycle || !d.Fresh(now)) continue;
        const std::string dev = label("device", d.name);
        for (const UnitValues& u : d.cycle->units) {
            const std::string unit = dev + "," + label("data_id", std::to_string(u.data_id)) + "," +
                                     label("kind", unit_kind_name(u.kind));
            for (const NamedValue& v : u.values) {
                if (!v.ok) continue;  // the unit gave a reply instead: no sample
                const ValueFamily m = value_family(u.kind, v.name);
                x.Family(m.family, "gauge", m.help);
                std::string labels = unit;
                if (!m.extra.empty()) labels += "," + m.extra;
                labels += "," + label("name", v.name);
                x.Sample(m.family, "", labels, prometheus_value(v.value));
            }
        }
    }
    render_history(x, host_, history_db_);
    return x.Text();
}

}  // namespace smd::service

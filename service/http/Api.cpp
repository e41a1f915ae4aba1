#include "service/http/Api.h"

#include <algorithm>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <cctype>
#include <chrono>
#include <cmath>
#include <ctime>

#include "host/HostTypes.h"
#include "runtime/values/Vocabulary.h"
#include "service/http/HttpServer.h"
#include "service/json/EventJson.h"
#include "service/json/VocabularyJson.h"
#include "service/view/SiteView.h"
#include "service/web/Downsample.h"

namespace smd::service {

namespace pt = boost::posix_time;

namespace {

bool digits(const std::string& s, std::size_t at, std::size_t n, int& out) {
    if (at + n > s.size()) return false;
    out = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        out = out * 10 + (s[i] - '0');
    }
    return true;
}

// An unsigned query parameter; `fallback` when absent.
bool unsigned_param(const HttpRequest& req, const char* name, std::uint64_t max,
                    std::uint64_t fallback, std::uint64_t& out, std::string& error) {
    if (!req.has_param(name)) {
        out = fallback;
        return true;
    }
    const std::string text = req.get_param_value(name);
    std::uint64_t v = 0;
    bool ok = !text.empty() && text.size() <= 20;
    for (char c : text) {
        if (!ok) break;
        if (c < '0' || c > '9') {
            ok = false;
            break;
        }
        const std::uint64_t d = static_cast<std::uint64_t>(c - '0');
        if (v > (max - d) / 10) {
            ok = false;
            break;
        }
        v = v * 10 + d;
    }
    if (!ok) {
        error =
            std::string("\"") + name + "\" must be a whole number from 0 to " + std::to_string(max);
        return false;
    }
    out = v;
    return true;
}

bool time_param(const HttpRequest& req, const char* name, pt::ptime& out, std::string& error) {
    if (!req.has_param(name)) return true;
    std::string why;
    if (!parse_query_time(req.get_param_value(name), out, why)) {
        error = std::string("\"") + name + "\": " + why;
        return false;
    }
    return true;
}

double seconds_since(const pt::ptime& t) {
    if (t.is_special()) return NAN;
    return static_cast<double>((local_time() - t).total_milliseconds()) / 1000.0;
}

std::int64_t epoch_seconds(const pt::ptime& t) {
    return (t - pt::ptime(boost::gregorian::date(1970, 1, 1))).total_seconds();
}

// The value names a page or plot keeps ("names=v,i", "group_value,module_*_value", "*"
// any run of characters); none given keeps every name. A rectifier's plot needs
// its module values, not the ten status bytes of each module beside them.
class NameFilter {
  public:
    bool Parse(const HttpRequest& req, std::string& error) {
        if (!req.has_param("names")) return true;
        const std::string text = req.get_param_value("names");
        std::size_t at = 0;
        while (at <= text.size()) {
            const std::size_t comma = std::min(text.find(',', at), text.size());
            const std::string pattern = text.substr(at, comma - at);
            bool ok = !pattern.empty() && pattern.size() <= 64 && patterns_.size() < 64;
            for (char c : pattern) {
                ok = ok && (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '*');
            }
            if (!ok) {
                error =
                    "\"names\" must be up to 64 value names or patterns (letters, digits, "
                    "'_', '*' for any run of them), separated by commas";
                return false;
            }
            patterns_.push_back(pattern);
            at = comma + 1;
        }
        return true;
    }
    bool All() const { return patterns_.empty(); }
    bool Keeps(const std::string& name) const {
        if (patterns_.empty()) return true;
        for (const std::string& p : patterns_) {
            if (match(p, name)) return true;
        }
        return false;
    }
    void Apply(std::vector<NamedValue>& values) const {
        if (All()) return;
        values.erase(std::remove_if(values.begin(), values.end(),
                                    [&](const NamedValue& v) { return !Keeps(v.name); }),
                     values.end());
    }

  private:
    // '*' matches any run of characters; the last '*' seen is retried on a mismatch.
    static bool match(const std::string& p, const std::string& s) {
        std::size_t i = 0, j = 0, star = std::string::npos, mark = 0;
        while (j < s.size()) {
            if (i < p.size() && p[i] == s[j]) {
                ++i;
                ++j;
            } else if (i < p.size() && p[i] == '*') {
                star = i++;
                mark = j;
            } else if (star != std::string::npos) {
                i = star + 1;
                j = ++mark;
            } else {
                return false;
            }
        }
        while (i < p.size() && p[i] == '*') ++i;
        return i == p.size();
    }
    std::vector<std::string> patterns_;
};

// Values of a record for a plot; false when it does not decode.
bool plot_values(const StoredRecord& r, web::TimedValues& tv) {
    tv.time = epoch_seconds(r.record.time);
    UnitKind kind;
    return unit_kind_of(r.record.device_type, kind) &&
           record_values(kind, r.record.bytes, tv.values);
}

// A summarised minute as two records, at its first and last record's times,
// with each value's lowest and highest in the order they came (one record
// when the minute held one); only the names `keep` (indices into the layout).
void minute_records(const StoredMinute& m, const std::vector<std::size_t>& keep,
                    std::vector<web::TimedValues>& out) {
    const history::MinuteSummary& s = m.summary;
    static const std::vector<std::string> kNone;
    const std::vector<std::string>& names = m.names ? *m.names : kNone;
    web::TimedValues a, b;
    a.values.reserve(keep.size());
    b.values.reserve(keep.size());
    // Both count seconds from 1970 in local time.
    a.time = s.minute + s.first_offset;
    b.time = s.minute + s.last_offset;
    for (std::size_t k : keep) {
        if (k >= s.values.size() || k >= names.size()) continue;
        const history::MinuteValue& v = s.values[k];
        NamedValue lo, hi;
        lo.name = hi.name = names[k];
        if (v.shape == history::MinuteValue::Shape::None) {
            lo.reply = hi.reply = "no finite value in this minute";
        } else {
            lo.ok = hi.ok = true;
            lo.value = v.low;
            hi.value = v.high;
        }
        const bool rising = v.shape != history::MinuteValue::Shape::Falling;
        a.values.push_back(rising ? lo : hi);
        b.values.push_back(rising ? hi : lo);
    }
    out.push_back(std::move(a));
    if (s.count - s.undecoded >= 2) out.push_back(std::move(b));
}

// The history of a window for a plot: at most `points` records, reduced by
// time slot as they come, so that nothing holds the whole window. Slots of a
// minute or more are drawn from the per-minute summaries (a day is 1440 rows
// a unit), shorter ones from the records, read page by page; what is older
// than the oldest record kept whole comes from the summaries either way.
void write_history_points(StoreReader& reader, const SqliteStore* store, std::uint32_t data_id,
                          pt::ptime from, pt::ptime to, std::size_t points,
                          const NameFilter& filter, json::Writer& w, std::string& error) {
    if (to.is_special()) to = local_time();
    // Not in the file yet: newer than anything read below. Taken first, so
    // that a write that ends meanwhile moves them into what is read.
    std::vector<StoredRecord> waiting;
    if (store) waiting = store->WaitingRecords(data_id, from, to, 0, Api::kHistoryMax);
    std::unique_ptr<web::MinMaxDownsampler> reduce;
    std::size_t undecoded = 0, decoded = 0;
    std::int64_t newest_id = 0;
    const auto add = [&](web::TimedValues tv) {
        if (!reduce) {
            const std::int64_t start = from.is_special() ? tv.time : epoch_seconds(from);
            reduce = std::make_unique<web::MinMaxDownsampler>(start, epoch_seconds(to), points);
        }
        reduce->Add(std::move(tv));
    };
    const auto add_record = [&](const StoredRecord& r) {
        newest_id = std::max(newest_id, r.id);
        web::TimedValues tv;
        if (!plot_values(r, tv)) {
            ++undecoded;
            return;
        }
        ++decoded;
        filter.Apply(tv.values);
        add(std::move(tv));
    };
    const auto add_minutes = [&](pt::ptime lo, pt::ptime hi, bool with_open) {
        std::vector<StoredRecord> open;
        bool summarised = false;
        std::vector<web::TimedValues> two;
        // The names kept, by layout: a unit's minutes share one.
        const std::vector<std::string>* layout = nullptr;
        std::vector<std::size_t> keep;
        const auto each = [&](const StoredMinute& m) {
            undecoded += m.summary.undecoded;
            decoded += m.summary.count - m.summary.undecoded;
            if (m.names.get() != layout) {
                layout = m.names.get();
                keep.clear();
                for (std::size_t k = 0; layout && k < layout->size(); ++k) {
                    if (filter.Keeps((*layout)[k])) keep.push_back(k);
                }
            }
            two.clear();
            if (m.summary.count > m.summary.undecoded) minute_records(m, keep, two);
            for (auto& tv : two) add(std::move(tv));
        };
        if (!reader.Minutes(data_id, lo, hi, each, open, summarised, error)) return false;
        if (with_open) {
            for (const StoredRecord& r : open) add_record(r);
        }
        return true;
    };
    const auto add_records = [&](pt::ptime lo) {
        std::vector<StoredRecord> page;
        std::int64_t after = 0;
        do {
            page.clear();
            if (!reader.History(data_id, lo, to, after, Api::kHistoryMax, page, error))
                return false;
            for (const StoredRecord& r : page) add_record(r);
            if (!page.empty()) after = page.back().id;
        } while (page.size() == Api::kHistoryMax);
        return true;
    };
    bool ok = true;
    if (!from.is_special() && reader.Summarised()) {
        const double slot =
            static_cast<double>((to - from).total_seconds()) / (static_cast<double>(points) / 2);
        pt::ptime oldest;
        ok = reader.OldestRecord(data_id, oldest, error);
        if (ok && (slot >= 60 || oldest.is_special())) {
            // No sealed minute kept whole: the summaries, and the minute being filled.
            ok = add_minutes(from, to, true);
        } else if (ok) {
            // Summaries before the oldest record kept whole, records from there.
            const pt::ptime whole = oldest < from ? from : oldest;
            if (whole > from) ok = add_minutes(from, std::min(to, whole - pt::seconds(1)), false);
            if (ok && !(to < whole)) ok = add_records(whole);
        }
    } else {
        ok = add_records(from);
    }
    if (!ok) return;
    for (const StoredRecord& r : waiting) {
        if (r.id > newest_id) add_record(r);
    }
    const std::vector<web::TimedValues> out =
        reduce ? reduce->Finish() : std::vector<web::TimedValues>();
    w.Key("points").UInt(points);
    w.Key("records_in_window").UInt(decoded + undecoded);
    w.Key("undecoded").UInt(undecoded);
    w.Key("records").BeginArray();
    for (const auto& r : out) {
        w.BeginObject();
        w.Key("time").Time(pt::ptime(boost::gregorian::date(1970, 1, 1)) + pt::seconds(r.time));
        WriteValues(w, r.values);
        w.EndObject();
    }
    w.EndArray();
    w.Key("next_after").Null();
}

}  // namespace

bool parse_query_time(const std::string& s, pt::ptime& local, std::string& error) {
    error = "\"" + json::valid_utf8(s) +
            "\" is no time (e.g. 2026-12-08T06:15:05+01:00, 2026-12-08 06:15, 2026-12-08)";
    int y, mo, d, h = 0, mi = 0, sec = 0;
    if (s.size() < 10 || !digits(s, 0, 4, y) || s[4] != '-' || !digits(s, 5, 2, mo) ||
        s[7] != '-' || !digits(s, 8, 2, d)) {
        return false;
    }
    std::size_t at = 10;
    if (at < s.size() && (s[at] == 'T' || s[at] == ' ')) {
        if (!digits(s, at + 1, 2, h) || at + 3 >= s.size() || s[at + 3] != ':' ||
            !digits(s, at + 4, 2, mi)) {
            return false;
        }
        at += 6;
        if (at < s.size() && s[at] == ':') {
            if (!digits(s, at + 1, 2, sec)) return false;
            at += 3;
            if (at < s.size() && (s[at] == '.' || s[at] == ',')) {  // fractions are dropped
                ++at;
                const std::size_t b = at;
                while (at < s.size() && s[at] >= '0' && s[at] <= '9') ++at;
                if (at == b) return false;
            }
        }
    }
    bool zoned = false;
    long offset = 0;
    if (at < s.size()) {
        // An unescaped '+' in a query string arrives as a space.
        const char sign = s[at] == ' ' ? '+' : s[at];
        if (s[at] == 'Z' && at + 1 == s.size()) {
            zoned = true;
        } else if (sign == '+' || sign == '-') {
            int oh, om;
            const std::size_t rest = s.size() - at - 1;
            if (rest == 5 && s[at + 3] == ':' && digits(s, at + 1, 2, oh) &&
                digits(s, at + 4, 2, om)) {
            } else if (rest == 4 && digits(s, at + 1, 2, oh) && digits(s, at + 3, 2, om)) {
            } else {
                return false;
            }
            if (oh > 23 || om > 59) return false;
            offset = (oh * 3600L + om * 60L) * (sign == '-' ? -1 : 1);
            zoned = true;
        } else {
            return false;
        }
    }
    if (h > 23 || mi > 59 || sec > 59) return false;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] + (mo == 2 && leap ? 1 : 0)) return false;
    if (zoned) {
        std::tm tm{};
        tm.tm_year = y - 1900;
        tm.tm_mon = mo - 1;
        tm.tm_mday = d;
        tm.tm_hour = h;
        tm.tm_min = mi;
        tm.tm_sec = sec;
        const std::time_t utc = ::timegm(&tm) - offset;
        std::tm lt{};
        if (!::localtime_r(&utc, &lt)) return false;
        y = lt.tm_year + 1900;
        mo = lt.tm_mon + 1;
        d = lt.tm_mday;
        h = lt.tm_hour;
        mi = lt.tm_min;
        sec = lt.tm_sec;
    }
    // The store's times and the calendar used here cover these years; a time
    // with an offset may leave them only once taken to local time.
    if (y < kFirstYear || y > kLastYear) {
        error = "\"" + json::valid_utf8(s) + "\" is outside the supported range, " +
                std::to_string(kFirstYear) + "-01-01T00:00:00 to " + std::to_string(kLastYear) +
                "-12-31T23:59:59 local time";
        return false;
    }
    local = pt::ptime(
        boost::gregorian::date(static_cast<unsigned short>(y), static_cast<unsigned short>(mo),
                               static_cast<unsigned short>(d)),
        pt::hours(h) + pt::minutes(mi) + pt::seconds(sec));
    error.clear();
    return true;
}

void Api::SiteReloaded(const SiteConfig& site) {
    std::lock_guard<std::mutex> lock(site_mutex_);
    site_ = site;
}

StoreReader* Api::Reader(std::string& error) {
    std::lock_guard<std::mutex> lock(reader_mutex_);
    if (reader_) return reader_.get();
    if (!host_.PersistentHistory()) {
        error = "this site keeps no history database";
        return nullptr;
    }
    reader_ = StoreReader::Open(host_.Store()->Path(), &error);
    return reader_.get();
}

Api::Api(Context& ctx) : host_(ctx.host), view_(*ctx.view), http_(*ctx.http), site_(ctx.site) {
    // GET (and HEAD) only: the server answers any other method with 405.
    static constexpr struct {
        const char* path;
        void (Api::*handler)(const HttpRequest&, HttpResponse&);
    } kRoutes[] = {
        {"/api/v1/vocabulary", &Api::ServeVocabulary}, {"/api/v1/devices", &Api::ServeDevices},
        {"/api/v1/values", &Api::ServeValues},         {"/api/v1/alarms", &Api::ServeAlarms},
        {"/api/v1/events", &Api::ServeEvents},         {"/api/v1/history", &Api::ServeHistory},
        {"/api/v1/stream", &Api::ServeStream},
    };
    for (const auto& route : kRoutes) {
        http_.Get(route.path,
                  [this, handler = route.handler](const HttpRequest& req, HttpResponse& res) {
                      (this->*handler)(req, res);
                  });
    }
}

void Api::ServeVocabulary(const HttpRequest&, HttpResponse& res) {
    json::Writer w;
    WriteVocabulary(w);
    SetJson(res, w.Take());
}

void Api::ServeDevices(const HttpRequest&, HttpResponse& res) {
    const SiteSnapshot snap = view_.Snapshot();
    json::Writer w;
    w.BeginObject().Key("time").Time(local_time()).Key("devices").BeginArray();
    for (const DeviceStatus& d : host_.Devices()) {
        w.BeginObject();
        w.Key("name").String(d.name);
        w.Key("port").String(d.port);
        w.Key("data_id").UInt(d.data_id);
        w.Key("enabled").Bool(d.enabled);
        w.Key("loaded").Bool(d.loaded);
        if (!d.error.empty()) w.Key("error").String(d.error);
        w.Key("port_open").Bool(d.port_open);
        w.Key("port_opens").UInt(d.port_opens);
        w.Key("port_losses").UInt(d.port_losses);
        const DeviceView* v = nullptr;
        for (const auto& dv : snap.devices) {
            if (dv.name == d.name) v = &dv;
        }
        w.Key("line");
        WriteLine(w, v ? v->line : LineStatus());
        const HostEvent* c = v && v->cycle ? v->cycle.get() : nullptr;
        w.Key("cycles").UInt(c ? c->cycle.number : 0);
        w.Key("poll_seconds");
        if (c && c->cycle.number > 0) {
            w.Double(c->cycle.poll_seconds);
        } else {
            w.Null();
        }
        w.Key("data_age_seconds").Double(c ? seconds_since(values_time(*c)) : NAN);
        w.Key("stale").Bool(!(v && v->Fresh(local_time())));
        w.Key("frames");
        if (c && c->cycle.number > 0) {
            WriteFrames(w, c->frames);
        } else {
            w.Null();
        }
        w.EndObject();
    }
    w.EndArray();
    w.Key("history");
    WriteHistory(w, history_state(host_, site_.history_db));
    w.EndObject();
    SetJson(res, w.Take());
}

void Api::ServeValues(const HttpRequest& req, HttpResponse& res) {
    const std::string device = req.get_param_value("device");
    std::uint64_t data_id = 0;
    std::string error;
    if (!unsigned_param(req, "data_id", 0xFFFFFFFFull, 0, data_id, error)) {
        return SetError(res, 400, error);
    }
    const bool by_id = req.has_param("data_id");
    const SiteSnapshot snap = view_.Snapshot();
    json::Writer w;
    w.BeginObject().Key("time").Time(local_time()).Key("devices").BeginArray();
    bool found = false;
    for (const DeviceView& d : snap.devices) {
        if (!device.empty() && d.name != device) continue;
        const HostEvent* c = d.cycle.get();
        if (by_id) {
            bool has = false;
            for (const auto& u : c ? c->units : std::vector<UnitValues>()) {
                has = has || u.data_id == data_id;
            }
            if (!has) continue;
        }
        found = true;
        const pt::ptime now = local_time();
        // Past the unit's own time-out the values are withheld as the unit
        // itself would withhold them.
        const bool timed_out = c && values_timed_out(values_time(*c), now);
        w.BeginObject();
        w.Key("device").String(d.name);
        w.Key("line").String(line_state_name(d.line.state));
        w.Key("time").Time(c ? values_time(*c) : pt::ptime());
        w.Key("age_seconds").Double(c ? seconds_since(values_time(*c)) : NAN);
        w.Key("stale").Bool(!d.Fresh(now));
        w.Key("stale_after_seconds").Int(d.line.stale_after_s);
        w.Key("cycle").UInt(c ? c->cycle.number : 0);
        w.Key("units").BeginArray();
        if (c) {
            for (const auto& u : c->units) {
                if (!by_id || u.data_id == data_id) WriteUnit(w, u, timed_out);
            }
        }
        w.EndArray();
        w.EndObject();
    }
    w.EndArray().EndObject();
    if (!found && (!device.empty() || by_id)) {
        return SetError(res, 404,
                        device.empty() ? "no unit has data id " + std::to_string(data_id)
                                       : "no device \"" + device + "\" with values");
    }
    SetJson(res, w.Take());
}

void Api::ServeAlarms(const HttpRequest&, HttpResponse& res) {
    const SiteSnapshot snap = view_.Snapshot();
    json::Writer w;
    w.BeginObject().Key("time").Time(local_time()).Key("alarms").BeginArray();
    for (const HostEvent& a : snap.alarms) WriteAlarm(w, a.device, a.alarm);
    w.EndArray().EndObject();
    SetJson(res, w.Take());
}

void Api::ServeEvents(const HttpRequest& req, HttpResponse& res) {
    std::string error;
    pt::ptime since;
    std::uint64_t after = 0, limit = 0;
    if (!time_param(req, "since", since, error) ||
        !unsigned_param(req, "after", 0x7FFFFFFFFFFFFFFFull, 0, after, error) ||
        !unsigned_param(req, "limit", kEventsMax, kEventsPage, limit, error)) {
        return SetError(res, 400, error);
    }
    if (limit == 0) return SetError(res, 400, "\"limit\" must be at least 1");
    StoreReader* reader = Reader(error);
    if (!reader) return SetError(res, 503, error);
    // Events not in the file yet are served too, taken first: a write
    // that ends meanwhile moves them into what the file then holds.
    std::vector<StoredEvent> waiting;
    if (auto store = host_.Store()) {
        waiting = store->WaitingEvents(since, static_cast<std::int64_t>(after), limit);
    }
    std::vector<StoredEvent> events;
    if (!reader->Events(since, static_cast<std::int64_t>(after), limit, events, error)) {
        return SetError(res, 503, error);
    }
    merge_events(events, std::move(waiting), limit);
    json::Writer w;
    w.BeginObject().Key("events").BeginArray();
    for (const StoredEvent& e : events) {
        w.BeginObject();
        w.Key("id").Int(e.id);
        w.Key("time").Time(e.event.time);
        w.Key("kind").String(e.event.kind == AlarmEvent::Kind::Raised ? "raised" : "cleared");
        w.Key("alarm");
        WriteAlarm(w, host_.DeviceOf(e.event.alarm.data_id), e.event.alarm);
        // What the unit said: the cycle and the answers the event came from.
        w.Key("provenance");
        WriteProvenance(w, e.event.provenance);
        w.EndObject();
    }
    w.EndArray();
    w.Key("next_after");
    if (events.size() == limit) {
        w.Int(events.back().id);
    } else {
        w.Null();
    }
    w.EndObject();
    SetJson(res, w.Take());
}

void Api::ServeHistory(const HttpRequest& req, HttpResponse& res) {
    std::string error;
    pt::ptime from, to;
    std::uint64_t data_id = 0, after = 0, limit = 0, points = 0;
    if (!req.has_param("data_id")) return SetError(res, 400, "\"data_id\" is needed");
    if (!unsigned_param(req, "data_id", 0xFFFFFFFFull, 0, data_id, error) ||
        !time_param(req, "from", from, error) || !time_param(req, "to", to, error) ||
        !unsigned_param(req, "after", 0x7FFFFFFFFFFFFFFFull, 0, after, error) ||
        !unsigned_param(req, "limit", kHistoryMax, kHistoryPage, limit, error) ||
        !unsigned_param(req, "points", kHistoryMax, 0, points, error)) {
        return SetError(res, 400, error);
    }
    if (req.has_param("points") && points < 4) {
        return SetError(res, 400, "\"points\" must be at least 4");
    }
    if (limit == 0) return SetError(res, 400, "\"limit\" must be at least 1");
    if (!from.is_special() && !to.is_special() && to < from) {
        return SetError(res, 400, "\"to\" is before \"from\"");
    }
    const std::string device = host_.DeviceOf(static_cast<std::uint32_t>(data_id));
    if (device.empty()) {
        return SetError(res, 404, "no unit has data id " + std::to_string(data_id));
    }
    NameFilter filter;
    if (!filter.Parse(req, error)) return SetError(res, 400, error);
    StoreReader* reader = Reader(error);
    if (!reader) return SetError(res, 503, error);
    if (points > 0) {
        json::Writer w;
        w.BeginObject();
        w.Key("data_id").UInt(data_id);
        w.Key("device").String(device);
        write_history_points(*reader, host_.Store().get(), static_cast<std::uint32_t>(data_id),
                             from, to, points, filter, w, error);
        if (!error.empty()) return SetError(res, 503, error);
        w.EndObject();
        return SetJson(res, w.Take());
    }
    std::vector<StoredRecord> waiting;
    if (auto store = host_.Store()) {
        waiting = store->WaitingRecords(static_cast<std::uint32_t>(data_id), from, to,
                                        static_cast<std::int64_t>(after), limit);
    }
    std::vector<StoredRecord> records;
    if (!reader->History(static_cast<std::uint32_t>(data_id), from, to,
                         static_cast<std::int64_t>(after), limit, records, error)) {
        return SetError(res, 503, error);
    }
    merge_records(records, std::move(waiting), limit);
    json::Writer w;
    w.BeginObject();
    w.Key("data_id").UInt(data_id);
    w.Key("device").String(device);
    w.Key("records").BeginArray();
    std::vector<NamedValue> values;
    for (const StoredRecord& r : records) {
        w.BeginObject();
        w.Key("id").Int(r.id);
        w.Key("time").Time(r.record.time);
        w.Key("device_type").String(r.record.device_type);
        UnitKind kind;
        values.clear();
        if (!unit_kind_of(r.record.device_type, kind)) {
            w.Key("error").String("records of this device type are not decoded");
        } else if (!record_values(kind, r.record.bytes, values)) {
            w.Key("kind").String(unit_kind_name(kind));
            w.Key("error").String("a record of " + std::to_string(r.record.bytes.size()) +
                                  " bytes does not have its unit's layout");
        } else {
            w.Key("kind").String(unit_kind_name(kind));
            filter.Apply(values);
            WriteValues(w, values);
        }
        w.EndObject();
    }
    w.EndArray();
    w.Key("next_after");
    if (records.size() == limit) {
        w.Int(records.back().id);
    } else {
        w.Null();
    }
    w.EndObject();
    SetJson(res, w.Take());
}

void Api::ServeStream(const HttpRequest& req, HttpResponse& res) {
    if (!http_.AcquireStream()) {
        return SetError(res, 503, "too many event streams are open");
    }
    const bool initial = req.get_param_value("initial") != "0";
    auto queue = host_.Events().Subscribe();  // bounded: cycles drop first
    EventBus* bus = &host_.Events();
    HttpServer* http = &http_;
    res.set_header("Cache-Control", "no-cache");
    res.set_header("X-Accel-Buffering", "no");
    auto quiet = std::make_shared<int>(0);
    res.set_chunked_content_provider(
        "text/event-stream",
        [queue, http, initial, quiet](std::size_t, StreamSink& sink) {
            HostEvent e;
            if (http->Stopping()) return false;
            if (!queue->Pop(e, std::chrono::milliseconds(1000))) {
                // A comment now and then shows the client that the line is alive.
                if (++*quiet >= 15) {
                    *quiet = 0;
                    if (!sink.write(": keep-alive\n\n", 14)) return false;
                }
                return !queue->Closed() && sink.is_writable();
            }
            *quiet = 0;
            if (e.initial && !initial) return true;
            json::Writer w;
            WriteEvent(w, e);
            std::string text = "id: " + std::to_string(e.seq) +
                               "\nevent: " + event_kind_name(e.kind) + "\ndata: " + w.Take() +
                               "\n\n";
            return sink.write(text.data(), text.size());
        },
        [queue, bus, http](bool) {
            bus->Unsubscribe(queue);
            http->ReleaseStream();
        });
}

}  // namespace smd::service

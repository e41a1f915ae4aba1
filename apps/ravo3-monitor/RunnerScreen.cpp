#include "apps/ravo3-monitor/RunnerScreen.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <map>

#include "runtime/values/Vocabulary.h"

namespace monitor {
namespace {

namespace pt = boost::posix_time;

bool replayed(const smd::HostEvent& e) {
    return !e.units.empty() && e.units.front().replayed;
}

// One character of UTF-8 text: its bytes as the terminal gets them and its
// columns. Invalid bytes and control characters become U+FFFD, so that raw
// bytes from the line can neither garble the screen nor steer the terminal.
struct Glyph {
    std::string bytes;
    std::size_t width = 1;
    std::size_t consumed = 1;
};

bool wide(char32_t c) {
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) ||
           (c >= 0x3041 && c <= 0x33FF) || (c >= 0x3400 && c <= 0x4DBF) ||
           (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
           (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
           (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
           (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
}

Glyph next_glyph(const std::string& s, std::size_t i) {
    static const std::string kReplacement = "\xEF\xBF\xBD";
    const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + i;
    const std::size_t left = s.size() - i;
    Glyph g;
    const unsigned char c = p[0];
    if (c < 0x80) {
        g.bytes = (c < 0x20 || c == 0x7F) ? kReplacement : std::string(1, static_cast<char>(c));
        return g;
    }
    std::size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    char32_t cp = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        cp = c & 0x0F;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        cp = c & 0x07;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    }
    bool ok = n > 0 && left >= n && p[1] >= lo && p[1] <= hi;
    for (std::size_t k = 1; ok && k < n; ++k) {
        if (k > 1 && (p[k] < 0x80 || p[k] > 0xBF)) ok = false;
        cp = (cp << 6) | (p[k] & 0x3F);
    }
    if (!ok || (cp >= 0x80 && cp <= 0x9F)) {
        g.bytes = kReplacement;
        g.consumed = ok ? n : 1;
        return g;
    }
    g.bytes = s.substr(i, n);
    g.consumed = n;
    g.width = wide(cp) ? 2 : 1;
    return g;
}

std::string clock_text(const pt::ptime& t, const pt::ptime& now) {
    if (t.is_special()) return "-";
    char buf[32];
    const auto tod = t.time_of_day();
    if (!now.is_special() && t.date() == now.date()) {
        std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", static_cast<int>(tod.hours()),
                      static_cast<int>(tod.minutes()), static_cast<int>(tod.seconds()));
    } else {
        const auto d = t.date();
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", static_cast<int>(d.year()),
                      static_cast<int>(d.month()), static_cast<int>(d.day()),
                      static_cast<int>(tod.hours()), static_cast<int>(tod.minutes()),
                      static_cast<int>(tod.seconds()));
    }
    return buf;
}

// "Voltage 53.52 V", "S1 0A", "Value --": a row's column head, its value in
// the row's precision (a status byte in hex) and its unit.
std::string cell(const smd::ValueDef& d, const smd::NamedValue* v) {
    std::string s = std::string(d.column) + " ";
    if (!v || !v->ok) return s + "--";
    char buf[48];
    if (d.cls == smd::ValueClass::State) {
        std::snprintf(buf, sizeof buf, "%02X", static_cast<unsigned>(v->value));
    } else {
        std::snprintf(buf, sizeof buf, "%.*f", d.precision, static_cast<double>(v->value));
    }
    s += buf;
    if (*d.unit) s += std::string(" ") + d.unit;
    return s;
}

// The first reply among a unit's values: why it serves nothing ("数据已超时").
std::string reply_of(const smd::UnitValues& u) {
    for (const auto& v : u.values) {
        if (!v.ok) return v.reply;
    }
    return std::string();
}

// A unit as its vocabulary describes it: a line of its own values, a line
// per channel or module, and the alarm values that stand, by label.
void unit_lines(const smd::UnitValues& u, std::vector<std::string>& out) {
    const smd::UnitVocabulary& voc = smd::vocabulary(u.kind);
    std::string head = smd::unit_kind_name(u.kind);
    for (char& c : head) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    head = "  " + head + " " + std::to_string(u.data_id) + "  ";
    // By channel or module number (-1 the unit's own) and row.
    std::map<int, std::map<const smd::ValueDef*, const smd::NamedValue*>> rows;
    bool any = false;
    for (const auto& v : u.values) {
        const smd::ValueRef r = smd::lookup_value(u.kind, v.name);
        if (!r.ok()) continue;
        rows[r.number][r.def] = &v;
        any = any || (r.number < 0 && v.ok);
    }
    if (!any) {
        const std::string reply = reply_of(u);
        out.push_back(head + (reply.empty() ? "no record yet" : reply));
        return;
    }
    std::string faults;
    // Cells of one line; the standing alarms go to the faults.
    auto line = [&](const smd::ValueDef* defs, std::size_t n,
                    const std::map<const smd::ValueDef*, const smd::NamedValue*>& have,
                    std::string text, const std::string& who) {
        std::string standing;
        for (std::size_t i = 0; i < n; ++i) {
            const smd::ValueDef& d = defs[i];
            const auto it = have.find(&d);
            const smd::NamedValue* v = it == have.end() ? nullptr : it->second;
            if (d.cls != smd::ValueClass::Alarm) {
                text += (text.back() == ' ' ? "" : "  ") + cell(d, v);
            } else if (v && v->ok && smd::alarm_stands(d, v->value)) {
                standing += (standing.empty() ? "" : ", ") + std::string(d.label);
            }
        }
        out.push_back(text);
        if (!standing.empty()) faults += (faults.empty() ? "" : "; ") + who + standing;
    };
    line(voc.values, voc.value_count, rows[-1], head, "");
    rows.erase(-1);
    for (const auto& [number, have] : rows) {
        const std::string name =
            std::string(voc.group_label) + " " + std::to_string(number - voc.group_first + 1);
        line(voc.group_values, voc.group_value_count, have, "    " + name + "  ", name + ": ");
    }
    if (!faults.empty()) out.push_back("    faults: " + faults);
}

std::uint64_t frame_errors(const smd::FrameStats& s) {
    return s.checksum_errors + s.length_errors + s.hex_errors + s.overlong + s.truncated +
           s.garbage_runs + s.rtn_errors + s.wrong_address;
}

std::vector<std::string> device_block(const DeviceView& d, const pt::ptime& now) {
    std::vector<std::string> out;
    // The state in words on the device's first line; the cause and what to
    // do below it, where they have room.
    DeviceView brief = d;
    brief.line.detail.clear();
    brief.line.comm_lost = false;
    out.push_back(d.name + "  " + d.port + "  " + line_text(brief, now));
    std::string why = d.line.state == smd::LineState::Answering ? "" : d.line.detail;
    if (d.line.comm_lost)
        why += std::string(why.empty() ? "" : "; ") + "communication-lost alarm standing";
    const bool down = d.line.state != smd::LineState::Answering;
    if (down && !d.hint.empty()) why += (why.empty() ? "" : "; ") + d.hint;
    if (!why.empty()) out.push_back("  ! " + why);
    if (!d.have_values) {
        if (d.enabled && d.load_error.empty()) out.push_back("  no values yet");
        return out;
    }
    const smd::HostEvent& e = d.last;
    char buf[200];
    if (replayed(e)) {
        pt::ptime stored;
        for (const auto& u : e.units) {
            if (!u.stored.is_special() && (stored.is_special() || u.stored > stored)) {
                stored = u.stored;
            }
        }
        out.push_back("  REPLAYED values, stored " + clock_text(stored, now) + "; no cycle yet");
    } else {
        std::snprintf(
            buf, sizeof buf,
            "  cycle %llu at %s  poll %.2f s  period %.2f s  bad %llu lost %llu stale %llu",
            static_cast<unsigned long long>(e.cycle.number), clock_text(e.time, now).c_str(),
            e.cycle.poll_seconds, e.cycle.period_seconds,
            static_cast<unsigned long long>(frame_errors(e.frames)),
            static_cast<unsigned long long>(e.frames.timeouts),
            static_cast<unsigned long long>(e.frames.stale_answers));
        out.push_back(buf);
    }
    if (!smd::values_fresh(d.line, smd::values_time(e), now)) {
        const double age = smd::values_age_seconds(smd::values_time(e), now);
        out.push_back("  STALE: the values below are " +
                      (std::isfinite(age) ? std::to_string(static_cast<long long>(age)) + " s old"
                                          : std::string("of unknown age")) +
                      ", not current");
    }
    for (const auto& u : e.units) unit_lines(u, out);
    return out;
}

// Words of `text` in lines of at most `cols` columns, at most `max_lines`.
std::vector<std::string> wrap(const std::string& text, std::size_t cols, std::size_t max_lines) {
    std::vector<std::string> out;
    std::string line;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(' ', start);
        if (end == std::string::npos) end = text.size();
        const std::string word = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && display_width(line) + 1 + display_width(word) > cols) {
            out.push_back(line);
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    if (!line.empty()) out.push_back(line);
    if (out.size() > max_lines) out.resize(max_lines);
    return out;
}

std::string alarm_line(const AlarmView& a, bool with_device, const pt::ptime& now) {
    std::string s = "  " + clock_text(a.alarm.since, now) + " ";
    if (with_device) s += "[" + a.device + "] ";
    s += a.alarm.code + " " + a.alarm.name;
    if (!a.alarm.detail.empty()) s += " " + a.alarm.detail;
    return s;
}

}  // namespace

Applied RunnerScreen::Apply(const smd::HostEvent& e) {
    Applied r;
    DeviceView* d = Find(e.device);
    r.device = d;
    auto take_line = [&](const smd::LineStatus& line) {
        if (line.state != d->line.state || line.comm_lost != d->line.comm_lost) {
            r.line_changed = true;
        }
        d->line = line;
    };
    switch (e.kind) {
        case smd::HostEvent::Kind::Cycle:
            if (!d) break;
            // Replayed values never replace a cycle's.
            if (replayed(e) && d->cycles > 0) break;
            d->last = e;
            d->have_values = true;
            take_line(e.line);
            if (!replayed(e)) {
                ++d->cycles;
                r.new_cycle = true;
            }
            break;
        case smd::HostEvent::Kind::Line:
            if (d) take_line(e.line);
            break;
        case smd::HostEvent::Kind::AlarmRaised:
        case smd::HostEvent::Kind::AlarmCleared: {
            alarms_.erase(std::remove_if(alarms_.begin(), alarms_.end(),
                                         [&](const AlarmView& a) {
                                             return smd::same_point(a.alarm, e.alarm);
                                         }),
                          alarms_.end());
            if (e.kind == smd::HostEvent::Kind::AlarmRaised) alarms_.push_back({e.device, e.alarm});
            break;
        }
        case smd::HostEvent::Kind::Removed:
            break;  // the runner's site never changes while it runs
    }
    return r;
}

std::vector<smd::ActiveAlarm> RunnerScreen::AlarmsOf(const std::string& device) const {
    std::vector<smd::ActiveAlarm> out;
    for (const auto& a : alarms_) {
        if (a.device == device) out.push_back(a.alarm);
    }
    return out;
}

DeviceView* RunnerScreen::Find(const std::string& name) {
    for (auto& d : devices_) {
        if (d.name == name) return &d;
    }
    return nullptr;
}

std::string line_text(const DeviceView& d, const pt::ptime& now) {
    if (!d.enabled) return "disabled in the site file";
    if (!d.load_error.empty()) return "NOT LOADED: " + d.load_error;
    const smd::LineStatus& l = d.line;
    std::string s;
    const std::string since = " since " + clock_text(l.since, now);
    switch (l.state) {
        case smd::LineState::Starting:
            s = "starting, no cycle yet";
            break;
        case smd::LineState::Answering:
            s = "answering";
            if (!l.last_cycle.is_special() && !now.is_special()) {
                const long ago = std::max<long>(0, (now - l.last_cycle).total_seconds());
                s += ", last cycle " + std::to_string(ago) + " s ago";
            }
            break;
        case smd::LineState::NotAnswering:
            s = "NOT ANSWERING" + since;
            break;
        case smd::LineState::PortMissing:
            s = "PORT MISSING" + since;
            break;
        case smd::LineState::PortBusy:
            s = "PORT HELD BY ANOTHER PROCESS" + since;
            break;
        case smd::LineState::HostUnreachable:
            s = "HOST UNREACHABLE" + since;
            break;
        case smd::LineState::ConnectionRefused:
            s = "CONNECTION REFUSED" + since;
            break;
        case smd::LineState::ConnectionLost:
            s = "CONNECTION LOST" + since;
            break;
        case smd::LineState::Stopped:
            s = "stopped";
            break;
    }
    if (!l.detail.empty() && l.state != smd::LineState::Answering) s += ": " + l.detail;
    if (l.comm_lost) s += "; communication-lost alarm standing";
    return s;
}

std::size_t display_width(const std::string& text) {
    std::size_t w = 0;
    for (std::size_t i = 0; i < text.size();) {
        const Glyph g = next_glyph(text, i);
        w += g.width;
        i += g.consumed;
    }
    return w;
}

std::string fit(const std::string& text, std::size_t cols) {
    std::string out;
    std::size_t w = 0;
    for (std::size_t i = 0; i < text.size();) {
        const Glyph g = next_glyph(text, i);
        if (cols > 0 && w + g.width > cols) break;
        out += g.bytes;
        w += g.width;
        i += g.consumed;
    }
    return out;
}

std::vector<std::string> render_screen(const RunnerScreen& site, const ScreenContext& ctx) {
    const bool limited = ctx.rows > 0;
    const std::size_t rows = limited ? static_cast<std::size_t>(ctx.rows) : 0;
    std::vector<std::vector<std::string>> blocks;
    for (const auto& d : site.Devices()) {
        std::vector<std::string> b;
        for (auto& l : device_block(d, ctx.now)) {
            if (ctx.cols > 8 && l.rfind("  ! ", 0) == 0) {
                const auto parts = wrap(l.substr(4), static_cast<std::size_t>(ctx.cols) - 4, 3);
                for (std::size_t k = 0; k < parts.size(); ++k) {
                    b.push_back((k == 0 ? "  ! " : "    ") + parts[k]);
                }
            } else {
                b.push_back(std::move(l));
            }
        }
        blocks.push_back(std::move(b));
    }

    const std::size_t log_rows = std::min<std::size_t>(ctx.log.size(), limited ? 2 : 4);
    // The first few alarms are never paged away by values.
    const std::size_t alarm_min = 1 + std::min<std::size_t>(site.Alarms().size(), 3);
    // Pages of whole device blocks; a block taller than the screen is cut.
    std::vector<std::pair<std::size_t, std::size_t>> pages;  // [first, last)
    std::size_t area = 0;
    if (limited) {
        const std::size_t fixed = 1 + log_rows + alarm_min;
        area = rows > fixed ? rows - fixed : 1;
        std::size_t first = 0, used = 0;
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            if (used > 0 && used + blocks[i].size() > area) {
                pages.push_back({first, i});
                first = i;
                used = 0;
            }
            used += blocks[i].size();
        }
        pages.push_back({first, blocks.size()});
    } else {
        pages.push_back({0, blocks.size()});
    }
    const std::size_t page = static_cast<std::size_t>(std::max(ctx.page, 0)) % pages.size();

    std::vector<std::string> out;
    std::string title = ctx.title;
    if (pages.size() > 1) {
        title += "  page " + std::to_string(page + 1) + "/" + std::to_string(pages.size());
    }
    out.push_back(title);
    for (std::size_t i = pages[page].first; i < pages[page].second; ++i) {
        for (const auto& l : blocks[i]) {
            if (limited && out.size() >= 1 + area) break;
            out.push_back(l);
        }
    }
    // Alarms in what is left above the log, cut with a count of the rest.
    const auto& alarms = site.Alarms();
    const bool with_device = site.Devices().size() > 1;
    out.push_back("Active alarms (" + std::to_string(alarms.size()) + ")");
    std::size_t room = limited && rows > out.size() + log_rows ? rows - out.size() - log_rows
                                                               : (limited ? 0 : alarms.size());
    for (std::size_t i = 0; i < alarms.size() && room > 0; ++i, --room) {
        if (limited && room == 1 && i + 1 < alarms.size()) {
            out.push_back("  and " + std::to_string(alarms.size() - i) + " more");
            break;
        }
        out.push_back(alarm_line(alarms[i], with_device, ctx.now));
    }
    if (limited) {
        while (out.size() + log_rows < rows) out.push_back(std::string());
    }
    for (std::size_t i = ctx.log.size() - log_rows; i < ctx.log.size(); ++i) {
        out.push_back("log: " + ctx.log[i]);
    }
    if (limited && out.size() > rows) out.resize(rows);
    for (auto& l : out) l = fit(l, ctx.cols > 0 ? static_cast<std::size_t>(ctx.cols) : 0);
    return out;
}

}  // namespace monitor

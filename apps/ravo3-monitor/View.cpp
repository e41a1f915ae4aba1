#include "apps/ravo3-monitor/View.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace monitor {
namespace {

constexpr std::size_t kGroupRecord = 81;
constexpr std::size_t kModuleRecord = 32;
constexpr std::size_t kGroupValueAt = 69;
constexpr std::size_t kModuleCountAt = 73;

float float_at(const unsigned char* p) {
    float v;
    std::memcpy(&v, p, 4);
    return v;
}

std::string fmt(const Reading& r, int width, int decimals) {
    char buf[48];
    if (r.value) {
        std::snprintf(buf, sizeof buf, "%*.*f", width, decimals, static_cast<double>(*r.value));
        return buf;
    }
    // The reply text of a value that cannot be given, as the unit said it.
    return std::string(static_cast<std::size_t>(width > 2 ? width - 2 : 0), ' ') + "--";
}

Json::Value reading_json(const Reading& r) {
    if (r.value && std::isfinite(*r.value)) return Json::Value(static_cast<double>(*r.value));
    Json::Value v(Json::objectValue);
    v["reply"] = r.reply;
    return v;
}

std::string first_reply(const CycleView& v) {
    for (const auto& ac : v.ac) {
        if (!ac.ia.value) return ac.ia.reply;
    }
    for (const auto& dc : v.dc) {
        if (!dc.v.value) return dc.v.reply;
    }
    return std::string();
}

}  // namespace

bool decode_rectifier_record(const std::vector<unsigned char>& record, CycleView& view) {
    if (record.size() < kGroupRecord) return false;
    const std::size_t count = record[kModuleCountAt];
    if (record.size() != kGroupRecord + kModuleRecord * count) return false;
    view.rc_published = true;
    view.rc_group_value = float_at(record.data() + kGroupValueAt);
    view.modules.clear();
    for (std::size_t m = 0; m < count; ++m) {
        const unsigned char* p = record.data() + kGroupRecord + kModuleRecord * m;
        ModuleView mv;
        mv.value = float_at(p);
        std::memcpy(mv.status, p + 21, 3);
        mv.fault = p[26];
        mv.alarm_user_valid = p[27] == 4;
        std::memcpy(mv.alarm_user, p + 28, 4);
        view.modules.push_back(mv);
    }
    return true;
}

std::string render_screen(const CycleView& v) {
    std::ostringstream os;
    char line[256];
    os << "RAV-O3 power system  " << v.device << " on " << v.port << "\n";
    std::snprintf(line, sizeof line, "cycle %llu  at %s  cycle time %.1f s\n",
                  static_cast<unsigned long long>(v.cycle), v.time.c_str(), v.cycle_seconds);
    os << line;
    const std::string reply = first_reply(v);
    if (!reply.empty()) os << "data: " << reply << "\n";
    os << "\n";
    for (const auto& ac : v.ac) {
        os << "AC distribution " << ac.data_id << "   input current A/B/C: " << fmt(ac.ia, 7, 1)
           << fmt(ac.ib, 7, 1) << fmt(ac.ic, 7, 1) << " A\n";
        for (std::size_t i = 0; i < ac.channels.size(); ++i) {
            const auto& c = ac.channels[i];
            os << "  panel " << (i + 1) << "  AB/A " << fmt(c.a, 6, 1) << " V  BC/B "
               << fmt(c.b, 6, 1) << " V  CA/C " << fmt(c.c, 6, 1) << " V  " << fmt(c.f, 5, 2)
               << " Hz\n";
        }
    }
    for (const auto& dc : v.dc) {
        os << "DC distribution " << dc.data_id << "   " << fmt(dc.v, 6, 2) << " V "
           << fmt(dc.i, 7, 1) << " A\n";
    }
    if (v.rc_published) {
        std::snprintf(line, sizeof line, "Rectifiers: %zu modules, group value %.2f\n",
                      v.modules.size(), static_cast<double>(v.rc_group_value));
        os << line;
        for (std::size_t m = 0; m < v.modules.size(); ++m) {
            const auto& mod = v.modules[m];
            std::snprintf(line, sizeof line,
                          "  module %-2zu %7.2f  status %02X %02X %02X  %s%s%s%s\n", m + 1,
                          static_cast<double>(mod.value), mod.status[0], mod.status[1],
                          mod.status[2], mod.fault == 1 ? "FAULT " : "",
                          mod.alarm_user_valid && mod.alarm_user[1] == 1 ? "fan " : "",
                          mod.alarm_user_valid && mod.alarm_user[2] == 1 ? "over-temp " : "",
                          mod.alarm_user_valid && mod.alarm_user[3] == 0xE2 ? "no-comm" : "");
            os << line;
        }
    } else {
        os << "Rectifiers: no record yet\n";
    }
    os << "\nActive alarms (" << v.alarms.size() << ")\n";
    for (const auto& a : v.alarms) {
        os << "  " << a.code << "  L" << a.level << "  " << a.name << "  " << a.detail << "  ["
           << a.device_type << " " << a.data_id << ", since " << a.since << "]\n";
    }
    const auto& s = v.stats;
    std::snprintf(line, sizeof line,
                  "\nframes: %llu answers, %llu commands | errors: checksum %llu, length %llu, "
                  "hex %llu, cut %llu, over-long %llu, garbage %llu, rtn %llu, address %llu | "
                  "time-outs %llu | echoes %llu | history %llu\n",
                  (unsigned long long)s.answers, (unsigned long long)s.commands_sent,
                  (unsigned long long)s.checksum_errors, (unsigned long long)s.length_errors,
                  (unsigned long long)s.hex_errors, (unsigned long long)s.truncated,
                  (unsigned long long)s.overlong, (unsigned long long)s.garbage_runs,
                  (unsigned long long)s.rtn_errors, (unsigned long long)s.wrong_address,
                  (unsigned long long)s.timeouts, (unsigned long long)s.echoes,
                  (unsigned long long)v.history_records);
    os << line;
    if (!v.log.empty()) {
        os << "\nlog (last messages):\n";
        for (const auto& l : v.log) os << "  | " << l << "\n";
    }
    if (!v.driver_output.empty()) {
        os << "\ndriver output (last lines):\n";
        for (const auto& l : v.driver_output) os << "  | " << l << "\n";
    }
    return os.str();
}

Json::Value to_json(const CycleView& v) {
    Json::Value j(Json::objectValue);
    j["device"] = v.device;
    j["port"] = v.port;
    j["cycle"] = Json::UInt64(v.cycle);
    j["time"] = v.time;
    j["cycle_seconds"] = v.cycle_seconds;
    Json::Value ac(Json::arrayValue);
    for (const auto& a : v.ac) {
        Json::Value o(Json::objectValue);
        o["data_id"] = a.data_id;
        o["ia"] = reading_json(a.ia);
        o["ib"] = reading_json(a.ib);
        o["ic"] = reading_json(a.ic);
        Json::Value chs(Json::arrayValue);
        for (const auto& c : a.channels) {
            Json::Value co(Json::objectValue);
            co["a"] = reading_json(c.a);
            co["b"] = reading_json(c.b);
            co["c"] = reading_json(c.c);
            co["f"] = reading_json(c.f);
            chs.append(co);
        }
        o["channels"] = chs;
        ac.append(o);
    }
    j["ac"] = ac;
    Json::Value dc(Json::arrayValue);
    for (const auto& d : v.dc) {
        Json::Value o(Json::objectValue);
        o["data_id"] = d.data_id;
        o["v"] = reading_json(d.v);
        o["i"] = reading_json(d.i);
        dc.append(o);
    }
    j["dc"] = dc;
    Json::Value rc(Json::objectValue);
    rc["published"] = v.rc_published;
    rc["group_value"] = static_cast<double>(v.rc_group_value);
    Json::Value mods(Json::arrayValue);
    for (const auto& m : v.modules) {
        Json::Value o(Json::objectValue);
        o["value"] = static_cast<double>(m.value);
        o["fault"] = m.fault;
        Json::Value st(Json::arrayValue);
        for (unsigned char b : m.status) st.append(b);
        o["status"] = st;
        Json::Value au(Json::arrayValue);
        if (m.alarm_user_valid) {
            for (unsigned char b : m.alarm_user) au.append(b);
        }
        o["alarm_bytes"] = au;
        mods.append(o);
    }
    rc["modules"] = mods;
    j["rectifier"] = rc;
    Json::Value alarms(Json::arrayValue);
    for (const auto& a : v.alarms) {
        Json::Value o(Json::objectValue);
        o["data_id"] = a.data_id;
        o["device_type"] = a.device_type;
        o["code"] = a.code;
        o["name"] = a.name;
        o["detail"] = a.detail;
        o["level"] = a.level;
        o["since"] = a.since;
        alarms.append(o);
    }
    j["alarms"] = alarms;
    const auto& s = v.stats;
    Json::Value st(Json::objectValue);
    st["commands"] = Json::UInt64(s.commands_sent);
    st["answers"] = Json::UInt64(s.answers);
    st["checksum_errors"] = Json::UInt64(s.checksum_errors);
    st["length_errors"] = Json::UInt64(s.length_errors);
    st["hex_errors"] = Json::UInt64(s.hex_errors);
    st["truncated"] = Json::UInt64(s.truncated);
    st["overlong"] = Json::UInt64(s.overlong);
    st["garbage_runs"] = Json::UInt64(s.garbage_runs);
    st["resync_bytes"] = Json::UInt64(s.resync_bytes);
    st["rtn_errors"] = Json::UInt64(s.rtn_errors);
    st["wrong_address"] = Json::UInt64(s.wrong_address);
    st["echoes"] = Json::UInt64(s.echoes);
    st["timeouts"] = Json::UInt64(s.timeouts);
    st["cycles"] = Json::UInt64(s.cycles);
    j["frames"] = st;
    j["history_records"] = Json::UInt64(v.history_records);
    return j;
}

}  // namespace monitor

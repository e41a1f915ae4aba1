#include "runtime/site/SiteConfig.h"

#include <json/reader.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "runtime/line/LinePort.h"
#include "runtime/text/LogText.h"

namespace smd {
namespace {

namespace fs = std::filesystem;

std::string resolve(const std::string& base_dir, const std::string& p) {
    fs::path path(p);
    if (path.is_absolute() || base_dir.empty()) return path.lexically_normal().string();
    return (fs::path(base_dir) / path).lexically_normal().string();
}

// Edit distance with transpositions, for "did you mean" on a misspelt key.
std::size_t distance(const std::string& a, const std::string& b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

std::string folded(std::string s) {
    std::string out;
    for (char c : s) {
        if (c == '-' || c == '_' || c == ' ') continue;
        out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    return out;
}

// Every problem of one file: the host's keys (the site cannot start) and the
// driver's (the driver may refuse the device).
struct Problems {
    std::string file;
    std::vector<std::string> host;
    std::vector<std::string> driver;
    void Add(bool of_driver, const std::string& path, const std::string& what) {
        (of_driver ? driver : host)
            .push_back(file + ": " + (path.empty() ? "" : path + ": ") + what);
    }
};

// Checks the keys of one object; every key asked for is a known key, and
// whatever is left over is reported as unknown.
class Keys {
  public:
    Keys(const Json::Value& obj, std::string path, Problems& problems, bool of_driver)
        : obj_(obj), path_(std::move(path)), problems_(problems), driver_(of_driver) {}

    std::string PathOf(const std::string& key) const {
        return path_.empty() ? key : path_ + "." + key;
    }
    bool Has(const char* key) {
        known_.insert(key);
        return obj_.isMember(key);
    }
    bool Text(const char* key, std::string& out, bool required, bool non_empty = true) {
        if (!Has(key)) return required ? Missing(key) : true;
        const Json::Value& v = obj_[key];
        if (!v.isString() || (non_empty && v.asString().empty())) {
            return Bad(key, non_empty ? "must be a non-empty string" : "must be a string");
        }
        out = v.asString();
        return true;
    }
    bool Int(const char* key, long long lo, long long hi, long long& out, bool required) {
        if (!Has(key)) return required ? Missing(key) : true;
        const Json::Value& v = obj_[key];
        if (!v.isIntegral() ||
            (v.isInt64() ? (v.asInt64() < lo || v.asInt64() > hi)
                         : (v.asUInt64() > static_cast<unsigned long long>(hi)))) {
            return Bad(
                key, "must be an integer from " + std::to_string(lo) + " to " + std::to_string(hi));
        }
        out = v.isInt64() ? v.asInt64() : static_cast<long long>(v.asUInt64());
        return true;
    }
    bool Bool(const char* key, bool& out) {
        if (!Has(key)) return true;
        if (!obj_[key].isBool()) return Bad(key, "must be true or false");
        out = obj_[key].asBool();
        return true;
    }
    // A number, or a text that holds one whole (the driver reads it with atof,
    // which turns anything else into 0 without a word).
    bool Number(const char* key) {
        if (!Has(key)) return true;
        const Json::Value& v = obj_[key];
        if (v.isNumeric()) return true;
        if (v.isString()) {
            const std::string s = v.asString();
            char* end = nullptr;
            errno = 0;
            const double d = std::strtod(s.c_str(), &end);
            if (!s.empty() && end == s.c_str() + s.size() && errno == 0 && std::isfinite(d)) {
                return true;
            }
        }
        return Bad(key, "must be a number, or a text holding one (\"0.5\")");
    }
    void Known(const char* key) { known_.insert(key); }
    void NoOthers() {
        for (const auto& k : obj_.getMemberNames()) {
            if (known_.count(k)) continue;
            std::string what = "is not a known key";
            std::string best;
            std::size_t best_d = 3;
            for (const auto& cand : known_) {
                const std::size_t d = folded(k) == folded(cand) ? 0 : distance(k, cand);
                if (d < best_d) {
                    best_d = d;
                    best = cand;
                }
            }
            if (!best.empty()) what += "; did you mean \"" + best + "\"?";
            problems_.Add(driver_, PathOf(k), what);
        }
    }
    bool Missing(const std::string& key, const std::string& why = "") {
        return Bad(key, "is missing" + why);
    }
    bool Bad(const std::string& key, const std::string& what) {
        problems_.Add(driver_, PathOf(key), what);
        return false;
    }

  private:
    const Json::Value& obj_;
    std::string path_;
    Problems& problems_;
    bool driver_;
    std::set<std::string> known_;
};

constexpr long long kMaxRows = 1000000000LL;
constexpr long long kMaxId = std::numeric_limits<std::uint32_t>::max();

// Data ids of every unit of the site: a unit that shares one with another is
// shadowed by it in value queries.
using IdOwners = std::map<std::uint32_t, std::string>;

void claim(IdOwners& ids, std::uint32_t id, const std::string& path, Problems& p) {
    auto [it, fresh] = ids.emplace(id, path);
    if (!fresh) {
        p.Add(true, path,
              "data id " + std::to_string(id) + " is already used by " + it->second +
                  "; every unit needs its own");
    }
}

// "acSetting" or "dcSetting": one entry per unit, each with its "data_id"
// and its thresholds in "appSetting".
void check_units(const Json::Value& device, const std::string& at, const char* key, IdOwners& ids,
                 Problems& p) {
    if (!device.isMember(key)) return;
    const Json::Value& units = device[key];
    const std::string path = at + "." + key;
    if (!units.isArray()) {
        p.Add(true, path, "must be an array of unit entries ([{\"data_id\": 1001}])");
        return;
    }
    for (Json::ArrayIndex i = 0; i < units.size(); ++i) {
        const std::string upath = path + "[" + std::to_string(i) + "]";
        const Json::Value& u = units[i];
        if (!u.isObject()) {
            p.Add(true, upath, "must be an object with the unit's \"data_id\"");
            continue;
        }
        Keys k(u, upath, p, true);
        long long id = 0;
        if (k.Int("data_id", 0, kMaxId, id, true)) {
            claim(ids, static_cast<std::uint32_t>(id), upath + ".data_id", p);
        }
        if (k.Has("appSetting")) {
            const Json::Value& app = u["appSetting"];
            if (!app.isObject()) {
                k.Bad("appSetting", "must be an object ({\"diff_v\": \"5\", \"diff_i\": \"2\"})");
            } else {
                Keys a(app, upath + ".appSetting", p, true);
                a.Number("diff_v");
                a.Number("diff_i");
                a.NoOthers();
            }
        }
        k.NoOthers();
    }
}

}  // namespace

bool ParseSiteConfig(const std::string& text, const std::string& base_dir, SiteConfig& out,
                     std::string& error) {
    const std::string file = out.path.empty() ? "site configuration" : out.path;
    Json::CharReaderBuilder builder;
    builder["rejectDupKeys"] = true;
    builder["failIfExtra"] = true;
    builder["allowComments"] = false;
    builder["allowTrailingCommas"] = false;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value parsed;
    std::string parse_error;
    if (!reader->parse(text.data(), text.data() + text.size(), &parsed, &parse_error)) {
        // JsonCpp's message spans lines; keep the first, which says where.
        const auto nl = parse_error.find('\n', parse_error.find('\n') + 1);
        std::string first = parse_error.substr(0, nl);
        for (char& c : first) {
            if (c == '\n') c = ' ';
        }
        error = file + ": not valid JSON: " + first;
        return false;
    }
    // Read only: a look-up must not add the member it asks for.
    const Json::Value& root = parsed;
    if (!root.isObject()) {
        error = file + ": must hold one JSON object";
        return false;
    }
    Problems problems;
    problems.file = file;
    SiteConfig cfg;
    cfg.path = out.path;
    Keys top(root, "", problems, false);
    std::string db;
    long long v = 0;
    if (top.Text("history_db", db, false, false) && !db.empty()) {
        cfg.history_db = resolve(base_dir, db);
    }
    v = static_cast<long long>(cfg.history_retention);
    if (top.Int("history_retention", 1, kMaxRows, v, false)) {
        cfg.history_retention = static_cast<std::size_t>(v);
    }
    v = cfg.history_days;
    if (top.Int("history_days", 1, 36500, v, false)) cfg.history_days = static_cast<int>(v);
    v = cfg.history_summary_days;
    if (top.Int("history_summary_days", 1, 36500, v, false)) {
        cfg.history_summary_days = static_cast<int>(v);
    }
    v = static_cast<long long>(cfg.event_retention);
    if (top.Int("event_retention", 1, kMaxRows, v, false)) {
        cfg.event_retention = static_cast<std::size_t>(v);
    }
    v = cfg.poll_period_ms;
    if (top.Int("poll_period_ms", 5, 10000, v, false)) cfg.poll_period_ms = static_cast<int>(v);
    v = cfg.answer_timeout_ms;
    if (top.Int("answer_timeout_ms", 50, 60000, v, false)) {
        cfg.answer_timeout_ms = static_cast<int>(v);
    }
    v = cfg.reopen_initial_ms;
    const bool initial_ok = top.Int("reopen_initial_ms", 10, 600000, v, false);
    if (initial_ok) cfg.reopen_initial_ms = static_cast<int>(v);
    v = cfg.reopen_max_ms;
    if (top.Int("reopen_max_ms", 10, 3600000, v, false)) {
        cfg.reopen_max_ms = static_cast<int>(v);
        if (initial_ok && cfg.reopen_max_ms < cfg.reopen_initial_ms) {
            top.Bad("reopen_max_ms", "must not be less than \"reopen_initial_ms\"");
        }
    }
    v = cfg.comm_lost_s;
    if (top.Int("comm_lost_s", 5, 86400, v, false)) cfg.comm_lost_s = static_cast<int>(v);
    top.Text("lock_dir", cfg.lock_dir, false, false);
    if (top.Text("log_level", cfg.log_level, false) && !cfg.log_level.empty()) {
        int priority = 0;
        if (!parse_log_level(cfg.log_level, priority)) {
            top.Bad("log_level",
                    "must be \"error\", \"warning\", \"notice\", \"info\" or \"debug\"");
        }
    }
    for (const char* section : {"http", "mqtt"}) {
        if (!top.Has(section)) continue;
        if (!root[section].isObject()) {
            top.Bad(section, "must be an object");
            continue;
        }
        (std::string(section) == "http" ? cfg.http : cfg.mqtt) = root[section];
    }
    const Json::Value& devices = root["devices"];
    if (!top.Has("devices")) {
        top.Missing("devices", ": the bus devices, one entry each");
    } else if (!devices.isArray() || devices.empty()) {
        top.Bad("devices", "must be an array of at least one device");
    }
    top.NoOthers();

    std::set<std::string> names;
    IdOwners ids;
    std::map<std::string, std::string> addresses;  // line and address -> the device's path
    for (Json::ArrayIndex i = 0; devices.isArray() && i < devices.size(); ++i) {
        const Json::Value& e = devices[i];
        const std::string at = "devices[" + std::to_string(i) + "]";
        if (!e.isObject()) {
            problems.Add(false, at, "must be an object");
            continue;
        }
        DeviceConfig d;
        Keys k(e, at, problems, false);
        if (k.Text("name", d.name, true) && !names.insert(d.name).second) {
            k.Bad("name", "repeats \"" + d.name + "\"; every device needs its own name");
        }
        k.Text("port", d.port, true);
        std::string driver;
        // None: the host's default driver (HostOptions::default_driver).
        if (k.Text("driver", driver, false) && !driver.empty())
            d.driver = resolve(base_dir, driver);
        k.Bool("enabled", d.enabled);
        std::string scenario;
        if (k.Text("scenario", scenario, false)) {
            if (!scenario.empty()) d.scenario = resolve(base_dir, scenario);
        }
        std::string capture;
        if (k.Text("capture", capture, false) && !capture.empty()) {
            d.capture = resolve(base_dir, capture);
        }
        if (!d.port.empty()) {
            PortAddress addr;
            std::string why;
            if (!ParsePortAddress(d.port, addr, why)) {
                k.Bad("port", why);
            } else if (addr.kind == PortAddress::Kind::Serial) {
                // A device path, like every other path of the file, from its folder.
                d.port = resolve(base_dir, d.port);
            }
        }
        v = -1;
        if (k.Int("network_allowance_ms", 0, 60000, v, false)) {
            d.network_allowance_ms = static_cast<int>(v);
        }
        v = 0;
        if (k.Int("data_id", 0, kMaxId, v, true)) {
            d.data_id = static_cast<unsigned int>(v);
            claim(ids, d.data_id, at + ".data_id", problems);
        }
        v = 1;
        if (k.Int("address", 0, 254, v, false) && d.enabled && !d.port.empty()) {
            // Units on one line are told apart by their address alone.
            const std::string key = LineKey(d.port) + "#" + std::to_string(v);
            auto [it, fresh] = addresses.emplace(key, at);
            if (!fresh) {
                k.Bad("address", "address " + std::to_string(v) + " on " + d.port + " is already " +
                                     it->second +
                                     "'s; units sharing a line need addresses of their own");
            }
        }
        if (e.isMember("protocol_version")) {
            k.Int("protocol_version", 32, 33, v, false);
        } else {
            k.Known("protocol_version");
        }
        k.Int("answer_timeout_ms", 50, 60000, v, false);
        // The driver's keys.
        for (const char* units : {"acSetting", "dcSetting"}) {
            k.Known(units);
            check_units(e, at, units, ids, problems);
        }
        if (!k.Has("rcSetting") || e["rcSetting"].isNull()) {
            problems.Add(true, at + ".rcSetting",
                         "is missing: the driver refuses a device without its rectifier "
                         "unit's entry ({} when it has no settings)");
        } else if (!e["rcSetting"].isObject()) {
            problems.Add(true, at + ".rcSetting", "must be an object ({})");
        } else {
            // The rectifier unit reads no setting and takes the device's data id.
            Keys rc(e["rcSetting"], at + ".rcSetting", problems, true);
            rc.NoOthers();
        }
        k.NoOthers();
        d.settings = e;
        for (const char* host_key :
             {"name", "port", "driver", "enabled", "scenario", "capture", "network_allowance_ms"}) {
            d.settings.removeMember(host_key);
        }
        if (!d.settings.isMember("answer_timeout_ms")) {
            d.settings["answer_timeout_ms"] = cfg.answer_timeout_ms;
        }
        cfg.devices.push_back(std::move(d));
    }
    if (!problems.host.empty()) {
        error.clear();
        for (const auto* list : {&problems.host, &problems.driver}) {
            for (const auto& line : *list) error += (error.empty() ? "" : "\n") + line;
        }
        return false;
    }
    cfg.warnings = std::move(problems.driver);
    out = std::move(cfg);
    return true;
}

std::string LineKey(const std::string& port) {
    PortAddress addr;
    std::string why;
    if (ParsePortAddress(port, addr, why) && addr.kind != PortAddress::Kind::Serial)
        return addr.Key();
    std::error_code ec;
    const fs::path real = fs::canonical(port, ec);
    return ec ? port : real.string();
}

bool LoadSiteConfig(const std::string& path, SiteConfig& out, std::string& error) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        error = path + ": is a folder, not a site file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot be read (" +
                std::string(fs::exists(path, ec) ? "permission denied" : "no such file") + ")";
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    fs::path abs = fs::absolute(fs::path(path), ec);
    if (ec) abs = fs::path(path);
    SiteConfig cfg;
    cfg.path = path;
    if (!ParseSiteConfig(text.str(), abs.parent_path().string(), cfg, error)) return false;
    out = std::move(cfg);
    return true;
}

}  // namespace smd

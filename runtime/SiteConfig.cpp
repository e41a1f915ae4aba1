#include "runtime/SiteConfig.h"

#include <json/reader.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <set>
#include <sstream>

namespace smd {
namespace {

namespace fs = std::filesystem;

std::string resolve(const std::string& base_dir, const std::string& p) {
    fs::path path(p);
    if (path.is_absolute() || base_dir.empty()) return path.lexically_normal().string();
    return (fs::path(base_dir) / path).lexically_normal().string();
}

// Reads the keys of one object, each of them checked once; anything left over
// is unknown.
class Keys {
  public:
    Keys(const Json::Value& obj, std::string where, std::string& error)
        : obj_(obj), where_(std::move(where)), error_(error) {}

    bool Text(const char* key, std::string& out, bool required, bool non_empty = true) {
        seen_.insert(key);
        if (!obj_.isMember(key)) return !required || Missing(key);
        const Json::Value& v = obj_[key];
        if (!v.isString() || (non_empty && v.asString().empty())) {
            return Bad(key, non_empty ? "must be a non-empty string" : "must be a string");
        }
        out = v.asString();
        return true;
    }
    bool Int(const char* key, long long lo, long long hi, long long& out, bool required) {
        seen_.insert(key);
        if (!obj_.isMember(key)) return !required || Missing(key);
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
        seen_.insert(key);
        if (!obj_.isMember(key)) return true;
        if (!obj_[key].isBool()) return Bad(key, "must be true or false");
        out = obj_[key].asBool();
        return true;
    }
    // Passed through to the driver as they are.
    void Pass(const char* key) { seen_.insert(key); }
    bool NoOthers() {
        for (const auto& k : obj_.getMemberNames()) {
            if (!seen_.count(k)) return Bad(k, "is not a known key");
        }
        return true;
    }
    bool Missing(const std::string& key) { return Bad(key, "is missing"); }
    bool Bad(const std::string& key, const std::string& what) {
        error_ = where_ + "key \"" + key + "\" " + what;
        return false;
    }

  private:
    const Json::Value& obj_;
    std::string where_;
    std::string& error_;
    std::set<std::string> seen_;
};

constexpr long long kMaxRows = 1000000000LL;

}  // namespace

bool ParseSiteConfig(const std::string& text, const std::string& base_dir, SiteConfig& out,
                     std::string& error) {
    const std::string file = out.path.empty() ? "site configuration" : out.path;
    Json::CharReaderBuilder builder;
    builder["rejectDupKeys"] = true;
    builder["failIfExtra"] = true;
    builder["allowComments"] = false;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string parse_error;
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &parse_error)) {
        // JsonCpp's message spans lines; keep the first, which says where.
        const auto nl = parse_error.find('\n', parse_error.find('\n') + 1);
        std::string first = parse_error.substr(0, nl);
        for (char& c : first) {
            if (c == '\n') c = ' ';
        }
        error = file + ": not valid JSON: " + first;
        return false;
    }
    if (!root.isObject()) {
        error = file + ": must hold one JSON object";
        return false;
    }
    SiteConfig cfg;
    cfg.path = out.path;
    Keys top(root, file + ": ", error);
    std::string db;
    long long v = 0;
    if (!top.Text("history_db", db, false, false)) return false;
    if (!db.empty()) cfg.history_db = resolve(base_dir, db);
    v = static_cast<long long>(cfg.history_retention);
    if (!top.Int("history_retention", 1, kMaxRows, v, false)) return false;
    cfg.history_retention = static_cast<std::size_t>(v);
    v = static_cast<long long>(cfg.event_retention);
    if (!top.Int("event_retention", 1, kMaxRows, v, false)) return false;
    cfg.event_retention = static_cast<std::size_t>(v);
    v = cfg.poll_period_ms;
    if (!top.Int("poll_period_ms", 5, 10000, v, false)) return false;
    cfg.poll_period_ms = static_cast<int>(v);
    v = cfg.answer_timeout_ms;
    if (!top.Int("answer_timeout_ms", 50, 60000, v, false)) return false;
    cfg.answer_timeout_ms = static_cast<int>(v);
    v = cfg.reopen_initial_ms;
    if (!top.Int("reopen_initial_ms", 10, 600000, v, false)) return false;
    cfg.reopen_initial_ms = static_cast<int>(v);
    v = cfg.reopen_max_ms;
    if (!top.Int("reopen_max_ms", 10, 3600000, v, false)) return false;
    cfg.reopen_max_ms = static_cast<int>(v);
    if (cfg.reopen_max_ms < cfg.reopen_initial_ms) {
        return top.Bad("reopen_max_ms", "must not be less than \"reopen_initial_ms\"");
    }
    v = cfg.comm_lost_s;
    if (!top.Int("comm_lost_s", 5, 86400, v, false)) return false;
    cfg.comm_lost_s = static_cast<int>(v);
    for (const char* section : {"http", "mqtt"}) {
        top.Pass(section);
        if (!root.isMember(section)) continue;
        if (!root[section].isObject()) return top.Bad(section, "must be an object");
        (std::string(section) == "http" ? cfg.http : cfg.mqtt) = root[section];
    }
    top.Pass("devices");
    if (!root.isMember("devices")) return top.Missing("devices");
    const Json::Value& devices = root["devices"];
    if (!devices.isArray() || devices.empty()) {
        return top.Bad("devices", "must be an array of at least one device");
    }
    if (!top.NoOthers()) return false;

    std::set<std::string> names;
    for (Json::ArrayIndex i = 0; i < devices.size(); ++i) {
        const Json::Value& e = devices[i];
        const std::string at = file + ": devices[" + std::to_string(i) + "]";
        if (!e.isObject()) {
            error = at + " must be an object";
            return false;
        }
        DeviceConfig d;
        // Name the device in messages as soon as its name is known.
        std::string where = at + ": ";
        if (e.isMember("name") && e["name"].isString() && !e["name"].asString().empty()) {
            where = at + " (\"" + e["name"].asString() + "\"): ";
        }
        Keys k(e, where, error);
        if (!k.Text("name", d.name, true)) return false;
        if (!names.insert(d.name).second) return k.Bad("name", "repeats \"" + d.name + "\"");
        if (!k.Text("port", d.port, true)) return false;
        std::string driver;
        if (!k.Text("driver", driver, true)) return false;
        d.driver = resolve(base_dir, driver);
        if (!k.Bool("enabled", d.enabled)) return false;
        v = 0;
        if (!k.Int("data_id", 0, std::numeric_limits<std::uint32_t>::max(), v, true)) return false;
        d.data_id = static_cast<unsigned int>(v);
        if (!k.Int("address", 0, 254, v, false)) return false;
        if (e.isMember("protocol_version")) {
            if (!k.Int("protocol_version", 32, 33, v, false)) return false;
        }
        if (!k.Int("answer_timeout_ms", 50, 60000, v, false)) return false;
        for (const char* pass : {"acSetting", "dcSetting", "rcSetting"}) k.Pass(pass);
        if (!k.NoOthers()) return false;
        d.settings = e;
        for (const char* host_key : {"name", "port", "driver", "enabled"}) {
            d.settings.removeMember(host_key);
        }
        if (!d.settings.isMember("answer_timeout_ms")) {
            d.settings["answer_timeout_ms"] = cfg.answer_timeout_ms;
        }
        cfg.devices.push_back(std::move(d));
    }
    out = std::move(cfg);
    return true;
}

bool LoadSiteConfig(const std::string& path, SiteConfig& out, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot be read";
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::error_code ec;
    fs::path abs = fs::absolute(fs::path(path), ec);
    if (ec) abs = fs::path(path);
    SiteConfig cfg;
    cfg.path = path;
    if (!ParseSiteConfig(text.str(), abs.parent_path().string(), cfg, error)) return false;
    out = std::move(cfg);
    return true;
}

}  // namespace smd

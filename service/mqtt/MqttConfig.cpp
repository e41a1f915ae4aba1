#include "service/mqtt/MqttConfig.h"

#include <unistd.h>

#include <cctype>
#include <fstream>
#include <set>
#include <sstream>

#include "runtime/text/JsonText.h"

namespace smd::mqtt {

namespace {

std::string resolve(const std::string& base_dir, const std::string& path) {
    if (path.empty() || path[0] == '/' || base_dir.empty()) return path;
    return base_dir + "/" + path;
}

bool readable(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return static_cast<bool>(f);
}

// A topic level prefix: no wildcards, no empty levels at either end.
bool valid_prefix(const std::string& p) {
    if (p.empty() || p.front() == '/' || p.back() == '/') return false;
    if (json::valid_utf8(p) != p) return false;
    for (unsigned char c : p) {
        if (c == '+' || c == '#' || c < 0x20 || c == 0x7F) return false;
    }
    return true;
}

std::string default_client_id() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "ravo3";
    std::string id = "ravo3-";
    for (const char* p = name; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        id += (std::isalnum(c) || c == '-' || c == '_') ? static_cast<char>(c) : '_';
    }
    return id;
}

}  // namespace

bool ParseMqttConfig(const Json::Value& section, const std::string& base_dir, MqttConfig& out,
                     std::string& error) {
    auto fail = [&](const std::string& key, const std::string& what) {
        error = "\"mqtt\": \"" + key + "\" " + what;
        return false;
    };
    if (!section.isObject()) {
        error = "\"mqtt\" must be an object";
        return false;
    }
    static const std::set<std::string> kKeys = {"host",         "port",         "client_id",
                                                "topic_prefix", "username",     "password_file",
                                                "tls",          "ha_discovery", "discovery_prefix"};
    for (const std::string& k : section.getMemberNames()) {
        if (!kKeys.count(k)) return fail(k, "is not a known key");
    }
    MqttConfig c;
    auto string_key = [&](const char* key, std::string& dst, bool required) {
        const Json::Value& v = section[key];
        if (v.isNull()) {
            if (required) return fail(key, "is missing (the broker's host name or address)");
            return true;
        }
        if (!v.isString() || v.asString().empty()) return fail(key, "must be a non-empty string");
        dst = v.asString();
        return true;
    };
    if (!string_key("host", c.host, true)) return false;
    if (!string_key("client_id", c.client_id, false)) return false;
    if (!string_key("topic_prefix", c.topic_prefix, false)) return false;
    if (!string_key("discovery_prefix", c.discovery_prefix, false)) return false;
    if (!string_key("username", c.username, false)) return false;
    if (c.client_id.empty()) c.client_id = default_client_id();
    if (c.client_id.size() > 256 || json::valid_utf8(c.client_id) != c.client_id) {
        return fail("client_id", "must be valid UTF-8 of at most 256 bytes");
    }
    if (!valid_prefix(c.topic_prefix)) {
        return fail("topic_prefix", "must be a topic without '+', '#' or a '/' at either end");
    }
    if (!valid_prefix(c.discovery_prefix)) {
        return fail("discovery_prefix", "must be a topic without '+', '#' or a '/' at either end");
    }
    const Json::Value& ha = section["ha_discovery"];
    if (!ha.isNull()) {
        if (!ha.isBool()) return fail("ha_discovery", "must be true or false");
        c.ha_discovery = ha.asBool();
    }

    const Json::Value& tls = section["tls"];
    if (!tls.isNull()) {
        if (!tls.isObject()) return fail("tls", "must be an object");
        static const std::set<std::string> kTlsKeys = {"ca_file", "cert_file", "key_file",
                                                       "insecure"};
        for (const std::string& k : tls.getMemberNames()) {
            if (!kTlsKeys.count(k)) return fail("tls." + k, "is not a known key");
        }
        c.tls.enabled = true;
        for (auto [key, dst] :
             {std::pair{"ca_file", &c.tls.ca_file}, std::pair{"cert_file", &c.tls.cert_file},
              std::pair{"key_file", &c.tls.key_file}}) {
            const Json::Value& v = tls[key];
            if (v.isNull()) continue;
            if (!v.isString() || v.asString().empty()) {
                return fail(std::string("tls.") + key, "must be a non-empty string");
            }
            *dst = resolve(base_dir, v.asString());
            if (!readable(*dst)) {
                return fail(std::string("tls.") + key, "names a file that cannot be read: " + *dst);
            }
        }
        if (c.tls.cert_file.empty() != c.tls.key_file.empty()) {
            return fail("tls.cert_file", "and \"tls.key_file\" go together");
        }
        const Json::Value& insecure = tls["insecure"];
        if (!insecure.isNull()) {
            if (!insecure.isBool()) return fail("tls.insecure", "must be true or false");
            c.tls.insecure = insecure.asBool();
        }
        c.port = 8883;
    }
    const Json::Value& port = section["port"];
    if (!port.isNull()) {
        if (!port.isIntegral() || port.asLargestInt() < 1 || port.asLargestInt() > 65535) {
            return fail("port", "must be a whole number from 1 to 65535");
        }
        c.port = static_cast<int>(port.asLargestInt());
    }

    const Json::Value& pw = section["password_file"];
    if (!pw.isNull()) {
        if (!pw.isString() || pw.asString().empty()) {
            return fail("password_file", "must be a non-empty string");
        }
        if (c.username.empty()) return fail("password_file", "needs a \"username\"");
        const std::string path = resolve(base_dir, pw.asString());
        std::ifstream f(path, std::ios::binary);
        if (!f) return fail("password_file", "names a file that cannot be read: " + path);
        std::string line;
        std::getline(f, line);
        // The first line, without its line end; trailing blanks of an editor stay.
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) return fail("password_file", "is empty: " + path);
        c.password = line;
    }
    out = std::move(c);
    return true;
}

}  // namespace smd::mqtt

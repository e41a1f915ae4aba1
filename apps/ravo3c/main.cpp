// ravo3c: the site's values, alarms, events and history from a running
// ravo3d, over its HTTP API; aligned text, or JSON with --json.
#include <httplib.h>
#include <json/reader.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ravo3/Version.h"
#include "runtime/text/JsonText.h"

namespace {

const char* const kUsage =
    "Usage: ravo3c [--url URL] [--token-file FILE] [--json] COMMAND\n"
    "commands:\n"
    "  devices                          lines, their states and frame counters\n"
    "  values [DEVICE]                  every unit's current values\n"
    "  alarms                           standing alarms\n"
    "  events --since T [--limit N]     alarms raised and cleared since T\n"
    "  history DATA_ID --from T --to T [--limit N]\n"
    "                                   a unit's stored records, decoded\n"
    "options:\n"
    "  --url URL          the daemon (default http://127.0.0.1:8363)\n"
    "  --token-file FILE  bearer token for a daemon that asks for one\n"
    "  --json             the answers as JSON instead of a table\n"
    "  --version          the program's version\n"
    "T is an ISO 8601 time (2026-12-08T06:15:05+01:00) or a local one (2026-12-08 06:15).\n"
    "Exit status: 0 done, 1 the daemon cannot be asked or refused, 2 usage.\n";

struct Options {
    std::string url = "http://127.0.0.1:8363";
    std::string token_file;
    bool json = false;
    std::string command;
    std::vector<std::string> args;
    std::string since, from, to, limit;
};

struct Failure {
    int status;
    std::string text;
};

// ---- aligned text ----------------------------------------------------------

// Columns a UTF-8 text takes on a terminal: East Asian wide characters take two.
std::size_t display_width(const std::string& s) {
    std::size_t w = 0;
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        std::uint32_t cp = c;
        std::size_t n = 1;
        if (c >= 0xF0 && i + 3 < s.size()) {
            cp = ((c & 0x07u) << 18) | ((s[i + 1] & 0x3Fu) << 12) | ((s[i + 2] & 0x3Fu) << 6) |
                 (s[i + 3] & 0x3Fu);
            n = 4;
        } else if (c >= 0xE0 && i + 2 < s.size()) {
            cp = ((c & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
            n = 3;
        } else if (c >= 0xC0 && i + 1 < s.size()) {
            cp = ((c & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu);
            n = 2;
        }
        const bool wide = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
                          (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
                          (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
                          (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x20000 && cp <= 0x3FFFD);
        w += wide ? 2 : 1;
        i += n;
    }
    return w;
}

class Table {
  public:
    explicit Table(std::vector<std::string> header) { rows_.push_back(std::move(header)); }
    void Add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
    void Print() const {
        std::vector<std::size_t> widths;
        for (const auto& r : rows_) {
            if (widths.size() < r.size()) widths.resize(r.size(), 0);
            for (std::size_t i = 0; i < r.size(); ++i) {
                widths[i] = std::max(widths[i], display_width(r[i]));
            }
        }
        for (const auto& r : rows_) {
            std::string line;
            for (std::size_t i = 0; i < r.size(); ++i) {
                line += r[i];
                if (i + 1 < r.size()) line.append(widths[i] - display_width(r[i]) + 2, ' ');
            }
            std::printf("%s\n", line.c_str());
        }
    }

  private:
    std::vector<std::vector<std::string>> rows_;
};

std::string text(const Json::Value& v) {
    if (v.isNull()) return "-";
    if (v.isString()) return v.asString();
    if (v.isBool()) return v.asBool() ? "yes" : "no";
    smd::json::Writer w;
    w.Value(v);
    return w.Take();
}

// Names in the order a reader expects: numbers inside compare as numbers
// (module_2 before module_10).
bool natural_less(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) &&
            std::isdigit(static_cast<unsigned char>(b[j]))) {
            std::size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
            const std::string na = a.substr(i, ei - i), nb = b.substr(j, ej - j);
            if (na.size() != nb.size()) return na.size() < nb.size();
            if (na != nb) return na < nb;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

std::vector<std::string> names_of(const Json::Value& object) {
    std::vector<std::string> names = object.getMemberNames();
    std::sort(names.begin(), names.end(), natural_less);
    return names;
}

// A value, or the unit's reply in brackets when there is none.
std::string value_text(const Json::Value& unit, const std::string& name) {
    const Json::Value& v = unit["values"][name];
    if (!v.isNull()) return text(v);
    const Json::Value& reply = unit["replies"][name];
    return "(" + (reply.isString() ? reply.asString() : std::string("no value")) + ")";
}

// ---- the daemon --------------------------------------------------------------

class Daemon {
  public:
    Daemon(const std::string& url, const std::string& token) : url_(url), client_(url) {
        client_.set_connection_timeout(5, 0);
        client_.set_read_timeout(30, 0);
        if (!token.empty()) client_.set_bearer_token_auth(token.c_str());
    }
    bool Valid() const { return client_.is_valid(); }

    Json::Value Get(const std::string& path) {
        auto r = client_.Get(path.c_str());
        if (!r) {
            throw Failure{
                1, "cannot ask the daemon at " + url_ + ": " +
                       (r.error() == httplib::Error::Connection
                            ? std::string("no connection (is ravo3d running, with \"http\"?)")
                            : httplib::to_string(r.error()))};
        }
        Json::Value v;
        Json::CharReaderBuilder b;
        std::string errs;
        std::istringstream in(r->body);
        const bool parsed = Json::parseFromStream(b, in, &v, &errs);
        if (r->status != 200) {
            const std::string why = parsed && v["error"].isString()
                                        ? v["error"].asString()
                                        : "HTTP " + std::to_string(r->status);
            throw Failure{1, why};
        }
        if (!parsed) throw Failure{1, "the daemon's answer is no JSON: " + errs};
        return v;
    }

  private:
    std::string url_;
    httplib::Client client_;
};

std::string encode(const std::string& s) {
    return httplib::detail::encode_query_param(s);
}

// Every page of a paged answer, its `list` arrays joined.
Json::Value all_pages(Daemon& d, const std::string& path, const char* list) {
    Json::Value out = d.Get(path);
    Json::Value next = out["next_after"];
    while (next.isIntegral()) {
        Json::Value page = d.Get(path + "&after=" + std::to_string(next.asInt64()));
        for (auto& item : page[list]) out[list].append(item);
        next = page["next_after"];
    }
    out.removeMember("next_after");
    return out;
}

void print_json(const Json::Value& v) {
    smd::json::Writer w;
    w.Value(v);
    std::printf("%s\n", w.Text().c_str());
}

int run(Options& o) {
    std::string token;
    if (!o.token_file.empty()) {
        std::ifstream in(o.token_file);
        if (!in) throw Failure{1, "cannot read the token file " + o.token_file};
        std::getline(in, token);
        while (!token.empty() && (token.back() == '\r' || token.back() == ' ')) token.pop_back();
    }
    Daemon d(o.url, token);
    if (!d.Valid()) throw Failure{2, "--url: " + o.url + " is no http:// or https:// address"};

    if (o.command == "devices") {
        const Json::Value v = d.Get("/api/v1/devices");
        if (o.json) return print_json(v), 0;
        Table t({"DEVICE", "PORT", "STATE", "SINCE", "LAST CYCLE", "CYCLES", "COMMANDS", "ANSWERS",
                 "TIMEOUTS", "DETAIL"});
        for (const auto& dev : v["devices"]) {
            const Json::Value& f = dev["frames"];
            t.Add({text(dev["name"]), text(dev["port"]), text(dev["line"]["state"]),
                   text(dev["line"]["since"]), text(dev["line"]["last_cycle"]), text(dev["cycles"]),
                   text(f["commands_sent"]), text(f["answers"]), text(f["timeouts"]),
                   dev.isMember("error") ? text(dev["error"]) : text(dev["line"]["detail"])});
        }
        t.Print();
        return 0;
    }
    if (o.command == "values") {
        if (o.args.size() > 1) throw Failure{2, "values takes at most one DEVICE"};
        const Json::Value v = d.Get(
            "/api/v1/values" + (o.args.empty() ? std::string() : "?device=" + encode(o.args[0])));
        if (o.json) return print_json(v), 0;
        Table t({"DEVICE", "UNIT", "DATA_ID", "NAME", "VALUE", "AGE_S", "FRESH"});
        bool any_stale = false;
        for (const auto& dev : v["devices"]) {
            const bool stale = dev["stale"].asBool();
            any_stale = any_stale || stale;
            for (const auto& unit : dev["units"]) {
                const std::string kind =
                    text(unit["kind"]) + (unit["replayed"].asBool() ? "*" : "");
                for (const auto& name : names_of(unit["values"])) {
                    t.Add({text(dev["device"]), kind, text(unit["data_id"]), name,
                           value_text(unit, name), text(dev["age_seconds"]),
                           stale ? "STALE" : "yes"});
                }
            }
        }
        t.Print();
        if (any_stale) {
            std::puts(
                "STALE: the device's line does not answer or its values are older than "
                "its stale time; they are its last known values, not current ones.");
        }
        return 0;
    }
    if (o.command == "alarms") {
        const Json::Value v = d.Get("/api/v1/alarms");
        if (o.json) return print_json(v), 0;
        Table t({"SINCE", "DEVICE", "DATA_ID", "CODE", "LEVEL", "NAME", "DETAIL"});
        for (const auto& a : v["alarms"]) {
            t.Add({text(a["since"]), text(a["device"]), text(a["data_id"]), text(a["code"]),
                   text(a["level"]), text(a["name"]), text(a["detail"])});
        }
        t.Print();
        return 0;
    }
    if (o.command == "events") {
        if (o.since.empty()) throw Failure{2, "events needs --since T"};
        std::string path = "/api/v1/events?since=" + encode(o.since);
        if (!o.limit.empty()) path += "&limit=" + encode(o.limit);
        const Json::Value v = o.limit.empty() ? all_pages(d, path, "events") : d.Get(path);
        if (o.json) return print_json(v), 0;
        Table t({"ID", "TIME", "EVENT", "DEVICE", "DATA_ID", "CODE", "NAME", "DETAIL", "CYCLE",
                 "ANSWERS"});
        std::string sources;
        for (const auto& e : v["events"]) {
            const Json::Value& a = e["alarm"];
            const Json::Value& p = e["provenance"];
            std::string commands;
            for (const auto& ans : p["answers"]) {
                commands += (commands.empty() ? "" : " ") + text(ans["command"]);
                sources += "  event " + text(e["id"]) + ", " + text(ans["command"]) + " at " +
                           text(ans["time"]) + ": " + text(ans["hex"]) + "\n";
            }
            t.Add({text(e["id"]), text(e["time"]), text(e["kind"]), text(a["device"]),
                   text(a["data_id"]), text(a["code"]), text(a["name"]), text(a["detail"]),
                   p.isObject() ? text(p["cycle"]) : "-", commands.empty() ? "-" : commands});
        }
        t.Print();
        // What the unit said, answer by answer, in hex as it came off the line.
        if (!sources.empty()) std::printf("\nanswers the events came from:\n%s", sources.c_str());
        return 0;
    }
    if (o.command == "history") {
        if (o.args.size() != 1) throw Failure{2, "history needs one DATA_ID"};
        if (o.from.empty() || o.to.empty()) throw Failure{2, "history needs --from T and --to T"};
        std::string path = "/api/v1/history?data_id=" + encode(o.args[0]) +
                           "&from=" + encode(o.from) + "&to=" + encode(o.to);
        if (!o.limit.empty()) path += "&limit=" + encode(o.limit);
        const Json::Value v = o.limit.empty() ? all_pages(d, path, "records") : d.Get(path);
        if (o.json) return print_json(v), 0;
        // One unit per data id (the rectifier shares its device's): the
        // names of the first record of each layout are the columns.
        std::vector<std::string> names;
        for (const auto& r : v["records"]) {
            for (const auto& n : names_of(r["values"])) {
                if (std::find(names.begin(), names.end(), n) == names.end()) names.push_back(n);
            }
        }
        std::vector<std::string> header = {"TIME", "TYPE"};
        header.insert(header.end(), names.begin(), names.end());
        Table t(header);
        for (const auto& r : v["records"]) {
            std::vector<std::string> row = {text(r["time"]), text(r["device_type"])};
            if (r.isMember("error")) {
                row.push_back("(" + text(r["error"]) + ")");
            } else {
                for (const auto& n : names) {
                    row.push_back(r["values"].isMember(n) ? value_text(r, n) : std::string());
                }
            }
            t.Add(row);
        }
        t.Print();
        return 0;
    }
    throw Failure{2, "unknown command \"" + o.command + "\""};
}

bool parse_args(int argc, char** argv, Options& o, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                error = a + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        if (a == "--url") {
            if (!value(o.url)) return false;
        } else if (a == "--token-file") {
            if (!value(o.token_file)) return false;
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--since") {
            if (!value(o.since)) return false;
        } else if (a == "--from") {
            if (!value(o.from)) return false;
        } else if (a == "--to") {
            if (!value(o.to)) return false;
        } else if (a == "--limit") {
            if (!value(o.limit)) return false;
        } else if (a.size() > 1 && a[0] == '-') {
            error = "unknown option " + a;
            return false;
        } else if (o.command.empty()) {
            o.command = a;
        } else {
            o.args.push_back(a);
        }
    }
    if (o.command.empty()) {
        error = "no command";
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::puts("ravo3c " RAVO3_VERSION);
            return 0;
        }
    }
    Options o;
    std::string error;
    if (!parse_args(argc, argv, o, error)) {
        std::fprintf(stderr, "ravo3c: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    try {
        return run(o);
    } catch (const Failure& f) {
        std::fprintf(stderr, "ravo3c: %s\n", f.text.c_str());
        if (f.status == 2) std::fputs(kUsage, stderr);
        return f.status;
    }
}

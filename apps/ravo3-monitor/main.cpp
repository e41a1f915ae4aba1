// ravo3-monitor: runs the site's RAV-O3 bus devices through our host and
// shows what they serve after every poll cycle. Without --port it starts a
// simulated monitoring unit on a pseudo-terminal, so it runs anywhere.
#include <json/writer.h>
#include <unistd.h>

#include <atomic>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "apps/ravo3-monitor/OutputRouting.h"
#include "apps/ravo3-monitor/View.h"
#include "runtime/Host.h"
#include "sim/Scenario.h"
#include "sim/Server.h"

namespace {

std::atomic<bool> g_stop{false};

// Log messages kept for the live view, which would otherwise be overwritten
// (or garbled) by the next redraw.
struct LogTail {
    std::mutex mutex;
    std::deque<std::string> lines;
    void Add(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(line);
        while (lines.size() > 4) lines.pop_front();
    }
    std::vector<std::string> Last() {
        std::lock_guard<std::mutex> lock(mutex);
        return std::vector<std::string>(lines.begin(), lines.end());
    }
};
void on_signal(int) {
    g_stop = true;
}

struct Options {
    std::string config;
    std::string port;
    std::string scenario;
    std::string driver;
    std::string db;
    std::string driver_log;
    long cycles = 0;      // 0: until stopped
    double duration = 0;  // seconds, 0: no limit
    bool json = false;
    bool fast = false;
};

const char kUsage[] =
    "usage: ravo3-monitor [options]\n"
    "Polls the RAV-O3 power systems of a site and shows their values, rectifier\n"
    "modules, alarms and line statistics after every poll cycle.\n"
    "\n"
    "  --config FILE      site configuration (default: examples/site.json)\n"
    "  --port PATH        serial port of the monitoring unit (replaces the ports of the\n"
    "                     configuration); without it a simulated unit is started on a\n"
    "                     pseudo-terminal\n"
    "  --scenario FILE    scenario of the simulated unit (default: scenario.json beside\n"
    "                     the configuration)\n"
    "  --driver PATH      driver library (default: ravo3.so beside this program, else the\n"
    "                     configuration's)\n"
    "  --db FILE          history database (replaces the configuration's)\n"
    "  --cycles N         stop after N completed poll cycles\n"
    "  --duration SEC     stop after SEC seconds\n"
    "  --json             one JSON object per cycle on standard output instead of the screen\n"
    "  --driver-log FILE  append the driver's own output lines to FILE\n"
    "  --fast             skip the driver's 20 ms pause before each answer (tests)\n"
    "  --help             this text\n"
    "\n"
    "Exit status: 0 done, 1 the site could not be started, 2 wrong usage.\n";

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
        std::string v;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (a == "--config") {
            if (!value(o.config)) return false;
        } else if (a == "--port") {
            if (!value(o.port)) return false;
        } else if (a == "--scenario") {
            if (!value(o.scenario)) return false;
        } else if (a == "--driver") {
            if (!value(o.driver)) return false;
        } else if (a == "--db") {
            if (!value(o.db)) return false;
        } else if (a == "--driver-log") {
            if (!value(o.driver_log)) return false;
        } else if (a == "--cycles" || a == "--duration") {
            if (!value(v)) return false;
            char* end = nullptr;
            const double d = std::strtod(v.c_str(), &end);
            if (end == v.c_str() || *end != '\0' || d <= 0 || d > 1e9) {
                error = a + " needs a positive number, not '" + v + "'";
                return false;
            }
            if (a == "--cycles") {
                o.cycles = static_cast<long>(d);
            } else {
                o.duration = d;
            }
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--fast") {
            o.fast = true;
        } else {
            error = "unknown option '" + a + "'";
            return false;
        }
    }
    return true;
}

std::string exe_dir() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    buf[n] = '\0';
    return std::filesystem::path(buf).parent_path().string();
}

monitor::Reading read(const smd::Host& host, unsigned id, const std::string& name) {
    monitor::Reading r;
    try {
        r.value = host.GetValue(id, name);
    } catch (const std::out_of_range& e) {
        r.reply = e.what();
    }
    return r;
}

std::string time_text(const boost::posix_time::ptime& t) {
    return t.is_special() ? std::string() : boost::posix_time::to_simple_string(t);
}

monitor::CycleView collect(const smd::Host& host, const smd::DeviceConfig& dev,
                           const monitor::OutputRouting& routing) {
    monitor::CycleView v;
    v.device = dev.name;
    v.port = dev.port;
    if (auto s = host.Stats(dev.name)) {
        v.stats = *s;
        v.cycle = s->cycles;
    }
    const auto snapshots = host.Snapshots();
    const Json::Value& ac = dev.settings["acSetting"];
    if (ac.isArray()) {
        for (const auto& e : ac) {
            monitor::AcView a;
            a.data_id = e["data_id"].isUInt() ? e["data_id"].asUInt() : 0;
            a.ia = read(host, a.data_id, "ia");
            a.ib = read(host, a.data_id, "ib");
            a.ic = read(host, a.data_id, "ic");
            // The channel count is byte 16 of the unit's published record.
            std::size_t channels = 0;
            bool published = false;
            for (const auto& s : snapshots) {
                if (s.data_id == a.data_id && s.device_type == "ravo3-ac" && s.bytes.size() > 16) {
                    channels = s.bytes[16];
                    published = true;
                }
            }
            // Values replayed from history are served before anything is published.
            while (!published && channels < 255 &&
                   read(host, a.data_id, "channel_" + std::to_string(channels) + "_a").value) {
                ++channels;
            }
            for (std::size_t c = 0; c < channels; ++c) {
                const std::string p = "channel_" + std::to_string(c) + "_";
                a.channels.push_back(
                    {read(host, a.data_id, p + "a"), read(host, a.data_id, p + "b"),
                     read(host, a.data_id, p + "c"), read(host, a.data_id, p + "f")});
            }
            v.ac.push_back(a);
        }
    }
    const Json::Value& dc = dev.settings["dcSetting"];
    if (dc.isArray()) {
        for (const auto& e : dc) {
            monitor::DcView d;
            d.data_id = e["data_id"].isUInt() ? e["data_id"].asUInt() : 0;
            d.v = read(host, d.data_id, "v");
            d.i = read(host, d.data_id, "i");
            v.dc.push_back(d);
        }
    }
    for (const auto& s : snapshots) {
        if (s.data_id == dev.data_id && s.device_type == "ravo3-rc") {
            monitor::decode_rectifier_record(s.bytes, v);
            v.time = time_text(s.time);
        }
    }
    for (const auto& a : host.ActiveAlarms()) {
        monitor::AlarmView av;
        av.data_id = a.data_id;
        av.device_type = a.device_type;
        av.code = a.code;
        av.name = a.name;
        av.detail = a.detail;
        av.level = a.level;
        av.since = time_text(a.since);
        v.alarms.push_back(av);
    }
    if (auto store = host.Store()) v.history_records = store->Count();
    v.driver_output = routing.LastLines();
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    std::string error;
    if (!parse_args(argc, argv, opt, error)) {
        std::fprintf(stderr, "ravo3-monitor: %s\n(see --help)\n", error.c_str());
        return 2;
    }
    if (opt.config.empty()) opt.config = "examples/site.json";

    smd::SiteConfig site;
    if (!smd::LoadSiteConfig(opt.config, site, error)) {
        std::fprintf(stderr, "ravo3-monitor: %s\n", error.c_str());
        return 1;
    }
    if (site.devices.empty()) {
        std::fprintf(stderr, "ravo3-monitor: %s lists no device\n", opt.config.c_str());
        return 1;
    }
    if (!opt.db.empty()) site.history_db = std::filesystem::absolute(opt.db).string();

    std::unique_ptr<sim::Server> simulator;
    if (opt.port.empty()) {
        if (opt.scenario.empty()) {
            opt.scenario =
                (std::filesystem::path(opt.config).parent_path() / "scenario.json").string();
        }
        try {
            simulator = std::make_unique<sim::Server>(sim::LoadScenarioFile(opt.scenario));
        } catch (const std::exception& e) {
            std::fprintf(stderr, "ravo3-monitor: scenario %s: %s\n", opt.scenario.c_str(),
                         e.what());
            return 1;
        }
        if (!simulator->Start()) {
            std::fprintf(stderr, "ravo3-monitor: cannot start the simulated unit: %s\n",
                         simulator->Error().c_str());
            return 1;
        }
        opt.port = simulator->Path();
        std::fprintf(stderr, "ravo3-monitor: simulated monitoring unit on %s (%s)\n",
                     opt.port.c_str(), opt.scenario.c_str());
    }
    for (auto& d : site.devices) d.port = opt.port;

    smd::HostOptions ho;
    ho.driver_override = opt.driver;
    if (ho.driver_override.empty()) {
        const auto beside = std::filesystem::path(exe_dir()) / "ravo3.so";
        if (std::filesystem::exists(beside)) ho.driver_override = beside.string();
    }
    if (opt.fast) smd::set_pause([](unsigned) {});

    monitor::OutputRouting routing;
    if (!routing.Start(opt.driver_log, 4)) {
        std::fprintf(stderr, "ravo3-monitor: cannot capture the driver's output\n");
    }
    const bool live = !opt.json && routing.ViewIsTerminal() && ::isatty(STDERR_FILENO) == 1;
    LogTail log_tail;
    ho.log = [&](const std::string& line) {
        if (live) {
            log_tail.Add(line);
        } else {
            std::fprintf(stderr, "%s\n", line.c_str());
        }
    };
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);

    smd::Host host(ho);
    if (!host.Start(site, error)) {
        routing.Stop();
        std::fprintf(stderr, "ravo3-monitor: %s\n", error.c_str());
        return 1;
    }
    const auto& dev = site.devices.front();
    const auto started = std::chrono::steady_clock::now();
    auto last_cycle_end = started;
    std::uint64_t shown = 0;
    long cycles_seen = 0;
    std::uint64_t first_cycle_count = host.Stats(dev.name) ? host.Stats(dev.name)->cycles : 0;
    bool shown_start = false;

    while (!g_stop) {
        const auto now = std::chrono::steady_clock::now();
        const double elapsed = std::chrono::duration<double>(now - started).count();
        if (opt.duration > 0 && elapsed >= opt.duration) break;
        const auto stats = host.Stats(dev.name);
        const std::uint64_t cycles = stats ? stats->cycles : 0;
        if (cycles != shown || !shown_start) {
            auto view = collect(host, dev, routing);
            view.log = log_tail.Last();
            if (cycles != shown && shown_start) {
                view.cycle_seconds = std::chrono::duration<double>(now - last_cycle_end).count();
                last_cycle_end = now;
                cycles_seen = static_cast<long>(cycles - first_cycle_count);
            }
            shown = cycles;
            shown_start = true;
            if (opt.json) {
                if (view.cycle > first_cycle_count) {
                    Json::StreamWriterBuilder w;
                    w["indentation"] = "";
                    w["emitUTF8"] = true;
                    routing.WriteView(Json::writeString(w, monitor::to_json(view)) + "\n");
                }
            } else {
                routing.WriteView((live ? std::string("\033[H\033[2J") : std::string("\n")) +
                                  monitor::render_screen(view));
            }
            if (opt.cycles > 0 && cycles_seen >= opt.cycles) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    host.Stop();
    if (simulator) simulator->Stop();
    routing.Stop();
    if (!opt.json) {
        std::fprintf(stderr, "ravo3-monitor: stopped after %ld cycles; %zu driver lines\n",
                     cycles_seen, routing.LinesSeen());
    }
    return 0;
}

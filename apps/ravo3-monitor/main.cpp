// ravo3-monitor: runs a site's RAV-O3 bus devices through our host and shows
// every line's state and values, redrawn at least once a second, or writes
// them as JSON lines. Each device uses the port its site file names;
// --simulate puts a simulated monitoring unit on a pty of its own for each.
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "apps/ravo3-monitor/JsonLines.h"
#include "apps/ravo3-monitor/OutputRouting.h"
#include "apps/ravo3-monitor/RunnerScreen.h"
#include "ravo3/Version.h"
#include "runtime/framework/PluginLoader.h"
#include "runtime/site/Host.h"
#include "runtime/text/LogText.h"
#include "service/check/SiteCheck.h"
#include "sim/Scenario.h"
#include "sim/Server.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kVersion[] = "ravo3-monitor " RAVO3_VERSION;
constexpr const char* kSiteFiles[] = {"site.json", "/etc/ravo3/site.json"};

std::atomic<int> g_signal{0};
void on_signal(int s) {
    g_signal = s;
}

struct Options {
    std::string config;
    std::string port;
    std::string scenario;
    std::string driver;
    std::string db;
    std::string driver_log;
    std::string capture;
    long cycles = 0;      // 0: until stopped
    double duration = 0;  // seconds, 0: no limit
    double timeout = 0;   // seconds for --cycles, 0: the default
    bool simulate = false;
    bool check = false;
    bool json = false;
    bool fast = false;
};

const char kUsage[] =
    "Usage: ravo3-monitor [options]\n"
    "Polls the RAV-O3 power systems of a site through their monitoring units and\n"
    "shows, for every device, its line's state, its values, rectifier modules and\n"
    "alarms, redrawn at least once a second.\n"
    "\n"
    "  --config FILE      site file (default: ./site.json, else /etc/ravo3/site.json)\n"
    "  --check            check the site file and the driver's settings, then exit\n"
    "  --simulate         run every device against a simulated monitoring unit on a\n"
    "                     pseudo-terminal of its own (scenario: the device's \"scenario\"\n"
    "                     key, else scenario.json beside the site file, else defaults),\n"
    "                     with a history database of its own unless --db is given\n"
    "  --port PATH        serial port of a one-device site (replaces its \"port\")\n"
    "  --scenario FILE    with --simulate: this scenario for every device\n"
    "  --driver PATH      driver library for every device, instead of the site file's\n"
    "                     \"driver\" (a device without one: ravo3.so beside this program)\n"
    "  --db FILE          history database (replaces the site file's \"history_db\")\n"
    "  --cycles N         stop once every device has completed N poll cycles\n"
    "  --timeout SEC      with --cycles: give up after SEC seconds (default 30 + 10 per\n"
    "                     cycle)\n"
    "  --duration SEC     stop after SEC seconds\n"
    "  --json             instead of the screen, one JSON object a line on standard\n"
    "                     output: {\"type\": \"cycle\", ...} per device and completed\n"
    "                     cycle, {\"type\": \"status\", ...} when a line changes state;\n"
    "                     invalid UTF-8 bytes in texts are replaced by U+FFFD\n"
    "  --driver-log FILE  append the driver's own output lines to FILE\n"
    "  --capture FILE     append every line's bytes, with their times, to FILE\n"
    "                     (ravo3-replay plays it back; attach it to a bug report)\n"
    "  --fast             skip the driver's 20 ms pause before each answer (tests)\n"
    "  --version          the program's version\n"
    "  --help             this text\n"
    "\n"
    "SIGINT, SIGTERM, SIGHUP and a closed standard output stop it cleanly: lines\n"
    "stopped, ports closed, history written.\n"
    "\n"
    "Exit status:\n"
    "  0  the requested cycles completed on every device; or, without --cycles, it\n"
    "     ran until stopped or for --duration and every device completed a cycle\n"
    "  1  the site could not be started (site file, driver, database), the site file\n"
    "     has problems (--check), --cycles N did not complete within --timeout, or a\n"
    "     device completed no cycle at all\n"
    "  2  wrong usage\n";

// -1: go on; otherwise the exit status.
int parse_args(int argc, char** argv, Options& o, std::string& error) {
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
        auto positive = [&](double& out, double max) {
            std::string v;
            if (!value(v)) return false;
            char* end = nullptr;
            const double d = std::strtod(v.c_str(), &end);
            if (end == v.c_str() || *end != '\0' || !(d > 0) || d > max) {
                error = a + " needs a positive number, not '" + v + "'";
                return false;
            }
            out = d;
            return true;
        };
        double d = 0;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("%s\n", kVersion);
            return 0;
        } else if (a == "--config") {
            if (!value(o.config)) return 2;
        } else if (a == "--port") {
            if (!value(o.port)) return 2;
        } else if (a == "--scenario") {
            if (!value(o.scenario)) return 2;
        } else if (a == "--driver") {
            if (!value(o.driver)) return 2;
        } else if (a == "--db") {
            if (!value(o.db)) return 2;
        } else if (a == "--driver-log") {
            if (!value(o.driver_log)) return 2;
        } else if (a == "--capture") {
            if (!value(o.capture)) return 2;
        } else if (a == "--cycles") {
            if (!positive(d, 1e9)) return 2;
            if (d != static_cast<double>(static_cast<long>(d))) {
                error = "--cycles needs a whole number";
                return 2;
            }
            o.cycles = static_cast<long>(d);
        } else if (a == "--duration") {
            if (!positive(o.duration, 1e9)) return 2;
        } else if (a == "--timeout") {
            if (!positive(o.timeout, 1e9)) return 2;
        } else if (a == "--simulate") {
            o.simulate = true;
        } else if (a == "--check") {
            o.check = true;
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--fast") {
            o.fast = true;
        } else {
            error = "unknown option '" + a + "'";
            return 2;
        }
    }
    if (o.simulate && !o.port.empty()) {
        error = "--port and --simulate exclude each other: a simulated unit gets a port of its own";
        return 2;
    }
    if (!o.scenario.empty() && !o.simulate) {
        error = "--scenario is for --simulate";
        return 2;
    }
    if (o.timeout > 0 && o.cycles == 0) {
        error = "--timeout is for --cycles";
        return 2;
    }
    return -1;
}

// Log lines: on standard error with their time, or, while the live view owns
// the terminal, into its panel.
class Log {
  public:
    void ToPanel(bool on) {
        std::lock_guard<std::mutex> lock(mutex_);
        panel_ = on;
    }
    void operator()(const std::string& raw) {
        // Every priority is shown: the runner is where the driver's
        // diagnostics are looked at.
        std::string_view body;
        smd::log_priority(raw, &body);
        const std::string text = smd::log_safe(body);  // one line, whatever it names
        std::lock_guard<std::mutex> lock(mutex_);
        const std::string when = smd::iso8601(smd::local_time());
        if (panel_) {
            tail_.push_back((when.size() >= 19 ? when.substr(11, 8) : when) + " " + text);
            while (tail_.size() > 8) tail_.pop_front();
        } else {
            std::fprintf(stderr, "%s ravo3-monitor: %s\n", when.c_str(), text.c_str());
        }
    }
    std::vector<std::string> Tail() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::vector<std::string>(tail_.begin(), tail_.end());
    }

  private:
    std::mutex mutex_;
    bool panel_ = false;
    std::deque<std::string> tail_;
};

using smd::service::PortHint;

struct DeviceInfo {
    std::string key;  // "devices[1]"
    int address = 1;
    int protocol_version = 32;
};

std::string hint_for(const monitor::DeviceView& d, const DeviceInfo& info) {
    switch (d.line.state) {
        case smd::LineState::PortMissing: {
            std::string h = PortHint(d.port, info.key + ".port");
            return h.empty() ? "the port is retried; check the adapter and its cable" : h;
        }
        case smd::LineState::PortBusy:
            return "another process holds " + d.port + ": find it with 'fuser -v " + d.port +
                   "' and stop it";
        case smd::LineState::HostUnreachable:
            return "check the device server's address in \"" + info.key +
                   ".port\", its power and the network to it; it is retried";
        case smd::LineState::ConnectionRefused:
            return "the device server answers but takes no connection on that TCP port: check "
                   "the port number and that its serial port is in raw or Telnet (COM port "
                   "control) mode";
        case smd::LineState::ConnectionLost:
            return "the connection broke; it is reconnected with growing pauses";
        case smd::LineState::NotAnswering:
            if (d.cycles == 0) {
                return "check power and cable; is the unit's address " +
                       std::to_string(info.address) + " (\"" + info.key +
                       ".address\") and its protocol version " +
                       std::to_string(info.protocol_version) + " (\"" + info.key +
                       ".protocol_version\")?";
            }
            return "the unit answered before: check its power and the cable";
        default:
            return std::string();
    }
}

bool window_size(int fd, int& rows, int& cols) {
    struct winsize ws {};
    if (::ioctl(fd, TIOCGWINSZ, &ws) != 0 || ws.ws_row == 0 || ws.ws_col == 0) return false;
    rows = ws.ws_row;
    cols = ws.ws_col;
    return true;
}

std::string frame_text(const std::vector<std::string>& lines, bool live) {
    std::string out = live ? "\033[H" : "\n";
    for (std::size_t i = 0; i < lines.size(); ++i) {
        out += lines[i];
        if (live) out += "\033[K";
        if (i + 1 < lines.size() || !live) out += live ? "\r\n" : "\n";
    }
    if (live) out += "\033[J";
    return out;
}

// The site file: --config, else where an installed tool looks.
bool find_site_file(std::string& path, std::string& error) {
    if (!path.empty()) return true;
    std::error_code ec;
    for (const char* candidate : kSiteFiles) {
        if (fs::exists(candidate, ec)) {
            path = candidate;
            return true;
        }
    }
    error = "no site file: looked for " + (fs::current_path(ec) / kSiteFiles[0]).string() +
            " and " + kSiteFiles[1] + "; give one with --config FILE";
    return false;
}

// The site as this run uses it: the site file with --port, --db and the
// simulated units applied.
struct Setup {
    std::string default_driver;
    smd::SiteConfig site;
    std::vector<DeviceInfo> infos;
    std::vector<std::unique_ptr<sim::Server>> simulators;
    std::string scratch_dir;  // a simulated run's history, removed at the end
};

// Finds and reads the site file (or only checks it, --check) and applies
// --port and --db. -1: go on; otherwise the exit status.
int load_site(Options& opt, Log& log, Setup& setup) {
    std::string error;
    if (!find_site_file(opt.config, error)) {
        log(error);
        return 1;
    }
    // The site file's "driver" runs; ours beside the program only stands in
    // for a device that names none, and --driver replaces every one.
    setup.default_driver = smd::DefaultDriverPath();
    if (opt.check) {
        const auto check =
            smd::service::CheckSiteFile(opt.config, opt.driver, setup.default_driver);
        return smd::service::PrintSiteCheck(check, opt.config, stdout, stderr);
    }
    smd::SiteConfig& site = setup.site;
    if (!smd::LoadSiteConfig(opt.config, site, error)) {
        // One problem a line.
        std::istringstream lines(error);
        for (std::string line; std::getline(lines, line);) log(line);
        return 1;
    }
    if (!opt.port.empty() && site.devices.size() != 1) {
        std::fprintf(stderr,
                     "ravo3-monitor: --port replaces the port of a one-device site; %s has %zu "
                     "devices: set each one's \"port\" in the site file (see --help)\n",
                     opt.config.c_str(), site.devices.size());
        return 2;
    }

    for (std::size_t i = 0; i < site.devices.size(); ++i) {
        DeviceInfo info;
        info.key = "devices[" + std::to_string(i) + "]";
        const Json::Value& s = site.devices[i].settings;
        if (s["address"].isInt()) info.address = s["address"].asInt();
        if (s["protocol_version"].isInt()) info.protocol_version = s["protocol_version"].asInt();
        setup.infos.push_back(info);
    }
    if (!opt.port.empty()) site.devices.front().port = opt.port;
    if (!opt.db.empty()) site.history_db = fs::absolute(opt.db).string();
    return -1;
}

// Simulated units, one per enabled device, each on a pty of its own, and a
// history of the run's own unless --db is given. False when a unit cannot be
// started.
bool start_simulators(const Options& opt, Log& log, Setup& setup) {
    smd::SiteConfig& site = setup.site;
    const fs::path beside = fs::path(opt.config).parent_path() / "scenario.json";
    for (std::size_t i = 0; i < site.devices.size(); ++i) {
        auto& d = site.devices[i];
        if (!d.enabled) continue;
        std::string file = !opt.scenario.empty() ? opt.scenario : d.scenario;
        std::error_code ec;
        if (file.empty() && fs::exists(beside, ec)) file = beside.string();
        sim::Scenario scenario;
        try {
            scenario = file.empty() ? sim::DefaultScenario() : sim::LoadScenarioFile(file);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "ravo3-monitor: %s.scenario: %s: %s\n", setup.infos[i].key.c_str(),
                         file.c_str(), e.what());
            return false;
        }
        // The simulated unit is the one the site file describes.
        scenario.address = static_cast<std::uint8_t>(setup.infos[i].address);
        scenario.protocol_version = setup.infos[i].protocol_version == 33 ? 0x21 : 0x20;
        auto server = std::make_unique<sim::Server>(std::move(scenario));
        if (!server->Start()) {
            std::fprintf(stderr, "ravo3-monitor: cannot start the simulated unit of \"%s\": %s\n",
                         d.name.c_str(), server->Error().c_str());
            return false;
        }
        d.port = server->Path();
        log("device \"" + d.name + "\": simulated unit on " + d.port + " (" +
            (file.empty() ? std::string("default scenario") : file) + ")");
        setup.simulators.push_back(std::move(server));
    }
    if (opt.db.empty()) {
        // A simulated run must not mix its values and alarms into the site's history.
        char tmpl[] = "/tmp/ravo3-monitor-XXXXXX";
        if (::mkdtemp(tmpl) != nullptr) {
            setup.scratch_dir = tmpl;
            site.history_db = setup.scratch_dir + "/history.db";
            log("simulated run: history in " + site.history_db +
                ", removed at the end (--db FILE keeps it)");
        } else {
            site.history_db.clear();
        }
    }
    return true;
}

// What is wrong with a device's port that can be told before the host opens it.
void log_port_hints(const Setup& setup, Log& log) {
    for (std::size_t i = 0; i < setup.site.devices.size(); ++i) {
        const auto& d = setup.site.devices[i];
        if (!d.enabled) continue;
        const std::string h = PortHint(d.port, setup.infos[i].key + ".port");
        if (!h.empty()) log("device \"" + d.name + "\": " + h);
    }
}

void install_signal_handlers() {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(s, &sa, nullptr);
    // A reader that goes away (--json | head) is seen as a failed write.
    std::signal(SIGPIPE, SIG_IGN);
}

// The last step of a run that got as far as the output routing: simulated
// units stopped, standard output restored, a simulated run's history removed.
int finish(Setup& setup, monitor::OutputRouting& routing, int status) {
    for (auto& s : setup.simulators) s->Stop();
    routing.Stop();
    if (!setup.scratch_dir.empty()) {
        std::error_code ec;
        fs::remove_all(setup.scratch_dir, ec);
    }
    return status;
}

// A started host's run: its events shown in the live view, as plain lines or
// as JSON lines until a stop, then the summary.
class Session {
  public:
    Session(const Options& opt, Log& log, const Setup& setup, monitor::OutputRouting& routing,
            smd::Host& host);
    // Until a signal, a closed output, --duration, --cycles or --timeout; why
    // it stopped (empty for --duration and --cycles).
    std::string Loop();
    // Stops the host, hands the terminal back and logs the summary; the exit status.
    int Shutdown(const std::string& why_stopped);

  private:
    void Apply(const smd::HostEvent& e);
    // `screen`: the live view's redraw in place; otherwise plain lines.
    void Draw(bool force, bool screen);
    bool AllDone(std::uint64_t n) const;

    const Options& opt_;
    Log& log_;
    const std::vector<DeviceInfo>& infos_;
    monitor::OutputRouting& routing_;
    smd::Host& host_;
    const bool live_;
    std::shared_ptr<smd::EventQueue> queue_;
    monitor::RunnerScreen view_;
    std::vector<bool> targets_;  // devices whose cycles count
    std::vector<std::string> not_loaded_;
    Clock::time_point started_;
    double timeout_ = 0;
    Clock::time_point last_draw_;
    bool dirty_ = true;
    bool output_closed_ = false;
};

Session::Session(const Options& opt, Log& log, const Setup& setup, monitor::OutputRouting& routing,
                 smd::Host& host)
    : opt_(opt),
      log_(log),
      infos_(setup.infos),
      routing_(routing),
      host_(host),
      live_(!opt.json && routing.ViewIsTerminal()),
      queue_(host.Events().Subscribe()) {
    const auto devices = host_.Devices();
    for (std::size_t i = 0; i < devices.size(); ++i) {
        monitor::DeviceView d;
        d.name = devices[i].name;
        d.port = setup.site.devices[i].port;
        d.enabled = devices[i].enabled;
        d.load_error = devices[i].error;
        view_.AddDevice(d);
        targets_.push_back(devices[i].loaded);
        if (devices[i].enabled && !devices[i].loaded) not_loaded_.push_back(devices[i].name);
    }
    if (live_ && ::isatty(STDERR_FILENO) == 1) log_.ToPanel(true);
    if (live_) routing_.WriteView("\033[?1049h\033[?25l");
    started_ = Clock::now();
    timeout_ = opt_.timeout > 0 ? opt_.timeout : 30.0 + 10.0 * opt_.cycles;
    last_draw_ = started_ - std::chrono::seconds(10);
}

void Session::Draw(bool force, bool screen) {
    const auto now = Clock::now();
    if (!screen && !force) return;
    if (screen && !force && !(dirty_ && now - last_draw_ >= std::chrono::milliseconds(200)) &&
        now - last_draw_ < std::chrono::seconds(1)) {
        return;
    }
    monitor::ScreenContext ctx;
    ctx.now = smd::local_time();
    ctx.rows = 0;
    ctx.cols = 0;
    if (live_) {
        int rows = 24, cols = 80;
        window_size(routing_.ViewFd(), rows, cols);
        ctx.cols = cols;
        if (screen) ctx.rows = rows;
    }
    ctx.page = static_cast<int>(
        std::chrono::duration_cast<std::chrono::seconds>(now - started_).count() / 5);
    const std::string when = smd::iso8601(ctx.now);
    ctx.title = "ravo3-monitor  " + (when.size() >= 19 ? when.substr(11, 8) : when) + "  " +
                std::to_string(view_.Devices().size()) + " device" +
                (view_.Devices().size() == 1 ? "" : "s") + "  " +
                fs::path(opt_.config).filename().string();
    ctx.log = log_.Tail();
    const auto driver_lines = routing_.LastLines();
    if (!driver_lines.empty()) ctx.log.push_back("driver: " + smd::log_safe(driver_lines.back()));
    if (!routing_.WriteView(frame_text(monitor::render_screen(view_, ctx), screen))) {
        output_closed_ = true;
    }
    last_draw_ = now;
    dirty_ = false;
}

bool Session::AllDone(std::uint64_t n) const {
    for (std::size_t i = 0; i < targets_.size(); ++i) {
        if (targets_[i] && view_.Devices()[i].cycles < n) return false;
    }
    return true;
}

std::string Session::Loop() {
    while (true) {
        if (g_signal != 0) return std::string("signal ") + ::strsignal(g_signal.load());
        if (output_closed_) return "standard output closed";
        const double elapsed = std::chrono::duration<double>(Clock::now() - started_).count();
        if (opt_.duration > 0 && elapsed >= opt_.duration) return std::string();
        if (opt_.cycles > 0 && AllDone(static_cast<std::uint64_t>(opt_.cycles))) {
            return std::string();
        }
        if (opt_.cycles > 0 && elapsed >= timeout_) return "timeout";
        smd::HostEvent e;
        if (queue_->Pop(e, std::chrono::milliseconds(200))) Apply(e);
        if (live_) Draw(false, true);
    }
}

void Session::Apply(const smd::HostEvent& e) {
    const monitor::Applied a = view_.Apply(e);
    dirty_ = true;
    if (a.device && a.line_changed) {
        const std::size_t i = static_cast<std::size_t>(a.device - view_.Devices().data());
        a.device->hint = hint_for(*a.device, infos_[i]);
        const std::string what = monitor::line_text(*a.device, smd::local_time());
        log_("device \"" + a.device->name + "\": " + what +
             (a.device->hint.empty() ? "" : "; " + a.device->hint));
        if (opt_.json) {
            output_closed_ |=
                !routing_.WriteView(monitor::status_json(a.device->name, a.device->port, e.time,
                                                         a.device->line, a.device->hint) +
                                    "\n");
        }
    }
    if (opt_.json && a.new_cycle &&
        (opt_.cycles == 0 || a.device->cycles <= static_cast<std::uint64_t>(opt_.cycles))) {
        output_closed_ |= !routing_.WriteView(
            monitor::cycle_json(e, a.device->port, view_.AlarmsOf(e.device)) + "\n");
    }
    if (!opt_.json && !live_ && (e.kind == smd::HostEvent::Kind::Cycle || a.line_changed)) {
        Draw(true, false);
    }
}

int Session::Shutdown(const std::string& why_stopped) {
    queue_->Close();
    host_.Stop();
    if (live_) {
        routing_.WriteView("\033[?25h\033[?1049l");
        log_.ToPanel(false);
        // The last state stays on the terminal.
        Draw(true, false);
        routing_.WriteView("\n");
    }

    int status = 0;
    std::string summary;
    for (std::size_t i = 0; i < view_.Devices().size(); ++i) {
        const auto& d = view_.Devices()[i];
        if (!targets_[i]) continue;
        summary += (summary.empty() ? "" : ", ") + d.name + " " + std::to_string(d.cycles);
        const bool short_of =
            opt_.cycles > 0 ? d.cycles < static_cast<std::uint64_t>(opt_.cycles) : d.cycles == 0;
        if (short_of) {
            status = 1;
            log_("device \"" + d.name + "\": " + std::to_string(d.cycles) + " cycle" +
                 (d.cycles == 1 ? "" : "s") + " completed" +
                 (opt_.cycles > 0 ? " of " + std::to_string(opt_.cycles) : std::string()) +
                 (why_stopped == "timeout"
                      ? " within the " + std::to_string(static_cast<long>(timeout_)) +
                            " s of --timeout"
                      : std::string()) +
                 "; line " + monitor::line_text(d, smd::local_time()));
        }
    }
    for (const auto& name : not_loaded_) {
        status = 1;
        log_("device \"" + name + "\" was not loaded");
    }
    log_("stopped" + (why_stopped.empty() ? std::string() : " (" + why_stopped + ")") +
         "; cycles: " + summary + "; " + std::to_string(routing_.LinesSeen()) + " driver lines");
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    std::string error;
    const int usage = parse_args(argc, argv, opt, error);
    if (usage >= 0) {
        if (usage == 2) std::fprintf(stderr, "ravo3-monitor: %s (see --help)\n", error.c_str());
        return usage;
    }
    Log log;
    Setup setup;
    const int loaded = load_site(opt, log, setup);
    if (loaded >= 0) return loaded;
    if (opt.simulate) {
        if (!start_simulators(opt, log, setup)) return 1;
    } else {
        log_port_hints(setup, log);
    }

    smd::HostOptions ho;
    ho.driver_override = opt.driver;
    ho.default_driver = setup.default_driver;
    ho.log = [&log](const std::string& line) { log(line); };
    if (!opt.capture.empty()) ho.capture = fs::absolute(opt.capture).string();
    if (opt.fast) smd::set_pause([](unsigned) {});

    monitor::OutputRouting routing;
    if (!routing.Start(opt.driver_log, 4)) log("cannot capture the driver's output");
    install_signal_handlers();

    smd::Host host(ho);
    if (!host.Start(setup.site, error)) {
        log(error);
        return finish(setup, routing, 1);
    }
    Session session(opt, log, setup, routing, host);
    const std::string why_stopped = session.Loop();
    return finish(setup, routing, session.Shutdown(why_stopped));
}

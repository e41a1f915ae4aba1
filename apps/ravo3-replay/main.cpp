// ravo3-replay: plays a capture of a site's lines through the driver on our
// host and prints the cycles, values and alarm events it produces; with
// --json the same lines as ravo3-monitor --json, timed from the capture.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "apps/ravo3-monitor/JsonLines.h"
#include "apps/ravo3-monitor/RunnerScreen.h"
#include "ravo3/Version.h"
#include "runtime/text/LogText.h"
#include "runtime/store/ProvenanceCodec.h"
#include "runtime/capture/Replay.h"

namespace {

namespace fs = std::filesystem;

const char kUsage[] =
    "usage: ravo3-replay [--config SITE] [--driver PATH] [--json] [--realtime] FILE\n"
    "Plays a capture (ravo3d or ravo3-monitor --capture FILE) through the driver on\n"
    "this host and prints the cycles, values and alarm events it produces, as fast\n"
    "as it can; the same capture gives the same output every time.\n"
    "\n"
    "  --config SITE   the site file to play it with (default: the one the capture\n"
    "                  holds, as the host read it when it began capturing)\n"
    "  --driver PATH   driver library (default: ravo3.so beside this program, else\n"
    "                  the site file's)\n"
    "  --json          the JSON lines of ravo3-monitor --json, times from the capture\n"
    "  --realtime      take as long as the capture did\n"
    "  --version       the program's version\n"
    "  --help          this text\n"
    "\n"
    "Exit status: 0 played, and the host sent what it sent then; 1 the capture or\n"
    "the site cannot be used, or the host sent other commands than the capture\n"
    "holds (the driver or the site differ); 2 wrong usage.\n";

std::string exe_dir() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    buf[n] = '\0';
    return fs::path(buf).parent_path().string();
}

std::string value_text(const smd::NamedValue& v) {
    if (!v.ok) return v.name + "=(" + v.reply + ")";
    char b[64];
    std::snprintf(b, sizeof b, "%g", static_cast<double>(v.value));
    return v.name + "=" + b;
}

}  // namespace

int main(int argc, char** argv) {
    std::string config, driver, file;
    bool json = false, realtime = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--version") {
            std::puts("ravo3-replay " RAVO3_VERSION);
            return 0;
        } else if (a == "--json") {
            json = true;
        } else if (a == "--realtime") {
            realtime = true;
        } else if ((a == "--config" || a == "--driver") && i + 1 < argc) {
            (a == "--config" ? config : driver) = argv[++i];
        } else if (!a.empty() && a[0] != '-' && file.empty()) {
            file = a;
        } else {
            std::fprintf(stderr, "ravo3-replay: unexpected '%s' (see --help)\n", a.c_str());
            return 2;
        }
    }
    if (file.empty()) {
        std::fprintf(stderr, "ravo3-replay: which capture? (see --help)\n");
        return 2;
    }
    // The driver's own diagnostic lines go to standard output: ours keep a
    // descriptor of their own, and the driver's are dropped.
    std::FILE* out = nullptr;
    {
        const int fd = ::dup(STDOUT_FILENO);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        out = fd >= 0 ? ::fdopen(fd, "w") : nullptr;
        if (!out || null < 0 || ::dup2(null, STDOUT_FILENO) < 0) {
            std::fprintf(stderr, "ravo3-replay: cannot set up the output\n");
            return 1;
        }
        ::close(null);
    }
    smd::capture::File capture;
    std::string error;
    if (!smd::capture::Load(file, capture, error)) {
        std::fprintf(stderr, "ravo3-replay: %s\n", error.c_str());
        return 1;
    }
    if (capture.cut_tail) {
        std::fprintf(stderr, "ravo3-replay: %s: its last record was cut off (ignored)\n",
                     file.c_str());
    }
    if (driver.empty()) {
        const auto beside = fs::path(exe_dir()) / "ravo3.so";
        std::error_code ec;
        if (fs::exists(beside, ec)) driver = beside.string();
    }
    int status = 0;
    for (std::size_t s = 0; s < capture.sessions.size(); ++s) {
        const smd::capture::Session& session = capture.sessions[s];
        smd::SiteConfig site;
        if (!config.empty()) {
            if (!smd::LoadSiteConfig(config, site, error)) {
                std::fprintf(stderr, "%s\n", error.c_str());
                return 1;
            }
        } else {
            site.path = file + " (session " + std::to_string(s + 1) + ")";
            if (session.site.empty() ||
                !smd::ParseSiteConfig(session.site, fs::absolute(file).parent_path().string(), site,
                                      error)) {
                std::fprintf(stderr, "ravo3-replay: %s\n",
                             session.site.empty()
                                 ? "the capture holds no site file: give one with --config"
                                 : error.c_str());
                return 1;
            }
        }
        monitor::RunnerScreen view;
        for (const auto& d : site.devices) {
            monitor::DeviceView v;
            v.name = d.name;
            v.port = d.port;
            v.enabled = d.enabled;
            view.AddDevice(v);
        }
        smd::ReplayOptions o;
        o.driver = driver;
        o.realtime = realtime;
        o.log = [](const std::string& line) {
            std::string_view body;
            smd::log_priority(line, &body);
            std::fprintf(stderr, "ravo3-replay: %.*s\n", static_cast<int>(body.size()),
                         body.data());
        };
        o.on_event = [&](const smd::HostEvent& e) {
            const monitor::Applied a = view.Apply(e);
            if (json) {
                if (a.device && a.line_changed) {
                    std::fputs((monitor::status_json(a.device->name, a.device->port, e.time,
                                                     a.device->line, "") +
                                "\n")
                                   .c_str(),
                               out);
                }
                if (a.device && a.new_cycle) {
                    std::fputs(
                        (monitor::cycle_json(e, a.device->port, view.AlarmsOf(e.device)) + "\n")
                            .c_str(),
                        out);
                }
                return;
            }
            const std::string when = smd::iso8601(e.time);
            if (e.kind == smd::HostEvent::Kind::Cycle && !e.units.empty() && a.new_cycle) {
                std::string line =
                    when + " " + e.device + " cycle " + std::to_string(e.cycle.number);
                for (const auto& u : e.units) {
                    line += std::string(" | ") + smd::unit_kind_name(u.kind) + " " +
                            std::to_string(u.data_id) + ":";
                    for (const auto& v : u.values) line += " " + value_text(v);
                }
                std::fprintf(out, "%s\n", line.c_str());
            } else if (e.kind == smd::HostEvent::Kind::AlarmRaised ||
                       e.kind == smd::HostEvent::Kind::AlarmCleared) {
                std::string line =
                    when + " " + e.device + " " +
                    (e.kind == smd::HostEvent::Kind::AlarmRaised ? "raised" : "cleared") + " " +
                    e.alarm.code + " " + e.alarm.name + " (" + e.alarm.detail + ") unit " +
                    std::to_string(e.alarm.data_id);
                if (e.provenance) {
                    line += " [cycle " + std::to_string(e.provenance->cycle);
                    for (const auto& ans : e.provenance->answers)
                        line += " " + smd::command_text(ans);
                    line += "]";
                }
                std::fprintf(out, "%s\n", line.c_str());
            } else if (e.kind == smd::HostEvent::Kind::Line && a.line_changed) {
                std::fprintf(out, "%s %s line %s%s%s\n", when.c_str(), e.device.c_str(),
                             smd::line_state_name(e.line.state), e.line.detail.empty() ? "" : ": ",
                             e.line.detail.c_str());
            }
        };
        std::uint64_t mismatches = 0;
        if (!smd::RunReplay(session, std::move(site), o, error, &mismatches)) {
            std::fprintf(stderr, "ravo3-replay: %s\n", error.c_str());
            return 1;
        }
        if (mismatches > 0) status = 1;
    }
    std::fflush(out);
    return status;
}

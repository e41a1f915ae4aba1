// ravo3d: the site host as a daemon. Runs every device of the site file,
// serves what the site file's sections ask for (HTTP API, metrics, MQTT),
// tells systemd how it is, reads the site file again on SIGHUP, and stops
// cleanly on SIGTERM or SIGINT.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "host/HostTypes.h"
#include "ravo3/Version.h"
#include "runtime/events/Events.h"
#include "runtime/site/Host.h"
#include "runtime/text/LogText.h"
#include "runtime/framework/PluginLoader.h"
#include "runtime/site/SiteConfig.h"
#include "service/Service.h"
#include "service/check/SiteCheck.h"

namespace {

const char* const kUsage =
    "Usage: ravo3d [--config FILE] [--driver FILE] [--driver-log FILE] [--capture FILE]\n"
    "  or:  ravo3d --check [--config FILE] [--driver FILE]\n"
    "  --config FILE      site file (default /etc/ravo3/site.json)\n"
    "  --driver FILE      driver library for every device, instead of the site file's\n"
    "                     \"driver\" (a device without one: ravo3.so beside the program,\n"
    "                     else ../lib/ravo3/ravo3.so from it)\n"
    "  --driver-log FILE  append the driver's diagnostic output there (default: dropped)\n"
    "  --capture FILE     append every line's bytes, with their times, to FILE\n"
    "                     (ravo3-replay plays it back; attach it to a bug report)\n"
    "  --log-level LEVEL  error, warning, notice, info (default) or debug (the\n"
    "                     driver's diagnostics); instead of the site's \"log_level\"\n"
    "  --check            check the site file, its service sections and every device's\n"
    "                     driver, print one problem a line, then exit\n"
    "  --version          the program's version\n"
    "  --help             this text\n"
    "Runs until SIGTERM or SIGINT. SIGHUP reads the site file again: a file with\n"
    "problems is refused (logged as --check prints them) and the site runs on as it\n"
    "was; otherwise added devices start, removed ones stop, changed ones restart and\n"
    "the others run on untouched.\n"
    "Exit status: 0 stopped (--check: no problem), 1 cannot run (--check: problems),\n"
    "2 usage.\n";

std::mutex g_log_mutex;
std::atomic<int> g_log_level{smd::kLogInfo};
// Under systemd, standard error goes to the journal, which reads a line's
// priority from its "<N>" prefix.
const bool g_journal = std::getenv("JOURNAL_STREAM") != nullptr;

// One whole line on standard error, with the local time and its offset
// (journald keeps them beside its own). Nothing in `text` can end the line.
void log_line(const std::string& text) {
    std::string_view body;
    const int priority = smd::log_priority(text, &body);
    if (priority > g_log_level.load()) return;
    const char* word = priority <= smd::kLogError     ? "error: "
                       : priority == smd::kLogWarning ? "warning: "
                                                      : "";
    const std::string line = (g_journal ? "<" + std::to_string(priority) + ">" : std::string()) +
                             smd::iso8601(smd::local_time()) + " ravo3d: " + word +
                             smd::log_safe(body) + "\n";
    std::lock_guard<std::mutex> lock(g_log_mutex);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

struct Options {
    std::string config = "/etc/ravo3/site.json";
    std::string driver;
    std::string driver_log;
    std::string capture;
    std::string log_level;
    bool check = false;
};

// -1: go on; otherwise the exit status (usage printed once, on a wrong argument).
int parse_args(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        std::string error;
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                error = a + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (a == "--version") {
            std::puts("ravo3d " RAVO3_VERSION);
            return 0;
        }
        bool ok = true;
        if (a == "--config") {
            ok = value(o.config);
        } else if (a == "--driver") {
            ok = value(o.driver);
        } else if (a == "--driver-log") {
            ok = value(o.driver_log);
        } else if (a == "--capture") {
            ok = value(o.capture);
        } else if (a == "--check") {
            o.check = true;
        } else if (a == "--log-level") {
            int p = 0;
            ok = value(o.log_level) && smd::parse_log_level(o.log_level, p);
            if (!ok) error = "--log-level takes error, warning, notice, info or debug";
        } else {
            ok = false;
            error = "unknown argument \"" + a + "\"";
        }
        if (!ok) {
            std::fprintf(stderr, "ravo3d: %s\n%s", error.c_str(), kUsage);
            return 2;
        }
    }
    return -1;
}

std::string quoted(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& n : names) out += (out.empty() ? "\"" : ", \"") + n + "\"";
    return out;
}

// SIGHUP: the site file again, checked as --check checks it; applied only
// when it has no problem. One line tells what came of it.
void reload(const Options& opt, const std::string& default_driver, smd::Host& host,
            smd::service::Service& service) {
    service.BeginReload();
    const auto check = smd::service::CheckSiteFile(opt.config, opt.driver, default_driver);
    if (!check.problems.empty()) {
        for (const auto& p : check.problems) log_line(smd::with_priority(smd::kLogWarning, p));
        log_line(smd::with_priority(smd::kLogWarning,
                                    "reload refused: " + opt.config + " has " +
                                        std::to_string(check.problems.size()) +
                                        (check.problems.size() == 1 ? " problem" : " problems") +
                                        " (above); the site runs on unchanged"));
        service.EndReload();
        return;
    }
    if (opt.log_level.empty()) {
        int level = smd::kLogInfo;
        smd::parse_log_level(check.site.log_level, level);
        g_log_level = level;
    }
    smd::ReloadReport r;
    std::string error;
    const bool done = host.Reload(check.site, r, error);
    std::vector<std::string> restart = r.not_applied;
    for (const auto& section : service.SiteReloaded(check.site)) restart.push_back(section);
    std::string text = "reloaded " + opt.config + ":";
    auto part = [&](const char* what, const std::vector<std::string>& names) {
        if (!names.empty()) text += std::string(" ") + what + " " + quoted(names) + ";";
    };
    part("added", r.added);
    part("removed", r.removed);
    if (r.alarms_cleared > 0) {
        text += " " + std::to_string(r.alarms_cleared) + " standing alarm" +
                (r.alarms_cleared == 1 ? "" : "s") + " of units no longer served cleared;";
    }
    part("restarted", r.restarted);
    part("kept", r.kept);
    part("kept with their line reopened", r.reopened);
    for (const auto& why : r.not_loaded) text += " not loaded: " + why + ";";
    if (!restart.empty()) text += " " + quoted(restart) + " changed: applied at the next restart;";
    if (!done) text += " " + error + ";";
    text.pop_back();
    log_line(text);
    service.EndReload();
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (const int rc = parse_args(argc, argv, opt); rc >= 0) return rc;
    // The site file's "driver" runs; this one only for a device that names none.
    const std::string default_driver = smd::DefaultDriverPath();
    if (opt.check) {
        const auto check = smd::service::CheckSiteFile(opt.config, opt.driver, default_driver);
        return smd::service::PrintSiteCheck(check, opt.config, stdout, stderr);
    }
    // Every thread started from here on inherits the blocked signals, so
    // they reach the sigwait below and nothing else.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a client gone mid-answer is an error return, not a death

    // The driver prints diagnostics on standard output every cycle; under
    // systemd that would flood the journal, so it goes to a file or nowhere.
    // Our own log is standard error.
    const std::string sink = opt.driver_log.empty() ? "/dev/null" : opt.driver_log;
    const int out = ::open(sink.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (out < 0 || ::dup2(out, STDOUT_FILENO) < 0) {
        log_line(smd::with_priority(smd::kLogError,
                                    "--driver-log " + sink + ": " + std::strerror(errno)));
        return 1;
    }
    ::close(out);

    std::string error;
    smd::SiteConfig site;
    if (!smd::LoadSiteConfig(opt.config, site, error)) {
        log_line(smd::with_priority(smd::kLogError, error));
        return 1;
    }
    if (site.devices.empty()) {
        log_line(smd::with_priority(smd::kLogError, opt.config + " lists no device"));
        return 1;
    }
    {
        int level = smd::kLogInfo;
        smd::parse_log_level(opt.log_level.empty() ? site.log_level : opt.log_level, level);
        g_log_level = level;
    }

    smd::HostOptions ho;
    ho.driver_override = opt.driver;
    ho.default_driver = default_driver;
    ho.log = log_line;
    ho.capture = opt.capture;
    smd::Host host(ho);
    if (!host.Start(site, error)) {
        log_line(smd::with_priority(smd::kLogError, error));
        return 1;
    }
    smd::service::Service service;
    if (!service.Start(host, site, log_line, error)) {
        log_line(smd::with_priority(smd::kLogError, error));
        host.Stop();
        return 1;
    }
    log_line("running " + std::to_string(site.devices.size()) +
             (site.devices.size() == 1 ? " device from " : " devices from ") + opt.config);

    int sig = 0;
    while (sigwait(&signals, &sig) == 0 && sig == SIGHUP)
        reload(opt, default_driver, host, service);
    log_line(std::string("stopping on ") + (sig == SIGTERM ? "SIGTERM" : "SIGINT"));
    service.Stop();
    host.Stop();
    log_line("stopped");
    return 0;
}

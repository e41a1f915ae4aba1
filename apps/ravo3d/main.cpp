// ravo3d: the site host as a daemon. Runs every device of the site file,
// serves what the site file's sections ask for (HTTP API, metrics, MQTT),
// tells systemd how it is, and stops cleanly on SIGTERM or SIGINT.
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

#include "host/HostTypes.h"
#include "ravo3/Version.h"
#include "runtime/Events.h"
#include "runtime/Host.h"
#include "runtime/LogText.h"
#include "runtime/SiteConfig.h"
#include "service/Service.h"

namespace {

const char* const kUsage =
    "Usage: ravo3d [--config FILE] [--driver FILE] [--driver-log FILE] [--capture FILE]\n"
    "  --config FILE      site file (default /etc/ravo3/site.json)\n"
    "  --driver FILE      driver library for every device, instead of the site file's\n"
    "  --driver-log FILE  append the driver's diagnostic output there (default: dropped)\n"
    "  --capture FILE     append every line's bytes, with their times, to FILE\n"
    "  --log-level LEVEL  error, warning, notice, info (default) or debug (the\n"
    "                     driver's diagnostics); instead of the site's \"log_level\"\n"
    "                     (ravo3-replay plays it back; attach it to a bug report)\n"
    "  --check            read the site file and the service sections, then exit\n"
    "  --version          the program's version\n"
    "  --help             this text\n"
    "Runs until SIGTERM or SIGINT. Exit status: 0 stopped, 1 cannot run, 2 usage.\n";

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
};

int parse_args(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
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
        if (a == "--config") {
            if (!value(o.config)) return 2;
        } else if (a == "--driver") {
            if (!value(o.driver)) return 2;
        } else if (a == "--driver-log") {
            if (!value(o.driver_log)) return 2;
        } else if (a == "--capture") {
            if (!value(o.capture)) return 2;
        } else if (a == "--log-level") {
            int p = 0;
            if (!value(o.log_level) || !smd::parse_log_level(o.log_level, p)) {
                std::fprintf(stderr,
                             "ravo3d: --log-level takes error, warning, notice, info or debug\n");
                return 2;
            }
        } else {
            std::fprintf(stderr, "ravo3d: unknown argument \"%s\"\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (const int rc = parse_args(argc, argv, opt); rc >= 0) {
        if (rc == 2) std::fputs(kUsage, stderr);
        return rc;
    }
    // Every thread started from here on inherits the blocked signals, so
    // they reach the sigwait below and nothing else.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
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
    sigwait(&stop_signals, &sig);
    log_line(std::string("stopping on ") + (sig == SIGTERM ? "SIGTERM" : "SIGINT"));
    service.Stop();
    host.Stop();
    log_line("stopped");
    return 0;
}

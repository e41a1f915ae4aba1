// Line-rate measurement: the host, in this process, polls simulated monitoring
// units (ravo3-sim --pace, one process per line) on pseudo-terminals, and this
// program reports poll durations and periods against the floor the line
// allows, the cost of a lost answer, the line threads' wake-ups and CPU time,
// the process's threads and memory, and the latency of value queries made
// from another thread. Prints Markdown table rows; bench/line_rate.sh runs it.
//
//   ravo3-line-rate --sim PATH --driver PATH --site typical|large
//                   --mode steady|full [--lines N] [--seconds S] [--drop | --late]
//                   [--units N] [--query] [--timeout-ms N] [--row scenario|scale|lost|units]
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "runtime/site/Host.h"
#include "runtime/site/SiteConfig.h"

extern char** environ;

namespace {

struct Options {
    std::string sim, driver, site = "typical", mode = "steady", row = "scenario";
    int lines = 1;
    int units = 1;  // units on each line (one simulator process answering at N addresses)
    int timeout_ms = 0;  // answer_timeout_ms of the site; 0: the default
    double seconds = 20;
    bool drop = false, late = false, query = false;
};

struct Sim {
    pid_t pid = -1;
    std::string path;
};

std::string dir_template() {
    char t[] = "/tmp/ravo3-line-rate-XXXXXX";
    const char* d = ::mkdtemp(t);
    return d ? d : "/tmp";
}

std::string scenario_json(const Options& o) {
    const bool large = o.site == "large";
    const int flag = o.mode == "full" ? 0x11 : 0;
    std::ostringstream s;
    auto repeat = [&](int n, const char* item) {
        for (int i = 0; i < n; ++i) s << (i ? ", " : "") << item;
    };
    s << R"({"ac": {"data_flag": )" << flag << R"(, "units": [)";
    repeat(large ? 2 : 1, R"({"channels": [{}]})");
    s << R"(]}, "rectifier": {"data_flag": )" << flag << R"(, "modules": [)";
    repeat(large ? 24 : 6, "{}");
    s << R"(]}, "dc": {"data_flag": )" << flag << R"(, "units": [)";
    repeat(large ? 4 : 1, "{}");
    s << "]}";
    // Answers to the rectifier analog query lost now and then.
    if (o.drop) s << R"(, "faults": {"drop": {"command": "41/41", "cycles": [6, 9, 12, 15, 18]}})";
    // ... or sent 1.5 s late, past the time-out: the repeat's answer follows.
    if (o.late) {
        s << R"(, "faults": {"delay": {"command": "41/41", "ms": 1500, "cycles": [6, 9, 12, 15, 18]}})";
    }
    s << "}";
    return s.str();
}

Sim spawn_sim(const Options& o, const std::string& scenario) {
    Sim sim;
    int out[2];
    if (::pipe(out) != 0) return sim;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    std::vector<std::string> args = {o.sim, "--pace", "--quiet", "--scenario", scenario,
                                     "--units", std::to_string(o.units)};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&sim.pid, o.sim.c_str(), &fa, nullptr, argv.data(), environ) != 0) {
        sim.pid = -1;
    }
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') sim.path += c;
    ::close(out[0]);
    return sim;
}

std::string site_json(const Options& o, const std::vector<Sim>& sims, const std::string& dir) {
    const bool large = o.site == "large";
    std::ostringstream s;
    s << R"({"lock_dir": ")" << dir << R"(", )";
    if (o.timeout_ms > 0) s << R"("answer_timeout_ms": )" << o.timeout_ms << ", ";
    s << R"("devices": [)";
    for (std::size_t k = 0; k < sims.size() * static_cast<std::size_t>(o.units); ++k) {
        const std::size_t i = k / static_cast<std::size_t>(o.units);
        const unsigned base = 1000 + 10 * static_cast<unsigned>(k);
        s << (k ? ", " : "") << R"({"name": "l)" << k << R"(", "port": ")" << sims[i].path
          << R"(", "address": )" << 1 + k % static_cast<std::size_t>(o.units)
          << R"(, "driver": ")" << o.driver << R"(", "data_id": )" << base
          << R"(, "acSetting": [)";
        for (int a = 0; a < (large ? 2 : 1); ++a) {
            s << (a ? ", " : "") << R"({"data_id": )" << base + 1 + a << "}";
        }
        s << R"(], "dcSetting": [)";
        for (int d = 0; d < (large ? 4 : 1); ++d) {
            s << (d ? ", " : "") << R"({"data_id": )" << base + 3 + d << "}";
        }
        s << R"(], "rcSetting": {}})";
    }
    s << "]}";
    return s.str();
}

std::string read_text(const std::string& path) {
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

long status_field(const std::string& text, const std::string& key) {
    const auto at = text.find(key + ":");
    return at == std::string::npos ? 0 : std::atol(text.c_str() + at + key.size() + 1);
}

struct ThreadSample {
    long switches = 0;          // voluntary and involuntary context switches
    unsigned long long ns = 0;  // time on a CPU
};

// The line threads ("line ..."), by thread id.
std::map<int, ThreadSample> line_threads() {
    std::map<int, ThreadSample> out;
    DIR* d = ::opendir("/proc/self/task");
    if (!d) return out;
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        const std::string base = std::string("/proc/self/task/") + e->d_name;
        if (read_text(base + "/comm").rfind("line ", 0) != 0) continue;
        const std::string st = read_text(base + "/status");
        ThreadSample t;
        // The thread's own waits; preemptions by other work are not wake-ups.
        t.switches = status_field(st, "\nvoluntary_ctxt_switches");
        t.ns = std::strtoull(read_text(base + "/schedstat").c_str(), nullptr, 10);
        out[std::atoi(e->d_name)] = t;
    }
    ::closedir(d);
    return out;
}

double cpu_seconds() {
    rusage r{};
    ::getrusage(RUSAGE_SELF, &r);
    return r.ru_utime.tv_sec + r.ru_stime.tv_sec + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

double pct(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const std::size_t i =
        std::min(v.size() - 1, static_cast<std::size_t>(p * (v.size() - 1) + 0.5));
    return v[i];
}

std::string mmm(const std::vector<double>& v, const char* fmt) {
    char b[128];
    std::snprintf(b, sizeof b, (std::string(fmt) + " / " + fmt + " / " + fmt).c_str(), pct(v, 0),
                  pct(v, 0.5), pct(v, 1));
    return b;
}

struct CycleSample {
    double poll = 0, period = 0, floor = 0;
    bool lost = false;
};

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--sim")
            o.sim = next();
        else if (a == "--driver")
            o.driver = next();
        else if (a == "--site")
            o.site = next();
        else if (a == "--mode")
            o.mode = next();
        else if (a == "--row")
            o.row = next();
        else if (a == "--lines")
            o.lines = std::atoi(next().c_str());
        else if (a == "--units")
            o.units = std::atoi(next().c_str());
        else if (a == "--seconds")
            o.seconds = std::atof(next().c_str());
        else if (a == "--timeout-ms")
            o.timeout_ms = std::atoi(next().c_str());
        else if (a == "--drop")
            o.drop = true;
        else if (a == "--late")
            o.late = true;
        else if (a == "--query")
            o.query = true;
        else {
            std::cerr << "unknown argument " << a << "\n";
            return 2;
        }
    }
    if (o.sim.empty() || o.driver.empty() || o.lines < 1) {
        std::cerr << "usage: ravo3-line-rate --sim PATH --driver PATH [options]\n";
        return 2;
    }
    const std::string dir = dir_template();
    const std::string scenario = dir + "/scenario.json";
    std::ofstream(scenario) << scenario_json(o);
    std::vector<Sim> sims;
    for (int i = 0; i < o.lines; ++i) {
        sims.push_back(spawn_sim(o, scenario));
        if (sims.back().pid < 0 || sims.back().path.empty()) {
            std::cerr << "cannot start " << o.sim << "\n";
            return 1;
        }
    }
    smd::HostOptions ho;
    ho.log = [](const std::string&) {};
    smd::Host host(ho);
    auto queue = host.Events().Subscribe();
    smd::SiteConfig cfg;
    std::string error;
    if (!smd::ParseSiteConfig(site_json(o, sims, dir), dir, cfg, error) ||
        !host.Start(cfg, error)) {
        std::cerr << error << "\n";
        return 1;
    }
    using clock = std::chrono::steady_clock;
    // Warm-up: the model query, the first (full) cycle and one more.
    std::map<std::string, smd::FrameStats> last;
    std::map<std::string, int> seen;
    const auto warm_until = clock::now() + std::chrono::seconds(60);
    auto all_warm = [&] {
        if (static_cast<int>(seen.size()) < o.lines * o.units) return false;
        for (auto& s : seen) {
            if (s.second < 2) return false;
        }
        return true;
    };
    while (!all_warm() && clock::now() < warm_until) {
        smd::HostEvent e;
        if (!queue->Pop(e, std::chrono::milliseconds(200)) || e.initial) continue;
        if (e.kind != smd::HostEvent::Kind::Cycle || e.units.empty()) continue;
        ++seen[e.device];
        last[e.device] = e.frames;
    }
    // Queries from another thread: a DC voltage on the last line, which the
    // host's lookup reaches after taking every line's lock in turn.
    std::atomic<bool> stop{false};
    std::vector<double> query_us;
    std::thread querier;
    if (o.query) {
        querier = std::thread([&] {
            const unsigned id = 1000 + 10 * static_cast<unsigned>(o.lines - 1) + 3;
            while (!stop.load()) {
                const auto t0 = clock::now();
                try {
                    (void)host.GetValue(id, "v");
                } catch (const std::exception&) {
                }
                query_us.push_back(
                    std::chrono::duration<double, std::micro>(clock::now() - t0).count());
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    const auto threads0 = line_threads();
    const double cpu0 = cpu_seconds();
    const auto t0 = clock::now();
    std::vector<CycleSample> samples;
    std::uint64_t cycles = 0;
    const auto until = t0 + std::chrono::duration<double>(o.seconds);
    while (clock::now() < until) {
        smd::HostEvent e;
        if (!queue->Pop(e, std::chrono::milliseconds(100)) || e.initial) continue;
        if (e.kind != smd::HostEvent::Kind::Cycle || e.units.empty()) continue;
        const smd::FrameStats& f = e.frames;
        const smd::FrameStats& p = last[e.device];
        const double bytes =
            static_cast<double>(f.bytes_sent + f.bytes_received - p.bytes_sent - p.bytes_received);
        const double answers = static_cast<double>(f.answers - p.answers);
        CycleSample c;
        c.poll = e.cycle.poll_seconds;
        c.period = e.cycle.period_seconds;
        c.floor = bytes * 10.0 / 9600.0 + 0.020 * answers;
        c.lost = f.timeouts != p.timeouts;
        samples.push_back(c);
        last[e.device] = f;
        ++cycles;
    }
    const double elapsed = std::chrono::duration<double>(clock::now() - t0).count();
    const double cpu = cpu_seconds() - cpu0;
    const auto threads1 = line_threads();
    stop = true;
    if (querier.joinable()) querier.join();
    const std::string status = read_text("/proc/self/status");
    long switches = 0;
    unsigned long long ns = 0;
    for (const auto& t : threads1) {
        const auto b = threads0.find(t.first);
        if (b == threads0.end()) continue;
        switches += t.second.switches - b->second.switches;
        ns += t.second.ns - b->second.ns;
    }
    host.Stop();
    for (const Sim& s : sims) {
        ::kill(s.pid, SIGTERM);
        ::waitpid(s.pid, nullptr, 0);
    }

    std::vector<double> poll_r, period_r, excess_ms, lost_s, normal_poll;
    for (const CycleSample& c : samples) {
        if (c.lost) continue;
        normal_poll.push_back(c.poll);
        poll_r.push_back(c.poll / c.floor);
        if (c.period > 0) {
            period_r.push_back(c.period / std::max(c.floor, 2.0));
            excess_ms.push_back(1000.0 * (c.period - std::max(c.poll, 2.0)));
        }
    }
    const double median_poll = pct(normal_poll, 0.5);
    for (const CycleSample& c : samples) {
        if (c.lost) lost_s.push_back(c.poll - median_poll);
    }
    const double n_cycles = std::max<double>(1, static_cast<double>(cycles));
    const std::string label = o.site + " " + o.mode;
    char b[512];
    if (o.row == "units") {
        std::vector<double> periods;
        for (const CycleSample& c : samples) {
            if (c.period > 0) periods.push_back(c.period);
        }
        std::snprintf(b, sizeof b, "| %s | %d | %llu | %.3f | %s | %.2f |", label.c_str(), o.units,
                      static_cast<unsigned long long>(cycles), pct(normal_poll, 0.5),
                      mmm(periods, "%.2f").c_str(),
                      static_cast<double>(cycles) / elapsed / o.units);
    } else if (o.row == "scenario") {
        std::snprintf(b, sizeof b, "| %s | %llu | %.3f | %.3f | %s | %s | %s | %.1f | %.0f |",
                      label.c_str(), static_cast<unsigned long long>(cycles), pct(normal_poll, 0.5),
                      pct(samples.empty() ? std::vector<double>{} : [&] {
                          std::vector<double> v;
                          for (auto& c : samples) v.push_back(c.floor);
                          return v;
                      }(), 0.5),
                      mmm(poll_r, "%.4f").c_str(), mmm(period_r, "%.4f").c_str(),
                      mmm(excess_ms, "%.0f").c_str(), switches / n_cycles, ns / 1e3 / n_cycles);
    } else if (o.row == "lost") {
        std::snprintf(b, sizeof b, "| %s, 41/41 answers %s, answer_timeout_ms %d | %zu | %s |",
                      label.c_str(), o.late ? "1.5 s late" : "dropped",
                      o.timeout_ms > 0 ? o.timeout_ms : 1000, lost_s.size(),
                      mmm(lost_s, "%.3f").c_str());
    } else {
        std::string q = "–";
        if (o.query && !query_us.empty()) {
            char qb[128];
            std::snprintf(qb, sizeof qb, "%.1f / %.1f / %.1f (%zu)", pct(query_us, 0.5),
                          pct(query_us, 0.99), pct(query_us, 1), query_us.size());
            q = qb;
        }
        std::snprintf(b, sizeof b,
                      "| %d | %llu | %s | %s | %.1f | %.0f | %.2f %% | %.2f %% | %ld | %.1f | %s |",
                      o.lines, static_cast<unsigned long long>(cycles), mmm(poll_r, "%.3f").c_str(),
                      mmm(excess_ms, "%.0f").c_str(), switches / n_cycles, ns / 1e3 / n_cycles,
                      100.0 * ns / 1e9 / elapsed, 100.0 * cpu / elapsed,
                      status_field(status, "Threads"), status_field(status, "VmRSS") / 1024.0,
                      q.c_str());
    }
    std::cout << b << std::endl;
    return 0;
}

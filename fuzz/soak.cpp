// ravo3-soak: the host against the simulated unit for many cycles, with the
// 20 ms answer pause skipped and the wall clock run faster (so the 2-second
// hold-off between cycles passes in milliseconds), sampling the process's
// resident memory, open descriptors and threads as it goes. Memory and
// descriptors that keep growing over thousands of cycles are a leak that a
// site would only find after weeks. allocs/cycle counts every allocation of
// the process (the in-process simulator's included) between two samples.
//
//   ravo3-soak [--cycles N] [--every N] [--speed X] [--scenario FILE] [--db FILE]
#include <dirent.h>
#include <unistd.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "bench/CountingNew.h"
#include "host/HostTypes.h"
#include "runtime/site/Host.h"
#include "sim/Scenario.h"
#include "sim/Server.h"

namespace {

long resident_kib() {
    std::ifstream in("/proc/self/statm");
    long size = 0, resident = 0;
    in >> size >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

int count_dir(const char* path) {
    int n = 0;
    if (DIR* d = ::opendir(path)) {
        while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

long file_kib(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    return in ? static_cast<long>(in.tellg()) / 1024 : 0;
}

struct Options {
    std::uint64_t cycles = 10000;
    std::uint64_t every = 1000;
    double speed = 100;
    std::string scenario = std::string(RAVO3_SOURCE_DIR) + "/examples/scenario.json";
    std::string db;
};

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) return false;
        const std::string v = argv[++i];
        if (a == "--cycles") {
            o.cycles = std::strtoull(v.c_str(), nullptr, 10);
        } else if (a == "--every") {
            o.every = std::strtoull(v.c_str(), nullptr, 10);
        } else if (a == "--speed") {
            o.speed = std::strtod(v.c_str(), nullptr);
        } else if (a == "--scenario") {
            o.scenario = v;
        } else if (a == "--db") {
            o.db = v;
        } else {
            return false;
        }
    }
    return o.cycles > 0 && o.every > 0 && o.speed >= 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!parse(argc, argv, opt)) {
        std::cerr << "usage: ravo3-soak [--cycles N] [--every N] [--speed X] [--scenario FILE] "
                     "[--db FILE]\n";
        return 2;
    }
    // The table goes where standard output went; the driver's own lines to
    // standard output go nowhere.
    FILE* table = ::fdopen(::dup(STDOUT_FILENO), "w");
    if (!table || !std::freopen("/dev/null", "w", stdout)) return 1;
    std::string tmpdir;
    if (opt.db.empty()) {
        char dir[] = "/tmp/ravo3-soak-XXXXXX";
        if (!::mkdtemp(dir)) return 1;
        tmpdir = dir;
        opt.db = tmpdir + "/history.db";
    }
    // The wall clock runs `speed` times faster than the steady one.
    const auto real_start = std::chrono::steady_clock::now();
    const auto wall_start = boost::posix_time::second_clock::local_time();
    const double speed = opt.speed;
    smd::set_local_clock([=] {
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now() - real_start)
                            .count();
        return wall_start + boost::posix_time::seconds(static_cast<long>(us * speed / 1e6));
    });
    smd::set_pause([](unsigned) {});

    sim::Server server(sim::LoadScenarioFile(opt.scenario));
    if (!server.Start()) {
        std::cerr << "ravo3-soak: simulator: " << server.Error() << "\n";
        return 1;
    }
    smd::SiteConfig site;
    site.history_db = opt.db;
    site.history_retention = 3000;  // the table stays bounded too
    site.event_retention = 3000;
    site.poll_period_ms = 5;
    smd::DeviceConfig d;
    d.name = "soak";
    d.port = server.Path();
    d.driver = RAVO3_PLUGIN_PATH;
    d.data_id = 1000;
    d.settings["data_id"] = 1000;
    d.settings["acSetting"][0]["data_id"] = 1001;
    d.settings["dcSetting"][0]["data_id"] = 1002;
    d.settings["rcSetting"] = Json::Value(Json::objectValue);
    site.devices.push_back(d);

    std::mutex log_mutex;
    std::vector<std::string> log;
    smd::HostOptions ho;
    ho.log = [&](const std::string& s) {
        std::lock_guard<std::mutex> lock(log_mutex);
        if (log.size() < 50) log.push_back(s);
    };
    smd::Host host(ho);
    auto queue = host.Events().Subscribe();
    std::string error;
    if (!host.Start(site, error)) {
        std::cerr << "ravo3-soak: " << error << "\n";
        return 1;
    }
    std::fprintf(table, "%10s %10s %8s %5s %8s %8s %8s %12s\n", "cycles", "seconds", "rss_kib",
                 "fds", "threads", "db_kib", "alarms", "allocs/cycle");
    std::uint64_t cycles = 0, alarms = 0;
    std::uint64_t last_cycles = 0, last_allocs = counting_new::allocations.load();
    const auto t0 = std::chrono::steady_clock::now();
    auto sample = [&] {
        const double secs =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const std::uint64_t allocs = counting_new::allocations.load();
        const double per_cycle = cycles > last_cycles
                                     ? static_cast<double>(allocs - last_allocs) /
                                           static_cast<double>(cycles - last_cycles)
                                     : 0.0;
        last_cycles = cycles;
        last_allocs = allocs;
        std::fprintf(table, "%10llu %10.1f %8ld %5d %8d %8ld %8llu %12.1f\n",
                     static_cast<unsigned long long>(cycles), secs, resident_kib(),
                     count_dir("/proc/self/fd"), count_dir("/proc/self/task"),
                     file_kib(opt.db) + file_kib(opt.db + "-wal"),
                     static_cast<unsigned long long>(alarms), per_cycle);
        std::fflush(table);
    };
    sample();
    int quiet_seconds = 0;
    while (cycles < opt.cycles && quiet_seconds < 30) {
        smd::HostEvent e;
        if (!queue->Pop(e, std::chrono::milliseconds(1000))) {
            ++quiet_seconds;
            continue;
        }
        quiet_seconds = 0;
        if (e.initial) continue;
        if (e.kind == smd::HostEvent::Kind::AlarmRaised ||
            e.kind == smd::HostEvent::Kind::AlarmCleared) {
            ++alarms;
        }
        if (e.kind == smd::HostEvent::Kind::Cycle && !e.units.empty() && !e.units[0].replayed) {
            if (++cycles % opt.every == 0) sample();
        }
    }
    host.Stop();
    server.Stop();
    if (cycles < opt.cycles) {
        std::cerr << "ravo3-soak: the line went quiet after " << cycles << " cycles\n";
        for (const auto& l : log) std::cerr << "  " << l << "\n";
        return 1;
    }
    if (!tmpdir.empty()) {
        for (const char* s : {"", "-wal", "-shm"}) std::remove((opt.db + s).c_str());
        ::rmdir(tmpdir.c_str());
    }
    return 0;
}

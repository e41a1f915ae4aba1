#include "runtime/capture/Replay.h"

#include <algorithm>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <chrono>
#include <map>
#include <thread>

#include "runtime/store/ProvenanceCodec.h"

namespace smd {
namespace {

// The clock that the seams read while a replay runs.
ReplayClock* g_clock = nullptr;

}  // namespace

ReplayClock::ReplayClock(std::int64_t wall_micros) : wall_us_(wall_micros) {
    g_clock = this;
    set_steady_clock([] { return g_clock->Now(); });
    set_local_clock([] {
        const std::int64_t us = g_clock->wall_us_ + (g_clock->now_us_ - 1000000000);
        return boost::posix_time::ptime(boost::gregorian::date(1970, 1, 1)) +
               boost::posix_time::seconds(us / 1000000);
    });
    set_pause([](unsigned int micros) {
        if (g_clock->realtime_) std::this_thread::sleep_for(std::chrono::microseconds(micros));
        g_clock->now_us_ += micros;
    });
}

ReplayClock::~ReplayClock() {
    set_steady_clock(nullptr);
    set_local_clock(nullptr);
    set_pause(nullptr);
    g_clock = nullptr;
}

void ReplayClock::AdvanceTo(std::int64_t ms) {
    const std::int64_t us = ms * 1000;
    if (us <= now_us_) return;
    if (realtime_) std::this_thread::sleep_for(std::chrono::microseconds(us - now_us_));
    now_us_ = us;
}

ReplayPort::ReplayPort(std::string path, std::vector<capture::Record> records,
                       const ReplayClock& clock, std::int64_t origin_ms)
    : path_(std::move(path)), records_(std::move(records)), clock_(clock), offset_ms_(origin_ms) {}

std::int64_t ReplayPort::NextDueMillis() const {
    for (std::size_t i = at_; i < records_.size(); ++i) {
        const capture::Kind k = records_[i].kind;
        // A send is the host's to make; what comes after it waits for it.
        if (k == capture::Kind::Sent) return -1;
        if (k == capture::Kind::Received || k == capture::Kind::Lost ||
            (!open_ && (k == capture::Kind::Opened || k == capture::Kind::OpenFailed))) {
            return Due(records_[i]);
        }
    }
    return -1;
}

bool ReplayPort::Open() {
    // Up to the next outcome of an opening: the host asks when it did then.
    while (at_ < records_.size()) {
        const capture::Record& r = records_[at_];
        if (r.kind == capture::Kind::Opened) {
            ++at_;
            open_ = true;
            paced_ = !r.bytes.empty() && (r.bytes[0] & 1) != 0;
            error_.clear();
            return true;
        }
        if (r.kind == capture::Kind::OpenFailed) {
            ++at_;
            fault_ =
                static_cast<LineFault>(std::min<int>(r.fault, static_cast<int>(LineFault::Lost)));
            error_.assign(r.bytes.begin(), r.bytes.end());
            return false;
        }
        ++at_;  // what a closed line carried cannot be played
    }
    error_ = path_ + ": the capture ends here";
    fault_ = LineFault::Missing;
    return false;
}

int ReplayPort::Write(const unsigned char* data, unsigned int len, EnumParity) {
    if (!open_) return -1;
    // The recorded send next in order (bytes the unit sent before it are late by now).
    std::size_t i = at_;
    while (i < records_.size() && records_[i].kind == capture::Kind::Received) ++i;
    if (i < records_.size() && records_[i].kind == capture::Kind::Sent) {
        const capture::Record& s = records_[i];
        if (s.bytes.size() != len || !std::equal(s.bytes.begin(), s.bytes.end(), data)) {
            if (mismatches_++ == 0) {
                first_mismatch_ = "sent " + hex_text(std::vector<unsigned char>(data, data + len)) +
                                  " where the capture has " + hex_text(s.bytes);
            }
        }
        at_ = i + 1;
        // What follows is timed from this send, as the unit answered it then.
        offset_ms_ = clock_.Now() - s.micros / 1000;
    } else if (mismatches_++ == 0) {
        first_mismatch_ = "a command the capture does not have at that point";
    }
    return static_cast<int>(len);
}

int ReplayPort::Read(unsigned char* buf, unsigned int cap, int) {
    if (!open_) return -1;
    unsigned int n = 0;
    while (at_ < records_.size()) {
        const capture::Record& r = records_[at_];
        if (r.kind == capture::Kind::Closed) {
            ++at_;
            continue;
        }
        if (Due(r) > clock_.Now()) break;
        if (r.kind == capture::Kind::Lost) {
            if (n > 0) break;
            ++at_;
            open_ = false;
            fault_ = LineFault::Lost;
            error_.assign(r.bytes.begin(), r.bytes.end());
            return -1;
        }
        if (r.kind != capture::Kind::Received || n + r.bytes.size() > cap) break;
        std::copy(r.bytes.begin(), r.bytes.end(), buf + n);
        n += static_cast<unsigned int>(r.bytes.size());
        ++at_;
    }
    return static_cast<int>(n);
}

bool RunReplay(const capture::Session& session, SiteConfig site, const ReplayOptions& options,
               std::string& error, std::uint64_t* mismatches) {
    ReplayClock clock(session.wall_micros);
    clock.SetRealtime(options.realtime);
    const std::int64_t origin = clock.Now();
    std::map<std::string, std::shared_ptr<ReplayPort>> ports;
    site.history_db.clear();  // a replay never writes a site's history
    for (auto& d : site.devices) d.capture.clear();
    HostOptions ho;
    ho.driver_override = options.driver;
    ho.manual_lines = true;
    ho.log = options.log ? options.log : [](const std::string&) {};
    std::string missing;
    std::size_t order = 0;
    ho.port_factory = [&](const std::string& port, std::int64_t) -> std::shared_ptr<LinePort> {
        // The line of that name, else the one in the same place (a simulated
        // run's ports are made anew each time).
        std::size_t line = session.lines.size();
        for (std::size_t i = 0; i < session.lines.size(); ++i) {
            if (session.lines[i] == port) line = i;
        }
        if (line == session.lines.size() && order < session.lines.size()) line = order;
        ++order;
        std::vector<capture::Record> records;
        if (line < session.lines.size()) {
            for (const auto& r : session.records) {
                if (r.line == line) records.push_back(r);
            }
        } else {
            missing = port;
        }
        auto p = std::make_shared<ReplayPort>(port, std::move(records), clock, origin);
        ports[port] = p;
        return p;
    };
    Host host(ho);
    auto queue = host.Events().Subscribe();
    if (!host.Start(std::move(site), error)) return false;
    if (!missing.empty()) {
        error = "the capture has no line \"" + missing + "\"";
        host.Stop();
        return false;
    }
    auto drain = [&] {
        HostEvent e;
        while (queue->TryPop(e)) {
            if (!e.initial && options.on_event) options.on_event(e);
        }
    };
    drain();
    const std::vector<DriverLoop*> loops = host.Loops();
    int idle = 0;
    std::int64_t last_now = -1;
    for (;;) {
        std::int64_t next = -1;
        for (DriverLoop* loop : loops) {
            const std::int64_t wait = loop->Step();
            const std::int64_t at = clock.Now() + std::max<std::int64_t>(wait, 0);
            next = next < 0 ? at : std::min(next, at);
        }
        drain();
        bool done = true;
        for (const auto& [name, p] : ports) {
            (void)name;
            if (!p->Done()) done = false;
            const std::int64_t due = p->NextDueMillis();
            if (due >= 0) next = std::min(next, std::max(due, clock.Now()));
        }
        if (done) break;
        // A turn that found nothing to do at the same time: time must move on.
        if (next <= clock.Now()) {
            if (clock.Now() == last_now && ++idle > 64) {
                next = clock.Now() + 1;
                idle = 0;
            }
        } else {
            idle = 0;
        }
        last_now = clock.Now();
        clock.AdvanceTo(next);
    }
    // The last answers' work, then the events it made.
    for (DriverLoop* loop : loops) loop->Step();
    host.Stop();
    drain();
    std::uint64_t m = 0;
    for (const auto& [name, p] : ports) {
        (void)name;
        m += p->Mismatches();
        if (p->Mismatches() > 0 && options.log) {
            options.log(p->Path() + ": " + std::to_string(p->Mismatches()) +
                        " commands differ from the capture; first: " + p->FirstMismatch());
        }
    }
    if (mismatches) *mismatches = m;
    return true;
}

}  // namespace smd

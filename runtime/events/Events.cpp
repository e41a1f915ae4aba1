#include "runtime/events/Events.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

namespace smd {

const char* line_state_name(LineState s) {
    switch (s) {
        case LineState::Starting:
            return "starting";
        case LineState::Answering:
            return "answering";
        case LineState::NotAnswering:
            return "not_answering";
        case LineState::PortMissing:
            return "port_missing";
        case LineState::PortBusy:
            return "port_busy";
        case LineState::HostUnreachable:
            return "host_unreachable";
        case LineState::ConnectionRefused:
            return "connection_refused";
        case LineState::ConnectionLost:
            return "connection_lost";
        case LineState::Stopped:
            return "stopped";
    }
    return "unknown";
}

const char* event_kind_name(HostEvent::Kind k) {
    switch (k) {
        case HostEvent::Kind::Cycle:
            return "cycle";
        case HostEvent::Kind::AlarmRaised:
            return "alarm_raised";
        case HostEvent::Kind::AlarmCleared:
            return "alarm_cleared";
        case HostEvent::Kind::Line:
            return "line";
        case HostEvent::Kind::Removed:
            return "device_removed";
    }
    return "unknown";
}

std::string iso8601(const boost::posix_time::ptime& local) {
    if (local.is_special()) return std::string();
    const auto d = local.date();
    const auto t = local.time_of_day();
    std::tm tm{};
    tm.tm_year = static_cast<int>(d.year()) - 1900;
    tm.tm_mon = static_cast<int>(d.month()) - 1;
    tm.tm_mday = static_cast<int>(d.day());
    tm.tm_hour = static_cast<int>(t.hours());
    tm.tm_min = static_cast<int>(t.minutes());
    tm.tm_sec = static_cast<int>(t.seconds());
    tm.tm_isdst = -1;
    // The offset in force at that local time (mktime fills tm_gmtoff).
    long offset = 0;
    std::tm probe = tm;
    {
        // mktime re-reads the time zone each call, rewriting libc's copy of
        // its name: calls from several threads must not overlap.
        static std::mutex tz_mutex;
        std::lock_guard<std::mutex> lock(tz_mutex);
        if (std::mktime(&probe) != static_cast<std::time_t>(-1)) offset = probe.tm_gmtoff;
    }
    char sign = offset < 0 ? '-' : '+';
    const long a = offset < 0 ? -offset : offset;
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, sign, a / 3600,
                  (a % 3600) / 60);
    return buf;
}

bool EventQueue::Push(const HostEvent& e) {
    bool dropped = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return false;
        if (events_.size() >= capacity_) {
            // Drop the oldest cycle event, preferably of the same device: a
            // newer one carries the values that matter.
            auto victim = events_.end();
            for (auto it = events_.begin(); it != events_.end(); ++it) {
                if (it->kind != HostEvent::Kind::Cycle) continue;
                if (victim == events_.end()) victim = it;
                if (it->device == e.device) {
                    victim = it;
                    break;
                }
            }
            if (victim != events_.end()) {
                events_.erase(victim);
                ++dropped_;
                dropped = true;
            } else if (e.kind == HostEvent::Kind::Cycle) {
                ++dropped_;  // nothing but alarms and line changes queued: they stay
                return true;
            }
        }
        events_.push_back(e);
    }
    cv_.notify_one();
    return dropped;
}

double values_age_seconds(const boost::posix_time::ptime& values_time,
                          const boost::posix_time::ptime& now) {
    if (values_time.is_special() || now.is_special()) return std::nan("");
    return static_cast<double>((now - values_time).total_seconds());
}

boost::posix_time::ptime values_time(const HostEvent& cycle) {
    boost::posix_time::ptime oldest;
    for (const UnitValues& u : cycle.units) {
        if (!u.replayed) return cycle.time;
        if (!u.stored.is_special() && (oldest.is_special() || u.stored < oldest)) oldest = u.stored;
    }
    return oldest.is_special() ? cycle.time : oldest;
}

bool values_fresh(const LineStatus& line, const boost::posix_time::ptime& values_time,
                  const boost::posix_time::ptime& now) {
    if (line.state != LineState::Answering || line.comm_lost) return false;
    const double age = values_age_seconds(values_time, now);
    // A clock set back by as much makes them as untrustworthy as old ones.
    return std::isfinite(age) && age < line.stale_after_s && age > -line.stale_after_s;
}

bool values_timed_out(const boost::posix_time::ptime& values_time,
                      const boost::posix_time::ptime& now) {
    const double age = values_age_seconds(values_time, now);
    return std::isfinite(age) && (age >= kUnitTimeoutSeconds || age <= -kUnitTimeoutSeconds);
}

void EventQueue::Prime(HostEvent e) {
    std::lock_guard<std::mutex> lock(mutex_);
    e.initial = true;
    events_.push_back(std::move(e));
}

bool EventQueue::Pop(HostEvent& out, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, timeout, [this] { return !events_.empty() || closed_; })) return false;
    if (events_.empty()) return false;
    out = std::move(events_.front());
    events_.pop_front();
    return true;
}

bool EventQueue::TryPop(HostEvent& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (events_.empty()) return false;
    out = std::move(events_.front());
    events_.pop_front();
    return true;
}

std::uint64_t EventQueue::Dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

std::size_t EventQueue::Size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.size();
}

void EventQueue::Close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    cv_.notify_all();
}

bool EventQueue::Closed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

bool same_point(const ActiveAlarm& a, const ActiveAlarm& b) {
    return a.data_id == b.data_id && a.device_type == b.device_type && a.key == b.key &&
           a.detail == b.detail;
}

void EventBus::Declare(const std::string& device, const LineStatus& status) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::find(order_.begin(), order_.end(), device) == order_.end()) order_.push_back(device);
    state_.lines[device] = status;
}

void EventBus::RestoreAlarms(const std::vector<ActiveAlarm>& alarms,
                             const std::function<std::string(const ActiveAlarm&)>& device_of) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const ActiveAlarm& a : alarms) {
        HostEvent e;
        e.kind = HostEvent::Kind::AlarmRaised;
        e.time = a.since;
        e.alarm = a;
        e.device = device_of ? device_of(a) : std::string();
        e.seq = state_.seq;
        auto& v = state_.alarms;
        v.erase(std::remove_if(v.begin(), v.end(),
                               [&](const HostEvent& x) { return same_point(x.alarm, a); }),
                v.end());
        v.push_back(std::move(e));
    }
}

void EventBus::Retain(const HostEvent& e) {
    state_.seq = e.seq;
    if (std::find(order_.begin(), order_.end(), e.device) == order_.end()) {
        order_.push_back(e.device);
    }
    switch (e.kind) {
        case HostEvent::Kind::Cycle:
            state_.cycles[e.device] = e;
            state_.lines[e.device] = e.line;
            break;
        case HostEvent::Kind::Line:
            state_.lines[e.device] = e.line;
            break;
        case HostEvent::Kind::AlarmRaised: {
            auto& v = state_.alarms;
            v.erase(
                std::remove_if(v.begin(), v.end(),
                               [&](const HostEvent& a) { return same_point(a.alarm, e.alarm); }),
                v.end());
            v.push_back(e);
            break;
        }
        case HostEvent::Kind::AlarmCleared: {
            auto& v = state_.alarms;
            v.erase(
                std::remove_if(v.begin(), v.end(),
                               [&](const HostEvent& a) { return same_point(a.alarm, e.alarm); }),
                v.end());
            break;
        }
        case HostEvent::Kind::Removed:
            order_.erase(std::remove(order_.begin(), order_.end(), e.device), order_.end());
            state_.lines.erase(e.device);
            state_.cycles.erase(e.device);
            break;
    }
}

void EventBus::Remove(const std::string& device) {
    HostEvent e;
    e.kind = HostEvent::Kind::Removed;
    e.device = device;
    e.time = local_time();
    Publish(std::move(e));
}

void EventBus::Publish(HostEvent e) {
    std::vector<std::shared_ptr<EventQueue>> targets;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        e.seq = state_.seq + 1;
        e.initial = false;
        Retain(e);
        for (auto it = queues_.begin(); it != queues_.end();) {
            if (auto q = it->lock()) {
                targets.push_back(std::move(q));
                ++it;
            } else {
                it = queues_.erase(it);
            }
        }
        // Pushed under the bus lock so that every queue sees one order.
        for (auto& q : targets) dropped_cycles_ += q->Push(e) ? 1 : 0;
    }
}

std::shared_ptr<EventQueue> EventBus::Subscribe() {
    auto q = std::make_shared<EventQueue>(capacity_);
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& device : order_) {
        auto line = state_.lines.find(device);
        // The last cycle first, carrying the line as it is now (not as it was
        // when that cycle ran), then the line itself: a consumer that takes
        // the later of the two sees the present either way.
        auto cycle = state_.cycles.find(device);
        if (cycle != state_.cycles.end()) {
            HostEvent e = cycle->second;
            if (line != state_.lines.end()) e.line = line->second;
            q->Prime(std::move(e));
        }
        if (line != state_.lines.end()) {
            HostEvent e;
            e.kind = HostEvent::Kind::Line;
            e.seq = state_.seq;
            e.device = device;
            e.time = line->second.since;
            e.line = line->second;
            q->Prime(std::move(e));
        }
    }
    for (const HostEvent& a : state_.alarms) {
        HostEvent e = a;
        q->Prime(std::move(e));
    }
    queues_.push_back(q);
    return q;
}

void EventBus::Unsubscribe(const std::shared_ptr<EventQueue>& q) {
    if (!q) return;
    q->Close();
    std::lock_guard<std::mutex> lock(mutex_);
    queues_.erase(std::remove_if(queues_.begin(), queues_.end(),
                                 [&](const std::weak_ptr<EventQueue>& w) {
                                     auto s = w.lock();
                                     return !s || s == q;
                                 }),
                  queues_.end());
}

std::size_t EventBus::Consumers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = 0;
    for (const auto& w : queues_) n += w.expired() ? 0 : 1;
    return n;
}

std::uint64_t EventBus::DroppedCycles() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_cycles_;
}

SiteState EventBus::State() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

ConsumerThread::ConsumerThread(EventBus& bus, std::shared_ptr<EventConsumer> consumer)
    : bus_(bus), consumer_(std::move(consumer)), queue_(bus_.Subscribe()) {
    thread_ = std::thread([this] {
        using clock = std::chrono::steady_clock;
        auto last_idle = clock::now();
        HostEvent e;
        while (!queue_->Closed()) {
            if (queue_->Pop(e, std::chrono::milliseconds(1000))) consumer_->OnEvent(e);
            const auto now = clock::now();
            if (now - last_idle >= std::chrono::seconds(1)) {
                last_idle = now;
                consumer_->OnIdle();
            }
        }
    });
}

ConsumerThread::~ConsumerThread() {
    Stop();
}

void ConsumerThread::Stop() {
    bus_.Unsubscribe(queue_);
    if (thread_.joinable()) thread_.join();
}

}  // namespace smd

#include "service/systemd/Notifier.h"

#include <systemd/sd-daemon.h>

#include <chrono>
#include <cstdlib>

#include "service/view/SiteView.h"

namespace smd::service {

Notifier::Notifier(Context& ctx, std::uint64_t watchdog_usec)
    : host_(ctx.host), view_(*ctx.view), log_(ctx.log), watchdog_usec_(watchdog_usec) {}

Notifier::~Notifier() {
    Stop();
}

std::string Notifier::StatusText(const SiteView& view) {
    const SiteSnapshot snap = view.Snapshot();
    std::map<std::string, int> by_state;
    for (const auto& d : snap.devices) ++by_state[line_state_name(d.line.state)];
    std::string text =
        std::to_string(snap.devices.size()) + (snap.devices.size() == 1 ? " line:" : " lines:");
    bool first = true;
    for (const auto& [state, n] : by_state) {
        text += (first ? " " : ", ") + state + " " + std::to_string(n);
        first = false;
    }
    text += "; " + std::to_string(snap.alarms.size()) + " alarms standing";
    return text;
}

bool Notifier::LinesAlive(std::string& stuck) {
    bool alive = true;
    for (const LineBeat& b : host_.LineHeartbeats()) {
        auto it = last_beats_.find(b.device);
        const bool moved = it == last_beats_.end() || it->second != b.beats;
        if (!b.running || !moved) {
            alive = false;
            stuck += (stuck.empty() ? "" : ", ") + b.device;
        }
        last_beats_[b.device] = b.beats;
    }
    return alive;
}

bool Notifier::Start(std::string&) {
    // The first look only records the counts.
    std::string ignored;
    LinesAlive(ignored);
    sd_notifyf(0, "READY=1\nSTATUS=%s", StatusText(view_).c_str());
    if (watchdog_usec_ > 0) sd_notify(0, "WATCHDOG=1");
    thread_ = std::thread([this] { Run(); });
    return true;
}

void Notifier::Run() {
    // Half the watchdog interval, so that one late look does not miss a ping;
    // STATUS alone is refreshed every few seconds.
    const auto period = watchdog_usec_ > 0 ? std::chrono::microseconds(watchdog_usec_ / 2)
                                           : std::chrono::microseconds(5000000);
    std::string last_status;
    bool reported = false;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        cv_.wait_for(lock, period, [this] { return stop_; });
        if (stop_) break;
        lock.unlock();
        const std::string status = StatusText(view_);
        if (status != last_status) {
            sd_notifyf(0, "STATUS=%s", status.c_str());
            last_status = status;
        }
        if (watchdog_usec_ > 0) {
            std::string stuck;
            if (LinesAlive(stuck)) {
                sd_notify(0, "WATCHDOG=1");
                reported = false;
            } else if (!reported) {
                log_("line thread stuck (" + stuck + "): watchdog pings withheld");
                reported = true;
            }
        }
        lock.lock();
    }
}

void Notifier::Reloading() {
    sd_notifyf(
        0, "RELOADING=1\nMONOTONIC_USEC=%llu",
        static_cast<unsigned long long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                            std::chrono::steady_clock::now().time_since_epoch())
                                            .count()));
}

void Notifier::Reloaded() {
    sd_notifyf(0, "READY=1\nSTATUS=%s", StatusText(view_).c_str());
}

void Notifier::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_) return;
        stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
        sd_notify(0, "STOPPING=1");
    }
}

std::unique_ptr<Component> MakeNotifier(Context& ctx, std::string&) {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    if (!socket || !*socket) return nullptr;
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0) usec = 0;
    return std::make_unique<Notifier>(ctx, usec);
}

}  // namespace smd::service

#include "service/view/SiteView.h"

#include <algorithm>

namespace smd::service {

DeviceView& SiteView::Device(const std::string& name) {
    for (auto& d : state_.devices) {
        if (d.name == name) return d;
    }
    state_.devices.push_back(DeviceView{name, LineStatus(), nullptr});
    return state_.devices.back();
}

void SiteView::OnEvent(const HostEvent& e) {
    // Built outside the lock: a cycle event carries every value of the line.
    std::shared_ptr<const HostEvent> cycle;
    if (e.kind == HostEvent::Kind::Cycle) cycle = std::make_shared<const HostEvent>(e);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto& alarms = state_.alarms;
        switch (e.kind) {
            case HostEvent::Kind::Cycle: {
                DeviceView& d = Device(e.device);
                d.line = e.line;
                d.cycle = std::move(cycle);
                break;
            }
            case HostEvent::Kind::Line:
                Device(e.device).line = e.line;
                break;
            case HostEvent::Kind::AlarmRaised:
            case HostEvent::Kind::AlarmCleared:
                alarms.erase(std::remove_if(
                                 alarms.begin(), alarms.end(),
                                 [&](const HostEvent& a) { return same_point(a.alarm, e.alarm); }),
                             alarms.end());
                if (e.kind == HostEvent::Kind::AlarmRaised) alarms.push_back(e);
                break;
            case HostEvent::Kind::Removed: {
                auto& v = state_.devices;
                v.erase(std::remove_if(v.begin(), v.end(),
                                       [&](const DeviceView& d) { return d.name == e.device; }),
                        v.end());
                break;
            }
        }
        state_.seq = std::max(state_.seq, e.seq);
    }
    cv_.notify_all();
}

SiteSnapshot SiteView::Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

bool SiteView::WaitFor(std::uint64_t seq, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return state_.seq >= seq; });
}

}  // namespace smd::service

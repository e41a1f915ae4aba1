// The site as the event stream has told it so far: each device's line and
// its last cycle (the values of every unit), and the standing alarms. Kept on
// a consumer thread of its own, so readers (HTTP requests, scrapes) take no
// lock that a line thread or the host's worker ever waits for.
#pragma once

#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/events/Events.h"

namespace smd::service {

struct DeviceView {
    std::string name;
    LineStatus line;
    std::shared_ptr<const HostEvent> cycle;  // the last cycle event; null: none yet

    // Whether the device's values count as current at `now` (values_fresh).
    bool Fresh(const boost::posix_time::ptime& now) const {
        return cycle && values_fresh(line, values_time(*cycle), now);
    }
    // Seconds since the values were measured; NaN without values.
    double Age(const boost::posix_time::ptime& now) const {
        return cycle ? values_age_seconds(values_time(*cycle), now) : std::nan("");
    }
};

struct SiteSnapshot {
    std::vector<DeviceView> devices;  // in the order the stream named them
    std::vector<HostEvent> alarms;    // standing, oldest first
    std::uint64_t seq = 0;            // the last event taken in
};

class SiteView : public EventConsumer {
  public:
    void OnEvent(const HostEvent& e) override;
    SiteSnapshot Snapshot() const;
    // Waits up to `timeout` until an event with a sequence number of at
    // least `seq` has been taken in.
    bool WaitFor(std::uint64_t seq, std::chrono::milliseconds timeout) const;

  private:
    DeviceView& Device(const std::string& name);

    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    SiteSnapshot state_;
};

}  // namespace smd::service

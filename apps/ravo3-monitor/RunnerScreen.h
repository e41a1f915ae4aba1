// What the runner knows of the site, built only from the host's event stream
// (lines, cycles with their values, alarms raised and cleared), and the
// console screen drawn from it.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/events/Events.h"

namespace monitor {

struct DeviceView {
    std::string name;
    std::string port;
    bool enabled = true;
    std::string load_error;  // the device could not be loaded
    smd::LineStatus line;
    bool have_values = false;
    smd::HostEvent last;       // the last cycle event (replayed values before the first cycle)
    std::uint64_t cycles = 0;  // cycles completed during this run
    std::string hint;          // what to check while the line is down
};

struct AlarmView {
    std::string device;
    smd::ActiveAlarm alarm;
};

// What applying an event changed, for the JSON lines.
struct Applied {
    bool new_cycle = false;     // a completed cycle (not replayed values)
    bool line_changed = false;  // the line's state or its communication-lost flag
    DeviceView* device = nullptr;
};

// What the runner's screen and JSON lines show of the site (not the service's
// snapshot, smd::service::SiteView): devices, their last cycles, standing alarms.
class RunnerScreen {
  public:
    void AddDevice(DeviceView d) { devices_.push_back(std::move(d)); }
    // Events of devices not added are ignored. Idempotent for the alarm
    // events of a late subscriber's initial state.
    Applied Apply(const smd::HostEvent& e);
    const std::vector<DeviceView>& Devices() const { return devices_; }
    std::vector<DeviceView>& Devices() { return devices_; }
    const std::vector<AlarmView>& Alarms() const { return alarms_; }
    std::vector<smd::ActiveAlarm> AlarmsOf(const std::string& device) const;
    DeviceView* Find(const std::string& name);

  private:
    std::vector<DeviceView> devices_;
    std::vector<AlarmView> alarms_;  // standing, oldest first
};

struct ScreenContext {
    boost::posix_time::ptime now;  // local
    int rows = 24;                 // 0: as many as needed
    int cols = 80;                 // 0: no limit
    int page = 0;                  // which page when the devices do not fit
    std::string title;
    std::vector<std::string> log;  // the last log messages, newest last
};

// "answering, last cycle 3 s ago", "NOT ANSWERING since 06:41:02", ...
std::string line_text(const DeviceView& d, const boost::posix_time::ptime& now);
// Exactly ctx.rows lines (when rows > 0), none wider than ctx.cols columns.
std::vector<std::string> render_screen(const RunnerScreen& site, const ScreenContext& ctx);
// Display columns of UTF-8 text (East Asian wide characters count two).
std::size_t display_width(const std::string& text);
// Cut to `cols` display columns, never inside a character.
std::string fit(const std::string& text, std::size_t cols);

}  // namespace monitor

// --json: one line per completed cycle of each device and one per change of a
// line's state, each a JSON object that scripts can read on its own.
#pragma once

#include <string>
#include <vector>

#include "runtime/events/Events.h"

namespace monitor {

// {"type": "cycle", "device", "port", "cycle", "time", "poll_seconds",
//  "period_seconds", "units", "alarms" (standing after this cycle's
//  evaluation), "frames", "line"}
std::string cycle_json(const smd::HostEvent& cycle, const std::string& port,
                       const std::vector<smd::ActiveAlarm>& alarms);
// {"type": "status", "device", "port", "time", "line", "hint" (when there is one)}
std::string status_json(const std::string& device, const std::string& port,
                        const boost::posix_time::ptime& time, const smd::LineStatus& line,
                        const std::string& hint);

}  // namespace monitor

// Each alarm raised or cleared as one log line, at a priority that follows
// the alarm's level, so that the journal alone tells an operator what stood
// when (journalctl -p err shows the critical and major ones).
#pragma once

#include <memory>

#include "service/Component.h"

namespace smd::service {

// Syslog priority of an alarm event: level 1 critical, 2 error, 3 warning,
// others notice; a clear is notice.
int alarm_log_priority(const HostEvent& e);
// "alarm raised: room-b 70320 通信中断 (level 1 critical) [detail]".
std::string alarm_log_text(const HostEvent& e);

std::unique_ptr<Component> MakeAlarmJournal(Context& ctx, std::string& error);

}  // namespace smd::service

// Text bound for a log line: names from the site file, bytes from the line
// and error texts pass through here, so that none of them can end a line
// early (a forged entry), move a terminal's cursor or break UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace smd {

// Valid UTF-8 (invalid bytes as U+FFFD); control characters written as
// escapes: \n, \r, \t, \xNN for the other C0 characters and DEL, \u0080 to
// \u009f for C1.
std::string log_safe(std::string_view text);

// A log line may begin with its syslog priority, "<3>" (error) to "<7>"
// (debug), as journald reads it from a service's output; a line without one
// is "<6>" (info). The host marks the driver's diagnostics debug.
enum LogPriority { kLogError = 3, kLogWarning = 4, kLogNotice = 5, kLogInfo = 6, kLogDebug = 7 };
// The priority of `line`, and the line without its prefix.
int log_priority(std::string_view line, std::string_view* rest = nullptr);
std::string with_priority(int priority, std::string_view text);
// "error", "warning", "notice", "info", "debug" (or "3".."7"); false for another word.
bool parse_log_level(std::string_view word, int& priority);

}  // namespace smd

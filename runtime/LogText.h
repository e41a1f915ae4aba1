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

}  // namespace smd

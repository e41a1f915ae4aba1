// Small types and free functions of the host framework that devices use.
#pragma once

#include <array>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

// Parity of a serial transmission.
enum class EnumParity { None = 0, Odd = 1, Even = 2, Mark = 3, Space = 4 };

// One alarm point of one cycle, as the host's alarm calls record it.
//   active  1 when the condition holds in this cycle
//   key     the rule key ("AC_0"); together with `detail` it names the point
//   code    five-digit alarm code
//   level   severity handed over by the device (1 most severe .. 4)
//   seq     the device's sequence number for the point in this cycle
//   name    alarm name shown to operators
//   detail  where the alarm is ("交流屏1输入线/相电压AB/A")
//   state   the raw state byte of a multi-valued point, -1 for a boolean one
struct rule_value {
    std::uint8_t active = 0;
    std::string key;
    std::string code;
    std::int32_t level = 0;
    std::int32_t seq = 0;
    std::string name;
    std::string detail;
    std::int32_t state = -1;
};

// The 7-byte time stamp stored in device records: year (little-endian,
// 2 bytes), month 1-12, day 1-31, hour, minute, second, local time.
using ttime_t = std::array<unsigned char, 7>;
ttime_t get_ttime(boost::posix_time::ptime t);

namespace smd {

// Seams through which the host's notion of time and of pausing can be driven
// by tests and benchmarks. The defaults are the real clocks and usleep.
using LocalClockFn = std::function<boost::posix_time::ptime()>;
using PauseFn = std::function<void(unsigned int micros)>;
using SteadyClockFn = std::function<std::int64_t()>;  // milliseconds, monotonic

// Whole-second local wall clock used for freshness, hold-off and time stamps.
boost::posix_time::ptime local_time();
void set_local_clock(LocalClockFn fn);  // empty function restores the real one

// Pause of the calling thread. A thread that holds a lock through a
// PauseUnlock lets go of it for the length of every pause.
void pause_micros(unsigned int micros);
void set_pause(PauseFn fn);

// While it lives, every pause_micros() of the constructing thread releases
// `lock` (when owned) and takes it again afterwards: a thread that waits out a
// pause does not keep others waiting for the lock. Not nested.
class PauseUnlock {
  public:
    explicit PauseUnlock(std::unique_lock<std::recursive_mutex>& lock);
    ~PauseUnlock();
    PauseUnlock(const PauseUnlock&) = delete;
    PauseUnlock& operator=(const PauseUnlock&) = delete;
};

// Monotonic milliseconds used for answer time-outs.
std::int64_t steady_millis();
void set_steady_clock(SteadyClockFn fn);

}  // namespace smd

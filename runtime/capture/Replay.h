// Plays a capture through the driver on this host: the host runs with its
// lines driven by hand (DriverLoop::Step) on a virtual clock set from the
// capture, each line a ReplayPort that gives back what the unit sent at the
// time it came (counted from the command it answered, as the host writes it
// now) and checks that the host sends what it sent then. The same capture
// gives the same events every time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "runtime/capture/Capture.h"
#include "runtime/site/Host.h"
#include "runtime/line/LinePort.h"

namespace smd {

// The virtual time of a replay: steady milliseconds, local time from the
// capture's start, pauses that move it on.
class ReplayClock {
  public:
    explicit ReplayClock(std::int64_t wall_micros);
    ~ReplayClock();
    ReplayClock(const ReplayClock&) = delete;
    ReplayClock& operator=(const ReplayClock&) = delete;
    std::int64_t Now() const { return now_us_ / 1000; }
    void AdvanceTo(std::int64_t ms);
    // Set at each step so that a pause sleeps in real time too (--realtime).
    void SetRealtime(bool on) { realtime_ = on; }

  private:
    std::int64_t now_us_ = 1000000000;  // steady micros; the capture's 0 is its start
    std::int64_t wall_us_ = 0;
    bool realtime_ = false;
};

class ReplayPort : public LinePort {
  public:
    ReplayPort(std::string path, std::vector<capture::Record> records, const ReplayClock& clock,
               std::int64_t origin_ms);
    bool Open() override;
    void Close() override { open_ = false; }
    bool IsOpen() const override { return open_; }
    int Write(const unsigned char* data, unsigned int len, EnumParity parity) override;
    int Read(unsigned char* buf, unsigned int cap, int timeout_ms) override;
    bool Paced() const override { return open_ && paced_; }
    int Fd() const override { return -1; }
    const std::string& Path() const override { return path_; }
    const std::string& LastError() const override { return error_; }
    LineFault Fault() const override { return open_ ? LineFault::None : fault_; }
    const std::string& LockNote() const override { return note_; }
    int Baud() const override { return 9600; }
    // When the next recorded byte or event is due (steady ms); -1 when none is left.
    std::int64_t NextDueMillis() const;
    bool Done() const { return at_ >= records_.size(); }
    // Commands the host sent that differ from the recorded ones.
    std::uint64_t Mismatches() const { return mismatches_; }
    const std::string& FirstMismatch() const { return first_mismatch_; }

  private:
    std::int64_t Due(const capture::Record& r) const { return r.micros / 1000 + offset_ms_; }
    std::string path_;
    std::vector<capture::Record> records_;
    const ReplayClock& clock_;
    std::size_t at_ = 0;
    std::int64_t offset_ms_;  // the replay's time of the capture's time 0, moved by each send
    bool open_ = false;
    bool paced_ = false;  // as the line was when it opened
    LineFault fault_ = LineFault::None;
    std::string error_;
    std::string note_;
    std::uint64_t mismatches_ = 0;
    std::string first_mismatch_;
};

struct ReplayOptions {
    std::string driver;                              // the driver library (replaces the site's)
    bool realtime = false;                           // take the capture's own time
    std::function<void(const HostEvent&)> on_event;  // every event, in order
    std::function<void(const std::string&)> log;
};

// Plays one session of a capture with `site` (its ports named as in the
// capture). False, with `error`, when the host cannot start or a line of the
// site is not in the capture.
bool RunReplay(const capture::Session& session, SiteConfig site, const ReplayOptions& options,
               std::string& error, std::uint64_t* mismatches = nullptr);

}  // namespace smd

// The thread that drives the bus devices of one line: it asks a device to
// poll on a period, feeds received bytes to the frame layer, and keeps the
// line open, reopening a port that vanished with a growing pause.
//
// Several devices on one line (units at different addresses on one RS-485
// pair, or behind one device server) take turns: a turn is one device's
// cycle, from its first command to the cycle's end (or until the device
// declines or breaks off the cycle), and the next device whose cycle is due
// gets the line after it, round the devices in order. Bytes read during a
// turn go to that turn's device, whose frame layer takes its own unit's
// answers and drops any other address's. A unit that stops answering ends
// its turn at its second time-out; while it stays silent it is asked again
// once every `silent_retry_ms`, one time-out each time, so that it costs the
// others little.
//
// Every call into the device (RefreshStatus, process, OpenPort, ClosePort)
// holds the device's lock, so other threads may query the device's units
// under the same lock at any time. Reading the line does not hold it, nor do
// the pauses the device takes (see smd::PauseUnlock).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/PMBusProtocol.h"
#include "host/SMDSPDevice.h"
#include "runtime/line/LinePort.h"

namespace smd {

struct DriverLoopOptions {
    std::string name;  // the device's name in log lines
    // The longest the thread sleeps. It wakes for what it knows is due (the
    // next cycle, an answer time-out, a held command, the rest of an answer)
    // and at least this often for time-driven checks and clocks moved by hand.
    int poll_period_ms = 1000;
    int reopen_initial_ms = 500;
    int reopen_max_ms = 30000;
    // A silent unit on a line shared with others is asked this often.
    int silent_retry_ms = 10000;
};

// Silent: several commands in a row went unanswered; Answers: bytes came again.
enum class PortEvent { Opened, OpenFailed, Lost, Silent, Answers };

class DriverLoop {
  public:
    using LogFn = std::function<void(const std::string&)>;
    using EventFn = std::function<void(PortEvent)>;

    // Makes `port` the device's transport.
    DriverLoop(std::shared_ptr<SMDSPDevice> device, std::shared_ptr<LinePort> port,
               DriverLoopOptions options, LogFn log = nullptr);
    // Several devices sharing `port`, in the order they take turns.
    DriverLoop(std::vector<std::shared_ptr<SMDSPDevice>> devices, std::shared_ptr<LinePort> port,
               DriverLoopOptions options, LogFn log = nullptr);
    ~DriverLoop();
    DriverLoop(const DriverLoop&) = delete;
    DriverLoop& operator=(const DriverLoop&) = delete;

    // Called on the loop's thread after each port event (tests wait on it):
    // a line's events (opened, lost, ...) once per device, a device's own
    // (silent, answers) for that device.
    void SetEventListener(EventFn fn) {
        on_device_event_ = [fn = std::move(fn)](std::size_t, PortEvent e) {
            if (fn) fn(e);
        };
    }
    void SetDeviceEventListener(std::function<void(std::size_t, PortEvent)> fn) {
        on_device_event_ = std::move(fn);
    }
    // Called on the loop's thread at every turn (at least once a poll period),
    // outside the device's lock, for time-driven checks.
    void SetTickListener(std::function<void()> fn) { on_tick_ = std::move(fn); }

    bool Start();
    // Returns once the thread has ended and the port is closed.
    void Stop();
    // One turn of the loop without the thread (replaying a capture): opens
    // the line when due, reads what the port holds, drives the devices, and
    // returns the milliseconds until the next turn is due.
    std::int64_t Step();
    bool Running() const { return thread_.joinable(); }

    bool PortOpen() const { return port_open_.load(); }
    std::uint64_t Opens() const { return opens_.load(); }
    std::uint64_t OpenFailures() const { return open_failures_.load(); }
    std::uint64_t Losses() const { return losses_.load(); }
    // The pause before the next reopen attempt.
    std::int64_t ReopenDelayMillis() const { return backoff_ms_.load(); }
    const std::shared_ptr<LinePort>& Port() const { return port_; }
    std::size_t DeviceCount() const { return members_.size(); }
    // Counts the loop's turns; every turn waits at most a poll period, so a
    // count that stops moving for longer means the thread is stuck.
    std::uint64_t Heartbeat() const { return beats_.load(std::memory_order_relaxed); }

  private:
    struct Member {
        std::shared_ptr<SMDSPDevice> device;
        // The device's frame layer, when it has ours: it tells the loop when
        // the next cycle, a held command and the rest of an answer are due.
        PMBusProtocol* protocol = nullptr;
        bool stalled = false;
        std::int64_t retry_ms = 0;  // a silent unit of a shared line: its next turn
        bool fresh = false;         // its turn has just begun
    };
    // What one turn leaves for the wait before the next.
    struct Turn {
        int read = 0;                // bytes read this turn (-1: the line is gone)
        std::int64_t wait = 0;       // until something is due
        std::int64_t read_wait = 0;  // while the bytes awaited are still on the wire
    };
    void Run();
    Turn DoTurn(unsigned char* buf, std::size_t cap);
    // Drives the device whose turn it is; false when its turn is over.
    bool Drive(std::size_t i, Turn& t, bool shared);
    bool TryOpen();
    void Lost();
    void Delay(int max_ms);
    void Log(const std::string& text);
    void EmitAll(PortEvent e);
    void Emit(std::size_t i, PortEvent e);
    void Backoff(std::int64_t now);

    std::vector<Member> members_;
    std::shared_ptr<LinePort> port_;
    DriverLoopOptions options_;
    LogFn log_;
    std::function<void(std::size_t, PortEvent)> on_device_event_;
    std::function<void()> on_tick_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    int wake_[2] = {-1, -1};

    // Loop thread only.
    bool was_open_ = false;
    std::int64_t next_open_ms_ = 0;
    std::unique_lock<std::recursive_mutex> lock_;  // the lock of the device being driven
    int current_ = -1;                             // the device whose turn it is; -1 between turns
    std::size_t next_ = 0;                         // where the search for the next turn begins
    std::size_t last_ = 0;  // the last device that had a turn (takes stray bytes)

    std::atomic<bool> port_open_{false};
    std::atomic<std::uint64_t> opens_{0};
    std::atomic<std::uint64_t> open_failures_{0};
    std::atomic<std::uint64_t> losses_{0};
    std::atomic<std::int64_t> backoff_ms_{0};
    std::atomic<std::uint64_t> beats_{0};
};

}  // namespace smd

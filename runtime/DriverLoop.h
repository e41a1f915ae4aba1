// The thread that drives one bus device on its serial line: it asks the
// device to poll on a period, feeds received bytes to the frame layer, and
// keeps the line open, reopening a port that vanished with a growing pause.
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
#include <string>
#include <thread>

#include "host/PMBusProtocol.h"
#include "host/SMDSPDevice.h"
#include "runtime/SerialPort.h"

namespace smd {

struct DriverLoopOptions {
    std::string name;  // the device's name in log lines
    // The longest the thread sleeps. It wakes for what it knows is due (the
    // next cycle, an answer time-out, a held command, the rest of an answer)
    // and at least this often for time-driven checks and clocks moved by hand.
    int poll_period_ms = 1000;
    int reopen_initial_ms = 500;
    int reopen_max_ms = 30000;
};

// Silent: several commands in a row went unanswered; Answers: bytes came again.
enum class PortEvent { Opened, OpenFailed, Lost, Silent, Answers };

class DriverLoop {
  public:
    using LogFn = std::function<void(const std::string&)>;
    using EventFn = std::function<void(PortEvent)>;

    // Makes `port` the device's transport.
    DriverLoop(std::shared_ptr<SMDSPDevice> device, std::shared_ptr<SerialPort> port,
               DriverLoopOptions options, LogFn log = nullptr);
    ~DriverLoop();
    DriverLoop(const DriverLoop&) = delete;
    DriverLoop& operator=(const DriverLoop&) = delete;

    // Called on the loop's thread after each port event (tests wait on it).
    void SetEventListener(EventFn fn) { on_event_ = std::move(fn); }
    // Called on the loop's thread at every turn (at least once a poll period),
    // outside the device's lock, for time-driven checks.
    void SetTickListener(std::function<void()> fn) { on_tick_ = std::move(fn); }

    bool Start();
    // Returns once the thread has ended and the port is closed.
    void Stop();
    bool Running() const { return thread_.joinable(); }

    bool PortOpen() const { return port_open_.load(); }
    std::uint64_t Opens() const { return opens_.load(); }
    std::uint64_t OpenFailures() const { return open_failures_.load(); }
    std::uint64_t Losses() const { return losses_.load(); }
    // The pause before the next reopen attempt.
    std::int64_t ReopenDelayMillis() const { return backoff_ms_.load(); }
    const std::shared_ptr<SerialPort>& Port() const { return port_; }
    // Counts the loop's turns; every turn waits at most a poll period, so a
    // count that stops moving for longer means the thread is stuck.
    std::uint64_t Heartbeat() const { return beats_.load(std::memory_order_relaxed); }

  private:
    void Run();
    bool TryOpen();
    void Lost();
    void Delay(int max_ms);
    void Log(const std::string& text);
    void Emit(PortEvent e);
    void Backoff(std::int64_t now);

    std::shared_ptr<SMDSPDevice> device_;
    // The device's frame layer, when it has ours: it tells the loop when the
    // next cycle, a held command and the rest of an answer are due.
    PMBusProtocol* protocol_;
    std::shared_ptr<SerialPort> port_;
    DriverLoopOptions options_;
    LogFn log_;
    EventFn on_event_;
    std::function<void()> on_tick_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    int wake_[2] = {-1, -1};

    // Loop thread only.
    bool was_open_ = false;
    bool stalled_ = false;
    std::int64_t next_open_ms_ = 0;

    std::atomic<bool> port_open_{false};
    std::atomic<std::uint64_t> opens_{0};
    std::atomic<std::uint64_t> open_failures_{0};
    std::atomic<std::uint64_t> losses_{0};
    std::atomic<std::int64_t> backoff_ms_{0};
    std::atomic<std::uint64_t> beats_{0};
};

}  // namespace smd

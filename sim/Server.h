// Runs a simulated monitoring unit on a thread of its own, on a
// pseudo-terminal it creates or on a serial port, until stopped.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sim/Responder.h"
#include "sim/Scenario.h"

namespace smd {
class PtyPair;
class SerialPort;
}  // namespace smd

namespace sim {

// Answers recorded in a capture: each command as it was sent and the bytes
// that came back before the next command.
struct RecordedExchange {
    Bytes command;
    Bytes answer;
};
// Every exchange of every line of a capture file, in order. False, with
// `error`, when the file cannot be read as a capture.
bool LoadExchanges(const std::string& capture_path, std::vector<RecordedExchange>& out,
                   std::string& error);

struct ServerOptions {
    // The line rate in both directions (10 bit times per byte at `baud`, 8N1):
    // answers go out byte by byte at that rate, and a command counts as
    // received only once its bytes would have crossed the line, so the unit
    // begins its answer no sooner than on a real line. A pseudo-terminal
    // delivers both at once otherwise.
    bool pace = false;
    int baud = 9600;
    // Monotonic milliseconds for events in seconds and slow answers;
    // empty: the steady clock.
    std::function<std::int64_t()> clock_ms;
    // One line per command, event and fault; empty: nothing is written.
    std::function<void(const std::string&)> log;
    // Instead of the scenario's units: answer each command with the answer
    // recorded for it (the next recorded exchange with the same command).
    std::vector<RecordedExchange> replay;
};

struct ServerStats {
    Counters counters;        // what the responder saw and did
    std::uint64_t sent = 0;   // answers written to the line
    std::uint64_t cycle = 0;  // poll cycles begun
};

// Microseconds that `bytes` take on the line at `baud` (10 bit times each).
std::int64_t line_time_us(std::size_t bytes, int baud);

class Server {
  public:
    explicit Server(Scenario scenario, ServerOptions options = {});
    // Several units on one line, each answering at its scenario's address.
    Server(std::vector<Scenario> units, ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Creates a pseudo-terminal and answers on its master side; the host
    // opens Path(). False, with Error() saying why, when it cannot.
    bool Start();
    // Answers on a serial port, configured to `baud` and no parity.
    bool StartOnPort(const std::string& path);
    // Ends the thread; bounded by one short wait. Safe to call twice.
    void Stop();

    bool Running() const { return running_.load(); }
    // The line the host is to open: the pty's slave side or the port.
    const std::string& Path() const { return path_; }
    ServerStats Stats() const;
    std::string Error() const;

  private:
    class Line;
    class PtyLine;
    class PortLine;

    bool Launch(std::unique_ptr<Line> line);
    void Run();
    bool Send(const Bytes& bytes);

    ServerOptions options_;
    std::vector<std::unique_ptr<Responder>> responders_;
    std::size_t replay_at_ = 0;  // where the search for the next recorded command begins
    Bytes replay_input_;         // a command still arriving
    std::vector<Reply> Replay(const unsigned char* data, std::size_t len);
    std::unique_ptr<Line> line_;
    std::string path_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stop_{false};
    int wake_[2] = {-1, -1};  // written by Stop() to end a wait at once
    mutable std::mutex mutex_;
    ServerStats stats_;
    std::string error_;
};

}  // namespace sim

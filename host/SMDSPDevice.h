// Serial device of the host: owns a byte transport and the state of the one
// exchange (command sent, answer awaited) that may be in flight on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "host/SMDVDevice.h"

namespace smd {

// The byte pipe under a serial device: a serial port, a pseudo-terminal or,
// in tests, a recording loopback.
class Transport {
  public:
    virtual ~Transport() = default;
    virtual bool Open() = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    // Line settings requested by the device; a transport without a line ignores them.
    virtual void Configure(int baud_rate, EnumParity parity) {
        (void)baud_rate;
        (void)parity;
    }
    // Writes every byte or fails; returns the count written or -1.
    virtual int Write(const unsigned char* data, unsigned int len, EnumParity parity) = 0;
    // Bytes already received and not yet read, without waiting: the count,
    // 0 when there are none, -1 when the line is gone.
    virtual int ReadAvailable(unsigned char* buf, unsigned int cap) {
        (void)buf;
        (void)cap;
        return 0;
    }
    // True when written bytes take their line time to leave (a real serial
    // line), false for a pipe-like transport whose peer sees them at once.
    virtual bool Paced() const { return false; }
};

}  // namespace smd

class SMDSPDevice : public SMDVDevice {
  public:
    SMDSPDevice();
    ~SMDSPDevice() override;

    // Ends the exchange in flight: the next RefreshStatus() may send at once.
    void Reset() override;
    bool Init(std::weak_ptr<SMDController> controller, unsigned int data_id,
              const Json::Value& cfg) override;
    // True when a command may go out now: the port is open and no exchange is
    // in flight, or the one in flight has timed out.
    bool RefreshStatus() override;
    void process(unsigned char* buf, unsigned int len) override;
    bool IsProcessing() override;
    bool IsStalled() override;
    int SendData(const unsigned char* buf, unsigned int len) override;
    int SendParityData(const unsigned char* buf, unsigned int len, EnumParity parity) override;
    bool OpenPort() override;
    void ClosePort() override;

    // Host-side control.
    void SetTransport(std::shared_ptr<smd::Transport> transport);
    std::shared_ptr<smd::Transport> GetTransport() const { return transport_; }
    int BaudRate() const { return baud_rate; }
    bool SerialLine() const { return serial_line; }
    // Answer time-out of the exchange in flight, in milliseconds: the silence
    // the line may keep, counted from the moment the command has left (on a
    // paced line its line time, 10 bit times per byte, after the write;
    // otherwise the write) or from the last
    // byte received, whichever is later. An answer's bytes follow each other
    // within a character time, so silence this long means the answer is lost
    // whatever its length.
    std::int64_t AnswerTimeoutMillis() const;
    void SetTimeoutBase(std::int64_t millis) { timeout_base_ms_ = millis; }
    // Steady milliseconds at which the exchange in flight times out unless a
    // byte comes first; -1 when no answer is awaited.
    std::int64_t AnswerDeadlineMillis() const;
    // Milliseconds `bytes` take on the line at the device's speed (rounded up).
    std::int64_t LineMillis(std::size_t bytes) const;
    // Called by the host for bytes received; restarts the inter-byte allowance.
    void NoteBytesReceived();
    std::uint64_t Timeouts() const { return timeouts_; }
    // 0: idle; 1: a command is out and its answer awaited.
    int serial_state = 0;
    // True for a device that owns a serial line (the host opens it with the
    // line speed below); units of a bus device leave it false.
    bool serial_line = false;
    int baud_rate = 0;

  protected:
    std::shared_ptr<smd::Transport> transport_;
    std::int64_t sent_at_ms_ = 0;
    std::int64_t last_rx_ms_ = 0;
    std::int64_t timeout_base_ms_ = 1000;
    unsigned int last_sent_len_ = 0;
    std::uint64_t timeouts_ = 0;
    // Consecutive exchanges that ended by time-out (0 after any answer).
    std::uint32_t consecutive_timeouts_ = 0;
    // Set by a frame layer: drop a partial frame when an answer times out;
    // forget the exchange when the port closes; try to send a command held
    // back for a quiet line (true while it is still held: no time-out runs).
    std::function<void()> on_timeout_;
    std::function<void()> on_close_;
    std::function<bool()> hold_command_;
};

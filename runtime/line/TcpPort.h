// A serial device server reached over TCP: "tcp://HOST:PORT" carries the line's
// bytes as they are, "rfc2217://HOST:PORT" adds Telnet with COM port control,
// by which the host sets the remote port's speed, 8 data bits, parity, 1 stop
// bit and no flow control. Connecting names its failure (host unreachable,
// connection refused), a broken connection is "lost", TCP keepalive notices a
// box that died without a word, and a lock file keeps two hosts of this
// machine off one remote port (a remote holder cannot be known from here).
//
// Not thread-safe: one line thread owns it, like a serial port.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/line/LinePort.h"
#include "runtime/line/Telnet.h"

namespace smd {

class TcpPort : public LinePort {
  public:
    struct Options {
        std::int64_t allowance_ms = 0;       // added to the answer time-out
        int connect_timeout_ms = 3000;       // a SYN unanswered this long: unreachable
        std::string lock_dir = "/var/lock";  // "": no lock file
        // Keepalive: first probe after this much silence, then every interval,
        // lost after `count` unanswered probes (20 s in all by default).
        int keepalive_idle_s = 10;
        int keepalive_interval_s = 5;
        int keepalive_count = 2;
    };
    TcpPort(PortAddress addr, std::string text, Options options);
    ~TcpPort() override;
    TcpPort(const TcpPort&) = delete;
    TcpPort& operator=(const TcpPort&) = delete;

    bool Open() override;
    void Close() override;
    bool IsOpen() const override { return fd_ >= 0; }
    void Configure(int baud_rate, EnumParity parity) override;
    int Write(const unsigned char* data, unsigned int len, EnumParity parity) override;
    int Read(unsigned char* buf, unsigned int cap, int timeout_ms) override;
    // The device server puts the bytes on its line at the line's speed.
    bool Paced() const override { return fd_ >= 0; }
    int Fd() const override { return fd_; }
    const std::string& Path() const override { return text_; }
    const std::string& LastError() const override { return last_error_; }
    LineFault Fault() const override { return fd_ >= 0 ? LineFault::None : fault_; }
    const std::string& LockNote() const override { return lock_note_; }
    int Baud() const override { return baud_; }
    std::int64_t AllowanceMillis() const override { return options_.allowance_ms; }
    void SetCancelFd(int fd) override { cancel_fd_ = fd; }
    // With COM port control: what the device server made of the settings.
    const telnet::Decoder& Telnet() const { return decoder_; }

  private:
    bool Connect(std::string& why);
    bool TakeLock();
    void Lost(const std::string& why);
    bool SendAll(const unsigned char* data, std::size_t len);

    PortAddress addr_;
    std::string text_;
    Options options_;
    int fd_ = -1;
    int lock_fd_ = -1;
    int cancel_fd_ = -1;
    int baud_ = 9600;
    EnumParity parity_ = EnumParity::None;
    LineFault fault_ = LineFault::None;
    std::string last_error_;
    std::string lock_note_;
    telnet::Decoder decoder_;
    std::int64_t connected_ms_ = 0;
    bool got_bytes_ = false;
};

}  // namespace smd

// What a line thread needs of the byte pipe to its units beyond the device's
// transport: waiting for bytes, a descriptor to poll, and the cause in words
// when the line cannot be had. A serial port (SerialPort) and a serial device
// server reached over TCP (TcpPort) are the two kinds; PortFor() picks one by
// the site file's "port".
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/SMDSPDevice.h"

namespace smd {

// Why a line is not open, for the line state.
enum class LineFault {
    None,
    Missing,      // a serial port that is not there or cannot be opened
    Busy,         // another process (or another line of this host) holds it
    Unreachable,  // no route to the device server, or it did not answer in time
    Refused,      // the device server refused the connection
    Lost,         // an open connection broke (closed, reset, keepalive gone)
};

class LinePort : public Transport {
  public:
    // Waits up to timeout_ms (0: does not wait) for bytes: the count read, 0
    // on time-out, -1 when the line is gone (then it is closed).
    virtual int Read(unsigned char* buf, unsigned int cap, int timeout_ms) = 0;
    int ReadAvailable(unsigned char* buf, unsigned int cap) override { return Read(buf, cap, 0); }
    // The descriptor to poll for input; -1 while closed.
    virtual int Fd() const = 0;
    virtual const std::string& Path() const = 0;
    virtual const std::string& LastError() const = 0;
    virtual LineFault Fault() const = 0;
    bool Busy() const { return Fault() == LineFault::Busy; }
    // A note about the line's locks taken at the last Open() ("" when none).
    virtual const std::string& LockNote() const = 0;
    virtual int Baud() const = 0;
    // Extra silence the answer time-out allows on this line (a network's own delay).
    virtual std::int64_t AllowanceMillis() const { return 0; }
    // A descriptor that, once readable, cuts short a blocking step of Open()
    // (a connect) so that a stopping line thread is not held up.
    virtual void SetCancelFd(int fd) { (void)fd; }
};

// "tcp://HOST:PORT" and "rfc2217://HOST:PORT" (HOST a name, an IPv4 address or
// an IPv6 one in brackets), anything else a serial device path.
struct PortAddress {
    enum class Kind { Serial, Tcp, Rfc2217 };
    Kind kind = Kind::Serial;
    std::string host;
    int port = 0;
    std::string path;  // the serial path
    // One spelling per line: "tcp://host:port" with the host in lower case.
    std::string Key() const;
};
// False, with `error`, for a network port that is not well formed.
bool ParsePortAddress(const std::string& text, PortAddress& out, std::string& error);

// The line for a site's "port"; `allowance_ms` is the network allowance of a
// TCP line (ignored for a serial one), `lock_dir` where lock files go.
std::shared_ptr<LinePort> PortFor(const std::string& text, const std::string& lock_dir,
                                  std::int64_t allowance_ms);

}  // namespace smd

// A serial line under POSIX termios: raw, 8 data bits, 1 stop bit, the line
// speed the device asks for and the parity of each write. Works the same on a
// pseudo-terminal, which is what tests drive.
//
// Not thread-safe: one driver thread owns a port (the host's driver loop
// opens, writes, reads and closes it under the device's lock).
#pragma once

#include <string>

#include "host/SMDSPDevice.h"

namespace smd {

class SerialPort : public Transport {
  public:
    explicit SerialPort(std::string path);
    ~SerialPort() override;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens the line and applies the configured speed (9600 when none was set)
    // and no parity. False, with LastError() saying why, when it cannot.
    bool Open() override;
    void Close() override;
    bool IsOpen() const override;
    // Stored for the next Open(); applied at once when open. An unsupported
    // speed makes Open() fail and is named in LastError().
    void Configure(int baud, EnumParity parity) override;
    // Writes every byte with the given parity (the line is switched first when
    // it differs, after the bytes already queued have gone out). Returns len or
    // -1; a port that vanished is closed.
    int Write(const unsigned char* data, unsigned int len, EnumParity parity) override;
    // Waits up to timeout_ms (0: does not wait) for bytes: the count read, 0 on
    // time-out, -1 when the port vanished (then it is closed).
    int Read(unsigned char* buf, unsigned int cap, int timeout_ms);
    int Fd() const;
    const std::string& Path() const;

    const std::string& LastError() const { return last_error_; }
    int Baud() const { return baud_; }
    EnumParity Parity() const { return parity_; }
    // True when the rate is one this port can set.
    static bool SupportedBaud(int baud);

  private:
    bool ApplyLine(EnumParity parity, bool drain);
    void Fail(const std::string& what, int err);

    std::string path_;
    int fd_ = -1;
    int baud_ = 9600;
    bool baud_ok_ = true;
    EnumParity parity_ = EnumParity::None;
    std::string last_error_;
};

// A pseudo-terminal pair: the master side plays the remote unit, the slave
// path is opened by a SerialPort like any serial device.
class PtyPair {
  public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // Raw mode on both sides. The pair keeps one slave descriptor of its own
    // so that the master does not see a hang-up while the port is reopened.
    bool Create();
    int MasterFd() const;
    const std::string& SlavePath() const;
    // The remote end goes away: an open port on the slave sees a hang-up.
    void CloseMaster();

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string slave_path_;
};

}  // namespace smd

// A serial line under POSIX termios: raw, 8 data bits, 1 stop bit, the line
// speed the device asks for and the parity of each write. Works the same on a
// pseudo-terminal, which is what tests drive.
//
// Not thread-safe: one driver thread owns a port (the host's driver loop
// opens, writes, reads and closes it under the device's lock).
#pragma once

#include <string>

#include "runtime/line/LinePort.h"

namespace smd {

class SerialPort : public LinePort {
  public:
    explicit SerialPort(std::string path);
    ~SerialPort() override;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Takes the line's locks (see SetLockDirectory), opens it and applies the
    // configured speed (9600 when none was set) and no parity. False, with
    // LastError() saying why, when it cannot; Busy() when another process
    // (HolderPid(), 0 when unknown) holds the line.
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
    int Read(unsigned char* buf, unsigned int cap, int timeout_ms) override;
    // False on a pseudo-terminal, whose peer sees written bytes at once.
    bool Paced() const override { return fd_ >= 0 && !pty_; }
    int Fd() const override;
    const std::string& Path() const override;

    const std::string& LastError() const override { return last_error_; }
    LineFault Fault() const override {
        return fd_ >= 0 ? LineFault::None : busy_ ? LineFault::Busy : LineFault::Missing;
    }
    int HolderPid() const { return holder_pid_; }
    // Where the lock file "LCK..<name>" that serial programs honour goes
    // ("/var/lock" unless set; empty: no lock file, only flock on the line).
    void SetLockDirectory(std::string dir) { lock_dir_ = std::move(dir); }
    const std::string& LockDirectory() const { return lock_dir_; }
    // Set when the lock directory could not be used at the last Open() (the
    // line is then guarded by flock alone); empty otherwise.
    const std::string& LockNote() const override { return lock_note_; }
    int Baud() const override { return baud_; }
    EnumParity Parity() const { return parity_; }
    // True when the rate is one this port can set.
    static bool SupportedBaud(int baud);

  private:
    bool ApplyLine(EnumParity parity, bool drain);
    void Fail(const std::string& what, int err);
    void FailBusy(int pid, const std::string& how);
    // 1 taken (or not used), 0 held by a live process (holder_pid_ set).
    int TakeLockFile(const std::string& device);
    void ReleaseLocks();

    std::string path_;
    std::string lock_dir_ = "/var/lock";
    std::string lock_file_;  // the lock file we created, removed at Close()
    std::string held_name_;  // the line's real path, registered while open
    std::string lock_note_;
    bool busy_ = false;
    int holder_pid_ = 0;
    int fd_ = -1;
    bool pty_ = false;
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

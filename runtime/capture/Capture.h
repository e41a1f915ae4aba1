// Capture of lines: every byte sent and received, with its time, and the
// line's openings and losses, appended to a file that a crash leaves
// readable (a record cut off at the end is ignored; docs/host.md, "Capture
// files", gives the layout). ravo3-replay plays one back through the driver,
// ravo3-sim --replay serves one as a unit.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/line/LinePort.h"

namespace smd::capture {

constexpr char kMagic[8] = {'R', 'A', 'V', 'O', '3', 'C', 'A', 'P'};
constexpr std::uint32_t kVersion = 1;
// A record longer than this is damage, not data (the longest frame is 4 KiB).
constexpr std::uint32_t kMaxRecord = 1 << 20;

enum class Kind : std::uint8_t {
    Begin = 'B',     // a host started capturing: its local time and site file
    Line = 'L',      // a line of that session: its number and port
    Sent = 'S',      // bytes written to the line
    Received = 'R',  // bytes read from the line
    Opened = 'O',
    OpenFailed = 'F',  // with the fault and the cause in words
    Lost = 'X',        // with the cause in words
    Closed = 'C',      // the host closed the line
};

struct Record {
    Kind kind = Kind::Sent;
    std::uint16_t line = 0;
    std::int64_t micros = 0;  // steady time since the session began (Begin: local wall time)
    std::uint8_t fault = 0;   // OpenFailed: LineFault
    std::vector<std::uint8_t> bytes;  // data, the port's name, a cause or the site file
};

struct Session {
    std::int64_t wall_micros = 0;    // local time at the start, µs since 1970 (local)
    std::string site;                // the site file's text ("" when none)
    std::vector<std::string> lines;  // port of each line, by number
    std::vector<Record> records;     // Sent, Received and line events, in order
};

struct File {
    std::vector<Session> sessions;
    bool cut_tail = false;          // the last record was cut off (a crash) and ignored
    std::uint64_t whole_bytes = 0;  // bytes up to the end of the last whole record
};

// Parses a capture; false, with `error` naming the byte offset, for a file
// that is not one or whose middle is damaged.
bool Parse(const std::uint8_t* data, std::size_t len, File& out, std::string& error);
bool Load(const std::string& path, File& out, std::string& error);
// One record in the file's layout (length, kind, body, CRC-32).
std::vector<std::uint8_t> Encode(const Record& r);
std::uint32_t Crc32(const std::uint8_t* data, std::size_t len);

// Appends records to one file for every line of a host; safe from any thread.
class Writer {
  public:
    // Opens (creates) `path` for appending and begins a session. A file that
    // is not a capture, or of a newer version, is refused; a record cut off
    // by a crash at its end is cut away first.
    static std::shared_ptr<Writer> Open(const std::string& path, const std::string& site_text,
                                        std::string& error);
    ~Writer();
    // The number of a line in this session (made on first use).
    std::uint16_t LineOf(const std::string& port);
    void Add(Kind kind, std::uint16_t line, const std::uint8_t* data, std::size_t len,
             std::uint8_t fault = 0);
    const std::string& Path() const { return path_; }
    std::uint64_t Errors() const;

  private:
    Writer(std::string path, int fd);
    void Put(const Record& r);

    std::string path_;
    int fd_;
    std::int64_t start_ms_ = 0;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    std::uint64_t errors_ = 0;
};

// A line whose bytes and events are written to a capture as they pass.
class CapturingPort : public LinePort {
  public:
    CapturingPort(std::shared_ptr<LinePort> inner, std::shared_ptr<Writer> writer);
    bool Open() override;
    void Close() override;
    bool IsOpen() const override { return inner_->IsOpen(); }
    void Configure(int baud_rate, EnumParity parity) override {
        inner_->Configure(baud_rate, parity);
    }
    int Write(const unsigned char* data, unsigned int len, EnumParity parity) override;
    int Read(unsigned char* buf, unsigned int cap, int timeout_ms) override;
    bool Paced() const override { return inner_->Paced(); }
    int Fd() const override { return inner_->Fd(); }
    const std::string& Path() const override { return inner_->Path(); }
    const std::string& LastError() const override { return inner_->LastError(); }
    LineFault Fault() const override { return inner_->Fault(); }
    const std::string& LockNote() const override { return inner_->LockNote(); }
    int Baud() const override { return inner_->Baud(); }
    std::int64_t AllowanceMillis() const override { return inner_->AllowanceMillis(); }
    void SetCancelFd(int fd) override { inner_->SetCancelFd(fd); }

  private:
    void Event(Kind k, const std::string& text = std::string(), std::uint8_t fault = 0);
    std::shared_ptr<LinePort> inner_;
    std::shared_ptr<Writer> writer_;
    std::uint16_t line_;
};

}  // namespace smd::capture

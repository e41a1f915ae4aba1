// Shared test fixture: a controller and a transport that record every host
// call a device makes, a fake clock, and byte builders for answers.
#pragma once

#include <json/value.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/PMBusProtocol.h"
#include "host/SMDController.h"
#include "host/SMDSPDevice.h"
#include "runtime/line/FrameCodec.h"

namespace testing_support {

using Bytes = std::vector<unsigned char>;

// A command as it left the device, decoded from its frame.
struct SentCommand {
    unsigned char ver = 0;
    unsigned char adr = 0;
    unsigned char cid1 = 0;
    unsigned char cid2 = 0;
    Bytes info;
    Bytes raw;
};

class RecordingTransport : public smd::Transport {
  public:
    bool Open() override {
        ++opens;
        open = open_ok;
        return open;
    }
    void Close() override {
        ++closes;
        open = false;
    }
    bool IsOpen() const override { return open; }
    void Configure(int baud, EnumParity parity) override {
        configured_baud = baud;
        configured_parity = parity;
    }
    int Write(const unsigned char* data, unsigned int len, EnumParity parity) override;
    // Hands out `input`: bytes the line delivered before the device read them.
    int ReadAvailable(unsigned char* buf, unsigned int cap) override;
    bool Paced() const override { return paced; }

    Bytes input;
    bool paced = false;
    // Commands decoded from everything written; raw writes that were no frame
    // are kept in `writes` only.
    std::vector<SentCommand> commands;
    std::vector<Bytes> writes;
    bool open = true;
    bool open_ok = true;
    bool fail_writes = false;
    int opens = 0;
    int closes = 0;
    int configured_baud = 0;
    EnumParity configured_parity = EnumParity::None;
    EnumParity last_parity = EnumParity::None;
};

// The smallest bus-side device a unit can be initialised under: it carries
// the controller that the unit's InitV copies.
struct ParentDevice : SMDSPDevice {
    bool LoadFromCache(const unsigned char*, int) override { return true; }
};

struct RuleBatch {
    std::uint32_t data_id = 0;
    std::string device_type;
    std::vector<rule_value> rules;
};

// A controller whose sinks record into vectors. Threshold work runs at once
// unless `async` is set.
class Recorder {
  public:
    explicit Recorder(bool async = false);
    ~Recorder();

    std::shared_ptr<SMDController> controller;
    std::shared_ptr<smd::MemoryHistoryStore> history;

    std::vector<smd::LogRecord> Logs() const;
    std::vector<std::string> LogTexts() const;
    std::vector<smd::Snapshot> Snapshots() const;
    std::vector<RuleBatch> Batches() const;
    std::vector<smd::AlarmEvent> Events() const;
    void Clear();

  private:
    mutable std::mutex mutex_;
    std::vector<smd::LogRecord> logs_;
    std::vector<smd::Snapshot> snapshots_;
    std::vector<RuleBatch> batches_;
    std::vector<smd::AlarmEvent> events_;
};

// A wall clock the test moves by hand; installed for the fixture's lifetime.
class FakeClock {
  public:
    explicit FakeClock(boost::posix_time::ptime start =
                           boost::posix_time::time_from_string("2026-12-08 10:00:00"));
    ~FakeClock();
    void Advance(long seconds) { now_ += boost::posix_time::seconds(seconds); }
    void AdvanceMillis(long millis) { steady_ms_ += millis; }
    void Set(boost::posix_time::ptime t) { now_ = t; }
    boost::posix_time::ptime Now() const { return now_; }

  private:
    boost::posix_time::ptime now_;
    std::int64_t steady_ms_ = 1000000;
};

// Pauses recorded instead of slept; installed for the guard's lifetime.
class NoPause {
  public:
    NoPause();
    ~NoPause();
    std::vector<unsigned int> pauses;
};

// Little builders for answer bytes.
class ByteBuilder {
  public:
    ByteBuilder& u8(unsigned v) {
        b_.push_back(static_cast<unsigned char>(v));
        return *this;
    }
    ByteBuilder& u8s(std::initializer_list<unsigned> vs) {
        for (unsigned v : vs) u8(v);
        return *this;
    }
    ByteBuilder& repeat(unsigned v, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) u8(v);
        return *this;
    }
    ByteBuilder& f32(float v) {
        unsigned char raw[4];
        std::memcpy(raw, &v, 4);  // the host is little-endian, as the line is
        b_.insert(b_.end(), raw, raw + 4);
        return *this;
    }
    ByteBuilder& u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) u8((v >> (8 * i)) & 0xFF);
        return *this;
    }
    ByteBuilder& bytes(const Bytes& v) {
        b_.insert(b_.end(), v.begin(), v.end());
        return *this;
    }
    ByteBuilder& hex(const std::string& h);
    const Bytes& build() const { return b_; }
    operator Bytes() const { return b_; }
    std::size_t size() const { return b_.size(); }

  private:
    Bytes b_;
};

float f32_at(const unsigned char* p);
std::uint32_t u32_at(const unsigned char* p);
Bytes hex_bytes(const std::string& h);
std::string hex_string(const Bytes& b);

// An answer frame as a unit would send it, with checksums right.
Bytes answer_frame(unsigned char cid1, const Bytes& info, unsigned char rtn = 0,
                   unsigned char adr = 1, unsigned char ver = 0x20);
// Parses JSON text; throws std::invalid_argument on a syntax error.
Json::Value parse_json(const std::string& text);

// Recomputes LCHKSUM (from the LENID as written) and CHKSUM of a frame given
// as text, so that a test can change one field of a valid frame.
std::string repair_checksums(const std::string& frame_text);

}  // namespace testing_support

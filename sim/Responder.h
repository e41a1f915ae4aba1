// Bytes from the host in, answer frames out: finds command frames in the
// raw stream, answers each one addressed to the unit with RTN 0 and the
// unit's INFO or with the protocol's error code, and damages answers as the
// scenario's fault rules say. The caller owns the line and the clock.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "runtime/line/FrameCodec.h"
#include "sim/Device.h"
#include "sim/Scenario.h"

namespace sim {

// Return codes of an answer.
enum Rtn : std::uint8_t {
    kRtnOk = 0x00,
    kRtnVersion = 0x01,
    kRtnChecksum = 0x02,
    kRtnLengthChecksum = 0x03,
    kRtnCid2 = 0x04,
    kRtnFormat = 0x05,
    kRtnData = 0x06,
};

// One answer to send: its bytes, after `delay_ms` from now.
struct Reply {
    Bytes bytes;
    std::uint32_t delay_ms = 0;
};

struct Counters {
    std::uint64_t commands = 0;               // frames addressed to the unit, answered or dropped
    std::uint64_t answers = 0;                // replies handed out (possibly damaged)
    std::uint64_t rtn_errors = 0;             // of them with a non-zero RTN
    std::uint64_t other_address = 0;          // frames for another address: no answer
    std::uint64_t bad_frames = 0;             // unreadable bytes or frames: no answer
    std::uint64_t faults = 0;                 // faults injected, every kind
    std::array<std::uint64_t, 7> by_fault{};  // indexed by FaultKind
};

// Which faults hit one answer.
struct FaultDecision {
    bool drop = false;
    bool corrupt = false;
    bool truncate = false;
    std::uint32_t keep = 0;
    std::uint32_t garbage = 0;  // bytes put before the answer
    std::uint32_t delay_ms = 0;
    bool duplicate = false;
    double silence_s = 0.0;  // the unit falls silent for this long, this answer included
    bool Any() const { return drop || corrupt || truncate || garbage > 0 || delay_ms > 0; }
};

// The scenario's fault rules with their seeded generator; the same seed and
// the same commands give the same faults.
class FaultInjector {
  public:
    explicit FaultInjector(Faults faults);
    // `ordinal` counts the commands addressed to the unit, from 1.
    FaultDecision Decide(std::uint64_t ordinal, std::uint64_t cycle, std::uint8_t cid1,
                         std::uint8_t cid2);
    // Applies a decision (other than drop) to an answer frame.
    Reply Damage(const Bytes& frame, const FaultDecision& d);
    bool Empty() const { return faults_.rules.empty(); }

  private:
    double Uniform();

    Faults faults_;
    std::mt19937 rng_;
    std::vector<std::uint64_t> fired_cycle_;  // per rule, for "cycles" rules
};

class Responder {
  public:
    explicit Responder(Scenario scenario);
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    // Takes bytes in any chunking; `elapsed_ms` is the time since the unit
    // started, for events given in seconds.
    std::vector<Reply> Feed(const unsigned char* data, std::size_t len, std::int64_t elapsed_ms);

    const Counters& counters() const { return counters_; }
    Device& device() { return device_; }
    // One line per command and per applied event since the last call.
    std::vector<std::string> TakeLog();

  private:
    void OnFrame(const smd::Frame& f);
    void OnError(smd::FrameError e);
    void Answer(std::uint8_t cid1, std::uint8_t cid2, std::uint8_t rtn, const Bytes& info);
    std::uint8_t Check(const smd::Frame& f) const;

    Device device_;
    FaultInjector faults_;
    std::uint8_t version_;
    std::uint8_t address_;
    std::unique_ptr<smd::FrameParser> parser_;
    Bytes capture_;  // the frame being received, for the header of a broken one
    bool capturing_ = false;
    double seconds_ = 0.0;
    double silent_until_ = -1.0;  // no answer before this time (seconds since the start)
    Counters counters_;
    std::vector<Reply> out_;
    std::vector<std::string> log_;
};

}  // namespace sim

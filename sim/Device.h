// The simulated monitoring unit's state: it counts poll cycles from the
// commands it sees, applies the scenario's events when they fall due and
// builds the INFO of every answer. No port, no clock: the caller says what
// time it is.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/Scenario.h"

namespace sim {

class Device {
  public:
    explicit Device(Scenario scenario);

    // Called for every command addressed to the unit, before it is answered.
    // A command earlier in the poll order than the previous one begins a new
    // cycle; the same command again is a retry within the cycle. Then every
    // event whose cycle or time has come is applied, in scenario order.
    void Observe(std::uint8_t cid1, std::uint8_t cid2, double seconds);

    // INFO of the answer to (cid1, cid2); false when the unit has no such command.
    bool BuildInfo(std::uint8_t cid1, std::uint8_t cid2, Bytes& info);

    Bytes AcAnalog();  // 0x40/0x41
    Bytes AcStatus();  // 0x40/0x43
    Bytes AcAlarm();   // 0x40/0x44
    Bytes AcParams();  // 0x40/0x46
    Bytes Model();     // 0x40/0x51
    Bytes RcAnalog();  // 0x41/0x41
    Bytes RcStatus();  // 0x41/0x43
    Bytes RcAlarm();   // 0x41/0x44
    Bytes DcAnalog();  // 0x42/0x41
    Bytes DcAlarm();   // 0x42/0x44
    Bytes DcParams();  // 0x42/0x46

    // Poll cycles begun so far; 0 before the first cycle command.
    std::uint64_t Cycle() const { return cycle_; }
    // The scenario as the events have changed it so far.
    const Scenario& State() const { return s_; }
    Scenario& MutableState() { return s_; }
    // What the applied events did, one line each, since the last call.
    std::vector<std::string> TakeNotes();

    // Position of a command in a full poll cycle, -1 for one outside it.
    static int PollOrder(std::uint8_t cid1, std::uint8_t cid2);

  private:
    struct CountOverride {
        bool active = false;
        std::uint8_t value = 0;
        std::int64_t remaining = -1;  // answers left, -1 until fixed
    };
    struct Dirty {
        bool status = true;
        bool alarm = true;
    };

    void Apply(const Event& e);
    void SetState(const Event& e);
    void SetValue(const Event& e);
    // False, with a note, for an event naming an AC channel removed meanwhile.
    bool ChannelExists(const Event& e);
    CountOverride& OverrideFor(CountKind kind, int unit);
    // The count to send: the real one, or a falsified one while an event says so.
    std::uint8_t Count(CountKind kind, std::size_t real, int unit = 0);
    std::uint8_t Flag(const DataFlag& f, const Dirty& d) const;
    void PutValue(Bytes& out, const Value& v) const;

    Scenario s_;
    std::vector<bool> applied_;
    std::uint64_t cycle_ = 0;
    int last_order_ = -1;
    Dirty ac_dirty_, rc_dirty_, dc_dirty_;
    CountOverride ac_units_, dc_units_, modules_;
    std::vector<CountOverride> ac_channels_;
    std::vector<std::string> notes_;
};

// IEEE-754 single precision, least significant byte first.
void put_f32(Bytes& out, float v);

}  // namespace sim

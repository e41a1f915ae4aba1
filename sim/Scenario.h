// What the simulated RAV-O3 monitoring unit reports and how it misbehaves:
// the blocks and their values, timed events and fault injection, parsed from
// a JSON scenario. Nothing here touches a port or a clock.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

using Bytes = std::vector<unsigned char>;

// A scenario that cannot be used; key() names the offending key
// ("ac.units[0].channels[1].a"), empty for a JSON syntax error.
class ScenarioError : public std::runtime_error {
  public:
    ScenarioError(std::string key, std::string problem, const std::string& where = "");
    const std::string& key() const { return key_; }
    const std::string& problem() const { return problem_; }

  private:
    std::string key_;
    std::string problem_;
};

// One analog value: fixed, drifting slowly around its base (a sine of the
// cycle number), or not available (sent as the four-equal-bytes marker).
struct Value {
    float base = 0.0f;
    float drift = 0.0f;
    std::uint32_t period = 60;  // cycles per sine period
    bool available = true;

    static Value Of(float v) {
        Value x;
        x.base = v;
        return x;
    }
    static Value NotAvailable() {
        Value x;
        x.available = false;
        return x;
    }
    float At(std::uint64_t cycle) const;
};

// Bytes the four-equal-bytes marker is sent as.
constexpr unsigned char kNotAvailableByte = 0x20;

struct AcChannel {
    Value a, b, c, f;
    std::array<std::uint8_t, 4> states{};      // a, b, c, f alarm states
    std::array<std::uint8_t, 8> alarm_user{};  // user-defined alarm bytes
};

struct AcUnit {
    std::vector<AcChannel> channels;
    Value ia, ib, ic;
    std::array<std::uint8_t, 3> current_alarms{};  // ia, ib, ic alarm states
    Bytes breakers;                                // one state byte per breaker
    std::array<std::uint8_t, 3> status_user{};
};

struct DcUnit {
    Value v, i;
    std::vector<Value> m, n, user;  // the M, N and user-defined values
    std::uint8_t v_state = 0;
    std::array<std::uint8_t, 64> fuses{};
    std::array<std::uint8_t, 13> user_alarms{};
};

struct Module {
    Value value;
    std::array<Value, 4> analog;
    std::array<std::uint8_t, 3> status{};
    std::uint8_t status_user = 0;
    std::uint8_t fault = 0;
    std::array<std::uint8_t, 4> alarm_user{};
};

// DATAFLAG of a block: fixed, or worked out from what changed since the
// host last read the block's status and alarm answers (bit 4, bit 0).
struct DataFlag {
    bool automatic = true;
    std::uint8_t value = 0;
};

enum class Block { Ac, Rectifier, Dc };

// State bytes an event can set or clear.
enum class StateTarget {
    AcChannel,     // unit, channel, phase a/b/c/f
    AcCurrent,     // unit, phase a/b/c
    AcBreaker,     // unit, slot
    DcVoltage,     // unit
    Fuse,          // unit, fuse 1..64
    DcUser,        // unit, slot 0..12
    ModuleFault,   // module
    ModuleAlarm,   // module, slot 0..3
    ModuleStatus,  // module, slot 0..3 (3 is the user-defined status byte)
};

enum class ValueTarget { AcChannel, AcCurrent, DcVoltage, DcCurrent, Module, Group };

// Count bytes a wrong_count event can falsify.
enum class CountKind { AcUnits, AcChannels, DcUnits, Modules };

struct Event {
    enum class Kind {
        Set,
        Clear,
        BlowFuse,
        FailModule,
        AddModule,
        RemoveModule,
        AddChannel,
        RemoveChannel,
        WrongCount,
        FixCount,
        SetValue,
        SetFlag,
    };
    std::string key;  // "events[3]", for notes and errors
    bool by_cycle = true;
    std::uint64_t cycle = 0;
    double seconds = 0.0;
    Kind kind = Kind::Set;

    StateTarget state_target = StateTarget::AcChannel;
    ValueTarget value_target = ValueTarget::AcChannel;
    int unit = 0;     // 0-based
    int channel = 0;  // 0-based
    int index = 0;    // phase, slot, fuse or module, 0-based
    std::uint8_t state = 1;
    Value value;
    Module module;             // add_module
    bool last_module = true;   // remove_module without "module"
    AcChannel ac_channel;      // add_channel
    bool last_channel = true;  // remove_channel without "channel"
    CountKind count = CountKind::AcUnits;
    std::uint8_t count_value = 0;
    std::int64_t answers = -1;  // answers carrying the wrong count, -1 until fix_count
    Block block = Block::Ac;
    DataFlag flag;
};

// Duplicate: the answer is sent twice; Silence: from this command on the unit
// answers nothing for a while.
enum class FaultKind { Drop, CorruptChecksum, Truncate, Garbage, Delay, Duplicate, Silence };
const char* fault_name(FaultKind k);

struct FaultRule {
    enum class Mode { Probability, Every, At, Cycles };
    FaultKind kind = FaultKind::Drop;
    Mode mode = Mode::Probability;
    double probability = 0.0;
    std::uint64_t every = 0;            // every n-th command
    std::vector<std::uint64_t> at;      // command ordinals, 1-based
    std::vector<std::uint64_t> cycles;  // once in each of these cycles
    bool any_command = true;
    std::uint8_t cid1 = 0, cid2 = 0;  // only this command, unless any_command
    std::uint64_t from_cycle = 0;
    std::uint64_t to_cycle = std::numeric_limits<std::uint64_t>::max();
    std::uint32_t garbage_bytes = 8;
    std::uint32_t keep = 0;  // bytes of a truncated frame kept, 0: half
    std::uint32_t delay_ms = 1500;
    double silence_s = 10.0;
};

struct Faults {
    std::uint32_t seed = 1;
    std::vector<FaultRule> rules;
};

struct Scenario {
    std::string model = "RAV-O3";  // at most 20 bytes, NUL-padded on the line
    std::uint8_t protocol_version = 0x20;
    std::uint8_t address = 1;

    std::vector<AcUnit> ac_units;
    AcChannel channel_template;  // what add_channel adds unless it says otherwise
    DataFlag ac_flag;

    Value group;
    std::vector<Module> modules;
    Module module_template;  // what add_module adds unless it says otherwise
    DataFlag rc_flag;

    std::vector<DcUnit> dc_units;
    DataFlag dc_flag;

    std::array<Value, 5> ac_params;
    std::array<Value, 2> dc_params;
    std::array<Value, 9> dc_user_params;

    std::vector<Event> events;
    Faults faults;
};

// Limits of a scenario; add_module stops at kMaxModules.
constexpr int kMaxAcUnits = 16;
constexpr int kMaxChannels = 16;
constexpr int kMaxDcUnits = 16;
constexpr int kMaxModules = 96;
constexpr int kMaxDcValues = 16;
constexpr std::size_t kModelBytes = 20;
// INFO of one frame.
constexpr std::size_t kMaxInfo = 2047;

// Throw ScenarioError.
Scenario ParseScenario(const std::string& json_text);
Scenario LoadScenarioFile(const std::string& path);
// The scenario of an empty JSON object.
Scenario DefaultScenario();
// Throws ScenarioError when the model does not fit its 20 bytes.
void SetModel(Scenario& s, const std::string& model, const std::string& key = "model");

}  // namespace sim

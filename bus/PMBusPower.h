// The bus device: owns the line to the power system's monitoring unit, asks it
// for its model once, then polls the AC distribution, rectifier and DC
// distribution blocks in a fixed cycle and routes every answer to the units.
//
// Cycle ends and readiness: at the end of a cycle process_payload() calls
// every unit's RoundDone(), sets the step to 0, calls Reset() and returns 0.
// The frame layer tells such a return from a rejected first answer (which
// also returns 0) by the step before the call: a cycle end always comes from a
// step other than 0. On a cycle end the frame layer sets this device's `ready`
// flag, which lets later cycles skip the optional queries whose data flags are
// clear, and `last_update` to the local time at which the cycle's first
// command went out: the 2-second hold-off then spaces the starts of cycles.
#pragma once

#include <json/value.h>

#include <algorithm>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "host/HostTypes.h"
#include "host/PMBusProtocol.h"
#include "plugin/HostExtensions.h"

namespace pmbus_power {

// When a command carries the one-byte INFO `commandGroup_`.
enum class GroupByte : unsigned char {
    Never,
    Always,
    IfVersion21,  // only when the protocol version byte is exactly 0x21
};

// The poll steps: the value of command_step_ while that step's answer is
// awaited. The values are not the order of a cycle (kPollCommands is); 0 is
// also where the device rests between cycles, which the frame layer relies on.
enum PollStep : int {
    kAcAnalogStep = 0,
    kAcStatusStep = 1,
    kAcAlarmStep = 2,
    kAcParametersStep = 3,
    kRcAnalogStep = 4,
    kRcStatusStep = 5,
    kRcAlarmStep = 6,
    kDcAnalogStep = 7,
    kDcAlarmStep = 8,
    kDcParametersStep = 9,
    kModelStep = 14,
};

// One poll step: the command sent at that step, whose answer is awaited.
struct PollCommand {
    int step;
    unsigned char cid1;
    unsigned char cid2;
    GroupByte group;
};

// Every command of the bus device, in the order of a full cycle after the
// model query. RefreshStatus() and the transitions both send from here.
inline constexpr PollCommand kPollCommands[] = {
    {kModelStep, 0x40, 0x51, GroupByte::Never},           // model of the monitoring unit
    {kAcAnalogStep, 0x40, 0x41, GroupByte::Always},       // AC analog values
    {kAcStatusStep, 0x40, 0x43, GroupByte::Always},       // AC status values
    {kAcAlarmStep, 0x40, 0x44, GroupByte::Always},        // AC alarm states
    {kRcAnalogStep, 0x41, 0x41, GroupByte::Never},        // rectifier analog values
    {kRcStatusStep, 0x41, 0x43, GroupByte::Never},        // rectifier status values
    {kRcAlarmStep, 0x41, 0x44, GroupByte::Never},         // rectifier alarm states
    {kDcAnalogStep, 0x42, 0x41, GroupByte::IfVersion21},  // DC analog values
    {kDcAlarmStep, 0x42, 0x44, GroupByte::IfVersion21},   // DC alarm states
    {kAcParametersStep, 0x40, 0x46, GroupByte::Never},    // AC parameters
    {kDcParametersStep, 0x42, 0x46, GroupByte::Never},    // DC parameters
};

constexpr const PollCommand* FindPollCommand(int step) {
    for (const PollCommand& c : kPollCommands) {
        if (c.step == step) return &c;
    }
    return nullptr;
}

constexpr bool SendsGroupByte(const PollCommand& c, unsigned char protocol_version) {
    return c.group == GroupByte::Always ||
           (c.group == GroupByte::IfVersion21 && protocol_version == 0x21);
}

// Bytes of the model field in the model answer.
constexpr int kModelFieldBytes = 20;

// The model name a model field stands for: the field without the trailing NUL
// bytes and blanks that pad it.
inline std::string TrimModelField(const std::string& field) {
    const auto end = field.find_last_not_of(std::string("\0 ", 2));
    return end == std::string::npos ? std::string() : field.substr(0, end + 1);
}

}  // namespace pmbus_power

template <typename AC, typename DC, typename RC>
class PMBusPower : public PMBusProtocol {
  public:
    explicit PMBusPower(std::vector<std::string> supported_models)
        : supportedModels_(std::move(supported_models)) {
        // A host that can wakes the line for the next cycle when the hold-off ends.
        host_ext::SetCycleSpacing(*this, kHoldOffSeconds * 1000);
    }
    ~PMBusPower() override = default;

    using SMDVDevice::LoadFromCache;
    // The bus device keeps no history of its own; the units load theirs.
    bool LoadFromCache(const unsigned char* /*data*/, int /*len*/) override { return true; }

    bool InitSetting(const Json::Value& cfg) override;
    std::shared_ptr<SMDVDevice> GetChildVDevice(unsigned int data_id) override;
    std::vector<std::shared_ptr<SMDVDevice>> GetAllChildVDevices() override;
    bool RefreshStatus() override;
    int process_payload() override;

  protected:
    std::vector<std::shared_ptr<AC>> acDevices_;
    std::vector<std::shared_ptr<DC>> dcDevices_;
    std::shared_ptr<RC> rcDevice_;
    std::uint8_t acDataFlag_ = 0;
    std::uint8_t rcDataFlag_ = 0;
    bool modelCheckPending_ = true;
    std::string deviceModel_;
    std::vector<std::string> supportedModels_;

    static inline const unsigned char commandGroup_ = 0xFF;
    // The cycle under way makes every optional query: it started over after
    // a break.
    bool fullCycle_ = false;
    // Cycle ends until which every optional query is made whatever the data
    // flags say: set when a unit takes a new channel or module count.
    int fullCycles_ = 0;
    // Times the current step's command was sent again since an answer came.
    int repeats_ = 0;
    // Whether the data-ready flag was set when the cycle under way began.
    bool cycleBeganReady_ = false;

  private:
    static constexpr int kCycleEnd = -1;
    static constexpr unsigned char kStatusBit = 0x10;
    static constexpr unsigned char kAlarmBit = 0x01;

    // Sends the command of `step` as the step table gives it.
    void SendStep(int step);
    // The least time between the starts of two cycles, in whole seconds: the
    // monitoring unit refreshes what it serves about every two seconds.
    static constexpr std::int64_t kHoldOffSeconds = 2;
    bool WithinHoldOff() const;
    // The step after `step` whose answer has just been accepted, or kCycleEnd.
    int NextStep(int step, std::uint8_t dc_flag) const;
    int Advance(int step, std::uint8_t dc_flag = 0);
    int EndCycle();

    int OnModel(unsigned char cid1, const unsigned char* info, int len);
    int OnAcAnalog(unsigned char cid1, const unsigned char* info, int len);
    int OnAcStatus(unsigned char cid1, const unsigned char* info, int len);
    int OnAcAlarm(unsigned char cid1, const unsigned char* info, int len);
    int OnRectifier(int step, unsigned char cid1, const unsigned char* info, int len);
    int OnDcAnalog(unsigned char cid1, const unsigned char* info, int len);
    int OnDcAlarm(unsigned char cid1, const unsigned char* info, int len);
    int OnParameters(int step, unsigned char cid1, const unsigned char* info, int len);
    // After a unit took a new count, the states it keeps or starts at zero are
    // read again: the rest of this cycle and the next one ask for everything.
    template <typename Unit>
    void NoteCountChange(Unit& unit);

    // Hands the INFO from byte `start` on to every unit in turn, each taking
    // its block from where the previous one stopped. False when a unit
    // refused the answer; otherwise `used` is the offset after the last block.
    template <typename Unit, typename Parse>
    static bool WalkUnits(const std::vector<std::shared_ptr<Unit>>& units, Parse parse,
                          const unsigned char* info, int len, int start, long long& used);
};

template <typename AC, typename DC, typename RC>
bool PMBusPower<AC, DC, RC>::InitSetting(const Json::Value& cfg) {
    if (!PMBusProtocol::InitSetting(cfg)) return false;
    const Json::Value& ac_setting = cfg["acSetting"];
    if (ac_setting.isArray()) {
        for (Json::ArrayIndex i = 0; i < ac_setting.size(); ++i) {
            const Json::Value& entry = ac_setting[i];
            auto unit = std::make_shared<AC>();
            const unsigned int id = entry["data_id"].asUInt();
            unit->InitV(this, id, entry);
            acDevices_.push_back(std::move(unit));
        }
    }
    const Json::Value& dc_setting = cfg["dcSetting"];
    if (dc_setting.isArray()) {
        for (Json::ArrayIndex i = 0; i < dc_setting.size(); ++i) {
            const Json::Value& entry = dc_setting[i];
            auto unit = std::make_shared<DC>(std::string(deviceModel_));
            const unsigned int id = entry["data_id"].asUInt();
            unit->InitV(this, id, entry);
            dcDevices_.push_back(std::move(unit));
        }
    }
    const Json::Value& rc_setting = cfg["rcSetting"];
    if (rc_setting != Json::Value()) {
        rcDevice_ = std::make_shared<RC>();
        // The rectifier unit carries the bus device's data id, whatever its entry says.
        rcDevice_->InitV(this, DataId(), rc_setting);
        return true;
    }
    return false;
}

template <typename AC, typename DC, typename RC>
std::shared_ptr<SMDVDevice> PMBusPower<AC, DC, RC>::GetChildVDevice(unsigned int data_id) {
    for (const auto& unit : acDevices_) {
        if (unit->DataId() == data_id) return unit;
    }
    for (const auto& unit : dcDevices_) {
        if (unit->DataId() == data_id) return unit;
    }
    // The rectifier unit shares the bus device's id and is not looked up by it.
    return std::shared_ptr<SMDVDevice>();
}

template <typename AC, typename DC, typename RC>
std::vector<std::shared_ptr<SMDVDevice>> PMBusPower<AC, DC, RC>::GetAllChildVDevices() {
    std::vector<std::shared_ptr<SMDVDevice>> all;
    all.reserve(acDevices_.size() + dcDevices_.size() + 1);
    all.insert(all.end(), acDevices_.begin(), acDevices_.end());
    all.insert(all.end(), dcDevices_.begin(), dcDevices_.end());
    all.push_back(rcDevice_);  // always last, empty when none is configured
    return all;
}

template <typename AC, typename DC, typename RC>
void PMBusPower<AC, DC, RC>::SendStep(int step) {
    const pmbus_power::PollCommand* c = pmbus_power::FindPollCommand(step);
    if (!c) return;
    if (pmbus_power::SendsGroupByte(*c, protocol_version_)) {
        write_pmbus_cmd(c->cid1, c->cid2, &commandGroup_, 1);
    } else {
        write_pmbus_cmd(c->cid1, c->cid2);
    }
}

template <typename AC, typename DC, typename RC>
bool PMBusPower<AC, DC, RC>::WithinHoldOff() const {
    const boost::posix_time::ptime now = host_ext::LocalTime();
    if (now.is_special() || last_update.is_special()) return false;
    const std::int64_t since = (now - last_update).total_seconds();
    // A clock set back (last update in the future) must not stop polling.
    return since >= 0 && since < kHoldOffSeconds;
}

template <typename AC, typename DC, typename RC>
bool PMBusPower<AC, DC, RC>::RefreshStatus() {
    // Without a rectifier unit the configuration was refused: never poll.
    if (!rcDevice_) return false;
    if (!SMDSPDevice::RefreshStatus()) return false;
    if (!modelCheckPending_ && WithinHoldOff()) {
        serial_state = 0;
        return false;
    }
    if (modelCheckPending_) {
        command_step_ = pmbus_power::kModelStep;
        SendStep(command_step_);
        return true;
    }
    switch (command_step_) {
        case pmbus_power::kAcStatusStep:
        case pmbus_power::kAcAlarmStep:
        case pmbus_power::kAcParametersStep:
        case pmbus_power::kRcAnalogStep:
        case pmbus_power::kRcStatusStep:
        case pmbus_power::kRcAlarmStep:
        case pmbus_power::kDcAnalogStep:
        case pmbus_power::kDcAlarmStep:
        case pmbus_power::kDcParametersStep:
            // The answer did not come: ask again, once. When the repeat went
            // unanswered too, or the host dropped the data-ready flag since the
            // cycle began (it does when the line broke), what this cycle read
            // is older than what it would read next: the cycle starts over and
            // makes every optional query, so that no record holds values from
            // both sides of the break.
            if (repeats_ < 1 && !(cycleBeganReady_ && ready == 0)) {
                ++repeats_;
                SendStep(command_step_);
                return true;
            }
            fullCycle_ = true;
            break;
        default:
            break;
    }
    // Step 0, or a step that is no step of the cycle: begin a cycle.
    command_step_ = acDevices_.empty() ? pmbus_power::kRcAnalogStep : pmbus_power::kAcAnalogStep;
    repeats_ = 0;
    cycleBeganReady_ = ready != 0;
    SendStep(command_step_);
    return true;
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::NextStep(int step, std::uint8_t dc_flag) const {
    // Until the first cycle has ended, after a broken one and after a count
    // change, every optional query is made.
    const bool full = ready == 0 || fullCycle_ || fullCycles_ > 0;
    const bool ac_status = full || (acDataFlag_ & kStatusBit);
    const bool ac_alarm = full || (acDataFlag_ & kAlarmBit);
    const bool rc_status = full || (rcDataFlag_ & kStatusBit);
    const bool rc_alarm = full || (rcDataFlag_ & kAlarmBit);
    using namespace pmbus_power;
    const int after_rc = dcDevices_.empty() ? kCycleEnd : kDcAnalogStep;
    const int after_dc = acDevices_.empty() ? kDcParametersStep : kAcParametersStep;
    switch (step) {
        case kModelStep:
            return acDevices_.empty() ? kRcAnalogStep : kAcAnalogStep;
        case kAcAnalogStep:
            if (ac_status) return kAcStatusStep;
            if (ac_alarm) return kAcAlarmStep;
            return kRcAnalogStep;
        case kAcStatusStep:
            return ac_alarm ? kAcAlarmStep : kRcAnalogStep;
        case kAcAlarmStep:
            return kRcAnalogStep;
        case kRcAnalogStep:
            if (rc_status) return kRcStatusStep;
            if (rc_alarm) return kRcAlarmStep;
            return after_rc;
        case kRcStatusStep:
            return rc_alarm ? kRcAlarmStep : after_rc;
        case kRcAlarmStep:
            return after_rc;
        case kDcAnalogStep:
            return (full || (dc_flag & (kStatusBit | kAlarmBit))) ? kDcAlarmStep : after_dc;
        case kDcAlarmStep:
            return after_dc;
        case kAcParametersStep:
            return kDcParametersStep;
        case kDcParametersStep:
        default:
            return kCycleEnd;
    }
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::Advance(int step, std::uint8_t dc_flag) {
    const int next = NextStep(step, dc_flag);
    if (next == kCycleEnd) return EndCycle();
    command_step_ = next;
    repeats_ = 0;
    SendStep(next);
    return 1;
}

template <typename AC, typename DC, typename RC>
template <typename Unit>
void PMBusPower<AC, DC, RC>::NoteCountChange(Unit& unit) {
    if (unit.TakeCountChange()) fullCycles_ = 2;
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::EndCycle() {
    for (const auto& unit : acDevices_) unit->RoundDone();
    for (const auto& unit : dcDevices_) unit->RoundDone();
    rcDevice_->RoundDone();
    if (fullCycles_ > 0) --fullCycles_;
    command_step_ = pmbus_power::kAcAnalogStep;
    fullCycle_ = false;
    Reset();
    return 0;
}

template <typename AC, typename DC, typename RC>
template <typename Unit, typename Parse>
bool PMBusPower<AC, DC, RC>::WalkUnits(const std::vector<std::shared_ptr<Unit>>& units, Parse parse,
                                       const unsigned char* info, int len, int start,
                                       long long& used) {
    used = start;
    for (const auto& unit : units) {
        // Past the end of the INFO a unit gets no bytes, only the (negative) count.
        const long long offset = std::min<long long>(used, len);
        const long long left = std::max<long long>(len - used, std::numeric_limits<int>::min());
        const int result = parse(*unit, info + offset, static_cast<int>(left));
        if (result < 0) return false;
        used += result;
    }
    return true;
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::process_payload() {
    host_ext::Pause(20000);
    if (!answer_ || !rcDevice_) return 1;
    // The unit answered: a later silence is counted afresh.
    repeats_ = 0;
    const unsigned int lenid = answer_[4] | (static_cast<unsigned int>(answer_[5]) << 8);
    const int len = static_cast<int>(std::min(lenid / 2, kMaxInfoBytes));
    const unsigned char cid1 = answer_[2];
    const unsigned char* info = answer_ + kAnswerHeader;
    using namespace pmbus_power;
    switch (command_step_) {
        case kModelStep:
            return OnModel(cid1, info, len);
        case kAcAnalogStep:
            return OnAcAnalog(cid1, info, len);
        case kAcStatusStep:
            return OnAcStatus(cid1, info, len);
        case kAcAlarmStep:
            return OnAcAlarm(cid1, info, len);
        case kRcAnalogStep:
        case kRcStatusStep:
        case kRcAlarmStep:
            return OnRectifier(command_step_, cid1, info, len);
        case kDcAnalogStep:
            return OnDcAnalog(cid1, info, len);
        case kDcAlarmStep:
            return OnDcAlarm(cid1, info, len);
        case kAcParametersStep:
        case kDcParametersStep:
            return OnParameters(command_step_, cid1, info, len);
        default:
            return 1;
    }
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::OnModel(unsigned char cid1, const unsigned char* info, int len) {
    if (cid1 != 0x40) return 1;
    const int n = std::min(len, pmbus_power::kModelFieldBytes);
    deviceModel_.assign(reinterpret_cast<const char*>(info), static_cast<std::size_t>(n));
    const std::string model = pmbus_power::TrimModelField(deviceModel_);
    const bool listed = std::find(supportedModels_.begin(), supportedModels_.end(), model) !=
                        supportedModels_.end();
    const std::string text = "本驱动类型:" + DeviceType() + " 检测型号:" + deviceModel_;
    // The device has one model point; its detail names the model it was raised
    // for, which is not the one answering now (or was restored from the store
    // after a restart). Clear every standing one but the model's own.
    // (A host that cannot tell which are standing gets only the raise.)
    std::vector<std::string> standing;
    host_ext::StandingDetails(*this, "device_model", standing);
    for (const std::string& detail : standing) {
        if (listed || detail != text) {
            CheckThresholdBool(3, "device_model", "70319", "设备配置检测", detail, false, 0);
        }
    }
    if (!listed) CheckThresholdBool(3, "device_model", "70319", "设备配置检测", text, true, 0);
    modelCheckPending_ = false;
    return Advance(pmbus_power::kModelStep);
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::OnAcAnalog(unsigned char cid1, const unsigned char* info, int len) {
    // A rejected first answer ends the exchange; the next poll starts the cycle again.
    if (cid1 != 0x40 || len < 2) {
        Reset();
        return 0;
    }
    acDataFlag_ = info[0];
    if (info[1] != acDevices_.size()) {
        host_ext::Log(
            *this, "PMBusPower:ProcotolError {} read ac_number is {}, configured ac_number is {}",
            DataId(), info[1], static_cast<std::uint32_t>(acDevices_.size()));
        Reset();
        return 0;
    }
    long long used = 0;
    const bool walked = WalkUnits(
        acDevices_, [](AC& u, const unsigned char* p, int n) { return u.parse40_41(p, n); }, info,
        len, 2, used);
    for (const auto& unit : acDevices_) NoteCountChange(*unit);
    if (!walked) return 1;
    if (used != len) {
        host_ext::Log(*this, "PMBusPower:ProcotolError {} parse 40_41 overflow memory boundary",
                      DataId());
        return 1;
    }
    return Advance(pmbus_power::kAcAnalogStep);
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::OnAcStatus(unsigned char cid1, const unsigned char* info, int len) {
    if (cid1 != 0x40) return 1;
    if (len - 2 > 0) {
        long long used = 0;
        if (!WalkUnits(
                acDevices_, [](AC& u, const unsigned char* p, int n) { return u.parse40_43(p, n); },
                info, len, 2, used)) {
            return 1;
        }
        if (used != len) {
            host_ext::Log(*this, "PMBusPower:ProcotolError {} parse 40_43 overflow memory boundary",
                          DataId());
            return 1;
        }
    }
    return Advance(pmbus_power::kAcStatusStep);
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::OnAcAlarm(unsigned char cid1, const unsigned char* info, int len) {
    if (cid1 != 0x40) return 1;
    long long used = 0;
    if (!WalkUnits(
            acDevices_, [](AC& u, const unsigned char* p, int n) { return u.parse40_44(p, n); },
            info, len, 2, used)) {
        return 1;
    }
    if (used != len) return 1;
    return Advance(pmbus_power::kAcAlarmStep);
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::OnRectifier(int step, unsigned char cid1, const unsigned char* info,
                                        int len) {
    if (cid1 != 0x41) return 1;
    int consumed = 0;
    const char* overflow = nullptr;
    if (step == pmbus_power::kRcAnalogStep) {
        if (len < 1) return 1;
        rcDataFlag_ = info[0];
        consumed = rcDevice_->parse41_41(info, len);
        NoteCountChange(*rcDevice_);
        overflow = "PMBusPower:ProcotolError {} parse p41_41 overflow memory boundary";
    } else if (step == pmbus_power::kRcStatusStep) {
        consumed = rcDevice_->parse41_43(info, len);
        overflow = "PMBusPower:ProcotolError {} parse p41_43 overflow memory boundary";
    } else {
        consumed = rcDevice_->parse41_44(info, len);
        overflow = "PMBusPower:ProcotolError {} parse p41_44 overflow memory boundary";
    }
    if (consumed != len) {
        host_ext::Log(*this, overflow, DataId());
        return 1;
    }
    return Advance(step);
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::OnDcAnalog(unsigned char cid1, const unsigned char* info, int len) {
    if (cid1 != 0x42 || len < 2) return 1;
    const std::uint8_t dc_flag = info[0];
    if (info[1] != dcDevices_.size()) {
        host_ext::Log(
            *this, "PMBusPower:ProcotolError {} read dc_number is {}, configured dc_number is {}",
            DataId(), info[1], static_cast<std::uint32_t>(dcDevices_.size()));
        return 1;
    }
    // With four or more DC units the monitoring unit starts the DC data at the count byte.
    const int start = info[1] <= 3 ? 2 : 1;
    long long used = 0;
    if (!WalkUnits(
            dcDevices_, [](DC& u, const unsigned char* p, int n) { return u.parse42_41(p, n); },
            info, len, start, used)) {
        return 1;
    }
    if (used > len) {
        host_ext::Log(*this, "PMBusPower:ProcotolError {} parse 42_41 overflow memory boundary",
                      DataId());
    }
    return Advance(pmbus_power::kDcAnalogStep, dc_flag);
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::OnDcAlarm(unsigned char cid1, const unsigned char* info, int len) {
    if (cid1 != 0x42 || len < 2) return 1;
    if (info[1] != dcDevices_.size()) {
        host_ext::Log(
            *this, "PMBusPower:ProcotolError {} read dc_number is {}, configured dc_number is {}",
            DataId(), info[1], static_cast<std::uint32_t>(dcDevices_.size()));
        return 1;
    }
    long long used = 0;
    if (!WalkUnits(
            dcDevices_, [](DC& u, const unsigned char* p, int n) { return u.parse42_44(p, n); },
            info, len, 2, used)) {
        return 1;
    }
    if (used > len) {
        host_ext::Log(*this, "PMBusPower:ProcotolError {} parse 42_44 overflow memory boundary",
                      DataId());
    }
    return Advance(pmbus_power::kDcAlarmStep);
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::OnParameters(int step, unsigned char cid1, const unsigned char* info,
                                         int len) {
    const bool ac_params = step == pmbus_power::kAcParametersStep;
    if (cid1 != (ac_params ? 0x40 : 0x42)) return 1;
    const int consumed =
        ac_params ? rcDevice_->parse40_46(info, len) : rcDevice_->parse42_46(info, len);
    if (consumed < 0) return 1;
    if (consumed > len) {
        host_ext::Log(*this, "PMBusPower:ProcotolError {} parse 40_46 overflow memory boundary",
                      DataId());
    }
    return Advance(step);
}

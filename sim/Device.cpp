#include "sim/Device.h"

#include <cstring>

namespace sim {

void put_f32(Bytes& out, float v) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>((bits >> (8 * i)) & 0xFF));
}

Device::Device(Scenario scenario)
    : s_(std::move(scenario)),
      applied_(s_.events.size(), false),
      ac_channels_(s_.ac_units.size()) {}

int Device::PollOrder(std::uint8_t cid1, std::uint8_t cid2) {
    static const std::uint8_t order[][2] = {
        {0x40, 0x41}, {0x40, 0x43}, {0x40, 0x44}, {0x41, 0x41}, {0x41, 0x43},
        {0x41, 0x44}, {0x42, 0x41}, {0x42, 0x44}, {0x40, 0x46}, {0x42, 0x46},
    };
    for (int i = 0; i < 10; ++i) {
        if (order[i][0] == cid1 && order[i][1] == cid2) return i;
    }
    return -1;
}

void Device::Observe(std::uint8_t cid1, std::uint8_t cid2, double seconds) {
    const int order = PollOrder(cid1, cid2);
    if (order >= 0) {
        if (last_order_ < 0 || order < last_order_) ++cycle_;
        last_order_ = order;
    }
    for (std::size_t i = 0; i < s_.events.size(); ++i) {
        if (applied_[i]) continue;
        const Event& e = s_.events[i];
        const bool due = e.by_cycle ? cycle_ >= e.cycle : seconds >= e.seconds;
        if (!due) continue;
        applied_[i] = true;
        Apply(e);
    }
}

std::vector<std::string> Device::TakeNotes() {
    std::vector<std::string> out;
    out.swap(notes_);
    return out;
}

void Device::SetState(const Event& e) {
    const auto unit = static_cast<std::size_t>(e.unit);
    const auto index = static_cast<std::size_t>(e.index);
    const auto module_ok = [&] {
        if (index < s_.modules.size()) return true;
        notes_.push_back(e.key + ": there is no module " + std::to_string(index + 1) + ", ignored");
        return false;
    };
    switch (e.state_target) {
        case StateTarget::AcChannel:
            if (!ChannelExists(e)) return;
            s_.ac_units[unit].channels[static_cast<std::size_t>(e.channel)].states[index] = e.state;
            ac_dirty_.alarm = true;
            break;
        case StateTarget::AcCurrent:
            s_.ac_units[unit].current_alarms[index] = e.state;
            ac_dirty_.alarm = true;
            break;
        case StateTarget::AcBreaker:
            s_.ac_units[unit].breakers[index] = e.state;
            ac_dirty_.status = true;
            break;
        case StateTarget::DcVoltage:
            s_.dc_units[unit].v_state = e.state;
            dc_dirty_.alarm = true;
            break;
        case StateTarget::Fuse:
            s_.dc_units[unit].fuses[index] = e.state;
            dc_dirty_.alarm = true;
            break;
        case StateTarget::DcUser:
            s_.dc_units[unit].user_alarms[index] = e.state;
            dc_dirty_.alarm = true;
            break;
        case StateTarget::ModuleFault:
            if (!module_ok()) return;
            s_.modules[index].fault = e.state;
            rc_dirty_.alarm = true;
            break;
        case StateTarget::ModuleAlarm:
            if (!module_ok()) return;
            s_.modules[index].alarm_user[static_cast<std::size_t>(e.channel)] = e.state;
            rc_dirty_.alarm = true;
            break;
        case StateTarget::ModuleStatus:
            if (!module_ok()) return;
            if (e.channel < 3) {
                s_.modules[index].status[static_cast<std::size_t>(e.channel)] = e.state;
            } else {
                s_.modules[index].status_user = e.state;
            }
            rc_dirty_.status = true;
            break;
    }
    notes_.push_back(e.key + ": state " + std::to_string(e.state));
}

void Device::SetValue(const Event& e) {
    const auto unit = static_cast<std::size_t>(e.unit);
    const auto index = static_cast<std::size_t>(e.index);
    switch (e.value_target) {
        case ValueTarget::AcChannel: {
            if (!ChannelExists(e)) return;
            AcChannel& c = s_.ac_units[unit].channels[static_cast<std::size_t>(e.channel)];
            Value* v[] = {&c.a, &c.b, &c.c, &c.f};
            *v[index] = e.value;
            break;
        }
        case ValueTarget::AcCurrent: {
            AcUnit& u = s_.ac_units[unit];
            Value* v[] = {&u.ia, &u.ib, &u.ic};
            *v[index] = e.value;
            break;
        }
        case ValueTarget::DcVoltage:
            s_.dc_units[unit].v = e.value;
            break;
        case ValueTarget::DcCurrent:
            s_.dc_units[unit].i = e.value;
            break;
        case ValueTarget::Module:
            if (index >= s_.modules.size()) {
                notes_.push_back(e.key + ": there is no module " + std::to_string(index + 1) +
                                 ", ignored");
                return;
            }
            s_.modules[index].value = e.value;
            break;
        case ValueTarget::Group:
            s_.group = e.value;
            break;
    }
    notes_.push_back(e.key + ": value set");
}

Device::CountOverride& Device::OverrideFor(CountKind kind, int unit) {
    switch (kind) {
        case CountKind::AcUnits:
            return ac_units_;
        case CountKind::DcUnits:
            return dc_units_;
        case CountKind::Modules:
            return modules_;
        case CountKind::AcChannels:
            break;
    }
    return ac_channels_[static_cast<std::size_t>(unit)];
}

void Device::Apply(const Event& e) {
    switch (e.kind) {
        case Event::Kind::Set:
        case Event::Kind::Clear:
        case Event::Kind::BlowFuse:
        case Event::Kind::FailModule:
            SetState(e);
            return;
        case Event::Kind::AddModule:
            if (s_.modules.size() >= static_cast<std::size_t>(kMaxModules)) {
                notes_.push_back(e.key + ": already " + std::to_string(kMaxModules) +
                                 " modules, ignored");
                return;
            }
            s_.modules.push_back(e.module);
            rc_dirty_ = Dirty{};
            notes_.push_back(e.key + ": module " + std::to_string(s_.modules.size()) + " added");
            return;
        case Event::Kind::RemoveModule: {
            const std::size_t at =
                e.last_module ? s_.modules.size() - 1 : static_cast<std::size_t>(e.index);
            if (s_.modules.empty() || at >= s_.modules.size()) {
                notes_.push_back(e.key + ": no such module, ignored");
                return;
            }
            s_.modules.erase(s_.modules.begin() + static_cast<long>(at));
            rc_dirty_ = Dirty{};
            notes_.push_back(e.key + ": module " + std::to_string(at + 1) + " removed");
            return;
        }
        case Event::Kind::AddChannel: {
            std::vector<AcChannel>& channels =
                s_.ac_units[static_cast<std::size_t>(e.unit)].channels;
            // The AC analog answer is the largest AC answer; it must still fit one frame.
            std::size_t analog = 2 + 17;
            for (const AcUnit& u : s_.ac_units) analog += 13 + 17 * u.channels.size();
            if (channels.size() >= static_cast<std::size_t>(kMaxChannels) || analog > kMaxInfo) {
                notes_.push_back(e.key + ": no room for another channel, ignored");
                return;
            }
            channels.push_back(e.ac_channel);
            ac_dirty_ = Dirty{};
            notes_.push_back(e.key + ": channel " + std::to_string(channels.size()) + " added");
            return;
        }
        case Event::Kind::RemoveChannel: {
            std::vector<AcChannel>& channels =
                s_.ac_units[static_cast<std::size_t>(e.unit)].channels;
            const std::size_t at =
                e.last_channel ? channels.size() - 1 : static_cast<std::size_t>(e.channel);
            if (channels.empty() || at >= channels.size()) {
                notes_.push_back(e.key + ": no such channel, ignored");
                return;
            }
            channels.erase(channels.begin() + static_cast<long>(at));
            ac_dirty_ = Dirty{};
            notes_.push_back(e.key + ": channel " + std::to_string(at + 1) + " removed");
            return;
        }
        case Event::Kind::WrongCount: {
            CountOverride& o = OverrideFor(e.count, e.unit);
            o.active = true;
            o.value = e.count_value;
            o.remaining = e.answers;
            notes_.push_back(e.key + ": count reported as " + std::to_string(e.count_value));
            return;
        }
        case Event::Kind::FixCount:
            OverrideFor(e.count, e.unit) = CountOverride{};
            notes_.push_back(e.key + ": count reported right again");
            return;
        case Event::Kind::SetValue:
            SetValue(e);
            return;
        case Event::Kind::SetFlag:
            (e.block == Block::Ac   ? s_.ac_flag
             : e.block == Block::Dc ? s_.dc_flag
                                    : s_.rc_flag) = e.flag;
            notes_.push_back(e.key + ": data flag set");
            return;
    }
}

bool Device::ChannelExists(const Event& e) {
    const auto& channels = s_.ac_units[static_cast<std::size_t>(e.unit)].channels;
    if (static_cast<std::size_t>(e.channel) < channels.size()) return true;
    notes_.push_back(e.key + ": there is no channel " + std::to_string(e.channel + 1) +
                     ", ignored");
    return false;
}

std::uint8_t Device::Count(CountKind kind, std::size_t real, int unit) {
    CountOverride& o = OverrideFor(kind, unit);
    if (!o.active) return static_cast<std::uint8_t>(real);
    const std::uint8_t v = o.value;
    if (o.remaining > 0 && --o.remaining == 0) o = CountOverride{};
    return v;
}

std::uint8_t Device::Flag(const DataFlag& f, const Dirty& d) const {
    if (!f.automatic) return f.value;
    return static_cast<std::uint8_t>((d.status ? 0x10 : 0) | (d.alarm ? 0x01 : 0));
}

void Device::PutValue(Bytes& out, const Value& v) const {
    if (!v.available) {
        out.insert(out.end(), 4, kNotAvailableByte);
        return;
    }
    put_f32(out, v.At(cycle_));
}

Bytes Device::AcAnalog() {
    Bytes b{Flag(s_.ac_flag, ac_dirty_), Count(CountKind::AcUnits, s_.ac_units.size())};
    for (std::size_t u = 0; u < s_.ac_units.size(); ++u) {
        const AcUnit& unit = s_.ac_units[u];
        b.push_back(Count(CountKind::AcChannels, unit.channels.size(), static_cast<int>(u)));
        for (const AcChannel& c : unit.channels) {
            PutValue(b, c.a);
            PutValue(b, c.b);
            PutValue(b, c.c);
            PutValue(b, c.f);
            b.push_back(0);  // no user-defined analog values
        }
        PutValue(b, unit.ia);
        PutValue(b, unit.ib);
        PutValue(b, unit.ic);
    }
    return b;
}

Bytes Device::AcStatus() {
    Bytes b{Flag(s_.ac_flag, ac_dirty_), Count(CountKind::AcUnits, s_.ac_units.size())};
    for (const AcUnit& unit : s_.ac_units) {
        b.push_back(static_cast<unsigned char>(unit.breakers.size()));
        b.insert(b.end(), unit.breakers.begin(), unit.breakers.end());
        b.push_back(static_cast<unsigned char>(unit.status_user.size()));
        b.insert(b.end(), unit.status_user.begin(), unit.status_user.end());
    }
    ac_dirty_.status = false;
    return b;
}

Bytes Device::AcAlarm() {
    Bytes b{Flag(s_.ac_flag, ac_dirty_), Count(CountKind::AcUnits, s_.ac_units.size())};
    for (std::size_t u = 0; u < s_.ac_units.size(); ++u) {
        const AcUnit& unit = s_.ac_units[u];
        b.push_back(Count(CountKind::AcChannels, unit.channels.size(), static_cast<int>(u)));
        for (const AcChannel& c : unit.channels) {
            b.insert(b.end(), c.states.begin(), c.states.end());
            b.push_back(0);  // no further alarm bytes
            b.push_back(static_cast<unsigned char>(c.alarm_user.size()));
            b.insert(b.end(), c.alarm_user.begin(), c.alarm_user.end());
        }
        b.insert(b.end(), unit.current_alarms.begin(), unit.current_alarms.end());
    }
    ac_dirty_.alarm = false;
    return b;
}

Bytes Device::AcParams() {
    Bytes b;
    for (const Value& v : s_.ac_params) PutValue(b, v);
    b.push_back(0);  // no user-defined parameters
    return b;
}

Bytes Device::Model() {
    Bytes b(s_.model.begin(), s_.model.end());
    b.resize(kModelBytes, 0);
    return b;
}

Bytes Device::RcAnalog() {
    Bytes b{Flag(s_.rc_flag, rc_dirty_)};
    PutValue(b, s_.group);
    b.push_back(Count(CountKind::Modules, s_.modules.size()));
    for (const Module& m : s_.modules) {
        PutValue(b, m.value);
        b.push_back(static_cast<unsigned char>(m.analog.size()));
        for (const Value& v : m.analog) PutValue(b, v);
    }
    return b;
}

Bytes Device::RcStatus() {
    Bytes b{Flag(s_.rc_flag, rc_dirty_), Count(CountKind::Modules, s_.modules.size())};
    for (const Module& m : s_.modules) {
        b.insert(b.end(), m.status.begin(), m.status.end());
        b.push_back(1);
        b.push_back(m.status_user);
    }
    rc_dirty_.status = false;
    return b;
}

Bytes Device::RcAlarm() {
    Bytes b{Flag(s_.rc_flag, rc_dirty_), Count(CountKind::Modules, s_.modules.size())};
    for (const Module& m : s_.modules) {
        b.push_back(m.fault);
        b.push_back(static_cast<unsigned char>(m.alarm_user.size()));
        b.insert(b.end(), m.alarm_user.begin(), m.alarm_user.end());
    }
    rc_dirty_.alarm = false;
    return b;
}

Bytes Device::DcAnalog() {
    // DC has no status answer: either flag bit asks for the alarm answer.
    const std::uint8_t flag =
        s_.dc_flag.automatic ? (dc_dirty_.alarm ? 0x01 : 0x00) : s_.dc_flag.value;
    const std::uint8_t count = Count(CountKind::DcUnits, s_.dc_units.size());
    Bytes b{flag};
    // With four or more units the data begins at the count byte: the first
    // byte of the first unit's voltage doubles as the count.
    const bool shared_count_byte = s_.dc_units.size() >= 4;
    if (!shared_count_byte) b.push_back(count);
    for (const DcUnit& u : s_.dc_units) {
        PutValue(b, u.v);
        PutValue(b, u.i);
        for (const auto* list : {&u.m, &u.n, &u.user}) {
            b.push_back(static_cast<unsigned char>(list->size()));
            for (const Value& v : *list) PutValue(b, v);
        }
    }
    if (shared_count_byte) b[1] = count;
    return b;
}

Bytes Device::DcAlarm() {
    const std::uint8_t flag =
        s_.dc_flag.automatic ? (dc_dirty_.alarm ? 0x01 : 0x00) : s_.dc_flag.value;
    Bytes b{flag, Count(CountKind::DcUnits, s_.dc_units.size())};
    for (const DcUnit& u : s_.dc_units) {
        b.push_back(u.v_state);
        b.push_back(static_cast<unsigned char>(u.fuses.size()));
        b.insert(b.end(), u.fuses.begin(), u.fuses.end());
        b.push_back(static_cast<unsigned char>(u.user_alarms.size()));
        b.insert(b.end(), u.user_alarms.begin(), u.user_alarms.end());
    }
    dc_dirty_.alarm = false;
    return b;
}

Bytes Device::DcParams() {
    Bytes b;
    for (const Value& v : s_.dc_params) PutValue(b, v);
    b.push_back(static_cast<unsigned char>(s_.dc_user_params.size()));
    for (const Value& v : s_.dc_user_params) PutValue(b, v);
    return b;
}

bool Device::BuildInfo(std::uint8_t cid1, std::uint8_t cid2, Bytes& info) {
    const unsigned key = (static_cast<unsigned>(cid1) << 8) | cid2;
    switch (key) {
        case 0x4041:
            info = AcAnalog();
            return true;
        case 0x4043:
            info = AcStatus();
            return true;
        case 0x4044:
            info = AcAlarm();
            return true;
        case 0x4046:
            info = AcParams();
            return true;
        case 0x4051:
            info = Model();
            return true;
        case 0x4141:
            info = RcAnalog();
            return true;
        case 0x4143:
            info = RcStatus();
            return true;
        case 0x4144:
            info = RcAlarm();
            return true;
        case 0x4241:
            info = DcAnalog();
            return true;
        case 0x4244:
            info = DcAlarm();
            return true;
        case 0x4246:
            info = DcParams();
            return true;
        default:
            return false;
    }
}

}  // namespace sim

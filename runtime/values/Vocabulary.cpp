#include "runtime/values/Vocabulary.h"

#include <cstring>
#include <iterator>

#include "ac/AcRecords.h"
#include "dc/DcRecords.h"
#include "rc/RcRecords.h"

namespace smd {

namespace {

using AC = tele_c_ravo3_ac;
using ACChannel = tele_c_ravo3_ac_channel;
using DC = tele_c_ravo3_dc;
using RC = tele_c_ravo3_rc;
using RCModule = tele_c_ravo3_rc_channel;

constexpr ValueClass M = ValueClass::Measurement;
constexpr ValueClass S = ValueClass::State;
constexpr ValueClass A = ValueClass::Alarm;
constexpr ValueField F32 = ValueField::F32;
constexpr ValueField U8 = ValueField::U8;
constexpr ValueField N = ValueField::Count;
constexpr int kAlways = -1;
constexpr int kAnyButZero = -1;

// name, label, column, unit, class, metric, help, metric label,
// device class, state class, precision, alarm value, field, offset,
// present at, present when, plot
constexpr ValueDef kAc[] = {
    {"ia", "Phase A current", "A", "A", M, "ravo3_ac_phase_current_amperes", "AC phase current.",
     "phase=a", "current", "measurement", 1, 0, F32, offsetof(AC, ia), kAlways, 0,
     "AC phase currents"},
    {"ib", "Phase B current", "B", "A", M, "ravo3_ac_phase_current_amperes", "AC phase current.",
     "phase=b", "current", "measurement", 1, 0, F32, offsetof(AC, ib), kAlways, 0,
     "AC phase currents"},
    {"ic", "Phase C current", "C", "A", M, "ravo3_ac_phase_current_amperes", "AC phase current.",
     "phase=c", "current", "measurement", 1, 0, F32, offsetof(AC, ic), kAlways, 0,
     "AC phase currents"},
    {"ia_alert", "Phase A current alarm state", "A alarm", "", A,
     "ravo3_ac_phase_current_alarm_state",
     "AC phase current alarm state as the unit reports it (0 normal).", "phase=a", "", "", 0,
     kAnyButZero, U8, offsetof(AC, ia_alert), kAlways, 0, ""},
    {"ib_alert", "Phase B current alarm state", "B alarm", "", A,
     "ravo3_ac_phase_current_alarm_state",
     "AC phase current alarm state as the unit reports it (0 normal).", "phase=b", "", "", 0,
     kAnyButZero, U8, offsetof(AC, ib_alert), kAlways, 0, ""},
    {"ic_alert", "Phase C current alarm state", "C alarm", "", A,
     "ravo3_ac_phase_current_alarm_state",
     "AC phase current alarm state as the unit reports it (0 normal).", "phase=c", "", "", 0,
     kAnyButZero, U8, offsetof(AC, ic_alert), kAlways, 0, ""},
};

constexpr ValueDef kAcChannel[] = {
    {"a", "voltage A/AB", "AB/A", "V", M, "ravo3_ac_voltage_volts", "AC input voltage.", "phase=a",
     "voltage", "measurement", 1, 0, F32, offsetof(ACChannel, a), kAlways, 0, "AC voltages"},
    {"b", "voltage B/BC", "BC/B", "V", M, "ravo3_ac_voltage_volts", "AC input voltage.", "phase=b",
     "voltage", "measurement", 1, 0, F32, offsetof(ACChannel, b), kAlways, 0, "AC voltages"},
    {"c", "voltage C/CA", "CA/C", "V", M, "ravo3_ac_voltage_volts", "AC input voltage.", "phase=c",
     "voltage", "measurement", 1, 0, F32, offsetof(ACChannel, c), kAlways, 0, "AC voltages"},
    {"f", "frequency", "f", "Hz", M, "ravo3_ac_frequency_hertz", "AC input frequency.", "",
     "frequency", "measurement", 2, 0, F32, offsetof(ACChannel, f), kAlways, 0, "AC frequency"},
};

constexpr ValueDef kDc[] = {
    {"v", "Voltage", "Voltage", "V", M, "ravo3_dc_voltage_volts", "DC output voltage.", "",
     "voltage", "measurement", 2, 0, F32, offsetof(DC, v), kAlways, 0, "DC voltage"},
    {"i", "Load current", "Current", "A", M, "ravo3_dc_load_current_amperes", "DC load current.",
     "", "current", "measurement", 1, 0, F32, offsetof(DC, i), kAlways, 0, "DC current"},
};

// The meaning of the rectifiers' values is the configuration's: no unit.
constexpr ValueDef kRc[] = {
    {"group_value", "Group value", "Group", "", M, "ravo3_rectifier_group_value",
     "The rectifier group's value as the unit reports it.", "", "", "measurement", 2, 0, F32,
     offsetof(RC, group_value), kAlways, 0, "Rectifier group value"},
    {"module_count", "Modules", "Modules", "", M, "ravo3_rectifier_modules",
     "Rectifier modules reported.", "", "", "measurement", 0, 0, N, offsetof(RC, channel_count),
     kAlways, 0, ""},
};

constexpr int kAlarmBytes = RCModule::P41_44_SIZE();
constexpr int kAlarmCountAt = static_cast<int>(offsetof(RCModule, alarm_count));
constexpr const char* kModuleStatusHelp = "A rectifier module's status byte.";
constexpr const char* kModuleAlarmHelp = "A rectifier module's alarm byte as the unit reports it.";

constexpr ValueDef kRcModule[] = {
    {"value", "value", "Value", "", M, "ravo3_rectifier_module_value",
     "A rectifier module's value as the unit reports it.", "", "", "measurement", 1, 0, F32,
     offsetof(RCModule, module_value), kAlways, 0, "Rectifier module values"},
    {"status_1", "status 1", "S1", "", S, "ravo3_rectifier_module_status", kModuleStatusHelp,
     "status=1", "", "", 0, 0, U8, offsetof(RCModule, status) + 0, kAlways, 0, ""},
    {"status_2", "status 2", "S2", "", S, "ravo3_rectifier_module_status", kModuleStatusHelp,
     "status=2", "", "", 0, 0, U8, offsetof(RCModule, status) + 1, kAlways, 0, ""},
    {"status_3", "status 3", "S3", "", S, "ravo3_rectifier_module_status", kModuleStatusHelp,
     "status=3", "", "", 0, 0, U8, offsetof(RCModule, status) + 2, kAlways, 0, ""},
    {"fault", "fault", "Fault", "", A, "ravo3_rectifier_module_fault_state",
     "A rectifier module's fault state (1 faulty).", "", "", "", 0, 1, U8,
     offsetof(RCModule, fault), kAlways, 0, ""},
    {"module_fault", "module fault", "Module fault", "", A, "ravo3_rectifier_module_alarm_state",
     kModuleAlarmHelp, "alarm=module_fault", "", "", 0, 1, U8, offsetof(RCModule, alarm_user) + 0,
     kAlarmCountAt, kAlarmBytes, ""},
    {"fan_fault", "fan fault", "Fan", "", A, "ravo3_rectifier_module_alarm_state", kModuleAlarmHelp,
     "alarm=fan_fault", "", "", 0, 1, U8, offsetof(RCModule, alarm_user) + 1, kAlarmCountAt,
     kAlarmBytes, ""},
    {"over_temperature", "over temperature", "Over-temp.", "", A,
     "ravo3_rectifier_module_alarm_state", kModuleAlarmHelp, "alarm=over_temperature", "", "", 0, 1,
     U8, offsetof(RCModule, alarm_user) + 2, kAlarmCountAt, kAlarmBytes, ""},
    {"comm_lost", "comm lost", "No comm.", "", A, "ravo3_rectifier_module_alarm_state",
     kModuleAlarmHelp, "alarm=comm_lost", "", "", 0, 0xE2, U8, offsetof(RCModule, alarm_user) + 3,
     kAlarmCountAt, kAlarmBytes, ""},
};

const UnitVocabulary kUnits[] = {
    {UnitKind::AC, "AC distribution", kAc, std::size(kAc), "channel_", "Channel", "channel", 0,
     kAcChannel, std::size(kAcChannel), sizeof(AC), sizeof(ACChannel), offsetof(AC, channel_count)},
    {UnitKind::DC, "DC distribution", kDc, std::size(kDc), "", "", "", 0, nullptr, 0, sizeof(DC), 0,
     0},
    {UnitKind::RC, "Rectifiers", kRc, std::size(kRc), "module_", "Module", "module", 1, kRcModule,
     std::size(kRcModule), sizeof(RC), sizeof(RCModule), offsetof(RC, channel_count)},
};

// Every offset lies inside its record, so that a record of the right length
// is enough for the decoder to read every row.
constexpr bool rows_fit(const ValueDef* rows, std::size_t n, std::size_t size) {
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t width = rows[i].field == F32 ? 4 : 1;
        if (rows[i].offset + width > size) return false;
        if (rows[i].present_at >= 0 && static_cast<std::size_t>(rows[i].present_at) >= size)
            return false;
    }
    return true;
}
static_assert(rows_fit(kAc, std::size(kAc), sizeof(AC)), "AC rows inside the record");
static_assert(rows_fit(kAcChannel, std::size(kAcChannel), sizeof(ACChannel)), "AC channel rows");
static_assert(rows_fit(kDc, std::size(kDc), sizeof(DC)), "DC rows inside the record");
static_assert(rows_fit(kRc, std::size(kRc), sizeof(RC)), "rectifier rows inside the record");
static_assert(rows_fit(kRcModule, std::size(kRcModule), sizeof(RCModule)), "module rows");

float read_row(const ValueDef& d, const unsigned char* base, std::size_t count) {
    switch (d.field) {
        case ValueField::F32: {
            float v;
            std::memcpy(&v, base + d.offset, 4);  // little-endian as on the line and the host
            return v;
        }
        case ValueField::U8:
            return base[d.offset];
        case ValueField::Count:
            return static_cast<float>(count);
    }
    return 0;
}

bool present(const ValueDef& d, const unsigned char* base) {
    return d.present_at < 0 || base[d.present_at] == d.present_when;
}

void add(std::vector<NamedValue>& out, std::string name, float value) {
    NamedValue v;
    v.name = std::move(name);
    v.ok = true;
    v.value = value;
    out.push_back(std::move(v));
}

// "12" of "12_rest": the digits and where the rest begins; false for another shape.
bool split_number(std::string_view s, int& number, std::size_t& rest) {
    std::size_t i = 0;
    long n = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        n = n * 10 + (s[i] - '0');
        if (n > 1000000) return false;
        ++i;
    }
    if (i == 0 || i >= s.size() || s[i] != '_') return false;
    number = static_cast<int>(n);
    rest = i + 1;
    return true;
}

}  // namespace

const char* unit_kind_name(UnitKind k) {
    switch (k) {
        case UnitKind::AC:
            return "ac";
        case UnitKind::DC:
            return "dc";
        case UnitKind::RC:
            return "rc";
    }
    return "unknown";
}

const char* value_class_name(ValueClass c) {
    switch (c) {
        case ValueClass::Measurement:
            return "measurement";
        case ValueClass::State:
            return "state";
        case ValueClass::Alarm:
            return "alarm";
    }
    return "unknown";
}

bool unit_kind_of(const std::string& device_type, UnitKind& kind) {
    auto ends_with = [&](const char* suffix) {
        const std::size_t n = std::strlen(suffix);
        return device_type.size() >= n &&
               device_type.compare(device_type.size() - n, n, suffix) == 0;
    };
    if (ends_with("-ac")) {
        kind = UnitKind::AC;
    } else if (ends_with("-dc")) {
        kind = UnitKind::DC;
    } else if (ends_with("-rc")) {
        kind = UnitKind::RC;
    } else {
        return false;
    }
    return true;
}

const UnitVocabulary& vocabulary(UnitKind kind) {
    for (const UnitVocabulary& u : kUnits) {
        if (u.kind == kind) return u;
    }
    return kUnits[0];
}

const std::vector<const UnitVocabulary*>& vocabularies() {
    static const std::vector<const UnitVocabulary*> all = {&kUnits[0], &kUnits[1], &kUnits[2]};
    return all;
}

ValueRef lookup_value(UnitKind kind, std::string_view name) {
    const UnitVocabulary& u = vocabulary(kind);
    ValueRef r;
    for (std::size_t i = 0; i < u.value_count; ++i) {
        if (name == u.values[i].name) {
            r.def = &u.values[i];
            return r;
        }
    }
    const std::string_view prefix = u.group_prefix;
    if (prefix.empty() || name.compare(0, prefix.size(), prefix) != 0) return r;
    int number = 0;
    std::size_t rest = 0;
    const std::string_view tail = name.substr(prefix.size());
    if (!split_number(tail, number, rest)) return r;
    const std::string_view field = tail.substr(rest);
    for (std::size_t i = 0; i < u.group_value_count; ++i) {
        if (field == u.group_values[i].name) {
            r.def = &u.group_values[i];
            r.number = number;
            return r;
        }
    }
    return r;
}

std::string value_label(UnitKind kind, std::string_view name) {
    const ValueRef r = lookup_value(kind, name);
    if (!r.ok()) return std::string(name);
    if (r.number < 0) return r.def->label;
    const UnitVocabulary& u = vocabulary(kind);
    return std::string(u.group_label) + " " + std::to_string(r.number - u.group_first + 1) + " " +
           r.def->label;
}

bool alarm_stands(const ValueDef& def, float value) {
    if (def.cls != ValueClass::Alarm) return false;
    return def.alarm_on < 0 ? value != 0 : value == static_cast<float>(def.alarm_on);
}

bool record_values(UnitKind kind, const unsigned char* r, std::size_t size,
                   std::vector<NamedValue>& out) {
    const UnitVocabulary& u = vocabulary(kind);
    if (!r || size < u.record_size) return false;
    std::size_t count = 0;
    if (u.group_size == 0) {
        if (size != u.record_size) return false;
    } else {
        count = r[u.count_at];
        if (size - u.record_size != u.group_size * count) return false;
    }
    for (std::size_t i = 0; i < u.value_count; ++i) {
        if (present(u.values[i], r)) add(out, u.values[i].name, read_row(u.values[i], r, count));
    }
    for (std::size_t g = 0; g < count; ++g) {
        const unsigned char* base = r + u.record_size + u.group_size * g;
        const std::string prefix =
            u.group_prefix + std::to_string(static_cast<int>(g) + u.group_first) + "_";
        for (std::size_t i = 0; i < u.group_value_count; ++i) {
            const ValueDef& d = u.group_values[i];
            if (present(d, base)) add(out, prefix + d.name, read_row(d, base, count));
        }
    }
    return true;
}

bool record_values(UnitKind kind, const std::vector<unsigned char>& record,
                   std::vector<NamedValue>& out) {
    return record_values(kind, record.data(), record.size(), out);
}

void unit_replies(UnitKind kind, const std::string& reply, std::vector<NamedValue>& out) {
    const UnitVocabulary& u = vocabulary(kind);
    for (std::size_t i = 0; i < u.value_count; ++i) {
        if (u.values[i].field == ValueField::Count) continue;  // no record, no count
        NamedValue v;
        v.name = u.values[i].name;
        v.reply = reply;
        out.push_back(std::move(v));
    }
}

}  // namespace smd

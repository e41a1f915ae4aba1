// What every value of a unit is, written once: its name as the unit serves it,
// its label, unit, class, metric, Home Assistant classes, display precision,
// and where it sits in the unit's published record. The event stream, the
// API, the metrics, MQTT discovery, the runner and the web page all read
// these tables; none spells a label or a unit of its own. Adding a value to
// a unit kind is one row here (its place in the record comes from the
// record's own definition).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace smd {

enum class UnitKind { AC, DC, RC };
const char* unit_kind_name(UnitKind k);  // "ac", "dc", "rc"

// The unit kind a device type names ("ravo3-ac", "ravo3-dc", "ravo3-rc"); false
// for any other (the bus device itself).
bool unit_kind_of(const std::string& device_type, UnitKind& kind);

// One value by the name the unit serves it under (Get_Value), or the reply
// text the unit gave instead. Rectifier modules, which the unit publishes as
// a record and serves no name for, appear as "module_<n>_<field>" (n from 1)
// and "group_value".
struct NamedValue {
    std::string name;
    bool ok = false;
    float value = 0;    // as the unit reported it, when ok (may be non-finite)
    std::string reply;  // when not ok
};

// Measurement: a physical quantity or a count, plotted and exported.
// State: a byte of status bits, shown as two hex digits.
// Alarm: an alarm byte as the unit reports it (see ValueDef::alarm_on).
enum class ValueClass { Measurement, State, Alarm };
const char* value_class_name(ValueClass c);  // "measurement", "state", "alarm"

// Where a value sits in the record: a little-endian IEEE 754 single, one
// byte, or the record's count of channels or modules (no bytes of its own).
enum class ValueField { F32, U8, Count };

struct ValueDef {
    // The name as served; for a row of a channel or module, the part after
    // "channel_<k>_" or "module_<n>_".
    const char* name;
    // The label; a channel's or module's row is labelled "Channel 2 voltage
    // A/AB" (the group's label, its number from 1, then this).
    const char* label;
    const char* column;  // the short head of its column in a table
    const char* unit;    // "V", "A", "Hz"; "" when the unit gives none
    ValueClass cls;
    const char* metric;        // the Prometheus family
    const char* help;          // the family's HELP text
    const char* metric_label;  // an extra label of the sample, "key=value"; "" none
    const char* device_class;  // Home Assistant's; "" none
    const char* state_class;   // Home Assistant's; "" none
    int precision;             // decimals shown
    // Alarm values: the value that means an alarm; -1 any value but 0.
    int alarm_on;
    // The place in the unit's record (for a channel's or module's row, in
    // its own record), from the record's definition.
    ValueField field;
    std::size_t offset;
    // Present only when the byte at `present_at` holds `present_when`
    // (a module that reported its alarm bytes); present_at -1: always.
    int present_at;
    int present_when;
    // The history chart it is drawn in (rows with the same title share one);
    // "" not plotted.
    const char* plot;
};

struct UnitVocabulary {
    UnitKind kind;
    const char* label;  // "AC distribution"
    const ValueDef* values;
    std::size_t value_count;
    // Channels or modules: "channel_"/"Channel" numbered from 0, or
    // "module_"/"Module" from 1 in the names (labels count from 1 alike).
    const char* group_prefix;  // "" when the unit has none
    const char* group_label;
    const char* group_metric_label;  // the sample label that carries the number
    int group_first;
    const ValueDef* group_values;
    std::size_t group_value_count;
    // The record's layout: a fixed part, then `group_size` bytes per channel
    // or module, as many as the byte at `count_at` says (exact size when
    // group_size is 0).
    std::size_t record_size;
    std::size_t group_size;
    std::size_t count_at;
};

const UnitVocabulary& vocabulary(UnitKind kind);
// Every kind, in the order AC, DC, RC.
const std::vector<const UnitVocabulary*>& vocabularies();

// A served name resolved against its kind's table.
struct ValueRef {
    const ValueDef* def = nullptr;  // null: not a name of this kind
    int number = -1;                // the channel or module number as in the name; -1 none
    bool ok() const { return def != nullptr; }
};
ValueRef lookup_value(UnitKind kind, std::string_view name);
// "Phase A current", "Channel 2 voltage A/AB", "Module 3 fan fault"; the name itself when unknown.
std::string value_label(UnitKind kind, std::string_view name);
// Whether an alarm value stands; false for any other class.
bool alarm_stands(const ValueDef& def, float value);

// A unit's published record (what it hands to SendSP and SaveDeviceHistory)
// as named values, in table order: the unit's rows, then each channel's or
// module's. False, with nothing added, when the record does not have its
// kind's layout.
bool record_values(UnitKind kind, const unsigned char* record, std::size_t size,
                   std::vector<NamedValue>& out);
bool record_values(UnitKind kind, const std::vector<unsigned char>& record,
                   std::vector<NamedValue>& out);
// The names a unit serves when it has no record yet, each with `reply`.
void unit_replies(UnitKind kind, const std::string& reply, std::vector<NamedValue>& out);

}  // namespace smd

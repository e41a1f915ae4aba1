// The value vocabulary: records decoded through it give the units' own
// fields, served names resolve to their rows, and alarm rows stand as the
// unit means them.
#include "runtime/values/Vocabulary.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "ac/AcRecords.h"
#include "dc/DcRecords.h"
#include "rc/RcRecords.h"

namespace {

template <typename T>
void put(std::vector<unsigned char>& out, const T& part) {
    const auto* p = reinterpret_cast<const unsigned char*>(&part);
    out.insert(out.end(), p, p + sizeof(T));
}

void f32(unsigned char* dst, float v) {
    std::memcpy(dst, &v, 4);
}

std::vector<unsigned char> ac_record() {
    tele_c_ravo3_ac unit{};
    unit.ia = 12.5f;
    unit.ic = 13.0f;
    unit.ib_alert = 2;
    unit.channel_count = 2;
    std::vector<unsigned char> r;
    put(r, unit);
    tele_c_ravo3_ac_channel ch{};
    ch.a = 230.5f;
    put(r, ch);
    ch.f = 49.5f;
    ch.c = 229.75f;
    put(r, ch);
    return r;
}

std::vector<unsigned char> rc_record() {
    tele_c_ravo3_rc group{};
    f32(group.group_value, 53.5f);
    group.channel_count = 2;
    std::vector<unsigned char> r;
    put(r, group);
    tele_c_ravo3_rc_channel m{};
    f32(m.module_value, 16.5f);
    m.status[2] = 0x81;
    put(r, m);  // no alarm bytes reported
    m.fault = 1;
    m.alarm_count = 4;
    m.alarm_user[1] = 1;     // fan
    m.alarm_user[3] = 0xE2;  // lost
    put(r, m);
    return r;
}

std::vector<unsigned char> dc_record() {
    tele_c_ravo3_dc dc{};
    f32(dc.v, 53.52f);
    f32(dc.i, 48.5f);
    std::vector<unsigned char> r;
    put(r, dc);
    return r;
}

TEST(Vocabulary, RecordsDecodeToTheUnitsFields) {
    const struct {
        smd::UnitKind kind;
        std::vector<unsigned char> record;
        std::size_t count;
        std::vector<std::pair<std::string, float>> some;
    } cases[] = {
        {smd::UnitKind::AC,
         ac_record(),
         6 + 2 * 4,
         {{"ia", 12.5f},
          {"ib", 0},
          {"ic", 13.0f},
          {"ib_alert", 2},
          {"channel_0_a", 230.5f},
          {"channel_1_c", 229.75f},
          {"channel_1_f", 49.5f}}},
        {smd::UnitKind::DC, dc_record(), 2, {{"v", 53.52f}, {"i", 48.5f}}},
        // Module 1 reported no alarm bytes: no names for them.
        {smd::UnitKind::RC,
         rc_record(),
         2 + 5 + 9,
         {{"group_value", 53.5f},
          {"module_count", 2},
          {"module_1_value", 16.5f},
          {"module_1_status_3", 0x81},
          {"module_2_fault", 1},
          {"module_2_fan_fault", 1},
          {"module_2_over_temperature", 0},
          {"module_2_comm_lost", 0xE2}}},
    };
    for (const auto& k : cases) {
        std::vector<smd::NamedValue> out;
        ASSERT_TRUE(smd::record_values(k.kind, k.record, out)) << smd::unit_kind_name(k.kind);
        EXPECT_EQ(out.size(), k.count) << smd::unit_kind_name(k.kind);
        for (const auto& [name, value] : k.some) {
            const smd::NamedValue* found = nullptr;
            for (const auto& v : out) {
                if (v.name == name) found = &v;
            }
            ASSERT_NE(found, nullptr) << name;
            EXPECT_TRUE(found->ok);
            EXPECT_EQ(found->value, value) << name;
            // Every decoded name is one the vocabulary knows.
            EXPECT_TRUE(smd::lookup_value(k.kind, name).ok()) << name;
        }
        for (const auto& v : out) {
            EXPECT_TRUE(smd::lookup_value(k.kind, v.name).ok()) << v.name;
            EXPECT_NE(v.name.find("module_1_fan"), 0u) << "module 1 reported no alarm bytes";
        }
    }
}

TEST(Vocabulary, NamesResolveOnlyWhole) {
    const struct {
        smd::UnitKind kind;
        const char* name;
        const char* label;  // nullptr: not a name of this kind
        int number;
    } cases[] = {
        {smd::UnitKind::AC, "ia", "Phase A current", -1},
        {smd::UnitKind::AC, "channel_0_a", "Channel 1 voltage A/AB", 0},
        {smd::UnitKind::AC, "channel_12_f", "Channel 13 frequency", 12},
        {smd::UnitKind::AC, "channel_", nullptr, -1},
        {smd::UnitKind::AC, "channel_0", nullptr, -1},
        {smd::UnitKind::AC, "channel_0_", nullptr, -1},
        {smd::UnitKind::AC, "channel__a", nullptr, -1},
        {smd::UnitKind::AC, "channel_x_a", nullptr, -1},
        {smd::UnitKind::AC, "channel_0_ab", nullptr, -1},
        {smd::UnitKind::AC, "channel_99999999999_a", nullptr, -1},
        {smd::UnitKind::AC, "i", nullptr, -1},
        {smd::UnitKind::AC, "ia_", nullptr, -1},
        {smd::UnitKind::AC, "v", nullptr, -1},
        {smd::UnitKind::DC, "v", "Voltage", -1},
        {smd::UnitKind::DC, "channel_0_a", nullptr, -1},
        {smd::UnitKind::RC, "module_3_fan_fault", "Module 3 fan fault", 3},
        {smd::UnitKind::RC, "module_1_fan", nullptr, -1},
        {smd::UnitKind::RC, "module_count", "Modules", -1},
        {smd::UnitKind::RC, "ia", nullptr, -1},
    };
    for (const auto& k : cases) {
        const smd::ValueRef r = smd::lookup_value(k.kind, k.name);
        EXPECT_EQ(r.ok(), k.label != nullptr) << k.name;
        EXPECT_EQ(r.number, k.number) << k.name;
        EXPECT_EQ(smd::value_label(k.kind, k.name), k.label ? k.label : k.name);
    }
}

TEST(Vocabulary, AlarmRowsStandAsTheUnitMeansThem) {
    const struct {
        smd::UnitKind kind;
        const char* name;
        float value;
        bool stands;
    } cases[] = {
        {smd::UnitKind::AC, "ia_alert", 0, false},
        {smd::UnitKind::AC, "ia_alert", 2, true},
        {smd::UnitKind::AC, "ia", 12.5f, false},
        {smd::UnitKind::RC, "module_1_fault", 1, true},
        {smd::UnitKind::RC, "module_1_fault", 0, false},
        {smd::UnitKind::RC, "module_1_comm_lost", 0xE2, true},
        {smd::UnitKind::RC, "module_1_comm_lost", 1, false},
        {smd::UnitKind::RC, "module_1_status_1", 1, false},
    };
    for (const auto& k : cases) {
        const smd::ValueRef r = smd::lookup_value(k.kind, k.name);
        ASSERT_TRUE(r.ok()) << k.name;
        EXPECT_EQ(smd::alarm_stands(*r.def, k.value), k.stands) << k.name << " " << k.value;
    }
}

// What every output relies on: names unique within a kind, and what a
// row must say for its class.
TEST(Vocabulary, EveryRowSaysWhatItIs) {
    for (const smd::UnitVocabulary* u : smd::vocabularies()) {
        std::set<std::string> names;
        auto check = [&](const smd::ValueDef& d) {
            EXPECT_TRUE(names.insert(d.name).second) << d.name;
            EXPECT_STRNE(d.label, "") << d.name;
            EXPECT_STRNE(d.column, "") << d.name;
            EXPECT_EQ(std::string(d.metric).rfind("ravo3_", 0), 0u) << d.name;
            EXPECT_STRNE(d.help, "") << d.name;
            EXPECT_EQ(std::string(d.state_class) == "measurement",
                      d.cls == smd::ValueClass::Measurement)
                << d.name;
        };
        for (std::size_t i = 0; i < u->value_count; ++i) check(u->values[i]);
        for (std::size_t i = 0; i < u->group_value_count; ++i) check(u->group_values[i]);
    }
}

}  // namespace

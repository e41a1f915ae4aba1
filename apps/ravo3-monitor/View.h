// What the runner shows after each poll cycle, and the two ways it shows it:
// a console screen and one JSON object per cycle.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/PMBusProtocol.h"

namespace monitor {

// A value as Get_Value served it, or the reply text it threw.
struct Reading {
    std::optional<float> value;
    std::string reply;
};

struct AcChannelView {
    Reading a, b, c, f;
};

struct AcView {
    std::uint32_t data_id = 0;
    Reading ia, ib, ic;
    std::vector<AcChannelView> channels;
};

struct DcView {
    std::uint32_t data_id = 0;
    Reading v, i;
};

// One rectifier module, decoded from the rectifier unit's published record.
struct ModuleView {
    float value = 0;  // the module's first analog value
    unsigned char status[3] = {0, 0, 0};
    unsigned char fault = 0;
    unsigned char alarm_user[4] = {0, 0, 0, 0};
    bool alarm_user_valid = false;  // the module reported its 4 alarm bytes
};

struct AlarmView {
    std::uint32_t data_id = 0;
    std::string device_type;
    std::string code;
    std::string name;
    std::string detail;
    int level = 0;
    std::string since;
};

struct CycleView {
    std::string device;  // the bus device's name in the site configuration
    std::string port;
    std::uint64_t cycle = 0;
    double cycle_seconds = 0;  // between the last two cycle ends
    std::string time;          // local time of the last cycle end
    std::vector<AcView> ac;
    std::vector<DcView> dc;
    bool rc_published = false;
    float rc_group_value = 0;
    std::vector<ModuleView> modules;
    std::vector<AlarmView> alarms;
    smd::FrameStats stats;
    std::uint64_t history_records = 0;
    std::vector<std::string> driver_output;  // last lines the plug-in printed
    std::vector<std::string> log;            // last host and driver log messages (live view)
};

// Decodes the rectifier unit's record: 81-byte group record, then 32 bytes a
// module. False when the record does not fit its own module count.
bool decode_rectifier_record(const std::vector<unsigned char>& record, CycleView& view);

// The console screen, plain text without control sequences.
std::string render_screen(const CycleView& view);
Json::Value to_json(const CycleView& view);

}  // namespace monitor

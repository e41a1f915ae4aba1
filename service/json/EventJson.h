// The event stream's pieces as JSON, the same everywhere they are served
// (API answers, the event stream, the client's --json).
#pragma once

#include "runtime/events/Events.h"
#include "runtime/store/SqliteStore.h"
#include "runtime/text/JsonText.h"

namespace smd {
class Host;
}

namespace smd::service {

// Where the site's history goes: "writing"; "failing" (writes fail, rows wait
// in memory); "read_only" (the file is served, new rows stay in memory);
// "memory" (the configured file cannot be used); "none" (none configured).
struct HistoryState {
    const char* state = "none";
    std::string detail;
    StoreStats stats;
};
HistoryState history_state(const Host& host, const std::string& history_db);
// {"state", "detail", "waiting_records", "waiting_events", "dropped_records", "converting"}
void WriteHistory(json::Writer& w, const HistoryState& h);

// {"state", "since", "last_cycle", "detail", "comm_lost"}
void WriteLine(json::Writer& w, const LineStatus& line);
// Every frame counter by name.
void WriteFrames(json::Writer& w, const FrameStats& frames);
// {"device", "data_id", "device_type", "key", "code", "name", "detail", "level", "state", "since"}
void WriteAlarm(json::Writer& w, const std::string& device, const ActiveAlarm& alarm);
// The same fields, into an object the caller has begun.
void WriteAlarmFields(json::Writer& w, const std::string& device, const ActiveAlarm& alarm);
// "values": {name: number or null}, and "replies": {name: text} for every
// value that is null (the unit's reply, or why the number is not finite).
// `timed_out`: every value null with the unit's time-out reply.
void WriteValues(json::Writer& w, const std::vector<NamedValue>& values, bool timed_out = false);
// {"kind", "data_id", "device_type", "replayed", "stored", "values", "replies"}.
// `cycle`: the unit stands alone (MQTT's state topic), so its cycle's "device"
// comes first and its "time" and "cycle" number after "device_type".
void WriteUnit(json::Writer& w, const UnitValues& unit, bool timed_out = false,
               const HostEvent* cycle = nullptr);
// {"seq", "kind", "initial", "device", "time", ...}: "cycle", "line", "frames",
// "units" for a cycle; "alarm" for a raise or clear; "line" for a line change.
// {"cycle", "answers": [{"command": "42/44", "time", "hex"}]}, or null.
void WriteProvenance(json::Writer& w, const std::shared_ptr<const Provenance>& p);
void WriteEvent(json::Writer& w, const HostEvent& e);

// An alarm point's name in ASCII, the same across restarts: its key (lower
// case, other characters '_'), its data id and a hash of its unit's type, key
// and detail ("ac_0_501_0b1f50fa"). Keys repeat across points (one per module
// or fuse, told apart by the detail), so the key alone names no point.
std::string AlarmPointId(std::uint32_t data_id, const std::string& device_type,
                         const std::string& key, const std::string& detail);
// The unit a data id and device type name: "ac501", "dc502", "rc500"; "bus500"
// for the bus device itself (the communication-lost point).
std::string UnitId(std::uint32_t data_id, const std::string& device_type);

}  // namespace smd::service

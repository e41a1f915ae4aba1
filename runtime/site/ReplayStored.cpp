// At a device's load: each unit takes its newest stored record, so that it
// serves the values it had at the last stop until the first cycle ends, and
// the stream gets those values, marked as replayed.
#include <climits>
#include <set>

#include "host/ValueReply.h"
#include "runtime/site/Host.h"

namespace smd {

// The AC and DC units are found by the data ids of their entries, the
// rectifier unit as the last entry of the unit list.
std::vector<std::optional<HistoryRecord>> Host::Replay(LineSupervisor& line) {
    SMDSPDevice& dev = *line.device;
    std::lock_guard<std::recursive_mutex> lock(dev.DeviceMutex());
    const auto store = controller_->GetHistoryStore();
    std::vector<std::optional<HistoryRecord>> taken;
    // The unit's newest record, if it takes it; with the time of any newest record.
    auto replay = [&](SMDVDevice& unit, UnitKind kind) {
        line.units.push_back(UnitRef{kind, unit.DataId(), unit.DeviceType()});
        line.owned.emplace(unit.DataId(), unit.DeviceType());
        std::optional<HistoryRecord> record;
        if (store) record = store->Latest(unit.DataId(), unit.DeviceType());
        if (record &&
            (record->bytes.size() > static_cast<std::size_t>(INT_MAX) ||
             !unit.LoadFromCache(record->bytes.data(), static_cast<int>(record->bytes.size())))) {
            Log("device \"" + line.config.name + "\": stored record of " + unit.DeviceType() + " " +
                std::to_string(unit.DataId()) + " (" + std::to_string(record->bytes.size()) +
                " bytes) was refused");
            record->bytes.clear();  // only its time tells
        } else if (record) {
            ++line.replayed;
        }
        taken.push_back(std::move(record));
    };
    std::set<const SMDVDevice*> done;
    for (const char* key : {"acSetting", "dcSetting"}) {
        const Json::Value& entries = line.config.settings[key];
        if (!entries.isArray()) continue;
        for (const Json::Value& entry : entries) {
            const Json::Value& id =
                entry.isObject() ? entry["data_id"] : Json::Value::nullSingleton();
            if (!id.isNull() && !id.isUInt()) continue;
            const unsigned int data_id = id.isNull() ? 0 : id.asUInt();
            std::shared_ptr<SMDVDevice> unit = dev.GetChildVDevice(data_id);
            if (!unit) continue;
            if (!done.insert(unit.get()).second) {
                Log("device \"" + line.config.name + "\": data id " + std::to_string(data_id) +
                    " names more than one unit; only the first is served and replayed");
                continue;
            }
            replay(*unit, std::string(key) == "acSetting" ? UnitKind::AC : UnitKind::DC);
        }
    }
    const auto all = dev.GetAllChildVDevices();
    if (!all.empty() && all.back() && done.insert(all.back().get()).second) {
        replay(*all.back(), UnitKind::RC);
    }
    line.owned.emplace(line.config.data_id, dev.DeviceType());
    return taken;
}

// A unit that took no record serves none yet: its names with the unit's reply.
void Host::PublishReplayed(LineSupervisor& line,
                           const std::vector<std::optional<HistoryRecord>>& records) {
    HostEvent e;
    e.kind = HostEvent::Kind::Cycle;
    e.device = line.config.name;
    e.time = local_time();
    for (std::size_t i = 0; i < line.units.size(); ++i) {
        UnitValues u;
        u.kind = line.units[i].kind;
        u.data_id = line.units[i].data_id;
        u.device_type = line.units[i].device_type;
        u.replayed = true;
        const std::optional<HistoryRecord>& r = records[i];
        if (r) u.stored = r->time;
        fill_unit_values(u, r && !r->bytes.empty() ? &r->bytes : nullptr,
                         value_reply::kNotReady.what());
        e.units.push_back(std::move(u));
    }
    e.line = line.Status();
    events_.Publish(std::move(e));
}

}  // namespace smd

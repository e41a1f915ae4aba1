#include "apps/ravo3-monitor/JsonLines.h"

#include "runtime/text/JsonText.h"
#include "service/json/EventJson.h"

namespace monitor {

std::string cycle_json(const smd::HostEvent& e, const std::string& port,
                       const std::vector<smd::ActiveAlarm>& alarms) {
    smd::json::Writer w;
    w.BeginObject();
    w.Key("type").String("cycle");
    w.Key("device").String(e.device);
    w.Key("port").String(port);
    w.Key("cycle").UInt(e.cycle.number);
    w.Key("time").Time(e.time);
    w.Key("poll_seconds").Double(e.cycle.poll_seconds);
    w.Key("period_seconds").Double(e.cycle.period_seconds);
    w.Key("units").BeginArray();
    for (const auto& u : e.units) smd::service::WriteUnit(w, u);
    w.EndArray();
    w.Key("alarms").BeginArray();
    for (const auto& a : alarms) smd::service::WriteAlarm(w, e.device, a);
    w.EndArray();
    w.Key("frames");
    smd::service::WriteFrames(w, e.frames);
    w.Key("line");
    smd::service::WriteLine(w, e.line);
    w.EndObject();
    return w.Take();
}

std::string status_json(const std::string& device, const std::string& port,
                        const boost::posix_time::ptime& time, const smd::LineStatus& line,
                        const std::string& hint) {
    smd::json::Writer w;
    w.BeginObject();
    w.Key("type").String("status");
    w.Key("device").String(device);
    w.Key("port").String(port);
    w.Key("time").Time(time);
    w.Key("line");
    smd::service::WriteLine(w, line);
    if (!hint.empty()) w.Key("hint").String(hint);
    w.EndObject();
    return w.Take();
}

}  // namespace monitor

// The runner's screen, drawn from the event stream alone: what a line's state
// reads as, and how a site that does not fit 80x24 is cut and paged.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <limits>
#include <string>
#include <vector>

#include "apps/ravo3-monitor/JsonLines.h"
#include "apps/ravo3-monitor/RunnerScreen.h"

namespace {

namespace pt = boost::posix_time;

const pt::ptime kNow = pt::time_from_string("2026-12-08 06:40:30");

smd::HostEvent line_event(const std::string& device, smd::LineState state,
                          const std::string& detail = "", bool comm_lost = false) {
    smd::HostEvent e;
    e.kind = smd::HostEvent::Kind::Line;
    e.device = device;
    e.line.state = state;
    e.line.since = pt::time_from_string("2026-12-08 06:40:02");
    e.line.detail = detail;
    e.line.comm_lost = comm_lost;
    return e;
}

smd::HostEvent cycle_event(const std::string& device, bool replayed) {
    smd::HostEvent e;
    e.kind = smd::HostEvent::Kind::Cycle;
    e.device = device;
    e.time = pt::time_from_string("2026-12-08 06:40:27");
    e.cycle.number = 7;
    e.line.state = replayed ? smd::LineState::Starting : smd::LineState::Answering;
    e.line.last_cycle = e.time;
    smd::UnitValues dc;
    dc.kind = smd::UnitKind::DC;
    dc.data_id = 502;
    dc.replayed = replayed;
    dc.stored = pt::time_from_string("2026-12-07 23:10:00");
    dc.values = {{"v", true, 53.52f, ""}, {"i", true, 48.5f, ""}};
    e.units.push_back(dc);
    return e;
}

smd::HostEvent alarm_event(const std::string& device, int n, const std::string& detail) {
    smd::HostEvent e;
    e.kind = smd::HostEvent::Kind::AlarmRaised;
    e.device = device;
    e.alarm.data_id = 501;
    e.alarm.key = "AC_" + std::to_string(n);
    e.alarm.code = "06014";
    e.alarm.name = "交流输入过压";
    e.alarm.detail = detail;
    e.alarm.since = pt::time_from_string("2026-12-08 06:40:02");
    return e;
}

monitor::RunnerScreen site_of(int devices) {
    monitor::RunnerScreen v;
    for (int i = 0; i < devices; ++i) {
        monitor::DeviceView d;
        d.name = "room-" + std::to_string(i + 1);
        d.port = "/dev/ttyUSB" + std::to_string(i);
        v.AddDevice(d);
    }
    return v;
}

}  // namespace

TEST(RunnerScreen, EachLineStateReadsAsWhatItMeans) {
    struct Case {
        smd::HostEvent event;
        std::string text;
    };
    const Case cases[] = {
        {line_event("room-1", smd::LineState::Starting), "starting, no cycle yet"},
        {cycle_event("room-1", false), "answering, last cycle 3 s ago"},
        {cycle_event("room-1", true), "starting, no cycle yet"},
        {line_event("room-1", smd::LineState::NotAnswering, "no answer"),
         "NOT ANSWERING since 06:40:02: no answer"},
        {line_event("room-1", smd::LineState::PortMissing, "No such file or directory"),
         "PORT MISSING since 06:40:02: No such file or directory"},
        {line_event("room-1", smd::LineState::PortBusy, "held by pid 42"),
         "PORT HELD BY ANOTHER PROCESS since 06:40:02: held by pid 42"},
        {line_event("room-1", smd::LineState::NotAnswering, "", true),
         "NOT ANSWERING since 06:40:02; communication-lost alarm standing"},
    };
    for (const Case& c : cases) {
        monitor::RunnerScreen v = site_of(1);
        const monitor::Applied a = v.Apply(c.event);
        EXPECT_EQ(monitor::line_text(v.Devices()[0], kNow), c.text);
        // A status line for JSON when the state differs from "starting".
        EXPECT_EQ(a.line_changed, c.text.rfind("starting", 0) != 0) << c.text;
    }
}

TEST(RunnerScreen, ASiteTooLargeForTheScreenIsPagedAndItsAlarmsCut) {
    monitor::RunnerScreen v = site_of(6);
    for (int i = 0; i < 6; ++i) v.Apply(cycle_event("room-" + std::to_string(i + 1), i == 3));
    v.Apply(line_event("room-2", smd::LineState::PortMissing, std::string(200, 'x')));
    // Raw bytes from the line: an escape sequence and bytes that are no UTF-8.
    for (int n = 0; n < 30; ++n) {
        v.Apply(alarm_event("room-1", n, "交流屏1 \x1b[2J\xff\xfe phase " + std::to_string(n)));
    }
    monitor::ScreenContext ctx;
    ctx.now = kNow;
    ctx.title = "ravo3-monitor";
    ctx.log = {"one", "two", "three"};
    std::vector<std::string> all;
    for (int page = 0; page < 2; ++page) {
        ctx.page = page;
        const auto lines = monitor::render_screen(v, ctx);
        ASSERT_EQ(lines.size(), 24u);
        EXPECT_EQ(lines[0], "ravo3-monitor  page " + std::to_string(page + 1) + "/2");
        for (const auto& l : lines) {
            EXPECT_LE(monitor::display_width(l), 80u) << l;
            EXPECT_EQ(l.find('\x1b'), std::string::npos) << l;
            all.push_back(l);
        }
        // Values first, alarms in the room left, the log at the bottom.
        std::size_t at = 0;
        while (at < lines.size() && lines[at].rfind("Active alarms (30)", 0) != 0) ++at;
        ASSERT_LT(at, lines.size());
        EXPECT_EQ(lines[21].rfind("  and ", 0), 0u);
        EXPECT_EQ(lines[21], "  and " + std::to_string(30 - (21 - at - 1)) + " more");
        EXPECT_EQ(lines[20].find("  06:40:02 [room-1] 06014 交流输入过压 交流屏1 \xEF\xBF\xBD[2J"),
                  0u)
            << lines[20];
        EXPECT_EQ(lines[22], "log: two");
        EXPECT_EQ(lines[23], "log: three");
    }
    std::string text;
    for (const auto& l : all) text += l + "\n";
    for (const char* want : {"room-1  /dev/ttyUSB0  answering, last cycle 3 s ago",
                             "  DC 502  Voltage 53.52 V  Current 48.5 A",
                             "room-2  /dev/ttyUSB1  PORT MISSING since 06:40:02", "  ! xxxxxxxx",
                             "room-4  /dev/ttyUSB3  starting, no cycle yet",
                             "  REPLAYED values, stored 2026-12-07 23:10:00; no cycle yet"}) {
        EXPECT_NE(text.find(want), std::string::npos) << want << "\n" << text;
    }
}

// Each unit as its vocabulary describes it: column heads, precision and units
// of its values, a line per channel or module, the alarm values that stand by
// label, and the unit's reply when it gave no values.
TEST(RunnerScreen, UnitsReadAsTheirVocabularyDescribesThem) {
    auto unit = [](smd::UnitKind kind, std::uint32_t id, std::vector<smd::NamedValue> values) {
        smd::UnitValues u;
        u.kind = kind;
        u.data_id = id;
        u.values = std::move(values);
        return u;
    };
    struct Case {
        smd::UnitValues unit;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {unit(smd::UnitKind::AC, 501,
              {{"ia", true, 12.5f, ""},
               {"ib", true, 0.125f, ""},
               {"ic", false, 0, "数据已超时"},
               {"ia_alert", true, 0, ""},
               {"ib_alert", true, 2, ""},
               {"channel_0_a", true, 230.5f, ""},
               {"channel_0_b", true, 231.25f, ""},
               {"channel_0_c", true, 229.75f, ""},
               {"channel_0_f", true, 50, ""}}),
         {"  AC 501  A 12.5 A  B 0.1 A  C --",
          "    Channel 1  AB/A 230.5 V  BC/B 231.2 V  CA/C 229.8 V  f 50.00 Hz",
          "    faults: Phase B current alarm state"}},
        {unit(smd::UnitKind::RC, 500,
              {{"group_value", true, 53.5f, ""},
               {"module_count", true, 2, ""},
               {"module_1_value", true, 16.5f, ""},
               {"module_1_status_2", true, 10, ""},
               {"module_1_fan_fault", true, 0, ""},
               {"module_2_value", true, 17.25f, ""},
               {"module_2_fault", true, 1, ""},
               {"module_2_comm_lost", true, 0xE2, ""}}),
         {"  RC 500  Group 53.50  Modules 2", "    Module 1  Value 16.5  S1 --  S2 0A  S3 --",
          "    Module 2  Value 17.2  S1 --  S2 --  S3 --",
          "    faults: Module 2: fault, comm lost"}},
        {unit(smd::UnitKind::DC, 502,
              {{"v", false, 0, "数据已超时"}, {"i", false, 0, "数据已超时"}}),
         {"  DC 502  数据已超时"}},
    };
    for (const Case& c : cases) {
        monitor::RunnerScreen v = site_of(1);
        smd::HostEvent e = cycle_event("room-1", false);
        e.units = {c.unit};
        v.Apply(e);
        monitor::ScreenContext ctx;
        ctx.now = kNow;
        ctx.rows = 0;
        ctx.cols = 0;
        const auto lines = monitor::render_screen(v, ctx);
        auto at = std::find(lines.begin(), lines.end(), c.lines[0]);
        ASSERT_NE(at, lines.end()) << c.lines[0];
        for (const std::string& want : c.lines) {
            ASSERT_NE(at, lines.end());
            EXPECT_EQ(*at++, want);
        }
        ASSERT_NE(at, lines.end());
        EXPECT_EQ(at->rfind("Active alarms", 0), 0u) << *at;  // nothing more of the unit
    }
}

// A cycle's JSON line: the float as sent, a value that cannot be given as
// null with its reply beside it, the alarms of that device only.
TEST(RunnerScreen, CycleJsonCarriesValuesRepliesAndTheDevicesAlarms) {
    monitor::RunnerScreen v = site_of(2);
    smd::HostEvent e = cycle_event("room-1", false);
    e.units[0].values = {{"v", true, std::numeric_limits<float>::infinity(), ""},
                         {"i", false, 0, "数据已超时"},
                         {"x", true, 53.52f, ""}};
    v.Apply(alarm_event("room-1", 1, "a"));
    v.Apply(alarm_event("room-2", 2, "b"));
    v.Apply(e);
    const std::string line = monitor::cycle_json(e, "/dev/ttyUSB0", v.AlarmsOf("room-1"));
    for (const char* want :
         {R"({"type":"cycle","device":"room-1","port":"/dev/ttyUSB0","cycle":7,)",
          R"("time":"2026-12-08T06:40:27)",
          R"("values":{"v":null,"i":null,"x":53.52},"replies":{"v":"+infinity","i":"数据已超时"})",
          R"("alarms":[{"device":"room-1","data_id":501,"device_type":"","key":"AC_1",)",
          R"("line":{"state":"answering")"}) {
        EXPECT_NE(line.find(want), std::string::npos) << want << "\n" << line;
    }
    EXPECT_EQ(line.find("AC_2"), std::string::npos);
}

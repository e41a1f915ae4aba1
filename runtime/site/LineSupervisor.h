// One device of the site and its line: the bus device made from its driver,
// the line thread that drives it (shared by the devices of one port), the
// line's state for the event stream, the communication-lost point, and the
// event of each completed cycle, built from the records the units published
// at the cycle's end.
#pragma once

#include <atomic>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "host/SMDController.h"
#include "host/SMDSPDevice.h"
#include "runtime/events/Events.h"
#include "runtime/line/DriverLoop.h"
#include "runtime/site/SiteConfig.h"

namespace smd {

// Each unit's alarm points at its last evaluation, for the cycle events.
class UnitPoints {
  public:
    void Set(std::vector<ActiveAlarm> points, std::uint32_t data_id,
             const std::string& device_type);
    void AttachTo(std::vector<UnitValues>& units) const;
    void Erase(const std::set<std::pair<std::uint32_t, std::string>>& units);

  private:
    mutable std::mutex mutex_;
    std::map<std::pair<std::uint32_t, std::string>, std::vector<ActiveAlarm>> points_;
};

// A unit of a device, as it was loaded.
struct UnitRef {
    UnitKind kind = UnitKind::AC;
    std::uint32_t data_id = 0;
    std::string device_type;
};

// A unit's values as a record it published or stored gives them (the
// vocabulary's order, channels and modules by the record's counts); without
// a readable record, the names the unit serves when it has none, each with
// `reply`.
void fill_unit_values(UnitValues& u, const std::vector<unsigned char>* record, const char* reply);

class LineSupervisor {
  public:
    // What the lines of a site share; outlives them.
    struct Site {
        SMDController& controller;
        EventBus& events;
        UnitPoints& points;
        const std::atomic<std::int64_t>& comm_lost_ms;
        std::function<void(const std::string&)> log;
    };

    LineSupervisor(Site site, DeviceConfig config);
    LineSupervisor(const LineSupervisor&) = delete;
    LineSupervisor& operator=(const LineSupervisor&) = delete;

    // Set while the device loads, before its line runs; unchanged after.
    const DeviceConfig config;            // as loaded (driver resolved)
    std::shared_ptr<SMDSPDevice> device;  // null: disabled, or it did not load
    std::string error;                    // why it did not load
    std::size_t replayed = 0;             // stored unit records the units took
    std::vector<UnitRef> units;           // the rectifier unit last
    // Data id and device type of the bus device and of each unit: whose
    // alarms these are.
    std::set<std::pair<std::uint32_t, std::string>> owned;

    // Hooks the device's answers and cycle ends and takes up the line's
    // state; once `device` and `units` are set.
    void Attach(int stale_after_s);
    // Whether the bus device or a unit of the site file's entry has this data id.
    bool Serves(std::uint32_t data_id) const;

    // The line thread that drives the device (a reload may build another);
    // its network allowance is added to the device's answer time-out.
    void SetThread(std::shared_ptr<DriverLoop> loop, std::shared_ptr<LinePort> port,
                   std::int64_t allowance_ms);
    std::shared_ptr<DriverLoop> Loop() const;
    struct PortCounts {
        bool open = false;
        std::uint64_t opens = 0, losses = 0;  // by every thread the line had
    };
    PortCounts Ports() const;
    // From now, comm_lost_s without a completed cycle raises the communication-lost point.
    void StartClock();

    LineStatus Status() const;
    // `since` not a date time: now, when the state changes.
    void SetState(LineState state, const std::string& detail,
                  boost::posix_time::ptime since = boost::posix_time::not_a_date_time);
    void SetStaleAfter(int seconds);  // and tells the stream
    void Publish();                   // the line's state, to the stream

    // From the line thread.
    void OnPortEvent(PortEvent e);
    void OnTick();

    // Where a unit's state came from: this device's cycle under way and the
    // latest answers of the unit's block; null when the unit is not this device's.
    std::shared_ptr<const Provenance> ProvenanceOf(std::uint32_t data_id,
                                                   const std::string& device_type) const;

  private:
    void OnCycle();
    void OnAnswer(unsigned char cid1, unsigned char cid2, const std::vector<unsigned char>& bytes);
    // Evaluates the communication-lost point on the worker, then tells the line's state.
    void SubmitCommLost(bool active);

    Site site_;
    std::vector<std::uint32_t> unit_ids_;  // of the site file's unit entries
    std::int64_t allowance_ms_ = 0;        // the control thread's only

    mutable std::mutex mutex_;  // guards what follows
    std::shared_ptr<LinePort> port_;
    std::shared_ptr<DriverLoop> loop_;
    std::uint64_t opens_before_ = 0, losses_before_ = 0;  // by the line's earlier threads
    LineStatus status_;
    std::uint64_t cycles_ = 0;
    std::int64_t progress_ms_ = 0;  // steady time of the last cycle (or of the start)
    std::string comm_lost_detail_;  // detail of the standing communication-lost point
    // The latest answer to each command, by CID1 << 8 | CID2, and the latest of all.
    std::map<unsigned, std::shared_ptr<const AnswerRef>> answers_;
    std::shared_ptr<const AnswerRef> last_answer_;
};

}  // namespace smd

// The host's one stream of events: a poll cycle completed (with every unit's
// values by name), an alarm raised or cleared, a line's state changed. Every
// consumer (runner, HTTP API, metrics, MQTT, web page) reads this stream
// through its own queue on its own thread; none reaches into the host and
// none can hold up a line thread.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "host/PMBusProtocol.h"
#include "host/SMDController.h"
#include "runtime/values/Vocabulary.h"

namespace smd {

enum class LineState {
    Starting,           // loaded, no cycle yet and no sign of trouble yet
    Answering,          // cycles complete
    NotAnswering,       // the port is open but the unit does not answer
    PortMissing,        // the port cannot be opened (absent, no permission)
    PortBusy,           // another process holds the port
    HostUnreachable,    // a device server that cannot be reached (no route, no answer)
    ConnectionRefused,  // a device server that refuses the connection
    ConnectionLost,     // a connection to a device server that broke
    Stopped,            // the host stopped the line
};
// "starting", "answering", "not_answering", "port_missing", "port_busy",
// "host_unreachable", "connection_refused", "connection_lost", "stopped"
const char* line_state_name(LineState s);

struct LineStatus {
    LineState state = LineState::Starting;
    boost::posix_time::ptime since;  // local time the state began
    boost::posix_time::ptime
        last_cycle;          // local time of the last completed cycle; not_a_date_time: none
    std::string detail;      // the cause in words, empty when answering
    bool comm_lost = false;  // the communication-lost alarm point stands
    int stale_after_s = 60;  // values this old are stale (the site's "comm_lost_s")
};

// A unit answers "数据已超时" for data this many whole seconds old, or this far
// in the future.
constexpr int kUnitTimeoutSeconds = 61;

// Fresh or stale, decided here for every output: a device's values are fresh
// while its line answers, no communication-lost point stands and they are
// younger than the line's `stale_after_s`. Each change of the first two comes
// as a line event; the age only decides alone when cycles stop while the line
// still counts as answering (until the communication-lost point is raised).
bool values_fresh(const LineStatus& line, const boost::posix_time::ptime& values_time,
                  const boost::posix_time::ptime& now);
// Whole seconds from `values_time` to `now`; NaN when either is not a time.
double values_age_seconds(const boost::posix_time::ptime& values_time,
                          const boost::posix_time::ptime& now);
// The values are as old as a unit's own time-out (or that far ahead): the
// unit itself would answer "数据已超时" for each of them.
bool values_timed_out(const boost::posix_time::ptime& values_time,
                      const boost::posix_time::ptime& now);

struct UnitValues {
    UnitKind kind = UnitKind::AC;
    std::uint32_t data_id = 0;
    std::string device_type;
    bool replayed = false;            // values of the stored record, before any cycle
    boost::posix_time::ptime stored;  // when the replayed record was stored
    std::vector<NamedValue> values;
    // Every alarm point the unit registered at this cycle, standing or not;
    // empty for replayed values and before the unit's first evaluation.
    std::vector<ActiveAlarm> points;
};

struct CycleInfo {
    std::uint64_t number = 0;   // cycles completed on this line since the host started
    double poll_seconds = 0;    // first command of the cycle to its end
    double period_seconds = 0;  // between the starts of the last two cycles; 0 for the first
};

struct HostEvent {
    // Removed: the device left the site (a reload); consumers forget it.
    enum class Kind { Cycle, AlarmRaised, AlarmCleared, Line, Removed };
    Kind kind = Kind::Cycle;
    std::uint64_t seq = 0;          // order in the stream, from 1
    bool initial = false;           // the state at subscription, not a new event
    std::string device;             // the bus device's name in the site file
    boost::posix_time::ptime time;  // local time

    // Cycle: the values after the cycle's alarms were evaluated.
    CycleInfo cycle;
    std::vector<UnitValues> units;
    FrameStats frames;
    // AlarmRaised / AlarmCleared.
    ActiveAlarm alarm;
    std::shared_ptr<const Provenance> provenance;  // its cycle and answers; null: unknown
    // Line; also the line's state at a Cycle.
    LineStatus line;
};
// "cycle", "alarm_raised", "alarm_cleared", "line", "device_removed"
const char* event_kind_name(HostEvent::Kind k);

// The same alarm point: unit, key and detail (its state and level may differ).
bool same_point(const ActiveAlarm& a, const ActiveAlarm& b);

// When a cycle event's values were measured: the cycle's end, or, for values
// replayed from the store after a start, when the oldest of them was stored
// (so a line that stays dead after a restart shows its true age).
boost::posix_time::ptime values_time(const HostEvent& cycle);

// ISO 8601 local time with its offset: "2026-12-08T06:15:05+01:00".
std::string iso8601(const boost::posix_time::ptime& local);

// One subscriber's queue. Alarm and line events are never dropped; when a
// consumer falls behind by `capacity` events, the oldest cycle event of the
// same device is dropped (a newer one supersedes it) and counted.
class EventQueue {
  public:
    explicit EventQueue(std::size_t capacity) : capacity_(capacity) {}
    // Waits up to `timeout` for the next event; false on time-out or once closed and empty.
    bool Pop(HostEvent& out, std::chrono::milliseconds timeout);
    bool TryPop(HostEvent& out);
    std::uint64_t Dropped() const;
    std::size_t Size() const;
    void Close();
    bool Closed() const;

  private:
    friend class EventBus;
    bool Push(const HostEvent& e);  // true when a cycle event was dropped for it
    void Prime(HostEvent e);        // the state at subscription, whatever the bound

    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<HostEvent> events_;
    std::uint64_t dropped_ = 0;
    bool closed_ = false;
};

// The state the stream has told so far, as a late subscriber gets it.
struct SiteState {
    std::map<std::string, LineStatus> lines;  // by device
    std::map<std::string, HostEvent> cycles;  // the last cycle event of each device
    std::vector<HostEvent> alarms;            // standing alarms, oldest first
    std::uint64_t seq = 0;                    // the last event published
};

class EventBus {
  public:
    explicit EventBus(std::size_t queue_capacity = 4096) : capacity_(queue_capacity) {}

    // A new queue, primed with the current state as `initial` events: every
    // line, every device's last cycle, every standing alarm.
    std::shared_ptr<EventQueue> Subscribe();
    void Unsubscribe(const std::shared_ptr<EventQueue>& q);
    // Stamps the sequence number and hands the event to every queue. Never
    // waits for a consumer.
    void Publish(HostEvent e);
    SiteState State() const;
    std::size_t Consumers() const;
    // Cycle events dropped for consumers that fell behind, since the start.
    std::uint64_t DroppedCycles() const;
    // Devices known to the stream before any event (names in site order).
    void Declare(const std::string& device, const LineStatus& status);
    // A device that left the site: gone from the state, and a Removed event.
    void Remove(const std::string& device);
    // Alarms that stood when the host last stopped: part of the state that
    // subscribers get, not new events.
    void RestoreAlarms(const std::vector<ActiveAlarm>& alarms,
                       const std::function<std::string(const ActiveAlarm&)>& device_of);

  private:
    void Retain(const HostEvent& e);

    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::vector<std::weak_ptr<EventQueue>> queues_;
    std::vector<std::string> order_;
    SiteState state_;
    std::uint64_t dropped_cycles_ = 0;
};

// A consumer of the stream: each one runs on its own thread fed by its own
// queue (ConsumerThread), so a slow one delays nobody.
class EventConsumer {
  public:
    virtual ~EventConsumer() = default;
    virtual void OnEvent(const HostEvent& e) = 0;
    // Called about once a second when no event came, for time-driven work.
    virtual void OnIdle() {}
};

class ConsumerThread {
  public:
    ConsumerThread(EventBus& bus, std::shared_ptr<EventConsumer> consumer);
    ~ConsumerThread();
    ConsumerThread(const ConsumerThread&) = delete;
    ConsumerThread& operator=(const ConsumerThread&) = delete;
    void Stop();
    const std::shared_ptr<EventQueue>& Queue() const { return queue_; }

  private:
    EventBus& bus_;
    std::shared_ptr<EventConsumer> consumer_;
    std::shared_ptr<EventQueue> queue_;
    std::thread thread_;
};

}  // namespace smd

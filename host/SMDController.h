// The host's controller: log, alarm evaluation, threshold work, device history
// and snapshots. One controller serves every device of a host process.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "host/HostTypes.h"

namespace smd {

// One argument of a log call, kept with its kind so that callers can check
// what a device passed, not only the text.
struct LogArg {
    enum class Kind { U32, I32, U8, I64, U64, F64, Text };
    Kind kind = Kind::Text;
    std::int64_t integer = 0;
    std::uint64_t uinteger = 0;
    double real = 0.0;
    std::string text;

    bool operator==(const LogArg& o) const;
};

LogArg to_log_arg(std::uint32_t v);
LogArg to_log_arg(std::int32_t v);
LogArg to_log_arg(std::uint8_t v);
LogArg to_log_arg(std::int64_t v);
LogArg to_log_arg(std::uint64_t v);
LogArg to_log_arg(double v);
LogArg to_log_arg(const std::string& v);
LogArg to_log_arg(const char* v);
inline LogArg to_log_arg(std::uint16_t v) {
    return to_log_arg(static_cast<std::uint32_t>(v));
}
inline LogArg to_log_arg(std::int16_t v) {
    return to_log_arg(static_cast<std::int32_t>(v));
}
inline LogArg to_log_arg(std::int8_t v) {
    return to_log_arg(static_cast<std::int32_t>(v));
}
inline LogArg to_log_arg(char v) {
    return to_log_arg(static_cast<std::int32_t>(v));
}
inline LogArg to_log_arg(float v) {
    return to_log_arg(static_cast<double>(v));
}
inline LogArg to_log_arg(bool v) {
    return to_log_arg(static_cast<std::uint8_t>(v));
}

// A formatted log call: the format as the device gave it, its arguments, and
// the text with each "{}" replaced by the next argument. Arguments that have
// no "{}" left (formats written with printf-style markers) are appended in
// brackets, so no value the device reported is lost.
struct LogRecord {
    std::string format;
    std::vector<LogArg> args;
    std::string text;
};
std::string format_log(const std::string& format, const std::vector<LogArg>& args);

using LogSink = std::function<void(const LogRecord&)>;

// An alarm point of a unit, one type for all: as the alarm table keeps a
// standing one, as alarm events, the store and the outputs carry it, and as
// a cycle event lists each point the unit evaluated, standing or not.
struct ActiveAlarm {
    std::uint32_t data_id = 0;
    std::string device_type;
    std::string key;
    std::string code;
    std::string name;
    std::string detail;
    std::int32_t level = 0;
    std::int32_t state = -1;
    boost::posix_time::ptime since;  // when it was raised; not a date time when not known
    bool active = true;              // it stands; false only for a cycle's point that does not
};

// The point a rule of a unit's cycle states (not yet stamped with `since`).
ActiveAlarm alarm_point(std::uint32_t data_id, const std::string& device_type, const rule_value& r);

// One answer frame a unit's state came from: the command it answered, when
// it was received (local time) and its bytes as they came off the line.
struct AnswerRef {
    std::uint8_t cid1 = 0;
    std::uint8_t cid2 = 0;
    boost::posix_time::ptime time;
    std::vector<unsigned char> bytes;
};

// Where an alarm event came from: the poll cycle of its device in which it
// was evaluated, and the answers its unit's state was decoded from.
struct Provenance {
    std::uint64_t cycle = 0;
    std::vector<AnswerRef> answers;
};

struct AlarmEvent {
    enum class Kind { Raised, Cleared };
    Kind kind = Kind::Raised;
    boost::posix_time::ptime time;
    ActiveAlarm alarm;
    std::shared_ptr<const Provenance> provenance;  // null when not known
};

// Where alarm events go beyond the in-memory table (persistent store).
class AlarmStore {
  public:
    virtual ~AlarmStore() = default;
    virtual void Record(const AlarmEvent& event) = 0;
    // The alarms standing when the store was last written, restored at start.
    virtual std::vector<ActiveAlarm> LoadActive() = 0;
};

struct HistoryRecord {
    std::uint32_t data_id = 0;
    std::string device_type;
    int unit_type = 0;
    boost::posix_time::ptime time;
    std::vector<unsigned char> bytes;
};

class HistoryStore {
  public:
    virtual ~HistoryStore() = default;
    virtual void Append(const HistoryRecord& record) = 0;
    // The newest record of one unit, or nothing.
    virtual std::optional<HistoryRecord> Latest(std::uint32_t data_id,
                                                const std::string& device_type) = 0;
    virtual std::size_t Count() = 0;
};

// The in-memory history kept when no persistent store is set.
class MemoryHistoryStore : public HistoryStore {
  public:
    explicit MemoryHistoryStore(std::size_t retention = 10000) : retention_(retention) {}
    void Append(const HistoryRecord& record) override;
    std::optional<HistoryRecord> Latest(std::uint32_t data_id,
                                        const std::string& device_type) override;
    std::size_t Count() override;
    std::vector<HistoryRecord> All();

  private:
    std::size_t retention_;
    // A ring once it holds `retention_` records: `oldest_` is where the
    // oldest one is (0 until then).
    std::vector<HistoryRecord> records_;
    std::size_t oldest_ = 0;
    std::mutex mutex_;
};

struct Snapshot {
    std::uint32_t data_id = 0;
    std::string device_type;
    int unit_type = 0;
    bool flag = false;
    bool changed = false;
    boost::posix_time::ptime time;
    std::vector<unsigned char> bytes;
};

}  // namespace smd

class SMDController : public std::enable_shared_from_this<SMDController> {
  public:
    SMDController();
    ~SMDController();
    SMDController(const SMDController&) = delete;
    SMDController& operator=(const SMDController&) = delete;

    // Device diagnostics reach the controller here; this host's log takes
    // them through its own entry (EmitLog), so the framework's template stays
    // the empty one devices are built against.
    template <typename... Args>
    void InfoLog(const char* /*format*/, const Args&... /*args*/) {}
    // The sink receives every log line; the default discards them.
    void SetLogSink(smd::LogSink sink);
    void EmitLog(const smd::LogRecord& rec);

    // Threshold work (the closures devices hand over at each cycle end) runs
    // once each, in order, on the controller's worker thread; in synchronous
    // mode it runs at once on the caller's thread.
    void SetSynchronousWork(bool sync);
    void SubmitWork(std::function<void()> work);
    // The same, for work whose alarm evaluation carries `provenance`.
    void SubmitWork(std::function<void()> work, std::shared_ptr<const smd::Provenance> provenance);
    // Asked, when a device hands over its threshold work and when rules are
    // evaluated outside such work, where the device's state came from.
    using ProvenanceSource = std::function<std::shared_ptr<const smd::Provenance>(
        std::uint32_t data_id, const std::string& device_type)>;
    void SetProvenanceSource(ProvenanceSource source);
    std::shared_ptr<const smd::Provenance> ProvenanceOf(std::uint32_t data_id,
                                                        const std::string& device_type) const;
    void DrainWork();  // returns when every submitted closure has run
    std::uint64_t WorkRun() const;

    // Alarm evaluation of one cycle's rules of one device. A point is named by
    // device, key and detail. Returns true when an alarm was raised or cleared.
    bool EvaluateRules(std::uint32_t data_id, const std::string& device_type,
                       const std::vector<rule_value>& rules);
    std::vector<smd::ActiveAlarm> ActiveAlarms() const;
    // Restores the standing alarms from the store, then records every event there.
    void SetAlarmStore(std::shared_ptr<smd::AlarmStore> store);
    void SetAlarmListener(std::function<void(const smd::AlarmEvent&)> listener);
    void SetRuleListener(
        std::function<void(std::uint32_t, const std::string&, const std::vector<rule_value>&)>
            listener);

    // Device history.
    void SaveHistory(smd::HistoryRecord record);
    void SetHistoryStore(std::shared_ptr<smd::HistoryStore> store);
    std::shared_ptr<smd::HistoryStore> GetHistoryStore() const;

    // Latest published snapshot of each unit.
    void PublishSnapshot(smd::Snapshot snapshot);
    std::optional<smd::Snapshot> LatestSnapshot(std::uint32_t data_id,
                                                const std::string& device_type) const;
    std::vector<smd::Snapshot> AllSnapshots() const;
    void SetSnapshotListener(std::function<void(const smd::Snapshot&)> listener);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

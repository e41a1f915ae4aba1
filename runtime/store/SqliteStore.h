// The host's persistent store: device history, alarm events with the set of
// standing alarms, and the latest snapshot of each unit, in one SQLite file
// in WAL mode. Other programs may read the file while the host writes it.
//
//   units(id, data_id, device_type)
//   recent(id, unit, time, unit_type, bytes)          records of the minute being filled
//   chunks(first_id, unit, first_time, last_time, last_id, count, bytes)
//                                                     a unit's records of one minute, packed
//   minutes(id, unit, minute, count, undecoded, layout, bytes)   their lowest/highest/last
//   layouts(id, names)                                the value names a summary holds
//   alarm_events(id, time, kind, data_id, device_type, key, code, name, detail, level, state)
//   active_alarms(data_id, device_type, key, detail, code, name, level, state, since)
//   snapshot(data_id, device_type, unit_type, flag, changed, time, bytes)   one row per unit
//   meta(key, value)
//
// History times are local time as whole seconds since 1970 (runtime/store/HistoryCodec.h),
// the other tables' as text "YYYY-MM-DD HH:MM:SS". Record ids rise with every record
// handed in, and are given when it is handed in, so that waiting records have theirs.
//
// Every call is safe from any thread and never throws. Writes are handed to a
// writer thread of the store's own and return at once: the caller (the
// controller's worker, which stamps each record with its cycle's time) never
// waits for the disk. The writer puts what waits into one transaction at most
// every `commit_interval_ms`; a write costs the same at any size of the
// history, since old rows go in bounded batches by an indexed time, once a
// minute. While writes fail (disk full, I/O error) rows and alarm events wait
// in order, are retried every second and when more arrive, and the first write
// that works again writes them all and rewrites the standing alarms from the
// host's alarm table. Past `queue_limit` waiting history rows the oldest rows
// go; alarm events are never dropped.
//
// A file of the first layout (one row per record) is converted in the
// background, oldest first, in bounded batches; until it is done its rows are
// read where they are.
//
// One host writes a file: "<db>.lock" is held with flock while it is open. A
// file that can only be read is opened read-only: what it holds is served,
// and new rows and events stay in memory.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/SMDController.h"

struct sqlite3;
struct sqlite3_stmt;

namespace smd {

// A history record as stored, with its id.
struct StoredRecord {
    std::int64_t id = 0;  // increases with every record handed in
    HistoryRecord record;
};

struct StoredEvent {
    std::int64_t id = 0;
    AlarmEvent event;
};

// What the writer did and what waits, for the metrics.
struct StoreStats {
    bool read_only = false;
    bool failing = false;  // the last write failed
    std::size_t waiting_records = 0;
    std::size_t waiting_events = 0;
    double oldest_waiting_s = 0;  // age of the oldest record or event waiting
    std::uint64_t written_records = 0;
    std::uint64_t written_events = 0;
    std::uint64_t dropped_records = 0;  // pushed out of a full queue since the start
    std::uint64_t transactions = 0;
    double write_seconds = 0;      // time spent in write transactions
    std::uint64_t converting = 0;  // rows of the first layout still to convert
    std::string last_error;        // why the last write failed ("" while writing works)
};

class SqliteStore : public HistoryStore, public AlarmStore {
  public:
    struct Options {
        int history_days = 30;                 // records kept this long; 0: no limit by age
        int summary_days = 400;                // per-minute summaries; 0: no limit
        std::size_t history_retention = 0;     // older form: records kept; 0: no limit
        std::size_t event_retention = 100000;  // rows kept in `alarm_events`
        int busy_timeout_ms = 2000;            // wait for another writer this long
        std::size_t queue_limit = 100000;      // history rows waiting (and kept read-only)
        int commit_interval_ms = 250;          // what arrives meanwhile shares a transaction
        int maintenance_interval_ms = 60000;   // sealing minutes, retention, conversion
        int page_size = 16384;                 // of a file made new
        // Fault seam: asked at "open" and before each "write" transaction; a
        // result other than 0 (SQLITE_OK) fails that step with that result.
        std::function<int(const char* step)> fault;
    };

    // Opens the database, creating it when missing. Null, with `error` saying
    // what is wrong, when the file is locked, corrupt, not a database or of a
    // newer layout; `in_use` is set when another host holds it.
    static std::shared_ptr<SqliteStore> Open(const std::string& path, const Options& options,
                                             std::string* error, bool* in_use = nullptr);
    ~SqliteStore() override;
    SqliteStore(const SqliteStore&) = delete;
    SqliteStore& operator=(const SqliteStore&) = delete;

    // HistoryStore
    void Append(const HistoryRecord& record) override;
    std::optional<HistoryRecord> Latest(std::uint32_t data_id,
                                        const std::string& device_type) override;
    std::size_t Count() override;

    // AlarmStore
    void Record(const AlarmEvent& event) override;
    std::vector<ActiveAlarm> LoadActive() override;

    void SaveSnapshot(const Snapshot& snapshot);
    std::optional<Snapshot> LoadSnapshot(std::uint32_t data_id, const std::string& device_type);
    // The newest events, oldest first.
    std::vector<AlarmEvent> Events(std::size_t limit = 1000);
    std::size_t EventCount();

    // Waits until everything handed in before was written (or a write of it failed).
    void Sync();
    // Sync, then moves the write-ahead log into the main file.
    void Flush();
    // Runs the periodic work now, to its end: minutes sealed, old rows
    // deleted, the first layout converted. For tests and benchmarks.
    void Maintain();
    // Where the host's alarm table is read when writing resumes after a failure.
    void SetStandingSource(std::function<std::vector<ActiveAlarm>()> source);
    bool ReadOnly() const { return read_only_; }
    // Why the file is read-only ("" when it is not).
    const std::string& ReadOnlyCause() const { return read_only_cause_; }
    // History rows and alarm events waiting to be written.
    std::size_t Waiting() const;
    // History rows dropped from a full queue.
    std::uint64_t DroppedHistory() const;
    StoreStats Stats() const;
    void SetErrorSink(std::function<void(const std::string&)> sink);
    std::uint64_t Errors() const;
    const std::string& Path() const { return path_; }

    // What is not in the file yet (or, read-only, never will be), for readers
    // of the file: records of `data_id` at `from`..`to` (inclusive; not-a-date-time:
    // open) and events at or after `since`, with an id above `after`, oldest first.
    std::vector<StoredRecord> WaitingRecords(std::uint32_t data_id,
                                             const boost::posix_time::ptime& from,
                                             const boost::posix_time::ptime& to, std::int64_t after,
                                             std::size_t limit) const;
    std::vector<StoredEvent> WaitingEvents(const boost::posix_time::ptime& since,
                                           std::int64_t after, std::size_t limit) const;

    struct Chunks;  // the writer's open chunks (SqliteStore.cpp)

  private:
    struct Item {
        bool is_event = false;
        bool in_flight = false;  // being written now
        std::int64_t id = 0;
        std::int64_t queued_ms = 0;
        HistoryRecord record;
        AlarmEvent event;
    };
    using UnitKey = std::pair<std::uint32_t, std::string>;

    SqliteStore(std::string path, Options options);
    bool Lock(std::string* error, bool* in_use);
    bool Setup(std::string* error);
    bool SetupReadOnly(const std::string& cause, std::string* error);
    bool Convert(int version, std::string* error);
    bool PrepareAll(bool writes);
    bool LoadIds();
    bool Exec(const char* sql);
    sqlite3_stmt* Prepare(const char* sql);

    // Queue, with `mutex_` held.
    void Enqueue(std::shared_ptr<Item> item);
    void Fail(const std::string& cause);
    // Writer thread.
    void WriterLoop();
    bool WriteBatch(const std::vector<std::shared_ptr<Item>>& items,
                    const std::map<UnitKey, Snapshot>& snapshots,
                    const std::vector<ActiveAlarm>* standing, std::string& cause);
    bool WriteEvent(const Item& item);
    bool WriteStanding(const std::vector<ActiveAlarm>& standing);
    // Maintenance, with `db_mutex_` held, inside a transaction: false when
    // the transaction failed; `more` when there is work left.
    bool MaintainStep(bool& more);
    std::string Cause() const;

    std::string path_;
    Options options_;
    int lock_fd_ = -1;
    bool read_only_ = false;
    std::string read_only_cause_;

    // The queue and what the writer tells; `mutex_`.
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable written_;
    std::deque<std::shared_ptr<Item>> queue_;
    std::map<UnitKey, Snapshot> snapshots_;  // waiting, or kept when read-only
    std::size_t queued_history_ = 0;
    std::int64_t next_record_id_ = 1;
    std::int64_t next_event_id_ = 1;
    std::uint64_t batches_taken_ = 0;  // write attempts begun
    std::uint64_t batches_done_ = 0;   // and ended (written or failed)
    std::uint64_t sync_target_ = 0;    // a Sync waits until batches_done_ reaches it
    bool maintain_now_ = false;
    std::uint64_t maintained_ = 0;
    bool stop_ = false;
    bool failing_ = false;
    bool new_since_failure_ = false;
    std::uint64_t waited_history_ = 0, waited_events_ = 0;  // at the last failed write
    std::uint64_t dropped_history_ = 0;
    std::uint64_t dropped_total_ = 0;
    std::uint64_t dropped_reported_ = 0;
    std::uint64_t errors_ = 0;
    std::string last_cause_;
    std::uint64_t written_records_ = 0, written_events_ = 0, transactions_ = 0;
    double write_seconds_ = 0;
    std::uint64_t converting_ = 0;
    std::function<void(const std::string&)> error_sink_;
    std::function<std::vector<ActiveAlarm>()> standing_source_;

    // The connection and everything the writer keeps beside the file; `db_mutex_`.
    mutable std::mutex db_mutex_;
    sqlite3* db_ = nullptr;
    int layout_ = 0;         // of the file: 1 one row per record, 2 packed
    std::string old_table_;  // rows of the first layout still to read ("" when none)
    struct Statements;
    std::unique_ptr<Statements> st_;
    std::unique_ptr<Chunks> chunks_;

    std::thread writer_;
};

// Local time as the store writes it, and back (not-a-date-time for text that is none).
std::string store_time_text(const boost::posix_time::ptime& t);
boost::posix_time::ptime store_time_parse(const std::string& text);

// Opens `path` for reading as the host does: read-only, and immutable when its
// write-ahead log cannot be shared (a read-only folder). Null, with `error`.
sqlite3* open_store_read_only(const std::string& path, int busy_timeout_ms, std::string& error);

}  // namespace smd

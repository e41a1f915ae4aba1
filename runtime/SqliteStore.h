// The host's persistent store: device history, alarm events with the set of
// standing alarms, and the latest snapshot of each unit, in one SQLite file
// in WAL mode. Other programs may read the file while the host writes it.
//
//   history(id, data_id, device_type, unit_type, time, bytes)   newest = highest id
//   alarm_events(id, time, kind, data_id, device_type, key, code, name, detail, level, state)
//   active_alarms(data_id, device_type, key, detail, code, name, level, state, since)
//   snapshot(data_id, device_type, unit_type, flag, changed, time, bytes)   one row per unit
//
// Times are local time as text, "YYYY-MM-DD HH:MM:SS". Every call is safe
// from any thread and never throws.
//
// Writes go through a queue: each call appends to it and writes the whole
// queue in one transaction. While writes fail (disk full, I/O error) rows and
// alarm events wait there in order, and the first write that works again
// writes them all and rewrites the standing alarms from the host's alarm
// table. Past `queue_limit` waiting history rows the oldest rows go; alarm
// events are never dropped.
//
// One host writes a file: "<db>.lock" is held with flock while it is open. A
// file that can only be read is opened read-only: what it holds is served,
// and new rows and events stay in memory.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/SMDController.h"

struct sqlite3;
struct sqlite3_stmt;

namespace smd {

class SqliteStore : public HistoryStore, public AlarmStore {
  public:
    struct Options {
        std::size_t history_retention = 100000;  // rows kept in `history`
        std::size_t event_retention = 100000;    // rows kept in `alarm_events`
        int busy_timeout_ms = 2000;              // wait for another writer this long
        std::size_t queue_limit = 10000;         // history rows waiting while writes fail
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

    // Writes what waits, then moves the write-ahead log into the main file.
    void Flush();
    // Where the host's alarm table is read when writing resumes after a failure.
    void SetStandingSource(std::function<std::vector<ActiveAlarm>()> source);
    bool ReadOnly() const { return read_only_; }
    // Why the file is read-only ("" when it is not).
    const std::string& ReadOnlyCause() const { return read_only_cause_; }
    // History rows and alarm events waiting to be written.
    std::size_t Waiting() const;
    // History rows dropped from a full queue.
    std::uint64_t DroppedHistory() const;
    void SetErrorSink(std::function<void(const std::string&)> sink);
    std::uint64_t Errors() const;
    const std::string& Path() const { return path_; }

  private:
    struct Item {
        bool is_event = false;
        HistoryRecord record;
        AlarmEvent event;
    };
    using UnitKey = std::pair<std::uint32_t, std::string>;

    SqliteStore(std::string path, Options options);
    bool Lock(std::string* error, bool* in_use);
    bool Setup(std::string* error);
    bool SetupReadOnly(const std::string& cause, std::string* error);
    bool PrepareAll(bool writes);
    bool Exec(const char* sql);
    sqlite3_stmt* Prepare(const char* sql);
    // With the mutex held.
    void Enqueue(Item item);
    bool Drain();
    bool WriteItem(const Item& item);
    bool WriteStanding(const std::vector<ActiveAlarm>& standing);
    void Fail(const std::string& cause);
    std::string Cause() const;

    std::string path_;
    Options options_;
    sqlite3* db_ = nullptr;
    mutable std::mutex mutex_;
    std::function<void(const std::string&)> error_sink_;
    std::uint64_t errors_ = 0;
    bool failing_ = false;
    int lock_fd_ = -1;
    bool read_only_ = false;
    std::string read_only_cause_;
    std::function<std::vector<ActiveAlarm>()> standing_source_;
    std::deque<Item> queue_;
    std::size_t queued_history_ = 0;
    std::uint64_t dropped_history_ = 0;
    std::uint64_t dropped_reported_ = 0;
    std::map<UnitKey, Snapshot> snapshots_;  // waiting, or kept when read-only
    // Read-only: new history and events stay here.
    std::unique_ptr<MemoryHistoryStore> memory_;
    std::deque<AlarmEvent> memory_events_;
    struct Statements;
    std::unique_ptr<Statements> st_;
};

// Local time as the store writes it, and back (not-a-date-time for text that is none).
std::string store_time_text(const boost::posix_time::ptime& t);
boost::posix_time::ptime store_time_parse(const std::string& text);

}  // namespace smd

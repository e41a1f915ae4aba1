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
// from any thread; a failed write is reported through the error sink and
// does not throw.
#pragma once

#include <cstdint>
#include <functional>
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
    };

    // Opens the database, creating it when missing. Null, with `error` saying
    // what is wrong, when the file is locked, corrupt, not a database or of a
    // newer layout.
    static std::shared_ptr<SqliteStore> Open(const std::string& path, const Options& options,
                                             std::string* error);
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

    // Moves the write-ahead log into the main file.
    void Flush();
    void SetErrorSink(std::function<void(const std::string&)> sink);
    std::uint64_t Errors() const;
    const std::string& Path() const { return path_; }

  private:
    SqliteStore(std::string path, Options options);
    bool Setup(std::string* error);
    void Report(const std::string& what);
    bool Exec(const char* sql);
    sqlite3_stmt* Prepare(const char* sql);

    std::string path_;
    Options options_;
    sqlite3* db_ = nullptr;
    mutable std::mutex mutex_;
    std::function<void(const std::string&)> error_sink_;
    std::uint64_t errors_ = 0;
    bool failing_ = false;
    struct Statements;
    std::unique_ptr<Statements> st_;
};

// Local time as the store writes it, and back (not-a-date-time for text that is none).
std::string store_time_text(const boost::posix_time::ptime& t);
boost::posix_time::ptime store_time_parse(const std::string& text);

}  // namespace smd

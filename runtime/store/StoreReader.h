// Read-only queries of the history database on a connection of their own:
// a long page of history never holds the writer's lock. Opened as the host
// opens a file it cannot write: read-only, and immutable when the write-ahead
// log cannot be shared (a read-only folder).
//
// A window of a unit's history is found through the index on (unit, time):
// a page costs the records it holds, not the size of the history.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/store/HistoryCodec.h"
#include "runtime/store/SqliteStore.h"

struct sqlite3;

namespace smd {

// A unit's minute as the summaries keep it; the value names are those of
// `names` (shared by the minutes of one layout), not of `summary`.
struct StoredMinute {
    std::string device_type;
    std::shared_ptr<const std::vector<std::string>> names;
    history::MinuteSummary summary;
};

class StoreReader {
  public:
    // Null, with `error`, when the file cannot be opened for reading.
    static std::unique_ptr<StoreReader> Open(const std::string& path, std::string* error);
    ~StoreReader();
    StoreReader(const StoreReader&) = delete;
    StoreReader& operator=(const StoreReader&) = delete;

    // Records of `data_id` stored at `from`..`to` (local times, inclusive;
    // not-a-date-time: open), with an id above `after_id`, oldest first, at
    // most `limit`. False, with `error`, when the database cannot be read.
    bool History(std::uint32_t data_id, const boost::posix_time::ptime& from,
                 const boost::posix_time::ptime& to, std::int64_t after_id, std::size_t limit,
                 std::vector<StoredRecord>& out, std::string& error);
    // `each` summary of the minutes of `data_id` from the one holding `from`
    // to `to`, oldest first (one StoredMinute, reused from call to call), then
    // in `open_records` the records of minutes not summarised yet, in the
    // window. False, with `error`, when the database cannot be read;
    // `summarised` false when part of the window can only be read record by
    // record (a file of the first layout still converting).
    bool Minutes(std::uint32_t data_id, const boost::posix_time::ptime& from,
                 const boost::posix_time::ptime& to,
                 const std::function<void(const StoredMinute&)>& each,
                 std::vector<StoredRecord>& open_records, bool& summarised, std::string& error);
    // False while a file of the first layout converts: the summaries do not
    // cover its rows yet.
    bool Summarised();
    // The time of the oldest record of `data_id` kept whole (not-a-date-time: none).
    bool OldestRecord(std::uint32_t data_id, boost::posix_time::ptime& out, std::string& error);
    // Alarm events at or after `since` with an id above `after_id`, oldest first.
    bool Events(const boost::posix_time::ptime& since, std::int64_t after_id, std::size_t limit,
                std::vector<StoredEvent>& out, std::string& error);

  private:
    StoreReader() = default;
    struct Layout {
        bool packed = false;    // units, chunks, recent, minutes
        std::string old_table;  // rows of the first layout ("" when none)
    };
    Layout Detect();
    bool ReadUnit(std::int64_t unit, const std::string& device_type, std::int64_t step_id,
                  std::uint32_t data_id, std::int64_t lo, std::int64_t hi, std::int64_t after,
                  std::size_t limit, std::vector<StoredRecord>& out, std::string& error);
    std::string Error(const char* what) const;

    std::mutex mutex_;
    sqlite3* db_ = nullptr;
};

// The records of two sources merged by id, those of both once, at most `limit`.
void merge_records(std::vector<StoredRecord>& into, std::vector<StoredRecord> more,
                   std::size_t limit);
void merge_events(std::vector<StoredEvent>& into, std::vector<StoredEvent> more, std::size_t limit);

}  // namespace smd

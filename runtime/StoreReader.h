// Read-only queries of the history database on a connection of their own:
// a long page of history never holds the writer's lock, which the line
// threads take when they store a record.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/SMDController.h"

struct sqlite3;

namespace smd {

struct StoredRecord {
    std::int64_t id = 0;  // increases with every record written
    HistoryRecord record;
};

struct StoredEvent {
    std::int64_t id = 0;
    AlarmEvent event;
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
    // Alarm events at or after `since` with an id above `after_id`, oldest first.
    bool Events(const boost::posix_time::ptime& since, std::int64_t after_id, std::size_t limit,
                std::vector<StoredEvent>& out, std::string& error);

  private:
    StoreReader() = default;
    std::mutex mutex_;
    sqlite3* db_ = nullptr;
};

}  // namespace smd

// Alarm events waiting for the broker's acknowledgement. In the site's
// database they survive a restart of the daemon; without one they are kept
// in memory, up to a bound. Entries leave only when the broker acknowledged
// them (or when the bound forces the oldest out, which is counted). An entry
// the database refuses (a full disk) is held in memory, is sent from there
// all the same, and is written, in order, once the database takes it again,
// unless the broker acknowledged it first.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;

namespace smd::mqtt {

struct OutboxEntry {
    std::int64_t id = 0;  // increasing; never reused within one database
    std::string topic;
    std::string payload;
};

class Outbox {
  public:
    virtual ~Outbox() = default;
    // Takes the entry. False, with `error`, when it could not be stored and
    // is held in memory (sent from there, and written by Retry).
    virtual bool Add(const std::string& topic, const std::string& payload, std::string& error) = 0;
    // Writes the entries held in memory, oldest first; true when none is left.
    virtual bool Retry(std::string& /*error*/) { return true; }
    // Entries held in memory because the database refused them.
    virtual std::size_t Held() { return 0; }
    // Up to `limit` entries with an id above `after`, oldest first.
    virtual std::vector<OutboxEntry> After(std::int64_t after, std::size_t limit) = 0;
    virtual bool Remove(std::int64_t id, std::string& error) = 0;
    virtual std::size_t Size() = 0;
    // Entries pushed out by the bound since the start.
    virtual std::uint64_t Dropped() = 0;
    virtual bool Durable() const = 0;
};

class MemoryOutbox : public Outbox {
  public:
    explicit MemoryOutbox(std::size_t limit) : limit_(limit) {}
    bool Add(const std::string& topic, const std::string& payload, std::string& error) override;
    std::vector<OutboxEntry> After(std::int64_t after, std::size_t limit) override;
    bool Remove(std::int64_t id, std::string& error) override;
    std::size_t Size() override;
    std::uint64_t Dropped() override;
    bool Durable() const override { return false; }

  private:
    const std::size_t limit_;
    std::mutex mutex_;
    std::deque<OutboxEntry> entries_;
    std::int64_t next_ = 1;
    std::uint64_t dropped_ = 0;
};

// The table "mqtt_outbox" in the site's database, on a connection of its own.
class SqliteOutbox : public Outbox {
  public:
    // Null, with `error`, when the database cannot be opened or the table made.
    static std::unique_ptr<SqliteOutbox> Open(const std::string& path, std::size_t limit,
                                              std::string& error);
    ~SqliteOutbox() override;
    bool Add(const std::string& topic, const std::string& payload, std::string& error) override;
    bool Retry(std::string& error) override;
    std::size_t Held() override;
    std::vector<OutboxEntry> After(std::int64_t after, std::size_t limit) override;
    bool Remove(std::int64_t id, std::string& error) override;
    std::size_t Size() override;
    std::uint64_t Dropped() override;
    bool Durable() const override { return true; }

  private:
    SqliteOutbox(sqlite3* db, std::size_t limit) : db_(db), limit_(limit) {}
    bool Exec(const char* sql, std::string& error);
    bool Insert(const OutboxEntry& e, std::string& error);
    bool WriteHeld(std::string& error);

    sqlite3* db_;
    const std::size_t limit_;
    std::mutex mutex_;
    std::size_t size_ = 0;  // rows
    std::uint64_t dropped_ = 0;
    std::int64_t next_ = 1;
    // Refused by the database, oldest first; all newer than every row.
    std::deque<OutboxEntry> held_;
};

}  // namespace smd::mqtt

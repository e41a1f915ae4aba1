#include "service/mqtt/Outbox.h"

#include <sqlite3.h>

namespace smd::mqtt {

bool MemoryOutbox::Add(const std::string& topic, const std::string& payload, std::string&) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (limit_ > 0 && entries_.size() >= limit_) {
        entries_.pop_front();
        ++dropped_;
    }
    entries_.push_back(OutboxEntry{next_++, topic, payload});
    return true;
}

std::vector<OutboxEntry> MemoryOutbox::After(std::int64_t after, std::size_t limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<OutboxEntry> out;
    for (const OutboxEntry& e : entries_) {
        if (out.size() >= limit) break;
        if (e.id > after) out.push_back(e);
    }
    return out;
}

bool MemoryOutbox::Remove(std::int64_t id, std::string&) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->id == id) {
            entries_.erase(it);
            break;
        }
    }
    return true;
}

std::size_t MemoryOutbox::Size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

std::uint64_t MemoryOutbox::Dropped() {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

namespace {

struct Stmt {
    sqlite3_stmt* s = nullptr;
    Stmt(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &s, nullptr); }
    ~Stmt() { sqlite3_finalize(s); }
    explicit operator bool() const { return s != nullptr; }
};

std::string column_text(sqlite3_stmt* s, int i) {
    const unsigned char* t = sqlite3_column_text(s, i);
    const int n = sqlite3_column_bytes(s, i);
    return t ? std::string(reinterpret_cast<const char*>(t), static_cast<std::size_t>(n))
             : std::string();
}

}  // namespace

std::unique_ptr<SqliteOutbox> SqliteOutbox::Open(const std::string& path, std::size_t limit,
                                                 std::string& error) {
    sqlite3* db = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        error = path + ": cannot open: " + (db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, 5000);
    sqlite3_extended_result_codes(db, 1);
    std::unique_ptr<SqliteOutbox> box(new SqliteOutbox(db, limit));
    std::string why;
    // Alarm events are rare: each one is on disk before it is counted as taken.
    if (!box->Exec("PRAGMA journal_mode=WAL", why) || !box->Exec("PRAGMA synchronous=FULL", why) ||
        !box->Exec("CREATE TABLE IF NOT EXISTS mqtt_outbox("
                   "id INTEGER PRIMARY KEY AUTOINCREMENT, "
                   "topic TEXT NOT NULL, payload TEXT NOT NULL)",
                   why)) {
        error = path + ": cannot prepare the outbox: " + why;
        return nullptr;
    }
    Stmt count(db, "SELECT COUNT(*) FROM mqtt_outbox");
    if (!count || sqlite3_step(count.s) != SQLITE_ROW) {
        error = path + ": cannot read the outbox: " + sqlite3_errmsg(db);
        return nullptr;
    }
    box->size_ = static_cast<std::size_t>(sqlite3_column_int64(count.s, 0));
    // Ids are given here, so that an entry held in memory has its own: never
    // one given before in this database.
    Stmt last(db,
              "SELECT max(coalesce((SELECT max(id) FROM mqtt_outbox), 0), coalesce((SELECT seq "
              "FROM sqlite_sequence WHERE name='mqtt_outbox'), 0))");
    if (!last || sqlite3_step(last.s) != SQLITE_ROW) {
        error = path + ": cannot read the outbox: " + sqlite3_errmsg(db);
        return nullptr;
    }
    box->next_ = sqlite3_column_int64(last.s, 0) + 1;
    return box;
}

SqliteOutbox::~SqliteOutbox() {
    sqlite3_close(db_);
}

bool SqliteOutbox::Exec(const char* sql, std::string& error) {
    char* msg = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &msg) != SQLITE_OK) {
        error = msg ? msg : sqlite3_errmsg(db_);
        sqlite3_free(msg);
        return false;
    }
    return true;
}

bool SqliteOutbox::Insert(const OutboxEntry& e, std::string& error) {
    if (limit_ > 0 && size_ >= limit_) {
        Stmt trim(db_, "DELETE FROM mqtt_outbox WHERE id = (SELECT MIN(id) FROM mqtt_outbox)");
        if (trim && sqlite3_step(trim.s) == SQLITE_DONE && sqlite3_changes(db_) > 0) {
            --size_;
            ++dropped_;
        }
    }
    Stmt ins(db_, "INSERT INTO mqtt_outbox(id, topic, payload) VALUES(?, ?, ?)");
    if (!ins) {
        error = std::string("outbox: ") + sqlite3_errmsg(db_);
        return false;
    }
    sqlite3_bind_int64(ins.s, 1, e.id);
    sqlite3_bind_text(ins.s, 2, e.topic.data(), static_cast<int>(e.topic.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(ins.s, 3, e.payload.data(), static_cast<int>(e.payload.size()),
                      SQLITE_TRANSIENT);
    if (sqlite3_step(ins.s) != SQLITE_DONE) {
        error = std::string("outbox: cannot store an event: ") + sqlite3_errmsg(db_);
        return false;
    }
    ++size_;
    return true;
}

// Oldest first; stops at the first the database refuses, so that rows stay in order.
bool SqliteOutbox::WriteHeld(std::string& error) {
    while (!held_.empty()) {
        if (!Insert(held_.front(), error)) return false;
        held_.pop_front();
    }
    return true;
}

bool SqliteOutbox::Add(const std::string& topic, const std::string& payload, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    held_.push_back(OutboxEntry{next_++, topic, payload});
    // Memory is bounded as the database is: the oldest held entry goes.
    if (limit_ > 0 && held_.size() > limit_) {
        held_.pop_front();
        ++dropped_;
    }
    return WriteHeld(error);
}

bool SqliteOutbox::Retry(std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    return WriteHeld(error);
}

std::size_t SqliteOutbox::Held() {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_.size();
}

std::vector<OutboxEntry> SqliteOutbox::After(std::int64_t after, std::size_t limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<OutboxEntry> out;
    Stmt sel(db_, "SELECT id, topic, payload FROM mqtt_outbox WHERE id > ? ORDER BY id LIMIT ?");
    if (sel) {
        sqlite3_bind_int64(sel.s, 1, after);
        sqlite3_bind_int64(sel.s, 2, static_cast<sqlite3_int64>(limit));
        while (sqlite3_step(sel.s) == SQLITE_ROW) {
            out.push_back(OutboxEntry{sqlite3_column_int64(sel.s, 0), column_text(sel.s, 1),
                                      column_text(sel.s, 2)});
        }
    }
    // Then those held in memory: every one newer than every row.
    for (const OutboxEntry& e : held_) {
        if (out.size() >= limit) break;
        if (e.id > after) out.push_back(e);
    }
    return out;
}

bool SqliteOutbox::Remove(std::int64_t id, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Acknowledged before it could be written: nothing is left to keep.
    for (auto it = held_.begin(); it != held_.end(); ++it) {
        if (it->id == id) {
            held_.erase(it);
            return true;
        }
    }
    Stmt del(db_, "DELETE FROM mqtt_outbox WHERE id = ?");
    if (!del) {
        error = std::string("outbox: ") + sqlite3_errmsg(db_);
        return false;
    }
    sqlite3_bind_int64(del.s, 1, id);
    if (sqlite3_step(del.s) != SQLITE_DONE) {
        error = std::string("outbox: cannot remove a delivered event: ") + sqlite3_errmsg(db_);
        return false;
    }
    if (sqlite3_changes(db_) > 0 && size_ > 0) --size_;
    return true;
}

std::size_t SqliteOutbox::Size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return size_ + held_.size();
}

std::uint64_t SqliteOutbox::Dropped() {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

}  // namespace smd::mqtt

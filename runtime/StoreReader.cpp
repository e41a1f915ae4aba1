#include "runtime/StoreReader.h"

#include <sqlite3.h>

#include <limits>

#include "runtime/ProvenanceCodec.h"
#include "runtime/SqliteStore.h"

namespace smd {

namespace {

struct Statement {
    sqlite3_stmt* s = nullptr;
    ~Statement() { sqlite3_finalize(s); }
};

std::string text_at(sqlite3_stmt* s, int col) {
    const unsigned char* t = sqlite3_column_text(s, col);
    return t ? std::string(reinterpret_cast<const char*>(t),
                           static_cast<std::size_t>(sqlite3_column_bytes(s, col)))
             : std::string();
}

// Bounds as the store writes times; an open end compares below or above every row.
std::string lower_bound_text(const boost::posix_time::ptime& t) {
    return t.is_special() ? std::string() : store_time_text(t);
}

std::string upper_bound_text(const boost::posix_time::ptime& t) {
    return t.is_special() ? std::string("\x7f") : store_time_text(t);
}

sqlite3_int64 bounded(std::size_t limit) {
    constexpr auto kMax = static_cast<std::size_t>(std::numeric_limits<sqlite3_int64>::max());
    return static_cast<sqlite3_int64>(limit > kMax ? kMax : limit);
}

}  // namespace

std::unique_ptr<StoreReader> StoreReader::Open(const std::string& path, std::string* error) {
    std::unique_ptr<StoreReader> r(new StoreReader());
    const int flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(path.c_str(), &r->db_, flags, nullptr) != SQLITE_OK) {
        if (error) {
            *error = path + ": cannot open for reading: " +
                     (r->db_ ? sqlite3_errmsg(r->db_) : "out of memory");
        }
        return nullptr;
    }
    sqlite3_busy_timeout(r->db_, 2000);
    return r;
}

StoreReader::~StoreReader() {
    sqlite3_close(db_);
}

bool StoreReader::History(std::uint32_t data_id, const boost::posix_time::ptime& from,
                          const boost::posix_time::ptime& to, std::int64_t after_id,
                          std::size_t limit, std::vector<StoredRecord>& out, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement st;
    if (sqlite3_prepare_v2(db_,
                           "SELECT id, device_type, unit_type, time, bytes FROM history WHERE "
                           "data_id=? AND id>? AND time>=? AND time<=? ORDER BY id LIMIT ?",
                           -1, &st.s, nullptr) != SQLITE_OK) {
        error = std::string("history cannot be read: ") + sqlite3_errmsg(db_);
        return false;
    }
    const std::string lo = lower_bound_text(from), hi = upper_bound_text(to);
    sqlite3_bind_int64(st.s, 1, data_id);
    sqlite3_bind_int64(st.s, 2, after_id);
    sqlite3_bind_text(st.s, 3, lo.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st.s, 4, hi.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(st.s, 5, bounded(limit));
    int rc;
    while ((rc = sqlite3_step(st.s)) == SQLITE_ROW) {
        StoredRecord r;
        r.id = sqlite3_column_int64(st.s, 0);
        r.record.data_id = data_id;
        r.record.device_type = text_at(st.s, 1);
        r.record.unit_type = sqlite3_column_int(st.s, 2);
        r.record.time = store_time_parse(text_at(st.s, 3));
        const auto* b = static_cast<const unsigned char*>(sqlite3_column_blob(st.s, 4));
        const int n = sqlite3_column_bytes(st.s, 4);
        if (b && n > 0) r.record.bytes.assign(b, b + n);
        out.push_back(std::move(r));
    }
    if (rc != SQLITE_DONE) {
        error = std::string("history cannot be read: ") + sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

bool StoreReader::Events(const boost::posix_time::ptime& since, std::int64_t after_id,
                         std::size_t limit, std::vector<StoredEvent>& out, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement st;
    // A database of a host from before provenance has no answers table.
    if (sqlite3_prepare_v2(
            db_,
            "SELECT e.id, time, kind, data_id, device_type, key, code, name, detail, "
            "level, state, p.cycle, p.answers FROM alarm_events e LEFT JOIN "
            "alarm_event_answers p ON p.event_id = e.id WHERE e.id>? AND time>=? "
            "ORDER BY e.id LIMIT ?",
            -1, &st.s, nullptr) != SQLITE_OK &&
        sqlite3_prepare_v2(db_,
                           "SELECT id, time, kind, data_id, device_type, key, code, name, detail, "
                           "level, state, NULL, NULL FROM alarm_events WHERE id>? AND time>=? "
                           "ORDER BY id LIMIT ?",
                           -1, &st.s, nullptr) != SQLITE_OK) {
        error = std::string("events cannot be read: ") + sqlite3_errmsg(db_);
        return false;
    }
    const std::string lo = lower_bound_text(since);
    sqlite3_bind_int64(st.s, 1, after_id);
    sqlite3_bind_text(st.s, 2, lo.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(st.s, 3, bounded(limit));
    int rc;
    while ((rc = sqlite3_step(st.s)) == SQLITE_ROW) {
        StoredEvent e;
        e.id = sqlite3_column_int64(st.s, 0);
        e.event.time = store_time_parse(text_at(st.s, 1));
        e.event.kind =
            text_at(st.s, 2) == "raised" ? AlarmEvent::Kind::Raised : AlarmEvent::Kind::Cleared;
        ActiveAlarm& a = e.event.alarm;
        a.data_id = static_cast<std::uint32_t>(sqlite3_column_int64(st.s, 3));
        a.device_type = text_at(st.s, 4);
        a.key = text_at(st.s, 5);
        a.code = text_at(st.s, 6);
        a.name = text_at(st.s, 7);
        a.detail = text_at(st.s, 8);
        a.level = sqlite3_column_int(st.s, 9);
        a.state = sqlite3_column_int(st.s, 10);
        if (e.event.kind == AlarmEvent::Kind::Raised) a.since = e.event.time;
        if (sqlite3_column_type(st.s, 11) != SQLITE_NULL) {
            auto p = std::make_shared<Provenance>();
            p->cycle = static_cast<std::uint64_t>(sqlite3_column_int64(st.s, 11));
            const auto* b = static_cast<const std::uint8_t*>(sqlite3_column_blob(st.s, 12));
            const int n = sqlite3_column_bytes(st.s, 12);
            if (b && n > 0) DecodeAnswers(b, static_cast<std::size_t>(n), p->answers);
            e.event.provenance = std::move(p);
        }
        out.push_back(std::move(e));
    }
    if (rc != SQLITE_DONE) {
        error = std::string("events cannot be read: ") + sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

}  // namespace smd

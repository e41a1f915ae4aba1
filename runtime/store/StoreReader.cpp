#include "runtime/store/StoreReader.h"

#include <sqlite3.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <map>

#include "runtime/store/ProvenanceCodec.h"
#include "runtime/store/SqliteStore.h"

namespace smd {

namespace {

struct Statement {
    Statement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) {
            sqlite3_finalize(s);
            s = nullptr;
        }
    }
    Statement(sqlite3* db, const std::string& sql) : Statement(db, sql.c_str()) {}
    ~Statement() { sqlite3_finalize(s); }
    sqlite3_stmt* s = nullptr;
};

std::string text_at(sqlite3_stmt* s, int col) {
    const unsigned char* t = sqlite3_column_text(s, col);
    return t ? std::string(reinterpret_cast<const char*>(t),
                           static_cast<std::size_t>(sqlite3_column_bytes(s, col)))
             : std::string();
}

std::vector<unsigned char> blob_at(sqlite3_stmt* s, int col) {
    const auto* b = static_cast<const unsigned char*>(sqlite3_column_blob(s, col));
    const int n = sqlite3_column_bytes(s, col);
    if (!b || n <= 0) return {};
    return std::vector<unsigned char>(b, b + n);
}

// Bounds of the first layout, which kept times as text; an open end compares
// below or above every row.
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

std::int64_t lower_seconds(const boost::posix_time::ptime& t) {
    return t.is_special() ? INT64_MIN : history::to_seconds(t);
}

std::int64_t upper_seconds(const boost::posix_time::ptime& t) {
    return t.is_special() ? INT64_MAX : history::to_seconds(t);
}

// The start of the minute holding `s`: a chunk or summary of that minute or
// a later one may hold records at or after `s`.
std::int64_t minute_of(std::int64_t s) {
    return s == INT64_MIN ? s : s - history::ChunkEncoder::floor_mod(s, 60);
}

}  // namespace

std::unique_ptr<StoreReader> StoreReader::Open(const std::string& path, std::string* error) {
    std::string why;
    sqlite3* db = open_store_read_only(path, 2000, why);
    if (!db) {
        if (error) *error = why;
        return nullptr;
    }
    std::unique_ptr<StoreReader> r(new StoreReader());
    r->db_ = db;
    return r;
}

StoreReader::~StoreReader() {
    sqlite3_close(db_);
}

std::string StoreReader::Error(const char* what) const {
    return std::string(what) + " cannot be read: " + sqlite3_errmsg(db_);
}

// Looked up at each query: the writer converts a file of the first layout
// while the reader runs, and drops the old table at the end.
StoreReader::Layout StoreReader::Detect() {
    Layout l;
    Statement q(db_,
                "SELECT name FROM sqlite_master WHERE type='table' AND name IN "
                "('units', 'history', 'history_v1')");
    bool history = false, history_v1 = false;
    while (q.s && sqlite3_step(q.s) == SQLITE_ROW) {
        const std::string name = text_at(q.s, 0);
        if (name == "units") l.packed = true;
        if (name == "history") history = true;
        if (name == "history_v1") history_v1 = true;
    }
    if (history_v1) {
        l.old_table = "history_v1";
    } else if (history && !l.packed) {
        l.old_table = "history";
    }
    return l;
}

// One unit's records in the window, oldest first, at most `limit`. Its
// chunks are in time order unless its clock went back (`step_id`: the first
// record after the last time it did); then the window's chunks are sorted by id.
bool StoreReader::ReadUnit(std::int64_t unit, const std::string& device_type, std::int64_t step_id,
                           std::uint32_t data_id, std::int64_t lo, std::int64_t hi,
                           std::int64_t after, std::size_t limit, std::vector<StoredRecord>& out,
                           std::string& error) {
    std::size_t taken = 0;
    const auto emit = [&](const history::Entry& e) {
        if (e.id <= after || e.time < lo || e.time > hi) return;
        StoredRecord r;
        r.id = e.id;
        r.record.data_id = data_id;
        r.record.device_type = device_type;
        r.record.unit_type = e.unit_type;
        r.record.time = history::from_seconds(e.time);
        r.record.bytes = e.bytes;
        out.push_back(std::move(r));
        ++taken;
    };
    bool ordered = step_id == 0;
    if (!ordered) {
        Statement q(db_,
                    "SELECT first_id FROM chunks WHERE unit=? ORDER BY "
                    "first_id LIMIT 1");
        if (!q.s) return error = Error("history"), false;
        sqlite3_bind_int64(q.s, 1, unit);
        ordered = sqlite3_step(q.s) != SQLITE_ROW || sqlite3_column_int64(q.s, 0) >= step_id;
    }
    std::vector<history::Entry> entries;
    // Columns: first_id, first_time, last_id, count, bytes.
    const auto take_chunk = [&](sqlite3_stmt* s) {
        const void* b = sqlite3_column_blob(s, 4);
        const int n = sqlite3_column_bytes(s, 4);
        entries.clear();
        // A damaged chunk is left out; the others are served.
        if (!b || n <= 0 ||
            !history::decode_chunk(static_cast<const unsigned char*>(b),
                                   static_cast<std::size_t>(n), sqlite3_column_int64(s, 0),
                                   sqlite3_column_int64(s, 1), sqlite3_column_int64(s, 2),
                                   sqlite3_column_int64(s, 3), entries)) {
            return;
        }
        for (const history::Entry& e : entries) {
            if (taken >= limit) return;
            emit(e);
        }
    };
    if (ordered) {
        // Start at the first chunk of the window's first minute, or at the
        // chunk holding `after`, whichever comes later, and go by id.
        std::int64_t start = INT64_MIN;
        bool any = false;
        {
            Statement q(db_,
                        "SELECT first_id FROM chunks INDEXED BY chunks_time WHERE unit=? AND "
                        "first_time >= ? ORDER BY first_time, first_id LIMIT 1");
            if (!q.s) return error = Error("history"), false;
            sqlite3_bind_int64(q.s, 1, unit);
            sqlite3_bind_int64(q.s, 2, minute_of(lo));
            if (sqlite3_step(q.s) == SQLITE_ROW) {
                start = sqlite3_column_int64(q.s, 0);
                any = true;
            }
        }
        if (any && after > 0) {
            Statement q(db_,
                        "SELECT first_id FROM chunks WHERE unit=? AND "
                        "first_id <= ? ORDER BY first_id DESC LIMIT 1");
            if (!q.s) return error = Error("history"), false;
            sqlite3_bind_int64(q.s, 1, unit);
            sqlite3_bind_int64(q.s, 2, after);
            if (sqlite3_step(q.s) == SQLITE_ROW) {
                start = std::max<std::int64_t>(start, sqlite3_column_int64(q.s, 0));
            }
        }
        if (any) {
            Statement q(db_,
                        "SELECT first_id, first_time, last_id, count, bytes FROM chunks "
                        "WHERE unit=? AND first_id >= ? ORDER BY first_id");
            if (!q.s) return error = Error("history"), false;
            sqlite3_bind_int64(q.s, 1, unit);
            sqlite3_bind_int64(q.s, 2, start);
            int rc;
            while (taken < limit && (rc = sqlite3_step(q.s)) == SQLITE_ROW) {
                if (sqlite3_column_int64(q.s, 1) > hi) break;
                if (sqlite3_column_int64(q.s, 2) <= after) continue;
                take_chunk(q.s);
            }
            if (taken < limit && rc != SQLITE_DONE && rc != SQLITE_ROW) {
                return error = Error("history"), false;
            }
        }
    } else {
        Statement q(db_,
                    "SELECT first_id, first_time, last_id, count, bytes FROM chunks INDEXED "
                    "BY chunks_time WHERE unit=? AND first_time >= ? AND first_time <= ? AND "
                    "last_id > ? ORDER BY first_id");
        if (!q.s) return error = Error("history"), false;
        sqlite3_bind_int64(q.s, 1, unit);
        sqlite3_bind_int64(q.s, 2, minute_of(lo));
        sqlite3_bind_int64(q.s, 3, hi);
        sqlite3_bind_int64(q.s, 4, after);
        int rc = SQLITE_DONE;
        while (taken < limit && (rc = sqlite3_step(q.s)) == SQLITE_ROW) take_chunk(q.s);
        if (taken < limit && rc != SQLITE_DONE) return error = Error("history"), false;
    }
    if (taken >= limit) return true;
    // The minute being filled: newer than every chunk of the unit.
    Statement q(db_,
                "SELECT id, time, unit_type, bytes FROM recent WHERE unit=? AND id > ? AND "
                "time >= ? AND time <= ? ORDER BY id LIMIT ?");
    if (!q.s) return error = Error("history"), false;
    sqlite3_bind_int64(q.s, 1, unit);
    sqlite3_bind_int64(q.s, 2, after);
    sqlite3_bind_int64(q.s, 3, lo);
    sqlite3_bind_int64(q.s, 4, hi);
    sqlite3_bind_int64(q.s, 5, bounded(limit - taken));
    int rc;
    while ((rc = sqlite3_step(q.s)) == SQLITE_ROW) {
        history::Entry e;
        e.id = sqlite3_column_int64(q.s, 0);
        e.time = sqlite3_column_int64(q.s, 1);
        e.unit_type = sqlite3_column_int(q.s, 2);
        e.bytes = blob_at(q.s, 3);
        emit(e);
    }
    if (rc != SQLITE_DONE) return error = Error("history"), false;
    return true;
}

bool StoreReader::History(std::uint32_t data_id, const boost::posix_time::ptime& from,
                          const boost::posix_time::ptime& to, std::int64_t after_id,
                          std::size_t limit, std::vector<StoredRecord>& out, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Layout layout = Detect();
    std::vector<StoredRecord> all;
    if (layout.packed) {
        Statement units(db_, "SELECT id, device_type, step_id FROM units WHERE data_id=?");
        if (!units.s) return error = Error("history"), false;
        sqlite3_bind_int64(units.s, 1, data_id);
        while (sqlite3_step(units.s) == SQLITE_ROW) {
            std::vector<StoredRecord> part;
            if (!ReadUnit(sqlite3_column_int64(units.s, 0), text_at(units.s, 1),
                          sqlite3_column_int64(units.s, 2), data_id, lower_seconds(from),
                          upper_seconds(to), after_id, limit, part, error)) {
                return false;
            }
            merge_records(all, std::move(part), limit);
        }
    }
    if (!layout.old_table.empty()) {
        Statement st(db_, "SELECT id, device_type, unit_type, time, bytes FROM " +
                              layout.old_table +
                              " WHERE data_id=? AND id>? AND time>=? AND time<=? ORDER BY id "
                              "LIMIT ?");
        if (!st.s) return error = Error("history"), false;
        const std::string lo = lower_bound_text(from), hi = upper_bound_text(to);
        sqlite3_bind_int64(st.s, 1, data_id);
        sqlite3_bind_int64(st.s, 2, after_id);
        sqlite3_bind_text(st.s, 3, lo.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st.s, 4, hi.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(st.s, 5, bounded(limit));
        std::vector<StoredRecord> part;
        int rc;
        while ((rc = sqlite3_step(st.s)) == SQLITE_ROW) {
            StoredRecord r;
            r.id = sqlite3_column_int64(st.s, 0);
            r.record.data_id = data_id;
            r.record.device_type = text_at(st.s, 1);
            r.record.unit_type = sqlite3_column_int(st.s, 2);
            r.record.time = store_time_parse(text_at(st.s, 3));
            r.record.bytes = blob_at(st.s, 4);
            part.push_back(std::move(r));
        }
        if (rc != SQLITE_DONE) return error = Error("history"), false;
        merge_records(all, std::move(part), limit);
    }
    out.insert(out.end(), std::make_move_iterator(all.begin()), std::make_move_iterator(all.end()));
    return true;
}

bool StoreReader::Minutes(std::uint32_t data_id, const boost::posix_time::ptime& from,
                          const boost::posix_time::ptime& to,
                          const std::function<void(const StoredMinute&)>& each,
                          std::vector<StoredRecord>& open_records, bool& summarised,
                          std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Layout layout = Detect();
    summarised = layout.packed && layout.old_table.empty();
    if (!summarised) return true;
    const std::int64_t lo = lower_seconds(from), hi = upper_seconds(to);
    std::vector<std::pair<std::int64_t, std::string>> units;
    {
        Statement q(db_, "SELECT id, device_type FROM units WHERE data_id=?");
        if (!q.s) return error = Error("history"), false;
        sqlite3_bind_int64(q.s, 1, data_id);
        while (sqlite3_step(q.s) == SQLITE_ROW)
            units.emplace_back(sqlite3_column_int64(q.s, 0), text_at(q.s, 1));
    }
    // One unit (the usual case) is handed on row by row, in one reused
    // summary: a year of minutes needs no more memory than one. Several
    // units of one data id are merged by minute.
    std::vector<StoredMinute> several;
    std::map<std::int64_t, std::shared_ptr<const std::vector<std::string>>> layouts;
    StoredMinute m;
    for (const auto& [unit, type] : units) {
        Statement q(db_,
                    "SELECT minute, count, undecoded, layout, bytes FROM minutes WHERE unit=? "
                    "AND minute >= ? AND minute <= ? ORDER BY minute, id");
        if (!q.s) return error = Error("history"), false;
        sqlite3_bind_int64(q.s, 1, unit);
        sqlite3_bind_int64(q.s, 2, minute_of(lo));
        sqlite3_bind_int64(q.s, 3, hi);
        m.device_type = type;
        int rc;
        while ((rc = sqlite3_step(q.s)) == SQLITE_ROW) {
            const std::int64_t id = sqlite3_column_int64(q.s, 3);
            auto names = layouts.find(id);
            if (names == layouts.end()) {
                Statement l(db_, "SELECT names FROM layouts WHERE id=?");
                std::vector<std::string> decoded;
                if (l.s) {
                    sqlite3_bind_int64(l.s, 1, id);
                    if (sqlite3_step(l.s) != SQLITE_ROW ||
                        !history::decode_layout(text_at(l.s, 0), decoded)) {
                        decoded.clear();
                    }
                }
                names = layouts
                            .emplace(id, std::make_shared<const std::vector<std::string>>(
                                             std::move(decoded)))
                            .first;
            }
            m.summary.minute = sqlite3_column_int64(q.s, 0);
            const std::int64_t count = sqlite3_column_int64(q.s, 1);
            const std::int64_t undecoded = sqlite3_column_int64(q.s, 2);
            m.summary.count =
                static_cast<std::uint32_t>(std::clamp<std::int64_t>(count, 0, 1 << 30));
            m.summary.undecoded =
                static_cast<std::uint32_t>(std::clamp<std::int64_t>(undecoded, 0, count));
            m.names = names->second;
            const void* b = sqlite3_column_blob(q.s, 4);
            const int n = sqlite3_column_bytes(q.s, 4);
            // A summary that does not match its layout counts its records as not decoded.
            if (!b || n <= 0 ||
                !history::decode_minute(static_cast<const unsigned char*>(b),
                                        static_cast<std::size_t>(n), names->second->size(),
                                        m.summary)) {
                m.summary.values.clear();
                m.summary.undecoded = m.summary.count;
                m.names.reset();
            }
            if (units.size() == 1) {
                each(m);
            } else {
                several.push_back(m);
            }
        }
        if (rc != SQLITE_DONE) return error = Error("history"), false;
        Statement r(db_,
                    "SELECT id, time, unit_type, bytes FROM recent WHERE unit=? AND time >= ? "
                    "AND time <= ? ORDER BY id");
        if (!r.s) return error = Error("history"), false;
        sqlite3_bind_int64(r.s, 1, unit);
        sqlite3_bind_int64(r.s, 2, lo);
        sqlite3_bind_int64(r.s, 3, hi);
        while ((rc = sqlite3_step(r.s)) == SQLITE_ROW) {
            StoredRecord s;
            s.id = sqlite3_column_int64(r.s, 0);
            s.record.data_id = data_id;
            s.record.device_type = type;
            s.record.time = history::from_seconds(sqlite3_column_int64(r.s, 1));
            s.record.unit_type = sqlite3_column_int(r.s, 2);
            s.record.bytes = blob_at(r.s, 3);
            open_records.push_back(std::move(s));
        }
        if (rc != SQLITE_DONE) return error = Error("history"), false;
    }
    std::stable_sort(several.begin(), several.end(),
                     [](const StoredMinute& a, const StoredMinute& b) {
                         return a.summary.minute < b.summary.minute;
                     });
    for (const StoredMinute& x : several) each(x);
    std::sort(open_records.begin(), open_records.end(),
              [](const StoredRecord& a, const StoredRecord& b) { return a.id < b.id; });
    return true;
}

bool StoreReader::Summarised() {
    std::lock_guard<std::mutex> lock(mutex_);
    const Layout layout = Detect();
    return layout.packed && layout.old_table.empty();
}

bool StoreReader::OldestRecord(std::uint32_t data_id, boost::posix_time::ptime& out,
                               std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    out = boost::posix_time::ptime();
    const Layout layout = Detect();
    if (!layout.packed) return true;
    Statement units(db_, "SELECT id FROM units WHERE data_id=?");
    if (!units.s) return error = Error("history"), false;
    sqlite3_bind_int64(units.s, 1, data_id);
    while (sqlite3_step(units.s) == SQLITE_ROW) {
        // One look-up in the index per unit.
        Statement q(db_, "SELECT min(first_time) FROM chunks WHERE unit=?");
        if (!q.s) return error = Error("history"), false;
        sqlite3_bind_int64(q.s, 1, sqlite3_column_int64(units.s, 0));
        if (sqlite3_step(q.s) == SQLITE_ROW && sqlite3_column_type(q.s, 0) != SQLITE_NULL) {
            const auto t = history::from_seconds(sqlite3_column_int64(q.s, 0));
            if (out.is_special() || t < out) out = t;
        }
    }
    return true;
}

bool StoreReader::Events(const boost::posix_time::ptime& since, std::int64_t after_id,
                         std::size_t limit, std::vector<StoredEvent>& out, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement with(db_,
                   "SELECT e.id, time, kind, data_id, device_type, key, code, name, detail, "
                   "level, state, p.cycle, p.answers FROM alarm_events e LEFT JOIN "
                   "alarm_event_answers p ON p.event_id = e.id WHERE e.id>? AND time>=? "
                   "ORDER BY e.id LIMIT ?");
    // A database of a host from before provenance has no answers table.
    Statement without(db_, with.s ? ""
                                  : "SELECT id, time, kind, data_id, device_type, key, code, "
                                    "name, detail, level, state, NULL, NULL FROM alarm_events "
                                    "WHERE id>? AND time>=? ORDER BY id LIMIT ?");
    Statement& st = with.s ? with : without;
    if (!st.s) return error = Error("events"), false;
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
    if (rc != SQLITE_DONE) return error = Error("events"), false;
    return true;
}

namespace {

template <typename T>
void merge_by_id(std::vector<T>& into, std::vector<T> more, std::size_t limit) {
    std::vector<T> out;
    out.reserve(std::min(limit, into.size() + more.size()));
    auto a = into.begin(), b = more.begin();
    while (out.size() < limit && (a != into.end() || b != more.end())) {
        if (b == more.end() || (a != into.end() && a->id < b->id)) {
            out.push_back(std::move(*a++));
        } else if (a == into.end() || b->id < a->id) {
            out.push_back(std::move(*b++));
        } else {
            out.push_back(std::move(*a++));  // in both: once
            ++b;
        }
    }
    into.swap(out);
}

}  // namespace

void merge_records(std::vector<StoredRecord>& into, std::vector<StoredRecord> more,
                   std::size_t limit) {
    merge_by_id(into, std::move(more), limit);
}

void merge_events(std::vector<StoredEvent>& into, std::vector<StoredEvent> more,
                  std::size_t limit) {
    merge_by_id(into, std::move(more), limit);
}

}  // namespace smd

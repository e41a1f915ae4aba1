#include "runtime/SqliteStore.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cerrno>
#include <cstring>

#include "runtime/ProvenanceCodec.h"

namespace smd {
namespace {

constexpr int kSchemaVersion = 1;

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS history(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  data_id INTEGER NOT NULL,
  device_type TEXT NOT NULL,
  unit_type INTEGER NOT NULL,
  time TEXT NOT NULL,
  bytes BLOB NOT NULL);
CREATE INDEX IF NOT EXISTS history_unit ON history(data_id, device_type, id);
CREATE TABLE IF NOT EXISTS alarm_events(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  time TEXT NOT NULL,
  kind TEXT NOT NULL,
  data_id INTEGER NOT NULL,
  device_type TEXT NOT NULL,
  key TEXT NOT NULL,
  code TEXT NOT NULL,
  name TEXT NOT NULL,
  detail TEXT NOT NULL,
  level INTEGER NOT NULL,
  state INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS active_alarms(
  data_id INTEGER NOT NULL,
  device_type TEXT NOT NULL,
  key TEXT NOT NULL,
  detail TEXT NOT NULL,
  code TEXT NOT NULL,
  name TEXT NOT NULL,
  level INTEGER NOT NULL,
  state INTEGER NOT NULL,
  since TEXT NOT NULL,
  PRIMARY KEY(data_id, device_type, key, detail));
CREATE TABLE IF NOT EXISTS snapshot(
  data_id INTEGER NOT NULL,
  device_type TEXT NOT NULL,
  unit_type INTEGER NOT NULL,
  flag INTEGER NOT NULL,
  changed INTEGER NOT NULL,
  time TEXT NOT NULL,
  bytes BLOB NOT NULL,
  PRIMARY KEY(data_id, device_type));
CREATE TABLE IF NOT EXISTS alarm_event_answers(
  event_id INTEGER PRIMARY KEY,
  cycle INTEGER NOT NULL,
  answers BLOB NOT NULL);
)sql";

std::string column_text(sqlite3_stmt* s, int i) {
    const unsigned char* t = sqlite3_column_text(s, i);
    const int n = sqlite3_column_bytes(s, i);
    return t ? std::string(reinterpret_cast<const char*>(t), static_cast<std::size_t>(n))
             : std::string();
}

std::vector<unsigned char> column_blob(sqlite3_stmt* s, int i) {
    const void* b = sqlite3_column_blob(s, i);
    const int n = sqlite3_column_bytes(s, i);
    if (!b || n <= 0) return {};
    const auto* p = static_cast<const unsigned char*>(b);
    return std::vector<unsigned char>(p, p + n);
}

void bind_text(sqlite3_stmt* s, int i, const std::string& v) {
    sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
}

void bind_blob(sqlite3_stmt* s, int i, const std::vector<unsigned char>& v) {
    // A zero-length blob must still be a blob, not NULL.
    static const unsigned char empty = 0;
    sqlite3_bind_blob(s, i, v.empty() ? &empty : v.data(), static_cast<int>(v.size()),
                      SQLITE_TRANSIENT);
}

// Resets the statement whatever path the caller leaves by.
struct Use {
    explicit Use(sqlite3_stmt* s) : s(s) {}
    ~Use() {
        if (s) {
            sqlite3_reset(s);
            sqlite3_clear_bindings(s);
        }
    }
    sqlite3_stmt* s;
};

// Finalizes a statement made for one use.
struct Once {
    explicit Once(sqlite3_stmt* s) : s(s) {}
    ~Once() { sqlite3_finalize(s); }
    sqlite3_stmt* s;
};

}  // namespace

std::string store_time_text(const boost::posix_time::ptime& t) {
    if (t.is_special()) return std::string();
    std::string s = boost::posix_time::to_iso_extended_string(t);
    if (s.size() > 10 && s[10] == 'T') s[10] = ' ';
    if (s.size() > 19) s.resize(19);  // whole seconds
    return s;
}

boost::posix_time::ptime store_time_parse(const std::string& text) {
    if (text.empty()) return boost::posix_time::ptime();
    try {
        return boost::posix_time::time_from_string(text);
    } catch (const std::exception&) {
        return boost::posix_time::ptime();
    }
}

struct SqliteStore::Statements {
    sqlite3_stmt* append = nullptr;
    sqlite3_stmt* trim_history = nullptr;
    sqlite3_stmt* latest = nullptr;
    sqlite3_stmt* count = nullptr;
    sqlite3_stmt* event = nullptr;
    sqlite3_stmt* trim_events = nullptr;
    sqlite3_stmt* provenance = nullptr;
    sqlite3_stmt* trim_provenance = nullptr;
    sqlite3_stmt* raise = nullptr;
    sqlite3_stmt* clear = nullptr;
    sqlite3_stmt* clear_all = nullptr;
    sqlite3_stmt* active = nullptr;
    sqlite3_stmt* snapshot = nullptr;
    sqlite3_stmt* load_snapshot = nullptr;
    sqlite3_stmt* events = nullptr;
    sqlite3_stmt* event_count = nullptr;
    sqlite3_stmt* begin = nullptr;
    sqlite3_stmt* commit = nullptr;
    sqlite3_stmt* rollback = nullptr;
    ~Statements() {
        for (sqlite3_stmt* s : {append, trim_history, latest, count, event, trim_events, provenance,
                                trim_provenance, raise, clear, clear_all, active, snapshot,
                                load_snapshot, events, event_count, begin, commit, rollback}) {
            sqlite3_finalize(s);
        }
    }
};

SqliteStore::SqliteStore(std::string path, Options options)
    : path_(std::move(path)), options_(std::move(options)), st_(std::make_unique<Statements>()) {}

SqliteStore::~SqliteStore() {
    st_.reset();
    if (db_) sqlite3_close_v2(db_);
    if (lock_fd_ >= 0) ::close(lock_fd_);  // releases the lock
}

std::shared_ptr<SqliteStore> SqliteStore::Open(const std::string& path, const Options& options,
                                               std::string* error, bool* in_use) {
    if (in_use) *in_use = false;
    std::shared_ptr<SqliteStore> store(new SqliteStore(path, options));
    std::string why;
    if (!store->Lock(&why, in_use) || !store->Setup(&why)) {
        if (error) *error = "history database " + path + ": " + why;
        return nullptr;
    }
    return store;
}

// flock on "<db>.lock" keeps a second host from writing the same file; the
// lock goes with the process, so a killed host leaves nothing to clean up.
bool SqliteStore::Lock(std::string* error, bool* in_use) {
    const std::string lock_path = path_ + ".lock";
    const int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        const int e = errno;
        if (e == EROFS || e == EACCES || e == EPERM) {
            // Without the lock the file is only read (see Setup).
            read_only_cause_ = "cannot create " + lock_path + ": " + std::strerror(e);
            return true;
        }
        *error = "cannot open lock file " + lock_path + ": " + std::strerror(e);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        char text[24] = {};
        const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
        ::close(fd);
        if (e != EWOULDBLOCK) {
            *error = "cannot lock " + lock_path + ": " + std::strerror(e);
            return false;
        }
        if (in_use) *in_use = true;
        std::string holder;
        for (ssize_t i = 0; i < n && text[i] >= '0' && text[i] <= '9'; ++i) holder += text[i];
        *error = "in use by another host (" + lock_path + " is held" +
                 (holder.empty() ? std::string() : " by process " + holder) +
                 "); one host writes a database";
        return false;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) < 0) {
        // The lock holds without the note of who holds it.
    }
    lock_fd_ = fd;
    return true;
}

bool SqliteStore::Exec(const char* sql) {
    char* msg = nullptr;
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &msg);
    if (msg) sqlite3_free(msg);
    return rc == SQLITE_OK;
}

sqlite3_stmt* SqliteStore::Prepare(const char* sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK) {
        sqlite3_finalize(s);
        return nullptr;
    }
    return s;
}

namespace {

bool read_only_code(int rc) {
    return (rc & 0xFF) == SQLITE_READONLY;
}

// A file name as an SQLite URI path.
std::string uri_path(const std::string& path) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out = "file:";
    for (unsigned char c : path) {
        if (c == '%' || c == '?' || c == '#' || c < 0x21 || c > 0x7E) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xF];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace

std::string SqliteStore::Cause() const {
    const int rc = sqlite3_errcode(db_) & 0xFF;
    if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) return "locked by another program";
    if (rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT) return "corrupt or not a database";
    return sqlite3_errmsg(db_);
}

bool SqliteStore::Setup(std::string* error) {
    if (lock_fd_ < 0) return SetupReadOnly(read_only_cause_, error);
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        *error = std::string("cannot open: ") + (db_ ? sqlite3_errmsg(db_) : "out of memory");
        return false;
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, options_.busy_timeout_ms);
    const int injected = options_.fault ? options_.fault("open") : SQLITE_OK;
    if (read_only_code(injected)) return SetupReadOnly(sqlite3_errstr(injected), error);
    if (injected != SQLITE_OK) {
        *error = std::string("cannot open: ") + sqlite3_errstr(injected);
        return false;
    }
    if (sqlite3_db_readonly(db_, "main") == 1) {
        return SetupReadOnly("the file cannot be written", error);
    }
    auto fail = [&](const std::string& what) {
        *error = what + ": " + Cause();
        return false;
    };
    // journal_mode answers with the mode in force.
    {
        sqlite3_stmt* s = Prepare("PRAGMA journal_mode=WAL");
        if (!s) return fail("cannot read");
        Once once(s);
        const int rc = sqlite3_step(s);
        if (read_only_code(sqlite3_extended_errcode(db_))) {
            return SetupReadOnly(sqlite3_errmsg(db_), error);
        }
        if (rc != SQLITE_ROW) return fail("cannot switch to WAL mode");
        if (column_text(s, 0) != "wal") {
            *error = "cannot switch to WAL mode (mode " + column_text(s, 0) + ")";
            return false;
        }
    }
    // A commit survives a killed process; a power cut may lose the last ones
    // but never corrupts the file.
    if (!Exec("PRAGMA synchronous=NORMAL")) return fail("cannot configure");
    {
        sqlite3_stmt* s = Prepare("PRAGMA quick_check");
        if (!s) return fail("cannot check");
        Once once(s);
        const int rc = sqlite3_step(s);
        if (rc != SQLITE_ROW) return fail("cannot check");
        const std::string verdict = column_text(s, 0);
        if (verdict != "ok") {
            *error = "corrupt (" + verdict + ")";
            return false;
        }
    }
    int version = 0;
    {
        sqlite3_stmt* s = Prepare("PRAGMA user_version");
        if (!s) return fail("cannot read");
        Once once(s);
        if (sqlite3_step(s) != SQLITE_ROW) return fail("cannot read");
        version = sqlite3_column_int(s, 0);
    }
    if (version > kSchemaVersion) {
        *error = "written by a newer version (layout " + std::to_string(version) + ")";
        return false;
    }
    if (!Exec("BEGIN IMMEDIATE")) {
        if (read_only_code(sqlite3_extended_errcode(db_))) {
            return SetupReadOnly(sqlite3_errmsg(db_), error);
        }
        return fail("cannot create tables");
    }
    if (!Exec(kSchema) ||
        !Exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str())) {
        const std::string cause = Cause();  // before ROLLBACK replaces the message
        const bool read_only = read_only_code(sqlite3_extended_errcode(db_));
        Exec("ROLLBACK");
        if (read_only) return SetupReadOnly(cause, error);
        *error = "cannot create tables: " + cause;
        return false;
    }
    if (!Exec("COMMIT")) return fail("cannot create tables");
    if (!PrepareAll(true)) return fail("cannot prepare statements");
    return true;
}

// Serves what the file holds; what the host writes from now on stays in
// memory. A file in WAL mode whose shared memory cannot be made is read as
// it is on disk (immutable).
bool SqliteStore::SetupReadOnly(const std::string& cause, std::string* error) {
    st_ = std::make_unique<Statements>();
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
    read_only_ = true;
    read_only_cause_ = cause;
    std::string why;
    for (const std::string& name : {path_, uri_path(path_) + "?immutable=1"}) {
        const int flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_URI;
        if (sqlite3_open_v2(name.c_str(), &db_, flags, nullptr) == SQLITE_OK) {
            sqlite3_extended_result_codes(db_, 1);
            sqlite3_busy_timeout(db_, options_.busy_timeout_ms);
            sqlite3_stmt* s = Prepare("PRAGMA quick_check");
            if (s) {
                Once once(s);
                if (sqlite3_step(s) == SQLITE_ROW) {
                    const std::string verdict = column_text(s, 0);
                    if (verdict == "ok") break;
                    why = "corrupt (" + verdict + ")";
                } else {
                    why = Cause();
                }
            } else {
                why = Cause();
            }
        } else {
            why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        }
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
    if (!db_) {
        *error = "read-only (" + cause + ") and cannot be read: " + why;
        return false;
    }
    if (!PrepareAll(false)) {
        *error = "read-only (" + cause + ") and holds no history tables";
        return false;
    }
    memory_ = std::make_unique<MemoryHistoryStore>(options_.history_retention);
    return true;
}

bool SqliteStore::PrepareAll(bool writes) {
    Statements& st = *st_;
    st.latest = Prepare(
        "SELECT unit_type, time, bytes FROM history WHERE data_id=? AND device_type=? ORDER BY "
        "id DESC LIMIT 1");
    st.count = Prepare("SELECT COUNT(*) FROM history");
    st.active = Prepare(
        "SELECT data_id, device_type, key, detail, code, name, level, state, since FROM "
        "active_alarms");
    st.load_snapshot = Prepare(
        "SELECT unit_type, flag, changed, time, bytes FROM snapshot WHERE data_id=? AND "
        "device_type=?");
    st.events = Prepare(
        "SELECT time, kind, data_id, device_type, key, code, name, detail, level, state, cycle, "
        "answers FROM (SELECT e.*, p.cycle, p.answers FROM alarm_events e LEFT JOIN "
        "alarm_event_answers p "
        "ON p.event_id = e.id ORDER BY e.id DESC LIMIT ?) ORDER BY id");
    if (!st.events) {
        // A read-only file of a host from before provenance has no answers table.
        st.events = Prepare(
            "SELECT time, kind, data_id, device_type, key, code, name, detail, level, state, NULL, "
            "NULL FROM (SELECT * FROM alarm_events ORDER BY id DESC LIMIT ?) ORDER BY id");
    }
    st.event_count = Prepare("SELECT COUNT(*) FROM alarm_events");
    for (sqlite3_stmt* s :
         {st.latest, st.count, st.active, st.load_snapshot, st.events, st.event_count}) {
        if (!s) return false;
    }
    if (!writes) return true;
    st.append = Prepare(
        "INSERT INTO history(data_id, device_type, unit_type, time, bytes) VALUES(?,?,?,?,?)");
    st.trim_history = Prepare(
        "DELETE FROM history WHERE id <= (SELECT id FROM history ORDER BY id DESC LIMIT 1 "
        "OFFSET ?)");
    st.event = Prepare(
        "INSERT INTO alarm_events(time, kind, data_id, device_type, key, code, name, detail, "
        "level, state) VALUES(?,?,?,?,?,?,?,?,?,?)");
    st.trim_events = Prepare(
        "DELETE FROM alarm_events WHERE id <= (SELECT id FROM alarm_events ORDER BY id DESC "
        "LIMIT 1 OFFSET ?)");
    st.provenance = Prepare(
        "INSERT OR REPLACE INTO alarm_event_answers(event_id, cycle, answers) VALUES(?,?,?)");
    // An event's answers go with it.
    st.trim_provenance = Prepare(
        "DELETE FROM alarm_event_answers WHERE event_id < "
        "(SELECT COALESCE(MIN(id), 9223372036854775807) FROM alarm_events)");
    st.raise = Prepare(
        "INSERT OR REPLACE INTO active_alarms(data_id, device_type, key, detail, code, name, "
        "level, state, since) VALUES(?,?,?,?,?,?,?,?,?)");
    st.clear = Prepare(
        "DELETE FROM active_alarms WHERE data_id=? AND device_type=? AND key=? AND detail=?");
    st.clear_all = Prepare("DELETE FROM active_alarms");
    st.snapshot = Prepare(
        "INSERT OR REPLACE INTO snapshot(data_id, device_type, unit_type, flag, changed, time, "
        "bytes) VALUES(?,?,?,?,?,?,?)");
    st.begin = Prepare("BEGIN IMMEDIATE");
    st.commit = Prepare("COMMIT");
    st.rollback = Prepare("ROLLBACK");
    for (sqlite3_stmt* s :
         {st.append, st.trim_history, st.event, st.trim_events, st.provenance, st.trim_provenance,
          st.raise, st.clear, st.clear_all, st.snapshot, st.begin, st.commit, st.rollback}) {
        if (!s) return false;
    }
    return true;
}

void SqliteStore::SetErrorSink(std::function<void(const std::string&)> sink) {
    std::lock_guard<std::mutex> lock(mutex_);
    error_sink_ = std::move(sink);
}

void SqliteStore::SetStandingSource(std::function<std::vector<ActiveAlarm>()> source) {
    std::lock_guard<std::mutex> lock(mutex_);
    standing_source_ = std::move(source);
}

std::uint64_t SqliteStore::Errors() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return errors_;
}

std::size_t SqliteStore::Waiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

std::uint64_t SqliteStore::DroppedHistory() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_history_;
}

namespace {

bool step_done(sqlite3_stmt* s) {
    return sqlite3_step(s) == SQLITE_DONE;
}

void bind_alarm(sqlite3_stmt* s, const ActiveAlarm& a) {
    sqlite3_bind_int64(s, 1, a.data_id);
    bind_text(s, 2, a.device_type);
    bind_text(s, 3, a.key);
    bind_text(s, 4, a.detail);
    bind_text(s, 5, a.code);
    bind_text(s, 6, a.name);
    sqlite3_bind_int(s, 7, a.level);
    sqlite3_bind_int(s, 8, a.state);
    bind_text(s, 9, store_time_text(a.since));
}

}  // namespace

// One line when writes start failing and one when they work again, not one
// per record.
void SqliteStore::Fail(const std::string& cause) {
    ++errors_;
    if (!failing_) {
        failing_ = true;
        if (error_sink_) {
            error_sink_("history database " + path_ + ": cannot write: " + cause +
                        "; history rows and alarm events wait in memory and are written when "
                        "writing works again (at most " +
                        std::to_string(options_.queue_limit) +
                        " history rows, then the oldest go; alarm events are never dropped)");
        }
    }
    if (dropped_history_ > dropped_reported_ && dropped_reported_ == 0 && error_sink_) {
        error_sink_("history database " + path_ + ": more than " +
                    std::to_string(options_.queue_limit) +
                    " history rows waiting: dropping the oldest");
    }
    if (dropped_history_ > 0) dropped_reported_ = dropped_history_;
}

void SqliteStore::Enqueue(Item item) {
    if (!item.is_event) ++queued_history_;
    queue_.push_back(std::move(item));
    while (options_.queue_limit > 0 && queued_history_ > options_.queue_limit) {
        for (auto it = queue_.begin(); it != queue_.end(); ++it) {
            if (it->is_event) continue;
            queue_.erase(it);
            --queued_history_;
            ++dropped_history_;
            break;
        }
    }
}

bool SqliteStore::WriteItem(const Item& item) {
    if (!item.is_event) {
        const HistoryRecord& r = item.record;
        Use u(st_->append);
        sqlite3_bind_int64(st_->append, 1, r.data_id);
        bind_text(st_->append, 2, r.device_type);
        sqlite3_bind_int(st_->append, 3, r.unit_type);
        bind_text(st_->append, 4, store_time_text(r.time));
        bind_blob(st_->append, 5, r.bytes);
        return step_done(st_->append);
    }
    const AlarmEvent& e = item.event;
    const ActiveAlarm& a = e.alarm;
    {
        Use u(st_->event);
        bind_text(st_->event, 1, store_time_text(e.time));
        bind_text(st_->event, 2, e.kind == AlarmEvent::Kind::Raised ? "raised" : "cleared");
        sqlite3_bind_int64(st_->event, 3, a.data_id);
        bind_text(st_->event, 4, a.device_type);
        bind_text(st_->event, 5, a.key);
        bind_text(st_->event, 6, a.code);
        bind_text(st_->event, 7, a.name);
        bind_text(st_->event, 8, a.detail);
        sqlite3_bind_int(st_->event, 9, a.level);
        sqlite3_bind_int(st_->event, 10, a.state);
        if (!step_done(st_->event)) return false;
    }
    if (e.provenance) {
        // Kept beside the event, for as long as the event is.
        Use u(st_->provenance);
        sqlite3_bind_int64(st_->provenance, 1, sqlite3_last_insert_rowid(db_));
        sqlite3_bind_int64(st_->provenance, 2,
                           static_cast<sqlite3_int64>(std::min<std::uint64_t>(
                               e.provenance->cycle, static_cast<std::uint64_t>(INT64_MAX))));
        const std::vector<std::uint8_t> blob = EncodeAnswers(e.provenance->answers);
        sqlite3_bind_blob(st_->provenance, 3, blob.data(), static_cast<int>(blob.size()),
                          SQLITE_TRANSIENT);
        if (!step_done(st_->provenance)) return false;
    }
    if (e.kind == AlarmEvent::Kind::Raised) {
        Use u(st_->raise);
        bind_alarm(st_->raise, a);
        return step_done(st_->raise);
    }
    Use u(st_->clear);
    sqlite3_bind_int64(st_->clear, 1, a.data_id);
    bind_text(st_->clear, 2, a.device_type);
    bind_text(st_->clear, 3, a.key);
    bind_text(st_->clear, 4, a.detail);
    return step_done(st_->clear);
}

bool SqliteStore::WriteStanding(const std::vector<ActiveAlarm>& standing) {
    {
        Use u(st_->clear_all);
        if (!step_done(st_->clear_all)) return false;
    }
    for (const ActiveAlarm& a : standing) {
        Use u(st_->raise);
        bind_alarm(st_->raise, a);
        if (!step_done(st_->raise)) return false;
    }
    return true;
}

// Writes everything waiting in one transaction, or nothing.
bool SqliteStore::Drain() {
    if (queue_.empty() && snapshots_.empty()) return true;
    std::string cause;
    const int injected = options_.fault ? options_.fault("write") : SQLITE_OK;
    bool ok = injected == SQLITE_OK;
    if (!ok) cause = sqlite3_errstr(injected);
    bool began = false;
    if (ok) {
        Use b(st_->begin);
        ok = began = step_done(st_->begin);
    }
    bool history = false;
    bool events = false;
    for (const Item& item : queue_) {
        if (!ok) break;
        ok = WriteItem(item);
        (item.is_event ? events : history) = true;
    }
    for (const auto& kv : snapshots_) {
        if (!ok) break;
        const Snapshot& s = kv.second;
        Use u(st_->snapshot);
        sqlite3_bind_int64(st_->snapshot, 1, s.data_id);
        bind_text(st_->snapshot, 2, s.device_type);
        sqlite3_bind_int(st_->snapshot, 3, s.unit_type);
        sqlite3_bind_int(st_->snapshot, 4, s.flag ? 1 : 0);
        sqlite3_bind_int(st_->snapshot, 5, s.changed ? 1 : 0);
        bind_text(st_->snapshot, 6, store_time_text(s.time));
        bind_blob(st_->snapshot, 7, s.bytes);
        ok = step_done(st_->snapshot);
    }
    if (ok && history && options_.history_retention > 0) {
        Use t(st_->trim_history);
        sqlite3_bind_int64(st_->trim_history, 1,
                           static_cast<sqlite3_int64>(options_.history_retention));
        ok = step_done(st_->trim_history);
    }
    if (ok && events && options_.event_retention > 0) {
        Use t(st_->trim_events);
        sqlite3_bind_int64(st_->trim_events, 1,
                           static_cast<sqlite3_int64>(options_.event_retention));
        ok = step_done(st_->trim_events);
        if (ok) {
            Use p(st_->trim_provenance);
            ok = step_done(st_->trim_provenance);
        }
    }
    // The events kept every raise and clear in order; the host's table also
    // covers what a dropped or half-written transaction could have missed.
    if (ok && failing_ && standing_source_) ok = WriteStanding(standing_source_());
    if (ok) {
        Use c(st_->commit);
        ok = step_done(st_->commit);
    }
    if (!ok) {
        if (cause.empty()) cause = Cause();  // before ROLLBACK replaces the message
        if (began) {
            Use rb(st_->rollback);
            sqlite3_step(st_->rollback);
        }
        Fail(cause);
        return false;
    }
    if (failing_ && error_sink_) {
        std::size_t written_events = 0;
        for (const Item& item : queue_) written_events += item.is_event ? 1 : 0;
        std::string line = "history database " + path_ + ": writing again; " +
                           std::to_string(queued_history_) + " history rows and " +
                           std::to_string(written_events) + " alarm events that waited written";
        if (dropped_history_ > 0) {
            line += ", " + std::to_string(dropped_history_) + " oldest history rows dropped";
        }
        error_sink_(line);
    }
    failing_ = false;
    dropped_history_ = 0;
    dropped_reported_ = 0;
    queue_.clear();
    queued_history_ = 0;
    snapshots_.clear();
    return true;
}

void SqliteStore::Append(const HistoryRecord& r) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (read_only_) return memory_->Append(r);
    Item item;
    item.record = r;
    Enqueue(std::move(item));
    Drain();
}

std::optional<HistoryRecord> SqliteStore::Latest(std::uint32_t data_id,
                                                 const std::string& device_type) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (read_only_) {
        if (auto r = memory_->Latest(data_id, device_type)) return r;
    } else {
        // Rows waiting to be written are newer than any in the file.
        for (auto it = queue_.rbegin(); it != queue_.rend(); ++it) {
            if (!it->is_event && it->record.data_id == data_id &&
                it->record.device_type == device_type) {
                return it->record;
            }
        }
    }
    Use u(st_->latest);
    sqlite3_bind_int64(st_->latest, 1, data_id);
    bind_text(st_->latest, 2, device_type);
    if (sqlite3_step(st_->latest) != SQLITE_ROW) return std::nullopt;
    HistoryRecord r;
    r.data_id = data_id;
    r.device_type = device_type;
    r.unit_type = sqlite3_column_int(st_->latest, 0);
    r.time = store_time_parse(column_text(st_->latest, 1));
    r.bytes = column_blob(st_->latest, 2);
    return r;
}

std::size_t SqliteStore::Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t extra = read_only_ ? memory_->Count() : queued_history_;
    Use u(st_->count);
    if (sqlite3_step(st_->count) != SQLITE_ROW) return extra;
    return static_cast<std::size_t>(sqlite3_column_int64(st_->count, 0)) + extra;
}

void SqliteStore::Record(const AlarmEvent& e) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (read_only_) {
        memory_events_.push_back(e);
        if (options_.event_retention > 0 && memory_events_.size() > options_.event_retention) {
            memory_events_.pop_front();
        }
        return;
    }
    Item item;
    item.is_event = true;
    item.event = e;
    Enqueue(std::move(item));
    Drain();
}

std::vector<ActiveAlarm> SqliteStore::LoadActive() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<ActiveAlarm> out;
    Use u(st_->active);
    while (sqlite3_step(st_->active) == SQLITE_ROW) {
        ActiveAlarm a;
        a.data_id = static_cast<std::uint32_t>(sqlite3_column_int64(st_->active, 0));
        a.device_type = column_text(st_->active, 1);
        a.key = column_text(st_->active, 2);
        a.detail = column_text(st_->active, 3);
        a.code = column_text(st_->active, 4);
        a.name = column_text(st_->active, 5);
        a.level = sqlite3_column_int(st_->active, 6);
        a.state = sqlite3_column_int(st_->active, 7);
        a.since = store_time_parse(column_text(st_->active, 8));
        out.push_back(std::move(a));
    }
    return out;
}

void SqliteStore::SaveSnapshot(const Snapshot& s) {
    std::lock_guard<std::mutex> lock(mutex_);
    snapshots_[UnitKey(s.data_id, s.device_type)] = s;
    if (!read_only_) Drain();
}

std::optional<Snapshot> SqliteStore::LoadSnapshot(std::uint32_t data_id,
                                                  const std::string& device_type) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto waiting = snapshots_.find(UnitKey(data_id, device_type));
    if (waiting != snapshots_.end()) return waiting->second;
    Use u(st_->load_snapshot);
    sqlite3_bind_int64(st_->load_snapshot, 1, data_id);
    bind_text(st_->load_snapshot, 2, device_type);
    if (sqlite3_step(st_->load_snapshot) != SQLITE_ROW) return std::nullopt;
    Snapshot s;
    s.data_id = data_id;
    s.device_type = device_type;
    s.unit_type = sqlite3_column_int(st_->load_snapshot, 0);
    s.flag = sqlite3_column_int(st_->load_snapshot, 1) != 0;
    s.changed = sqlite3_column_int(st_->load_snapshot, 2) != 0;
    s.time = store_time_parse(column_text(st_->load_snapshot, 3));
    s.bytes = column_blob(st_->load_snapshot, 4);
    return s;
}

std::vector<AlarmEvent> SqliteStore::Events(std::size_t limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<AlarmEvent> out;
    Use u(st_->events);
    sqlite3_bind_int64(st_->events, 1, static_cast<sqlite3_int64>(limit));
    while (sqlite3_step(st_->events) == SQLITE_ROW) {
        AlarmEvent e;
        e.time = store_time_parse(column_text(st_->events, 0));
        e.kind = column_text(st_->events, 1) == "raised" ? AlarmEvent::Kind::Raised
                                                         : AlarmEvent::Kind::Cleared;
        e.alarm.data_id = static_cast<std::uint32_t>(sqlite3_column_int64(st_->events, 2));
        e.alarm.device_type = column_text(st_->events, 3);
        e.alarm.key = column_text(st_->events, 4);
        e.alarm.code = column_text(st_->events, 5);
        e.alarm.name = column_text(st_->events, 6);
        e.alarm.detail = column_text(st_->events, 7);
        e.alarm.level = sqlite3_column_int(st_->events, 8);
        e.alarm.state = sqlite3_column_int(st_->events, 9);
        if (sqlite3_column_type(st_->events, 10) != SQLITE_NULL) {
            auto p = std::make_shared<Provenance>();
            p->cycle = static_cast<std::uint64_t>(sqlite3_column_int64(st_->events, 10));
            const auto* b = static_cast<const std::uint8_t*>(sqlite3_column_blob(st_->events, 11));
            const int n = sqlite3_column_bytes(st_->events, 11);
            if (b && n > 0) DecodeAnswers(b, static_cast<std::size_t>(n), p->answers);
            e.provenance = std::move(p);
        }
        out.push_back(std::move(e));
    }
    // Then those not in the file: kept in memory, or waiting to be written.
    for (const AlarmEvent& e : memory_events_) out.push_back(e);
    for (const Item& item : queue_) {
        if (item.is_event) out.push_back(item.event);
    }
    if (out.size() > limit) out.erase(out.begin(), out.end() - static_cast<long>(limit));
    return out;
}

std::size_t SqliteStore::EventCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t extra = memory_events_.size();
    for (const Item& item : queue_) extra += item.is_event ? 1 : 0;
    Use u(st_->event_count);
    if (sqlite3_step(st_->event_count) != SQLITE_ROW) return extra;
    return static_cast<std::size_t>(sqlite3_column_int64(st_->event_count, 0)) + extra;
}

void SqliteStore::Flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (read_only_) return;
    if (!Drain() && error_sink_) {
        error_sink_("history database " + path_ + ": " + std::to_string(queue_.size()) +
                    " history rows and alarm events could not be written");
    }
    sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
}

}  // namespace smd

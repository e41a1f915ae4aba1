#include "runtime/store/SqliteStore.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <tuple>

#include "host/HostTypes.h"
#include "runtime/store/HistoryCodec.h"
#include "runtime/store/ProvenanceCodec.h"
#include "runtime/values/Vocabulary.h"

namespace smd {
namespace {

constexpr int kLayout = 2;

// A file up to this size is checked page by page at start (a fraction of a
// second); a larger one is trusted, so that start-up costs the same at any
// size: SQLite reports a damaged page when it is read.
constexpr sqlite3_int64 kCheckedBytes = 32 << 20;
// Rows deleted or converted per maintenance transaction, so that writes
// never wait long behind them.
constexpr int kMaintainBatch = 2000;
// A minute is sealed this long after it ended (a late record of it still fits).
constexpr std::int64_t kSealGraceS = 5;
constexpr auto kRetry = std::chrono::seconds(1);

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS units(
  id INTEGER PRIMARY KEY,
  data_id INTEGER NOT NULL,
  device_type TEXT NOT NULL,
  step_id INTEGER NOT NULL DEFAULT 0,
  UNIQUE(data_id, device_type));
CREATE TABLE IF NOT EXISTS recent(
  id INTEGER PRIMARY KEY,
  unit INTEGER NOT NULL,
  time INTEGER NOT NULL,
  unit_type INTEGER NOT NULL,
  bytes BLOB NOT NULL);
CREATE INDEX IF NOT EXISTS recent_unit ON recent(unit);
CREATE TABLE IF NOT EXISTS chunks(
  unit INTEGER NOT NULL,
  first_id INTEGER NOT NULL,
  first_time INTEGER NOT NULL,
  last_time INTEGER NOT NULL,
  last_id INTEGER NOT NULL,
  count INTEGER NOT NULL,
  bytes BLOB NOT NULL,
  PRIMARY KEY(unit, first_id)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS chunks_time ON chunks(unit, first_time);
CREATE TABLE IF NOT EXISTS layouts(
  id INTEGER PRIMARY KEY,
  names TEXT NOT NULL UNIQUE);
CREATE TABLE IF NOT EXISTS minutes(
  unit INTEGER NOT NULL,
  minute INTEGER NOT NULL,
  id INTEGER NOT NULL,
  count INTEGER NOT NULL,
  undecoded INTEGER NOT NULL,
  layout INTEGER NOT NULL,
  bytes BLOB NOT NULL,
  PRIMARY KEY(unit, minute, id)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS meta(
  key TEXT PRIMARY KEY,
  value INTEGER NOT NULL);
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

void bind_blob(sqlite3_stmt* s, int i, const unsigned char* p, std::size_t n) {
    // A zero-length blob must still be a blob, not NULL.
    static const unsigned char empty = 0;
    sqlite3_bind_blob(s, i, n == 0 ? &empty : p, static_cast<int>(n), SQLITE_TRANSIENT);
}

void bind_blob(sqlite3_stmt* s, int i, const std::vector<unsigned char>& v) {
    bind_blob(s, i, v.data(), v.size());
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
    Once(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &s, nullptr); }
    ~Once() { sqlite3_finalize(s); }
    sqlite3_stmt* s = nullptr;
};

bool step_done(sqlite3_stmt* s) {
    return s && sqlite3_step(s) == SQLITE_DONE;
}

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

std::int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool has_table(sqlite3* db, const char* name) {
    Once q(db, "SELECT 1 FROM sqlite_master WHERE type='table' AND name=?");
    if (!q.s) return false;
    sqlite3_bind_text(q.s, 1, name, -1, SQLITE_STATIC);
    return sqlite3_step(q.s) == SQLITE_ROW;
}

// One integer from a query without parameters; `fallback` when there is none.
std::int64_t query_int(sqlite3* db, const std::string& sql, std::int64_t fallback = 0) {
    Once q(db, sql.c_str());
    if (!q.s || sqlite3_step(q.s) != SQLITE_ROW || sqlite3_column_type(q.s, 0) == SQLITE_NULL) {
        return fallback;
    }
    return sqlite3_column_int64(q.s, 0);
}

// "ok", or what is wrong: a small file is checked page by page, a large one
// only for a schema that reads.
std::string check_file(sqlite3* db) {
    const std::int64_t pages = query_int(db, "PRAGMA page_count", -1);
    const std::int64_t size = query_int(db, "PRAGMA page_size", -1);
    if (pages < 0 || size < 0) return sqlite3_errmsg(db);
    if (pages * size > kCheckedBytes) {
        Once q(db, "SELECT count(*) FROM sqlite_master");
        if (!q.s || sqlite3_step(q.s) != SQLITE_ROW) return sqlite3_errmsg(db);
        return "ok";
    }
    Once q(db, "PRAGMA quick_check");
    if (!q.s || sqlite3_step(q.s) != SQLITE_ROW) return sqlite3_errmsg(db);
    const std::string verdict = column_text(q.s, 0);
    return verdict == "ok" ? verdict : "corrupt (" + verdict + ")";
}

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

sqlite3* open_store_read_only(const std::string& path, int busy_timeout_ms, std::string& error) {
    std::string why;
    for (const std::string& name : {path, uri_path(path) + "?immutable=1"}) {
        sqlite3* db = nullptr;
        const int flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_URI;
        if (sqlite3_open_v2(name.c_str(), &db, flags, nullptr) == SQLITE_OK) {
            sqlite3_extended_result_codes(db, 1);
            sqlite3_busy_timeout(db, busy_timeout_ms);
            // A file in WAL mode is read through its shared memory; where that
            // cannot be made, the first read fails, and the file is read as it
            // is on disk.
            Once q(db, "SELECT count(*) FROM sqlite_master");
            if (q.s && sqlite3_step(q.s) == SQLITE_ROW) return db;
            why = sqlite3_errmsg(db);
        } else {
            why = db ? sqlite3_errmsg(db) : "out of memory";
        }
        sqlite3_close_v2(db);
    }
    error = path + ": cannot open for reading: " + why;
    return nullptr;
}

// ---------------------------------------------------------------------------

struct SqliteStore::Statements {
    // reads
    sqlite3_stmt* unit_id = nullptr;
    sqlite3_stmt* latest_recent = nullptr;
    sqlite3_stmt* latest_chunk = nullptr;
    sqlite3_stmt* latest_old = nullptr;
    sqlite3_stmt* active = nullptr;
    sqlite3_stmt* load_snapshot = nullptr;
    sqlite3_stmt* events = nullptr;
    sqlite3_stmt* event_count = nullptr;
    // writes
    sqlite3_stmt* add_unit = nullptr;
    sqlite3_stmt* add_recent = nullptr;
    sqlite3_stmt* add_chunk = nullptr;
    sqlite3_stmt* add_minute = nullptr;
    sqlite3_stmt* add_layout = nullptr;
    sqlite3_stmt* drop_recent = nullptr;
    sqlite3_stmt* step = nullptr;
    sqlite3_stmt* last_chunk_time = nullptr;
    sqlite3_stmt* event = nullptr;
    sqlite3_stmt* trim_events = nullptr;
    sqlite3_stmt* provenance = nullptr;
    sqlite3_stmt* trim_provenance = nullptr;
    sqlite3_stmt* raise = nullptr;
    sqlite3_stmt* clear = nullptr;
    sqlite3_stmt* clear_all = nullptr;
    sqlite3_stmt* snapshot = nullptr;
    sqlite3_stmt* meta = nullptr;
    sqlite3_stmt* begin = nullptr;
    sqlite3_stmt* commit = nullptr;
    sqlite3_stmt* rollback = nullptr;
    ~Statements() {
        for (sqlite3_stmt* s :
             {unit_id,    latest_recent,   latest_chunk, latest_old,      active,    load_snapshot,
              events,     event_count,     add_unit,     add_recent,      add_chunk, add_minute,
              add_layout, drop_recent,     step,         last_chunk_time, event,     trim_events,
              provenance, trim_provenance, raise,        clear,           clear_all, snapshot,
              meta,       begin,           commit,       rollback}) {
            sqlite3_finalize(s);
        }
    }
};

// What the writer keeps beside the file, rebuilt from it after a write that
// failed: the open chunk of each unit (its rows are in `recent`), unit and
// layout ids, each unit's last stored time (a time that goes back is noted,
// so that readers know when a unit's chunks are not in time order).
struct SqliteStore::Chunks {
    std::map<UnitKey, std::int64_t> units;
    std::map<std::int64_t, UnitKey> keys;
    std::map<std::int64_t, history::ChunkEncoder> open;
    std::map<std::int64_t, std::int64_t> last_time;
    std::map<std::string, std::int64_t> layouts;
    // Converting the first layout: each unit's last converted time.
    std::map<std::int64_t, std::int64_t> converted_time;
    std::int64_t written_next_id = 0;

    std::int64_t UnitId(sqlite3* db, Statements& st, const UnitKey& key, bool add) {
        auto it = units.find(key);
        if (it != units.end()) return it->second;
        std::int64_t id = -1;
        {
            Use u(st.unit_id);
            sqlite3_bind_int64(st.unit_id, 1, key.first);
            bind_text(st.unit_id, 2, key.second);
            if (sqlite3_step(st.unit_id) == SQLITE_ROW) id = sqlite3_column_int64(st.unit_id, 0);
        }
        if (id < 0 && add && st.add_unit) {
            Use u(st.add_unit);
            sqlite3_bind_int64(st.add_unit, 1, key.first);
            bind_text(st.add_unit, 2, key.second);
            if (step_done(st.add_unit)) id = sqlite3_last_insert_rowid(db);
        }
        if (id >= 0) {
            units[key] = id;
            keys[id] = key;
        }
        return id;
    }

    std::int64_t Layout(sqlite3* db, Statements& st, const std::string& names) {
        auto it = layouts.find(names);
        if (it != layouts.end()) return it->second;
        {
            Once q(db, "SELECT id FROM layouts WHERE names=?");
            if (q.s) {
                bind_text(q.s, 1, names);
                if (sqlite3_step(q.s) == SQLITE_ROW) {
                    return layouts[names] = sqlite3_column_int64(q.s, 0);
                }
            }
        }
        Use u(st.add_layout);
        bind_text(st.add_layout, 1, names);
        if (!step_done(st.add_layout)) return -1;
        return layouts[names] = sqlite3_last_insert_rowid(db);
    }

    // The chunk as a row, its minute's summary beside it; the unit's rows in
    // `recent` go when `from_recent`.
    bool Seal(sqlite3* db, Statements& st, std::int64_t unit, const history::ChunkEncoder& c,
              bool from_recent) {
        {
            Use u(st.add_chunk);
            sqlite3_bind_int64(st.add_chunk, 1, c.FirstId());
            sqlite3_bind_int64(st.add_chunk, 2, unit);
            sqlite3_bind_int64(st.add_chunk, 3, c.FirstTime());
            sqlite3_bind_int64(st.add_chunk, 4, c.LastTime());
            sqlite3_bind_int64(st.add_chunk, 5, c.LastId());
            sqlite3_bind_int64(st.add_chunk, 6, static_cast<sqlite3_int64>(c.Count()));
            bind_blob(st.add_chunk, 7, c.Blob());
            if (!step_done(st.add_chunk)) return false;
        }
        std::vector<history::Entry> entries;
        history::decode_chunk(c.Blob().data(), c.Blob().size(), c.FirstId(), c.FirstTime(),
                              c.LastId(), static_cast<std::int64_t>(c.Count()), entries);
        UnitKind kind = UnitKind::AC;
        auto k = keys.find(unit);
        const bool known = k != keys.end() && unit_kind_of(k->second.second, kind);
        history::MinuteBuilder b(known, kind);
        for (const history::Entry& e : entries) b.Add(e);
        const history::MinuteSummary s = b.Take(c.Minute(), c.FirstTime(), c.LastTime());
        const std::int64_t layout = Layout(db, st, history::encode_layout(s.names));
        if (layout < 0) return false;
        {
            Use u(st.add_minute);
            sqlite3_bind_int64(st.add_minute, 1, unit);
            sqlite3_bind_int64(st.add_minute, 2, s.minute);
            sqlite3_bind_int64(st.add_minute, 3, c.FirstId());
            sqlite3_bind_int64(st.add_minute, 4, s.count);
            sqlite3_bind_int64(st.add_minute, 5, s.undecoded);
            sqlite3_bind_int64(st.add_minute, 6, layout);
            bind_blob(st.add_minute, 7, history::encode_minute(s));
            if (!step_done(st.add_minute)) return false;
        }
        if (!from_recent) return true;
        Use u(st.drop_recent);
        sqlite3_bind_int64(st.drop_recent, 1, unit);
        sqlite3_bind_int64(st.drop_recent, 2, c.LastId());
        return step_done(st.drop_recent);
    }

    // The unit's newest stored time, looked up once.
    std::int64_t LastTime(sqlite3* db, Statements& st, std::int64_t unit,
                          const std::string& old_table) {
        auto it = last_time.find(unit);
        if (it != last_time.end()) return it->second;
        std::int64_t t = INT64_MIN;
        {
            Use u(st.last_chunk_time);
            sqlite3_bind_int64(st.last_chunk_time, 1, unit);
            if (sqlite3_step(st.last_chunk_time) == SQLITE_ROW) {
                t = sqlite3_column_int64(st.last_chunk_time, 0);
            }
        }
        auto key = keys.find(unit);
        if (t == INT64_MIN && !old_table.empty() && key != keys.end()) {
            Once q(db, ("SELECT time FROM " + old_table +
                        " WHERE data_id=? AND device_type=? ORDER BY id DESC LIMIT 1")
                           .c_str());
            if (q.s) {
                sqlite3_bind_int64(q.s, 1, key->second.first);
                bind_text(q.s, 2, key->second.second);
                if (sqlite3_step(q.s) == SQLITE_ROW) {
                    t = history::to_seconds(store_time_parse(column_text(q.s, 0)));
                }
            }
        }
        return last_time[unit] = t;
    }

    // Rows of a unit in `recent` that do not make one chunk: each run that
    // fits one becomes one.
    bool SealStray(sqlite3* db, Statements& st, std::int64_t unit) {
        Once q(db, "SELECT id, time, unit_type, bytes FROM recent WHERE unit=? ORDER BY id");
        if (!q.s) return false;
        sqlite3_bind_int64(q.s, 1, unit);
        history::ChunkEncoder part;
        while (sqlite3_step(q.s) == SQLITE_ROW) {
            history::Entry e;
            e.id = sqlite3_column_int64(q.s, 0);
            e.time = sqlite3_column_int64(q.s, 1);
            e.unit_type = sqlite3_column_int(q.s, 2);
            e.bytes = column_blob(q.s, 3);
            if (e.bytes.size() > history::kMaxRecordBytes) continue;
            if (part.Add(e)) continue;
            if (!Seal(db, st, unit, part, false)) return false;
            part.Clear();
            part.Add(e);
        }
        if (!part.Empty() && !Seal(db, st, unit, part, false)) return false;
        Once d(db, "DELETE FROM recent WHERE unit=?");
        if (!d.s) return false;
        sqlite3_bind_int64(d.s, 1, unit);
        if (!step_done(d.s)) return false;
        stray.erase(unit);
        open.erase(unit);
        return true;
    }

    // A record into its unit's open chunk and `recent`; the chunk of an ended
    // minute is sealed first.
    bool Add(sqlite3* db, Statements& st, std::int64_t unit, const history::Entry& e,
             const std::string& old_table) {
        if (stray.count(unit) && !SealStray(db, st, unit)) return false;
        if (e.time < LastTime(db, st, unit, old_table)) {
            Use u(st.step);
            sqlite3_bind_int64(st.step, 1, e.id);
            sqlite3_bind_int64(st.step, 2, unit);
            if (!step_done(st.step)) return false;
        }
        history::ChunkEncoder& c = open[unit];
        if (!c.Add(e)) {
            if (!c.Empty() && !Seal(db, st, unit, c, true)) return false;
            c.Clear();
            c.Add(e);
        }
        Use u(st.add_recent);
        sqlite3_bind_int64(st.add_recent, 1, e.id);
        sqlite3_bind_int64(st.add_recent, 2, unit);
        sqlite3_bind_int64(st.add_recent, 3, e.time);
        sqlite3_bind_int64(st.add_recent, 4, e.unit_type);
        bind_blob(st.add_recent, 5, e.bytes);
        if (!step_done(st.add_recent)) return false;
        last_time[unit] = e.time;
        return true;
    }

    // From the file: ids, and the open chunks from `recent`. Rows of a unit
    // that do not make one chunk (an older program's, a damaged file) are
    // sealed into chunks of their own by the next maintenance.
    void Load(sqlite3* db) {
        units.clear();
        keys.clear();
        open.clear();
        last_time.clear();
        layouts.clear();
        stray.clear();
        {
            Once q(db, "SELECT id, data_id, device_type FROM units");
            while (q.s && sqlite3_step(q.s) == SQLITE_ROW) {
                const std::int64_t id = sqlite3_column_int64(q.s, 0);
                const UnitKey key(static_cast<std::uint32_t>(sqlite3_column_int64(q.s, 1)),
                                  column_text(q.s, 2));
                units[key] = id;
                keys[id] = key;
            }
        }
        Once q(db, "SELECT unit, id, time, unit_type, bytes FROM recent ORDER BY unit, id");
        while (q.s && sqlite3_step(q.s) == SQLITE_ROW) {
            history::Entry e;
            const std::int64_t unit = sqlite3_column_int64(q.s, 0);
            e.id = sqlite3_column_int64(q.s, 1);
            e.time = sqlite3_column_int64(q.s, 2);
            e.unit_type = sqlite3_column_int(q.s, 3);
            e.bytes = column_blob(q.s, 4);
            last_time[unit] = e.time;
            if (stray.count(unit)) continue;
            if (!open[unit].Add(e)) stray.insert(unit);
        }
        for (std::int64_t unit : stray) open.erase(unit);
    }
    std::set<std::int64_t> stray;  // units whose `recent` rows are not one chunk
};

// ---------------------------------------------------------------------------

SqliteStore::SqliteStore(std::string path, Options options)
    : path_(std::move(path)),
      options_(std::move(options)),
      st_(std::make_unique<Statements>()),
      chunks_(std::make_unique<Chunks>()) {}

SqliteStore::~SqliteStore() {
    if (writer_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        writer_.join();
    }
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
    if (!store->read_only_) {
        SqliteStore* raw = store.get();
        store->writer_ = std::thread([raw] { raw->WriterLoop(); });
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
    // A chunk is about a kilobyte: pages of a few kilobytes would leave a
    // quarter of each empty. Only a new file takes it (before WAL mode does).
    if (query_int(db_, "PRAGMA page_count", -1) == 0) {
        Exec(("PRAGMA page_size=" + std::to_string(options_.page_size)).c_str());
    }
    // journal_mode answers with the mode in force.
    {
        Once q(db_, "PRAGMA journal_mode=WAL");
        if (!q.s) return fail("cannot read");
        const int rc = sqlite3_step(q.s);
        if (read_only_code(sqlite3_extended_errcode(db_))) {
            return SetupReadOnly(sqlite3_errmsg(db_), error);
        }
        if (rc != SQLITE_ROW) return fail("cannot switch to WAL mode");
        if (column_text(q.s, 0) != "wal") {
            *error = "cannot switch to WAL mode (mode " + column_text(q.s, 0) + ")";
            return false;
        }
    }
    // A commit survives a killed process; a power cut may lose the last ones
    // but never corrupts the file.
    if (!Exec("PRAGMA synchronous=NORMAL")) return fail("cannot configure");
    const std::string verdict = check_file(db_);
    if (verdict != "ok") {
        if (verdict.rfind("corrupt (", 0) == 0) {
            *error = verdict;
            return false;
        }
        return fail("cannot check");
    }
    int version = 0;
    {
        Once q(db_, "PRAGMA user_version");
        if (!q.s || sqlite3_step(q.s) != SQLITE_ROW) return fail("cannot read");
        version = sqlite3_column_int(q.s, 0);
    }
    if (version > kLayout) {
        *error = "written by a newer version (layout " + std::to_string(version) + ")";
        return false;
    }
    if (!Exec("BEGIN IMMEDIATE")) {
        if (read_only_code(sqlite3_extended_errcode(db_))) {
            return SetupReadOnly(sqlite3_errmsg(db_), error);
        }
        return fail("cannot create tables");
    }
    if (!Convert(version, error)) {
        const std::string cause = Cause();  // before ROLLBACK replaces the message
        const bool read_only = read_only_code(sqlite3_extended_errcode(db_));
        Exec("ROLLBACK");
        if (read_only) return SetupReadOnly(cause, error);
        if (error->empty()) *error = "cannot create tables: " + cause;
        return false;
    }
    if (!Exec("COMMIT")) return fail("cannot create tables");
    layout_ = kLayout;
    if (has_table(db_, "history_v1")) old_table_ = "history_v1";
    if (!PrepareAll(true) || !LoadIds()) return fail("cannot prepare statements");
    return true;
}

// Inside the opening transaction. The first layout's table is renamed, to be
// converted in the background; nothing of it is read here, whatever its size.
bool SqliteStore::Convert(int version, std::string* error) {
    error->clear();
    const bool old = version <= 1 && has_table(db_, "history");
    if (old && !Exec("ALTER TABLE history RENAME TO history_v1")) return false;
    if (!Exec(kSchema)) return false;
    if (old) {
        // Ids go on from the old table's, which the converted rows keep.
        const std::int64_t next =
            std::max(query_int(db_, "SELECT max(id) FROM history_v1"),
                     query_int(db_, "SELECT seq FROM sqlite_sequence WHERE name='history_v1'")) +
            1;
        if (!Exec(("INSERT OR REPLACE INTO meta VALUES('next_record_id', " + std::to_string(next) +
                   ")")
                      .c_str())) {
            return false;
        }
    }
    return Exec(("PRAGMA user_version=" + std::to_string(kLayout)).c_str());
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
    db_ = open_store_read_only(path_, options_.busy_timeout_ms, why);
    if (db_) {
        why = check_file(db_);
        if (why != "ok") {
            sqlite3_close_v2(db_);
            db_ = nullptr;
        }
    }
    if (!db_) {
        *error = "read-only (" + cause + ") and cannot be read: " + why;
        return false;
    }
    layout_ = static_cast<int>(query_int(db_, "PRAGMA user_version"));
    if (layout_ > kLayout) {
        *error = "written by a newer version (layout " + std::to_string(layout_) + ")";
        return false;
    }
    if (layout_ < kLayout) {
        layout_ = 1;
        if (has_table(db_, "history")) old_table_ = "history";
    } else if (has_table(db_, "history_v1")) {
        old_table_ = "history_v1";
    }
    if (!PrepareAll(false) || !LoadIds()) {
        *error = "read-only (" + cause + ") and holds no history tables";
        return false;
    }
    return true;
}

bool SqliteStore::PrepareAll(bool writes) {
    Statements& st = *st_;
    st.active = Prepare(
        "SELECT data_id, device_type, key, detail, code, name, level, state, since FROM "
        "active_alarms");
    st.load_snapshot = Prepare(
        "SELECT unit_type, flag, changed, time, bytes FROM snapshot WHERE data_id=? AND "
        "device_type=?");
    st.events = Prepare(
        "SELECT id, time, kind, data_id, device_type, key, code, name, detail, level, state, "
        "cycle, answers FROM (SELECT e.*, p.cycle, p.answers FROM alarm_events e LEFT JOIN "
        "alarm_event_answers p "
        "ON p.event_id = e.id ORDER BY e.id DESC LIMIT ?) ORDER BY id");
    if (!st.events) {
        // A read-only file of a host from before provenance has no answers table.
        st.events = Prepare(
            "SELECT id, time, kind, data_id, device_type, key, code, name, detail, level, state, "
            "NULL, NULL FROM (SELECT * FROM alarm_events ORDER BY id DESC LIMIT ?) ORDER BY id");
    }
    st.event_count = Prepare("SELECT COUNT(*) FROM alarm_events");
    for (sqlite3_stmt* s : {st.active, st.load_snapshot, st.events, st.event_count}) {
        if (!s) return false;
    }
    if (!old_table_.empty()) {
        st.latest_old = Prepare(("SELECT id, unit_type, time, bytes FROM " + old_table_ +
                                 " WHERE data_id=? AND device_type=? ORDER BY id DESC LIMIT 1")
                                    .c_str());
        if (!st.latest_old) return false;
    }
    if (layout_ < kLayout) return !writes;
    st.unit_id = Prepare("SELECT id FROM units WHERE data_id=? AND device_type=?");
    st.latest_recent = Prepare(
        "SELECT id, time, unit_type, bytes FROM recent WHERE unit=? ORDER BY id DESC LIMIT 1");
    st.latest_chunk = Prepare(
        "SELECT first_id, first_time, last_id, count, bytes FROM chunks WHERE unit=? ORDER BY "
        "first_id DESC LIMIT 1");
    for (sqlite3_stmt* s : {st.unit_id, st.latest_recent, st.latest_chunk}) {
        if (!s) return false;
    }
    if (!writes) return true;
    st.add_unit = Prepare("INSERT INTO units(data_id, device_type) VALUES(?,?)");
    st.add_recent =
        Prepare("INSERT INTO recent(id, unit, time, unit_type, bytes) VALUES(?,?,?,?,?)");
    st.add_chunk = Prepare(
        "INSERT OR REPLACE INTO chunks(first_id, unit, first_time, last_time, last_id, count, "
        "bytes) VALUES(?,?,?,?,?,?,?)");
    st.add_minute = Prepare(
        "INSERT OR REPLACE INTO minutes(unit, minute, id, count, undecoded, layout, bytes) "
        "VALUES(?,?,?,?,?,?,?)");
    st.add_layout = Prepare("INSERT INTO layouts(names) VALUES(?)");
    st.drop_recent = Prepare("DELETE FROM recent WHERE unit=? AND id<=?");
    st.step = Prepare("UPDATE units SET step_id=max(step_id, ?) WHERE id=?");
    st.last_chunk_time =
        Prepare("SELECT last_time FROM chunks WHERE unit=? ORDER BY first_id DESC LIMIT 1");
    st.event = Prepare(
        "INSERT INTO alarm_events(id, time, kind, data_id, device_type, key, code, name, detail, "
        "level, state) VALUES(?,?,?,?,?,?,?,?,?,?,?)");
    st.trim_events = Prepare("DELETE FROM alarm_events WHERE id <= ?");
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
    st.meta = Prepare("INSERT OR REPLACE INTO meta(key, value) VALUES('next_record_id', ?)");
    st.begin = Prepare("BEGIN IMMEDIATE");
    st.commit = Prepare("COMMIT");
    st.rollback = Prepare("ROLLBACK");
    for (sqlite3_stmt* s : {st.add_unit,   st.add_recent,  st.add_chunk,  st.add_minute,
                            st.add_layout, st.drop_recent, st.step,       st.last_chunk_time,
                            st.event,      st.trim_events, st.provenance, st.trim_provenance,
                            st.raise,      st.clear,       st.clear_all,  st.snapshot,
                            st.meta,       st.begin,       st.commit,     st.rollback}) {
        if (!s) return false;
    }
    return true;
}

// Ids go on from the highest ever given in this file.
bool SqliteStore::LoadIds() {
    std::int64_t record = 0;
    if (!old_table_.empty()) {
        record = std::max(
            query_int(db_, "SELECT max(id) FROM " + old_table_),
            query_int(db_, "SELECT seq FROM sqlite_sequence WHERE name='" + old_table_ + "'"));
    }
    if (layout_ >= kLayout) {
        // The writer keeps the next id in `meta`; a file without it (damaged)
        // is asked once, whatever it costs.
        const std::int64_t noted =
            query_int(db_, "SELECT value FROM meta WHERE key='next_record_id'", -1);
        record =
            std::max({record, query_int(db_, "SELECT max(id) FROM recent"),
                      noted >= 0 ? noted - 1 : query_int(db_, "SELECT max(last_id) FROM chunks")});
        if (!old_table_.empty()) {
            converting_ = static_cast<std::uint64_t>(std::max<std::int64_t>(
                0, query_int(db_, "SELECT max(id) - min(id) + 1 FROM " + old_table_)));
        }
    }
    const std::int64_t event =
        std::max(query_int(db_, "SELECT max(id) FROM alarm_events"),
                 query_int(db_, "SELECT seq FROM sqlite_sequence WHERE name='alarm_events'"));
    next_record_id_ = record + 1;
    next_event_id_ = event + 1;
    chunks_->written_next_id = next_record_id_;
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
    return read_only_ ? 0 : queue_.size();
}

std::uint64_t SqliteStore::DroppedHistory() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_history_;
}

StoreStats SqliteStore::Stats() const {
    std::lock_guard<std::mutex> lock(mutex_);
    StoreStats s;
    s.read_only = read_only_;
    s.failing = failing_;
    s.waiting_records = queued_history_;
    s.waiting_events = queue_.size() - queued_history_;
    if (!queue_.empty() && !read_only_) {
        s.oldest_waiting_s = static_cast<double>(steady_ms() - queue_.front()->queued_ms) / 1000.0;
    }
    s.written_records = written_records_;
    s.written_events = written_events_;
    s.dropped_records = dropped_total_;
    s.transactions = transactions_;
    s.write_seconds = write_seconds_;
    s.converting = converting_;
    if (failing_) s.last_error = last_cause_;
    return s;
}

namespace {

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
    last_cause_ = cause;
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

void SqliteStore::Enqueue(std::shared_ptr<Item> item) {
    item->queued_ms = steady_ms();
    if (!item->is_event) ++queued_history_;
    const bool event = item->is_event;
    queue_.push_back(std::move(item));
    // Read-only, the newest events are kept as the file would keep them.
    if (read_only_ && event && options_.event_retention > 0 &&
        queue_.size() - queued_history_ > options_.event_retention) {
        for (auto it = queue_.begin(); it != queue_.end(); ++it) {
            if ((*it)->is_event) {
                queue_.erase(it);
                break;
            }
        }
    }
    while (options_.queue_limit > 0 && queued_history_ > options_.queue_limit) {
        bool dropped = false;
        for (auto it = queue_.begin(); it != queue_.end(); ++it) {
            if ((*it)->is_event || (*it)->in_flight) continue;
            queue_.erase(it);
            --queued_history_;
            ++dropped_history_;
            ++dropped_total_;
            dropped = true;
            break;
        }
        if (!dropped) break;
    }
    if (read_only_) return;
    if (failing_) new_since_failure_ = true;
    if (failing_ && dropped_history_ > dropped_reported_ && dropped_reported_ == 0 && error_sink_) {
        error_sink_("history database " + path_ + ": more than " +
                    std::to_string(options_.queue_limit) +
                    " history rows waiting: dropping the oldest");
        dropped_reported_ = dropped_history_;
    }
    wake_.notify_one();
}

void SqliteStore::Append(const HistoryRecord& r) {
    if (r.bytes.size() > history::kMaxRecordBytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++errors_;
        if (error_sink_) {
            error_sink_("history database " + path_ + ": a record of " +
                        std::to_string(r.bytes.size()) + " bytes is too large to store");
        }
        return;
    }
    auto item = std::make_shared<Item>();
    item->record = r;
    std::lock_guard<std::mutex> lock(mutex_);
    item->id = next_record_id_++;
    Enqueue(std::move(item));
}

void SqliteStore::Record(const AlarmEvent& e) {
    auto item = std::make_shared<Item>();
    item->is_event = true;
    item->event = e;
    std::lock_guard<std::mutex> lock(mutex_);
    item->id = next_event_id_++;
    Enqueue(std::move(item));
}

void SqliteStore::SaveSnapshot(const Snapshot& s) {
    std::lock_guard<std::mutex> lock(mutex_);
    snapshots_[UnitKey(s.data_id, s.device_type)] = s;
    if (read_only_) return;
    wake_.notify_one();
}

// ---------------------------------------------------------------------------
// The writer thread.

bool SqliteStore::WriteEvent(const Item& item) {
    const AlarmEvent& e = item.event;
    const ActiveAlarm& a = e.alarm;
    {
        Use u(st_->event);
        sqlite3_bind_int64(st_->event, 1, item.id);
        bind_text(st_->event, 2, store_time_text(e.time));
        bind_text(st_->event, 3, e.kind == AlarmEvent::Kind::Raised ? "raised" : "cleared");
        sqlite3_bind_int64(st_->event, 4, a.data_id);
        bind_text(st_->event, 5, a.device_type);
        bind_text(st_->event, 6, a.key);
        bind_text(st_->event, 7, a.code);
        bind_text(st_->event, 8, a.name);
        bind_text(st_->event, 9, a.detail);
        sqlite3_bind_int(st_->event, 10, a.level);
        sqlite3_bind_int(st_->event, 11, a.state);
        if (!step_done(st_->event)) return false;
    }
    if (e.provenance) {
        // Kept beside the event, for as long as the event is.
        Use u(st_->provenance);
        sqlite3_bind_int64(st_->provenance, 1, item.id);
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

// Everything in one transaction, or nothing; with `db_mutex_` held.
bool SqliteStore::WriteBatch(const std::vector<std::shared_ptr<Item>>& items,
                             const std::map<UnitKey, Snapshot>& snapshots,
                             const std::vector<ActiveAlarm>* standing, std::string& cause) {
    const int injected = options_.fault ? options_.fault("write") : SQLITE_OK;
    if (injected != SQLITE_OK) {
        cause = sqlite3_errstr(injected);
        return false;
    }
    {
        Use b(st_->begin);
        if (!step_done(st_->begin)) {
            cause = Cause();
            return false;
        }
    }
    Chunks& c = *chunks_;
    bool ok = true;
    std::int64_t newest_event = 0, newest_record = 0;
    for (const auto& item : items) {
        if (!ok) break;
        if (item->is_event) {
            ok = WriteEvent(*item);
            newest_event = item->id;
            continue;
        }
        const HistoryRecord& r = item->record;
        const std::int64_t unit = c.UnitId(db_, *st_, UnitKey(r.data_id, r.device_type), true);
        history::Entry e;
        e.id = item->id;
        e.time = history::to_seconds(r.time);
        e.unit_type = r.unit_type;
        e.bytes = r.bytes;
        ok = unit >= 0 && c.Add(db_, *st_, unit, e, old_table_);
        newest_record = item->id;
    }
    for (const auto& kv : snapshots) {
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
    if (ok && newest_event > 0 && options_.event_retention > 0) {
        // Ids are given in order, so the newest rows are those of the newest ids.
        Use t(st_->trim_events);
        sqlite3_bind_int64(st_->trim_events, 1,
                           newest_event - static_cast<sqlite3_int64>(options_.event_retention));
        ok = step_done(st_->trim_events);
        if (ok) {
            Use p(st_->trim_provenance);
            ok = step_done(st_->trim_provenance);
        }
    }
    if (ok && newest_record >= c.written_next_id) {
        Use m(st_->meta);
        sqlite3_bind_int64(st_->meta, 1, newest_record + 1);
        ok = step_done(st_->meta);
    }
    // The events kept every raise and clear in order; the host's table also
    // covers what a dropped or half-written transaction could have missed.
    if (ok && standing) ok = WriteStanding(*standing);
    if (ok) {
        Use u(st_->commit);
        ok = step_done(st_->commit);
    }
    if (!ok) {
        cause = Cause();  // before ROLLBACK replaces the message
        Use rb(st_->rollback);
        sqlite3_step(st_->rollback);
        c.Load(db_);  // what the file holds, without this transaction
        return false;
    }
    if (newest_record >= c.written_next_id) c.written_next_id = newest_record + 1;
    return true;
}

// One bounded step of the periodic work, in its own transaction.
bool SqliteStore::MaintainStep(bool& more) {
    more = false;
    Chunks& c = *chunks_;
    {
        Use b(st_->begin);
        if (!step_done(st_->begin)) return false;
    }
    bool ok = true;
    int budget = kMaintainBatch;
    const std::int64_t now = history::to_seconds(local_time());
    // Minutes that ended (or lie ahead: the clock went back), and rows a
    // former run left that are not one chunk.
    while (ok && !c.stray.empty()) ok = c.SealStray(db_, *st_, *c.stray.begin());
    for (auto it = c.open.begin(); ok && it != c.open.end(); ++it) {
        history::ChunkEncoder& enc = it->second;
        if (enc.Empty()) continue;
        if (now < enc.Minute() + 60 + kSealGraceS && now >= enc.Minute()) continue;
        ok = c.Seal(db_, *st_, it->first, enc, true);
        enc.Clear();
    }
    // Old rows in bounded batches, by the indexed time.
    const auto trim = [&](const char* sql, std::int64_t cutoff) {
        for (const auto& [unit, key] : c.keys) {
            if (!ok || budget <= 0) break;
            Once d(db_, sql);
            sqlite3_bind_int64(d.s, 1, unit);
            sqlite3_bind_int64(d.s, 2, cutoff);
            sqlite3_bind_int(d.s, 3, budget);
            ok = step_done(d.s);
            const int n = sqlite3_changes(db_);
            budget -= n;
        }
    };
    if (ok && options_.history_days > 0) {
        trim(
            "DELETE FROM chunks WHERE unit=?1 AND first_id IN (SELECT first_id FROM chunks "
            "INDEXED BY chunks_time WHERE unit=?1 AND first_time < ?2 AND last_time < ?2 LIMIT "
            "?3)",
            now - static_cast<std::int64_t>(options_.history_days) * 86400);
    }
    if (ok && options_.summary_days > 0) {
        trim(
            "DELETE FROM minutes WHERE unit=?1 AND (minute, id) IN (SELECT minute, id FROM "
            "minutes WHERE unit=?1 AND minute <= ?2 - 60 ORDER BY minute LIMIT ?3)",
            now - static_cast<std::int64_t>(options_.summary_days) * 86400);
    }
    if (ok && options_.history_retention > 0 && budget > 0) {
        // The older form: the newest records by count, the oldest chunk of
        // all units at a time (each unit's oldest is one look-up).
        std::int64_t total = query_int(db_, "SELECT total(count) FROM chunks") +
                             query_int(db_, "SELECT count(*) FROM recent");
        const auto keep = static_cast<std::int64_t>(options_.history_retention);
        Once oldest(db_,
                    "SELECT first_id, count FROM chunks WHERE unit=? AND first_id > ? ORDER BY "
                    "first_id LIMIT 1");
        Once drop(db_, "DELETE FROM chunks WHERE unit=? AND first_id=?");
        // (first id, count, unit) of each unit's oldest chunk not yet taken.
        std::set<std::tuple<std::int64_t, std::int64_t, std::int64_t>> heads;
        const auto next = [&](std::int64_t unit, std::int64_t after) {
            sqlite3_reset(oldest.s);
            sqlite3_bind_int64(oldest.s, 1, unit);
            sqlite3_bind_int64(oldest.s, 2, after);
            if (sqlite3_step(oldest.s) == SQLITE_ROW) {
                heads.emplace(sqlite3_column_int64(oldest.s, 0), sqlite3_column_int64(oldest.s, 1),
                              unit);
            }
        };
        for (const auto& kv : c.keys) {
            if (oldest.s && drop.s) next(kv.first, INT64_MIN);
        }
        while (ok && !heads.empty() && budget > 0) {
            const auto [first_id, n, unit] = *heads.begin();
            if (total - n < keep) break;
            heads.erase(heads.begin());
            sqlite3_reset(drop.s);
            sqlite3_bind_int64(drop.s, 1, unit);
            sqlite3_bind_int64(drop.s, 2, first_id);
            ok = step_done(drop.s);
            total -= n;
            --budget;
            next(unit, first_id);
        }
        more = more || budget <= 0;
    }
    // The first layout, oldest rows first; those past the retention are not kept.
    if (ok && !old_table_.empty() && budget > 0) {
        const std::int64_t cutoff =
            options_.history_days > 0
                ? now - static_cast<std::int64_t>(options_.history_days) * 86400
                : INT64_MIN;
        Once q(db_, ("SELECT id, data_id, device_type, unit_type, time, bytes FROM " + old_table_ +
                     " ORDER BY id LIMIT ?")
                        .c_str());
        sqlite3_bind_int(q.s, 1, budget);
        std::map<std::int64_t, history::ChunkEncoder> parts;
        std::int64_t last = -1;
        int rows = 0;
        while (ok && q.s && sqlite3_step(q.s) == SQLITE_ROW) {
            ++rows;
            last = sqlite3_column_int64(q.s, 0);
            history::Entry e;
            e.id = last;
            e.time = history::to_seconds(store_time_parse(column_text(q.s, 4)));
            if (e.time < cutoff) continue;
            e.unit_type = sqlite3_column_int(q.s, 3);
            e.bytes = column_blob(q.s, 5);
            if (e.bytes.size() > history::kMaxRecordBytes) continue;
            const UnitKey key(static_cast<std::uint32_t>(sqlite3_column_int64(q.s, 1)),
                              column_text(q.s, 2));
            const std::int64_t unit = c.UnitId(db_, *st_, key, true);
            if (unit < 0) {
                ok = false;
                break;
            }
            auto seen = c.converted_time.find(unit);
            if (seen != c.converted_time.end() && e.time < seen->second) {
                Use u(st_->step);
                sqlite3_bind_int64(st_->step, 1, e.id);
                sqlite3_bind_int64(st_->step, 2, unit);
                ok = step_done(st_->step);
            }
            c.converted_time[unit] = e.time;
            history::ChunkEncoder& part = parts[unit];
            if (part.Add(e)) continue;
            ok = ok && c.Seal(db_, *st_, unit, part, false);
            part.Clear();
            part.Add(e);
        }
        for (auto& [unit, part] : parts) {
            if (ok && !part.Empty()) ok = c.Seal(db_, *st_, unit, part, false);
        }
        if (ok && rows > 0) {
            Once d(db_, ("DELETE FROM " + old_table_ + " WHERE id <= ?").c_str());
            sqlite3_bind_int64(d.s, 1, last);
            // Rows read but not deleted (a damaged table) would be read again forever.
            ok = step_done(d.s) && sqlite3_changes(db_) > 0;
        }
        if (ok && rows == 0) {
            // Nothing left: the statements on the old table go with it.
            sqlite3_finalize(st_->latest_old);
            st_->latest_old = nullptr;
            ok = Exec(("DROP TABLE " + old_table_).c_str());
        }
        more = more || rows > 0;
    }
    more = more || budget <= 0;
    if (ok) {
        Use u(st_->commit);
        ok = step_done(st_->commit);
    }
    if (!ok) {
        Use rb(st_->rollback);
        sqlite3_step(st_->rollback);
        c.Load(db_);
        if (!old_table_.empty() && !st_->latest_old) {
            st_->latest_old =
                Prepare(("SELECT id, unit_type, time, bytes FROM " + old_table_ +
                         " WHERE data_id=? AND device_type=? ORDER BY id DESC LIMIT 1")
                            .c_str());
        }
        return false;
    }
    if (!old_table_.empty() && !st_->latest_old) {
        old_table_.clear();
        c.converted_time.clear();
    }
    return true;
}

void SqliteStore::WriterLoop() {
    using Clock = std::chrono::steady_clock;
    const auto interval = std::chrono::milliseconds(options_.commit_interval_ms);
    const auto maintenance = std::chrono::milliseconds(options_.maintenance_interval_ms);
    {
        std::lock_guard<std::mutex> db(db_mutex_);
        chunks_->Load(db_);
    }
    auto last_write = Clock::now() - interval;
    auto retry_at = Clock::now();
    // Soon after the start: minutes left open by the last run, and a conversion.
    auto next_maintenance = Clock::now() + std::chrono::seconds(2);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        const bool pending = !queue_.empty() || !snapshots_.empty();
        const bool syncing = batches_done_ < sync_target_;
        const auto now = Clock::now();
        bool write_due = false;
        if (pending) {
            if (syncing || stop_) {
                write_due = true;
            } else if (failing_) {
                write_due = now >= retry_at || (new_since_failure_ && now >= last_write + interval);
            } else {
                write_due = now >= last_write + interval;
            }
        }
        const bool maintenance_due =
            !failing_ && !stop_ && (maintain_now_ || now >= next_maintenance);
        if (!write_due && !maintenance_due) {
            if (stop_) break;
            if (syncing) {
                // Nothing waits: an empty write, done.
                batches_done_ = ++batches_taken_;
                written_.notify_all();
                continue;
            }
            auto until = next_maintenance;
            if (pending) until = std::min(until, failing_ ? retry_at : last_write + interval);
            wake_.wait_until(lock, until);
            continue;
        }
        if (write_due) {
            std::vector<std::shared_ptr<Item>> batch;
            batch.reserve(queue_.size());
            for (auto& item : queue_) {
                item->in_flight = true;
                batch.push_back(item);
            }
            std::map<UnitKey, Snapshot> snaps;
            snaps.swap(snapshots_);
            const std::uint64_t taken = ++batches_taken_;
            const bool was_failing = failing_;
            std::vector<ActiveAlarm> standing;
            if (was_failing && standing_source_) standing = standing_source_();
            lock.unlock();
            std::string cause;
            const auto started = Clock::now();
            bool ok;
            // The queue is taken again before the file is let go: a reader
            // that holds both (file first) sees each item in one of them.
            std::unique_lock<std::mutex> db(db_mutex_);
            ok = WriteBatch(batch, snaps, was_failing ? &standing : nullptr, cause);
            const double took = std::chrono::duration<double>(Clock::now() - started).count();
            lock.lock();
            db.unlock();
            last_write = Clock::now();
            ++transactions_;
            write_seconds_ += took;
            std::size_t events = 0;
            for (const auto& item : batch) events += item->is_event ? 1 : 0;
            if (ok) {
                // The written items are the first ones of the queue: only the
                // writer takes items out, and a full queue never drops one in flight.
                std::size_t n = 0;
                while (n < batch.size() && !queue_.empty() && queue_.front() == batch[n]) {
                    if (!queue_.front()->is_event) --queued_history_;
                    queue_.pop_front();
                    ++n;
                }
                written_records_ += batch.size() - events;
                written_events_ += events;
                if (was_failing && error_sink_) {
                    std::string line = "history database " + path_ + ": writing again; " +
                                       std::to_string(waited_history_) + " history rows and " +
                                       std::to_string(waited_events_) +
                                       " alarm events that waited written";
                    if (dropped_history_ > 0) {
                        line += ", " + std::to_string(dropped_history_) +
                                " oldest history rows dropped";
                    }
                    error_sink_(line);
                }
                failing_ = false;
                dropped_history_ = dropped_reported_ = 0;
            } else {
                for (auto& item : batch) item->in_flight = false;
                // Snapshots saved meanwhile are newer than those that failed.
                for (auto& kv : snaps) snapshots_.emplace(kv.first, std::move(kv.second));
                waited_history_ = batch.size() - events;
                waited_events_ = events;
                Fail(cause);
                retry_at = Clock::now() + kRetry;
                new_since_failure_ = false;
            }
            batches_done_ = taken;
            written_.notify_all();
            if (!ok && stop_) break;
            continue;
        }
        // Maintenance.
        const bool asked = maintain_now_;
        lock.unlock();
        bool more = false;
        bool ok;
        std::int64_t left = 0;
        {
            std::lock_guard<std::mutex> db(db_mutex_);
            ok = MaintainStep(more);
            if (!old_table_.empty()) {
                left = query_int(db_, "SELECT max(id) - min(id) + 1 FROM " + old_table_);
            }
        }
        lock.lock();
        converting_ = static_cast<std::uint64_t>(std::max<std::int64_t>(0, left));
        const auto after = Clock::now();
        if (!ok) {
            next_maintenance = after + kRetry;
            if (asked) {
                maintain_now_ = false;
                ++maintained_;
                written_.notify_all();
            }
        } else if (more) {
            // The rest soon, with writes in between.
            next_maintenance = asked ? after : after + std::chrono::milliseconds(50);
        } else {
            next_maintenance = after + maintenance;
            if (asked) {
                maintain_now_ = false;
                ++maintained_;
                written_.notify_all();
            }
        }
    }
}

void SqliteStore::Sync() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (read_only_ || !writer_.joinable()) return;
    // The next write the writer begins takes everything that waits now.
    const std::uint64_t target = batches_taken_ + 1;
    sync_target_ = std::max(sync_target_, target);
    wake_.notify_all();
    written_.wait(lock, [&] { return batches_done_ >= target || stop_; });
}

void SqliteStore::Maintain() {
    Sync();
    std::unique_lock<std::mutex> lock(mutex_);
    if (read_only_ || !writer_.joinable()) return;
    const std::uint64_t before = maintained_;
    maintain_now_ = true;
    wake_.notify_all();
    written_.wait(lock, [&] { return maintained_ != before || stop_; });
}

void SqliteStore::Flush() {
    if (read_only_) return;
    Sync();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (failing_ && !queue_.empty() && error_sink_) {
            error_sink_("history database " + path_ + ": " + std::to_string(queue_.size()) +
                        " history rows and alarm events could not be written");
        }
    }
    std::lock_guard<std::mutex> db(db_mutex_);
    sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
}

// ---------------------------------------------------------------------------
// Reads on the store's own connection (start-up, tests).

std::optional<HistoryRecord> SqliteStore::Latest(std::uint32_t data_id,
                                                 const std::string& device_type) {
    {
        // Rows waiting to be written are newer than any in the file.
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = queue_.rbegin(); it != queue_.rend(); ++it) {
            const Item& item = **it;
            if (!item.is_event && item.record.data_id == data_id &&
                item.record.device_type == device_type) {
                return item.record;
            }
        }
    }
    std::lock_guard<std::mutex> db(db_mutex_);
    std::optional<HistoryRecord> best;
    std::int64_t best_id = 0;
    const auto consider = [&](std::int64_t id, std::int64_t time, int unit_type,
                              std::vector<unsigned char> bytes) {
        if (best && id <= best_id) return;
        HistoryRecord r;
        r.data_id = data_id;
        r.device_type = device_type;
        r.unit_type = unit_type;
        r.time = history::from_seconds(time);
        r.bytes = std::move(bytes);
        best = std::move(r);
        best_id = id;
    };
    if (st_->unit_id) {
        std::int64_t unit = -1;
        {
            Use u(st_->unit_id);
            sqlite3_bind_int64(st_->unit_id, 1, data_id);
            bind_text(st_->unit_id, 2, device_type);
            if (sqlite3_step(st_->unit_id) == SQLITE_ROW)
                unit = sqlite3_column_int64(st_->unit_id, 0);
        }
        if (unit >= 0) {
            {
                Use u(st_->latest_recent);
                sqlite3_bind_int64(st_->latest_recent, 1, unit);
                if (sqlite3_step(st_->latest_recent) == SQLITE_ROW) {
                    consider(sqlite3_column_int64(st_->latest_recent, 0),
                             sqlite3_column_int64(st_->latest_recent, 1),
                             sqlite3_column_int(st_->latest_recent, 2),
                             column_blob(st_->latest_recent, 3));
                }
            }
            if (!best) {
                Use u(st_->latest_chunk);
                sqlite3_bind_int64(st_->latest_chunk, 1, unit);
                if (sqlite3_step(st_->latest_chunk) == SQLITE_ROW) {
                    sqlite3_stmt* s = st_->latest_chunk;
                    const void* b = sqlite3_column_blob(s, 4);
                    const int n = sqlite3_column_bytes(s, 4);
                    std::vector<history::Entry> entries;
                    if (b && n > 0 &&
                        history::decode_chunk(
                            static_cast<const unsigned char*>(b), static_cast<std::size_t>(n),
                            sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 1),
                            sqlite3_column_int64(s, 2), sqlite3_column_int64(s, 3), entries)) {
                        history::Entry& e = entries.back();
                        consider(e.id, e.time, e.unit_type, std::move(e.bytes));
                    }
                }
            }
        }
    }
    if (st_->latest_old) {
        Use u(st_->latest_old);
        sqlite3_bind_int64(st_->latest_old, 1, data_id);
        bind_text(st_->latest_old, 2, device_type);
        if (sqlite3_step(st_->latest_old) == SQLITE_ROW) {
            const std::int64_t id = sqlite3_column_int64(st_->latest_old, 0);
            const auto t = store_time_parse(column_text(st_->latest_old, 2));
            if (!best || id > best_id) {
                consider(id, history::to_seconds(t), sqlite3_column_int(st_->latest_old, 1),
                         column_blob(st_->latest_old, 3));
                best->time = t;
            }
        }
    }
    return best;
}

std::size_t SqliteStore::Count() {
    std::lock_guard<std::mutex> db(db_mutex_);
    std::size_t extra;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        extra = queued_history_;
    }
    std::int64_t n = 0;
    if (layout_ >= kLayout) {
        n += query_int(db_, "SELECT total(count) FROM chunks") +
             query_int(db_, "SELECT count(*) FROM recent");
    }
    if (!old_table_.empty()) n += query_int(db_, "SELECT count(*) FROM " + old_table_);
    return static_cast<std::size_t>(n) + extra;
}

// The file's standing alarms, and what the events that wait change in them.
std::vector<ActiveAlarm> SqliteStore::LoadActive() {
    std::lock_guard<std::mutex> db(db_mutex_);
    std::vector<ActiveAlarm> out;
    {
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
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& item : queue_) {
        if (!item->is_event) continue;
        const ActiveAlarm& e = item->event.alarm;
        auto same = [&](const ActiveAlarm& a) {
            return a.data_id == e.data_id && a.device_type == e.device_type && a.key == e.key &&
                   a.detail == e.detail;
        };
        out.erase(std::remove_if(out.begin(), out.end(), same), out.end());
        if (item->event.kind == AlarmEvent::Kind::Raised) out.push_back(e);
    }
    return out;
}

std::optional<Snapshot> SqliteStore::LoadSnapshot(std::uint32_t data_id,
                                                  const std::string& device_type) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto waiting = snapshots_.find(UnitKey(data_id, device_type));
        if (waiting != snapshots_.end()) return waiting->second;
    }
    std::lock_guard<std::mutex> db(db_mutex_);
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
    // Those not in the file first: a write that ends meanwhile moves them there.
    std::vector<std::pair<std::int64_t, AlarmEvent>> waiting;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& item : queue_) {
            if (item->is_event) waiting.emplace_back(item->id, item->event);
        }
    }
    std::vector<AlarmEvent> out;
    std::int64_t last_id = 0;
    {
        std::lock_guard<std::mutex> db(db_mutex_);
        sqlite3_stmt* q = st_->events;
        Use u(q);
        sqlite3_bind_int64(q, 1, static_cast<sqlite3_int64>(limit));
        while (sqlite3_step(q) == SQLITE_ROW) {
            AlarmEvent e;
            last_id = sqlite3_column_int64(q, 0);
            e.time = store_time_parse(column_text(q, 1));
            e.kind = column_text(q, 2) == "raised" ? AlarmEvent::Kind::Raised
                                                   : AlarmEvent::Kind::Cleared;
            e.alarm.data_id = static_cast<std::uint32_t>(sqlite3_column_int64(q, 3));
            e.alarm.device_type = column_text(q, 4);
            e.alarm.key = column_text(q, 5);
            e.alarm.code = column_text(q, 6);
            e.alarm.name = column_text(q, 7);
            e.alarm.detail = column_text(q, 8);
            e.alarm.level = sqlite3_column_int(q, 9);
            e.alarm.state = sqlite3_column_int(q, 10);
            if (sqlite3_column_type(q, 11) != SQLITE_NULL) {
                auto p = std::make_shared<Provenance>();
                p->cycle = static_cast<std::uint64_t>(sqlite3_column_int64(q, 11));
                const auto* b = static_cast<const std::uint8_t*>(sqlite3_column_blob(q, 12));
                const int n = sqlite3_column_bytes(q, 12);
                if (b && n > 0) DecodeAnswers(b, static_cast<std::size_t>(n), p->answers);
                e.provenance = std::move(p);
            }
            out.push_back(std::move(e));
        }
    }
    for (auto& [id, e] : waiting) {
        if (id > last_id) out.push_back(std::move(e));
    }
    if (out.size() > limit) out.erase(out.begin(), out.end() - static_cast<long>(limit));
    return out;
}

std::size_t SqliteStore::EventCount() {
    std::lock_guard<std::mutex> db(db_mutex_);
    std::size_t extra;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        extra = queue_.size() - queued_history_;
    }
    Use u(st_->event_count);
    if (sqlite3_step(st_->event_count) != SQLITE_ROW) return extra;
    return static_cast<std::size_t>(sqlite3_column_int64(st_->event_count, 0)) + extra;
}

std::vector<StoredRecord> SqliteStore::WaitingRecords(std::uint32_t data_id,
                                                      const boost::posix_time::ptime& from,
                                                      const boost::posix_time::ptime& to,
                                                      std::int64_t after, std::size_t limit) const {
    std::vector<StoredRecord> out;
    const std::int64_t lo = from.is_special() ? INT64_MIN : history::to_seconds(from);
    const std::int64_t hi = to.is_special() ? INT64_MAX : history::to_seconds(to);
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& item : queue_) {
        if (out.size() >= limit) break;
        if (item->is_event || item->id <= after || item->record.data_id != data_id) continue;
        const std::int64_t t = history::to_seconds(item->record.time);
        if (t < lo || t > hi) continue;
        StoredRecord r;
        r.id = item->id;
        r.record = item->record;
        r.record.time = history::from_seconds(t);  // whole seconds, as stored
        out.push_back(std::move(r));
    }
    return out;
}

std::vector<StoredEvent> SqliteStore::WaitingEvents(const boost::posix_time::ptime& since,
                                                    std::int64_t after, std::size_t limit) const {
    std::vector<StoredEvent> out;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& item : queue_) {
        if (out.size() >= limit) break;
        if (!item->is_event || item->id <= after) continue;
        if (!since.is_special() && item->event.time < since) continue;
        StoredEvent e;
        e.id = item->id;
        e.event = item->event;
        out.push_back(std::move(e));
    }
    return out;
}

}  // namespace smd

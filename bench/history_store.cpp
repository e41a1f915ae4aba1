// History databases for bench/history_store.sh, and the writer's cost on them.
//
//   ravo3-history-bench fill --db FILE --days D [--minutes M] [--lines N] [--layout packed|rows]
//                            [--end TIME]
//   ravo3-history-bench write --db FILE [--lines N] [--minutes M] [--days D] [--end TIME]
//
// fill: D days (and M minutes) of 2-second cycles of N typical lines (an AC unit with one
// channel, a DC unit, a rectifier with 6 modules) ending at TIME (default:
// now), in the packed layout the store writes or in the first layout (one row
// per record), straight into the file in large transactions. The records are
// the real units' (one cycle through the frame layer, as cycle_bench does),
// with every value on a random walk and the units' time stamps each cycle.
// The lines' data ids are 1000 + 10 i (rectifier), + 1 (AC), + 2 (DC).
//
// write: M more minutes of the same lines through SqliteStore as the host
// hands records to it (a transaction every eighth of a cycle, the minute's
// periodic work after each minute, the clock moved through its seam), on a
// file that holds D days: at its retention, every minute deletes a minute.
// Prints the CPU time per record, which is the writer's (and the
// appending thread's, a few hundred nanoseconds), and the records a second
// the writer sustains.
#include <fcntl.h>
#include <sqlite3.h>
#include <time.h>
#include <unistd.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ac/AcRecords.h"
#include "bench/CycleRig.h"
#include "dc/DcRecords.h"
#include "host/HostTypes.h"
#include "host/SMDController.h"
#include "rc/RcRecords.h"
#include "runtime/store/HistoryCodec.h"
#include "runtime/store/SqliteStore.h"
#include "runtime/values/Vocabulary.h"

namespace pt = boost::posix_time;
namespace h = smd::history;

namespace {

struct Args {
    std::string command, db, layout = "packed";
    int lines = 16, days = 1, minutes = -1;
    pt::ptime end;
};

bool parse(int argc, char** argv, Args& a) {
    if (argc < 2) return false;
    a.command = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string k = argv[i], v = argv[i + 1];
        if (k == "--db") {
            a.db = v;
        } else if (k == "--layout") {
            a.layout = v;
        } else if (k == "--lines") {
            a.lines = std::stoi(v);
        } else if (k == "--days") {
            a.days = std::stoi(v);
        } else if (k == "--minutes") {
            a.minutes = std::stoi(v);
        } else if (k == "--end") {
            a.end = pt::time_from_string(v);
        } else {
            return false;
        }
    }
    if (a.end.is_special()) {
        const pt::ptime now = pt::second_clock::local_time();
        a.end = now - pt::seconds(now.time_of_day().seconds());
    }
    return !a.db.empty() && a.lines > 0 && a.days >= 0 &&
           (a.layout == "packed" || a.layout == "rows");
}

double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct Template {
    std::string device_type;
    int unit_type = 0;
    std::vector<unsigned char> bytes;
    std::vector<std::size_t> floats;  // offsets of values that move
    std::size_t ttime = 0;
};

// The typical site's records as its units store them, from one real cycle.
std::vector<Template> templates() {
    // The decoders' diagnostic lines go nowhere.
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);
    std::streambuf* const was = std::cout.rdbuf(nullptr);
    auto controller = std::make_shared<SMDController>();
    controller->SetSynchronousWork(true);
    auto memory = std::make_shared<smd::MemoryHistoryStore>(100);
    controller->SetHistoryStore(memory);
    cycle_rig::Rig rig(cycle_rig::kTypical, true, controller);
    rig.Cycle();
    std::cout.rdbuf(was);
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::map<std::string, smd::HistoryRecord> last;
    for (const auto& r : memory->All()) last[r.device_type] = r;
    std::vector<Template> out;
    for (const char* type : {"ravo3-rc", "ravo3-ac", "ravo3-dc"}) {
        Template t;
        t.device_type = type;
        t.unit_type = last[type].unit_type;
        t.bytes = last[type].bytes;
        if (t.device_type == "ravo3-ac") {
            t.floats = {4, 8, 12, 40, 44, 48, 52};
            t.ttime = offsetof(tele_c_ravo3_ac, ttime);
        } else if (t.device_type == "ravo3-dc") {
            t.floats = {4, 8};
            t.ttime = offsetof(tele_c_ravo3_dc, ttime);
        } else {
            t.floats = {69};
            for (std::size_t m = 0; 81 + 32 * m + 4 <= t.bytes.size(); ++m)
                t.floats.push_back(81 + 32 * m);
            t.ttime = offsetof(tele_c_ravo3_rc, ttime);
        }
        out.push_back(t);
    }
    return out;
}

// Each line's units with their values on a random walk.
class Lines {
  public:
    Lines(int lines, std::vector<Template> t) : rng_(42) {
        for (int l = 0; l < lines; ++l) units_.push_back(t);
        for (auto& line : units_) {
            for (Template& u : line) {
                for (std::size_t at : u.floats) {
                    float v;
                    std::memcpy(&v, &u.bytes[at], 4);
                    if (v == 0) v = 50;
                    std::memcpy(&u.bytes[at], &v, 4);
                }
            }
        }
    }
    // The record of unit `u` of line `l` at the cycle of `time`.
    const std::vector<unsigned char>& Next(int l, int u, const pt::ptime& time) {
        Template& t = units_[static_cast<std::size_t>(l)][static_cast<std::size_t>(u)];
        std::normal_distribution<float> step(0.f, 0.002f);
        for (std::size_t at : t.floats) {
            float v;
            std::memcpy(&v, &t.bytes[at], 4);
            v *= 1.f + step(rng_);
            std::memcpy(&t.bytes[at], &v, 4);
        }
        const ttime_t stamp = get_ttime(time);
        std::memcpy(&t.bytes[t.ttime], stamp.data(), stamp.size());
        return t.bytes;
    }
    const Template& Unit(int u) const { return units_[0][static_cast<std::size_t>(u)]; }

  private:
    std::mt19937 rng_;
    std::vector<std::vector<Template>> units_;
};

std::uint32_t data_id(int line, int unit) {
    return static_cast<std::uint32_t>(1000 + 10 * (line + 1) + unit);
}

bool exec(sqlite3* db, const std::string& sql) {
    char* msg = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg) != SQLITE_OK) {
        std::fprintf(stderr, "%s: %s\n", sql.substr(0, 60).c_str(), msg ? msg : "");
        sqlite3_free(msg);
        return false;
    }
    return true;
}

int fill(const Args& a) {
    std::remove(a.db.c_str());
    const bool packed = a.layout == "packed";
    if (packed) {
        // The store makes the file and its tables.
        smd::SqliteStore::Options o;
        std::string error;
        if (!smd::SqliteStore::Open(a.db, o, &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
    }
    sqlite3* db = nullptr;
    if (sqlite3_open(a.db.c_str(), &db) != SQLITE_OK) return 1;
    exec(db, "PRAGMA journal_mode=WAL");
    exec(db, "PRAGMA synchronous=OFF");
    if (!packed) {
        exec(db, R"sql(
CREATE TABLE history(id INTEGER PRIMARY KEY AUTOINCREMENT, data_id INTEGER NOT NULL,
  device_type TEXT NOT NULL, unit_type INTEGER NOT NULL, time TEXT NOT NULL, bytes BLOB NOT NULL);
CREATE INDEX history_unit ON history(data_id, device_type, id);
CREATE TABLE alarm_events(id INTEGER PRIMARY KEY AUTOINCREMENT, time TEXT NOT NULL,
  kind TEXT NOT NULL, data_id INTEGER NOT NULL, device_type TEXT NOT NULL, key TEXT NOT NULL,
  code TEXT NOT NULL, name TEXT NOT NULL, detail TEXT NOT NULL, level INTEGER NOT NULL,
  state INTEGER NOT NULL);
CREATE TABLE active_alarms(data_id INTEGER NOT NULL, device_type TEXT NOT NULL, key TEXT NOT NULL,
  detail TEXT NOT NULL, code TEXT NOT NULL, name TEXT NOT NULL, level INTEGER NOT NULL,
  state INTEGER NOT NULL, since TEXT NOT NULL, PRIMARY KEY(data_id, device_type, key, detail));
CREATE TABLE snapshot(data_id INTEGER NOT NULL, device_type TEXT NOT NULL,
  unit_type INTEGER NOT NULL, flag INTEGER NOT NULL, changed INTEGER NOT NULL, time TEXT NOT NULL,
  bytes BLOB NOT NULL, PRIMARY KEY(data_id, device_type));
PRAGMA user_version=1;)sql");
    }
    Lines lines(a.lines, templates());
    const int units = 3;
    // Units by line and kind; their ids in the packed layout.
    std::vector<std::int64_t> unit_ids;
    sqlite3_stmt* add = nullptr;
    if (packed) {
        sqlite3_prepare_v2(db, "INSERT INTO units(data_id, device_type) VALUES(?, ?)", -1, &add,
                           nullptr);
        for (int l = 0; l < a.lines; ++l) {
            for (int u = 0; u < units; ++u) {
                sqlite3_bind_int64(add, 1, data_id(l, u));
                sqlite3_bind_text(add, 2, lines.Unit(u).device_type.c_str(), -1, SQLITE_STATIC);
                sqlite3_step(add);
                sqlite3_reset(add);
                unit_ids.push_back(sqlite3_last_insert_rowid(db));
            }
        }
        sqlite3_finalize(add);
        sqlite3_prepare_v2(db,
                           "INSERT INTO chunks(first_id, unit, first_time, last_time, last_id, "
                           "count, bytes) VALUES(?,?,?,?,?,?,?)",
                           -1, &add, nullptr);
    } else {
        sqlite3_prepare_v2(db,
                           "INSERT INTO history(id, data_id, device_type, unit_type, time, bytes) "
                           "VALUES(?,?,?,?,?,?)",
                           -1, &add, nullptr);
    }
    sqlite3_stmt* minute = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO minutes(unit, minute, id, count, undecoded, layout, bytes) "
                       "VALUES(?,?,?,?,?,?,?)",
                       -1, &minute, nullptr);
    std::map<std::string, std::int64_t> layouts;
    const auto layout = [&](const std::string& names) {
        auto it = layouts.find(names);
        if (it != layouts.end()) return it->second;
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO layouts(names) VALUES(?)", -1, &s, nullptr);
        sqlite3_bind_text(s, 1, names.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(s);
        sqlite3_finalize(s);
        return layouts[names] = sqlite3_last_insert_rowid(db);
    };
    const auto seal = [&](std::int64_t unit, h::ChunkEncoder& enc, h::MinuteBuilder& b) {
        sqlite3_bind_int64(add, 1, enc.FirstId());
        sqlite3_bind_int64(add, 2, unit);
        sqlite3_bind_int64(add, 3, enc.FirstTime());
        sqlite3_bind_int64(add, 4, enc.LastTime());
        sqlite3_bind_int64(add, 5, enc.LastId());
        sqlite3_bind_int64(add, 6, static_cast<sqlite3_int64>(enc.Count()));
        sqlite3_bind_blob(add, 7, enc.Blob().data(), static_cast<int>(enc.Blob().size()),
                          SQLITE_STATIC);
        sqlite3_step(add);
        sqlite3_reset(add);
        const h::MinuteSummary s = b.Take(enc.Minute(), enc.FirstTime(), enc.LastTime());
        const std::vector<unsigned char> blob = h::encode_minute(s);
        sqlite3_bind_int64(minute, 1, unit);
        sqlite3_bind_int64(minute, 2, s.minute);
        sqlite3_bind_int64(minute, 3, enc.FirstId());
        sqlite3_bind_int64(minute, 4, s.count);
        sqlite3_bind_int64(minute, 5, s.undecoded);
        sqlite3_bind_int64(minute, 6, layout(h::encode_layout(s.names)));
        sqlite3_bind_blob(minute, 7, blob.data(), static_cast<int>(blob.size()), SQLITE_STATIC);
        sqlite3_step(minute);
        sqlite3_reset(minute);
        enc.Clear();
    };
    const std::int64_t cycles =
        static_cast<std::int64_t>(a.days) * 43200 + std::max(0, a.minutes) * 30;
    const pt::ptime start = a.end - pt::seconds(static_cast<long>(cycles * 2));
    std::vector<h::ChunkEncoder> enc(unit_ids.size());
    std::vector<h::MinuteBuilder> sums;
    for (int l = 0; l < a.lines; ++l) {
        sums.emplace_back(true, smd::UnitKind::RC);
        sums.emplace_back(true, smd::UnitKind::AC);
        sums.emplace_back(true, smd::UnitKind::DC);
    }
    const double cpu0 = cpu_seconds();
    const auto wall0 = std::chrono::steady_clock::now();
    std::int64_t id = 1;
    exec(db, "BEGIN");
    for (std::int64_t c = 0; c < cycles; ++c) {
        const pt::ptime t = start + pt::seconds(static_cast<long>(2 * c));
        const std::string text = smd::store_time_text(t);
        const std::int64_t secs = h::to_seconds(t);
        for (int l = 0; l < a.lines; ++l) {
            for (int u = 0; u < units; ++u, ++id) {
                const std::vector<unsigned char>& bytes = lines.Next(l, u, t);
                if (!packed) {
                    sqlite3_bind_int64(add, 1, id);
                    sqlite3_bind_int64(add, 2, data_id(l, u));
                    sqlite3_bind_text(add, 3, lines.Unit(u).device_type.c_str(), -1, SQLITE_STATIC);
                    sqlite3_bind_int(add, 4, lines.Unit(u).unit_type);
                    sqlite3_bind_text(add, 5, text.c_str(), -1, SQLITE_STATIC);
                    sqlite3_bind_blob(add, 6, bytes.data(), static_cast<int>(bytes.size()),
                                      SQLITE_STATIC);
                    sqlite3_step(add);
                    sqlite3_reset(add);
                    continue;
                }
                const std::size_t k = static_cast<std::size_t>(l * units + u);
                h::Entry e;
                e.id = id;
                e.time = secs;
                e.unit_type = lines.Unit(u).unit_type;
                e.bytes = bytes;
                if (!enc[k].Add(e)) {
                    seal(unit_ids[k], enc[k], sums[k]);
                    enc[k].Add(e);
                }
                sums[k].Add(e);
            }
        }
        if (c % 30000 == 29999) {
            exec(db, "COMMIT");
            exec(db, "BEGIN");
        }
    }
    for (std::size_t k = 0; packed && k < enc.size(); ++k) {
        if (!enc[k].Empty()) seal(unit_ids[k], enc[k], sums[k]);
    }
    if (packed) {
        exec(db,
             "INSERT OR REPLACE INTO meta VALUES('next_record_id', " + std::to_string(id) + ")");
    }
    exec(db, "COMMIT");
    sqlite3_finalize(add);
    sqlite3_finalize(minute);
    exec(db, "PRAGMA wal_checkpoint(TRUNCATE)");
    sqlite3_close(db);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    std::printf("records %lld cpu_s %.1f wall_s %.1f\n", static_cast<long long>(id - 1),
                cpu_seconds() - cpu0, wall);
    return 0;
}

int write(const Args& a) {
    pt::ptime now = a.end;
    smd::set_local_clock([&now] { return now; });
    smd::SqliteStore::Options o;
    o.history_days = a.days;
    o.maintenance_interval_ms = 24 * 3600 * 1000;  // run below, once a simulated minute
    std::string error;
    auto store = smd::SqliteStore::Open(a.db, o, &error);
    if (!store) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    Lines lines(a.lines, templates());
    const int units = 3;
    // The host hands a line's records over within a few milliseconds of its
    // cycle's end; the writer takes what arrived in a quarter of a second.
    const int per_commit = std::max(1, a.lines * units / 8);
    std::int64_t records = 0;
    const double cpu0 = cpu_seconds();
    const auto wall0 = std::chrono::steady_clock::now();
    double maintain_s = 0;
    const int minutes = a.minutes < 0 ? 10 : a.minutes;
    for (int m = 0; m < minutes; ++m) {
        for (int c = 0; c < 30; ++c) {
            now += pt::seconds(2);
            for (int l = 0; l < a.lines; ++l) {
                for (int u = 0; u < units; ++u) {
                    smd::HistoryRecord r;
                    r.data_id = data_id(l, u);
                    r.device_type = lines.Unit(u).device_type;
                    r.unit_type = lines.Unit(u).unit_type;
                    r.time = now;
                    r.bytes = lines.Next(l, u, now);
                    store->Append(r);
                    if (++records % per_commit == 0) store->Sync();
                }
            }
        }
        store->Sync();
        const auto m0 = std::chrono::steady_clock::now();
        store->Maintain();
        maintain_s += std::chrono::duration<double>(std::chrono::steady_clock::now() - m0).count();
    }
    const double cpu = cpu_seconds() - cpu0;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    const smd::StoreStats s = store->Stats();
    std::printf(
        "records %lld cpu_us_per_record %.1f records_per_s %.0f transactions %llu "
        "write_ms_per_transaction %.2f maintenance_ms_per_minute %.1f\n",
        static_cast<long long>(records), cpu * 1e6 / static_cast<double>(records),
        static_cast<double>(records) / wall, static_cast<unsigned long long>(s.transactions),
        s.transactions ? s.write_seconds * 1e3 / static_cast<double>(s.transactions) : 0.0,
        maintain_s * 1e3 / minutes);
    store.reset();
    smd::set_local_clock(nullptr);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Args a;
    if (!parse(argc, argv, a) || (a.command != "fill" && a.command != "write")) {
        std::fprintf(stderr,
                     "usage: ravo3-history-bench fill|write --db FILE [--days D] [--lines N] "
                     "[--layout packed|rows] [--minutes M] [--end \"YYYY-MM-DD HH:MM:SS\"]\n");
        return 2;
    }
    return a.command == "fill" ? fill(a) : write(a);
}

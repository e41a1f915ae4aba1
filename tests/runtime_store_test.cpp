#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "host/SMDController.h"
#include "host/SMDVDevice.h"
#include "runtime/store/SqliteStore.h"
#include "runtime/store/StoreReader.h"
#include "tests/runtime_fixture.h"

using rt_test::Bytes;
using rt_test::TempDir;

namespace {

boost::posix_time::ptime at(const char* s) {
    return boost::posix_time::time_from_string(s);
}

smd::HistoryRecord record(std::uint32_t id, const std::string& type, Bytes bytes,
                          const char* time = "2026-12-08 10:00:00", int unit_type = 5159) {
    smd::HistoryRecord r;
    r.data_id = id;
    r.device_type = type;
    r.unit_type = unit_type;
    r.time = at(time);
    r.bytes = std::move(bytes);
    return r;
}

std::shared_ptr<smd::SqliteStore> open_store(const std::string& path,
                                             smd::SqliteStore::Options o = {}) {
    std::string error;
    auto s = smd::SqliteStore::Open(path, o, &error);
    EXPECT_TRUE(s) << error;
    return s;
}

// What another program sees in the file.
std::string query_text(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    std::string out;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 5000);  // the host may be writing
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK) {
            while (sqlite3_step(s) == SQLITE_ROW) {
                if (!out.empty()) out += "|";
                const unsigned char* t = sqlite3_column_text(s, 0);
                out += t ? reinterpret_cast<const char*>(t) : "NULL";
            }
        }
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return out;
}

// A unit whose record is whatever was last loaded or saved.
class Unit : public SMDVDevice {
  public:
    explicit Unit(std::string type) { device_type_ = std::move(type); }
    bool LoadFromCache(const unsigned char* data, int len) override {
        if (len <= 0) return false;
        bytes.assign(data, data + len);
        ready = 1;
        return true;
    }
    Bytes bytes;
};

rule_value rule(bool active, const std::string& key, const std::string& detail, int state = -1) {
    rule_value r;
    r.active = active;
    r.key = key;
    r.code = "06015";
    r.level = 2;
    r.seq = 1;
    r.name = "交流输入停电";
    r.detail = detail;
    r.state = state;
    return r;
}

}  // namespace

TEST(SqliteStore, CreatesAMissingDatabaseInWalMode) {
    TempDir dir;
    const std::string path = dir.File("new.db");
    auto store = open_store(path);
    ASSERT_TRUE(store);
    EXPECT_TRUE(std::ifstream(path).good());
    EXPECT_EQ(query_text(path, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(store->Count(), 0u);
    EXPECT_FALSE(store->Latest(1, "ravo3-ac"));
    EXPECT_TRUE(store->LoadActive().empty());
}

TEST(SqliteStore, NewestRecordPerDataIdAndDeviceType) {
    TempDir dir;
    auto store = open_store(dir.File("h.db"));
    store->Append(record(1, "ravo3-ac", {1}, "2026-12-08 10:00:00"));
    store->Append(record(1, "ravo3-dc", {2, 2}, "2026-12-08 10:00:01", 5161));
    store->Append(record(2, "ravo3-ac", {3}, "2026-12-08 10:00:02"));
    store->Append(record(1, "ravo3-ac", {4, 4, 4}, "2026-12-08 10:00:03"));
    store->Append(record(9, "ravo3-rc", {}, "2026-12-08 10:00:04", 5160));
    struct Case {
        std::uint32_t id;
        std::string type;
        Bytes bytes;
        int unit_type;
        const char* time;
    };
    for (const Case& c : {Case{1, "ravo3-ac", {4, 4, 4}, 5159, "2026-12-08 10:00:03"},
                          Case{1, "ravo3-dc", {2, 2}, 5161, "2026-12-08 10:00:01"},
                          Case{2, "ravo3-ac", {3}, 5159, "2026-12-08 10:00:02"},
                          Case{9, "ravo3-rc", {}, 5160, "2026-12-08 10:00:04"}}) {
        SCOPED_TRACE(c.type + std::to_string(c.id));
        auto r = store->Latest(c.id, c.type);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->bytes, c.bytes);
        EXPECT_EQ(r->unit_type, c.unit_type);
        EXPECT_EQ(r->time, at(c.time));
    }
    EXPECT_FALSE(store->Latest(2, "ravo3-dc"));
    EXPECT_FALSE(store->Latest(3, "ravo3-ac"));
    EXPECT_EQ(store->Count(), 5u);
}

TEST(SqliteStore, HistoryStoredThroughTheControllerReplaysIntoFreshUnits) {
    TempDir dir;
    const std::string path = dir.File("h.db");
    const Bytes ac(70, 0xAC), dc(142, 0xDC);
    {
        auto store = open_store(path);
        auto controller = std::make_shared<SMDController>();
        controller->SetSynchronousWork(true);
        controller->SetHistoryStore(store);
        auto a = std::make_shared<Unit>("ravo3-ac");
        auto d = std::make_shared<Unit>("ravo3-dc");
        a->Init(controller, 11, Json::Value());
        d->Init(controller, 11, Json::Value());
        a->SaveDeviceHistory(Bytes(70, 0x01).data(), 70);
        a->SaveDeviceHistory(ac.data(), static_cast<unsigned>(ac.size()));
        d->SaveDeviceHistory(dc.data(), static_cast<unsigned>(dc.size()));
    }
    auto store = open_store(path);
    auto a = std::make_shared<Unit>("ravo3-ac");
    auto d = std::make_shared<Unit>("ravo3-dc");
    for (auto& u : {a, d}) {
        auto r = store->Latest(11, u->DeviceType());
        ASSERT_TRUE(r);
        EXPECT_TRUE(u->LoadFromCache(r->bytes.data(), static_cast<int>(r->bytes.size())));
    }
    EXPECT_EQ(a->bytes, ac);
    EXPECT_EQ(d->bytes, dc);
}

TEST(SqliteStore, AKilledWriterLeavesADatabaseThatReplaysTheLastCompleteRecord) {
    TempDir dir;
    const std::string path = dir.File("crash.db");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ready[0]);
        std::string error;
        auto store = smd::SqliteStore::Open(path, {}, &error);
        if (!store) ::_exit(3);
        // Each record is 4000 bytes of its own sequence number, so a torn
        // record would show.
        for (std::uint32_t seq = 0;; ++seq) {
            Bytes b(4000, static_cast<unsigned char>(seq & 0xFF));
            for (int i = 0; i < 4; ++i) b[i] = static_cast<unsigned char>(seq >> (8 * i));
            store->Append(record(5, "ravo3-rc", b));
            if (seq == 50) {
                store->Sync();
                (void)!::write(ready[1], "x", 1);
            }
        }
    }
    ::close(ready[1]);
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));

    auto store = open_store(path);
    ASSERT_TRUE(store);
    const std::size_t n = store->Count();
    EXPECT_GT(n, 50u);
    auto last = store->Latest(5, "ravo3-rc");
    ASSERT_TRUE(last);
    ASSERT_EQ(last->bytes.size(), 4000u);
    const std::uint32_t seq = last->bytes[0] | (last->bytes[1] << 8) | (last->bytes[2] << 16) |
                              (static_cast<std::uint32_t>(last->bytes[3]) << 24);
    EXPECT_EQ(seq + 1, n);  // every committed record is there, the newest is the last one
    for (std::size_t i = 4; i < last->bytes.size(); ++i) {
        ASSERT_EQ(last->bytes[i], static_cast<unsigned char>(seq & 0xFF)) << i;
    }
}

TEST(SqliteStore, AlarmsRaiseAndClearOnceAcrossCyclesAndARestart) {
    TempDir dir;
    const std::string path = dir.File("alarms.db");
    const std::vector<rule_value> on = {rule(true, "AC_0", "交流屏1"),
                                        rule(false, "AC_0", "交流屏2")};
    const std::vector<rule_value> off = {rule(false, "AC_0", "交流屏1"),
                                         rule(false, "AC_0", "交流屏2")};
    {
        auto store = open_store(path);
        auto controller = std::make_shared<SMDController>();
        controller->SetAlarmStore(store);
        EXPECT_TRUE(controller->EvaluateRules(7, "ravo3-ac", on));
        EXPECT_FALSE(controller->EvaluateRules(7, "ravo3-ac", on));
    }
    {
        // After a restart the standing alarm is known and is not raised again.
        auto store = open_store(path);
        auto controller = std::make_shared<SMDController>();
        controller->SetAlarmStore(store);
        ASSERT_EQ(controller->ActiveAlarms().size(), 1u);
        EXPECT_EQ(controller->ActiveAlarms()[0].detail, "交流屏1");
        EXPECT_FALSE(controller->ActiveAlarms()[0].since.is_special());
        EXPECT_FALSE(controller->EvaluateRules(7, "ravo3-ac", on));
        EXPECT_TRUE(controller->EvaluateRules(7, "ravo3-ac", off));
        EXPECT_FALSE(controller->EvaluateRules(7, "ravo3-ac", off));
    }
    auto store = open_store(path);
    EXPECT_TRUE(store->LoadActive().empty());
    const auto events = store->Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, smd::AlarmEvent::Kind::Raised);
    EXPECT_EQ(events[1].kind, smd::AlarmEvent::Kind::Cleared);
    for (const auto& e : events) {
        EXPECT_EQ(e.alarm.data_id, 7u);
        EXPECT_EQ(e.alarm.device_type, "ravo3-ac");
        EXPECT_EQ(e.alarm.key, "AC_0");
        EXPECT_EQ(e.alarm.code, "06015");
        EXPECT_EQ(e.alarm.name, "交流输入停电");
        EXPECT_EQ(e.alarm.detail, "交流屏1");
        EXPECT_EQ(e.alarm.level, 2);
        EXPECT_FALSE(e.time.is_special());
    }
    EXPECT_EQ(query_text(path, "SELECT kind FROM alarm_events ORDER BY id"), "raised|cleared");
}

TEST(SqliteStore, AMultiValuedPointThatChangesStateIsClearedAndRaisedAgain) {
    TempDir dir;
    smd::SqliteStore::Options o;
    o.event_retention = 3;
    auto store = open_store(dir.File("a.db"), o);
    auto controller = std::make_shared<SMDController>();
    controller->SetAlarmStore(store);
    controller->EvaluateRules(3, "ravo3-dc", {rule(true, "DC_1", "电池组1", 1)});
    controller->EvaluateRules(3, "ravo3-dc", {rule(true, "DC_1", "电池组1", 2)});
    store->Sync();
    const auto active = store->LoadActive();
    ASSERT_EQ(active.size(), 1u);
    EXPECT_EQ(active[0].state, 2);
    EXPECT_EQ(store->EventCount(), 3u);
    controller->EvaluateRules(3, "ravo3-dc", {rule(false, "DC_1", "电池组1", 0)});
    store->Sync();
    EXPECT_EQ(store->EventCount(), 3u);  // bounded
    EXPECT_TRUE(store->LoadActive().empty());
}

TEST(SqliteStore, SnapshotsKeepOneRowPerUnitForOtherPrograms) {
    TempDir dir;
    const std::string path = dir.File("s.db");
    auto store = open_store(path);
    smd::Snapshot s;
    s.data_id = 4;
    s.device_type = "ravo3-dc";
    s.unit_type = 5161;
    s.time = at("2026-12-08 10:00:00");
    s.bytes = {1, 2};
    store->SaveSnapshot(s);
    s.bytes = {3, 4, 5};
    s.changed = true;
    s.time = at("2026-12-08 10:00:03");
    store->SaveSnapshot(s);
    store->Sync();
    EXPECT_EQ(query_text(path, "SELECT count(*) FROM snapshot"), "1");
    EXPECT_EQ(query_text(path, "SELECT time || ' ' || hex(bytes) FROM snapshot"),
              "2026-12-08 10:00:03 030405");
    auto back = store->LoadSnapshot(4, "ravo3-dc");
    ASSERT_TRUE(back);
    EXPECT_EQ(back->bytes, Bytes({3, 4, 5}));
    EXPECT_TRUE(back->changed);
    EXPECT_EQ(back->unit_type, 5161);
    EXPECT_FALSE(store->LoadSnapshot(4, "ravo3-ac"));
}

TEST(SqliteStore, RefusesFilesItCannotUseAndSaysWhy) {
    TempDir dir;
    // not a database at all
    { std::ofstream(dir.File("text.db")) << std::string(8192, 'x'); }
    // a database with damaged pages
    {
        smd::SqliteStore::Options o;
        auto store = open_store(dir.File("damaged.db"), o);
        for (unsigned i = 0; i < 300; ++i) store->Append(record(i, "ravo3-ac", Bytes(900, i)));
        store->Flush();
    }
    {
        std::fstream f(dir.File("damaged.db"), std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(4096 * 2);
        const std::string junk(4096 * 20, '\x55');
        f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
    }
    // a layout of a later version
    { auto store = open_store(dir.File("newer.db")); }
    {
        sqlite3* db = nullptr;
        sqlite3_open(dir.File("newer.db").c_str(), &db);
        sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    struct Case {
        std::string path;
        std::string reason;
    };
    for (const Case& c :
         {Case{dir.File("text.db"), "corrupt"}, Case{dir.File("damaged.db"), "corrupt"},
          Case{dir.File("newer.db"), "newer version"},
          Case{dir.File("missing-dir/x.db"), "cannot open"}}) {
        SCOPED_TRACE(c.path);
        std::string error;
        EXPECT_FALSE(smd::SqliteStore::Open(c.path, {}, &error));
        EXPECT_NE(error.find("history database " + c.path), std::string::npos) << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    }
}

TEST(SqliteStore, ALockedDatabaseIsReported) {
    TempDir dir;
    const std::string path = dir.File("locked.db");
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "CREATE TABLE t(x); BEGIN EXCLUSIVE; INSERT INTO t VALUES(1);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    smd::SqliteStore::Options o;
    o.busy_timeout_ms = 20;
    std::string error;
    EXPECT_FALSE(smd::SqliteStore::Open(path, o, &error));
    EXPECT_NE(error.find("locked by another program"), std::string::npos) << error;
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_TRUE(smd::SqliteStore::Open(path, o, &error)) << error;
}

// Past the bound the oldest waiting history rows go; alarm events never do,
// and what waits is served and written in order once writing works.
TEST(SqliteStore, AFullQueueDropsOldHistoryButNoAlarmEvent) {
    TempDir dir;
    const std::string path = dir.File("q.db");
    int fault = SQLITE_IOERR;
    smd::SqliteStore::Options o;
    o.queue_limit = 3;
    o.fault = [&](const char* step) { return std::string(step) == "write" ? fault : SQLITE_OK; };
    auto store = open_store(path, o);
    std::vector<std::string> log;
    store->SetErrorSink([&](const std::string& s) { log.push_back(s); });
    smd::AlarmEvent raise;
    raise.time = at("2026-12-08 10:00:00");
    raise.alarm.data_id = 1;
    raise.alarm.device_type = "ravo3-dc";
    raise.alarm.key = "fuse";
    smd::AlarmEvent clear = raise;
    clear.kind = smd::AlarmEvent::Kind::Cleared;
    for (unsigned char i = 0; i < 6; ++i) {
        if (i == 1) store->Record(raise);
        if (i == 4) store->Record(clear);
        store->Append(record(1, "ravo3-dc", Bytes{i}));
        store->Sync();  // a write is tried: it fails
    }
    EXPECT_EQ(store->Waiting(), 5u);
    EXPECT_EQ(store->DroppedHistory(), 3u);
    EXPECT_EQ(store->Latest(1, "ravo3-dc")->bytes, Bytes{5});
    EXPECT_EQ(store->Events().size(), 2u);
    EXPECT_EQ(query_text(path, "SELECT count(*) FROM recent"), "0");
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], "history database " + path +
                          ": cannot write: disk I/O error; history rows and alarm events wait in "
                          "memory and are written when writing works again (at most 3 history "
                          "rows, then the oldest go; alarm events are never dropped)");
    EXPECT_EQ(log[1], "history database " + path +
                          ": more than 3 history rows waiting: dropping "
                          "the oldest");
    fault = SQLITE_OK;
    store->Flush();
    EXPECT_EQ(store->Waiting(), 0u);
    EXPECT_EQ(query_text(path, "SELECT hex(bytes) FROM recent ORDER BY id"), "03|04|05");
    EXPECT_EQ(query_text(path, "SELECT kind FROM alarm_events ORDER BY id"), "raised|cleared");
    EXPECT_EQ(query_text(path, "SELECT count(*) FROM active_alarms"), "0");
    EXPECT_EQ(log.back(), "history database " + path +
                              ": writing again; 3 history rows and 2 alarm events that waited "
                              "written, 3 oldest history rows dropped");
}

TEST(SqliteStore, StoreTimesRoundTripAndOddTextIsNoTime) {
    EXPECT_EQ(smd::store_time_text(at("2026-01-02 03:04:05")), "2026-01-02 03:04:05");
    EXPECT_EQ(smd::store_time_text(boost::posix_time::ptime()), "");
    EXPECT_EQ(smd::store_time_parse("2026-01-02 03:04:05"), at("2026-01-02 03:04:05"));
    for (const char* odd : {"", "garbage", "2026-13-45 99:99:99"}) {
        EXPECT_TRUE(smd::store_time_parse(odd).is_special()) << odd;
    }
}

namespace {

std::vector<smd::StoredRecord> read_all(const std::string& path, std::uint32_t data_id,
                                        boost::posix_time::ptime from = {},
                                        boost::posix_time::ptime to = {}, std::int64_t after = 0,
                                        std::size_t limit = 1000000) {
    std::string error;
    auto reader = smd::StoreReader::Open(path, &error);
    EXPECT_TRUE(reader) << error;
    std::vector<smd::StoredRecord> out;
    if (reader) {
        EXPECT_TRUE(reader->History(data_id, from, to, after, limit, out, error)) << error;
    }
    return out;
}

// Records as handed in, with the ids the store gave them.
struct Model {
    std::vector<smd::StoredRecord> records;
    void Add(smd::SqliteStore& store, smd::HistoryRecord r, std::int64_t id) {
        store.Append(r);
        records.push_back({id, std::move(r)});
    }
};

void expect_same(const std::vector<smd::StoredRecord>& got,
                 const std::vector<smd::StoredRecord>& want, const std::string& what) {
    SCOPED_TRACE(what);
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t k = 0; k < got.size(); ++k) {
        EXPECT_EQ(got[k].id, want[k].id) << k;
        EXPECT_EQ(got[k].record.time, want[k].record.time) << k;
        EXPECT_EQ(got[k].record.unit_type, want[k].record.unit_type) << k;
        EXPECT_EQ(got[k].record.device_type, want[k].record.device_type) << k;
        EXPECT_EQ(got[k].record.bytes, want[k].record.bytes) << k;
    }
}

boost::posix_time::ptime t0() {
    return at("2026-12-08 10:00:00");
}

}  // namespace

// Whatever the records, they come back byte for byte, with their ids, times
// and unit types, from the queue, the minute being filled, sealed minutes and
// a reopened file.
TEST(SqliteStore, RecordsComeBackByteForByteFromEveryStage) {
    rt_test::SharedClock clock;
    std::mt19937 rng(3);
    using namespace boost::posix_time;
    struct Step {
        int seconds;
        Bytes bytes;
        int unit_type = 5161;
    };
    auto random_bytes = [&](std::size_t n) {
        Bytes b(n);
        for (auto& c : b) c = static_cast<unsigned char>(rng());
        return b;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
    };
    std::vector<Case> cases;
    {
        Case c{"two minutes of a DC unit", {}};
        for (int k = 0; k < 60; ++k) {
            Bytes b(142, 0);
            b[4] = static_cast<unsigned char>(k);
            c.steps.push_back({2 * k, b});
        }
        cases.push_back(c);
    }
    cases.push_back({"lengths and unit types change",
                     {{0, Bytes{}}, {1, Bytes{1}, 7}, {2, Bytes(70, 1), -3}, {62, Bytes(100, 2)}}});
    {
        Case c{"more records in one second than a chunk holds", {}};
        for (int k = 0; k < 300; ++k) c.steps.push_back({5, Bytes{static_cast<unsigned char>(k)}});
        cases.push_back(c);
    }
    cases.push_back({"records larger than a chunk",
                     {{0, random_bytes(5000)}, {0, random_bytes(5000)}, {1, random_bytes(9000)}}});
    cases.push_back({"the clock goes back",
                     {{58, Bytes{1}},
                      {59, Bytes{2}},
                      {30, Bytes{3}},
                      {65, Bytes{4}},
                      {-60, Bytes{5}},
                      {-60, Bytes{6}}}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.File("h.db");
        smd::SqliteStore::Options o;
        o.history_days = 0;
        Model model;
        {
            auto store = open_store(path, o);
            std::int64_t id = 1;
            for (const Step& s : c.steps) {
                smd::HistoryRecord r =
                    record(7, "ravo3-dc", s.bytes, "2026-12-08 10:00:00", s.unit_type);
                r.time += seconds(s.seconds);
                model.Add(*store, r, id++);
            }
            ASSERT_TRUE(store->Latest(7, "ravo3-dc"));
            EXPECT_EQ(store->Latest(7, "ravo3-dc")->bytes, model.records.back().record.bytes);
            store->Sync();
            expect_same(read_all(path, 7), model.records, "written");
            clock.AdvanceSeconds(3600);
            store->Maintain();  // every minute sealed
            EXPECT_EQ(query_text(path, "SELECT count(*) FROM recent"), "0");
            expect_same(read_all(path, 7), model.records, "sealed");
            EXPECT_EQ(store->Count(), model.records.size());
        }
        auto store = open_store(path, o);
        auto latest = store->Latest(7, "ravo3-dc");
        ASSERT_TRUE(latest);
        EXPECT_EQ(latest->bytes, model.records.back().record.bytes);
        EXPECT_EQ(latest->time, model.records.back().record.time);
        expect_same(read_all(path, 7), model.records, "reopened");
        clock.AdvanceSeconds(-3600);
    }
}

// Both ends of a window are in it; a page goes on exactly where the last one
// ended; the answer is the same in time order and after the clock went back
// (read through the index by time, or by id).
TEST(SqliteStore, WindowsHoldBothEndsAndPagesGoOnWhereTheyEnded) {
    rt_test::SharedClock clock;
    using namespace boost::posix_time;
    TempDir dir;
    const std::string path = dir.File("w.db");
    smd::SqliteStore::Options o;
    o.history_days = 1;
    auto store = open_store(path, o);
    Model model;
    std::int64_t id = 1;
    // Unit 5: every 2 s from 10:00:00 to 10:04:58. Unit 6: the same five
    // minutes, then its clock goes back to 10:02:00 for two more.
    for (int k = 0; k < 150; ++k) {
        smd::HistoryRecord a = record(5, "ravo3-dc", Bytes{static_cast<unsigned char>(k), 1});
        a.time = t0() + seconds(2 * k);
        model.Add(*store, a, id++);
        smd::HistoryRecord b = record(6, "ravo3-dc", Bytes{static_cast<unsigned char>(k), 2});
        b.time = t0() + seconds(2 * k);
        model.Add(*store, b, id++);
    }
    for (int k = 0; k < 60; ++k) {
        smd::HistoryRecord b = record(6, "ravo3-dc", Bytes{static_cast<unsigned char>(k), 3});
        b.time = t0() + minutes(2) + seconds(2 * k);
        model.Add(*store, b, id++);
    }
    store->Sync();
    clock.AdvanceSeconds(4 * 60 + 30);  // minutes up to 10:03 sealed, 10:04 still filling
    store->Maintain();
    struct Window {
        const char* name;
        const char* from;
        const char* to;
    };
    const Window windows[] = {
        {"one second, a record on it", "2026-12-08 10:01:00", "2026-12-08 10:01:00"},
        {"one second, no record on it", "2026-12-08 10:01:01", "2026-12-08 10:01:01"},
        {"both ends a second inside", "2026-12-08 10:00:59", "2026-12-08 10:01:01"},
        {"both ends on records", "2026-12-08 10:00:58", "2026-12-08 10:01:02"},
        {"across sealed and filling minutes", "2026-12-08 10:03:58", "2026-12-08 10:04:02"},
        {"open start", "", "2026-12-08 10:00:02"},
        {"open end", "2026-12-08 10:04:58", ""},
        {"after the last", "2026-12-08 10:05:00", ""},
        {"everything", "", ""},
    };
    auto check = [&](const std::string& stage) {
        for (std::uint32_t data_id : {5u, 6u}) {
            for (const Window& w : windows) {
                SCOPED_TRACE(stage + ", unit " + std::to_string(data_id) + ", " + w.name);
                const ptime from = *w.from ? at(w.from) : ptime();
                const ptime to = *w.to ? at(w.to) : ptime();
                std::vector<smd::StoredRecord> want;
                for (const auto& r : model.records) {
                    if (r.record.data_id != data_id) continue;
                    if (!from.is_special() && r.record.time < from) continue;
                    if (!to.is_special() && r.record.time > to) continue;
                    want.push_back(r);
                }
                expect_same(read_all(path, data_id, from, to), want, "one page");
                std::vector<smd::StoredRecord> paged;
                std::int64_t after = 0;
                for (int pages = 0; pages < 100; ++pages) {
                    auto page = read_all(path, data_id, from, to, after, 7);
                    paged.insert(paged.end(), page.begin(), page.end());
                    if (page.size() < 7) break;
                    after = page.back().id;
                }
                expect_same(paged, want, "pages of 7");
            }
        }
    };
    check("the clock went back in the kept history");
    // A day later only the last minute is kept.
    clock.AdvanceSeconds(86400 - 30);
    store->Maintain();
    const ptime cutoff = t0() + seconds(4 * 60 + 30 + 86400 - 30) - hours(24);
    std::vector<smd::StoredRecord> kept;
    for (const auto& r : model.records) {
        const ptime minute_end =
            r.record.time - seconds(r.record.time.time_of_day().seconds()) + seconds(59);
        if (minute_end >= cutoff) kept.push_back(r);
    }
    model.records = kept;
    check("a day later");
}

// Records go a minute at a time once the whole minute is older than
// "history_days"; summaries once their minute is older than "history_summary_days".
TEST(SqliteStore, RetentionByAgeTakesWholeMinutesAtTheBoundary) {
    rt_test::SharedClock clock;
    using namespace boost::posix_time;
    struct Case {
        long now;  // seconds after 10:00:00 on the first day
        std::size_t records, minutes;
    };
    const long day = 86400;
    // Records at 10:00:00 .. 10:00:58 and 10:01:00 .. 10:01:58.
    for (const Case& c :
         {Case{day + 58, 60, 2}, Case{day + 59, 30, 2}, Case{day + 119, 0, 2},
          Case{2 * day + 59, 0, 2}, Case{2 * day + 60, 0, 1}, Case{2 * day + 120, 0, 0}}) {
        SCOPED_TRACE(c.now);
        TempDir dir;
        const std::string path = dir.File("r.db");
        smd::SqliteStore::Options o;
        o.history_days = 1;
        o.summary_days = 2;
        auto store = open_store(path, o);
        for (int k = 0; k < 60; ++k) {
            smd::HistoryRecord r = record(9, "ravo3-dc", Bytes(142, static_cast<unsigned char>(k)));
            r.time = t0() + seconds(2 * k);
            store->Append(r);
        }
        store->Sync();
        clock.AdvanceSeconds(c.now);
        store->Maintain();
        EXPECT_EQ(read_all(path, 9).size(), c.records);
        std::string error;
        auto reader = smd::StoreReader::Open(path, &error);
        std::vector<smd::StoredMinute> minutes;
        std::vector<smd::StoredRecord> open;
        bool summarised = false;
        ASSERT_TRUE(reader->Minutes(
            9, ptime(), ptime(), [&](const smd::StoredMinute& m) { minutes.push_back(m); }, open,
            summarised, error));
        EXPECT_TRUE(summarised);
        EXPECT_EQ(minutes.size(), c.minutes);
        clock.AdvanceSeconds(-c.now);
    }
}

// The older form: at least "history_retention" of the newest records stay,
// the oldest minutes go whole.
TEST(SqliteStore, RetentionInRowsKeepsTheNewest) {
    rt_test::SharedClock clock;
    TempDir dir;
    const std::string path = dir.File("h.db");
    smd::SqliteStore::Options o;
    o.history_days = 0;
    o.history_retention = 50;
    auto store = open_store(path, o);
    Model model;
    for (int k = 0; k < 150; ++k) {
        smd::HistoryRecord r = record(1, "ravo3-ac", Bytes{static_cast<unsigned char>(k)});
        r.time = t0() + boost::posix_time::seconds(2 * k);
        model.Add(*store, r, k + 1);
    }
    clock.AdvanceSeconds(3600);
    store->Maintain();
    // 30 records a minute: 60 are the fewest whole minutes holding the newest 50.
    expect_same(read_all(path, 1),
                std::vector<smd::StoredRecord>(model.records.end() - 60, model.records.end()),
                "kept");
    EXPECT_EQ(store->Count(), 60u);
}

// A file of the first layout (one row per record) is served at once and
// converted in the background; the records keep their ids, times and bytes;
// new ones go on from the highest id it ever gave; alarms and snapshots stay.
TEST(SqliteStore, TheFirstLayoutIsConvertedWithoutLosingARecord) {
    rt_test::SharedClock clock;
    using namespace boost::posix_time;
    TempDir dir;
    const std::string path = dir.File("old.db");
    Model model;
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, R"sql(
            PRAGMA journal_mode=WAL;
            CREATE TABLE history(id INTEGER PRIMARY KEY AUTOINCREMENT, data_id INTEGER NOT NULL,
              device_type TEXT NOT NULL, unit_type INTEGER NOT NULL, time TEXT NOT NULL,
              bytes BLOB NOT NULL);
            CREATE INDEX history_unit ON history(data_id, device_type, id);
            CREATE TABLE alarm_events(id INTEGER PRIMARY KEY AUTOINCREMENT, time TEXT NOT NULL,
              kind TEXT NOT NULL, data_id INTEGER NOT NULL, device_type TEXT NOT NULL,
              key TEXT NOT NULL, code TEXT NOT NULL, name TEXT NOT NULL, detail TEXT NOT NULL,
              level INTEGER NOT NULL, state INTEGER NOT NULL);
            CREATE TABLE active_alarms(data_id INTEGER NOT NULL, device_type TEXT NOT NULL,
              key TEXT NOT NULL, detail TEXT NOT NULL, code TEXT NOT NULL, name TEXT NOT NULL,
              level INTEGER NOT NULL, state INTEGER NOT NULL, since TEXT NOT NULL,
              PRIMARY KEY(data_id, device_type, key, detail));
            CREATE TABLE snapshot(data_id INTEGER NOT NULL, device_type TEXT NOT NULL,
              unit_type INTEGER NOT NULL, flag INTEGER NOT NULL, changed INTEGER NOT NULL,
              time TEXT NOT NULL, bytes BLOB NOT NULL, PRIMARY KEY(data_id, device_type));
            INSERT INTO active_alarms VALUES(3, 'ravo3-dc', 'DC_1', 'd', '1', 'n', 2, -1,
              '2026-12-08 09:00:00');
            INSERT INTO alarm_events(time, kind, data_id, device_type, key, code, name, detail,
              level, state) VALUES('2026-12-08 09:00:00', 'raised', 3, 'ravo3-dc', 'DC_1', '1',
              'n', 'd', 2, -1);
            PRAGMA user_version=1;)sql",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
        sqlite3_stmt* ins = nullptr;
        sqlite3_prepare_v2(db,
                           "INSERT INTO history(id, data_id, device_type, unit_type, time, bytes) "
                           "VALUES(?,?,?,?,?,?)",
                           -1, &ins, nullptr);
        // Three units over four minutes, a same-second pair, a step back in
        // time, and a gap in the ids (rows the old retention deleted).
        std::int64_t id = 40;
        for (int k = 0; k < 120; ++k) {
            for (std::uint32_t unit : {1u, 2u, 3u}) {
                smd::HistoryRecord r = record(unit, unit == 2 ? "ravo3-ac" : "ravo3-dc",
                                              Bytes(unit == 2 ? 70 + 30 * (k % 3) : 142,
                                                    static_cast<unsigned char>(k * unit)),
                                              "2026-12-08 10:00:00", 5159 + static_cast<int>(unit));
                r.time = t0() + seconds(k == 60 ? 30 : 2 * k - (k == 61 ? 2 : 0));
                sqlite3_bind_int64(ins, 1, id);
                sqlite3_bind_int64(ins, 2, unit);
                sqlite3_bind_text(ins, 3, r.device_type.c_str(), -1, SQLITE_TRANSIENT);
                sqlite3_bind_int(ins, 4, r.unit_type);
                const std::string t = smd::store_time_text(r.time);
                sqlite3_bind_text(ins, 5, t.c_str(), -1, SQLITE_TRANSIENT);
                sqlite3_bind_blob(ins, 6, r.bytes.data(), static_cast<int>(r.bytes.size()),
                                  SQLITE_TRANSIENT);
                ASSERT_EQ(sqlite3_step(ins), SQLITE_DONE);
                sqlite3_reset(ins);
                model.records.push_back({id, r});
                id += k == 10 ? 5 : 1;
            }
        }
        sqlite3_finalize(ins);
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        ASSERT_EQ(sqlite3_exec(db, "UPDATE sqlite_sequence SET seq = 9000 WHERE name='history'",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    auto of = [&](std::uint32_t unit) {
        std::vector<smd::StoredRecord> out;
        for (const auto& r : model.records) {
            if (r.record.data_id == unit) out.push_back(r);
        }
        return out;
    };
    {
        // Read-only, it is served as it is.
        smd::SqliteStore::Options o;
        o.fault = [](const char* step) {
            return std::string(step) == "open" ? SQLITE_READONLY : SQLITE_OK;
        };
        auto store = open_store(path, o);
        ASSERT_TRUE(store && store->ReadOnly());
        EXPECT_EQ(store->Latest(2, "ravo3-ac")->bytes, of(2).back().record.bytes);
        EXPECT_EQ(store->LoadActive().size(), 1u);
        for (std::uint32_t unit : {1u, 2u, 3u}) expect_same(read_all(path, unit), of(unit), "old");
    }
    clock.AdvanceSeconds(3600);
    smd::SqliteStore::Options o;
    o.history_days = 30;
    o.maintenance_interval_ms = 3600 * 1000;
    {
        auto store = open_store(path, o);
        ASSERT_TRUE(store && !store->ReadOnly());
        EXPECT_EQ(query_text(path, "PRAGMA user_version"), "2");
        // Before the conversion ran: served from the old rows.
        EXPECT_EQ(store->Latest(3, "ravo3-dc")->bytes, of(3).back().record.bytes);
        for (std::uint32_t unit : {1u, 2u, 3u}) {
            expect_same(read_all(path, unit), of(unit), "converting");
        }
        smd::HistoryRecord fresh = record(1, "ravo3-dc", Bytes(142, 0xEE));
        fresh.time = t0() + hours(1);
        model.Add(*store, fresh, 9001);
        store->Maintain();
        EXPECT_EQ(query_text(path, "SELECT count(*) FROM sqlite_master WHERE name='history_v1'"),
                  "0");
        EXPECT_EQ(store->LoadActive().size(), 1u);
        EXPECT_EQ(store->Events().size(), 1u);
        EXPECT_EQ(store->Count(), model.records.size());
    }
    auto store = open_store(path, o);
    EXPECT_EQ(store->Latest(1, "ravo3-dc")->bytes, Bytes(142, 0xEE));
    for (std::uint32_t unit : {1u, 2u, 3u})
        expect_same(read_all(path, unit), of(unit), "converted");
}

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "host/SMDController.h"
#include "host/SMDVDevice.h"
#include "runtime/SqliteStore.h"
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

TEST(SqliteStore, RetentionKeepsTheNewestRows) {
    TempDir dir;
    smd::SqliteStore::Options o;
    o.history_retention = 5;
    auto store = open_store(dir.File("h.db"), o);
    for (unsigned char i = 0; i < 12; ++i) store->Append(record(i % 2, "ravo3-ac", {i}));
    EXPECT_EQ(store->Count(), 5u);
    EXPECT_EQ(store->Latest(1, "ravo3-ac")->bytes, Bytes({11}));
    EXPECT_EQ(store->Latest(0, "ravo3-ac")->bytes, Bytes({10}));
    EXPECT_EQ(query_text(dir.File("h.db"), "SELECT hex(bytes) FROM history ORDER BY id"),
              "07|08|09|0A|0B");
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
            if (seq == 50) (void)!::write(ready[1], "x", 1);
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
    const auto active = store->LoadActive();
    ASSERT_EQ(active.size(), 1u);
    EXPECT_EQ(active[0].state, 2);
    EXPECT_EQ(store->EventCount(), 3u);
    controller->EvaluateRules(3, "ravo3-dc", {rule(false, "DC_1", "电池组1", 0)});
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
        for (unsigned i = 0; i < 300; ++i) store->Append(record(i, "ravo3-ac", Bytes(900, 7)));
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
    }
    EXPECT_EQ(store->Waiting(), 5u);
    EXPECT_EQ(store->DroppedHistory(), 3u);
    EXPECT_EQ(store->Latest(1, "ravo3-dc")->bytes, Bytes{5});
    EXPECT_EQ(store->Events().size(), 2u);
    EXPECT_EQ(query_text(path, "SELECT count(*) FROM history"), "0");
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
    EXPECT_EQ(query_text(path, "SELECT hex(bytes) FROM history ORDER BY id"), "03|04|05");
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

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "runtime/store/SqliteStore.h"
#include "tests/runtime_fixture.h"

// History closures run on the controller's worker, snapshots and queries on
// other threads: one store serves them all at once.
TEST(SqliteStoreThreads, WritersAndReadersShareOneStore) {
    rt_test::TempDir dir;
    std::string error;
    smd::SqliteStore::Options o;
    o.history_retention = 1000;
    auto store = smd::SqliteStore::Open(dir.File("t.db"), o, &error);
    ASSERT_TRUE(store) << error;
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (unsigned i = 0; i < 40; ++i) {
                smd::HistoryRecord r;
                r.data_id = t;
                r.device_type = "ravo3-ac";
                r.bytes = {static_cast<unsigned char>(i)};
                store->Append(r);
                smd::Snapshot s;
                s.data_id = t;
                s.device_type = "ravo3-ac";
                s.bytes = r.bytes;
                store->SaveSnapshot(s);
                smd::AlarmEvent e;
                e.kind = i % 2 ? smd::AlarmEvent::Kind::Cleared : smd::AlarmEvent::Kind::Raised;
                e.alarm.data_id = t;
                e.alarm.key = "AC_0";
                store->Record(e);
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 100; ++i) {
            (void)store->Latest(1, "ravo3-ac");
            (void)store->LoadActive();
            (void)store->Count();
        }
    });
    for (auto& t : threads) t.join();
    EXPECT_EQ(store->Count(), 120u);
    for (unsigned t = 0; t < 3; ++t) {
        const auto last = store->Latest(t, "ravo3-ac");
        ASSERT_TRUE(last);
        EXPECT_EQ(last->bytes, std::vector<unsigned char>({39}));
    }
    EXPECT_TRUE(store->LoadActive().empty());
    EXPECT_EQ(store->Errors(), 0u);
}

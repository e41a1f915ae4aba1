// Value queries and cache reload of the rectifier unit.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "rc/Ravo3RC.h"
#include "tests/support/Fixture.h"

using namespace testing_support;

namespace {

constexpr unsigned kId = 260;
const char* const kNotReady = "数据未就绪";
const char* const kTimedOut = "数据已超时";

using Parent = testing_support::ParentDevice;

struct Rig {
    FakeClock clock;
    Recorder rec;
    std::shared_ptr<Parent> parent = std::make_shared<Parent>();
    std::shared_ptr<Ravo3RC> unit = std::make_shared<Ravo3RC>();
    Rig() {
        parent->Init(rec.controller, kId, Json::Value());
        unit->InitV(parent.get(), kId, Json::Value(Json::objectValue));
    }
};

std::string Reply(const Ravo3RC& u, const std::string& name = "any") {
    try {
        u.Get_Value(kId, name);
    } catch (const std::out_of_range& e) {
        return e.what();
    }
    return "a value";
}

int call(Ravo3RC& u, int (Ravo3RC::*decoder)(const unsigned char*, int), const Bytes& b) {
    return (u.*decoder)(b.data(), static_cast<int>(b.size()));
}

Bytes analog(int modules, unsigned tag = 0xA1) {
    ByteBuilder b;
    b.u8(0).u8s({0x01, 0x11, 0x22, 0x43}).u8(static_cast<unsigned>(modules));
    for (int m = 0; m < modules; ++m) b.u8s({tag + m, 0x11, 0x22, 0x43}).u8(4).repeat(0x30 + m, 16);
    return b;
}

// Fills every part of the records of a unit with two modules.
void Fill(Ravo3RC& u) {
    ASSERT_EQ(call(u, &Ravo3RC::parse41_41, analog(2)), 48);
    ASSERT_EQ(
        call(u, &Ravo3RC::parse41_43, ByteBuilder().u8s({0, 2, 1, 2, 3, 1, 4, 5, 6, 7, 1, 8})), 12);
    ASSERT_EQ(call(u, &Ravo3RC::parse41_44,
                   ByteBuilder().u8s({0, 2, 1, 4, 1, 0, 1, 0xE2, 0, 4, 0, 1, 0, 1})),
              14);
    ASSERT_EQ(call(u, &Ravo3RC::parse40_46, ByteBuilder().repeat(0x55, 20).u8(0)), 21);
    ASSERT_EQ(call(u, &Ravo3RC::parse42_46, ByteBuilder().repeat(0x66, 8).u8(9).repeat(0x77, 36)),
              45);
}

template <typename T>
Bytes raw(const T& r) {
    const auto* p = reinterpret_cast<const unsigned char*>(&r);
    return Bytes(p, p + sizeof r);
}
Bytes State(const Ravo3RC& u) {
    Bytes b = raw(u.rc);
    for (const auto& c : u.channels) {
        const Bytes one = raw(c);
        b.insert(b.end(), one.begin(), one.end());
    }
    return b;
}

// A cached record: group record with the given count at byte 73, then `len`
// bytes in all, patterned so that every byte's position shows.
Bytes Blob(int len, unsigned count) {
    Bytes b(static_cast<std::size_t>(len));
    for (int i = 0; i < len; ++i) b[i] = static_cast<unsigned char>(i * 7 + 3);
    if (len > 73) b[73] = static_cast<unsigned char>(count);
    return b;
}

}  // namespace

TEST(RcValue, FreshnessDecidesTheReply) {
    const struct {
        const char* name;
        bool cycle;
        long advance;
        const char* reply;
    } cases[] = {
        {"no data yet", false, 0, kNotReady},
        {"no data, much later", false, 100000, kNotReady},
        {"just ended", true, 0, kNotReady},
        {"60 s old", true, 60, kNotReady},
        {"61 s old", true, 61, kTimedOut},
        {"an hour old", true, 3600, kTimedOut},
        {"clock set back 60 s", true, -60, kNotReady},
        {"clock set back 61 s", true, -61, kTimedOut},
        {"clock set back a day", true, -86400, kTimedOut},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r;
        if (c.cycle) r.unit->RoundDone();
        r.clock.Advance(c.advance);
        for (const char* name : {"any", "", "channel_1_a", "IA"})
            EXPECT_EQ(Reply(*r.unit, name), c.reply);
    }
}

TEST(RcCache, EveryLengthCase) {
    const struct {
        const char* name;
        int len;
        unsigned count;
        bool taken;
        std::string out;
    } cases[] = {
        {"group record, no modules", 81, 0, true,
         "rc data_len:81 vs 81\nrc channelLen 32 and 0 left:0\n"},
        {"three modules", 177, 3, true, "rc data_len:177 vs 81\nrc channelLen 32 and 3 left:96\n"},
        {"three modules, one byte short", 176, 3, false,
         "rc data_len:176 vs 81\nrc channelLen 32 and 3 left:95\n"},
        {"no modules, one byte more", 82, 0, false,
         "rc data_len:82 vs 81\nrc channelLen 32 and 0 left:1\n"},
        {"three modules, none present", 81, 3, false,
         "rc data_len:81 vs 81\nrc channelLen 32 and 3 left:0\n"},
        {"shorter than the group record", 80, 0, false, "rc data_len:80 vs 81\n"},
        {"empty", 0, 0, false, "rc data_len:0 vs 81\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r;
        auto& u = *r.unit;
        Fill(u);
        u.RoundDone();
        const Bytes before = State(u);
        const auto snapshots = r.rec.Snapshots().size();
        const auto histories = r.rec.history->All().size();
        const auto update_before = u.last_update;
        const Bytes blob = Blob(c.len, c.count);
        r.clock.Advance(30);

        testing::internal::CaptureStdout();
        const bool taken = u.LoadFromCache(blob.empty() ? nullptr : blob.data(), c.len);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
        EXPECT_EQ(taken, c.taken);
        if (!c.taken) {
            // A rejected record changes nothing at all.
            EXPECT_EQ(State(u), before);
            EXPECT_EQ(u.channels.size(), 2u);
            EXPECT_TRUE(u.ready);
            EXPECT_EQ(u.last_update, update_before);
            continue;
        }
        EXPECT_EQ(State(u), blob);  // data id and count included
        EXPECT_EQ(u.channels.size(), c.count);
        EXPECT_TRUE(u.ready);
        EXPECT_EQ(u.last_update, r.clock.Now());
        EXPECT_EQ(u.DataId(), kId);  // the host's id stays
        // A reload publishes, stores and evaluates nothing.
        EXPECT_EQ(r.rec.Snapshots().size(), snapshots);
        EXPECT_EQ(r.rec.history->All().size(), histories);
        EXPECT_EQ(r.rec.Batches().size(), 1u);
    }
}

TEST(RcCache, ReloadedDataAgeLikeACycles) {
    Rig r;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(r.unit->LoadFromCache(Blob(81, 0).data(), 81));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(Reply(*r.unit), kNotReady);
    r.clock.Advance(60);
    EXPECT_EQ(Reply(*r.unit), kNotReady);
    r.clock.Advance(1);
    EXPECT_EQ(Reply(*r.unit), kTimedOut);
}

// The reloaded count is the fixed one: another count is refused, the same
// count decodes.
TEST(RcCache, ReloadedModuleCountIsTheFixedOne) {
    Rig r;
    auto& u = *r.unit;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(u.LoadFromCache(Blob(81 + 64, 2).data(), 81 + 64));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(call(u, &Ravo3RC::parse41_41, analog(3)), -1);
    EXPECT_EQ(u.channels.size(), 2u);
    EXPECT_EQ(call(u, &Ravo3RC::parse41_41, analog(2)), 48);
}

// A cycle's stored history, given to a fresh unit, rebuilds the same records
// and, at the same time, the same history record.
TEST(RcCache, StoredHistoryRoundTripsIntoAFreshUnit) {
    Rig a;
    Fill(*a.unit);
    a.unit->RoundDone();
    const auto stored = a.rec.history->All();
    ASSERT_EQ(stored.size(), 1u);
    const Bytes record = stored[0].bytes;
    ASSERT_EQ(record.size(), 145u);

    Rig b;
    const std::string blob(record.begin(), record.end());
    testing::internal::CaptureStdout();
    ASSERT_TRUE(b.unit->LoadFromCache(blob));  // the host's string overload
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "rc data_len:145 vs 81\nrc channelLen 32 and 2 left:64\n");
    EXPECT_EQ(State(*b.unit), State(*a.unit));
    EXPECT_EQ(Reply(*b.unit), kNotReady);
    b.unit->RoundDone();
    EXPECT_EQ(b.rec.history->All().at(0).bytes, record);
    // The reloaded alarm states raise the same points.
    const auto pa = a.rec.Batches().at(0).rules;
    const auto pb = b.rec.Batches().at(0).rules;
    ASSERT_EQ(pa.size(), pb.size());
    for (std::size_t i = 0; i < pa.size(); ++i) {
        EXPECT_EQ(pa[i].key, pb[i].key);
        EXPECT_EQ(pa[i].detail, pb[i].detail);
        EXPECT_EQ(pa[i].active, pb[i].active);
    }
}

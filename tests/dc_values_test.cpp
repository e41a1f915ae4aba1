// DC unit construction, settings, value queries and cache reload.
#include <gtest/gtest.h>
#include <json/reader.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "dc/Ravo3DC.h"
#include "tests/support/Fixture.h"

using testing_support::ByteBuilder;
using testing_support::Bytes;
using testing_support::FakeClock;
using testing_support::Recorder;

namespace {

constexpr unsigned kId = 258;

using Parent = testing_support::ParentDevice;

Json::Value ParseJson(const std::string& text) {
    Json::CharReaderBuilder b;
    Json::Value v;
    std::string err;
    std::istringstream in(text);
    if (!Json::parseFromStream(b, in, &v, &err)) throw std::invalid_argument(err);
    return v;
}

std::uint32_t Bits(float f) {
    std::uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}

// The reply text of a query, or "" when it answered.
std::string Reply(const Ravo3DC& unit, const std::string& name) {
    try {
        unit.Get_Value(kId, name);
        return "";
    } catch (const std::out_of_range& e) {
        return e.what();
    }
}

class DcValues : public ::testing::Test {
  protected:
    void SetUp() override {
        parent = std::make_shared<Parent>();
        parent->Init(rec.controller, 1, Json::Value());
        unit = Make();
    }
    std::shared_ptr<Ravo3DC> Make() {
        auto u = std::make_shared<Ravo3DC>("ravo3");
        EXPECT_TRUE(u->InitV(parent.get(), kId, Json::Value()));
        return u;
    }
    void Cycle(float v, float i) {
        const Bytes a = ByteBuilder().f32(v).f32(i).u8(0).u8(0).u8(0);
        ASSERT_EQ(unit->parse42_41(a.data(), static_cast<int>(a.size())), 11);
        unit->RoundDone();
    }
    Bytes Record(const Ravo3DC& u) const {
        const auto* p = reinterpret_cast<const unsigned char*>(&u.record);
        return Bytes(p, p + sizeof u.record);
    }
    Bytes DataIdBytes(const Ravo3DC& u) const {
        return Bytes(u.record.data_id, u.record.data_id + 4);
    }

    FakeClock clock;
    Recorder rec;
    std::shared_ptr<Parent> parent;
    std::shared_ptr<Ravo3DC> unit;
};

// ---------------------------------------------------------------- construction

TEST_F(DcValues, BothConstructorsMakeAnUnconfiguredRavo3DC) {
    Ravo3DC plain;
    Ravo3DC named("RAV-O3 V2");
    for (const Ravo3DC* u : {&plain, &named}) {
        EXPECT_EQ(u->DeviceType(), "ravo3-dc");
        EXPECT_EQ(Record(*u), Bytes(142, 0));
        EXPECT_EQ(u->last_v, 0.0f);
        EXPECT_EQ(u->last_i, 0.0f);
        EXPECT_EQ(Bits(u->diff_v), 0x3DCCCCCDu);
        EXPECT_EQ(Bits(u->diff_i), 0x41A00000u);
        EXPECT_TRUE(u->name_text.empty());
        EXPECT_EQ(u->ready, 0);
        EXPECT_EQ(Reply(*u, "v"), "数据未就绪");
    }
    EXPECT_TRUE(plain.model_text.empty());
    EXPECT_EQ(named.model_text, "RAV-O3 V2");
}

TEST_F(DcValues, SettingsFromTheUnitEntry) {
    struct Case {
        const char* cfg;
        float diff_v, diff_i;
    };
    const std::vector<Case> cases = {
        {R"({"data_id": 258})", 0.1f, 20.0f},
        {R"({"appSetting": null})", 0.1f, 20.0f},
        {R"({"appSetting": "diff_v=0.5"})", 0.1f, 20.0f},
        {R"({"appSetting": [0.5, 1]})", 0.1f, 20.0f},
        {R"({"appSetting": {}})", 0.1f, 20.0f},
        {R"({"appSetting": {"diff_v": "0.5"}})", 0.5f, 20.0f},
        {R"({"appSetting": {"diff_v": 0.5}})", 0.5f, 20.0f},
        {R"({"appSetting": {"diff_i": "5"}})", 0.1f, 5.0f},
        {R"({"appSetting": {"diff_v": "0.25", "diff_i": 12}})", 0.25f, 12.0f},
        {R"({"appSetting": {"diff_v": "abc", "diff_i": ""}})", 0.0f, 0.0f},
        {R"({"appSetting": {"diff_v": null, "diff_i": "7.5V"}})", 0.1f, 7.5f},
        {R"([1, 2])", 0.1f, 20.0f},
        {R"("text")", 0.1f, 20.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cfg);
        auto u = std::make_shared<Ravo3DC>();
        EXPECT_TRUE(u->InitV(parent.get(), kId, ParseJson(c.cfg)));
        EXPECT_EQ(u->diff_v, c.diff_v);
        EXPECT_EQ(u->diff_i, c.diff_i);
        EXPECT_EQ(u->DataId(), kId);
        EXPECT_EQ(DataIdBytes(*u), (Bytes{0x02, 0x01, 0x00, 0x00}));
    }
}

TEST_F(DcValues, ThresholdThatIsNoTextLeavesBeforeTheHostSetUp) {
    auto u = std::make_shared<Ravo3DC>();
    EXPECT_THROW(u->InitV(parent.get(), kId, ParseJson(R"({"appSetting": {"diff_v": [1]}})")),
                 Json::LogicError);
    EXPECT_EQ(u->DataId(), 0u);
    EXPECT_EQ(u->Parent(), nullptr);
}

TEST_F(DcValues, InitVReturnsTheHostsResult) {
    auto u = std::make_shared<Ravo3DC>();
    EXPECT_FALSE(u->InitV(nullptr, 0x04030201u, Json::Value()));
    EXPECT_EQ(DataIdBytes(*u), (Bytes{1, 2, 3, 4}));
}

// ---------------------------------------------------------------- queries

TEST_F(DcValues, Freshness) {
    struct Case {
        long offset;  // seconds from the end of the cycle to the query
        const char* v_reply;
        const char* x_reply;
    };
    const std::vector<Case> cases = {
        {0, "", "数据未就绪"},
        {59, "", "数据未就绪"},
        {60, "", "数据未就绪"},
        {61, "数据已超时", "数据已超时"},
        {3600, "数据已超时", "数据已超时"},
        {-1, "", "数据未就绪"},
        {-60, "", "数据未就绪"},
        {-61, "数据已超时", "数据已超时"},
        {-86400, "数据已超时", "数据已超时"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offset);
        SetUp();
        Cycle(53.5f, 12.0f);
        clock.Advance(c.offset);
        EXPECT_EQ(Reply(*unit, "v"), c.v_reply);
        EXPECT_EQ(Reply(*unit, "i"), c.v_reply);
        EXPECT_EQ(Reply(*unit, "x"), c.x_reply);
        if (!*c.v_reply) {
            EXPECT_EQ(unit->Get_Value(0, "v"), 53.5f);
        }
        clock.Advance(-c.offset);
    }
}

TEST_F(DcValues, EachCycleRenewsTheServingPeriod) {
    Cycle(53.5f, 12.0f);
    clock.Advance(50);
    Cycle(54.0f, 13.0f);
    clock.Advance(60);
    EXPECT_EQ(unit->Get_Value(kId, "v"), 54.0f);
    clock.Advance(1);
    EXPECT_EQ(Reply(*unit, "v"), "数据已超时");
    EXPECT_EQ(unit->ready, 1);
}

TEST_F(DcValues, NamesAreMatchedExactly) {
    Cycle(53.5f, -12.25f);
    EXPECT_EQ(unit->Get_Value(kId, "v"), 53.5f);
    EXPECT_EQ(unit->Get_Value(kId, "i"), -12.25f);
    for (const char* name : {"V", "I", "", "v ", "vv", "x", "dc_m", "user_p"})
        EXPECT_EQ(Reply(*unit, name), "数据未就绪") << name;
}

TEST_F(DcValues, StoredValuesServedUnchanged) {
    const float specials[] = {std::nanf(""), INFINITY, -INFINITY, -0.0f, 1e-40f};
    for (float f : specials) {
        SetUp();
        Cycle(f, f);
        EXPECT_EQ(Bits(unit->Get_Value(kId, "v")), Bits(f));
        EXPECT_EQ(Bits(unit->Get_Value(kId, "i")), Bits(f));
    }
}

// ---------------------------------------------------------------- cache

TEST_F(DcValues, CacheLengths) {
    Bytes good(142, 0);
    good[0] = 9;  // another unit's data id
    const Bytes v = ByteBuilder().f32(52.0f).f32(33.0f);
    std::copy(v.begin(), v.end(), good.begin() + 4);
    struct Case {
        int len;
        bool taken;
    };
    const std::vector<Case> cases = {{0, false},   {1, false},    {141, false},
                                     {143, false}, {-142, false}, {142, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.len);
        SetUp();
        Bytes blob = good;
        blob.resize(c.len > 0 ? static_cast<std::size_t>(c.len) : 0, 0);
        const Bytes before = Record(*unit);
        EXPECT_EQ(unit->LoadFromCache(blob.data(), c.len), c.taken);
        if (c.taken) {
            EXPECT_EQ(Record(*unit), good);
            EXPECT_EQ(unit->ready, 1);
            EXPECT_EQ(unit->last_update, clock.Now());
            EXPECT_EQ(unit->Get_Value(kId, "v"), 52.0f);
            EXPECT_EQ(unit->Get_Value(kId, "i"), 33.0f);
            EXPECT_EQ(unit->DataId(), kId);  // the host's id is not the record's
        } else {
            EXPECT_EQ(Record(*unit), before);
            EXPECT_EQ(unit->ready, 0);
            EXPECT_EQ(Reply(*unit, "v"), "数据未就绪");
        }
    }
    EXPECT_FALSE(unit->LoadFromCache(nullptr, 142));
}

TEST_F(DcValues, StringOverloadReachesTheByteLoad) {
    Bytes blob(142, 0);
    blob[4] = 0x11;
    EXPECT_FALSE(unit->LoadFromCache(std::string()));
    EXPECT_FALSE(unit->LoadFromCache(std::string(141, '\0')));
    EXPECT_TRUE(unit->LoadFromCache(std::string(blob.begin(), blob.end())));
    EXPECT_EQ(Record(*unit), blob);
}

TEST_F(DcValues, RejectedLoadKeepsAReadyUnitAsItWas) {
    Cycle(53.5f, 12.0f);
    const Bytes before = Record(*unit);
    const auto stamp = unit->last_update;
    clock.Advance(30);
    const Bytes wrong(143, 0xEE);
    EXPECT_FALSE(unit->LoadFromCache(wrong.data(), 143));
    EXPECT_EQ(Record(*unit), before);
    EXPECT_EQ(unit->last_update, stamp);
    clock.Advance(31);
    EXPECT_EQ(Reply(*unit, "v"), "数据已超时");  // the failed load did not refresh it
}

TEST_F(DcValues, LoadedRecordIsFreshFromTheLoadWhateverItsStamp) {
    Bytes blob(142, 0);
    const Bytes old_stamp = {0xD0, 0x07, 1, 1, 0, 0, 0};  // year 2000
    std::copy(old_stamp.begin(), old_stamp.end(), blob.begin() + 135);
    ASSERT_TRUE(unit->LoadFromCache(blob.data(), 142));
    clock.Advance(60);
    EXPECT_EQ(Reply(*unit, "v"), "");
    clock.Advance(1);
    EXPECT_EQ(Reply(*unit, "v"), "数据已超时");
}

// A cycle's stored history, loaded into a fresh unit, serves the same values.
TEST_F(DcValues, HistoryRoundTrip) {
    const Bytes analog =
        ByteBuilder().f32(53.25f).f32(-7.5f).u8(2).f32(1).f32(2).u8(1).f32(3).u8(1).u32(0x20202020);
    ASSERT_EQ(unit->parse42_41(analog.data(), static_cast<int>(analog.size())), 27);
    const Bytes alarms = ByteBuilder().u8(1).u8(2).u8(3).u8(0).u8(1).u8(0xE4);
    ASSERT_EQ(unit->parse42_44(alarms.data(), static_cast<int>(alarms.size())), 6);
    unit->RoundDone();
    const auto hist = rec.history->All();
    ASSERT_EQ(hist.size(), 1u);

    clock.Advance(3600);  // the host restarts much later
    auto fresh = Make();
    EXPECT_EQ(Reply(*fresh, "v"), "数据未就绪");
    ASSERT_TRUE(fresh->LoadFromCache(hist[0].bytes.data(), static_cast<int>(hist[0].bytes.size())));
    EXPECT_EQ(fresh->Get_Value(kId, "v"), 53.25f);
    EXPECT_EQ(fresh->Get_Value(kId, "i"), -7.5f);
    EXPECT_EQ(Record(*fresh), Record(*unit));
    EXPECT_EQ(Reply(*unit, "v"), "数据已超时");
}

}  // namespace

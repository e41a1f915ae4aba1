// The bus device template driven with small fake units that record every
// call and return scripted byte counts: settings, the poll cycle, answer
// dispatch with its checks, the model check, child lookup and the hold-off.
#include <gtest/gtest.h>
#include <json/json.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bus/PMBusPower.h"
#include "tests/support/Fixture.h"

using namespace testing_support;

namespace {

// ---------------------------------------------------------------------------
// Fake units

struct Call {
    std::string who;  // "ac11", "dc21", "rc"
    std::string op;   // "40_41", ..., "RoundDone"
    const unsigned char* buf;
    int len;
};

std::vector<Call>& calls() {
    static std::vector<Call> c;
    return c;
}

// "who.op" -> result; a unit without a script takes every byte it is given.
using ParseFn = std::function<int(const unsigned char*, int)>;
std::map<std::string, ParseFn>& script() {
    static std::map<std::string, ParseFn> s;
    return s;
}

class FakeUnit : public SMDSPDevice {
  public:
    bool LoadFromCache(const unsigned char*, int) override { return true; }
    bool InitV(SMDVDevice* parent, unsigned int data_id, const Json::Value& cfg) override {
        init_parent = parent;
        init_cfg = cfg;
        ++init_calls;
        return SMDVDevice::InitV(parent, data_id, cfg);
    }
    void RoundDone() override { calls().push_back({Who(), "RoundDone", nullptr, 0}); }
    bool TakeCountChange() { return std::exchange(count_change, false); }
    bool count_change = false;

    SMDVDevice* init_parent = nullptr;
    Json::Value init_cfg;
    int init_calls = 0;

  protected:
    virtual std::string Who() const = 0;
    int Parse(const char* op, const unsigned char* buf, int len) {
        calls().push_back({Who(), op, buf, len});
        auto it = script().find(Who() + "." + op);
        if (it != script().end()) return it->second(buf, len);
        return len > 0 ? len : 0;
    }
};

class FakeAC : public FakeUnit {
  public:
    int parse40_41(const unsigned char* b, int n) { return Parse("40_41", b, n); }
    int parse40_43(const unsigned char* b, int n) { return Parse("40_43", b, n); }
    int parse40_44(const unsigned char* b, int n) { return Parse("40_44", b, n); }

  protected:
    std::string Who() const override { return "ac" + std::to_string(DataId()); }
};

class FakeDC : public FakeUnit {
  public:
    explicit FakeDC(const std::string& m) : model(m) {}
    int parse42_41(const unsigned char* b, int n) { return Parse("42_41", b, n); }
    int parse42_44(const unsigned char* b, int n) { return Parse("42_44", b, n); }
    std::string model;

  protected:
    std::string Who() const override { return "dc" + std::to_string(DataId()); }
};

class FakeRC : public FakeUnit {
  public:
    int parse41_41(const unsigned char* b, int n) { return Parse("41_41", b, n); }
    int parse41_43(const unsigned char* b, int n) { return Parse("41_43", b, n); }
    int parse41_44(const unsigned char* b, int n) { return Parse("41_44", b, n); }
    int parse40_46(const unsigned char* b, int n) { return Parse("40_46", b, n); }
    int parse42_46(const unsigned char* b, int n) { return Parse("42_46", b, n); }

  protected:
    std::string Who() const override { return "rc"; }
};

class TestBus : public PMBusPower<FakeAC, FakeDC, FakeRC> {
  public:
    TestBus() : PMBusPower({"RAV-O3"}) { device_type_ = "ravo3"; }

    int& step() { return command_step_; }
    unsigned char& version() { return protocol_version_; }
    std::uint8_t& ac_flag() { return acDataFlag_; }
    std::uint8_t& rc_flag() { return rcDataFlag_; }
    bool& model_pending() { return modelCheckPending_; }
    int& repeats() { return repeats_; }
    bool& began_ready() { return cycleBeganReady_; }
    const std::string& model() const { return deviceModel_; }
    const std::vector<std::shared_ptr<FakeAC>>& ac() const { return acDevices_; }
    const std::vector<std::shared_ptr<FakeDC>>& dc() const { return dcDevices_; }
    const std::shared_ptr<FakeRC>& rc() const { return rcDevice_; }
    static unsigned char group() { return commandGroup_; }

    // Puts an answer into the record as the frame layer does and calls the
    // handler directly, so that its result can be seen.
    int Deliver(unsigned char cid1, const Bytes& info) {
        answer_[0] = 0x20;
        answer_[1] = address_;
        answer_[2] = cid1;
        answer_[3] = 0;
        const unsigned lenid = static_cast<unsigned>(info.size() * 2);
        answer_[4] = lenid & 0xFF;
        answer_[5] = (lenid >> 8) & 0xFF;
        std::copy(info.begin(), info.end(), answer_ + kAnswerHeader);
        return process_payload();
    }
    const unsigned char* Info() const { return answer_ + kAnswerHeader; }
};

constexpr unsigned kBusId = 100;

// AC units get the ids 11, 12, ...; DC units 21, 22, ...
Json::Value Config(int n_ac, int n_dc, bool with_rc = true) {
    Json::Value cfg(Json::objectValue);
    cfg["acSetting"] = Json::Value(Json::arrayValue);
    cfg["dcSetting"] = Json::Value(Json::arrayValue);
    for (int i = 0; i < n_ac; ++i) cfg["acSetting"][i]["data_id"] = 11 + i;
    for (int i = 0; i < n_dc; ++i) cfg["dcSetting"][i]["data_id"] = 21 + i;
    if (with_rc) cfg["rcSetting"] = Json::Value(Json::objectValue);
    return cfg;
}

std::string Text(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

class BusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        calls().clear();
        script().clear();
    }
    void TearDown() override { script().clear(); }

    bool Configure(const Json::Value& cfg) {
        bus->Init(rec.controller, kBusId, cfg);
        bus->SetTransport(line);
        return bus->InitSetting(cfg);
    }
    void Feed(unsigned char cid1, const Bytes& info) {
        Bytes frame = answer_frame(cid1, info);
        bus->process(frame.data(), static_cast<unsigned>(frame.size()));
    }
    // Lets the base allow the next poll although an answer is outstanding.
    void TimeOut() { clock.AdvanceMillis(bus->AnswerTimeoutMillis() + 1); }
    std::vector<std::string> Ops() const {
        std::vector<std::string> out;
        for (const auto& c : calls()) out.push_back(c.who + "." + c.op);
        return out;
    }
    std::size_t Sent() const { return line->commands.size(); }
    const SentCommand& Last() const { return line->commands.back(); }

    Recorder rec;
    FakeClock clock;
    NoPause no_pause;
    std::shared_ptr<RecordingTransport> line = std::make_shared<RecordingTransport>();
    std::shared_ptr<TestBus> bus = std::make_shared<TestBus>();
};

// The step whose command this is, by the bus device's own step table.
int StepOf(const SentCommand& c) {
    for (const auto& p : pmbus_power::kPollCommands) {
        if (p.cid1 == c.cid1 && p.cid2 == c.cid2) return p.step;
    }
    return -100;
}

}  // namespace

// ---------------------------------------------------------------------------
// The command set

TEST(PMBusPowerSteps, TableHoldsTheCommandSetInCycleOrder) {
    using pmbus_power::GroupByte;
    struct Row {
        int step;
        unsigned cid1, cid2;
        GroupByte group;
    };
    const std::vector<Row> want = {
        {14, 0x40, 0x51, GroupByte::Never},      {0, 0x40, 0x41, GroupByte::Always},
        {1, 0x40, 0x43, GroupByte::Always},      {2, 0x40, 0x44, GroupByte::Always},
        {4, 0x41, 0x41, GroupByte::Never},       {5, 0x41, 0x43, GroupByte::Never},
        {6, 0x41, 0x44, GroupByte::Never},       {7, 0x42, 0x41, GroupByte::IfVersion21},
        {8, 0x42, 0x44, GroupByte::IfVersion21}, {3, 0x40, 0x46, GroupByte::Never},
        {9, 0x42, 0x46, GroupByte::Never},
    };
    ASSERT_EQ(std::size(pmbus_power::kPollCommands), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        const auto& c = pmbus_power::kPollCommands[i];
        EXPECT_EQ(c.step, want[i].step) << i;
        EXPECT_EQ(c.cid1, want[i].cid1) << i;
        EXPECT_EQ(c.cid2, want[i].cid2) << i;
        EXPECT_EQ(c.group, want[i].group) << i;
    }
    EXPECT_EQ(pmbus_power::FindPollCommand(10), nullptr);
    EXPECT_EQ(TestBus::group(), 0xFF);
}

// ---------------------------------------------------------------------------
// Settings

TEST_F(BusTest, InitSettingMakesUnitsInConfigurationOrder) {
    Json::Value cfg = Config(2, 3);
    cfg["rcSetting"]["data_id"] = 555;  // ignored: the rectifier unit is the bus device's
    ASSERT_TRUE(Configure(cfg));
    ASSERT_EQ(bus->ac().size(), 2u);
    ASSERT_EQ(bus->dc().size(), 3u);
    ASSERT_TRUE(bus->rc());
    EXPECT_EQ(bus->ac()[0]->DataId(), 11u);
    EXPECT_EQ(bus->ac()[1]->DataId(), 12u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(bus->dc()[i]->DataId(), 21u + i);
        EXPECT_EQ(bus->dc()[i]->model, "");  // the model query has not run yet
        EXPECT_EQ(bus->dc()[i]->init_cfg, cfg["dcSetting"][i]);
    }
    EXPECT_EQ(bus->ac()[1]->init_cfg, cfg["acSetting"][1]);
    EXPECT_EQ(bus->ac()[0]->init_parent, bus.get());
    EXPECT_EQ(bus->rc()->DataId(), kBusId);
    EXPECT_EQ(bus->rc()->init_cfg, cfg["rcSetting"]);
    EXPECT_EQ(bus->rc()->init_parent, bus.get());
    // Units reach the controller through their parent.
    EXPECT_EQ(bus->ac()[0]->Controller(), rec.controller);
}

TEST_F(BusTest, InitSettingEdgeCases) {
    struct Case {
        const char* name;
        std::function<Json::Value()> cfg;
        bool result;
        std::size_t n_ac, n_dc;
        bool has_rc;
    };
    const std::vector<Case> cases = {
        {"empty arrays and empty rcSetting", [] { return Config(0, 0); }, true, 0, 0, true},
        {"acSetting an object",
         [] {
             Json::Value c = Config(0, 1);
             c["acSetting"] = Json::Value(Json::objectValue);
             c["acSetting"]["data_id"] = 5;
             return c;
         },
         true, 0, 1, true},
        {"dcSetting a string",
         [] {
             Json::Value c = Config(1, 0);
             c["dcSetting"] = "21";
             return c;
         },
         true, 1, 0, true},
        {"no rcSetting keeps AC and DC units", [] { return Config(2, 1, false); }, false, 2, 1,
         false},
        {"null rcSetting",
         [] {
             Json::Value c = Config(1, 1, false);
             c["rcSetting"] = Json::Value();
             return c;
         },
         false, 1, 1, false},
        {"rcSetting a number is not null",
         [] {
             Json::Value c = Config(0, 0, false);
             c["rcSetting"] = 0;
             return c;
         },
         true, 0, 0, true},
        {"base settings refused: no unit",
         [] {
             Json::Value c = Config(2, 2);
             c["address"] = 300;
             return c;
         },
         false, 0, 0, false},
        {"no configuration at all", [] { return Json::Value(); }, false, 0, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bus = std::make_shared<TestBus>();
        EXPECT_EQ(Configure(c.cfg()), c.result);
        EXPECT_EQ(bus->ac().size(), c.n_ac);
        EXPECT_EQ(bus->dc().size(), c.n_dc);
        EXPECT_EQ(static_cast<bool>(bus->rc()), c.has_rc);
    }
}

TEST_F(BusTest, InitSettingDataIdsMissingDuplicatedOrUnreadable) {
    Json::Value cfg = Config(0, 0);
    cfg["acSetting"][0] = Json::Value(Json::objectValue);  // no "data_id"
    cfg["acSetting"][1]["data_id"] = 7;
    cfg["acSetting"][2]["data_id"] = 7;
    ASSERT_TRUE(Configure(cfg));
    ASSERT_EQ(bus->ac().size(), 3u);
    EXPECT_EQ(bus->ac()[0]->DataId(), 0u);
    EXPECT_EQ(bus->GetChildVDevice(7), bus->ac()[1]);

    bus = std::make_shared<TestBus>();
    cfg = Config(1, 0);
    cfg["acSetting"][1]["data_id"] = "not a number";
    cfg["acSetting"][2]["data_id"] = 13;
    EXPECT_THROW(Configure(cfg), Json::Exception);
    ASSERT_EQ(bus->ac().size(), 1u);  // the units made before stay
    EXPECT_EQ(bus->ac()[0]->DataId(), 11u);
    EXPECT_FALSE(bus->rc());
}

TEST_F(BusTest, SecondInitSettingAppendsUnitsAndReplacesRectifier) {
    ASSERT_TRUE(Configure(Config(1, 1)));
    const auto first_rc = bus->rc();
    ASSERT_TRUE(bus->InitSetting(Config(1, 1)));
    EXPECT_EQ(bus->ac().size(), 2u);
    EXPECT_EQ(bus->dc().size(), 2u);
    EXPECT_NE(bus->rc(), first_rc);
}

// ---------------------------------------------------------------------------
// Child lookup

TEST_F(BusTest, ChildLookupByDataId) {
    Json::Value cfg = Config(2, 2);
    cfg["dcSetting"][1]["data_id"] = 11;  // same id as the first AC unit
    ASSERT_TRUE(Configure(cfg));
    EXPECT_EQ(bus->GetChildVDevice(12), bus->ac()[1]);
    EXPECT_EQ(bus->GetChildVDevice(21), bus->dc()[0]);
    EXPECT_EQ(bus->GetChildVDevice(11), bus->ac()[0]);
    // The rectifier unit carries the bus device's id but is not found by it.
    EXPECT_EQ(bus->GetChildVDevice(kBusId), nullptr);
    EXPECT_EQ(bus->GetChildVDevice(99), nullptr);
    // The lookup shares ownership.
    EXPECT_EQ(bus->ac()[1].use_count(), 1);
    auto held = bus->GetChildVDevice(12);
    EXPECT_EQ(bus->ac()[1].use_count(), 2);
}

TEST_F(BusTest, AllChildrenInOrderAcDcRectifier) {
    ASSERT_TRUE(Configure(Config(2, 1)));
    const auto all = bus->GetAllChildVDevices();
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0], bus->ac()[0]);
    EXPECT_EQ(all[1], bus->ac()[1]);
    EXPECT_EQ(all[2], bus->dc()[0]);
    EXPECT_EQ(all[3], bus->rc());
}

TEST_F(BusTest, AllChildrenEndWithEmptyEntryWithoutRectifier) {
    EXPECT_FALSE(Configure(Config(1, 0, false)));
    const auto all = bus->GetAllChildVDevices();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0], bus->ac()[0]);
    EXPECT_EQ(all[1], nullptr);
}

TEST_F(BusTest, CacheBlobsAreAcceptedWithoutEffect) {
    ASSERT_TRUE(Configure(Config(1, 1)));
    const unsigned char bytes[] = {1, 2, 3};
    EXPECT_TRUE(bus->LoadFromCache(nullptr, 0));
    EXPECT_TRUE(bus->LoadFromCache(bytes, 3));
    EXPECT_TRUE(bus->LoadFromCache(std::string("\x01\x02", 2)));
    EXPECT_TRUE(bus->LoadFromCache(std::string()));
    EXPECT_TRUE(calls().empty());
}

// ---------------------------------------------------------------------------
// Polling without an answer

TEST_F(BusTest, WithoutRectifierTheDeviceIsNeverPolled) {
    EXPECT_FALSE(Configure(Config(1, 1, false)));
    EXPECT_FALSE(bus->RefreshStatus());
    bus->model_pending() = false;
    clock.Advance(60);
    EXPECT_FALSE(bus->RefreshStatus());
    EXPECT_EQ(Sent(), 0u);
    // An answer that nobody asked for is set aside.
    bus->step() = 9;
    EXPECT_EQ(bus->Deliver(0x42, {0x00}), 1);
    bus->step() = 0;
    EXPECT_EQ(bus->Deliver(0x40, {0x00, 0x01, 0x02}), 1);
    EXPECT_TRUE(calls().empty());
}

TEST_F(BusTest, ModelQueryRepeatsUntilAnsweredEvenWithinHoldOff) {
    ASSERT_TRUE(Configure(Config(1, 1)));
    bus->last_update = clock.Now();  // would hold a cycle off
    EXPECT_TRUE(bus->RefreshStatus());
    ASSERT_EQ(Sent(), 1u);
    EXPECT_EQ(Text(Last().raw), "~200140510000FDB3\r");
    EXPECT_EQ(bus->step(), 14);
    TimeOut();
    EXPECT_TRUE(bus->RefreshStatus());
    ASSERT_EQ(Sent(), 2u);
    EXPECT_EQ(Last().cid1, 0x40);
    EXPECT_EQ(Last().cid2, 0x51);
    EXPECT_TRUE(Last().info.empty());
    EXPECT_EQ(bus->step(), 14);
}

TEST_F(BusTest, BaseRefusalSendsNothing) {
    ASSERT_TRUE(Configure(Config(1, 1)));
    line->open = false;
    EXPECT_FALSE(bus->RefreshStatus());
    line->open = true;
    ASSERT_TRUE(bus->RefreshStatus());
    // The answer is outstanding and not yet overdue.
    EXPECT_FALSE(bus->RefreshStatus());
    EXPECT_EQ(Sent(), 1u);
}

TEST_F(BusTest, StepZeroStartsCycleOrSkipsToRectifiers) {
    struct Case {
        int n_ac;
        int start_step;
        unsigned char version;
        int want_step;
        unsigned cid1, cid2;
        Bytes info;
    };
    const std::vector<Case> cases = {
        {1, 0, 0x20, 0, 0x40, 0x41, {0xFF}},
        {1, 0, 0x21, 0, 0x40, 0x41, {0xFF}},
        {0, 0, 0x20, 4, 0x41, 0x41, {}},
        {2, 12, 0x20, 0, 0x40, 0x41, {0xFF}},  // not a step of the cycle
        {0, -3, 0x20, 4, 0x41, 0x41, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.n_ac << " AC units, step " << c.start_step);
        bus = std::make_shared<TestBus>();
        line = std::make_shared<RecordingTransport>();
        ASSERT_TRUE(Configure(Config(c.n_ac, 1)));
        bus->model_pending() = false;
        bus->step() = c.start_step;
        bus->version() = c.version;
        EXPECT_TRUE(bus->RefreshStatus());
        ASSERT_EQ(Sent(), 1u);
        EXPECT_EQ(bus->step(), c.want_step);
        EXPECT_EQ(Last().cid1, c.cid1);
        EXPECT_EQ(Last().cid2, c.cid2);
        EXPECT_EQ(Last().info, c.info);
    }
}

TEST_F(BusTest, PendingCommandIsSentAgainAtEveryStep) {
    // Steps 3 and 9 too: a lost parameter answer must not stall the cycle.
    struct Case {
        int step;
        unsigned cid1, cid2;
        bool group20, group21;
    };
    const std::vector<Case> cases = {
        {1, 0x40, 0x43, true, true},   {2, 0x40, 0x44, true, true},   {4, 0x41, 0x41, false, false},
        {5, 0x41, 0x43, false, false}, {6, 0x41, 0x44, false, false}, {7, 0x42, 0x41, false, true},
        {8, 0x42, 0x44, false, true},  {3, 0x40, 0x46, false, false}, {9, 0x42, 0x46, false, false},
    };
    ASSERT_TRUE(Configure(Config(1, 1)));
    bus->model_pending() = false;
    for (const auto& c : cases) {
        for (unsigned char version : {0x20, 0x21}) {
            SCOPED_TRACE(testing::Message() << "step " << c.step << " version " << int(version));
            bus->version() = version;
            bus->step() = c.step;
            bus->repeats() = 0;
            TimeOut();
            const std::size_t before = Sent();
            EXPECT_TRUE(bus->RefreshStatus());
            ASSERT_EQ(Sent(), before + 1);
            EXPECT_EQ(bus->step(), c.step);
            EXPECT_EQ(Last().cid1, c.cid1);
            EXPECT_EQ(Last().cid2, c.cid2);
            const bool group = version == 0x21 ? c.group21 : c.group20;
            EXPECT_EQ(Last().info, group ? Bytes{0xFF} : Bytes{});
        }
    }
}

// A cycle broken by a silent unit or a broken line starts over with every
// optional query; a single lost answer is only asked for again.
TEST_F(BusTest, ABrokenCycleStartsOverAndIsFull) {
    enum Break { Silence, SilenceAfterAnswer, LineBroke };
    struct Case {
        const char* what;
        Break what_happens;
        int repeats_before;  // the step's command was already sent again this often
        bool began_ready;    // the data-ready flag when the cycle began
        bool starts_over;
    };
    const Case cases[] = {
        {"one silence: the step is asked again", Silence, 0, true, false},
        {"the repeat unanswered too: the cycle starts over", Silence, 1, true, true},
        {"an answer came between the silences", SilenceAfterAnswer, 1, true, false},
        {"the line broke (the host dropped ready)", LineBroke, 0, true, true},
        {"the line broke in a first cycle: nothing to mix", LineBroke, 0, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bus = std::make_shared<TestBus>();
        line = std::make_shared<RecordingTransport>();
        ASSERT_TRUE(Configure(Config(1, 1)));
        bus->model_pending() = false;
        bus->step() = 5;
        bus->ready = c.began_ready ? 1 : 0;
        bus->began_ready() = c.began_ready;
        bus->repeats() = c.repeats_before;
        // The cycle is past the AC steps with data flags that ask for nothing more.
        bus->ac_flag() = 0;
        bus->rc_flag() = 0;
        if (c.what_happens == SilenceAfterAnswer) {
            // An answer of another block: refused, but the unit is not silent.
            EXPECT_EQ(bus->Deliver(0x42, Bytes{0, 1}), 1);
        }
        if (c.what_happens == LineBroke) {
            bus->ClosePort();
            ASSERT_TRUE(bus->OpenPort());
        }
        TimeOut();
        const std::size_t before = Sent();
        ASSERT_TRUE(bus->RefreshStatus());
        ASSERT_EQ(Sent(), before + 1);
        if (!c.starts_over) {
            EXPECT_EQ(bus->step(), 5);
            EXPECT_EQ(StepOf(Last()), 5);
            continue;
        }
        EXPECT_EQ(bus->step(), 0);
        EXPECT_EQ(StepOf(Last()), 0);
        // Flags asking for nothing, and still the status query follows: full.
        bus->ready = 1;
        EXPECT_EQ(bus->Deliver(0x40, ByteBuilder().u8(0x00).u8(1).u8s({0xA0})), 1);
        EXPECT_EQ(bus->step(), 1);
    }
}

TEST_F(BusTest, HoldOffWithinTwoSecondsOfLastUpdate) {
    ASSERT_TRUE(Configure(Config(1, 1)));
    bus->model_pending() = false;
    struct Case {
        long offset;  // seconds from last update to now
        bool polls;
    };
    // Negative offsets: the clock was set back; polling goes on.
    const std::vector<Case> cases = {{0, false},   {1, false}, {2, true},
                                     {3600, true}, {-1, true}, {-86400, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offset);
        bus->last_update = clock.Now() - boost::posix_time::seconds(c.offset);
        bus->serial_state = 0;
        bus->step() = 0;
        const std::size_t before = Sent();
        EXPECT_EQ(bus->RefreshStatus(), c.polls);
        EXPECT_EQ(Sent(), before + (c.polls ? 1 : 0));
        if (!c.polls) {
            EXPECT_EQ(bus->serial_state, 0);
        }
    }
    // An overdue answer within the hold-off: declined, and the line is idle.
    bus->last_update = clock.Now();
    bus->serial_state = 1;
    TimeOut();
    EXPECT_FALSE(bus->RefreshStatus());
    EXPECT_EQ(bus->serial_state, 0);
}

// ---------------------------------------------------------------------------
// Complete cycles through the frame layer

namespace {

struct CycleCase {
    const char* name;
    int n_ac, n_dc;
    bool ready;
    std::uint8_t ac_flag, rc_flag, dc_flag;
    unsigned char version;
    std::vector<int> steps;  // after the model query; the cycle ends after the last
};

void PrintTo(const CycleCase& c, std::ostream* os) {
    *os << c.name;
}

}  // namespace

class CycleTest : public BusTest, public ::testing::WithParamInterface<CycleCase> {};

TEST_P(CycleTest, FollowsTransitionTable) {
    const CycleCase& c = GetParam();
    Json::Value cfg = Config(c.n_ac, c.n_dc);
    cfg["protocol_version"] = c.version;
    ASSERT_TRUE(Configure(cfg));
    bus->ready = c.ready ? 1 : 0;
    ASSERT_TRUE(bus->RefreshStatus());
    Feed(0x40, ByteBuilder().hex("5241562D4F33").repeat(0, 14));

    // Answer whatever was asked until no further command comes.
    const auto info_for = [&](int step) -> Bytes {
        switch (step) {
            case 0:
            case 1:
            case 2:
                return ByteBuilder().u8(c.ac_flag).u8(c.n_ac).u8s({0xA0, 0xA1});
            case 4:
            case 5:
            case 6:
                return ByteBuilder().u8(c.rc_flag).u8s({0x01, 0x02});
            case 7:
            case 8:
                return ByteBuilder().u8(c.dc_flag).u8(c.n_dc).u8s({0xD0});
            default:
                return ByteBuilder().u8s({0x50, 0x51});
        }
    };
    std::vector<int> steps;
    for (std::size_t answered = 1; answered < Sent() && answered < 20; ++answered) {
        const SentCommand cmd = line->commands[answered];
        const int step = StepOf(cmd);
        steps.push_back(step);
        EXPECT_EQ(bus->step(), step);
        const bool group = step <= 2 || (c.version == 0x21 && (step == 7 || step == 8));
        EXPECT_EQ(cmd.info, group ? Bytes{0xFF} : Bytes{}) << "step " << step;
        EXPECT_EQ(cmd.ver, c.version);
        Feed(cmd.cid1, info_for(step));
    }
    EXPECT_EQ(steps, c.steps);

    // The cycle end: every AC, then every DC, then the rectifier unit.
    std::vector<std::string> round_done;
    for (const auto& call : calls())
        if (call.op == "RoundDone") round_done.push_back(call.who);
    std::vector<std::string> want;
    for (int i = 0; i < c.n_ac; ++i) want.push_back("ac" + std::to_string(11 + i));
    for (int i = 0; i < c.n_dc; ++i) want.push_back("dc" + std::to_string(21 + i));
    want.push_back("rc");
    EXPECT_EQ(round_done, want);
    EXPECT_EQ(calls().back().who + calls().back().op, "rcRoundDone");
    EXPECT_EQ(bus->step(), 0);
    EXPECT_EQ(bus->serial_state, 0);
    // The frame layer saw the cycle end.
    EXPECT_EQ(bus->ready, 1);
    EXPECT_EQ(bus->last_update, clock.Now());
    EXPECT_EQ(bus->Stats().cycles, 1u);
    // One 20 ms pause per answer, model answer included (the frame layer's
    // guard before each next command adds its own shorter ones).
    EXPECT_EQ(std::count(no_pause.pauses.begin(), no_pause.pauses.end(), 20000u),
              static_cast<long>(c.steps.size() + 1));
}

INSTANTIATE_TEST_SUITE_P(
    Transitions, CycleTest,
    ::testing::Values(
        CycleCase{"Full", 1, 1, false, 0, 0, 0, 0x20, {0, 1, 2, 4, 5, 6, 7, 8, 3, 9}},
        CycleCase{"FullTwoAcThreeDc", 2, 3, false, 0, 0, 0, 0x20, {0, 1, 2, 4, 5, 6, 7, 8, 3, 9}},
        CycleCase{"FlagLess", 1, 1, true, 0, 0, 0, 0x20, {0, 4, 7, 3, 9}},
        CycleCase{"AcStatus", 1, 1, true, 0x10, 0, 0, 0x20, {0, 1, 4, 7, 3, 9}},
        CycleCase{"AcAlarm", 1, 1, true, 0x01, 0, 0, 0x20, {0, 2, 4, 7, 3, 9}},
        CycleCase{"AcBoth", 1, 1, true, 0x11, 0, 0, 0x20, {0, 1, 2, 4, 7, 3, 9}},
        CycleCase{"AcOtherBits", 1, 1, true, 0xEE, 0, 0, 0x20, {0, 4, 7, 3, 9}},
        CycleCase{"RcStatus", 1, 1, true, 0, 0x10, 0, 0x20, {0, 4, 5, 7, 3, 9}},
        CycleCase{"RcAlarm", 1, 1, true, 0, 0x01, 0, 0x20, {0, 4, 6, 7, 3, 9}},
        CycleCase{"RcBoth", 1, 1, true, 0, 0x11, 0, 0x20, {0, 4, 5, 6, 7, 3, 9}},
        CycleCase{"DcStatusBit", 1, 1, true, 0, 0, 0x10, 0x20, {0, 4, 7, 8, 3, 9}},
        CycleCase{"DcAlarmBit", 1, 1, true, 0, 0, 0x01, 0x20, {0, 4, 7, 8, 3, 9}},
        CycleCase{"DcOtherBits", 1, 1, true, 0, 0, 0xEE, 0x20, {0, 4, 7, 3, 9}},
        CycleCase{"NoAcFull", 0, 1, false, 0, 0, 0, 0x20, {4, 5, 6, 7, 8, 9}},
        CycleCase{"NoAcFlagLess", 0, 2, true, 0, 0, 0, 0x20, {4, 7, 9}},
        CycleCase{"NoDcFull", 1, 0, false, 0, 0, 0, 0x20, {0, 1, 2, 4, 5, 6}},
        CycleCase{"NoDcFlagLess", 2, 0, true, 0, 0, 0, 0x20, {0, 4}},
        CycleCase{"NoDcRcAlarm", 1, 0, true, 0, 0x01, 0, 0x20, {0, 4, 6}},
        CycleCase{"RectifierOnly", 0, 0, false, 0, 0, 0, 0x20, {4, 5, 6}},
        CycleCase{"Version21Full", 1, 1, false, 0, 0, 0, 0x21, {0, 1, 2, 4, 5, 6, 7, 8, 3, 9}},
        CycleCase{"Version21FlagLess", 1, 1, true, 0, 0, 0x01, 0x21, {0, 4, 7, 8, 3, 9}}),
    [](const ::testing::TestParamInfo<CycleCase>& i) { return std::string(i.param.name); });

TEST_F(BusTest, FirstCycleIsFullThenHoldOffThenFlagsSteer) {
    ASSERT_TRUE(Configure(Config(1, 1)));
    ASSERT_TRUE(bus->RefreshStatus());
    Feed(0x40, ByteBuilder().hex("5241562D4F33"));
    const std::vector<std::pair<unsigned, Bytes>> cycle1 = {
        {0x40, {0, 1}}, {0x40, {0, 1}}, {0x40, {0, 1}}, {0x41, {0}}, {0x41, {0}},
        {0x41, {0}},    {0x42, {0, 1}}, {0x42, {0, 1}}, {0x40, {}},  {0x42, {}}};
    for (const auto& a : cycle1) Feed(a.first, a.second);
    EXPECT_EQ(Sent(), 11u);
    EXPECT_EQ(bus->ready, 1);

    clock.Advance(1);
    EXPECT_FALSE(bus->RefreshStatus());
    clock.Advance(1);
    ASSERT_TRUE(bus->RefreshStatus());
    EXPECT_EQ(StepOf(Last()), 0);
    // No flag set now: the short cycle.
    for (const auto& a : std::vector<std::pair<unsigned, Bytes>>{
             {0x40, {0, 1}}, {0x41, {0}}, {0x42, {0, 1}}, {0x40, {}}, {0x42, {}}})
        Feed(a.first, a.second);
    std::vector<int> steps;
    for (std::size_t i = 11; i < Sent(); ++i) steps.push_back(StepOf(line->commands[i]));
    EXPECT_EQ(steps, (std::vector<int>{0, 4, 7, 3, 9}));
    EXPECT_EQ(bus->Stats().cycles, 2u);
}

// A unit that takes a new count has the rest of that cycle and the whole next
// one ask for every optional answer, whatever the data flags say.
TEST_F(BusTest, ACountChangeAsksForEverythingUntilTheNextCycleEnds) {
    struct Case {
        const char* name;
        int step;  // the answer after which a unit reports the change
        std::vector<int> cycle2;
    };
    const std::vector<int> full = {0, 1, 2, 4, 5, 6, 7, 8, 3, 9}, flagless = {0, 4, 7, 3, 9};
    for (const Case& c :
         {Case{"AC channels", 0, full}, Case{"modules", 4, {0, 4, 5, 6, 7, 8, 3, 9}},
          Case{"none", -1, flagless}}) {
        SCOPED_TRACE(c.name);
        bus = std::make_shared<TestBus>();
        line = std::make_shared<RecordingTransport>();
        ASSERT_TRUE(Configure(Config(1, 1)));
        ASSERT_TRUE(bus->RefreshStatus());
        Feed(0x40, ByteBuilder().hex("5241562D4F33"));
        std::vector<std::vector<int>> cycles;
        for (std::uint64_t n = 1; n <= 4; ++n) {
            std::vector<int> steps;
            if (n > 1) {
                clock.Advance(2);
                ASSERT_TRUE(bus->RefreshStatus());
            }
            while (bus->Stats().cycles < n && steps.size() < 12) {
                const int step = StepOf(Last());
                steps.push_back(step);
                if (n == 2 && step == c.step) {
                    (step == 0 ? static_cast<FakeUnit&>(*bus->ac()[0])
                               : static_cast<FakeUnit&>(*bus->rc()))
                        .count_change = true;
                }
                const unsigned char cid1 = Last().cid1;
                Feed(cid1, step == 3 || step == 9 ? Bytes{} : Bytes{0, 1});
            }
            cycles.push_back(steps);
        }
        EXPECT_EQ(cycles[0], full);
        EXPECT_EQ(cycles[1], c.cycle2);
        EXPECT_EQ(cycles[2], c.step < 0 ? flagless : full);
        EXPECT_EQ(cycles[3], flagless);
    }
}

// ---------------------------------------------------------------------------
// Rejected and set-aside answers

namespace {

struct RejectCase {
    const char* name;
    int step;
    unsigned char cid1;
    Bytes info;
    std::map<std::string, ParseFn> script;
    int result;
    std::vector<std::string> logs;
    int next_step;  // -1: no command sent, the step stays
    bool reset;
};

ParseFn Returns(int v) {
    return [v](const unsigned char*, int) { return v; };
}
ParseFn LenPlus(int d) {
    return [d](const unsigned char*, int n) { return n + d; };
}

const std::string kP = "PMBusPower:ProcotolError 100 ";

}  // namespace

TEST_F(BusTest, AnswersAreCheckedBeforeTheCycleMovesOn) {
    // One AC unit (11) and one DC unit (21); the device has valid data, no flags.
    const std::vector<RejectCase> cases = {
        {"0: other block", 0, 0x41, {0x11, 1, 0}, {}, 0, {}, -1, true},
        {"0: no INFO", 0, 0x40, {}, {}, 0, {}, -1, true},
        {"0: only the data flag", 0, 0x40, {0x11}, {}, 0, {}, -1, true},
        {"0: unit count differs",
         0,
         0x40,
         {0x11, 2, 0},
         {},
         0,
         {kP + "read ac_number is 2, configured ac_number is 1"},
         -1,
         true},
        {"0: units leave bytes",
         0,
         0x40,
         {0, 1, 1, 2, 3, 4},
         {{"ac11.40_41", LenPlus(-2)}},
         1,
         {kP + "parse 40_41 overflow memory boundary"},
         -1,
         false},
        {"0: units run over",
         0,
         0x40,
         {0, 1, 1, 2, 3, 4},
         {{"ac11.40_41", LenPlus(1)}},
         1,
         {kP + "parse 40_41 overflow memory boundary"},
         -1,
         false},
        {"0: unit refuses", 0, 0x40, {0, 1, 9}, {{"ac11.40_41", Returns(-1)}}, 1, {}, -1, false},
        {"1: other block", 1, 0x42, {0, 1, 5}, {}, 1, {}, -1, false},
        {"1: bytes differ",
         1,
         0x40,
         {0, 1, 5, 6},
         {{"ac11.40_43", LenPlus(-1)}},
         1,
         {kP + "parse 40_43 overflow memory boundary"},
         -1,
         false},
        {"1: unit refuses", 1, 0x40, {0, 1, 5}, {{"ac11.40_43", Returns(-1)}}, 1, {}, -1, false},
        {"1: nothing after the head moves on", 1, 0x40, {0, 1}, {}, 1, {}, 4, false},
        {"1: shorter than the head moves on", 1, 0x40, {}, {}, 1, {}, 4, false},
        {"2: other block", 2, 0x41, {0, 1, 5}, {}, 1, {}, -1, false},
        {"2: bytes differ", 2, 0x40, {0, 1, 5, 6}, {{"ac11.40_44", LenPlus(-1)}}, 1, {}, -1, false},
        {"2: unit refuses", 2, 0x40, {0, 1, 5}, {{"ac11.40_44", Returns(-1)}}, 1, {}, -1, false},
        {"2: no INFO", 2, 0x40, {}, {}, 1, {}, -1, false},
        {"4: other block", 4, 0x40, {0x11, 1}, {}, 1, {}, -1, false},
        {"4: no INFO", 4, 0x41, {}, {}, 1, {}, -1, false},
        {"4: one byte short",
         4,
         0x41,
         {0, 1, 2},
         {{"rc.41_41", LenPlus(-1)}},
         1,
         {kP + "parse p41_41 overflow memory boundary"},
         -1,
         false},
        {"4: refused",
         4,
         0x41,
         {0, 1, 2},
         {{"rc.41_41", Returns(-1)}},
         1,
         {kP + "parse p41_41 overflow memory boundary"},
         -1,
         false},
        {"5: other block", 5, 0x42, {0, 1}, {}, 1, {}, -1, false},
        {"5: count differs",
         5,
         0x41,
         {0, 1},
         {{"rc.41_43", LenPlus(1)}},
         1,
         {kP + "parse p41_43 overflow memory boundary"},
         -1,
         false},
        {"6: other block", 6, 0x40, {0, 1}, {}, 1, {}, -1, false},
        {"6: too many modules gives 0",
         6,
         0x41,
         {0, 5},
         {{"rc.41_44", Returns(0)}},
         1,
         {kP + "parse p41_44 overflow memory boundary"},
         -1,
         false},
        {"7: other block", 7, 0x40, {0x11, 1, 0}, {}, 1, {}, -1, false},
        {"7: only the data flag", 7, 0x42, {0x11}, {}, 1, {}, -1, false},
        {"7: unit count differs",
         7,
         0x42,
         {0, 2, 0},
         {},
         1,
         {kP + "read dc_number is 2, configured dc_number is 1"},
         -1,
         false},
        {"7: unit refuses", 7, 0x42, {0, 1, 5}, {{"dc21.42_41", Returns(-1)}}, 1, {}, -1, false},
        {"7: units run over: logged, goes on",
         7,
         0x42,
         {0, 1, 5},
         {{"dc21.42_41", LenPlus(4)}},
         1,
         {kP + "parse 42_41 overflow memory boundary"},
         3,
         false},
        {"7: units leave bytes: goes on",
         7,
         0x42,
         {0, 1, 5, 6},
         {{"dc21.42_41", Returns(0)}},
         1,
         {},
         3,
         false},
        {"8: other block", 8, 0x41, {0, 1, 5}, {}, 1, {}, -1, false},
        {"8: only the data flag", 8, 0x42, {0}, {}, 1, {}, -1, false},
        {"8: unit count differs",
         8,
         0x42,
         {0, 0, 5},
         {},
         1,
         {kP + "read dc_number is 0, configured dc_number is 1"},
         -1,
         false},
        {"8: unit refuses", 8, 0x42, {0, 1, 5}, {{"dc21.42_44", Returns(-1)}}, 1, {}, -1, false},
        {"8: units run over: logged, goes on",
         8,
         0x42,
         {0, 1, 5},
         {{"dc21.42_44", LenPlus(1)}},
         1,
         {kP + "parse 42_44 overflow memory boundary"},
         3,
         false},
        {"3: other block", 3, 0x42, {1, 2}, {}, 1, {}, -1, false},
        {"3: refused", 3, 0x40, {1, 2}, {{"rc.40_46", Returns(-1)}}, 1, {}, -1, false},
        {"3: runs over: logged, goes on",
         3,
         0x40,
         {1, 2},
         {{"rc.40_46", Returns(29)}},
         1,
         {kP + "parse 40_46 overflow memory boundary"},
         9,
         false},
        {"3: fewer bytes: goes on", 3, 0x40, {1, 2}, {{"rc.40_46", Returns(1)}}, 1, {}, 9, false},
        {"9: other block", 9, 0x40, {1, 2}, {}, 1, {}, -1, false},
        {"9: refused", 9, 0x42, {1, 2}, {{"rc.42_46", Returns(-1)}}, 1, {}, -1, false},
        {"9: runs over: same message as step 3",
         9,
         0x42,
         {1, 2},
         {{"rc.42_46", Returns(45)}},
         0,
         {kP + "parse 40_46 overflow memory boundary"},
         -1,
         true},
        {"14: other block", 14, 0x41, ByteBuilder().hex("5241562D4F33"), {}, 1, {}, -1, false},
        {"not a step", 10, 0x40, {0, 1, 2}, {}, 1, {}, -1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bus = std::make_shared<TestBus>();
        line = std::make_shared<RecordingTransport>();
        rec.Clear();
        calls().clear();
        script() = c.script;
        ASSERT_TRUE(Configure(Config(1, 1)));
        bus->model_pending() = c.step == 14;
        bus->ready = 1;
        bus->step() = c.step;
        bus->serial_state = 1;
        bus->ac_flag() = 0x5A;
        bus->rc_flag() = 0x5A;
        EXPECT_EQ(bus->Deliver(c.cid1, c.info), c.result);
        EXPECT_EQ(rec.LogTexts(), c.logs);
        if (c.next_step < 0) {
            EXPECT_EQ(Sent(), 0u);
            EXPECT_EQ(bus->step(), c.step == 9 && c.result == 0 ? 0 : c.step);
        } else {
            ASSERT_EQ(Sent(), 1u);
            EXPECT_EQ(StepOf(Last()), c.next_step);
            EXPECT_EQ(bus->step(), c.next_step);
        }
        // Reset() ends the exchange; sending a command starts a new one.
        EXPECT_EQ(bus->serial_state, c.reset ? 0 : 1);
        EXPECT_EQ(bus->model_pending(), c.step == 14);
    }
}

TEST_F(BusTest, MessagesCarryDataIdAndCountsWithTheirKinds) {
    ASSERT_TRUE(Configure(Config(1, 1)));
    bus->model_pending() = false;
    bus->step() = 0;
    EXPECT_EQ(bus->Deliver(0x40, {0x00, 0x02, 0x00}), 0);
    bus->step() = 7;
    EXPECT_EQ(bus->Deliver(0x42, {0x00, 0x00}), 1);
    const auto logs = rec.Logs();
    ASSERT_EQ(logs.size(), 2u);
    using K = smd::LogArg::Kind;
    for (const auto& l : logs) {
        ASSERT_EQ(l.args.size(), 3u);
        EXPECT_EQ(l.args[0].kind, K::U32);
        EXPECT_EQ(l.args[0].uinteger, kBusId);
        EXPECT_EQ(l.args[1].kind, K::U8);
        EXPECT_EQ(l.args[2].kind, K::U32);
        EXPECT_EQ(l.args[2].uinteger, 1u);
    }
    EXPECT_EQ(logs[0].format,
              "PMBusPower:ProcotolError {} read ac_number is {}, configured ac_number is {}");
    EXPECT_EQ(logs[0].args[1].uinteger, 2u);
    EXPECT_EQ(logs[1].args[1].uinteger, 0u);

    bus->step() = 4;
    script()["rc.41_41"] = Returns(-1);
    EXPECT_EQ(bus->Deliver(0x41, {0x00}), 1);
    ASSERT_EQ(rec.Logs().size(), 3u);
    ASSERT_EQ(rec.Logs()[2].args.size(), 1u);
    EXPECT_EQ(rec.Logs()[2].args[0].kind, K::U32);
}

TEST_F(BusTest, FlagsAreTakenBeforeLaterChecks) {
    ASSERT_TRUE(Configure(Config(1, 1)));
    bus->model_pending() = false;
    // The AC data flag is stored before the unit count is checked.
    bus->step() = 0;
    EXPECT_EQ(bus->Deliver(0x40, {0x11, 0x03}), 0);
    EXPECT_EQ(bus->ac_flag(), 0x11);
    // The rectifier data flag is stored before the unit parses.
    bus->step() = 4;
    script()["rc.41_41"] = LenPlus(-1);
    EXPECT_EQ(bus->Deliver(0x41, {0x10, 0x01}), 1);
    EXPECT_EQ(bus->rc_flag(), 0x10);
    // A short answer changes neither.
    bus->step() = 0;
    EXPECT_EQ(bus->Deliver(0x40, {0x22}), 0);
    EXPECT_EQ(bus->ac_flag(), 0x11);
    bus->step() = 4;
    EXPECT_EQ(bus->Deliver(0x41, {}), 1);
    EXPECT_EQ(bus->rc_flag(), 0x10);
}

TEST_F(BusTest, RejectedFirstAnswerIsNoCycleEndForTheFrameLayer) {
    ASSERT_TRUE(Configure(Config(1, 1)));
    bus->model_pending() = false;
    ASSERT_TRUE(bus->RefreshStatus());
    Feed(0x40, {0x00, 0x02});  // two AC units where one is configured
    EXPECT_EQ(bus->ready, 0);
    EXPECT_EQ(bus->Stats().cycles, 0u);
    EXPECT_EQ(bus->step(), 0);
    // The exchange ended: the next poll starts the cycle again at once.
    ASSERT_TRUE(bus->RefreshStatus());
    EXPECT_EQ(Sent(), 2u);
    EXPECT_EQ(StepOf(Last()), 0);
}

// ---------------------------------------------------------------------------
// What each unit is handed

TEST_F(BusTest, AcUnitsReadOneAfterAnother) {
    ASSERT_TRUE(Configure(Config(2, 1)));
    bus->model_pending() = false;
    bus->step() = 0;
    script()["ac11.40_41"] = Returns(5);
    const Bytes info = {0x00, 0x02, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(bus->Deliver(0x40, info), 1);
    ASSERT_EQ(calls().size(), 2u);
    EXPECT_EQ(calls()[0].who, "ac11");
    EXPECT_EQ(calls()[0].buf, bus->Info() + 2);
    EXPECT_EQ(calls()[0].len, 9);
    EXPECT_EQ(calls()[1].who, "ac12");
    EXPECT_EQ(calls()[1].buf, bus->Info() + 7);
    EXPECT_EQ(calls()[1].len, 4);
    EXPECT_EQ(bus->step(), 1);

    // The first unit refusing stops the walk.
    calls().clear();
    bus->step() = 2;
    script()["ac11.40_44"] = Returns(-1);
    EXPECT_EQ(bus->Deliver(0x40, info), 1);
    EXPECT_EQ(Ops(), std::vector<std::string>{"ac11.40_44"});
}

TEST_F(BusTest, DcDataStartsAtTheCountByteWithFourOrMoreUnits) {
    struct Case {
        int n_dc;
        int start;
    };
    for (const Case c : {Case{1, 2}, Case{3, 2}, Case{4, 1}, Case{5, 1}}) {
        SCOPED_TRACE(c.n_dc);
        bus = std::make_shared<TestBus>();
        calls().clear();
        script().clear();
        ASSERT_TRUE(Configure(Config(1, c.n_dc)));
        bus->model_pending() = false;
        bus->ready = 1;
        for (int i = 0; i < c.n_dc; ++i)
            script()["dc" + std::to_string(21 + i) + ".42_41"] = Returns(3);
        Bytes info = {0x00, static_cast<unsigned char>(c.n_dc)};
        info.resize(2 + 3 * c.n_dc, 0x33);
        bus->step() = 7;
        EXPECT_EQ(bus->Deliver(0x42, info), 1);
        ASSERT_EQ(calls().size(), static_cast<std::size_t>(c.n_dc));
        const int len = static_cast<int>(info.size());
        for (int i = 0; i < c.n_dc; ++i) {
            EXPECT_EQ(calls()[i].who, "dc" + std::to_string(21 + i));
            EXPECT_EQ(calls()[i].buf, bus->Info() + c.start + 3 * i);
            EXPECT_EQ(calls()[i].len, len - c.start - 3 * i);
        }
        EXPECT_TRUE(rec.LogTexts().empty());  // fewer bytes used than L is no fault
        EXPECT_EQ(bus->step(), 3);
        // The DC alarm states always start after the count byte.
        calls().clear();
        bus->step() = 8;
        EXPECT_EQ(bus->Deliver(0x42, info), 1);
        ASSERT_FALSE(calls().empty());
        EXPECT_EQ(calls()[0].buf, bus->Info() + 2);
    }
}

TEST_F(BusTest, UnitsPastAnOverrunGetNoBytes) {
    ASSERT_TRUE(Configure(Config(1, 2)));
    bus->model_pending() = false;
    bus->step() = 7;
    script()["dc21.42_41"] = LenPlus(10);
    EXPECT_EQ(bus->Deliver(0x42, {0x00, 0x02, 0x01, 0x02}), 1);
    ASSERT_EQ(calls().size(), 2u);
    EXPECT_EQ(calls()[1].len, -10);
    EXPECT_EQ(calls()[1].buf, bus->Info() + 4);  // never past the INFO
    EXPECT_EQ(rec.LogTexts(),
              std::vector<std::string>{kP + "parse 42_41 overflow memory boundary"});
}

TEST_F(BusTest, RectifierAndParameterAnswersGetTheWholeInfo) {
    ASSERT_TRUE(Configure(Config(1, 1)));
    bus->model_pending() = false;
    bus->ready = 0;
    const Bytes info = {0x00, 0x01, 0x02, 0x03};
    for (int step : {4, 5, 6}) {
        bus->step() = step;
        EXPECT_EQ(bus->Deliver(0x41, info), 1);
    }
    bus->step() = 3;
    EXPECT_EQ(bus->Deliver(0x40, info), 1);
    bus->step() = 9;
    EXPECT_EQ(bus->Deliver(0x42, info), 0);
    EXPECT_EQ(Ops(),
              (std::vector<std::string>{"rc.41_41", "rc.41_43", "rc.41_44", "rc.40_46", "rc.42_46",
                                        "ac11.RoundDone", "dc21.RoundDone", "rc.RoundDone"}));
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(calls()[i].buf, bus->Info());
        EXPECT_EQ(calls()[i].len, 4);
    }
}

TEST_F(BusTest, AcStatusOfTwoBytesCallsNoUnit) {
    ASSERT_TRUE(Configure(Config(2, 1)));
    bus->model_pending() = false;
    bus->ready = 0;
    bus->step() = 1;
    EXPECT_EQ(bus->Deliver(0x40, {0x00, 0x02}), 1);
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(bus->step(), 2);
}

// ---------------------------------------------------------------------------
// The model check

TEST_F(BusTest, ModelCheck) {
    struct Case {
        const char* name;
        Bytes field;
        bool alarm;
        std::size_t kept;  // bytes of deviceModel_
    };
    const Bytes rav = ByteBuilder().hex("5241562D4F33");  // "RAV-O3"
    const std::vector<Case> cases = {
        {"bare name", rav, false, 6},
        {"NUL padded", ByteBuilder().bytes(rav).repeat(0, 14), false, 20},
        {"blank padded", ByteBuilder().bytes(rav).repeat(' ', 14), false, 20},
        {"mixed padding", ByteBuilder().bytes(rav).u8s({' ', 0, ' ', 0, 0}), false, 11},
        {"longer than the field", ByteBuilder().bytes(rav).repeat(0, 14).hex("5A5A5A"), false, 20},
        {"other model", ByteBuilder().hex("4B4C582D3034").repeat(0, 14), true, 20},
        {"name with a suffix", ByteBuilder().bytes(rav).u8('X'), true, 7},
        {"leading blank", ByteBuilder().u8(' ').bytes(rav), true, 7},
        {"lower case", ByteBuilder().hex("7261762D6F33"), true, 6},
        {"NUL inside", ByteBuilder().hex("524156002D4F33"), true, 7},
        {"cut short", ByteBuilder().hex("5241562D4F"), true, 5},
        {"empty", {}, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Recorder rec;  // a fresh alarm table per case
        bus = std::make_shared<TestBus>();
        line = std::make_shared<RecordingTransport>();
        const Json::Value cfg = Config(1, 1);
        bus->Init(rec.controller, kBusId, cfg);
        bus->SetTransport(line);
        ASSERT_TRUE(bus->InitSetting(cfg));
        ASSERT_TRUE(bus->RefreshStatus());
        Feed(0x40, c.field);
        const std::string raw(c.field.begin(), c.field.begin() + c.kept);
        EXPECT_EQ(bus->model(), raw);
        EXPECT_FALSE(bus->model_pending());
        // Polling goes on either way.
        ASSERT_EQ(Sent(), 2u);
        EXPECT_EQ(StepOf(Last()), 0);
        const auto batches = rec.Batches();
        if (!c.alarm) {
            EXPECT_TRUE(batches.empty());
            EXPECT_TRUE(rec.Events().empty());
            continue;
        }
        ASSERT_EQ(batches.size(), 1u);
        EXPECT_EQ(batches[0].data_id, kBusId);
        EXPECT_EQ(batches[0].device_type, "ravo3");
        ASSERT_EQ(batches[0].rules.size(), 1u);
        const rule_value& r = batches[0].rules[0];
        EXPECT_EQ(r.level, 3);
        EXPECT_EQ(r.key, "device_model");
        EXPECT_EQ(r.code, "70319");
        EXPECT_EQ(r.name, "设备配置检测");
        EXPECT_EQ(r.detail, "本驱动类型:ravo3 检测型号:" + raw);
        EXPECT_EQ(r.active, 1);
        EXPECT_EQ(r.seq, 0);
        const auto events = rec.Events();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].kind, smd::AlarmEvent::Kind::Raised);
        EXPECT_EQ(events[0].alarm.key, "device_model");
        EXPECT_TRUE(bus->pending_rules.empty());
    }
}

TEST_F(BusTest, ModelAnswerWithoutAcUnitsStartsAtRectifiers) {
    ASSERT_TRUE(Configure(Config(0, 1)));
    ASSERT_TRUE(bus->RefreshStatus());
    Feed(0x40, ByteBuilder().hex("5241562D4F33"));
    EXPECT_EQ(bus->step(), 4);
    ASSERT_EQ(Sent(), 2u);
    EXPECT_EQ(Last().cid1, 0x41);
    EXPECT_EQ(Last().cid2, 0x41);
    EXPECT_TRUE(Last().info.empty());
}

// A standing model point goes when a listed model answers, whatever model its
// detail names (after a restart it comes from the store, not from this run).
TEST_F(BusTest, ModelAnswerClearsAStandingModelAlarm) {
    const std::string head = "本驱动类型:ravo3 检测型号:";
    const Bytes rav = ByteBuilder().hex("5241562D4F33");
    const Bytes other = ByteBuilder().hex("4B4C582D3034");  // "KLX-04"
    auto standing = [](unsigned id, const std::string& type, const std::string& detail) {
        rule_value r;
        r.active = 1;
        r.key = "device_model";
        r.code = "70319";
        r.level = 3;
        r.name = "设备配置检测";
        r.detail = detail;
        return std::make_tuple(id, type, r);
    };
    struct Case {
        const char* name;
        std::vector<std::string> before;  // standing details of this device
        Bytes answer;
        std::vector<std::string> cleared, raised, after;
    };
    const std::string old_text = head + "OLD-1";
    const std::string other_text = head + "KLX-04";
    const std::vector<Case> cases = {
        {"restored, listed model", {old_text}, rav, {old_text}, {}, {}},
        {"two standing, listed model", {old_text, other_text}, rav, {old_text, other_text}, {}, {}},
        {"nothing standing, listed model", {}, rav, {}, {}, {}},
        {"standing, another foreign model",
         {old_text},
         other,
         {old_text},
         {other_text},
         {other_text}},
        {"standing, the same foreign model", {other_text}, other, {}, {}, {other_text}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Recorder r;  // a fresh alarm table per case
        bus = std::make_shared<TestBus>();
        line = std::make_shared<RecordingTransport>();
        const Json::Value cfg = Config(1, 1);
        bus->Init(r.controller, kBusId, cfg);
        bus->SetTransport(line);
        ASSERT_TRUE(bus->InitSetting(cfg));
        for (const auto& d : c.before) {
            auto [id, type, rule] = standing(kBusId, "ravo3", d);
            r.controller->EvaluateRules(id, type, {rule});
        }
        // Points of other devices and the rectifier unit (same data id) stay.
        auto [rid, rtype, rrule] = standing(kBusId, "ravo3-rc", old_text);
        r.controller->EvaluateRules(rid, rtype, {rrule});
        auto [oid, otype, orule] = standing(kBusId + 1, "ravo3", old_text);
        r.controller->EvaluateRules(oid, otype, {orule});
        const std::size_t earlier = r.Events().size();

        ASSERT_TRUE(bus->RefreshStatus());
        Feed(0x40, c.answer);
        const auto all = r.Events();
        const std::vector<smd::AlarmEvent> events(all.begin() + static_cast<long>(earlier),
                                                  all.end());
        std::vector<std::string> cleared, raised, after;
        for (const auto& e : events) {
            (e.kind == smd::AlarmEvent::Kind::Cleared ? cleared : raised).push_back(e.alarm.detail);
            EXPECT_EQ(e.alarm.key, "device_model");
            EXPECT_EQ(e.alarm.data_id, kBusId);
            EXPECT_EQ(e.alarm.device_type, "ravo3");
        }
        std::size_t others = 0;
        for (const auto& a : r.controller->ActiveAlarms()) {
            if (a.data_id == kBusId && a.device_type == "ravo3") {
                after.push_back(a.detail);
            } else {
                ++others;
            }
        }
        std::sort(cleared.begin(), cleared.end());
        std::vector<std::string> want_cleared = c.cleared;
        std::sort(want_cleared.begin(), want_cleared.end());
        EXPECT_EQ(cleared, want_cleared);
        EXPECT_EQ(raised, c.raised);
        EXPECT_EQ(after, c.after);
        EXPECT_EQ(others, 2u);
        EXPECT_EQ(StepOf(Last()), 0);
    }
}

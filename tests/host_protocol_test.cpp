#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/PMBusProtocol.h"
#include "tests/support/Fixture.h"

using namespace testing_support;

namespace {

// A frame-layer device whose handler records the answer record it sees.
struct Probe : PMBusProtocol {
    struct Seen {
        unsigned char cid1;
        unsigned char rtn;
        unsigned lenid;
        Bytes info;
    };
    bool LoadFromCache(const unsigned char*, int) override { return true; }
    int process_payload() override {
        Seen s;
        s.cid1 = answer_[2];
        s.rtn = answer_[3];
        s.lenid = answer_[4] | (answer_[5] << 8);
        s.info.assign(answer_ + 6, answer_ + 6 + s.lenid / 2);
        seen.push_back(s);
        if (raise_alarm)
            CheckThresholdBool(3, "device_model", "70319", "设备配置检测", "x", true, 0);
        command_step_ = next_step;
        return result;
    }
    void SetStep(int s) { command_step_ = s; }
    void SetSpacing(std::int64_t ms) { SetCycleSpacingMillis(ms); }
    std::vector<Seen> seen;
    int result = 1;
    int next_step = 0;
    bool raise_alarm = false;
};

struct Bench {
    Recorder rec;
    FakeClock clock;
    NoPause no_pause;
    std::shared_ptr<RecordingTransport> port = std::make_shared<RecordingTransport>();
    std::shared_ptr<Probe> dev = std::make_shared<Probe>();
    Bench() {
        dev->Init(rec.controller, 77, Json::Value());
        dev->SetTransport(port);
        dev->baud_rate = 9600;
    }
    void Feed(const Bytes& b) {
        Bytes copy = b;
        dev->process(copy.data(), static_cast<unsigned>(copy.size()));
    }
    void Feed(const std::string& s) { Feed(Bytes(s.begin(), s.end())); }
};

}  // namespace

TEST(PMBusProtocol, CommandsAreEncodedAndSent) {
    Bench b;
    EXPECT_EQ(b.dev->write_pmbus_cmd(0x40, 0x51), 18);
    const unsigned char group = 0xFF;
    b.dev->write_pmbus_cmd(0x40, 0x41, &group, 1);
    ASSERT_EQ(b.port->writes.size(), 2u);
    EXPECT_EQ(std::string(b.port->writes[0].begin(), b.port->writes[0].end()),
              "~200140510000FDB3\r");
    ASSERT_EQ(b.port->commands.size(), 2u);
    EXPECT_EQ(b.port->commands[1].info, Bytes({0xFF}));
    EXPECT_EQ(b.dev->serial_state, 1);
    EXPECT_EQ(b.dev->Stats().commands_sent, 2u);
    EXPECT_EQ(b.dev->write_pmbus_cmd(0x40, 0x41, nullptr, 1), -1);
}

TEST(PMBusProtocol, AnswerRecordCarriesCid1LenidAndInfo) {
    Bench b;
    b.dev->write_pmbus_cmd(0x42, 0x41);
    b.Feed(answer_frame(0x42, {0x11, 0x01, 0xAB}));
    ASSERT_EQ(b.dev->seen.size(), 1u);
    EXPECT_EQ(b.dev->seen[0].cid1, 0x42);
    EXPECT_EQ(b.dev->seen[0].rtn, 0);
    EXPECT_EQ(b.dev->seen[0].lenid, 6u);
    EXPECT_EQ(b.dev->seen[0].info, Bytes({0x11, 0x01, 0xAB}));
    EXPECT_EQ(b.dev->serial_state, 0) << "the answer ended the exchange";
}

TEST(PMBusProtocol, EchoOfTheCommandIsSkippedSilently) {
    Bench b;
    b.dev->write_pmbus_cmd(0x41, 0x41);
    b.Feed(b.port->writes.back());
    EXPECT_TRUE(b.dev->seen.empty());
    EXPECT_EQ(b.dev->Stats().echoes, 1u);
    EXPECT_TRUE(b.rec.Logs().empty());
    b.Feed(answer_frame(0x41, {0x00}));
    EXPECT_EQ(b.dev->seen.size(), 1u);
}

TEST(PMBusProtocol, RejectedAnswersAreReportedAndTheNextGoodOneStillArrives) {
    struct Case {
        const char* name;
        Bytes bytes;
        std::uint64_t smd::FrameStats::*counter;
    };
    Bytes bad_chk = answer_frame(0x40, {0x01});
    bad_chk[bad_chk.size() - 2] ^= 0x01;
    const std::vector<Case> cases = {
        {"rtn", answer_frame(0x40, {}, 0x04), &smd::FrameStats::rtn_errors},
        {"address", answer_frame(0x40, {0x01}, 0, 0x02), &smd::FrameStats::wrong_address},
        {"checksum", bad_chk, &smd::FrameStats::checksum_errors},
        {"garbage", Bytes({'x', 'y'}), &smd::FrameStats::garbage_runs},
    };
    for (const auto& c : cases) {
        Bench b;
        b.dev->write_pmbus_cmd(0x40, 0x41);
        b.Feed(c.bytes);
        // A refusal ends the exchange: the device asks again.
        if (b.dev->serial_state == 0) b.dev->write_pmbus_cmd(0x40, 0x41);
        b.Feed(answer_frame(0x40, {0x02}));
        ASSERT_EQ(b.dev->seen.size(), 1u) << c.name;
        EXPECT_EQ(b.dev->seen[0].info, Bytes({0x02})) << c.name;
        EXPECT_EQ(b.dev->Stats().*(c.counter), 1u) << c.name;
        ASSERT_EQ(b.rec.Logs().size(), 1u) << c.name;
        EXPECT_NE(b.rec.LogTexts()[0].find("PMBusProtocol: 77 frame dropped"), std::string::npos)
            << b.rec.LogTexts()[0];
    }
}

TEST(PMBusProtocol, CycleEndMarksTheDeviceReadyButARejectedFirstAnswerDoesNot) {
    Bench b;
    b.dev->result = 0;
    b.dev->SetStep(0);
    b.dev->write_pmbus_cmd(0x40, 0x41);
    b.Feed(answer_frame(0x40, {}));  // step 0 rejects with 0
    EXPECT_EQ(b.dev->ready, 0);
    EXPECT_EQ(b.dev->Stats().cycles, 0u);
    int cycles = 0;
    b.dev->SetCycleListener([&] { ++cycles; });
    b.dev->SetStep(9);
    b.clock.Advance(5);
    b.dev->write_pmbus_cmd(0x42, 0x46);
    b.Feed(answer_frame(0x42, {}));
    EXPECT_EQ(b.dev->ready, 1);
    EXPECT_EQ(b.dev->last_update, b.clock.Now());
    EXPECT_EQ(b.dev->Stats().cycles, 1u);
    EXPECT_EQ(cycles, 1);
}

TEST(PMBusProtocol, OwnAlarmPointsAreBatchedAfterEachAnswer) {
    Bench b;
    b.dev->raise_alarm = true;
    for (int i = 0; i < 2; ++i) {
        b.dev->write_pmbus_cmd(0x40, 0x51);
        b.Feed(answer_frame(0x40, {}));
    }
    EXPECT_TRUE(b.dev->pending_rules.empty());
    ASSERT_EQ(b.rec.Batches().size(), 2u);
    ASSERT_EQ(b.rec.Events().size(), 1u) << "raised once";
    EXPECT_EQ(b.rec.Events()[0].alarm.key, "device_model");
    EXPECT_TRUE(b.dev->alarm_changed);
}

TEST(PMBusProtocol, SettingsAreCheckedAndApplied) {
    struct Case {
        const char* json;
        bool ok;
    };
    const std::vector<Case> cases = {
        {"{}", true},
        {"{\"address\": 3, \"protocol_version\": 33, \"answer_timeout_ms\": 200}", true},
        {"{\"address\": 255}", false},
        {"{\"address\": \"1\"}", false},
        {"{\"protocol_version\": 34}", false},
        {"{\"answer_timeout_ms\": 10}", false},
        {"[1]", false},
    };
    for (const auto& c : cases) {
        Bench b;
        EXPECT_EQ(b.dev->InitSetting(parse_json(c.json)), c.ok) << c.json;
        EXPECT_EQ(b.rec.Logs().size(), c.ok ? 0u : 1u) << c.json;
    }
    Bench b;
    ASSERT_TRUE(b.dev->InitSetting(parse_json("{\"address\": 3, \"protocol_version\": 33}")));
    EXPECT_EQ(b.dev->Address(), 3);
    EXPECT_EQ(b.dev->ProtocolVersion(), 0x21);
    b.dev->write_pmbus_cmd(0x40, 0x51);
    EXPECT_EQ(b.port->commands[0].adr, 3);
    EXPECT_EQ(b.port->commands[0].ver, 0x21);
}

TEST(SMDSPDevice, RefreshStatusWaitsForTheAnswerUntilItTimesOut) {
    Bench b;
    b.dev->SetTimeoutBase(1000);
    EXPECT_TRUE(b.dev->RefreshStatus());
    b.dev->write_pmbus_cmd(0x40, 0x51);
    const auto timeout = b.dev->AnswerTimeoutMillis();
    // Silence on the line, whatever the answer's length.
    EXPECT_EQ(timeout, 1000);
    b.clock.AdvanceMillis(timeout - 1);
    EXPECT_FALSE(b.dev->RefreshStatus());
    b.Feed(std::string("~2001"));  // bytes arriving restart the allowance
    b.clock.AdvanceMillis(timeout - 1);
    EXPECT_FALSE(b.dev->RefreshStatus());
    b.clock.AdvanceMillis(1);
    EXPECT_TRUE(b.dev->RefreshStatus());
    EXPECT_EQ(b.dev->Stats().timeouts, 1u);
    EXPECT_EQ(b.dev->Timeouts(), 1u);
    // The partial frame was dropped: a whole answer to the repeat comes through alone.
    b.dev->write_pmbus_cmd(0x40, 0x51);
    b.Feed(answer_frame(0x40, {0x01}));
    EXPECT_EQ(b.dev->seen.size(), 1u);
    EXPECT_EQ(b.dev->Stats().truncated, 0u);
}

TEST(SMDSPDevice, NoTransportOrClosedPortMeansNoPolling) {
    Bench b;
    b.port->open = false;
    EXPECT_FALSE(b.dev->RefreshStatus());
    EXPECT_EQ(b.dev->write_pmbus_cmd(0x40, 0x51), -1);
    EXPECT_TRUE(b.dev->OpenPort());
    EXPECT_EQ(b.port->configured_baud, 9600);
    EXPECT_TRUE(b.dev->RefreshStatus());
    b.dev->ClosePort();
    EXPECT_FALSE(b.dev->RefreshStatus());
    Probe lonely;
    EXPECT_FALSE(lonely.RefreshStatus());
    EXPECT_FALSE(lonely.OpenPort());
}

// Answers carry no sequence number: only an answer that began after its
// command had left, and the first one for it, reaches the device.
TEST(PMBusProtocol, OnlyTheAnswerToTheCommandOnTheLineIsHandedOver) {
    enum Op { Send, Feed, Queue, TimeOut, Advance, Garble, Written };
    struct Step {
        Op op;
        unsigned char cid1 = 0;  // Send, Feed, Queue
        unsigned char cid2 = 0;  // Send; Feed/Queue: first INFO byte
        long ms = 0;             // Advance
    };
    struct Case {
        const char* name;
        bool paced;
        std::vector<Step> steps;
        std::vector<unsigned> handed;  // first INFO byte of each answer handed over
        std::uint64_t stale;
        std::size_t written;
    };
    const std::vector<Case> cases = {
        {"answer to no command", false, {{Feed, 0x42, 1}}, {}, 1, 0},
        {"unit answers twice",
         false,
         {{Send, 0x42, 0x41}, {Feed, 0x42, 1}, {Feed, 0x42, 2}},
         {1},
         1,
         1},
        {"answer for another block, then the right one",
         false,
         {{Send, 0x42, 0x41}, {Feed, 0x41, 1}, {Feed, 0x42, 2}},
         {2},
         1,
         1},
        // The late answer is taken for the repeat (same command); the answer
        // to the repeat must not be taken for the DC alarm query that follows,
        // which goes out once that owed answer has come.
        {"late answer after a repeat",
         false,
         {{Send, 0x42, 0x41},
          {TimeOut},
          {Send, 0x42, 0x41},
          {Feed, 0x42, 1},
          {Send, 0x42, 0x44},
          {Written, 0, 0, 2},
          {Feed, 0x42, 2},
          {Written, 0, 0, 3},
          {Feed, 0x42, 3}},
         {1, 3},
         1,
         3},
        // The first send drew nothing, so the answer to the repeat may still
        // come; it would pass for the next command of the same block, which
        // waits out the unit's turnaround (the time-out until a latency was
        // seen, then twice the longest latency, at least 50 ms).
        {"lost answer, then the same block after the turnaround",
         false,
         {{Send, 0x42, 0x41},
          {TimeOut},
          {Send, 0x42, 0x41},
          {Feed, 0x42, 1},
          {Send, 0x42, 0x44},
          {Advance, 0, 0, 999},
          {Written, 0, 0, 2},
          {Advance, 0, 0, 6},
          {Feed, 0x42, 2},
          {Send, 0x42, 0x41},
          {TimeOut},
          {Send, 0x42, 0x41},
          {Feed, 0x42, 3},
          {Send, 0x42, 0x44},
          {Advance, 0, 0, 49},
          {Written, 0, 0, 5},
          {Advance, 0, 0, 6},
          {Feed, 0x42, 4}},
         {1, 2, 3, 4},
         0,
         6},
        // A first send answered with a garbled frame owes nothing.
        {"garbled answer, then the same block at once",
         false,
         {{Send, 0x42, 0x41},
          {Garble},
          {TimeOut},
          {Send, 0x42, 0x41},
          {Feed, 0x42, 1},
          {Send, 0x42, 0x44},
          {Feed, 0x42, 2}},
         {1, 2},
         0,
         3},
        // A command of another block goes out at once: the answer still owed
        // comes first and is refused by its CID1.
        {"late answer after a repeat, then another block",
         false,
         {{Send, 0x42, 0x41},
          {TimeOut},
          {Send, 0x42, 0x41},
          {Feed, 0x42, 1},
          {Send, 0x41, 0x41},
          {Feed, 0x42, 2},
          {Feed, 0x41, 3}},
         {1, 3},
         1,
         3},
        {"bytes already on the line before the command",
         false,
         {{Queue, 0x42, 1}, {Send, 0x42, 0x41}, {Feed, 0x42, 2}},
         {2},
         1,
         1},
        {"answer begun while the command was still leaving",
         true,
         {{Send, 0x42, 0x41}, {Feed, 0x42, 1}, {Advance, 0, 0, 19}, {Feed, 0x42, 2}},
         {2},
         1,
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b;
        b.port->paced = c.paced;
        for (const Step& s : c.steps) {
            switch (s.op) {
                case Send:
                    b.dev->write_pmbus_cmd(s.cid1, s.cid2);
                    break;
                case Feed:
                    b.Feed(answer_frame(s.cid1, {s.cid2}));
                    break;
                case Garble: {
                    Bytes f = answer_frame(0x42, {0});
                    f[f.size() - 2] ^= 1;  // CHKSUM wrong
                    b.Feed(f);
                    break;
                }
                case Written:
                    EXPECT_EQ(b.port->writes.size(), s.ms);
                    break;
                case Queue: {
                    const Bytes f = answer_frame(s.cid1, {s.cid2});
                    b.port->input.insert(b.port->input.end(), f.begin(), f.end());
                    break;
                }
                case TimeOut:
                    b.clock.AdvanceMillis(b.dev->AnswerTimeoutMillis());
                    EXPECT_TRUE(b.dev->RefreshStatus());
                    break;
                case Advance:
                    b.clock.AdvanceMillis(s.ms);
                    b.dev->RefreshStatus();
                    break;
            }
        }
        std::vector<unsigned> handed;
        for (const auto& seen : b.dev->seen) handed.push_back(seen.info.at(0));
        EXPECT_EQ(handed, c.handed);
        EXPECT_EQ(b.dev->Stats().stale_answers, c.stale);
        EXPECT_EQ(b.port->writes.size(), c.written);
    }
}

// When the line thread has something to do: the next cycle counts from the
// last one's start, an answer is lost after a silence (restarted by every
// byte, counted from the command's end on a paced line), and pauses let go
// of the device's lock.
TEST(PMBusProtocol, CycleSpacingSilenceTimeOutAndPausesOutsideTheLock) {
    enum Op { Send, Bytes3, EndCycle, Advance, TimedOut, HoldOff, Pause };
    struct Step {
        Op op;
        long arg = 0;  // Advance: ms; TimedOut: 0/1; HoldOff: ms left; Pause: 1 with PauseUnlock
        bool want = false;  // Pause: the lock was free during the pause
    };
    struct Case {
        const char* name;
        bool paced;
        std::vector<Step> steps;
    };
    const std::vector<Case> cases = {
        {"hold-off runs from the cycle's first command",
         false,
         {{Send},
          {Advance, 700},
          {EndCycle},
          {HoldOff, 1301},
          {Advance, 1300},
          {HoldOff, 1},
          {Advance, 1},
          {HoldOff, 0}}},
        {"a cycle longer than the spacing: the next starts at once",
         false,
         {{Send}, {Advance, 2500}, {EndCycle}, {HoldOff, 0}}},
        {"no hold-off while a command is out",
         false,
         {{Send}, {Advance, 500}, {EndCycle}, {Send}, {HoldOff, 0}}},
        {"silence restarts with every byte",
         false,
         {{Send},
          {Advance, 999},
          {TimedOut, 0},
          {Bytes3},
          {Advance, 999},
          {TimedOut, 0},
          {Advance, 1},
          {TimedOut, 1}}},
        {"a paced line counts from the command's end (18 bytes: 19 ms)",
         true,
         {{Send}, {Advance, 1018}, {TimedOut, 0}, {Advance, 1}, {TimedOut, 1}}},
        {"a pause releases the lock", false, {{Pause, 1, true}}},
        {"without PauseUnlock the lock is held", false, {{Pause, 0, false}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b;
        b.port->paced = c.paced;
        b.dev->SetSpacing(2000);
        b.dev->SetTimeoutBase(1000);
        for (const Step& s : c.steps) {
            switch (s.op) {
                case Send:
                    b.dev->SetStep(9);
                    b.dev->write_pmbus_cmd(0x40, 0x41);
                    break;
                case Bytes3:
                    b.Feed(std::string("~20"));
                    break;
                case EndCycle: {
                    const auto start = b.clock.Now();
                    b.clock.Advance(1);  // the wall clock moved during the cycle
                    b.dev->result = 0;
                    b.Feed(answer_frame(0x40, {}));
                    EXPECT_EQ(b.dev->Stats().cycles, 1u);
                    EXPECT_EQ(b.dev->last_update, start);
                    break;
                }
                case Advance:
                    b.clock.AdvanceMillis(s.arg);
                    break;
                case TimedOut:
                    EXPECT_EQ(b.dev->RefreshStatus(), s.arg == 1);
                    EXPECT_EQ(b.dev->Stats().timeouts, s.arg == 1 ? 1u : 0u);
                    break;
                case HoldOff:
                    EXPECT_EQ(b.dev->CycleHoldOffMillis(), s.arg);
                    break;
                case Pause: {
                    bool free = false;
                    smd::set_pause([&](unsigned) {
                        std::thread other([&] {
                            if (b.dev->DeviceMutex().try_lock()) {
                                free = true;
                                b.dev->DeviceMutex().unlock();
                            }
                        });
                        other.join();
                    });
                    std::unique_lock<std::recursive_mutex> lock(b.dev->DeviceMutex());
                    if (s.arg == 1) {
                        smd::PauseUnlock unlock(lock);
                        smd::pause_micros(20000);
                    } else {
                        smd::pause_micros(20000);
                    }
                    EXPECT_TRUE(lock.owns_lock());
                    EXPECT_EQ(free, s.want);
                    break;
                }
            }
        }
    }
}

// Decoding of the DC unit's sections of the 0x42/0x41 and 0x42/0x44 answers.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dc/Ravo3DC.h"
#include "tests/support/Fixture.h"

using testing_support::ByteBuilder;
using testing_support::Bytes;
using testing_support::Recorder;

namespace {

constexpr unsigned kId = 258;
constexpr unsigned char kFill = 0xA5;  // marks record bytes no decoder may touch

constexpr const char* kDcM =
    "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read dc_m is {}, MAX_M is {}";
constexpr const char* kDcN =
    "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read dc_n is {}, MAX_N is {}";
constexpr const char* kDcP =
    "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read p_count is {}, support user_p max is {}";
constexpr const char* kAlertP =
    "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read 42_44 p is {},  alert_p is {}";
constexpr const char* kOver41 = "PMBusPowerAC:ProcotolError {} read 42_41 read overflow {} - {}";
constexpr const char* kOver44 = "PMBusPowerAC:ProcotolError {} read 42_44 read overflow {} - {}";

// Record offsets.
constexpr int kV = 4, kI = 8, kDcMOff = 12, kMVal = 13, kDcNOff = 21, kNVal = 22, kPCount = 46,
              kUserP = 47, kVState = 55, kAmCount = 56, kAlertM = 57, kApCount = 121,
              kAlertPOff = 122;

using Parent = testing_support::ParentDevice;

smd::LogArg U32(unsigned v) {
    return smd::to_log_arg(static_cast<std::uint32_t>(v));
}
smd::LogArg U8(unsigned v) {
    return smd::to_log_arg(static_cast<std::uint8_t>(v));
}
smd::LogArg I32(int v) {
    return smd::to_log_arg(static_cast<std::int32_t>(v));
}

struct Msg {
    std::string format;
    std::vector<smd::LogArg> args;
};
Msg CountMsg(const char* f, unsigned count, unsigned max) {
    return {f, {U32(kId), U8(count), U8(max)}};
}
Msg OverMsg(const char* f, int need, int len) {
    return {f, {U32(kId), I32(need), I32(len)}};
}

class DcParse : public ::testing::Test {
  protected:
    void SetUp() override {
        rec.Clear();
        parent = std::make_shared<Parent>();
        parent->Init(rec.controller, 1, Json::Value());
        unit = std::make_shared<Ravo3DC>("ravo3");
        ASSERT_TRUE(unit->InitV(parent.get(), kId, Json::Value()));
        std::memset(&unit->record, kFill, sizeof unit->record);
    }
    Bytes Record() const {
        const auto* p = reinterpret_cast<const unsigned char*>(&unit->record);
        return Bytes(p, p + sizeof unit->record);
    }
    // Hands the decoder exactly `len` bytes on the heap, so a read past them
    // is caught by the address sanitizer.
    int Run(bool alarms, const Bytes& section, int len) {
        std::unique_ptr<unsigned char[]> buf(new unsigned char[len > 0 ? len : 1]);
        if (len > 0) std::memcpy(buf.get(), section.data(), static_cast<std::size_t>(len));
        return alarms ? unit->parse42_44(buf.get(), len) : unit->parse42_41(buf.get(), len);
    }
    void ExpectLogs(const std::vector<Msg>& want) {
        const auto logs = rec.Logs();
        ASSERT_EQ(logs.size(), want.size());
        for (std::size_t k = 0; k < want.size(); ++k) {
            EXPECT_EQ(logs[k].format, want[k].format) << k;
            EXPECT_TRUE(logs[k].args == want[k].args) << k << ": " << logs[k].text;
        }
    }

    Recorder rec;
    std::shared_ptr<Parent> parent;
    std::shared_ptr<Ravo3DC> unit;
};

void Put(Bytes& rec, int off, const Bytes& b) {
    std::copy(b.begin(), b.end(), rec.begin() + off);
}
Bytes F(float v) {
    return ByteBuilder().f32(v);
}
Bytes Floats(std::initializer_list<float> vs) {
    ByteBuilder b;
    for (float v : vs) b.f32(v);
    return b;
}

// A 0x42/0x41 section: v, i, then each count and its values.
Bytes Analog(float v, float i, const Bytes& m, unsigned mc, const Bytes& n, unsigned nc,
             const Bytes& p, unsigned pc) {
    return ByteBuilder().f32(v).f32(i).u8(mc).bytes(m).u8(nc).bytes(n).u8(pc).bytes(p);
}

// ---------------------------------------------------------------- 0x42/0x41

struct AnalogCase {
    const char* name;
    Bytes section;
    int extra;  // bytes of a following section handed along
    int result;
    std::vector<std::pair<int, Bytes>> writes;  // record offset, bytes the decoder stores
    std::vector<Msg> logs;
};

TEST_F(DcParse, AnalogLayouts) {
    const Bytes m2 = Floats({1.5f, 2.5f});
    const Bytes n6 = Floats({11, 12, 13, 14, 15, 16});
    const Bytes p2 = Floats({21, 22});
    const std::vector<AnalogCase> cases = {
        {"no values",
         Analog(53.5f, 120.0f, {}, 0, {}, 0, {}, 0),
         0,
         11,
         {{kV, F(53.5f)}, {kI, F(120.0f)}, {kDcMOff, {0}}, {kDcNOff, {0}}, {kPCount, {0}}},
         {}},
        {"full",
         Analog(53.5f, 120.0f, m2, 2, n6, 6, p2, 2),
         0,
         51,
         {{kV, F(53.5f)},
          {kI, F(120.0f)},
          {kDcMOff, {2}},
          {kMVal, m2},
          {kDcNOff, {6}},
          {kNVal, n6},
          {kPCount, {2}},
          {kUserP, p2}},
         {}},
        {"some slots",
         Analog(1, 2, F(3), 1, Floats({4, 5, 6}), 3, F(7), 1),
         0,
         11 + 4 * 5,
         {{kV, F(1)},
          {kI, F(2)},
          {kDcMOff, {1}},
          {kMVal, F(3)},
          {kDcNOff, {3}},
          {kNVal, Floats({4, 5, 6})},
          {kPCount, {1}},
          {kUserP, F(7)}},
         {}},
        {"next unit's section follows",
         Analog(1, 2, {}, 0, F(4), 1, {}, 0),
         9,
         15,
         {{kV, F(1)}, {kI, F(2)}, {kDcMOff, {0}}, {kDcNOff, {1}}, {kNVal, F(4)}, {kPCount, {0}}},
         {}},
        {"m over the slots: passed over, N count read after them",
         Analog(1, 2, Floats({9, 9, 9}), 3, F(4), 1, {}, 0),
         0,
         11 + 4 * 4,
         {{kV, F(1)}, {kI, F(2)}, {kDcMOff, {3}}, {kDcNOff, {1}}, {kNVal, F(4)}, {kPCount, {0}}},
         {CountMsg(kDcM, 3, 2)}},
        {"n over the slots",
         Analog(1, 2, F(3), 1, Floats({9, 9, 9, 9, 9, 9, 9}), 7, F(5), 1),
         0,
         11 + 4 * 9,
         {{kV, F(1)},
          {kI, F(2)},
          {kDcMOff, {1}},
          {kMVal, F(3)},
          {kDcNOff, {7}},
          {kPCount, {1}},
          {kUserP, F(5)}},
         {CountMsg(kDcN, 7, 6)}},
        {"m and n both over, counts of 255",
         ByteBuilder().f32(1).f32(2).u8(255).repeat(0, 1020).u8(255).repeat(0, 1020).u8(0),
         0,
         11 + 4 * 510,
         {{kV, F(1)}, {kI, F(2)}, {kDcMOff, {255}}, {kDcNOff, {255}}, {kPCount, {0}}},
         {CountMsg(kDcM, 255, 2), CountMsg(kDcN, 255, 6)}},
        {"p over the slots: the rest counts as taken",
         Analog(1, 2, {}, 0, {}, 0, Floats({9, 9, 9}), 3),
         7,
         11 + 12 + 7,
         {{kV, F(1)}, {kI, F(2)}, {kDcMOff, {0}}, {kDcNOff, {0}}, {kPCount, {3}}},
         {CountMsg(kDcP, 3, 2)}},
        {"p over the slots, values missing",
         Analog(1, 2, {}, 0, {}, 0, {}, 200),
         0,
         11,
         {{kV, F(1)}, {kI, F(2)}, {kDcMOff, {0}}, {kDcNOff, {0}}, {kPCount, {200}}},
         {CountMsg(kDcP, 200, 2)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        Bytes section = c.section;
        section.insert(section.end(), static_cast<std::size_t>(c.extra), 0x5A);
        EXPECT_EQ(Run(false, section, static_cast<int>(section.size())), c.result);
        Bytes want(sizeof(tele_c_ravo3_dc), kFill);
        for (const auto& w : c.writes) Put(want, w.first, w.second);
        EXPECT_EQ(Record(), want);
        ExpectLogs(c.logs);
        EXPECT_EQ(unit->ready, 0);
    }
}

TEST_F(DcParse, UserValuesNotAvailableMarker) {
    struct Case {
        Bytes raw;
        Bytes stored;
    };
    const Bytes minus_tenth = {0xCD, 0xCC, 0xCC, 0xBD};
    const std::vector<Case> cases = {
        {{0x20, 0x20, 0x20, 0x20}, minus_tenth},
        {{0xFF, 0xFF, 0xFF, 0xFF}, minus_tenth},
        {{0x41, 0x41, 0x41, 0x41}, minus_tenth},
        {{0x00, 0x00, 0x00, 0x00}, {0, 0, 0, 0}},
        {{0x00, 0x41, 0x41, 0x41}, {0x00, 0x41, 0x41, 0x41}},
        {{0x41, 0x41, 0x41, 0x40}, {0x41, 0x41, 0x41, 0x40}},
        {{0x20, 0x20, 0x21, 0x20}, {0x20, 0x20, 0x21, 0x20}},
    };
    const Bytes marker = {0x20, 0x20, 0x20, 0x20};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing_support::hex_string(c.raw));
        SetUp();
        // Both slots, and every other value position carrying a marker that only
        // user-defined values replace.
        ByteBuilder b;
        b.bytes(marker)
            .bytes(marker)
            .u8(1)
            .bytes(marker)
            .u8(1)
            .bytes(marker)
            .u8(2)
            .bytes(c.raw)
            .bytes(c.raw);
        ASSERT_EQ(Run(false, b, static_cast<int>(b.size())), 11 + 16);
        const Bytes r = Record();
        EXPECT_EQ(Bytes(r.begin() + kUserP, r.begin() + kUserP + 4), c.stored);
        EXPECT_EQ(Bytes(r.begin() + kUserP + 4, r.begin() + kUserP + 8), c.stored);
        for (int off : {kV, kI, kMVal, kNVal})
            EXPECT_EQ(Bytes(r.begin() + off, r.begin() + off + 4), marker) << off;
    }
    std::uint32_t bits = 0;
    std::memcpy(&bits, minus_tenth.data(), 4);
    float f;
    std::memcpy(&f, &bits, 4);
    EXPECT_EQ(f, -0.1f);
}

TEST_F(DcParse, AnalogHeadLineOnStandardOutput) {
    struct Case {
        Bytes bytes;
        std::string line;
    };
    const std::vector<Case> cases = {
        {{0x01, 0x02, 0x0A, 0xFF, 0, 0, 0, 0, 0, 0, 0}, "parse 42 41: 1 2 a ff\n"},
        {{0x00, 0x00, 0x58, 0x42}, "parse 42 41: 0 0 58 42\n"},
        {{0x01, 0x02}, "parse 42 41: 1 2\n"},
        {{0xAB}, "parse 42 41: ab\n"},
        {{}, "parse 42 41:\n"},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStdout();
        Run(false, c.bytes, static_cast<int>(c.bytes.size()));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line);
    }
}

// ---------------------------------------------------------------- 0x42/0x44

Bytes States(unsigned from, unsigned n) {
    Bytes b;
    for (unsigned k = 0; k < n; ++k) b.push_back(static_cast<unsigned char>(from + k));
    return b;
}
Bytes Alarm(unsigned vs, const Bytes& m, const Bytes& p) {
    return ByteBuilder()
        .u8(vs)
        .u8(static_cast<unsigned>(m.size()))
        .bytes(m)
        .u8(static_cast<unsigned>(p.size()))
        .bytes(p);
}
Bytes Head(const Bytes& b, std::size_t n) {
    return Bytes(b.begin(), b.begin() + static_cast<long>(n));
}

TEST_F(DcParse, AlarmLayouts) {
    const Bytes m64 = States(1, 64), p13 = States(0xE0, 13);
    const Bytes m70 = States(100, 70), p14 = States(0x30, 14);
    const std::vector<AnalogCase> cases = {
        {"64 fuses, 13 user states",
         Alarm(2, m64, p13),
         0,
         80,
         {{kVState, {2}}, {kAmCount, {64}}, {kAlertM, m64}, {kApCount, {13}}, {kAlertPOff, p13}},
         {}},
        {"no states",
         Alarm(0, {}, {}),
         0,
         3,
         {{kVState, {0}}, {kAmCount, {0}}, {kApCount, {0}}},
         {}},
        {"next unit's section follows",
         Alarm(1, States(7, 3), States(9, 2)),
         4,
         3 + 3 + 2,
         {{kVState, {1}},
          {kAmCount, {3}},
          {kAlertM, States(7, 3)},
          {kApCount, {2}},
          {kAlertPOff, States(9, 2)}},
         {}},
        {"70 fuses: 64 kept, 6 passed over without a message",
         Alarm(0xFF, m70, p13),
         0,
         3 + 70 + 13,
         {{kVState, {0xFF}},
          {kAmCount, {70}},
          {kAlertM, Head(m70, 64)},
          {kApCount, {13}},
          {kAlertPOff, p13}},
         {}},
        {"14 user states: 13 kept",
         Alarm(0, States(1, 5), p14),
         0,
         3 + 5 + 14,
         {{kVState, {0}},
          {kAmCount, {5}},
          {kAlertM, States(1, 5)},
          {kApCount, {14}},
          {kAlertPOff, Head(p14, 13)}},
         {CountMsg(kAlertP, 14, 13)}},
        {"5 user states: the other slots keep theirs",
         Alarm(0, {}, States(0xF0, 5)),
         0,
         3 + 5,
         {{kVState, {0}}, {kAmCount, {0}}, {kApCount, {5}}, {kAlertPOff, States(0xF0, 5)}},
         {}},
        {"255 and 255",
         Alarm(3, States(0, 255), States(0, 255)),
         0,
         3 + 510,
         {{kVState, {3}},
          {kAmCount, {255}},
          {kAlertM, States(0, 64)},
          {kApCount, {255}},
          {kAlertPOff, States(0, 13)}},
         {CountMsg(kAlertP, 255, 13)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        Bytes section = c.section;
        section.insert(section.end(), static_cast<std::size_t>(c.extra), 0x5A);
        EXPECT_EQ(Run(true, section, static_cast<int>(section.size())), c.result);
        Bytes want(sizeof(tele_c_ravo3_dc), kFill);
        for (const auto& w : c.writes) Put(want, w.first, w.second);
        EXPECT_EQ(Record(), want);
        ExpectLogs(c.logs);
    }
}

// ---------------------------------------------------------------- truncation

// A valid section and the ends of its fields and blocks in order. A prefix
// that stops inside one must fail with the overflow message naming that end,
// after the count messages of the counts it could read; `takes_rest_at` marks
// the end of a p_count byte over the limit, from which the decoder returns len.
struct Truncation {
    const char* name;
    bool alarms;
    Bytes section;
    std::vector<int> ends;
    std::vector<std::pair<int, Msg>> count_msgs;  // logged once this many bytes are there
    int takes_rest_at;
};

TEST_F(DcParse, EveryPrefixStaysInsideTheAnswer) {
    const std::vector<Truncation> cases = {
        {"analog, no values",
         false,
         Analog(1, 2, {}, 0, {}, 0, {}, 0),
         {4, 8, 9, 9, 10, 10, 11},
         {},
         -1},
        {"analog, full",
         false,
         Analog(1, 2, Floats({3, 4}), 2, Floats({5, 6, 7, 8, 9, 10}), 6, Floats({11, 12}), 2),
         {4, 8, 9, 17, 18, 42, 43, 51},
         {},
         -1},
        {"analog, m and n over",
         false,
         Analog(1, 2, Floats({3, 4, 5}), 3, Floats({1, 1, 1, 1, 1, 1, 1}), 7, F(9), 1),
         {4, 8, 9, 21, 22, 50, 51, 55},
         {{9, CountMsg(kDcM, 3, 2)}, {22, CountMsg(kDcN, 7, 6)}},
         -1},
        {"analog, p over",
         false,
         Analog(1, 2, F(3), 1, {}, 0, Floats({1, 2, 3}), 3),
         {4, 8, 9, 13, 14, 14, 15},
         {{15, CountMsg(kDcP, 3, 2)}},
         15},
        {"alarms, 64 and 13",
         true,
         Alarm(1, States(0, 64), States(0, 13)),
         {1, 2, 66, 67, 80},
         {},
         -1},
        {"alarms, 70 and 14",
         true,
         Alarm(1, States(0, 70), States(0, 14)),
         {1, 2, 66, 72, 73, 86, 87},
         {{73, CountMsg(kAlertP, 14, 13)}},
         -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int full = static_cast<int>(c.section.size());
        if (c.takes_rest_at < 0) {
            ASSERT_EQ(c.ends.back(), full);
        }
        for (int len = 0; len < full; ++len) {
            SCOPED_TRACE(len);
            SetUp();
            const int got = Run(c.alarms, c.section, len);
            std::vector<Msg> want;
            for (const auto& cm : c.count_msgs)
                if (cm.first <= len) want.push_back(cm.second);
            if (c.takes_rest_at >= 0 && len >= c.takes_rest_at) {
                EXPECT_EQ(got, len);
            } else {
                EXPECT_EQ(got, -1);
                int need = 0;
                for (int e : c.ends)
                    if (e > len) {
                        need = e;
                        break;
                    }
                want.push_back(OverMsg(c.alarms ? kOver44 : kOver41, need, len));
            }
            ExpectLogs(want);
        }
    }
}

TEST_F(DcParse, NegativeLengthOrNoBuffer) {
    EXPECT_EQ(unit->parse42_41(nullptr, 0), -1);
    EXPECT_EQ(unit->parse42_44(nullptr, 12), -1);
    const unsigned char b[4] = {1, 2, 3, 4};
    EXPECT_EQ(unit->parse42_41(b, -3), -1);
    ExpectLogs({OverMsg(kOver41, 4, 0), OverMsg(kOver44, 1, 12), OverMsg(kOver41, 4, -3)});
    EXPECT_EQ(Record(), Bytes(sizeof(tele_c_ravo3_dc), kFill));
}

// What a failed decoding leaves behind: every field read before the failure
// keeps its new value, a block that did not fit leaves its slots as they were.
TEST_F(DcParse, PartialUpdatesOnFailure) {
    const Bytes m2 = Floats({3, 4}), n6 = Floats({5, 6, 7, 8, 9, 10});
    const Bytes analog = Analog(1, 2, m2, 2, n6, 6, Floats({11, 12}), 2);
    const Bytes alarms = Alarm(2, States(1, 64), States(0xE0, 13));
    // Over the limits: the kept states are copied before the whole block is checked.
    const Bytes over = Alarm(2, States(1, 70), States(0xE0, 14));
    struct Case {
        bool alarms;
        int len;
        std::vector<std::pair<int, Bytes>> writes;
        const Bytes* section = nullptr;
    };
    const std::vector<Case> cases = {
        {false, 6, {{kV, F(1)}}},
        {false, 12, {{kV, F(1)}, {kI, F(2)}, {kDcMOff, {2}}}},
        {false, 40, {{kV, F(1)}, {kI, F(2)}, {kDcMOff, {2}}, {kMVal, m2}, {kDcNOff, {6}}}},
        {false,
         50,
         {{kV, F(1)},
          {kI, F(2)},
          {kDcMOff, {2}},
          {kMVal, m2},
          {kDcNOff, {6}},
          {kNVal, n6},
          {kPCount, {2}}}},
        {true, 1, {{kVState, {2}}}},
        {true, 65, {{kVState, {2}}, {kAmCount, {64}}}},
        {true, 79, {{kVState, {2}}, {kAmCount, {64}}, {kAlertM, States(1, 64)}, {kApCount, {13}}}},
        {true, 70, {{kVState, {2}}, {kAmCount, {70}}, {kAlertM, States(1, 64)}}, &over},
        {true,
         86,
         {{kVState, {2}},
          {kAmCount, {70}},
          {kAlertM, States(1, 64)},
          {kApCount, {14}},
          {kAlertPOff, States(0xE0, 13)}},
         &over},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.len);
        SetUp();
        EXPECT_EQ(Run(c.alarms, c.section ? *c.section : c.alarms ? alarms : analog, c.len), -1);
        Bytes want(sizeof(tele_c_ravo3_dc), kFill);
        for (const auto& w : c.writes) Put(want, w.first, w.second);
        EXPECT_EQ(Record(), want);
    }
}

// Slots a later, shorter answer does not reach keep the earlier values.
TEST_F(DcParse, LaterAnswersOverwriteOnlyWhatTheyCarry) {
    const Bytes first =
        Analog(1, 2, Floats({3, 4}), 2, Floats({5, 6, 7, 8, 9, 10}), 6, Floats({11, 12}), 2);
    ASSERT_EQ(Run(false, first, 51), 51);
    const Bytes second = Analog(20, 21, F(22), 1, {}, 0, {}, 0);
    ASSERT_EQ(Run(false, second, 15), 15);
    Bytes want(sizeof(tele_c_ravo3_dc), kFill);
    Put(want, kV, F(20));
    Put(want, kI, F(21));
    Put(want, kDcMOff, {1});
    Put(want, kMVal, Floats({22, 4}));
    Put(want, kDcNOff, {0});
    Put(want, kNVal, Floats({5, 6, 7, 8, 9, 10}));
    Put(want, kPCount, {0});
    Put(want, kUserP, Floats({11, 12}));
    EXPECT_EQ(Record(), want);
}

}  // namespace

// The responder on raw bytes: answers and their return codes, silence for
// other addresses and unreadable bytes, and fault injection that repeats
// with its seed.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "runtime/line/FrameCodec.h"
#include "sim/Responder.h"
#include "sim/Scenario.h"
#include "tests/support/Fixture.h"

using testing_support::Bytes;
using testing_support::repair_checksums;

namespace {

std::string Text(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

Bytes Command(unsigned cid1, unsigned cid2, const Bytes& info = {}, unsigned adr = 1,
              unsigned ver = 0x20) {
    return smd::encode_frame(static_cast<unsigned char>(ver), static_cast<unsigned char>(adr),
                             static_cast<unsigned char>(cid1), static_cast<unsigned char>(cid2),
                             info.data(), info.size());
}

std::vector<sim::Reply> Send(sim::Responder& r, const Bytes& bytes, std::int64_t ms = 0) {
    return r.Feed(bytes.data(), bytes.size(), ms);
}

std::vector<sim::Reply> Send(sim::Responder& r, const std::string& text) {
    return Send(r, Bytes(text.begin(), text.end()));
}

// What a host's frame layer makes of reply bytes.
struct Decoded {
    std::vector<smd::Frame> frames;
    std::vector<smd::FrameError> errors;
};

Decoded Decode(const Bytes& bytes) {
    Decoded d;
    smd::FrameParser p([&](const smd::Frame& f) { d.frames.push_back(f); },
                       [&](smd::FrameError e, std::size_t) { d.errors.push_back(e); });
    p.Feed(bytes.data(), bytes.size());
    p.Reset();
    return d;
}

// One full poll cycle of commands; the replies' bytes appended to `out`.
void PollCycle(sim::Responder& r, std::vector<Bytes>& out,
               std::vector<std::uint32_t>* delays = nullptr) {
    const unsigned order[][2] = {{0x40, 0x41}, {0x40, 0x43}, {0x40, 0x44}, {0x41, 0x41},
                                 {0x41, 0x43}, {0x41, 0x44}, {0x42, 0x41}, {0x42, 0x44},
                                 {0x40, 0x46}, {0x42, 0x46}};
    for (const auto& c : order) {
        const bool group = c[1] != 0x46 && !(c[0] == 0x41);
        auto replies = Send(r, Command(c[0], c[1], group ? Bytes{0xFF} : Bytes{}));
        if (replies.empty()) out.push_back({});
        for (auto& rep : replies) {
            out.push_back(rep.bytes);
            if (delays) delays->push_back(rep.delay_ms);
        }
    }
}

}  // namespace

TEST(SimResponder, AnswersTheModelQuery) {
    sim::Responder r(sim::DefaultScenario());
    auto replies = Send(r, "~200140510000FDB3\r");
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].delay_ms, 0u);
    const Decoded d = Decode(replies[0].bytes);
    ASSERT_EQ(d.frames.size(), 1u);
    EXPECT_TRUE(d.errors.empty());
    EXPECT_EQ(d.frames[0].ver, 0x20);
    EXPECT_EQ(d.frames[0].adr, 1);
    EXPECT_EQ(d.frames[0].cid1, 0x40);
    EXPECT_EQ(d.frames[0].cid2, 0);  // RTN
    EXPECT_EQ(Text(d.frames[0].info).substr(0, 6), "RAV-O3");
    EXPECT_EQ(d.frames[0].info.size(), 20u);
    EXPECT_EQ(r.counters().commands, 1u);
    EXPECT_EQ(r.counters().answers, 1u);
}

TEST(SimResponder, ReturnCodesForBadCommands) {
    const std::string model = Text(Command(0x40, 0x51));  // ~200140510000FDB3\r
    std::string bad_chk = model;
    bad_chk[16] = bad_chk[16] == '0' ? '1' : '0';
    std::string bad_lchk = model;
    bad_lchk[9] = 'F';  // LCHKSUM of LENID 000 is 0
    // LENID 2 with no INFO characters.
    const std::string bad_len = repair_checksums("~20014051F002FDB3\r");
    struct Case {
        const char* name;
        std::string frame;
        unsigned cid1;
        unsigned rtn;
    };
    const Case cases[] = {
        {"checksum", bad_chk, 0x40, 0x02},
        {"length checksum", bad_lchk, 0x40, 0x03},
        {"length mismatch", bad_len, 0x40, 0x05},
        {"version", Text(Command(0x40, 0x51, {}, 1, 0x21)), 0x40, 0x01},
        {"unknown CID2", Text(Command(0x40, 0x47)), 0x40, 0x04},
        {"unknown CID1", Text(Command(0x43, 0x41, {0xFF})), 0x43, 0x04},
        {"rectifier parameters", Text(Command(0x41, 0x46)), 0x41, 0x04},
        {"two INFO bytes", Text(Command(0x40, 0x41, {0xFF, 0x00})), 0x40, 0x05},
        {"INFO on the model query", Text(Command(0x40, 0x51, {0xFF})), 0x40, 0x05},
        {"INFO on a parameter query", Text(Command(0x42, 0x46, {0xFF})), 0x42, 0x05},
        {"another group", Text(Command(0x42, 0x41, {0x01})), 0x42, 0x06},
    };
    for (const auto& c : cases) {
        sim::Responder r(sim::DefaultScenario());
        auto replies = Send(r, c.frame);
        ASSERT_EQ(replies.size(), 1u) << c.name;
        const Decoded d = Decode(replies[0].bytes);
        ASSERT_EQ(d.frames.size(), 1u) << c.name;
        EXPECT_EQ(d.frames[0].cid1, c.cid1) << c.name;
        EXPECT_EQ(d.frames[0].cid2, c.rtn) << c.name;
        EXPECT_TRUE(d.frames[0].info.empty()) << c.name;
        EXPECT_EQ(r.counters().rtn_errors, 1u) << c.name;
        EXPECT_EQ(r.device().Cycle(), 0u) << c.name << ": a refused command begins no cycle";
    }
}

TEST(SimResponder, GroupByteOrNone) {
    sim::Responder r(sim::ParseScenario(R"({"protocol_version": 33})"));
    for (const Bytes& info : {Bytes{}, Bytes{0xFF}}) {
        auto replies = Send(r, Command(0x42, 0x41, info, 1, 0x21));
        ASSERT_EQ(replies.size(), 1u);
        const Decoded d = Decode(replies[0].bytes);
        ASSERT_EQ(d.frames.size(), 1u);
        EXPECT_EQ(d.frames[0].ver, 0x21);
        EXPECT_EQ(d.frames[0].cid2, 0);
        EXPECT_EQ(d.frames[0].info.size(), 2u + 11u + 8u);
    }
}

TEST(SimResponder, SilentForOtherAddressesAndUnreadableBytes) {
    sim::Responder r(sim::ParseScenario(R"({"address": 3})"));
    std::string broken_for_other = Text(Command(0x40, 0x51, {}, 2));
    broken_for_other[15] = broken_for_other[15] == '0' ? '1' : '0';
    const std::string silent[] = {
        Text(Command(0x40, 0x51, {}, 1)),  // another address
        broken_for_other,                  // broken, and for another address anyway
        "noise without a frame",           // garbage
        "~2003\r",                         // too short
        "~200340510000~",                  // cut off by the next SOI
        "~2X0340510000FDB3\r",             // a header that says nothing
    };
    for (const auto& s : silent) EXPECT_TRUE(Send(r, s).empty()) << s;
    EXPECT_EQ(r.counters().commands, 0u);
    EXPECT_EQ(r.counters().answers, 0u);
    EXPECT_EQ(r.counters().other_address, 2u);
    EXPECT_GE(r.counters().bad_frames, 3u);
    // Still answering its own address after all that.
    auto replies = Send(r, Command(0x40, 0x51, {}, 3));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(Decode(replies[0].bytes).frames.at(0).adr, 3);
}

TEST(SimResponder, AnyChunking) {
    sim::Responder r(sim::DefaultScenario());
    const Bytes cmd = Command(0x40, 0x41, {0xFF});
    for (std::size_t i = 0; i + 1 < cmd.size(); ++i) {
        EXPECT_TRUE(r.Feed(&cmd[i], 1, 0).empty());
    }
    EXPECT_EQ(r.Feed(&cmd.back(), 1, 0).size(), 1u);

    Bytes two = Command(0x41, 0x41);
    const Bytes second = Command(0x42, 0x46);
    two.insert(two.end(), second.begin(), second.end());
    auto replies = Send(r, two);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(Decode(replies[0].bytes).frames.at(0).cid1, 0x41);
    EXPECT_EQ(Decode(replies[1].bytes).frames.at(0).cid1, 0x42);
}

TEST(SimResponder, EventsInSecondsUseTheCallersTime) {
    sim::Responder r(sim::ParseScenario(R"({"events": [
        {"at_seconds": 5, "do": "set", "target": "dc_voltage", "state": 1}]})"));
    auto early = Send(r, Command(0x42, 0x44, {0xFF}), 4999);
    auto late = Send(r, Command(0x42, 0x44, {0xFF}), 5000);
    EXPECT_EQ(Decode(early.at(0).bytes).frames.at(0).info.at(2), 0);
    EXPECT_EQ(Decode(late.at(0).bytes).frames.at(0).info.at(2), 1);
}

TEST(SimResponder, FaultsRepeatWithTheirSeed) {
    const auto run = [](std::uint32_t seed) {
        sim::Scenario s = sim::ParseScenario(R"({"faults": {
            "drop": {"probability": 0.2}, "corrupt_checksum": {"probability": 0.2},
            "truncate": {"probability": 0.1}, "garbage": {"probability": 0.2, "bytes": 5},
            "delay": {"probability": 0.1, "ms": 700}}})");
        s.faults.seed = seed;
        sim::Responder r(std::move(s));
        std::vector<Bytes> out;
        std::vector<std::uint32_t> delays;
        for (int c = 0; c < 20; ++c) PollCycle(r, out, &delays);
        return std::make_tuple(out, delays, r.counters().faults);
    };
    const auto a = run(7);
    const auto b = run(7);
    const auto c = run(8);
    EXPECT_EQ(a, b);
    EXPECT_NE(std::get<0>(a), std::get<0>(c));
    // 200 answers with these odds: some of every kind, far from all.
    EXPECT_GT(std::get<2>(a), 40u);
    EXPECT_LT(std::get<2>(a), 200u);
}

TEST(SimResponder, FaultSchedules) {
    struct Case {
        const char* name;
        const char* faults;
        std::vector<int> dropped;  // 1-based command ordinals without an answer
    };
    // Three cycles of ten commands each.
    const Case cases[] = {
        {"every", R"({"drop": {"every": 9}})", {9, 18, 27}},
        {"at", R"({"drop": {"at": [2, 25]}})", {2, 25}},
        {"cycles", R"({"drop": {"cycles": [2, 3], "command": "41/43"}})", {15, 25}},
        {"window", R"({"drop": {"every": 10, "from_cycle": 2, "to_cycle": 2}})", {20}},
        {"certain", R"({"drop": {"probability": 1, "command": "40/46"}})", {9, 19, 29}},
        {"never", R"({"drop": {"probability": 0}})", {}},
    };
    for (const auto& c : cases) {
        sim::Responder r(sim::ParseScenario(std::string(R"({"faults": )") + c.faults + "}"));
        std::vector<Bytes> out;
        for (int i = 0; i < 3; ++i) PollCycle(r, out);
        std::vector<int> dropped;
        for (std::size_t i = 0; i < out.size(); ++i) {
            if (out[i].empty()) dropped.push_back(static_cast<int>(i + 1));
        }
        EXPECT_EQ(dropped, c.dropped) << c.name;
        EXPECT_EQ(r.counters().faults, c.dropped.size()) << c.name;
        EXPECT_EQ(r.counters().by_fault[0], c.dropped.size()) << c.name;
    }
}

TEST(SimResponder, CycleFaultHitsOnlyTheFirstTry) {
    sim::Responder r(
        sim::ParseScenario(R"({"faults": {"drop": {"cycles": [1], "command": "41/41"}}})"));
    Send(r, Command(0x40, 0x41, {0xFF}));
    EXPECT_TRUE(Send(r, Command(0x41, 0x41)).empty());
    EXPECT_EQ(Send(r, Command(0x41, 0x41)).size(), 1u);  // the host's retry
}

TEST(SimResponder, DamagedAnswersAsTheHostSeesThem) {
    struct Case {
        const char* name;
        const char* faults;
        std::size_t frames;
        smd::FrameError error;
        bool any_error;
    };
    const Case cases[] = {
        {"corrupt", R"({"corrupt_checksum": {"every": 1}})", 0, smd::FrameError::Checksum, true},
        {"truncate", R"({"truncate": {"every": 1}})", 0, smd::FrameError::TooShort, false},
        {"garbage", R"({"garbage": {"every": 1, "bytes": 9}})", 1, smd::FrameError::Garbage, true},
        {"delay", R"({"delay": {"every": 1, "ms": 1200}})", 1, smd::FrameError::Garbage, false},
    };
    const Bytes clean = [] {
        sim::Responder r(sim::DefaultScenario());
        return Send(r, Command(0x40, 0x41, {0xFF})).at(0).bytes;
    }();
    for (const auto& c : cases) {
        sim::Responder r(sim::ParseScenario(std::string(R"({"faults": )") + c.faults + "}"));
        auto replies = Send(r, Command(0x40, 0x41, {0xFF}));
        ASSERT_EQ(replies.size(), 1u) << c.name;
        const Bytes& got = replies[0].bytes;
        const Decoded d = Decode(got);
        EXPECT_EQ(d.frames.size(), c.frames) << c.name;
        if (c.any_error) {
            ASSERT_FALSE(d.errors.empty()) << c.name;
            EXPECT_EQ(d.errors[0], c.error) << c.name;
        }
        EXPECT_EQ(r.counters().faults, 1u) << c.name;
        const std::string name = c.name;
        if (name == "corrupt") {
            EXPECT_EQ(got.size(), clean.size());
            EXPECT_EQ(Bytes(got.begin(), got.end() - 2), Bytes(clean.begin(), clean.end() - 2));
        } else if (name == "truncate") {
            EXPECT_EQ(got,
                      Bytes(clean.begin(), clean.begin() + static_cast<long>(clean.size() / 2)));
        } else if (name == "garbage") {
            ASSERT_EQ(got.size(), clean.size() + 9);
            for (std::size_t i = 0; i < 9; ++i) EXPECT_NE(got[i], smd::kSoi);
            EXPECT_EQ(Bytes(got.begin() + 9, got.end()), clean);
        } else {
            EXPECT_EQ(replies[0].delay_ms, 1200u);
            EXPECT_EQ(got, clean);
        }
    }

    sim::Responder keep(sim::ParseScenario(R"({"faults": {"truncate": {"every": 1, "keep": 5}}})"));
    EXPECT_EQ(Send(keep, Command(0x40, 0x51)).at(0).bytes.size(), 5u);
}

TEST(SimResponder, FaultsHitErrorAnswersToo) {
    sim::Responder r(sim::ParseScenario(R"({"faults": {"drop": {"every": 1}}})"));
    EXPECT_TRUE(Send(r, Command(0x40, 0x47)).empty());
    EXPECT_EQ(r.counters().commands, 1u);
    EXPECT_EQ(r.counters().answers, 0u);
    EXPECT_EQ(r.counters().rtn_errors, 0u);
}

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/line/FrameCodec.h"
#include "tests/support/Fixture.h"

using namespace testing_support;

namespace {

struct Collected {
    std::vector<smd::Frame> frames;
    std::vector<smd::FrameError> errors;
    smd::FrameParser parser{[this](const smd::Frame& f) { frames.push_back(f); },
                            [this](smd::FrameError e, std::size_t) { errors.push_back(e); }};
    void Feed(const std::string& s) {
        parser.Feed(reinterpret_cast<const unsigned char*>(s.data()), s.size());
    }
};

std::string text(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

}  // namespace

TEST(FrameCodec, EncodesModelQueryExactly) {
    auto f = smd::encode_frame(0x20, 0x01, 0x40, 0x51, nullptr, 0);
    EXPECT_EQ(text(f), "~200140510000FDB3\r");
}

TEST(FrameCodec, DecodesModelQuery) {
    Collected c;
    c.Feed("~200140510000FDB3\r");
    ASSERT_EQ(c.frames.size(), 1u);
    EXPECT_EQ(c.frames[0].ver, 0x20);
    EXPECT_EQ(c.frames[0].adr, 0x01);
    EXPECT_EQ(c.frames[0].cid1, 0x40);
    EXPECT_EQ(c.frames[0].cid2, 0x51);
    EXPECT_TRUE(c.frames[0].info.empty());
    EXPECT_TRUE(c.errors.empty());
}

TEST(FrameCodec, LengthChecksumZeroWhenNibbleSumIsMultipleOf16) {
    EXPECT_EQ(smd::length_checksum(0x04C), 0);
    EXPECT_EQ(smd::length_checksum(0x002), 0xE);
    EXPECT_EQ(smd::length_checksum(0x000), 0);
    // The group query to address 1 with version 0x25 from a real unit's manual.
    Collected c;
    c.Feed("~25014644E00201FD2E\r");
    ASSERT_EQ(c.frames.size(), 1u);
    EXPECT_EQ(c.frames[0].info, Bytes({0x01}));
    // An INFO of 38 bytes (LENID 0x04C) has LENGTH 004C.
    Bytes info(38, 0xAB);
    auto f = smd::encode_frame(0x20, 1, 0x42, 0x00, info.data(), info.size());
    EXPECT_EQ(text(f).substr(9, 4), "004C");
    Collected d;
    d.Feed(text(f));
    ASSERT_EQ(d.frames.size(), 1u);
    EXPECT_EQ(d.frames[0].info, info);
}

TEST(FrameCodec, ChecksumIsFourDigitsModulo65536) {
    // A long INFO of 0xFF pushes the character sum past 65536.
    Bytes info(2047, 0xFF);
    auto f = smd::encode_frame(0x20, 1, 0x41, 0x00, info.data(), info.size());
    const std::string t = text(f);
    EXPECT_EQ(t.size(), 1 + 12 + 4094 + 4 + 1u);
    Collected c;
    c.Feed(t);
    ASSERT_EQ(c.frames.size(), 1u);
    EXPECT_EQ(c.frames[0].info.size(), 2047u);
}

TEST(FrameCodec, RoundTripsEveryChunking) {
    Bytes info = ByteBuilder().u8s({0x11, 0x02}).f32(220.5f).f32(50.0f).build();
    const std::string one = text(answer_frame(0x40, info));
    const std::string two = one + one;
    for (std::size_t chunk = 1; chunk <= two.size(); ++chunk) {
        Collected c;
        for (std::size_t at = 0; at < two.size(); at += chunk) c.Feed(two.substr(at, chunk));
        ASSERT_EQ(c.frames.size(), 2u) << "chunk " << chunk;
        EXPECT_EQ(c.frames[1].info, info);
        EXPECT_TRUE(c.errors.empty());
    }
}

TEST(FrameCodec, AcceptsLowerCaseHex) {
    Collected c;
    c.Feed("~200140510000fdb3\r");
    EXPECT_EQ(c.frames.size(), 1u);
}

// Each case changes one field of a valid answer; the next good frame must
// still come through.
TEST(FrameCodec, MalformedFramesAreDroppedWithTheirCause) {
    const std::string good = text(answer_frame(0x40, ByteBuilder().u8s({0x10, 0x01, 0x02})));
    struct Case {
        const char* name;
        std::string frame;
        smd::FrameError error;
    };
    std::string bad_chk = good;
    bad_chk[bad_chk.size() - 2] = bad_chk[bad_chk.size() - 2] == '0' ? '1' : '0';
    // LENID says 4 chars while 6 are there; checksums repaired around the edit.
    std::string bad_lenid = good;
    bad_lenid.replace(10, 3, "004");
    bad_lenid = repair_checksums(bad_lenid);
    std::string odd_lenid = good;
    odd_lenid.replace(10, 3, "005");
    odd_lenid.erase(13, 1);
    odd_lenid = repair_checksums(odd_lenid);
    std::string non_hex = good;
    non_hex[14] = 'G';
    std::vector<Case> cases = {
        {"checksum", bad_chk, smd::FrameError::Checksum},
        {"length checksum", repair_checksums(good).replace(9, 1, "7"),
         smd::FrameError::LengthChecksum},
        {"lenid mismatch", bad_lenid, smd::FrameError::LengthMismatch},
        {"odd lenid", odd_lenid, smd::FrameError::LengthMismatch},
        {"non hex", non_hex, smd::FrameError::NonHex},
        {"too short", "~2001\r", smd::FrameError::TooShort},
        {"cut off by SOI", good.substr(0, 10), smd::FrameError::Truncated},
        {"garbage", "xyz\n", smd::FrameError::Garbage},
        {"overlong", "~" + std::string(5000, '0') + "\r", smd::FrameError::Overlong},
    };
    for (const auto& k : cases) {
        Collected c;
        c.Feed(k.frame);
        c.Feed(good);
        ASSERT_EQ(c.frames.size(), 1u) << k.name;
        EXPECT_EQ(c.frames[0].info, Bytes({0x10, 0x01, 0x02})) << k.name;
        ASSERT_EQ(c.errors.size(), 1u) << k.name;
        EXPECT_EQ(c.errors[0], k.error) << k.name;
    }
}

TEST(FrameCodec, RepairHelperRestoresAValidFrame) {
    const std::string good = text(answer_frame(0x42, ByteBuilder().u8s({0xAA, 0xBB})));
    std::string edited = good;
    edited.replace(13, 4, "CCDD");
    Collected c;
    c.Feed(repair_checksums(edited));
    ASSERT_EQ(c.frames.size(), 1u);
    EXPECT_EQ(c.frames[0].info, Bytes({0xCC, 0xDD}));
}

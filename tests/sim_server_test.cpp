// The simulator on a real line: a pseudo-terminal it creates, or a serial
// port it is given. Every wait is a bounded wait on a descriptor.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/line/FrameCodec.h"
#include "runtime/line/SerialPort.h"
#include "sim/Server.h"
#include "tests/support/Fixture.h"

using testing_support::Bytes;

namespace {

Bytes Command(unsigned cid1, unsigned cid2, const Bytes& info = {}) {
    return smd::encode_frame(0x20, 0x01, static_cast<unsigned char>(cid1),
                             static_cast<unsigned char>(cid2), info.data(), info.size());
}

// Reads frames from the port until `want` have come or the bounded waits run out.
std::vector<smd::Frame> ReadFrames(smd::SerialPort& port, std::size_t want, int waits = 40) {
    std::vector<smd::Frame> frames;
    smd::FrameParser parser([&](const smd::Frame& f) { frames.push_back(f); }, nullptr);
    unsigned char buf[512];
    for (int i = 0; i < waits && frames.size() < want; ++i) {
        const int n = port.Read(buf, sizeof buf, 100);
        if (n < 0) break;
        parser.Feed(buf, static_cast<std::size_t>(n));
    }
    return frames;
}

bool Write(smd::SerialPort& port, const Bytes& b) {
    return port.Write(b.data(), static_cast<unsigned int>(b.size()), EnumParity::None) ==
           static_cast<int>(b.size());
}

}  // namespace

TEST(SimServer, RoundTripOnItsPty) {
    sim::Server server(sim::DefaultScenario());
    ASSERT_TRUE(server.Start()) << server.Error();
    EXPECT_TRUE(server.Running());
    ASSERT_FALSE(server.Path().empty());

    smd::SerialPort port(server.Path());
    ASSERT_TRUE(port.Open()) << port.LastError();
    ASSERT_TRUE(Write(port, Command(0x40, 0x51)));
    auto frames = ReadFrames(port, 1);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].cid1, 0x40);
    EXPECT_EQ(frames[0].cid2, 0);
    EXPECT_EQ(std::string(frames[0].info.begin(), frames[0].info.begin() + 6), "RAV-O3");

    // A command cut into pieces and one for another address on the way.
    const Bytes other = smd::encode_frame(0x20, 0x05, 0x40, 0x51, nullptr, 0);
    ASSERT_TRUE(Write(port, other));
    const Bytes cmd = Command(0x40, 0x41, {0xFF});
    ASSERT_TRUE(Write(port, Bytes(cmd.begin(), cmd.begin() + 7)));
    ASSERT_TRUE(Write(port, Bytes(cmd.begin() + 7, cmd.end())));
    frames = ReadFrames(port, 1);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].cid1, 0x40);
    EXPECT_EQ(frames[0].info.size(), 2u + 30u);

    server.Stop();
    EXPECT_FALSE(server.Running());
    const sim::ServerStats st = server.Stats();
    EXPECT_EQ(st.counters.commands, 2u);
    EXPECT_EQ(st.counters.other_address, 1u);
    EXPECT_EQ(st.sent, 2u);
    EXPECT_EQ(st.cycle, 1u);
    server.Stop();  // twice is harmless
}

TEST(SimServer, SlowAnswerWaitsForItsTime) {
    std::atomic<std::int64_t> now{1000};
    sim::ServerOptions options;
    options.clock_ms = [&] { return now.load(); };
    sim::Server server(sim::ParseScenario(R"({"faults": {"delay": {"at": [1], "ms": 1500}}})"),
                       options);
    ASSERT_TRUE(server.Start()) << server.Error();
    smd::SerialPort port(server.Path());
    ASSERT_TRUE(port.Open()) << port.LastError();
    ASSERT_TRUE(Write(port, Command(0x40, 0x51)));
    // The clock stands still: the answer is not due.
    EXPECT_TRUE(ReadFrames(port, 1, 3).empty());
    now += 1500;
    const auto frames = ReadFrames(port, 1);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].cid1, 0x40);
    EXPECT_EQ(server.Stats().counters.by_fault[static_cast<int>(sim::FaultKind::Delay)], 1u);
}

TEST(SimServer, AnswersOnAGivenPort) {
    // The test plays the host on the master side of a pair; the simulator
    // holds the slave as its serial port.
    smd::PtyPair pair;
    ASSERT_TRUE(pair.Create());
    std::vector<std::string> log;
    sim::ServerOptions options;
    std::mutex log_mutex;
    options.log = [&](const std::string& line) {
        std::lock_guard<std::mutex> lock(log_mutex);
        log.push_back(line);
    };
    sim::Server server(sim::DefaultScenario(), options);
    ASSERT_TRUE(server.StartOnPort(pair.SlavePath())) << server.Error();
    EXPECT_EQ(server.Path(), pair.SlavePath());

    const Bytes cmd = Command(0x42, 0x46);
    ASSERT_EQ(::write(pair.MasterFd(), cmd.data(), cmd.size()), static_cast<ssize_t>(cmd.size()));
    std::vector<smd::Frame> frames;
    smd::FrameParser parser([&](const smd::Frame& f) { frames.push_back(f); }, nullptr);
    for (int i = 0; i < 40 && frames.empty(); ++i) {
        pollfd p{pair.MasterFd(), POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        unsigned char buf[256];
        const ssize_t n = ::read(pair.MasterFd(), buf, sizeof buf);
        if (n > 0) parser.Feed(buf, static_cast<std::size_t>(n));
    }
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].cid1, 0x42);
    EXPECT_EQ(frames[0].info.size(), 45u);
    server.Stop();
    std::lock_guard<std::mutex> lock(log_mutex);
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.back().find("42/46 -> RTN 00"), std::string::npos) << log.back();
}

TEST(SimServer, PortThatCannotOpen) {
    sim::Server server(sim::DefaultScenario());
    EXPECT_FALSE(server.StartOnPort("/nonexistent/tty"));
    EXPECT_FALSE(server.Running());
    EXPECT_FALSE(server.Error().empty());
}

TEST(SimServer, LineTime) {
    EXPECT_EQ(sim::line_time_us(1, 9600), 1041);
    EXPECT_EQ(sim::line_time_us(18, 9600), 18750);
    EXPECT_EQ(sim::line_time_us(96, 115200), 8333);
    EXPECT_EQ(sim::line_time_us(10, 0), 0);
}

#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/line/DriverLoop.h"
#include "runtime/line/SerialPort.h"
#include "tests/runtime_fixture.h"

using rt_test::Bytes;
using rt_test::Peer;
using rt_test::PollingDevice;
using rt_test::SharedClock;
using rt_test::Signal;

namespace {

// Pauses return at once unless a test holds the lines it names.
class PauseGate {
  public:
    PauseGate() {
        smd::set_pause([this](unsigned int us) {
            std::unique_lock<std::mutex> l(m_);
            ++pauses_;
            max_us_ = std::max(max_us_, us);
            if (rt_test::current_device == held_) {
                ++held_entered_;
                cv_.notify_all();
                cv_.wait(l, [&] { return released_; });
            }
        });
    }
    ~PauseGate() {
        Release();
        smd::set_pause(nullptr);
    }
    void Hold(const std::string& label) {
        std::lock_guard<std::mutex> l(m_);
        held_ = label;
        released_ = false;
    }
    bool WaitHeld() {
        std::unique_lock<std::mutex> l(m_);
        return cv_.wait_for(l, std::chrono::milliseconds(rt_test::kWaitMs),
                            [&] { return held_entered_ > 0; });
    }
    void Release() {
        std::lock_guard<std::mutex> l(m_);
        released_ = true;
        cv_.notify_all();
    }
    unsigned MaxMicros() {
        std::lock_guard<std::mutex> l(m_);
        return max_us_;
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    std::string held_ = "\x01none";
    bool released_ = true;
    int held_entered_ = 0;
    int pauses_ = 0;
    unsigned max_us_ = 0;
};

// One device on one pty, driven by its loop; events and log lines recorded.
struct Rig {
    smd::PtyPair pty;
    std::shared_ptr<PollingDevice> dev;
    std::shared_ptr<smd::SerialPort> port;
    std::unique_ptr<smd::DriverLoop> loop;
    std::unique_ptr<Peer> peer;
    Signal signal;
    std::mutex m;
    std::vector<std::string> logs;
    std::vector<smd::PortEvent> events;
    termios opened_settings{};

    explicit Rig(const std::string& label, std::string path = "",
                 std::vector<std::pair<unsigned char, unsigned char>> cmds = {{0x40, 0x51},
                                                                              {0x42, 0x41}},
                 int max_backoff = 30000) {
        EXPECT_TRUE(pty.Create());
        dev = std::make_shared<PollingDevice>(cmds);
        dev->label = label;
        dev->on_refresh = [this] { signal.Notify(); };
        port = std::make_shared<smd::SerialPort>(path.empty() ? pty.SlavePath() : path);
        smd::DriverLoopOptions o;
        o.name = label;
        o.poll_period_ms = 5;
        o.reopen_max_ms = max_backoff;
        loop = std::make_unique<smd::DriverLoop>(dev, port, o, [this](const std::string& s) {
            std::lock_guard<std::mutex> l(m);
            logs.push_back(s);
        });
        loop->SetEventListener([this](smd::PortEvent e) {
            {
                std::lock_guard<std::mutex> l(m);
                events.push_back(e);
                if (e == smd::PortEvent::Opened) ::tcgetattr(port->Fd(), &opened_settings);
            }
            signal.Notify();
        });
        peer = std::make_unique<Peer>(pty.MasterFd());
    }
    ~Rig() { loop->Stop(); }
    int Count(smd::PortEvent e) {
        std::lock_guard<std::mutex> l(m);
        int n = 0;
        for (auto x : events) n += x == e;
        return n;
    }
    bool WaitEvents(smd::PortEvent e, int n) {
        return signal.WaitFor([&] { return Count(e) >= n; });
    }
    // Waits until the loop has called RefreshStatus() `n` more times.
    bool WaitRefreshes(int n) {
        const int target = dev->refreshes.load() + n;
        return signal.WaitFor([&] { return dev->refreshes.load() >= target; });
    }
    std::vector<std::string> Logs() {
        std::lock_guard<std::mutex> l(m);
        return logs;
    }
    template <typename F>
    auto Locked(F f) {
        std::lock_guard<std::recursive_mutex> l(dev->DeviceMutex());
        return f();
    }
};

std::string text(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

bool has_log(const std::vector<std::string>& logs, const std::string& part) {
    for (const auto& l : logs) {
        if (l.find(part) != std::string::npos) return true;
    }
    return false;
}

}  // namespace

TEST(DriverLoop, SendsFramesAtTheDeviceSpeedAndTakesAnswersInAnyChunks) {
    SharedClock clock;
    PauseGate gate;
    Rig rig("line1");
    ASSERT_TRUE(rig.loop->Start());
    smd::Frame f;
    ASSERT_TRUE(rig.peer->Next(f));
    EXPECT_EQ(text(f.raw), "~200140510000FDB3\r");
    {
        std::lock_guard<std::mutex> l(rig.m);
        EXPECT_EQ(::cfgetospeed(&rig.opened_settings), static_cast<speed_t>(B9600));
        EXPECT_EQ(rig.opened_settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_FALSE(rig.opened_settings.c_lflag & ICANON);
    }
    // The model answer, one, two, three ... bytes at a time.
    const Bytes a1 = rt_test::answer(0x40, {0x52, 0x41});
    for (std::size_t at = 0, n = 1; at < a1.size(); at += n, ++n) {
        rt_test::write_all(rig.pty.MasterFd(),
                           Bytes(a1.begin() + at, a1.begin() + std::min(a1.size(), at + n)));
    }
    ASSERT_TRUE(rig.peer->Next(f));
    EXPECT_EQ(f.cid1, 0x42);
    EXPECT_EQ(f.cid2, 0x41);
    // The second answer after some noise, in two pieces.
    Bytes a2 = rt_test::answer(0x42, {0x01});
    Bytes noisy = {'x', 0x00, 0xFF};
    noisy.insert(noisy.end(), a2.begin(), a2.begin() + 7);
    rt_test::write_all(rig.pty.MasterFd(), noisy);
    rt_test::write_all(rig.pty.MasterFd(), Bytes(a2.begin() + 7, a2.end()));
    ASSERT_TRUE(rig.signal.WaitFor([&] { return rig.dev->cycles.load() == 1; }));
    rig.Locked([&] {
        EXPECT_EQ(rig.dev->ready, 1);
        EXPECT_EQ(rig.dev->Stats().answers, 2u);
        EXPECT_EQ(rig.dev->Stats().cycles, 1u);
        EXPECT_EQ(rig.dev->Stats().garbage_runs, 1u);
        return 0;
    });
    EXPECT_EQ(gate.MaxMicros(), 20000u);
    EXPECT_TRUE(has_log(rig.Logs(), "line1: " + rig.pty.SlavePath() + " open at 9600 baud"));
}

TEST(DriverLoop, RepeatsACommandWhoseAnswerTimesOut) {
    SharedClock clock;
    PauseGate gate;
    // Two commands of one block: after a repeat whose first send drew bytes,
    // nothing is owed and the second goes out at once.
    Rig rig("line1", "", {{0x40, 0x51}, {0x40, 0x52}});
    ASSERT_TRUE(rig.loop->Start());
    smd::Frame first;
    ASSERT_TRUE(rig.peer->Next(first));
    // Half an answer, then silence: the half is dropped at the time-out.
    const Bytes a1 = rt_test::answer(0x40, {0x52});
    rt_test::write_all(rig.pty.MasterFd(), Bytes(a1.begin(), a1.begin() + 9));
    ASSERT_TRUE(rig.signal.WaitFor([&] { return rig.dev->bytes_in.load() == 9; }));
    const std::int64_t timeout = rig.Locked([&] { return rig.dev->AnswerTimeoutMillis(); });
    // Silence on the line, whatever the longest answer would take.
    EXPECT_EQ(timeout, 1000);
    clock.AdvanceMillis(timeout - 1);
    ASSERT_TRUE(rig.WaitRefreshes(3));
    EXPECT_TRUE(rig.peer->Quiet(0));
    clock.AdvanceMillis(1);
    smd::Frame again;
    ASSERT_TRUE(rig.peer->Next(again));
    EXPECT_EQ(again.raw, first.raw);
    rig.Locked([&] {
        EXPECT_EQ(rig.dev->Timeouts(), 1u);
        EXPECT_EQ(rig.dev->Stats().timeouts, 1u);
        return 0;
    });
    // The whole answer to the repeated command is taken. The first send was
    // answered (cut off), so no answer is owed: the next command of the same
    // block goes out without waiting for the clock.
    rt_test::write_all(rig.pty.MasterFd(), a1);
    smd::Frame next;
    ASSERT_TRUE(rig.peer->Next(next));
    EXPECT_EQ(next.cid1, 0x40);
    EXPECT_EQ(next.cid2, 0x52);
    EXPECT_EQ(rig.dev->answers.load(), 1);
}

TEST(DriverLoop, ReopensAVanishedPortWithGrowingPauses) {
    SharedClock clock;
    PauseGate gate;
    rt_test::TempDir dir;
    const std::string link = dir.File("ttyRAVO");
    smd::PtyPair first;
    ASSERT_TRUE(first.Create());
    ASSERT_EQ(::symlink(first.SlavePath().c_str(), link.c_str()), 0);
    Rig rig("site-a", link, {{0x40, 0x51}, {0x42, 0x41}}, 4000);
    Peer peer1(first.MasterFd());
    ASSERT_TRUE(rig.loop->Start());
    smd::Frame f;
    ASSERT_TRUE(peer1.Next(f));

    // The adapter is pulled: the port is reported lost and closed.
    ::unlink(link.c_str());
    first.CloseMaster();
    ASSERT_TRUE(rig.WaitEvents(smd::PortEvent::Lost, 1));
    EXPECT_FALSE(rig.loop->PortOpen());
    // Each failed attempt doubles the pause, up to the cap.
    const std::vector<int> expected = {1000, 2000, 4000, 4000};
    clock.AdvanceMillis(500);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_TRUE(rig.WaitEvents(smd::PortEvent::OpenFailed, static_cast<int>(i) + 1));
        EXPECT_TRUE(has_log(rig.Logs(), "retrying in " + std::to_string(expected[i]) + " ms"));
        clock.AdvanceMillis(expected[i]);
    }
    EXPECT_TRUE(has_log(rig.Logs(), "site-a: lost " + link));
    EXPECT_TRUE(has_log(rig.Logs(), "cannot open " + link));

    // Plugged in again (a new device node behind the same name).
    ASSERT_EQ(::symlink(rig.pty.SlavePath().c_str(), link.c_str()), 0);
    ASSERT_TRUE(rig.WaitEvents(smd::PortEvent::Opened, 2));
    ASSERT_TRUE(rig.peer->Next(f));
    EXPECT_EQ(text(f.raw), "~200140510000FDB3\r");  // the exchange in flight was ended
    rt_test::write_all(rig.pty.MasterFd(), rt_test::answer(0x40, {0x52}));
    ASSERT_TRUE(rig.peer->Next(f));
    EXPECT_EQ(f.cid1, 0x42);
    EXPECT_EQ(rig.loop->ReopenDelayMillis(), 500);  // a working line resets the pause
    EXPECT_EQ(rig.loop->Losses(), 1u);
}

TEST(DriverLoop, OnePausedLineDoesNotHoldUpAnother) {
    SharedClock clock;
    PauseGate gate;
    gate.Hold("A");
    Rig a("A");
    Rig b("B");
    ASSERT_TRUE(a.loop->Start());
    ASSERT_TRUE(b.loop->Start());
    smd::Frame fa, fb;
    ASSERT_TRUE(a.peer->Next(fa));
    ASSERT_TRUE(b.peer->Next(fb));
    rt_test::write_all(a.pty.MasterFd(), rt_test::answer(0x40, {0x52}));
    ASSERT_TRUE(gate.WaitHeld());  // line A sits in its pause
    rt_test::write_all(b.pty.MasterFd(), rt_test::answer(0x40, {0x52}));
    ASSERT_TRUE(b.peer->Next(fb));
    EXPECT_EQ(fb.cid1, 0x42);
    rt_test::write_all(b.pty.MasterFd(), rt_test::answer(0x42, {0x00}));
    ASSERT_TRUE(b.signal.WaitFor([&] { return b.dev->cycles.load() == 1; }));
    EXPECT_EQ(a.dev->answers.load(), 0);
    gate.Release();
    ASSERT_TRUE(a.peer->Next(fa));
    EXPECT_EQ(fa.cid1, 0x42);
    EXPECT_EQ(a.dev->answers.load(), 1);
}

TEST(DriverLoop, ValueQueriesUnderTheDeviceLockWhileTheLineRuns) {
    SharedClock clock;
    PauseGate gate;
    Rig rig("line1");
    ASSERT_TRUE(rig.loop->Start());
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done.load()) {
            rig.Locked([&] {
                volatile auto answers = rig.dev->Stats().answers;
                volatile auto ready = rig.dev->ready;
                (void)answers;
                (void)ready;
                return 0;
            });
        }
    });
    smd::Frame f;
    for (int cycle = 0; cycle < 3; ++cycle) {
        ASSERT_TRUE(rig.peer->Next(f));
        rt_test::write_all(rig.pty.MasterFd(), rt_test::answer(0x40, {0x52}));
        ASSERT_TRUE(rig.peer->Next(f));
        rt_test::write_all(rig.pty.MasterFd(), rt_test::answer(0x42, {0x00}));
        ASSERT_TRUE(rig.signal.WaitFor([&] { return rig.dev->cycles.load() == cycle + 1; }));
    }
    done = true;
    reader.join();
}

TEST(DriverLoop, StopsCleanlyAndClosesThePort) {
    SharedClock clock;
    PauseGate gate;
    Rig rig("line1");
    ASSERT_TRUE(rig.loop->Start());
    ASSERT_TRUE(rig.WaitEvents(smd::PortEvent::Opened, 1));
    rig.loop->Stop();
    EXPECT_FALSE(rig.loop->Running());
    EXPECT_FALSE(rig.loop->PortOpen());
    EXPECT_FALSE(rig.port->IsOpen());
    rig.loop->Stop();  // twice is harmless
    // It can be started again.
    ASSERT_TRUE(rig.loop->Start());
    ASSERT_TRUE(rig.WaitEvents(smd::PortEvent::Opened, 2));
}

TEST(DriverLoop, AnUnsupportedSpeedIsReportedAndRetriedWithoutEndingTheHost) {
    SharedClock clock;
    PauseGate gate;
    Rig rig("odd");
    rig.dev->baud_rate = 12345;
    ASSERT_TRUE(rig.loop->Start());
    ASSERT_TRUE(rig.WaitEvents(smd::PortEvent::OpenFailed, 1));
    EXPECT_TRUE(has_log(rig.Logs(), "unsupported line speed 12345"));
    clock.AdvanceMillis(500);
    ASSERT_TRUE(rig.WaitEvents(smd::PortEvent::OpenFailed, 2));
    EXPECT_TRUE(rig.loop->Running());
}

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "runtime/line/SerialPort.h"
#include "tests/runtime_fixture.h"

using rt_test::Bytes;

namespace {

struct Line {
    smd::PtyPair pty;
    std::unique_ptr<smd::SerialPort> port;
    Line() {
        EXPECT_TRUE(pty.Create());
        port = std::make_unique<smd::SerialPort>(pty.SlavePath());
    }
    termios Settings() const {
        termios t{};
        EXPECT_EQ(::tcgetattr(port->Fd(), &t), 0);
        return t;
    }
};

}  // namespace

TEST(SerialPort, OpensRawEightNoneOneAtTheRequestedSpeed) {
    struct Case {
        int baud;
        speed_t speed;
    };
    for (const Case& c : {Case{9600, B9600}, Case{0, B9600}, Case{19200, B19200},
                          Case{115200, B115200}, Case{1200, B1200}}) {
        SCOPED_TRACE(c.baud);
        Line line;
        line.port->Configure(c.baud, EnumParity::None);
        ASSERT_TRUE(line.port->Open()) << line.port->LastError();
        const termios t = line.Settings();
        EXPECT_EQ(::cfgetospeed(&t), c.speed);
        EXPECT_EQ(::cfgetispeed(&t), c.speed);
        EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_FALSE(t.c_cflag & CSTOPB);
        EXPECT_FALSE(t.c_cflag & PARODD);
        EXPECT_TRUE(t.c_cflag & CREAD);
        EXPECT_TRUE(t.c_cflag & CLOCAL);
        EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
        EXPECT_FALSE(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | ISTRIP));
        EXPECT_FALSE(t.c_oflag & OPOST);
        EXPECT_EQ(t.c_cc[VMIN], 0);
    }
}

TEST(SerialPort, ReconfiguresAnOpenLine) {
    Line line;
    ASSERT_TRUE(line.port->Open());
    line.port->Configure(38400, EnumParity::None);
    const termios t = line.Settings();
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B38400));
}

TEST(SerialPort, RefusesSpeedsItCannotSet) {
    for (int baud : {12345, 14400, 1, 10000000}) {
        SCOPED_TRACE(baud);
        Line line;
        line.port->Configure(baud, EnumParity::None);
        EXPECT_FALSE(line.port->Open());
        EXPECT_FALSE(line.port->IsOpen());
        EXPECT_NE(line.port->LastError().find("unsupported line speed " + std::to_string(baud)),
                  std::string::npos)
            << line.port->LastError();
    }
    EXPECT_TRUE(smd::SerialPort::SupportedBaud(9600));
    EXPECT_FALSE(smd::SerialPort::SupportedBaud(9601));
}

TEST(SerialPort, OpenFailuresSayWhy) {
    struct Case {
        std::string path;
        std::string reason;
    };
    for (const Case& c : {Case{"/nonexistent/ttyUSB9", "cannot open"},
                          Case{"/dev/null", "not a terminal device"}}) {
        smd::SerialPort port(c.path);
        EXPECT_FALSE(port.Open());
        EXPECT_EQ(port.Fd(), -1);
        EXPECT_NE(port.LastError().find(c.path), std::string::npos) << port.LastError();
        EXPECT_NE(port.LastError().find(c.reason), std::string::npos) << port.LastError();
    }
}

TEST(SerialPort, WritesEveryByteWithTheParityAsked) {
    // A pty keeps PARODD and CMSPAR but always clears PARENB, so those two
    // bits tell the parity that was set.
    struct Case {
        EnumParity parity;
        bool parodd;
        bool cmspar;
    };
    Line line;
    ASSERT_TRUE(line.port->Open());
    rt_test::Peer peer(line.pty.MasterFd());
    for (const Case& c : {Case{EnumParity::Odd, true, false}, Case{EnumParity::Even, false, false},
                          Case{EnumParity::Mark, true, true}, Case{EnumParity::Space, false, true},
                          Case{EnumParity::None, false, false}}) {
        SCOPED_TRACE(static_cast<int>(c.parity));
        const std::string frame = "~200140510000FDB3\r";
        ASSERT_EQ(line.port->Write(reinterpret_cast<const unsigned char*>(frame.data()),
                                   static_cast<unsigned>(frame.size()), c.parity),
                  static_cast<int>(frame.size()));
        smd::Frame f;
        ASSERT_TRUE(peer.Next(f));
        EXPECT_EQ(std::string(f.raw.begin(), f.raw.end()), frame);
        EXPECT_EQ(line.port->Parity(), c.parity);
        const termios t = line.Settings();
        EXPECT_EQ(bool(t.c_cflag & PARODD), c.parodd);
        EXPECT_EQ(bool(t.c_cflag & CMSPAR), c.cmspar);
    }
}

TEST(SerialPort, ReadsWhatArrivesAndTimesOutWithZero) {
    Line line;
    ASSERT_TRUE(line.port->Open());
    unsigned char buf[64];
    EXPECT_EQ(line.port->Read(buf, sizeof buf, 0), 0);
    EXPECT_EQ(line.port->Read(buf, sizeof buf, 5), 0);
    rt_test::write_all(line.pty.MasterFd(), std::string("~2001"));
    Bytes got;
    while (got.size() < 5) {
        const int n = line.port->Read(buf, 3, rt_test::kWaitMs);
        ASSERT_GT(n, 0);
        ASSERT_LE(n, 3);
        got.insert(got.end(), buf, buf + n);
    }
    EXPECT_EQ(std::string(got.begin(), got.end()), "~2001");
    EXPECT_EQ(line.port->Read(buf, 0, 0), 0);
}

TEST(SerialPort, AVanishedLineReadsMinusOneAndIsClosed) {
    Line line;
    ASSERT_TRUE(line.port->Open());
    line.pty.CloseMaster();
    unsigned char buf[16];
    EXPECT_EQ(line.port->Read(buf, sizeof buf, rt_test::kWaitMs), -1);
    EXPECT_FALSE(line.port->IsOpen());
    EXPECT_FALSE(line.port->LastError().empty());
    EXPECT_EQ(line.port->Read(buf, sizeof buf, 0), -1);
    const unsigned char b = 'x';
    EXPECT_EQ(line.port->Write(&b, 1, EnumParity::None), -1);
}

TEST(SerialPort, ClosesAndReopensTheSameLine) {
    Line line;
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(line.port->Open()) << line.port->LastError();
        EXPECT_TRUE(line.port->Open());  // already open
        const unsigned char b = 'A' + round;
        ASSERT_EQ(line.port->Write(&b, 1, EnumParity::None), 1);
        unsigned char got = 0;
        pollfd p{line.pty.MasterFd(), POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, rt_test::kWaitMs), 1);
        ASSERT_EQ(::read(line.pty.MasterFd(), &got, 1), 1);
        EXPECT_EQ(got, b);
        line.port->Close();
        EXPECT_FALSE(line.port->IsOpen());
    }
}

// One host per line: the lock file serial programs honour, flock on the line,
// and a second port object of this process.
TEST(SerialPort, TakesTheLineLocksAndRefusesALineHeldElsewhere) {
    const auto lock_name = [](const std::string& slave) {
        return "LCK.." + slave.substr(slave.find_last_of('/') + 1);
    };
    const auto read_file = [](const std::string& path) {
        std::ifstream in(path);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    const pid_t dead = ::fork();
    if (dead == 0) ::_exit(0);
    ASSERT_GT(dead, 0);
    ::waitpid(dead, nullptr, 0);
    char own[16];
    std::snprintf(own, sizeof own, "%10d\n", static_cast<int>(::getpid()));
    struct Case {
        const char* name;
        std::string content;  // of a lock file already there; empty: none
        bool missing_dir;
        bool opens;
        int holder;
    };
    const std::vector<Case> cases = {
        {"free", "", false, true, 0},
        {"held by a live process", "         1\n", false, false, 1},
        {"left by a dead process", std::to_string(dead) + "\n", false, true, 0},
        {"unreadable lock file", "garbage\n", false, true, 0},
        {"no lock directory", "", true, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rt_test::TempDir dir;
        Line line;
        const std::string lock_dir = c.missing_dir ? dir.File("none") : dir.Path();
        const std::string file = lock_dir + "/" + lock_name(line.pty.SlavePath());
        if (!c.content.empty()) std::ofstream(file) << c.content;
        line.port->SetLockDirectory(lock_dir);
        EXPECT_EQ(line.port->Open(), c.opens) << line.port->LastError();
        EXPECT_EQ(line.port->Busy(), !c.opens);
        EXPECT_EQ(line.port->HolderPid(), c.holder);
        EXPECT_EQ(line.port->LockNote().empty(), !c.missing_dir);
        if (!c.opens) {
            EXPECT_EQ(line.port->LastError(),
                      line.pty.SlavePath() + ": held by another process (PID 1), lock file in " +
                          lock_dir);
            EXPECT_EQ(read_file(file), c.content);
            continue;
        }
        if (!c.missing_dir) {
            EXPECT_EQ(read_file(file), own);
        }
        // A second port object of this host on the same line.
        smd::SerialPort again(line.pty.SlavePath());
        again.SetLockDirectory(lock_dir);
        EXPECT_FALSE(again.Open());
        EXPECT_TRUE(again.Busy());
        line.port->Close();
        EXPECT_FALSE(std::ifstream(file).good()) << "removed at close";
        EXPECT_TRUE(again.Open()) << again.LastError();
    }

    // A process that ignores lock files but holds flock on the line.
    Line line;
    int ready[2], done[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(done), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        ::close(done[1]);  // so that the parent's close ends the read below
        const int fd = ::open(line.pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
        const bool ok = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        (void)!::write(ready[1], ok ? "y" : "n", 1);
        char b;
        (void)!::read(done[0], &b, 1);
        ::_exit(0);
    }
    char b = 0;
    ASSERT_EQ(::read(ready[0], &b, 1), 1);
    ASSERT_EQ(b, 'y');
    line.port->SetLockDirectory("");
    EXPECT_FALSE(line.port->Open());
    EXPECT_TRUE(line.port->Busy());
    EXPECT_EQ(line.port->HolderPid(), holder);
    EXPECT_NE(line.port->LastError().find("(PID " + std::to_string(holder) + "), flock"),
              std::string::npos)
        << line.port->LastError();
    ::close(done[1]);
    ::waitpid(holder, nullptr, 0);
    EXPECT_TRUE(line.port->Open()) << line.port->LastError();
    for (int fd : {ready[0], ready[1], done[0]}) ::close(fd);
}

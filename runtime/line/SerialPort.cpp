#include "runtime/line/SerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <utility>

namespace smd {
namespace {

bool speed_of(int baud, speed_t& out) {
    switch (baud) {
        case 300:
            out = B300;
            return true;
        case 600:
            out = B600;
            return true;
        case 1200:
            out = B1200;
            return true;
        case 2400:
            out = B2400;
            return true;
        case 4800:
            out = B4800;
            return true;
        case 9600:
            out = B9600;
            return true;
        case 19200:
            out = B19200;
            return true;
        case 38400:
            out = B38400;
            return true;
        case 57600:
            out = B57600;
            return true;
        case 115200:
            out = B115200;
            return true;
        case 230400:
            out = B230400;
            return true;
        default:
            return false;
    }
}

bool set_parity(termios& tio, EnumParity parity) {
    tio.c_cflag &= ~(PARENB | PARODD);
#ifdef CMSPAR
    tio.c_cflag &= ~CMSPAR;
#endif
    switch (parity) {
        case EnumParity::None:
            return true;
        case EnumParity::Odd:
            tio.c_cflag |= PARENB | PARODD;
            return true;
        case EnumParity::Even:
            tio.c_cflag |= PARENB;
            return true;
#ifdef CMSPAR
        // With CMSPAR the parity bit is fixed: PARODD selects 1 (mark), else 0 (space).
        case EnumParity::Mark:
            tio.c_cflag |= PARENB | CMSPAR | PARODD;
            return true;
        case EnumParity::Space:
            tio.c_cflag |= PARENB | CMSPAR;
            return true;
#endif
        default:
            return false;
    }
}

const char* parity_name(EnumParity p) {
    switch (p) {
        case EnumParity::None:
            return "none";
        case EnumParity::Odd:
            return "odd";
        case EnumParity::Even:
            return "even";
        case EnumParity::Mark:
            return "mark";
        case EnumParity::Space:
            return "space";
    }
    return "?";
}

// Lines this process holds: a second port object on the same line is refused
// like another process would be (a lock file names only our PID).
std::mutex g_held_mutex;
std::set<std::string> g_held;

bool pid_alive(int pid) {
    return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

// The PID in a lock file: ASCII digits, blanks around them. 0 when unreadable.
int lock_file_pid(const std::string& path) {
    std::ifstream in(path);
    std::string text;
    if (!in || !std::getline(in, text)) return 0;
    char* end = nullptr;
    errno = 0;
    const long pid = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || pid <= 0 || pid > INT_MAX) return 0;
    for (; *end; ++end) {
        if (*end != ' ' && *end != '\t' && *end != '\r') return 0;
    }
    return static_cast<int>(pid);
}

// The process holding a flock on the file open as `fd`, from /proc/locks; 0
// when it cannot be told.
int flock_holder(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return 0;
    std::ifstream in("/proc/locks");
    std::string line;
    while (std::getline(in, line)) {
        // "1: FLOCK  ADVISORY  WRITE 1234 00:05:123 0 EOF"
        std::istringstream f(line);
        std::string n, kind, mode, rw, dev;
        long pid = 0;
        if (!(f >> n >> kind)) continue;
        if (kind == "->") f >> kind;  // a waiter
        if (!(f >> mode >> rw >> pid >> dev) || kind != "FLOCK") continue;
        unsigned maj = 0, min = 0;
        unsigned long long ino = 0;
        if (std::sscanf(dev.c_str(), "%x:%x:%llu", &maj, &min, &ino) != 3) continue;
        if (ino == st.st_ino && maj == ::major(st.st_dev) && min == ::minor(st.st_dev) &&
            pid != ::getpid()) {
            return static_cast<int>(pid);
        }
    }
    return 0;
}

}  // namespace

SerialPort::SerialPort(std::string path) : path_(std::move(path)) {}

SerialPort::~SerialPort() {
    Close();
}

bool SerialPort::SupportedBaud(int baud) {
    speed_t s;
    return speed_of(baud, s);
}

void SerialPort::Fail(const std::string& what, int err) {
    last_error_ = path_ + ": " + what;
    if (err != 0) last_error_ += ": " + std::string(std::strerror(err));
}

void SerialPort::FailBusy(int pid, const std::string& how) {
    busy_ = true;
    holder_pid_ = pid;
    last_error_ = path_ + ": held by another process" +
                  (pid > 0 ? " (PID " + std::to_string(pid) + ")" : std::string()) +
                  (how.empty() ? std::string() : ", " + how);
}

int SerialPort::TakeLockFile(const std::string& device) {
    lock_note_.clear();
    if (lock_dir_.empty()) return 1;
    const std::string::size_type slash = device.find_last_of('/');
    const std::string file =
        lock_dir_ + "/LCK.." + (slash == std::string::npos ? device : device.substr(slash + 1));
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            char text[16];
            const int n = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
            const bool ok = ::write(fd, text, static_cast<std::size_t>(n)) == n;
            ::close(fd);
            if (!ok) {
                ::unlink(file.c_str());
                lock_note_ = "cannot write lock file " + file + "; relying on flock alone";
                return 1;
            }
            lock_file_ = file;
            return 1;
        }
        if (errno != EEXIST) {
            // No such directory, read-only or not ours: other programs cannot
            // see our claim, but flock still keeps a second host of ours out.
            lock_note_ = "lock directory " + lock_dir_ + " not usable (" + std::strerror(errno) +
                         "); relying on flock alone";
            return 1;
        }
        const int pid = lock_file_pid(file);
        if (pid == ::getpid()) {
            // Left by this process (its port object is gone): ours again.
            lock_file_ = file;
            return 1;
        }
        if (pid_alive(pid)) {
            holder_pid_ = pid;
            return 0;
        }
        // The holder died without removing it (or wrote nothing we can read).
        if (::unlink(file.c_str()) != 0 && errno != ENOENT) {
            lock_note_ = "cannot remove stale lock file " + file + " (" + std::strerror(errno) +
                         "); relying on flock alone";
            return 1;
        }
    }
    lock_note_ = "lock file " + file + " keeps coming back; relying on flock alone";
    return 1;
}

void SerialPort::ReleaseLocks() {
    if (!lock_file_.empty()) {
        // Only our own claim: a file another process wrote meanwhile stays.
        if (lock_file_pid(lock_file_) == ::getpid()) ::unlink(lock_file_.c_str());
        lock_file_.clear();
    }
    if (!held_name_.empty()) {
        std::lock_guard<std::mutex> lock(g_held_mutex);
        g_held.erase(held_name_);
        held_name_.clear();
    }
}

bool SerialPort::Open() {
    if (fd_ >= 0) return true;
    busy_ = false;
    holder_pid_ = 0;
    if (!baud_ok_) {
        last_error_ = path_ + ": unsupported line speed " + std::to_string(baud_);
        return false;
    }
    // Locks go by the device itself, whatever link names it.
    char real[PATH_MAX];
    if (!::realpath(path_.c_str(), real)) {
        Fail("cannot open", errno);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(g_held_mutex);
        if (!g_held.insert(real).second) {
            FailBusy(::getpid(), "a line of this host");
            return false;
        }
    }
    held_name_ = real;
    if (TakeLockFile(real) == 0) {
        const int pid = holder_pid_;
        ReleaseLocks();
        FailBusy(pid, "lock file in " + lock_dir_);
        return false;
    }
    const int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        ReleaseLocks();
        if (err == EBUSY) {
            FailBusy(0, std::strerror(err));
        } else {
            Fail("cannot open", err);
        }
        return false;
    }
    if (!::isatty(fd)) {
        ::close(fd);
        ReleaseLocks();
        Fail("not a terminal device", 0);
        return false;
    }
    // The lock that holds even for programs that ignore lock files, and for root.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        const int pid = err == EWOULDBLOCK ? flock_holder(fd) : 0;
        ::close(fd);
        ReleaseLocks();
        if (err == EWOULDBLOCK) {
            FailBusy(pid, "flock");
        } else {
            Fail("cannot lock", err);
        }
        return false;
    }
    // A second host on the same line would garble both; failure is harmless.
    (void)::ioctl(fd, TIOCEXCL);
    fd_ = fd;
    struct stat st {};
    // Unix98 pseudo-terminal slaves (majors 136..143) pass bytes at once.
    pty_ = ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && ::major(st.st_rdev) >= 136 &&
           ::major(st.st_rdev) <= 143;
    if (!ApplyLine(EnumParity::None, false)) {
        ::close(fd_);
        fd_ = -1;
        ReleaseLocks();
        return false;
    }
    (void)::tcflush(fd_, TCIOFLUSH);
    last_error_.clear();
    return true;
}

void SerialPort::Close() {
    if (fd_ < 0) return;
    // The exclusive flag outlives our descriptor while anyone else holds the
    // line (a pty's own end, say), which would refuse our reopen.
    (void)::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
    fd_ = -1;
    ReleaseLocks();
}

bool SerialPort::IsOpen() const {
    return fd_ >= 0;
}

void SerialPort::Configure(int baud, EnumParity parity) {
    speed_t s;
    if (baud <= 0) baud = 9600;
    baud_ = baud;
    baud_ok_ = speed_of(baud, s);
    if (!baud_ok_) {
        last_error_ = path_ + ": unsupported line speed " + std::to_string(baud);
        Close();
        return;
    }
    if (fd_ >= 0) {
        ApplyLine(parity, true);
    } else {
        parity_ = parity;
    }
}

bool SerialPort::ApplyLine(EnumParity parity, bool drain) {
    speed_t speed;
    if (!speed_of(baud_, speed)) {
        last_error_ = path_ + ": unsupported line speed " + std::to_string(baud_);
        return false;
    }
    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0) {
        Fail("cannot read line settings", errno);
        return false;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (!set_parity(tio, parity)) {
        last_error_ = path_ + ": parity " + parity_name(parity) + " not available";
        return false;
    }
    if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0) {
        Fail("cannot set line speed", errno);
        return false;
    }
    if (::tcsetattr(fd_, drain ? TCSADRAIN : TCSANOW, &tio) != 0) {
        Fail("cannot apply line settings", errno);
        return false;
    }
    parity_ = parity;
    return true;
}

int SerialPort::Write(const unsigned char* data, unsigned int len, EnumParity parity) {
    if (fd_ < 0) return -1;
    if (parity != parity_ && !ApplyLine(parity, true)) return -1;
    // Allowance for the whole frame at the line speed, plus slack for a busy
    // adapter; a line that takes no bytes for that long is dead.
    const long long allowance_ms = 1000 + (10LL * len * 1000) / (baud_ > 0 ? baud_ : 9600);
    unsigned int done = 0;
    while (done < len) {
        const ssize_t n = ::write(fd_, data + done, len - done);
        if (n > 0) {
            done += static_cast<unsigned int>(n);
            continue;
        }
        const int err = n < 0 ? errno : 0;
        if (err == EINTR) continue;
        if (err != EAGAIN && err != EWOULDBLOCK) {
            Fail("write failed", err);
            Close();
            return -1;
        }
        pollfd p{fd_, POLLOUT, 0};
        const int r = ::poll(&p, 1, static_cast<int>(allowance_ms));
        if (r < 0 && errno == EINTR) continue;
        if (r > 0 && !(p.revents & (POLLERR | POLLHUP | POLLNVAL))) continue;
        Fail(r == 0 ? "write timed out" : "line gone while writing", r < 0 ? errno : 0);
        Close();
        return -1;
    }
    return static_cast<int>(len);
}

int SerialPort::Read(unsigned char* buf, unsigned int cap, int timeout_ms) {
    if (fd_ < 0) return -1;
    if (cap == 0) return 0;
    pollfd p{fd_, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        Fail("poll failed", errno);
        Close();
        return -1;
    }
    if (r == 0) return 0;
    if (p.revents & POLLIN) {
        ssize_t n;
        do {
            n = ::read(fd_, buf, cap);
        } while (n < 0 && errno == EINTR);
        if (n > 0) return static_cast<int>(n);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
        Fail(n == 0 ? "line closed" : "read failed", n < 0 ? errno : 0);
        Close();
        return -1;
    }
    // POLLHUP, POLLERR or POLLNVAL without data: the device went away.
    Fail("line hung up", 0);
    Close();
    return -1;
}

int SerialPort::Fd() const {
    return fd_;
}

const std::string& SerialPort::Path() const {
    return path_;
}

PtyPair::PtyPair() = default;

PtyPair::~PtyPair() {
    CloseMaster();
    if (slave_ >= 0) ::close(slave_);
}

bool PtyPair::Create() {
    if (master_ >= 0) return true;
    int m = -1;
    int s = -1;
    char name[256] = {0};
    if (::openpty(&m, &s, name, nullptr, nullptr) != 0) return false;
    termios tio{};
    for (int fd : {m, s}) {
        if (::tcgetattr(fd, &tio) == 0) {
            ::cfmakeraw(&tio);
            (void)::tcsetattr(fd, TCSANOW, &tio);
        }
    }
    (void)::fcntl(m, F_SETFD, FD_CLOEXEC);
    (void)::fcntl(s, F_SETFD, FD_CLOEXEC);
    master_ = m;
    slave_ = s;
    slave_path_ = name;
    return true;
}

int PtyPair::MasterFd() const {
    return master_;
}

const std::string& PtyPair::SlavePath() const {
    return slave_path_;
}

void PtyPair::CloseMaster() {
    if (master_ < 0) return;
    ::close(master_);
    master_ = -1;
}

}  // namespace smd

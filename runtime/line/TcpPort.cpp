#include "runtime/line/TcpPort.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "runtime/line/SerialPort.h"

namespace smd {

std::string PortAddress::Key() const {
    if (kind == Kind::Serial) return path;
    std::string h = host;
    for (char& c : h) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return "tcp://" + h + ":" + std::to_string(port);
}

bool ParsePortAddress(const std::string& text, PortAddress& out, std::string& error) {
    PortAddress addr;
    std::string rest;
    if (text.rfind("tcp://", 0) == 0) {
        addr.kind = PortAddress::Kind::Tcp;
        rest = text.substr(6);
    } else if (text.rfind("rfc2217://", 0) == 0) {
        addr.kind = PortAddress::Kind::Rfc2217;
        rest = text.substr(10);
    } else if (text.find("://") != std::string::npos) {
        error = "\"" + text +
                "\" is no port this host knows: a serial device path, "
                "tcp://HOST:PORT or rfc2217://HOST:PORT";
        return false;
    } else {
        addr.path = text;
        out = addr;
        return true;
    }
    std::string port;
    if (!rest.empty() && rest[0] == '[') {
        const auto close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
            error = "\"" + text + "\": an IPv6 address goes in brackets, then :PORT";
            return false;
        }
        addr.host = rest.substr(1, close - 1);
        port = rest.substr(close + 2);
    } else {
        const auto colon = rest.rfind(':');
        if (colon == std::string::npos) {
            error = "\"" + text + "\": the TCP port is missing (HOST:PORT)";
            return false;
        }
        addr.host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
    }
    const bool host_ok =
        !addr.host.empty() && addr.host.size() <= 253 &&
        std::all_of(addr.host.begin(), addr.host.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':';
        });
    if (!host_ok) {
        error = "\"" + text + "\": \"" + addr.host + "\" is not a host name or address";
        return false;
    }
    long number = 0;
    const bool digits =
        !port.empty() && port.size() <= 5 && std::all_of(port.begin(), port.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c));
        });
    if (digits) number = std::stol(port);
    if (!digits || number < 1 || number > 65535) {
        error = "\"" + text + "\": the TCP port must be a number from 1 to 65535";
        return false;
    }
    addr.port = static_cast<int>(number);
    out = addr;
    return true;
}

std::shared_ptr<LinePort> PortFor(const std::string& text, const std::string& lock_dir,
                                  std::int64_t allowance_ms) {
    PortAddress addr;
    std::string error;
    if (ParsePortAddress(text, addr, error) && addr.kind != PortAddress::Kind::Serial) {
        TcpPort::Options o;
        o.allowance_ms = allowance_ms;
        o.lock_dir = lock_dir;
        return std::make_shared<TcpPort>(addr, text, o);
    }
    auto serial = std::make_shared<SerialPort>(text);
    serial->SetLockDirectory(lock_dir);
    return serial;
}

TcpPort::TcpPort(PortAddress addr, std::string text, Options options)
    : addr_(std::move(addr)), text_(std::move(text)), options_(std::move(options)) {}

TcpPort::~TcpPort() {
    Close();
}

void TcpPort::Configure(int baud_rate, EnumParity parity) {
    baud_ = baud_rate > 0 ? baud_rate : 9600;
    parity_ = parity;
    if (fd_ >= 0 && addr_.kind == PortAddress::Kind::Rfc2217) {
        const telnet::Bytes s = telnet::LineSettings(baud_, parity_);
        SendAll(s.data(), s.size());
    }
}

bool TcpPort::TakeLock() {
    lock_note_.clear();
    if (options_.lock_dir.empty()) return true;
    std::string name = addr_.Key().substr(6);
    for (char& c : name) {
        if (c == ':' || c == '/') c = '_';
    }
    const std::string file = options_.lock_dir + "/LCK..tcp_" + name;
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        lock_note_ = "lock directory " + options_.lock_dir + " not usable (" +
                     std::strerror(errno) + "); two hosts of this machine could share " + text_;
        return true;
    }
    // flock holds against this process's own other lines too (one open each).
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        fault_ = LineFault::Busy;
        last_error_ = text_ + ": held by another process of this machine (lock file " + file + ")";
        return false;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) (void)!::write(fd, pid.data(), pid.size());
    lock_fd_ = fd;
    return true;
}

bool TcpPort::Connect(std::string& why) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(addr_.port);
    const int rc = ::getaddrinfo(addr_.host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0) {
        fault_ = LineFault::Unreachable;
        why =
            "host unreachable: cannot resolve \"" + addr_.host + "\" (" + ::gai_strerror(rc) + ")";
        return false;
    }
    bool refused = false;
    std::string last = "no address";
    for (addrinfo* a = found; a; a = a->ai_next) {
        const int fd =
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            last = std::strerror(errno);
            continue;
        }
        int err = 0;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            err = errno;
            if (err == EINPROGRESS) {
                pollfd p[2] = {{fd, POLLOUT, 0}, {cancel_fd_, POLLIN, 0}};
                int r;
                do {
                    r = ::poll(p, cancel_fd_ >= 0 ? 2 : 1, options_.connect_timeout_ms);
                } while (r < 0 && errno == EINTR);
                if (r == 0) {
                    err = ETIMEDOUT;
                } else if (r > 0 && cancel_fd_ >= 0 && (p[1].revents & POLLIN)) {
                    err = ECANCELED;
                } else {
                    socklen_t len = sizeof err;
                    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
                }
            }
        }
        if (err == 0) {
            ::freeaddrinfo(found);
            fd_ = fd;
            return true;
        }
        ::close(fd);
        if (err == ECONNREFUSED) refused = true;
        last = err == ETIMEDOUT
                   ? "no answer within " + std::to_string(options_.connect_timeout_ms) + " ms"
                   : std::strerror(err);
        if (err == ECANCELED) break;
    }
    ::freeaddrinfo(found);
    fault_ = refused ? LineFault::Refused : LineFault::Unreachable;
    why = refused ? "connection refused (no device server listening on port " +
                        std::to_string(addr_.port) + ")"
                  : "host unreachable (" + last + ")";
    return false;
}

bool TcpPort::Open() {
    if (fd_ >= 0) return true;
    fault_ = LineFault::None;
    if (!TakeLock()) return false;
    std::string why;
    if (!Connect(why)) {
        last_error_ = text_ + ": " + why;
        if (lock_fd_ >= 0) {
            ::close(lock_fd_);
            lock_fd_ = -1;
        }
        return false;
    }
    const int one = 1;
    (void)::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    (void)::setsockopt(fd_, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    (void)::setsockopt(fd_, IPPROTO_TCP, TCP_KEEPIDLE, &options_.keepalive_idle_s,
                       sizeof options_.keepalive_idle_s);
    (void)::setsockopt(fd_, IPPROTO_TCP, TCP_KEEPINTVL, &options_.keepalive_interval_s,
                       sizeof options_.keepalive_interval_s);
    (void)::setsockopt(fd_, IPPROTO_TCP, TCP_KEEPCNT, &options_.keepalive_count,
                       sizeof options_.keepalive_count);
    // Written bytes that stay unacknowledged this long break the connection too.
    const unsigned int user_timeout_ms = static_cast<unsigned int>(
        1000 *
        (options_.keepalive_idle_s + options_.keepalive_interval_s * options_.keepalive_count));
    (void)::setsockopt(fd_, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout_ms,
                       sizeof user_timeout_ms);
    decoder_ = telnet::Decoder();
    connected_ms_ = steady_millis();
    got_bytes_ = false;
    if (addr_.kind == PortAddress::Kind::Rfc2217) {
        telnet::Bytes hello = telnet::Greeting();
        const telnet::Bytes s = telnet::LineSettings(baud_, parity_);
        hello.insert(hello.end(), s.begin(), s.end());
        if (!SendAll(hello.data(), hello.size())) return false;
    }
    last_error_.clear();
    return true;
}

void TcpPort::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (lock_fd_ >= 0) {
        ::close(lock_fd_);
        lock_fd_ = -1;
    }
}

void TcpPort::Lost(const std::string& why) {
    fault_ = LineFault::Lost;
    std::string hint;
    // A server that admits one client at a time closes a second one at once.
    if (!got_bytes_ && steady_millis() - connected_ms_ < 2000) {
        hint = "; closed right after connecting: another client may hold the remote port";
    }
    last_error_ = text_ + ": connection lost (" + why + ")" + hint;
    Close();
}

bool TcpPort::SendAll(const unsigned char* data, std::size_t len) {
    std::size_t done = 0;
    while (done < len && fd_ >= 0) {
        const ssize_t n = ::send(fd_, data + done, len - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd_, POLLOUT, 0};
            const int r = ::poll(&p, 1, 1000 + options_.connect_timeout_ms);
            if (r > 0 && !(p.revents & (POLLERR | POLLHUP))) continue;
            Lost(r == 0 ? "write timed out" : "connection gone while writing");
            return false;
        }
        Lost(std::strerror(n < 0 ? errno : EPIPE));
        return false;
    }
    return fd_ >= 0;
}

int TcpPort::Write(const unsigned char* data, unsigned int len, EnumParity parity) {
    if (fd_ < 0) return -1;
    if (addr_.kind != PortAddress::Kind::Rfc2217) {
        return SendAll(data, len) ? static_cast<int>(len) : -1;
    }
    telnet::Bytes out;
    if (parity != parity_) {
        parity_ = parity;
        out = telnet::ParitySetting(parity);
    }
    telnet::Escape(data, len, out);
    return SendAll(out.data(), out.size()) ? static_cast<int>(len) : -1;
}

int TcpPort::Read(unsigned char* buf, unsigned int cap, int timeout_ms) {
    if (fd_ < 0) return -1;
    if (cap == 0) return 0;
    pollfd p{fd_, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, std::max(timeout_ms, 0));
    } while (r < 0 && errno == EINTR);
    if (r == 0) return 0;
    if (r < 0) {
        Lost(std::strerror(errno));
        return -1;
    }
    // Telnet may shrink what came, never grow it: read at most `cap`.
    unsigned char raw[4200];
    const std::size_t want = std::min<std::size_t>(cap, sizeof raw);
    ssize_t n;
    do {
        n = ::recv(fd_, raw, want, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    if (n <= 0) {
        Lost(n == 0 ? "closed by the device server" : std::strerror(errno));
        return -1;
    }
    got_bytes_ = true;
    if (addr_.kind != PortAddress::Kind::Rfc2217) {
        std::memcpy(buf, raw, static_cast<std::size_t>(n));
        return static_cast<int>(n);
    }
    telnet::Bytes data, reply;
    decoder_.Feed(raw, static_cast<std::size_t>(n), data, reply);
    if (!reply.empty() && !SendAll(reply.data(), reply.size())) return -1;
    // A read of negotiation alone leaves no data (and data() may then be null).
    if (!data.empty()) std::memcpy(buf, data.data(), data.size());
    return static_cast<int>(data.size());
}

}  // namespace smd

#include "tests/support/RawHttp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

namespace testing_support {

RawHttp::RawHttp(int port, const char* source) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    if (source) {
        ::inet_pton(AF_INET, source, &a.sin_addr);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(fd_);
            fd_ = -1;
            return;
        }
    }
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

RawHttp::~RawHttp() {
    if (fd_ >= 0) ::close(fd_);
}

bool RawHttp::Send(const std::string& bytes) {
    std::size_t at = 0;
    while (fd_ >= 0 && at < bytes.size()) {
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, 10000) <= 0) return false;
        if (p.revents & (POLLERR | POLLHUP)) return false;
        const ssize_t n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return false;
        }
        at += static_cast<std::size_t>(n);
    }
    return fd_ >= 0;
}

bool RawHttp::Fill(int timeout_ms) {
    if (fd_ < 0 || eof_) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return false;
    char buf[65536];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) {
        eof_ = true;
        return false;
    }
    buffer_.append(buf, static_cast<std::size_t>(n));
    return true;
}

std::string RawHttp::Answer(int timeout_ms, bool head_only) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const auto head_end = buffer_.find("\r\n\r\n");
        if (head_end != std::string::npos) {
            std::size_t length = 0;
            const auto at = buffer_.find("Content-Length: ");
            if (at != std::string::npos && at < head_end && !head_only) {
                length = std::strtoul(buffer_.c_str() + at + 16, nullptr, 10);
            }
            if (buffer_.size() >= head_end + 4 + length) {
                std::string answer = buffer_.substr(0, head_end + 4 + length);
                buffer_.erase(0, answer.size());
                return answer;
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0 || !Fill(static_cast<int>(left))) return std::string();
    }
}

bool RawHttp::ClosedByServer(int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!eof_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) return false;
        if (!Fill(static_cast<int>(left)) && !eof_) return false;
    }
    return true;
}

int status_of(const std::string& answer) {
    if (answer.compare(0, 9, "HTTP/1.1 ") != 0) return 0;
    return std::atoi(answer.c_str() + 9);
}

std::string body_of(const std::string& answer) {
    const auto at = answer.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : answer.substr(at + 4);
}

}  // namespace testing_support

// A datagram socket standing in for systemd's notify socket.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace testing_support {

class NotifySocket {
  public:
    explicit NotifySocket(const std::filesystem::path& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    ~NotifySocket() {
        ::close(fd_);
        std::filesystem::remove(path_);
    }
    // Messages until one contains `want`, or the deadline.
    bool WaitFor(const std::string& want, std::chrono::seconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 200) <= 0) continue;
            char buf[4096];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) continue;
            messages.emplace_back(buf, static_cast<std::size_t>(n));
            if (messages.back().find(want) != std::string::npos) return true;
        }
        return false;
    }
    std::vector<std::string> messages;

  private:
    std::filesystem::path path_;
    int fd_ = -1;
};

}  // namespace testing_support

#include "apps/ravo3-monitor/OutputRouting.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace monitor {

OutputRouting::~OutputRouting() {
    Stop();
}

bool OutputRouting::Start(const std::string& log_path, std::size_t keep_lines) {
    keep_ = keep_lines;
    std::fflush(stdout);
    int fds[2];
    if (::pipe(fds) != 0) return false;
    view_fd_ = ::dup(STDOUT_FILENO);
    if (view_fd_ < 0 || ::dup2(fds[1], STDOUT_FILENO) < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        if (view_fd_ >= 0) ::close(view_fd_);
        view_fd_ = -1;
        return false;
    }
    ::close(fds[1]);
    pipe_read_ = fds[0];
    if (!log_path.empty()) {
        log_fd_ = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    // The plug-in's lines should arrive as printed, not when a buffer fills.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    pump_ = std::thread([this] { Pump(); });
    return true;
}

void OutputRouting::Stop() {
    if (view_fd_ < 0) return;
    std::fflush(stdout);
    // Putting the terminal back on fd 1 closes the pipe's last writer.
    ::dup2(view_fd_, STDOUT_FILENO);
    if (pump_.joinable()) pump_.join();
    ::close(pipe_read_);
    pipe_read_ = -1;
    ::close(view_fd_);
    view_fd_ = -1;
    if (log_fd_ >= 0) ::close(log_fd_);
    log_fd_ = -1;
}

bool OutputRouting::WriteView(const std::string& text) {
    const int fd = view_fd_ >= 0 ? view_fd_ : STDOUT_FILENO;
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool OutputRouting::ViewIsTerminal() const {
    return ::isatty(view_fd_ >= 0 ? view_fd_ : STDOUT_FILENO) == 1;
}

std::vector<std::string> OutputRouting::LastLines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::vector<std::string>(last_.begin(), last_.end());
}

void OutputRouting::Pump() {
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(pipe_read_, buf, sizeof buf);
        if (n <= 0) break;
        if (log_fd_ >= 0) {
            if (::write(log_fd_, buf, static_cast<std::size_t>(n)) < 0) {
                ::close(log_fd_);
                log_fd_ = -1;
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] == '\n') {
                last_.push_back(partial_);
                partial_.clear();
                ++lines_seen_;
                while (last_.size() > keep_) last_.pop_front();
            } else if (partial_.size() < 512) {
                partial_.push_back(buf[i]);
            }
        }
    }
}

}  // namespace monitor

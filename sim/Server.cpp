#include "sim/Server.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>

#include "runtime/capture/Capture.h"
#include "runtime/line/SerialPort.h"

namespace sim {
namespace {

std::int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string errno_text(const std::string& what, int err) {
    return what + ": " + std::strerror(err);
}

}  // namespace

std::int64_t line_time_us(std::size_t bytes, int baud) {
    if (baud <= 0) return 0;
    return static_cast<std::int64_t>(bytes) * 10 * 1000000 / baud;
}

// The side of the line the simulator holds.
class Server::Line {
  public:
    virtual ~Line() = default;
    // Waits up to timeout_ms for bytes (a wake-up ends the wait early): the
    // count read, 0, or -1 when the line is gone.
    virtual int Read(unsigned char* buf, unsigned int cap, int timeout_ms) = 0;
    virtual bool Write(const unsigned char* data, std::size_t len) = 0;
    virtual std::string LastError() const = 0;
};

class Server::PtyLine : public Server::Line {
  public:
    explicit PtyLine(int wake_fd) : wake_(wake_fd) {}

    bool Create() {
        if (!pty_.Create()) {
            error_ = errno_text("cannot create a pseudo-terminal", errno);
            return false;
        }
        const int fd = pty_.MasterFd();
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
            error_ = errno_text("cannot set up the pseudo-terminal", errno);
            return false;
        }
        return true;
    }
    const std::string& SlavePath() const { return pty_.SlavePath(); }

    int Read(unsigned char* buf, unsigned int cap, int timeout_ms) override {
        pollfd p[2] = {{pty_.MasterFd(), POLLIN, 0}, {wake_, POLLIN, 0}};
        const int r = ::poll(p, 2, timeout_ms);
        if (r < 0) return errno == EINTR ? 0 : Fail("poll failed", errno);
        if (r == 0 || !(p[0].revents & (POLLIN | POLLHUP | POLLERR))) return 0;
        const ssize_t n = ::read(pty_.MasterFd(), buf, cap);
        if (n > 0) return static_cast<int>(n);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
        return Fail("the pseudo-terminal went away", n < 0 ? errno : EIO);
    }

    bool Write(const unsigned char* data, std::size_t len) override {
        std::size_t done = 0;
        while (done < len) {
            const ssize_t n = ::write(pty_.MasterFd(), data + done, len - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) return Fail("write failed", errno) == 0;
            // Nobody reads the other side: like a line with no listener, the
            // rest of the answer is lost after a while.
            pollfd p[2] = {{pty_.MasterFd(), POLLOUT, 0}, {wake_, POLLIN, 0}};
            if (::poll(p, 2, 200) <= 0 || !(p[0].revents & POLLOUT)) return true;
        }
        return true;
    }

    std::string LastError() const override { return error_; }

  private:
    int Fail(const std::string& what, int err) {
        error_ = errno_text(what, err);
        return -1;
    }

    smd::PtyPair pty_;
    int wake_;
    std::string error_;
};

class Server::PortLine : public Server::Line {
  public:
    PortLine(const std::string& path, int baud) : port_(path) {
        port_.Configure(baud, EnumParity::None);
    }

    bool Open() { return port_.Open(); }

    int Read(unsigned char* buf, unsigned int cap, int timeout_ms) override {
        // Short waits, so that a stop request is seen soon.
        return port_.Read(buf, cap, std::min(timeout_ms, 50));
    }
    bool Write(const unsigned char* data, std::size_t len) override {
        return port_.Write(data, static_cast<unsigned int>(len), EnumParity::None) >= 0;
    }
    std::string LastError() const override { return port_.LastError(); }

  private:
    smd::SerialPort port_;
};

Server::Server(Scenario scenario, ServerOptions options) : options_(std::move(options)) {
    responders_.push_back(std::make_unique<Responder>(std::move(scenario)));
}

Server::Server(std::vector<Scenario> units, ServerOptions options) : options_(std::move(options)) {
    for (Scenario& s : units) responders_.push_back(std::make_unique<Responder>(std::move(s)));
}

bool LoadExchanges(const std::string& capture_path, std::vector<RecordedExchange>& out,
                   std::string& error) {
    smd::capture::File file;
    if (!smd::capture::Load(capture_path, file, error)) return false;
    for (const auto& session : file.sessions) {
        // Per line: the bytes received after a command answer it.
        std::vector<long> open(session.lines.size(), -1);
        for (const auto& r : session.records) {
            if (r.kind == smd::capture::Kind::Sent) {
                out.push_back(RecordedExchange{r.bytes, {}});
                open[r.line] = static_cast<long>(out.size()) - 1;
            } else if (r.kind == smd::capture::Kind::Received && open[r.line] >= 0) {
                Bytes& a = out[static_cast<std::size_t>(open[r.line])].answer;
                a.insert(a.end(), r.bytes.begin(), r.bytes.end());
            }
        }
    }
    return true;
}

std::vector<Reply> Server::Replay(const unsigned char* data, std::size_t len) {
    std::vector<Reply> replies;
    replay_input_.insert(replay_input_.end(), data, data + len);
    // A command ends with CR; what comes before its SOI is noise.
    for (;;) {
        const auto cr = std::find(replay_input_.begin(), replay_input_.end(), '\r');
        if (cr == replay_input_.end()) break;
        Bytes command(replay_input_.begin(), cr + 1);
        replay_input_.erase(replay_input_.begin(), cr + 1);
        const auto soi = std::find(command.begin(), command.end(), '~');
        if (soi == command.end()) continue;
        command.erase(command.begin(), soi);
        const std::size_t n = options_.replay.size();
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t i = (replay_at_ + k) % n;
            if (options_.replay[i].command != command) continue;
            replay_at_ = (i + 1) % n;
            if (!options_.replay[i].answer.empty()) {
                replies.push_back(Reply{options_.replay[i].answer, 0});
            }
            break;
        }
    }
    if (replay_input_.size() > 8192) replay_input_.clear();  // no command is that long
    return replies;
}

Server::~Server() {
    Stop();
    for (int& fd : wake_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

bool Server::Start() {
    if (thread_.joinable()) return true;
    if (wake_[0] < 0 && ::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        error_ = errno_text("cannot create a pipe", errno);
        return false;
    }
    auto line = std::make_unique<PtyLine>(wake_[0]);
    if (!line->Create()) {
        std::lock_guard<std::mutex> lock(mutex_);
        error_ = line->LastError();
        return false;
    }
    path_ = line->SlavePath();
    return Launch(std::move(line));
}

bool Server::StartOnPort(const std::string& path) {
    if (thread_.joinable()) return true;
    if (wake_[0] < 0 && ::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        error_ = errno_text("cannot create a pipe", errno);
        return false;
    }
    auto line = std::make_unique<PortLine>(path, options_.baud);
    if (!line->Open()) {
        std::lock_guard<std::mutex> lock(mutex_);
        error_ = line->LastError();
        return false;
    }
    path_ = path;
    return Launch(std::move(line));
}

bool Server::Launch(std::unique_ptr<Line> line) {
    // A wake-up left from an earlier Stop() would end every wait at once.
    unsigned char drain[16];
    while (::read(wake_[0], drain, sizeof drain) > 0) {
    }
    line_ = std::move(line);
    stop_ = false;
    running_ = true;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void Server::Stop() {
    stop_ = true;
    if (wake_[1] >= 0) {
        const unsigned char b = 1;
        (void)!::write(wake_[1], &b, 1);
    }
    if (thread_.joinable()) thread_.join();
    line_.reset();
}

ServerStats Server::Stats() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

std::string Server::Error() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

bool Server::Send(const Bytes& bytes) {
    if (!options_.pace || options_.baud <= 0) return line_->Write(bytes.data(), bytes.size());
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    std::size_t done = 0;
    while (done < bytes.size() && !stop_) {
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::microseconds>(clock::now() - start).count();
        // Byte k starts k byte times after the first.
        const std::size_t due = std::min(
            bytes.size(), static_cast<std::size_t>(elapsed * options_.baud / 10000000 + 1));
        if (due > done) {
            if (!line_->Write(bytes.data() + done, due - done)) return false;
            done = due;
        } else {
            std::this_thread::sleep_until(
                start + std::chrono::microseconds(line_time_us(done, options_.baud)));
        }
    }
    // The last byte takes its own time on the line too.
    std::this_thread::sleep_until(
        start + std::chrono::microseconds(line_time_us(bytes.size(), options_.baud)));
    return true;
}

void Server::Run() {
    const auto now = [this] { return options_.clock_ms ? options_.clock_ms() : steady_ms(); };
    const std::int64_t start = now();
    struct Pending {
        std::int64_t due;
        Bytes bytes;
    };
    std::deque<Pending> queue;
    // Paced: when the last byte received so far has crossed the line.
    std::int64_t rx_line_free_us = 0;
    unsigned char buf[512];
    std::string failure;
    while (!stop_) {
        int timeout = 50;
        if (!queue.empty()) {
            timeout = static_cast<int>(std::clamp<std::int64_t>(queue.front().due - now(), 0, 50));
        }
        const int n = line_->Read(buf, sizeof buf, timeout);
        if (n < 0) {
            failure = line_->LastError();
            break;
        }
        if (n > 0) {
            std::int64_t t = now();
            if (options_.pace && options_.baud > 0) {
                // The bytes arrive one after another at the line rate; what a
                // command causes happens when its last byte is in.
                rx_line_free_us = std::max(rx_line_free_us, t * 1000) +
                                  line_time_us(static_cast<std::size_t>(n), options_.baud);
                t = (rx_line_free_us + 999) / 1000;
            }
            std::vector<Reply> replies;
            if (!options_.replay.empty()) {
                replies = Replay(buf, static_cast<std::size_t>(n));
            } else {
                // Every unit hears every command; only the one addressed answers.
                for (auto& responder : responders_) {
                    std::vector<Reply> r =
                        responder->Feed(buf, static_cast<std::size_t>(n), t - start);
                    for (auto& x : r) replies.push_back(std::move(x));
                    const std::vector<std::string> lines = responder->TakeLog();
                    if (options_.log) {
                        for (const auto& l : lines) options_.log(l);
                    }
                }
                std::lock_guard<std::mutex> lock(mutex_);
                stats_.counters = responders_.front()->counters();
                stats_.cycle = responders_.front()->device().Cycle();
            }
            for (auto& r : replies) queue.push_back(Pending{t + r.delay_ms, std::move(r.bytes)});
        }
        // Answers go out in order; a slow one holds back those behind it.
        while (!queue.empty() && queue.front().due <= now() && !stop_) {
            if (!Send(queue.front().bytes)) {
                failure = line_->LastError();
                break;
            }
            queue.pop_front();
            std::lock_guard<std::mutex> lock(mutex_);
            ++stats_.sent;
        }
        if (!failure.empty()) break;
    }
    if (!failure.empty()) {
        std::lock_guard<std::mutex> lock(mutex_);
        error_ = failure;
    }
    running_ = false;
}

}  // namespace sim

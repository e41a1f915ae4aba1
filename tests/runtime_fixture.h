// Helpers of the host runtime's tests: the peer side of a pseudo-terminal,
// clocks that a test thread may move while driver threads read them, and a
// small frame-layer device that polls like a bus device.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "host/HostTypes.h"
#include "host/PMBusProtocol.h"
#include "runtime/line/FrameCodec.h"

namespace rt_test {

using Bytes = std::vector<unsigned char>;

// Bound of every wait on another thread or on a descriptor: generous, only
// there so that a broken build fails instead of hanging.
constexpr int kWaitMs = 10000;

inline void write_all(int fd, const Bytes& b) {
    std::size_t done = 0;
    while (done < b.size()) {
        const ssize_t n = ::write(fd, b.data() + done, b.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

inline void write_all(int fd, const std::string& s) {
    write_all(fd, Bytes(s.begin(), s.end()));
}

// Reads whole frames from the peer side of a line.
class Peer {
  public:
    explicit Peer(int fd)
        : fd_(fd), parser_([this](const smd::Frame& f) { frames_.push_back(f); }, nullptr) {}
    // The next frame the host sent, waiting up to kWaitMs; false when none came.
    bool Next(smd::Frame& out, int wait_ms = kWaitMs) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
        while (frames_.empty()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  until - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) return false;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            if (!(p.revents & POLLIN)) return false;
            unsigned char buf[512];
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0) return false;
            raw_.insert(raw_.end(), buf, buf + n);
            parser_.Feed(buf, static_cast<std::size_t>(n));
        }
        out = frames_.front();
        frames_.erase(frames_.begin());
        return true;
    }
    // True when nothing at all arrives within wait_ms.
    bool Quiet(int wait_ms) {
        if (!frames_.empty()) return false;
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, wait_ms) == 0;
    }
    const Bytes& Raw() const { return raw_; }

  private:
    int fd_;
    smd::FrameParser parser_;
    std::vector<smd::Frame> frames_;
    Bytes raw_;
};

// Clocks behind the seams that threads may read while the test moves them.
class SharedClock {
  public:
    SharedClock() {
        smd::set_steady_clock([this] { return steady_.load(); });
        smd::set_local_clock([this] {
            return start_ + boost::posix_time::seconds(static_cast<long>(local_.load()));
        });
    }
    ~SharedClock() {
        smd::set_steady_clock(nullptr);
        smd::set_local_clock(nullptr);
    }
    void AdvanceMillis(std::int64_t ms) { steady_ += ms; }
    void AdvanceSeconds(std::int64_t s) { local_ += s; }
    std::int64_t Steady() const { return steady_.load(); }

  private:
    std::atomic<std::int64_t> steady_{5000000};
    std::atomic<std::int64_t> local_{0};
    const boost::posix_time::ptime start_ =
        boost::posix_time::time_from_string("2026-12-08 10:00:00");
};

// Waits (bounded) until `pred` holds, re-checking it whenever Notify() is called.
class Signal {
  public:
    void Notify() {
        std::lock_guard<std::mutex> l(m_);
        ++gen_;
        cv_.notify_all();
    }
    bool WaitFor(const std::function<bool()>& pred, int wait_ms = kWaitMs) {
        std::unique_lock<std::mutex> l(m_);
        return cv_.wait_for(l, std::chrono::milliseconds(wait_ms), [&] { return pred(); });
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    std::uint64_t gen_ = 0;
};

// The label of the PollingDevice whose answer the calling thread handles.
inline thread_local std::string current_device;

// A frame-layer device that polls one fixed command list in a cycle, like a
// bus device: RefreshStatus() sends (or repeats) the command of the current
// step, each accepted answer sends the next one after the 20 ms pause, the
// last one ends the cycle.
class PollingDevice : public PMBusProtocol {
  public:
    explicit PollingDevice(std::vector<std::pair<unsigned char, unsigned char>> commands =
                               {{0x40, 0x51}, {0x42, 0x41}})
        : commands_(std::move(commands)) {
        baud_rate = 9600;
        serial_line = true;
        device_type_ = "test-bus";
    }
    bool LoadFromCache(const unsigned char*, int) override { return true; }
    bool RefreshStatus() override {
        ++refreshes;
        const bool poll = SMDSPDevice::RefreshStatus();
        if (poll) Send();
        if (on_refresh) on_refresh();
        return poll;
    }
    void process(unsigned char* buf, unsigned int len) override {
        bytes_in += static_cast<int>(len);
        PMBusProtocol::process(buf, len);
    }
    int process_payload() override {
        current_device = label;
        smd::pause_micros(20000);
        ++answers;
        if (on_answer) on_answer(answer_[2]);
        if (++step_ < static_cast<int>(commands_.size())) {
            command_step_ = step_;
            Send();
            return 1;
        }
        step_ = 0;
        command_step_ = 0;
        Reset();
        ++cycles;
        return 0;
    }
    int Step() const { return step_; }
    std::string label;
    std::atomic<int> refreshes{0};
    std::atomic<int> bytes_in{0};
    std::atomic<int> answers{0};
    std::function<void()> on_refresh;
    std::atomic<int> cycles{0};
    std::function<void(unsigned char cid1)> on_answer;

  private:
    void Send() {
        command_step_ = step_;
        write_pmbus_cmd(commands_[step_].first, commands_[step_].second);
    }
    std::vector<std::pair<unsigned char, unsigned char>> commands_;
    int step_ = 0;
};

inline Bytes answer(unsigned char cid1, const Bytes& info = {}, unsigned char adr = 1) {
    return smd::encode_frame(0x20, adr, cid1, 0x00, info.data(), info.size());
}

// A fresh scratch directory, removed with its contents at the end.
class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/ravo3-rt-XXXXXX";
        const char* d = ::mkdtemp(tmpl);
        path_ = d ? d : "/tmp";
    }
    ~TempDir() {
        std::error_code ec;
        if (path_ != "/tmp") std::filesystem::remove_all(path_, ec);
    }
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

}  // namespace rt_test

#include "runtime/line/DriverLoop.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

#include "host/HostTypes.h"

namespace smd {

DriverLoop::DriverLoop(std::shared_ptr<SMDSPDevice> device, std::shared_ptr<LinePort> port,
                       DriverLoopOptions options, LogFn log)
    : DriverLoop(std::vector<std::shared_ptr<SMDSPDevice>>{std::move(device)}, std::move(port),
                 std::move(options), std::move(log)) {}

DriverLoop::DriverLoop(std::vector<std::shared_ptr<SMDSPDevice>> devices,
                       std::shared_ptr<LinePort> port, DriverLoopOptions options, LogFn log)
    : port_(std::move(port)), options_(std::move(options)), log_(std::move(log)) {
    options_.poll_period_ms = std::max(1, options_.poll_period_ms);
    options_.reopen_initial_ms = std::max(1, options_.reopen_initial_ms);
    options_.reopen_max_ms = std::max(options_.reopen_initial_ms, options_.reopen_max_ms);
    options_.silent_retry_ms = std::max(1, options_.silent_retry_ms);
    backoff_ms_ = options_.reopen_initial_ms;
    if (::pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) wake_[0] = wake_[1] = -1;
    port_->SetCancelFd(wake_[0]);
    for (auto& d : devices) {
        Member m;
        m.protocol = dynamic_cast<PMBusProtocol*>(d.get());
        m.device = std::move(d);
        std::lock_guard<std::recursive_mutex> lock(m.device->DeviceMutex());
        m.device->SetTransport(port_);
        members_.push_back(std::move(m));
    }
}

DriverLoop::~DriverLoop() {
    Stop();
    for (int fd : wake_) {
        if (fd >= 0) ::close(fd);
    }
}

bool DriverLoop::Start() {
    if (thread_.joinable()) return true;
    if (wake_[0] < 0) {
        Log("cannot start: no wake-up pipe");
        return false;
    }
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void DriverLoop::Stop() {
    stop_ = true;
    if (wake_[1] >= 0) {
        const char b = 1;
        (void)!::write(wake_[1], &b, 1);
    }
    if (thread_.joinable()) thread_.join();
    for (Member& m : members_) {
        std::lock_guard<std::recursive_mutex> lock(m.device->DeviceMutex());
        // A device that moved on to another line's thread (a reload) keeps that port open.
        if (m.device->GetTransport() == port_) m.device->ClosePort();
    }
    port_open_ = false;
    // A later Start() opens at once: a port we closed was not lost.
    was_open_ = false;
    next_open_ms_ = 0;
    current_ = -1;
    backoff_ms_ = options_.reopen_initial_ms;
    if (wake_[0] >= 0) {
        char drain[16];
        while (::read(wake_[0], drain, sizeof drain) > 0) {
        }
    }
}

void DriverLoop::Log(const std::string& text) {
    if (log_) log_(options_.name + ": " + text);
}

void DriverLoop::Emit(std::size_t i, PortEvent e) {
    if (on_device_event_) on_device_event_(i, e);
}

void DriverLoop::EmitAll(PortEvent e) {
    for (std::size_t i = 0; i < members_.size(); ++i) Emit(i, e);
}

void DriverLoop::Backoff(std::int64_t now) {
    const std::int64_t delay = backoff_ms_.load();
    next_open_ms_ = now + delay;
    backoff_ms_ = std::min<std::int64_t>(delay * 2, options_.reopen_max_ms);
}

bool DriverLoop::TryOpen() {
    const std::int64_t now = steady_millis();
    if (now < next_open_ms_) return false;
    bool ok = true;
    // The first device opens the shared line at its speed; the others find it open.
    for (Member& m : members_) {
        std::lock_guard<std::recursive_mutex> lock(m.device->DeviceMutex());
        ok = ok && m.device->OpenPort() && port_->IsOpen();
    }
    if (!ok) {
        ++open_failures_;
        const std::int64_t delay = backoff_ms_.load();
        Backoff(now);
        Log("cannot open " + port_->Path() + " (" + port_->LastError() + "); retrying in " +
            std::to_string(delay) + " ms");
        EmitAll(PortEvent::OpenFailed);
        return false;
    }
    was_open_ = true;
    port_open_ = true;
    ++opens_;
    current_ = -1;
    Log(port_->Path() + " open at " + std::to_string(port_->Baud()) + " baud");
    if (!port_->LockNote().empty()) Log(port_->LockNote());
    EmitAll(PortEvent::Opened);
    return true;
}

void DriverLoop::Lost() {
    was_open_ = false;
    port_open_ = false;
    ++losses_;
    current_ = -1;
    for (Member& m : members_) {
        std::lock_guard<std::recursive_mutex> lock(m.device->DeviceMutex());
        m.device->ClosePort();  // ends the exchange in flight too
    }
    const std::int64_t delay = backoff_ms_.load();
    Backoff(steady_millis());
    Log("lost " + port_->Path() + " (" + port_->LastError() + "); reopening in " +
        std::to_string(delay) + " ms");
    EmitAll(PortEvent::Lost);
}

void DriverLoop::Delay(int max_ms) {
    pollfd p{wake_[0], POLLIN, 0};
    if (::poll(&p, 1, max_ms) > 0) {
        char buf[16];
        while (::read(wake_[0], buf, sizeof buf) > 0) {
        }
    }
}

bool DriverLoop::Drive(std::size_t i, Turn& t, bool shared) {
    Member& m = members_[i];
    lock_ = std::unique_lock<std::recursive_mutex>(m.device->DeviceMutex());
    const std::int64_t now0 = steady_millis();
    const std::int64_t deadline0 = m.device->AnswerDeadlineMillis();
    // A unit known to be silent gets one time-out a turn: at its next one
    // the command still out is timed out and asked again.
    if (shared && m.stalled && !m.fresh && deadline0 >= 0 && now0 >= deadline0) {
        m.retry_ms = now0 + options_.silent_retry_ms;
        lock_.unlock();
        return false;
    }
    m.fresh = false;
    // Between cycles the device is asked nothing until the next cycle may
    // begin; it is woken exactly then.
    const std::int64_t hold = m.protocol ? m.protocol->CycleHoldOffMillis() : 0;
    bool declined = false;
    if (hold <= 0) declined = !m.device->RefreshStatus() && !m.device->IsProcessing();
    const bool stalled = m.device->IsStalled();
    const std::int64_t held = m.protocol ? m.protocol->HeldCommandWaitMillis() : -1;
    const std::int64_t deadline = m.device->AnswerDeadlineMillis();
    const std::int64_t now = steady_millis();
    const std::int64_t next_hold = m.protocol ? m.protocol->CycleHoldOffMillis() : 0;
    const bool busy = m.device->IsProcessing() || (m.protocol && m.protocol->CycleOpen());
    std::int64_t wait = t.wait;
    if (next_hold > 0) wait = std::min(wait, next_hold);
    // A command held for a quiet line goes out as soon as the line allows.
    if (held >= 0) wait = std::min<std::int64_t>(wait, std::max<std::int64_t>(held, 1));
    if (deadline >= 0) wait = std::min(wait, std::max<std::int64_t>(deadline - now, 0));
    // A device that declined with nothing in flight and no hold-off of its
    // own to tell is asked again soon.
    if (declined && next_hold <= 0 && held < 0) wait = std::min<std::int64_t>(wait, 50);
    const std::int64_t read_wait = m.protocol ? m.protocol->ReadWaitMillis() : 0;
    lock_.unlock();
    if (stalled != m.stalled) {
        m.stalled = stalled;
        Log(stalled ? "no answer on " + port_->Path() + " to several commands in a row"
                    : "answers again on " + port_->Path());
        Emit(i, stalled ? PortEvent::Silent : PortEvent::Answers);
        if (stalled && shared) {
            // Its time-outs cost its own turn only: the others go on.
            m.retry_ms = now + options_.silent_retry_ms;
            return false;
        }
    }
    if (busy) {
        t.wait = wait;
        t.read_wait = read_wait;
        return true;
    }
    // Its turn is over; what it waits for next still bounds the sleep.
    if (next_hold > 0) t.wait = std::min(t.wait, next_hold);
    if (declined && next_hold <= 0) t.wait = std::min<std::int64_t>(t.wait, 50);
    return false;
}

DriverLoop::Turn DriverLoop::DoTurn(unsigned char* buf, std::size_t cap) {
    Turn t;
    t.wait = options_.poll_period_ms;
    // What the line delivered since the last turn, in one read.
    t.read = port_->Read(buf, static_cast<unsigned int>(cap), 0);
    if (t.read < 0) return t;  // a hang-up leaves the port closed for the top of the loop
    if (t.read > 0) {
        backoff_ms_ = options_.reopen_initial_ms;  // the line works
        // Bytes between turns go to the device that spoke last: they can
        // only be late answers, which its frame layer drops and counts.
        const std::size_t to = current_ >= 0 ? static_cast<std::size_t>(current_) : last_;
        lock_ = std::unique_lock<std::recursive_mutex>(members_[to].device->DeviceMutex());
        members_[to].device->process(buf, static_cast<unsigned int>(t.read));
        lock_.unlock();
    }
    const bool shared = members_.size() > 1;
    // Each device at most once a turn of the loop: the one whose turn it is,
    // then, once its turn is over, the next one that is due.
    for (std::size_t tries = 0; tries <= members_.size() && port_->IsOpen(); ++tries) {
        if (current_ < 0) {
            const std::int64_t now = steady_millis();
            int pick = -1;
            for (std::size_t k = 0; k < members_.size() && pick < 0; ++k) {
                const std::size_t i = (next_ + k) % members_.size();
                Member& m = members_[i];
                if (shared && m.stalled && now < m.retry_ms) {
                    t.wait = std::min(t.wait, m.retry_ms - now);
                    continue;
                }
                std::int64_t hold = 0;
                if (m.protocol) {
                    std::lock_guard<std::recursive_mutex> lock(m.device->DeviceMutex());
                    hold = m.protocol->CycleHoldOffMillis();
                }
                if (hold > 0) {
                    t.wait = std::min(t.wait, hold);
                    continue;
                }
                pick = static_cast<int>(i);
            }
            if (pick < 0) break;
            current_ = pick;
            last_ = static_cast<std::size_t>(pick);
            next_ = (last_ + 1) % members_.size();
            members_[last_].fresh = true;
        }
        if (Drive(static_cast<std::size_t>(current_), t, shared)) break;
        current_ = -1;
        if (!shared) break;
    }
    return t;
}

std::int64_t DriverLoop::Step() {
    beats_.fetch_add(1, std::memory_order_relaxed);
    if (on_tick_) on_tick_();
    if (!port_->IsOpen()) {
        if (was_open_) Lost();
        if (!TryOpen()) {
            return std::clamp<std::int64_t>(next_open_ms_ - steady_millis(), 1,
                                            options_.poll_period_ms);
        }
    }
    unsigned char buf[4200];
    smd::PauseUnlock pauses_unlock(lock_);
    const Turn t = DoTurn(buf, sizeof buf);
    if (t.read != 0 || !port_->IsOpen()) return 0;
    return std::max<std::int64_t>(t.wait, 0);
}

void DriverLoop::Run() {
    {
        // The thread's name shows in /proc and in debuggers: "line " + device.
        std::string name = "line " + options_.name;
        const auto q = name.find('"');
        if (q != std::string::npos) name = "line " + name.substr(q + 1);
        name.erase(std::remove(name.begin(), name.end(), '"'), name.end());
        name.resize(std::min<std::size_t>(name.size(), 15));
        ::pthread_setname_np(::pthread_self(), name.c_str());
    }
    // A whole frame of the longest kind fits: one read takes an answer.
    unsigned char buf[4200];
    // The 20 ms pause before an answer is looked at, and the guard pause
    // before a command, are taken without the device's lock: value queries
    // from other threads never wait for them.
    smd::PauseUnlock pauses_unlock(lock_);
    while (!stop_.load()) {
        beats_.fetch_add(1, std::memory_order_relaxed);
        if (on_tick_) on_tick_();
        if (!port_->IsOpen()) {
            if (was_open_) Lost();
            if (!TryOpen()) {
                // The reopen time is on the steady clock seam; wake at least
                // once a period to look at it again.
                const std::int64_t left = next_open_ms_ - steady_millis();
                Delay(static_cast<int>(std::clamp<std::int64_t>(left, 1, options_.poll_period_ms)));
                continue;
            }
        }
        const Turn t = DoTurn(buf, sizeof buf);
        if (t.read < 0) continue;
        if (!port_->IsOpen()) continue;  // a write failed; the top of the loop reopens
        // A full buffer: more is waiting in the kernel already.
        if (t.read == static_cast<int>(sizeof buf)) continue;
        if (t.read_wait > 0) {
            // The answer is still on the wire: let the kernel gather it and
            // read it in one go instead of waking for every byte.
            Delay(static_cast<int>(std::min(t.read_wait, std::max<std::int64_t>(t.wait, 1))));
            continue;
        }
        if (t.read > 0 && t.wait > 0) continue;  // read again before sleeping: more may be there
        pollfd fds[2] = {{port_->Fd(), POLLIN, 0}, {wake_[0], POLLIN, 0}};
        const int r = ::poll(fds, 2, static_cast<int>(std::max<std::int64_t>(t.wait, 0)));
        if (r > 0 && fds[1].revents) {
            char drain[16];
            while (::read(wake_[0], drain, sizeof drain) > 0) {
            }
        }
    }
}

}  // namespace smd

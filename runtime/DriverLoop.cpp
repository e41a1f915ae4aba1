#include "runtime/DriverLoop.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

#include "host/HostTypes.h"

namespace smd {

DriverLoop::DriverLoop(std::shared_ptr<SMDSPDevice> device, std::shared_ptr<SerialPort> port,
                       DriverLoopOptions options, LogFn log)
    : device_(std::move(device)),
      protocol_(dynamic_cast<PMBusProtocol*>(device_.get())),
      port_(std::move(port)),
      options_(std::move(options)),
      log_(std::move(log)) {
    options_.poll_period_ms = std::max(1, options_.poll_period_ms);
    options_.reopen_initial_ms = std::max(1, options_.reopen_initial_ms);
    options_.reopen_max_ms = std::max(options_.reopen_initial_ms, options_.reopen_max_ms);
    backoff_ms_ = options_.reopen_initial_ms;
    if (::pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) wake_[0] = wake_[1] = -1;
    std::lock_guard<std::recursive_mutex> lock(device_->DeviceMutex());
    device_->SetTransport(port_);
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
    std::lock_guard<std::recursive_mutex> lock(device_->DeviceMutex());
    device_->ClosePort();
    port_open_ = false;
    // A later Start() opens at once: a port we closed was not lost.
    was_open_ = false;
    next_open_ms_ = 0;
    backoff_ms_ = options_.reopen_initial_ms;
}

void DriverLoop::Log(const std::string& text) {
    if (log_) log_(options_.name + ": " + text);
}

void DriverLoop::Emit(PortEvent e) {
    if (on_event_) on_event_(e);
}

void DriverLoop::Backoff(std::int64_t now) {
    const std::int64_t delay = backoff_ms_.load();
    next_open_ms_ = now + delay;
    backoff_ms_ = std::min<std::int64_t>(delay * 2, options_.reopen_max_ms);
}

bool DriverLoop::TryOpen() {
    const std::int64_t now = steady_millis();
    if (now < next_open_ms_) return false;
    bool ok;
    {
        std::lock_guard<std::recursive_mutex> lock(device_->DeviceMutex());
        ok = device_->OpenPort() && port_->IsOpen();
    }
    if (!ok) {
        ++open_failures_;
        const std::int64_t delay = backoff_ms_.load();
        Backoff(now);
        Log("cannot open " + port_->Path() + " (" + port_->LastError() + "); retrying in " +
            std::to_string(delay) + " ms");
        Emit(PortEvent::OpenFailed);
        return false;
    }
    was_open_ = true;
    port_open_ = true;
    ++opens_;
    Log(port_->Path() + " open at " + std::to_string(port_->Baud()) + " baud");
    if (!port_->LockNote().empty()) Log(port_->LockNote());
    Emit(PortEvent::Opened);
    return true;
}

void DriverLoop::Lost() {
    was_open_ = false;
    port_open_ = false;
    ++losses_;
    {
        std::lock_guard<std::recursive_mutex> lock(device_->DeviceMutex());
        device_->ClosePort();  // ends the exchange in flight too
    }
    const std::int64_t delay = backoff_ms_.load();
    Backoff(steady_millis());
    Log("lost " + port_->Path() + " (" + port_->LastError() + "); reopening in " +
        std::to_string(delay) + " ms");
    Emit(PortEvent::Lost);
}

void DriverLoop::Delay(int max_ms) {
    pollfd p{wake_[0], POLLIN, 0};
    if (::poll(&p, 1, max_ms) > 0) {
        char buf[16];
        while (::read(wake_[0], buf, sizeof buf) > 0) {
        }
    }
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
    std::unique_lock<std::recursive_mutex> lock(device_->DeviceMutex(), std::defer_lock);
    // The 20 ms pause before an answer is looked at, and the guard pause
    // before a command, are taken without the device's lock: value queries
    // from other threads never wait for them.
    smd::PauseUnlock pauses_unlock(lock);
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
        // What the line delivered since the last turn, in one read.
        const int n = port_->Read(buf, sizeof buf, 0);
        if (n < 0) continue;  // a hang-up leaves the port closed for the top of the loop
        bool stalled;
        std::int64_t wait = options_.poll_period_ms;
        std::int64_t read_wait;
        {
            lock.lock();
            if (n > 0) {
                backoff_ms_ = options_.reopen_initial_ms;  // the line works
                device_->process(buf, static_cast<unsigned int>(n));
            }
            // Between cycles the device is asked nothing until the next
            // cycle may begin; it is woken exactly then.
            const std::int64_t hold = protocol_ ? protocol_->CycleHoldOffMillis() : 0;
            bool declined = false;
            if (hold <= 0) declined = !device_->RefreshStatus() && !device_->IsProcessing();
            stalled = device_->IsStalled();
            const std::int64_t held = protocol_ ? protocol_->HeldCommandWaitMillis() : -1;
            const std::int64_t deadline = device_->AnswerDeadlineMillis();
            const std::int64_t now = steady_millis();
            const std::int64_t next_hold = protocol_ ? protocol_->CycleHoldOffMillis() : 0;
            if (next_hold > 0) wait = std::min(wait, next_hold);
            // A command held for a quiet line goes out as soon as the line allows.
            if (held >= 0) wait = std::min<std::int64_t>(wait, std::max<std::int64_t>(held, 1));
            if (deadline >= 0) wait = std::min(wait, std::max<std::int64_t>(deadline - now, 0));
            // A device that declined with nothing in flight and no hold-off of
            // its own to tell is asked again soon.
            if (declined && next_hold <= 0 && held < 0) wait = std::min<std::int64_t>(wait, 50);
            read_wait = protocol_ ? protocol_->ReadWaitMillis() : 0;
            lock.unlock();
        }
        if (stalled != stalled_) {
            stalled_ = stalled;
            Log(stalled ? "no answer on " + port_->Path() + " to several commands in a row"
                        : "answers again on " + port_->Path());
            Emit(stalled ? PortEvent::Silent : PortEvent::Answers);
        }
        if (!port_->IsOpen()) continue;  // a write failed; the top of the loop reopens
        // A full buffer: more is waiting in the kernel already.
        if (n == static_cast<int>(sizeof buf)) continue;
        if (read_wait > 0) {
            // The answer is still on the wire: let the kernel gather it and
            // read it in one go instead of waking for every byte.
            Delay(static_cast<int>(std::min(read_wait, std::max<std::int64_t>(wait, 1))));
            continue;
        }
        if (n > 0 && wait > 0) continue;  // read again before sleeping: more may be there
        pollfd fds[2] = {{port_->Fd(), POLLIN, 0}, {wake_[0], POLLIN, 0}};
        const int r = ::poll(fds, 2, static_cast<int>(std::max<std::int64_t>(wait, 0)));
        if (r > 0 && fds[1].revents) {
            char drain[16];
            while (::read(wake_[0], drain, sizeof drain) > 0) {
            }
        }
    }
}

}  // namespace smd

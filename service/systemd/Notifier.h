// The systemd notify protocol: READY once the lines and the listeners run,
// STATUS with the lines' states, WATCHDOG pings while every line thread is
// alive (a stuck one stops the pings, and systemd restarts us), STOPPING.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "service/Component.h"

namespace smd::service {

class Notifier : public Component {
  public:
    // `watchdog_usec` 0: no watchdog, only STATUS updates.
    Notifier(Context& ctx, std::uint64_t watchdog_usec);
    ~Notifier() override;
    bool Start(std::string& error) override;
    void Stop() override;
    // RELOADING=1 while a reload runs (systemctl reload waits for it), then
    // READY=1 with the new STATUS.
    void Reloading();
    void Reloaded();

    // "2 lines: answering 1, not_answering 1"
    static std::string StatusText(const SiteView& view);

  private:
    void Run();
    // True when every line thread moved since the last look.
    bool LinesAlive(std::string& stuck);

    Host& host_;
    SiteView& view_;
    std::function<void(const std::string&)> log_;
    std::uint64_t watchdog_usec_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::map<std::string, std::uint64_t> last_beats_;
};

// A notifier when the service manager asked for notifications
// (NOTIFY_SOCKET), else null.
std::unique_ptr<Component> MakeNotifier(Context& ctx, std::string& error);

}  // namespace smd::service

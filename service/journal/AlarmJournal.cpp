#include "service/journal/AlarmJournal.h"

#include "runtime/text/LogText.h"

namespace smd::service {
namespace {

const char* level_word(int level) {
    switch (level) {
        case 1:
            return "critical";
        case 2:
            return "major";
        case 3:
            return "minor";
        case 4:
            return "warning";
        default:
            return "other";
    }
}

class AlarmJournal : public Component, public EventConsumer {
  public:
    AlarmJournal(EventBus& bus, std::function<void(const std::string&)> log)
        : bus_(bus), log_(std::move(log)) {}
    ~AlarmJournal() override { Stop(); }
    bool Start(std::string&) override {
        // The standing ones are primed as initial events: not news, not logged.
        thread_ = std::make_unique<ConsumerThread>(
            bus_, std::shared_ptr<EventConsumer>(this, [](EventConsumer*) {}));
        return true;
    }
    void Stop() override {
        if (thread_) thread_->Stop();
        thread_.reset();
    }
    void OnEvent(const HostEvent& e) override {
        if (e.initial || (e.kind != HostEvent::Kind::AlarmRaised &&
                          e.kind != HostEvent::Kind::AlarmCleared)) {
            return;
        }
        log_(with_priority(alarm_log_priority(e), alarm_log_text(e)));
    }

  private:
    EventBus& bus_;
    std::function<void(const std::string&)> log_;
    std::unique_ptr<ConsumerThread> thread_;
};

}  // namespace

int alarm_log_priority(const HostEvent& e) {
    if (e.kind != HostEvent::Kind::AlarmRaised) return kLogNotice;
    switch (e.alarm.level) {
        case 1:
            return 2;  // crit
        case 2:
            return kLogError;
        case 3:
            return kLogWarning;
        default:
            return kLogNotice;
    }
}

std::string alarm_log_text(const HostEvent& e) {
    const ActiveAlarm& a = e.alarm;
    std::string t = e.kind == HostEvent::Kind::AlarmRaised ? "alarm raised: " : "alarm cleared: ";
    t += e.device + " " + a.code + " " + a.name + " (level " + std::to_string(a.level) + " " +
         level_word(a.level) + ")";
    if (!a.detail.empty()) t += " [" + a.detail + "]";
    return t;
}

std::unique_ptr<Component> MakeAlarmJournal(Context& ctx, std::string&) {
    if (!ctx.log) return nullptr;
    return std::make_unique<AlarmJournal>(ctx.host.Events(), ctx.log);
}

}  // namespace smd::service

// /metrics in the Prometheus text format: every value a unit serves, the
// standing alarm points, history write errors, the MQTT outbox, the frame counters, the poll
// duration, data age and line state of every device. Scrapes read the site view and this part's own
// counters; neither is ever waited for by a line thread.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "service/Component.h"

namespace smd::service {

// Label value as the text format wants it: backslash, quote and newline
// escaped, valid UTF-8.
std::string prometheus_label(const std::string& value);
// A sample value: shortest form, "NaN", "+Inf", "-Inf".
std::string prometheus_value(double v);
std::string prometheus_value(float v);

class Metrics : public Component, public EventConsumer {
  public:
    static constexpr std::array<double, 10> kPollBuckets = {0.1, 0.25, 0.5, 1, 2, 4, 8, 16, 32, 64};

    explicit Metrics(Context& ctx);
    ~Metrics() override;
    void Stop() override;
    void OnEvent(const HostEvent& e) override;
    // The whole exposition.
    std::string Render() const;
    // Waits up to `timeout` until the event numbered `seq` has been counted.
    bool WaitFor(std::uint64_t seq, std::chrono::milliseconds timeout) const;

  private:
    struct Poll {
        std::array<std::uint64_t, kPollBuckets.size()> buckets{};  // cumulative at render
        std::uint64_t count = 0;
        double sum = 0;
    };
    SiteView& view_;
    Host& host_;
    const std::string history_db_;
    const std::atomic<const MqttPublisher*>& mqtt_;
    const HttpServer* http_;  // null when the site serves no HTTP (then no scrape either)
    mutable std::mutex mutex_;
    mutable std::condition_variable counted_;
    std::uint64_t seq_ = 0;
    std::map<std::string, Poll> polls_;
    std::unique_ptr<ConsumerThread> thread_;
};

}  // namespace smd::service

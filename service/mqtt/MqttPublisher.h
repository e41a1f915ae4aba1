// The MQTT publisher: a consumer of the host's event stream that keeps a
// broker told of every unit's values, every line's state and the standing
// alarms (retained), sends alarm raise and clear events at QoS 1 through a
// durable outbox, and announces everything to Home Assistant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "runtime/events/Events.h"
#include "service/mqtt/MqttConfig.h"

namespace smd {

struct MqttStatus {
    bool connected = false;         // the broker accepted us and the session is up
    std::string last_error;         // why the last attempt or connection failed
    std::uint64_t connections = 0;  // sessions established since the start
    std::size_t outbox = 0;         // events waiting for the broker's acknowledgement
    bool durable = false;           // the outbox is in the site's database
    std::uint64_t delivered = 0;    // events the broker acknowledged
    std::uint64_t dropped = 0;      // events pushed out of a full outbox
};

class MqttPublisher {
  public:
    using LogFn = std::function<void(const std::string&)>;

    // Starts the publisher's threads; the first connection is made from
    // there. The outbox is the table "mqtt_outbox" of `config.outbox_db`, or
    // memory when there is none or it cannot be opened (said in the log).
    static std::unique_ptr<MqttPublisher> Start(const mqtt::MqttConfig& config, EventBus& bus,
                                                LogFn log, std::string& error);
    ~MqttPublisher();
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // Stops taking events, sends what is pending (briefly), says "offline"
    // and disconnects. Called by the destructor.
    void Stop();
    MqttStatus Status() const;

    struct Core;

  private:
    MqttPublisher() = default;
    std::shared_ptr<Core> core_;
    std::unique_ptr<ConsumerThread> consumer_;
};

}  // namespace smd

// The bus device on a loopback line to the simulated monitoring unit, driven
// as its line thread drives it (poll, hand over what came, poll again) with
// the clocks moved by the harness instead of waited for.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bus/Ravo3.h"
#include "fuzz/FuzzSupport.h"
#include "sim/Responder.h"
#include "sim/Scenario.h"

namespace fuzz_support {

class SimLine {
  public:
    SimLine(sim::Scenario scenario, std::shared_ptr<LoopbackPort> port)
        : responder_(std::move(scenario)), port_(std::move(port)) {}

    // Hands what the device wrote to the unit; its answers join the bytes
    // waiting on the line. `elapsed_ms`: time since the unit started.
    void Pump(std::int64_t elapsed_ms) {
        if (port_->written.empty()) return;
        std::vector<sim::Reply> replies =
            responder_.Feed(port_->written.data(), port_->written.size(), elapsed_ms);
        port_->written.clear();
        for (sim::Reply& r : replies) {
            pending.insert(pending.end(), r.bytes.begin(), r.bytes.end());
            delay_ms = std::max(delay_ms, r.delay_ms);
        }
    }

    sim::Responder& Responder() { return responder_; }

    std::vector<unsigned char> pending;  // sent by the unit, not yet received
    std::uint32_t delay_ms = 0;          // the longest delay the unit asked for

  private:
    sim::Responder responder_;
    std::shared_ptr<LoopbackPort> port_;
};

// A bus device made and set up as the host's loader does, on a loopback port.
struct Bus {
    std::shared_ptr<Ravo3> device = std::make_shared<Ravo3>();
    std::shared_ptr<LoopbackPort> port = std::make_shared<LoopbackPort>();
    bool ok = false;

    Bus(const std::shared_ptr<SMDController>& controller, const Json::Value& settings,
        unsigned data_id = 1) {
        device->Init(controller, data_id, settings);
        ok = device->InitSetting(settings);
        device->SetTransport(port);
    }
    std::size_t Units(const char* device_type) {
        std::size_t n = 0;
        for (const auto& u : device->GetAllChildVDevices())
            n += u && u->DeviceType() == device_type;
        return n;
    }
};

// The unit answers at once; a quiet line moves time on by a bit more than a
// second, so hold-offs pass and missing answers time out. Stops after
// `cycles` completed cycles or `turns` polls.
inline void run_cycles(Bus& bus, SimLine& line, Clocks& clocks, std::uint64_t cycles, int turns) {
    PMBusProtocol& dev = *bus.device;
    for (int t = 0; t < turns && dev.Stats().cycles < cycles; ++t) {
        dev.RefreshStatus();
        check_step(dev);
        line.Pump(clocks.Steady() - 1000000);
        if (line.pending.empty()) {
            clocks.Advance(1100);
            continue;
        }
        clocks.Advance(line.delay_ms);
        line.delay_ms = 0;
        std::vector<unsigned char> bytes;
        bytes.swap(line.pending);
        dev.process(bytes.data(), static_cast<unsigned>(bytes.size()));
        check_step(dev);
    }
}

// Every value name a unit serves, asked once: replies are fine, crashes not.
inline void query_all(Bus& bus) {
    static const char* const kNames[] = {
        "ia",       "ib",          "ic",          "ia_alert",    "ib_alert",
        "ic_alert", "channel_0_a", "channel_1_f", "channel_9_b", "v",
        "i",        "group_value", "channel_x_a", "channel__a",  "",
        "m_0",      "channel_00_c"};
    for (const auto& unit : bus.device->GetAllChildVDevices()) {
        if (!unit) continue;
        for (const char* n : kNames) {
            try {
                (void)unit->Get_Value(unit->DataId(), n);
            } catch (const std::out_of_range&) {
            }
        }
    }
}

}  // namespace fuzz_support

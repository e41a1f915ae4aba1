// The bus device with its real units driven through the frame layer by
// answers prepared once from the simulator: after the warm-up a cycle costs
// only the driver's own work (framing, decoding, cycle end), no simulator.
// Shared by the benchmarks and the allocation test; header-only.
#pragma once

#include <json/value.h>

#include <array>
#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bus/Ravo3.h"
#include "runtime/line/FrameCodec.h"
#include "sim/Device.h"
#include "sim/Scenario.h"

namespace cycle_rig {

struct Site {
    const char* name;
    int ac_units;
    int channels;  // per AC unit
    int dc_units;
    int modules;
};

// 1 AC unit with one channel, 1 DC unit, 6 modules; and a large site.
inline constexpr Site kTypical = {"typical", 1, 1, 1, 6};
inline constexpr Site kLarge = {"large", 2, 3, 4, 24};

// The simulator's scenario for `site`, every block reporting `data_flag`.
inline std::string ScenarioJson(const Site& site, int data_flag) {
    const std::string flag = std::to_string(data_flag);
    return "{\"ac\": {\"units\": " + std::to_string(site.ac_units) +
           ", \"channels\": " + std::to_string(site.channels) + ", \"data_flag\": " + flag +
           "}, \"dc\": {\"units\": " + std::to_string(site.dc_units) + ", \"data_flag\": " + flag +
           "}, \"rectifier\": {\"modules\": " + std::to_string(site.modules) +
           ", \"data_flag\": " + flag + "}}";
}

// The port: remembers which command went out last (CID1 and CID2 are hex
// characters 5..8 of the frame), so that its answer can be fed back.
class CommandLatch : public smd::Transport {
  public:
    bool Open() override { return true; }
    void Close() override {}
    bool IsOpen() const override { return true; }
    int Write(const unsigned char* d, unsigned int len, EnumParity) override {
        key = len >= 9 ? (Hex(d[5]) << 12 | Hex(d[6]) << 8 | Hex(d[7]) << 4 | Hex(d[8])) : 0;
        ++writes;
        return static_cast<int>(len);
    }
    unsigned key = 0;  // cid1 << 8 | cid2
    std::uint64_t writes = 0;

  private:
    static unsigned Hex(unsigned char c) {
        return c <= '9' ? static_cast<unsigned>(c - '0') : static_cast<unsigned>(c - 'A' + 10);
    }
};

class Rig {
  public:
    // `steady`: the monitoring unit reports no status or alarm change, so a
    // cycle after the first asks only for analog values and parameters;
    // otherwise every cycle asks for everything.
    // With a `controller`, the units' snapshots, alarm points and records go
    // to it; without, the closures run at once and hand nothing over.
    Rig(const Site& site, bool steady,
        std::shared_ptr<SMDController> controller = std::shared_ptr<SMDController>())
        : latch_(std::make_shared<CommandLatch>()) {
        bus = std::make_shared<Ravo3>();
        bus->Init(controller, 100, Json::Value());
        Json::Value cfg(Json::objectValue);
        for (int i = 0; i < site.ac_units; ++i) cfg["acSetting"][i]["data_id"] = 200 + i;
        for (int i = 0; i < site.dc_units; ++i) cfg["dcSetting"][i]["data_id"] = 300 + i;
        cfg["rcSetting"] = Json::Value(Json::objectValue);
        bus->InitSetting(cfg);
        bus->SetTransport(latch_);
        sim::Device unit(sim::ParseScenario(ScenarioJson(site, steady ? 0 : 17)));
        // The model query and two cycles with the simulator answering: every
        // command of a full cycle gets its answer into the table.
        bus->RefreshStatus();
        for (int cycle = 0; cycle < 2 && ok; ++cycle) {
            ok = Run([&](unsigned key) -> std::vector<unsigned char>& {
                std::vector<unsigned char>& frame = answers_[Slot(key)];
                if (frame.empty()) {
                    std::vector<unsigned char> info;
                    unit.Observe(key >> 8, key & 0xFF, 0);
                    unit.BuildInfo(key >> 8, key & 0xFF, info);
                    frame = smd::encode_frame(0x20, 1, key >> 8, 0, info.data(), info.size());
                }
                return frame;
            });
        }
    }

    // One poll cycle from its first command to its end, every command
    // answered from the table. False if a command had no prepared answer or
    // the cycle did not end.
    bool Cycle() {
        return ok && Run([&](unsigned key) -> std::vector<unsigned char>& {
                   return answers_[Slot(key)];
               });
    }

    std::uint64_t Commands() const { return latch_->writes; }

    std::shared_ptr<Ravo3> bus;
    bool ok = true;

  private:
    static std::size_t Slot(unsigned key) { return ((key >> 8) & 0x3) * 256 + (key & 0xFF); }

    template <typename Answer>
    bool Run(Answer answer) {
        const auto before = bus->Stats().cycles;
        for (int n = 0; n < 64; ++n) {
            if (!bus->IsProcessing()) {
                // Past the hold-off between cycles.
                bus->last_update = boost::posix_time::ptime(boost::gregorian::date(2000, 1, 1));
                if (!bus->RefreshStatus()) return false;
            }
            std::vector<unsigned char>& frame = answer(latch_->key);
            if (frame.empty()) return false;
            bus->process(frame.data(), static_cast<unsigned>(frame.size()));
            if (bus->Stats().cycles != before) return true;
        }
        return false;
    }

    std::shared_ptr<CommandLatch> latch_;
    // Prepared answer frames by CID1 (0x40..0x42, low two bits) and CID2.
    std::array<std::vector<unsigned char>, 1024> answers_;
};

}  // namespace cycle_rig

// The simulator's scenario file: any text into the scenario parser, which
// either refuses it with a message naming the key or gives a scenario; a
// scenario that parses then plays three poll cycles (events and faults
// included) against the bus device configured for its units, under the same
// invariants as the line.
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "fuzz/SimLine.h"
#include "sim/Scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_support::silence_stdout();
    const std::string text(reinterpret_cast<const char*>(data), size);
    sim::Scenario scenario;
    try {
        scenario = sim::ParseScenario(text);
    } catch (const sim::ScenarioError& e) {
        if (std::string(e.what()).empty()) fuzz_support::fail("scenario refused without a message");
        return 0;
    }
    fuzz_support::Clocks& clocks = fuzz_support::Clocks::Install();
    fuzz_support::Checked checked;
    Json::Value settings =
        fuzz_support::bus_settings(static_cast<unsigned>(scenario.ac_units.size()),
                                   static_cast<unsigned>(scenario.dc_units.size()));
    settings["address"] = scenario.address;
    settings["protocol_version"] = scenario.protocol_version;
    fuzz_support::Bus bus(checked.controller, settings);
    if (!bus.ok) return 0;  // an address or version the driver does not take
    bus.device->baud_rate = 9600;
    fuzz_support::SimLine line(std::move(scenario), bus.port);
    fuzz_support::run_cycles(bus, line, clocks, 3, 120);
    fuzz_support::query_all(bus);
    return 0;
}

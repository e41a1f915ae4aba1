// The driver's own settings, as the host hands them to Init and InitSetting:
// any JSON (arrays of AC and DC entries cut to four each, so that inputs stay
// about the settings and not about unit counts). Settings the driver takes
// then run two poll cycles against the simulated unit sized to the units it
// made, and every value is asked for.
#include <json/reader.h>

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "fuzz/SimLine.h"

namespace {

void cut(Json::Value& cfg, const char* key) {
    if (!cfg.isObject() || !cfg[key].isArray() || cfg[key].size() <= 4) return;
    Json::Value kept(Json::arrayValue);
    for (Json::ArrayIndex i = 0; i < 4; ++i) kept.append(cfg[key][i]);
    cfg[key] = kept;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_support::silence_stdout();
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value cfg;
    std::string errors;
    const char* text = reinterpret_cast<const char*>(data);
    if (!reader->parse(text, text + size, &cfg, &errors)) return 0;
    cut(cfg, "acSetting");
    cut(cfg, "dcSetting");

    fuzz_support::Clocks& clocks = fuzz_support::Clocks::Install();
    fuzz_support::Checked checked;
    std::unique_ptr<fuzz_support::Bus> bus;
    try {
        bus = std::make_unique<fuzz_support::Bus>(checked.controller, cfg, 1000);
    } catch (const Json::Exception&) {
        return 0;  // the host reports these as "malformed setting"
    }
    if (!bus->ok) return 0;
    bus->device->baud_rate = 9600;
    sim::Scenario scenario = sim::DefaultScenario();
    scenario.address = bus->device->Address();
    scenario.protocol_version = bus->device->ProtocolVersion();
    scenario.ac_units.resize(bus->Units("ravo3-ac"));
    for (auto& u : scenario.ac_units) u.channels.resize(1);
    scenario.dc_units.resize(bus->Units("ravo3-dc"));
    fuzz_support::SimLine line(std::move(scenario), bus->port);
    fuzz_support::run_cycles(*bus, line, clocks, 2, 80);
    fuzz_support::query_all(*bus);
    return 0;
}

// The line threads of a site: one per port, shared by the devices that name
// it, each with the port its devices' form asks for (and a capture of it).
#include <algorithm>
#include <fstream>
#include <sstream>

#include "runtime/site/Host.h"

namespace smd {

std::shared_ptr<LinePort> Host::MakePort(const std::vector<LineSupervisor*>& group,
                                         std::int64_t allowance, const SiteConfig& config,
                                         std::string& error) {
    const std::string& path = group.front()->config.port;
    std::shared_ptr<LinePort> port = options_.port_factory
                                         ? options_.port_factory(path, allowance)
                                         : PortFor(path, config.lock_dir, allowance);
    std::string capture_file = options_.capture;
    for (const LineSupervisor* l : group) {
        if (capture_file.empty()) capture_file = l->config.capture;
    }
    if (capture_file.empty()) return port;
    auto& writer = captures_[capture_file];
    if (!writer) {
        std::string text;
        if (!config.path.empty()) {
            std::ifstream in(config.path, std::ios::binary);
            std::ostringstream ss;
            ss << in.rdbuf();
            text = ss.str();
        }
        writer = capture::Writer::Open(capture_file, text, error);
        if (!writer) return nullptr;
        Log("capturing lines into " + capture_file);
    }
    return std::make_shared<capture::CapturingPort>(port, writer);
}

bool Host::BuildLines(const std::vector<LineSupervisor*>& lines, const SiteConfig& config,
                      std::string& error) {
    // Devices in site order; each port's line in the order its first device comes.
    std::vector<std::string> keys;
    std::map<std::string, std::vector<LineSupervisor*>> by_key;
    for (LineSupervisor* line : lines) {
        if (!line->device) continue;
        const std::string key = LineKey(line->config.port);
        if (!by_key.count(key)) keys.push_back(key);
        by_key[key].push_back(line);
    }
    for (const std::string& key : keys) {
        const std::vector<LineSupervisor*>& group = by_key[key];
        // The line's network allowance: the largest its devices ask for.
        PortAddress addr;
        std::string why;
        const bool network = ParsePortAddress(group.front()->config.port, addr, why) &&
                             addr.kind != PortAddress::Kind::Serial;
        std::int64_t allowance = 0;
        std::vector<std::shared_ptr<SMDSPDevice>> devices;
        std::string names;
        for (LineSupervisor* l : group) {
            const int a = l->config.network_allowance_ms;
            allowance = std::max<std::int64_t>(allowance, a >= 0 ? a : network ? 500 : 0);
            devices.push_back(l->device);
            names += (names.empty() ? "device \"" : ", \"") + l->config.name + "\"";
        }
        std::shared_ptr<LinePort> port = MakePort(group, allowance, config, error);
        if (!port) return false;
        DriverLoopOptions o;
        o.name = names;
        o.poll_period_ms = config.poll_period_ms;
        o.reopen_initial_ms = config.reopen_initial_ms;
        o.reopen_max_ms = config.reopen_max_ms;
        auto loop = std::make_shared<DriverLoop>(devices, port, o,
                                                 [this](const std::string& s) { Log(s); });
        std::vector<LineSupervisor*> members = group;
        loop->SetDeviceEventListener(
            [members](std::size_t i, PortEvent ev) { members[i]->OnPortEvent(ev); });
        loop->SetTickListener([members] {
            for (LineSupervisor* l : members) l->OnTick();
        });
        for (LineSupervisor* l : group) l->SetThread(loop, port, allowance);
        if (group.size() > 1) {
            Log(names + " share " + group.front()->config.port + " and take turns");
        }
        loops_.push_back(std::move(loop));
    }
    return true;
}

}  // namespace smd

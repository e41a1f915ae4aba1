// What other threads ask of a running site: values, devices, lines, alarms.
// Each reader takes the list of lines as it is and walks it without a lock.
#include <stdexcept>

#include "runtime/site/Host.h"

namespace smd {

LineStatus Host::LineOf(const std::string& device) const {
    const auto lines = Lines();
    for (const auto& line : *lines) {
        if (line->config.name == device) return line->Status();
    }
    return LineStatus();
}

std::string Host::DeviceOf(std::uint32_t data_id) const {
    const auto lines = Lines();
    for (const auto& line : *lines) {
        if (line->Serves(data_id)) return line->config.name;
    }
    return std::string();
}

std::shared_ptr<const Provenance> Host::ProvenanceOf(std::uint32_t data_id,
                                                     const std::string& device_type) const {
    const auto lines = Lines();
    for (const auto& line : *lines) {
        if (auto p = line->ProvenanceOf(data_id, device_type)) return p;
    }
    return nullptr;
}

float Host::GetValue(unsigned int data_id, const std::string& name) const {
    const auto lines = Lines();
    for (const auto& line : *lines) {
        if (!line->device) continue;
        SMDSPDevice& dev = *line->device;
        std::lock_guard<std::recursive_mutex> lock(dev.DeviceMutex());
        std::shared_ptr<SMDVDevice> unit = dev.GetChildVDevice(data_id);
        if (!unit && data_id == dev.DataId()) {
            const auto all = dev.GetAllChildVDevices();
            if (!all.empty()) unit = all.back();
            if (!unit) return dev.Get_Value(data_id, name);
        }
        if (unit) return unit->Get_Value(data_id, name);
    }
    throw std::out_of_range("数据未提供");
}

std::optional<FrameStats> Host::Stats(const std::string& device) const {
    std::optional<FrameStats> out;
    WithDevice(device, [&](SMDSPDevice& dev) {
        if (auto* p = dynamic_cast<PMBusProtocol*>(&dev)) out = p->Stats();
    });
    return out;
}

bool Host::WithDevice(const std::string& name, const std::function<void(SMDSPDevice&)>& f) const {
    const auto lines = Lines();
    for (const auto& line : *lines) {
        if (line->config.name != name || !line->device) continue;
        std::lock_guard<std::recursive_mutex> lock(line->device->DeviceMutex());
        f(*line->device);
        return true;
    }
    return false;
}

std::vector<DeviceStatus> Host::Devices() const {
    std::vector<DeviceStatus> out;
    const auto lines = Lines();
    for (const auto& line : *lines) {
        DeviceStatus s;
        s.name = line->config.name;
        s.port = line->config.port;
        s.driver = line->config.driver;
        s.data_id = line->config.data_id;
        s.enabled = line->config.enabled;
        s.loaded = line->device != nullptr;
        s.error = line->error;
        s.replayed = line->replayed;
        const LineSupervisor::PortCounts ports = line->Ports();
        s.port_open = ports.open;
        s.port_opens = ports.opens;
        s.port_losses = ports.losses;
        out.push_back(std::move(s));
    }
    return out;
}

std::vector<LineBeat> Host::LineHeartbeats() const {
    // Not while a reload moves lines from one thread to another.
    std::lock_guard<std::mutex> control(control_mutex_);
    std::vector<LineBeat> out;
    const auto lines = Lines();
    for (const auto& line : *lines) {
        if (auto loop = line->Loop()) {
            out.push_back(LineBeat{line->config.name, loop->Running(), loop->Heartbeat()});
        }
    }
    return out;
}

std::vector<ActiveAlarm> Host::ActiveAlarms() const {
    return controller_ ? controller_->ActiveAlarms() : std::vector<ActiveAlarm>();
}

std::vector<Snapshot> Host::Snapshots() const {
    return controller_ ? controller_->AllSnapshots() : std::vector<Snapshot>();
}

std::vector<DriverLoop*> Host::Loops() const {
    std::vector<DriverLoop*> out;
    for (const auto& l : loops_) out.push_back(l.get());
    return out;
}

}  // namespace smd

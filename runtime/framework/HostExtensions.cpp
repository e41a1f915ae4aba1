// The hook table this host offers drivers (see plugin/HostExtensionsAbi.h):
// its clock and pause seams, its log, the reuse of alarm rule lists, the
// change indication of published records and the cycle spacing of a bus
// device. A driver loaded by a host without the table falls back to the
// framework's plain behaviour.
#include <cstddef>
#include <utility>
#include <vector>

#include "host/PMBusProtocol.h"
#include "host/SMDController.h"
#include "host/SMDVDevice.h"
#include "plugin/HostExtensionsAbi.h"

namespace {

boost::posix_time::ptime LocalTime() {
    return smd::local_time();
}

void Pause(unsigned int micros) {
    smd::pause_micros(micros);
}

void Log(SMDVDevice& device, const char* format, const host_ext::LogArg* args, unsigned int count) {
    const std::shared_ptr<SMDController> controller = device.Controller();
    if (!controller || !format) return;
    smd::LogRecord rec;
    rec.format = format;
    rec.args.reserve(count);
    for (unsigned int i = 0; args && i < count; ++i) {
        switch (args[i].kind) {
            case host_ext::LogArg::I32:
                rec.args.push_back(smd::to_log_arg(static_cast<std::int32_t>(args[i].bits)));
                break;
            case host_ext::LogArg::U8:
                rec.args.push_back(smd::to_log_arg(static_cast<std::uint8_t>(args[i].bits)));
                break;
            case host_ext::LogArg::U32:
            default:
                rec.args.push_back(smd::to_log_arg(args[i].bits));
                break;
        }
    }
    rec.text = smd::format_log(rec.format, rec.args);
    controller->EmitLog(rec);
}

void ReserveRules(SMDVDevice& device, std::size_t count) {
    device.ReserveRules(count);
}

void RecycleRules(SMDVDevice& device, std::vector<rule_value>&& rules) {
    device.RecycleRules(std::move(rules));
}

void NoteChange(SMDVDevice& device, bool changed) {
    device.notable_change = changed;
}

void SetCycleSpacing(SMDVDevice& device, std::int64_t millis) {
    if (auto* protocol = dynamic_cast<PMBusProtocol*>(&device)) {
        protocol->SetCycleSpacingMillis(millis);
    }
}

const host_ext::Table kTable = {
    host_ext::kTableVersion,
    static_cast<std::uint32_t>(sizeof(host_ext::Table)),
    &LocalTime,
    &Pause,
    &Log,
    &ReserveRules,
    &RecycleRules,
    &NoteChange,
    &SetCycleSpacing,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) const host_ext::Table* ravo3_host_extensions() {
    return &kTable;
}

// This host's own diagnostics for a device, to the device's controller log
// (the framework's InfoLog template is empty; host code logs through here).
#pragma once

#include <memory>

#include "host/SMDController.h"
#include "host/SMDVDevice.h"

namespace smd {

template <typename... Args>
void HostLog(const SMDVDevice& device, const char* format, const Args&... args) {
    const std::shared_ptr<SMDController> controller = device.Controller();
    if (!controller) return;
    LogRecord rec;
    rec.format = format ? format : "";
    rec.args.reserve(sizeof...(Args));
    (rec.args.push_back(to_log_arg(args)), ...);
    rec.text = format_log(rec.format, rec.args);
    controller->EmitLog(rec);
}

}  // namespace smd

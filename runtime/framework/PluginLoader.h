// Loads driver libraries and makes their bus devices: dlopen, the exported
// `get_providers`, the first factory's create(), then Init and InitSetting
// with the device's settings. A library stays loaded while any device made
// from it lives (and while the loader lives).
#pragma once

#include <map>
#include <memory>
#include <string>

#include "host/SMDController.h"
#include "host/SMDSPDevice.h"
#include "runtime/site/SiteConfig.h"

namespace smd {

// The driver a program runs when neither the command line nor the site file
// names one: ravo3.so beside the program (a build tree), else where the
// package installs it from the program's folder (../lib/ravo3/ravo3.so);
// empty when neither exists.
std::string DefaultDriverPath();

class PluginLoader {
  public:
    PluginLoader() = default;
    ~PluginLoader();
    PluginLoader(const PluginLoader&) = delete;
    PluginLoader& operator=(const PluginLoader&) = delete;

    // The configured bus device, or null with `error` set to one line that
    // names the device and the reason.
    std::shared_ptr<SMDSPDevice> Load(const DeviceConfig& config,
                                      const std::shared_ptr<SMDController>& controller,
                                      std::string& error);
    std::size_t LibraryCount() const { return libraries_.size(); }

  private:
    std::shared_ptr<void> Library(const std::string& path, std::string& why);

    std::map<std::string, std::shared_ptr<void>> libraries_;
};

}  // namespace smd

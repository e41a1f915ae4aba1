#include "runtime/PluginLoader.h"

#include <dlfcn.h>
#include <json/value.h>

#include <exception>
#include <vector>

#include "host/Provider.h"

namespace smd {
namespace {

using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();

std::string dl_reason() {
    const char* e = ::dlerror();
    return e ? e : "unknown reason";
}

}  // namespace

PluginLoader::~PluginLoader() = default;

std::shared_ptr<void> PluginLoader::Library(const std::string& path, std::string& why) {
    auto it = libraries_.find(path);
    if (it != libraries_.end()) return it->second;
    ::dlerror();
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        why = "cannot load driver " + path + ": " + dl_reason();
        return nullptr;
    }
    std::shared_ptr<void> lib(handle, [](void* h) { ::dlclose(h); });
    libraries_.emplace(path, lib);
    return lib;
}

std::shared_ptr<SMDSPDevice> PluginLoader::Load(const DeviceConfig& config,
                                                const std::shared_ptr<SMDController>& controller,
                                                std::string& error) {
    const std::string who = "device \"" + config.name + "\": ";
    std::string why;
    std::shared_ptr<void> lib = Library(config.driver, why);
    if (!lib) {
        error = who + why;
        return nullptr;
    }
    ::dlerror();
    void* sym = ::dlsym(lib.get(), "get_providers");
    if (!sym) {
        error = who + "driver " + config.driver + " has no get_providers: " + dl_reason();
        return nullptr;
    }
    GetProviders get_providers = reinterpret_cast<GetProviders>(sym);
    std::shared_ptr<SMDSPDevice> device;
    try {
        std::vector<std::shared_ptr<Provider>> providers = get_providers();
        if (providers.empty()) {
            error = who + "driver " + config.driver + " offers no device factory";
            return nullptr;
        }
        auto factory = std::dynamic_pointer_cast<SMDSPDeviceProvider>(providers.front());
        if (!factory) {
            error = who + "the first factory of driver " + config.driver + " makes no devices";
            return nullptr;
        }
        SMDSPDevice* raw = factory->create();
        if (!raw) {
            error = who + "driver " + config.driver + " made no device";
            return nullptr;
        }
        // The device's code lives in the library: keep it loaded until the
        // device is gone.
        device.reset(raw, [lib](SMDSPDevice* d) { delete d; });
        device->Init(controller, config.data_id, config.settings);
        if (!device->InitSetting(config.settings)) {
            error = who + "driver " + config.driver +
                    " refused the settings (is \"rcSetting\" there?); ravo3-monitor --check "
                    "names every faulty key";
            return nullptr;
        }
    } catch (const Json::Exception& e) {
        error = who + "malformed setting: " + e.what() + " (ravo3-monitor --check names the key)";
        return nullptr;
    } catch (const std::exception& e) {
        error = who + "driver failed while starting: " + e.what();
        return nullptr;
    }
    return device;
}

}  // namespace smd

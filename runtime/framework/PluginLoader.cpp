#include "runtime/framework/PluginLoader.h"

#include <dlfcn.h>
#include <json/value.h>
#include <unistd.h>

#include <exception>
#include <filesystem>
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

std::string DefaultDriverPath() {
    namespace fs = std::filesystem;
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return std::string();
    buf[n] = '\0';
    const fs::path dir = fs::path(buf).parent_path();
    std::error_code ec;
    for (const fs::path& p : {dir / "ravo3.so", dir / ".." / "lib" / "ravo3" / "ravo3.so"}) {
        if (fs::is_regular_file(p, ec)) return p.lexically_normal().string();
    }
    return std::string();
}

PluginLoader::~PluginLoader() = default;

std::shared_ptr<void> PluginLoader::Library(const std::string& path, std::string& why) {
    auto it = libraries_.find(path);
    if (it != libraries_.end()) return it->second;
    std::error_code ec;
    if (path.find('/') != std::string::npos && !std::filesystem::exists(path, ec)) {
        why = "cannot load driver " + path + ": there is no such file";
        return nullptr;
    }
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
    if (config.driver.empty()) {
        error = who +
                "the site file names no \"driver\" and there is no default (ravo3.so "
                "beside the program)";
        return nullptr;
    }
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

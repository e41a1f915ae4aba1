// The site file, edited by hand: any text into the site parser, which either
// refuses it with one message or gives the devices; each enabled device then
// goes through the plug-in loader into Init and InitSetting with the settings
// the host would pass, and a device that loads is looked up and polled once
// as the host does at start. The service's sections ("http", "mqtt") go to
// their own parsers.
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "runtime/framework/PluginLoader.h"
#include "runtime/site/SiteConfig.h"
#include "service/http/HttpServer.h"
#include "service/mqtt/MqttConfig.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_support::silence_stdout();
    // One loader for the run: the driver library stays loaded, as in a host.
    static smd::PluginLoader loader;
    const std::string text(reinterpret_cast<const char*>(data), size);
    smd::SiteConfig site;
    std::string error;
    if (!smd::ParseSiteConfig(text, "/nonexistent/site", site, error)) {
        if (error.empty()) fuzz_support::fail("site file refused without a message");
        return 0;
    }
    if (site.devices.empty()) fuzz_support::fail("site file taken without a device");
    if (!site.http.isNull()) {
        smd::service::HttpOptions http;
        if (!smd::service::ParseHttpOptions(site.http, "/nonexistent", http, error) &&
            error.empty()) {
            fuzz_support::fail("\"http\" refused without a message");
        }
    }
    if (!site.mqtt.isNull()) {
        smd::mqtt::MqttConfig mqtt;
        error.clear();
        if (!smd::mqtt::ParseMqttConfig(site.mqtt, "/nonexistent", mqtt, error) && error.empty()) {
            fuzz_support::fail("\"mqtt\" refused without a message");
        }
    }
    fuzz_support::Clocks::Install();
    fuzz_support::Checked checked;
    for (smd::DeviceConfig cfg : site.devices) {
        if (!cfg.enabled) continue;
        cfg.driver = RAVO3_PLUGIN_PATH;
        std::string why;
        std::shared_ptr<SMDSPDevice> dev = loader.Load(cfg, checked.controller, why);
        if (!dev) {
            if (why.empty()) fuzz_support::fail("device refused without a message");
            continue;
        }
        for (const char* key : {"acSetting", "dcSetting"}) {
            const Json::Value& entries = cfg.settings[key];
            if (!entries.isArray()) continue;
            for (const Json::Value& e : entries) {
                if (e.isObject() && e["data_id"].isUInt()) {
                    (void)dev->GetChildVDevice(e["data_id"].asUInt());
                }
            }
        }
        (void)dev->GetAllChildVDevices();
        dev->SetTransport(std::make_shared<fuzz_support::NullPort>());
        dev->RefreshStatus();
        if (auto* bus = dynamic_cast<PMBusProtocol*>(dev.get())) fuzz_support::check_step(*bus);
    }
    return 0;
}

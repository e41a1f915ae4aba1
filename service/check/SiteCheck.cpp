#include "service/check/SiteCheck.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "runtime/site/Host.h"
#include "runtime/text/LogText.h"
#include "service/http/HttpServer.h"
#include "service/mqtt/MqttConfig.h"

namespace smd::service {

namespace fs = std::filesystem;

std::string PortHint(const std::string& port, const std::string& key) {
    if (port.find("://") != std::string::npos) return std::string();  // a device server
    struct stat st {};
    if (::stat(port.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            return port +
                   " does not exist: check that the adapter is plugged in "
                   "(ls /dev/serial/by-id/) and the key \"" +
                   key + "\"";
        }
        return port + ": " + std::strerror(errno);
    }
    if (::access(port.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
        const struct group* g = ::getgrgid(st.st_gid);
        const std::string group = g ? g->gr_name : std::to_string(st.st_gid);
        return "no permission to open " + port + ", which belongs to group \"" + group +
               "\": add the user to it (sudo usermod -aG " + group + " \"$USER\") and log in again";
    }
    return std::string();
}

SiteCheck CheckSiteFile(const std::string& path, const std::string& driver_override,
                        const std::string& default_driver) {
    SiteCheck c;
    std::string error;
    if (!LoadSiteConfig(path, c.site, error)) {
        std::istringstream lines(error);
        for (std::string line; std::getline(lines, line);) c.problems.push_back(line);
        return c;
    }
    c.read = true;
    const SiteConfig& site = c.site;
    c.problems = site.warnings;
    // The daemon's sections, as the daemon reads them.
    const std::string base = fs::absolute(site.path).parent_path().string();
    std::string why;
    HttpOptions http;
    if (!site.http.isNull() && !ParseHttpOptions(site.http, base, http, why)) {
        c.problems.push_back(site.path + ": " + why);
    }
    mqtt::MqttConfig mqtt;
    if (!site.mqtt.isNull() && !mqtt::ParseMqttConfig(site.mqtt, base, mqtt, why)) {
        c.problems.push_back(site.path + ": " + why);
    }
    // Loading each driver and handing it its settings, with no port and no
    // database, finds a driver that is missing or does not load, and what
    // the driver itself refuses.
    SiteConfig dry = site;
    dry.history_db.clear();
    HostOptions ho;
    ho.driver_override = driver_override;
    ho.default_driver = default_driver;
    ho.start_lines = false;
    ho.log = [](const std::string&) {};
    {
        Host host(ho);
        host.Start(dry, error);
        const auto devices = host.Devices();
        for (std::size_t i = 0; i < devices.size(); ++i) {
            if (devices[i].enabled && !devices[i].loaded) {
                c.problems.push_back(site.path + ": devices[" + std::to_string(i) +
                                     "]: not loaded: " + devices[i].error);
            }
        }
    }
    bool any_enabled = false;
    for (const auto& d : site.devices) any_enabled = any_enabled || d.enabled;
    if (!any_enabled)
        c.problems.push_back(site.path + ": devices: none is enabled; nothing would run");
    for (std::size_t i = 0; i < site.devices.size(); ++i) {
        const auto& d = site.devices[i];
        if (!d.enabled) continue;
        const std::string h = PortHint(d.port, "devices[" + std::to_string(i) + "].port");
        if (!h.empty()) c.notes.push_back("device \"" + d.name + "\": " + h);
    }
    return c;
}

int PrintSiteCheck(const SiteCheck& c, const std::string& path, std::FILE* out, std::FILE* err) {
    if (!c.problems.empty()) {
        for (const auto& p : c.problems) std::fprintf(err, "%s\n", log_safe(p).c_str());
        std::fprintf(err, "%s: %zu problem%s\n", log_safe(path).c_str(), c.problems.size(),
                     c.problems.size() == 1 ? "" : "s");
        return 1;
    }
    std::size_t enabled = 0;
    for (const auto& d : c.site.devices) enabled += d.enabled ? 1 : 0;
    for (const auto& n : c.notes) std::fprintf(out, "note: %s\n", log_safe(n).c_str());
    std::fprintf(out, "%s: OK, %zu device%s (%zu enabled)\n", log_safe(path).c_str(),
                 c.site.devices.size(), c.site.devices.size() == 1 ? "" : "s", enabled);
    return 0;
}

}  // namespace smd::service

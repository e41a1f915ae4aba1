// Everything the daemon runs beside the host: the site view and the parts
// the site file asks for (HTTP API, metrics, MQTT, ...), built from the list
// in Components.cpp.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "service/Component.h"

namespace smd::service {

// The parts, in the order they are built and started.
const std::vector<FactoryEntry>& Factories();

class Service {
  public:
    Service();
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // After host.Start(). False, with `error`, when a part is configured
    // wrongly or cannot start; what was started is stopped again.
    bool Start(Host& host, const SiteConfig& site, std::function<void(const std::string&)> log,
               std::string& error);
    // Stops every part (the HTTP listener before anything it serves goes).
    void Stop();
    // Around a reload of the site file: systemd hears RELOADING=1 at the
    // beginning, READY=1 at the end.
    void BeginReload();
    void EndReload();
    // The parts hear of the site the host took; returns the service sections
    // that changed, which only a restart applies ("http", "mqtt").
    std::vector<std::string> SiteReloaded(const SiteConfig& site);

    SiteView& View() { return *view_; }
    // A part by its name in Factories(); null when the site does not run it.
    Component* Part(const std::string& name);
    HttpServer* Http() { return context_ ? context_->http : nullptr; }

  private:
    std::shared_ptr<SiteView> view_;
    std::unique_ptr<ConsumerThread> view_thread_;
    std::unique_ptr<Context> context_;
    std::vector<std::pair<std::string, std::unique_ptr<Component>>> parts_;
    Json::Value http_, mqtt_;  // the sections the parts were built from
};

}  // namespace smd::service

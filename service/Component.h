// What every part of the service is to the daemon: built from the site file
// by its factory, started once everything is built, stopped in reverse order.
// A new part is one factory added to the list in Components.cpp.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "runtime/site/Host.h"
#include "runtime/site/SiteConfig.h"

namespace smd {
class MqttPublisher;
}

namespace smd::service {

class HttpServer;
class SiteView;

struct Context {
    Host& host;
    const SiteConfig& site;
    std::function<void(const std::string&)> log;
    // The site's values as the stream told them; set before any factory runs.
    SiteView* view = nullptr;
    // Null when the site file has no "http" section; parts that serve
    // something over HTTP register their routes on it in their factory.
    HttpServer* http = nullptr;
    // The MQTT publisher while it runs (set by its part at start); /metrics
    // reads its outbox.
    std::atomic<const MqttPublisher*> mqtt{nullptr};
};

class Component {
  public:
    virtual ~Component() = default;
    // After every part is built. False, with `error`, stops the daemon.
    virtual bool Start(std::string& /*error*/) { return true; }
    virtual void Stop() {}
    // The host took a reloaded site file: its devices may have changed. The
    // part's own section is not read again (a restart applies it).
    virtual void SiteReloaded(const SiteConfig& /*site*/) {}
};

// Returns null, with `error` empty, when the site file does not ask for the
// part; null with `error` set when it asks for it wrongly.
using Factory = std::function<std::unique_ptr<Component>(Context&, std::string& error)>;

struct FactoryEntry {
    const char* name;
    Factory make;
};

}  // namespace smd::service

#include "service/Service.h"

#include "service/systemd/Notifier.h"
#include "service/view/SiteView.h"

namespace smd::service {

Service::Service() : view_(std::make_shared<SiteView>()) {}

Service::~Service() {
    Stop();
}

bool Service::Start(Host& host, const SiteConfig& site, std::function<void(const std::string&)> log,
                    std::string& error) {
    if (!log) log = [](const std::string&) {};
    view_thread_ = std::make_unique<ConsumerThread>(host.Events(), view_);
    context_ = std::unique_ptr<Context>(new Context{host, site, log, view_.get(), nullptr});
    http_ = site.http;
    mqtt_ = site.mqtt;
    for (const FactoryEntry& f : Factories()) {
        std::string why;
        auto part = f.make(*context_, why);
        if (!why.empty()) {
            error = why;
            Stop();
            return false;
        }
        if (part) parts_.emplace_back(f.name, std::move(part));
    }
    for (auto& [name, part] : parts_) {
        std::string why;
        if (!part->Start(why)) {
            error = why.empty() ? name + " cannot start" : why;
            Stop();
            return false;
        }
    }
    return true;
}

Component* Service::Part(const std::string& name) {
    for (auto& [n, part] : parts_) {
        if (n == name) return part.get();
    }
    return nullptr;
}

void Service::BeginReload() {
    if (auto* n = dynamic_cast<Notifier*>(Part("systemd"))) n->Reloading();
}

std::vector<std::string> Service::SiteReloaded(const SiteConfig& site) {
    std::vector<std::string> changed;
    if (site.http != http_) changed.push_back("http");
    if (site.mqtt != mqtt_) changed.push_back("mqtt");
    for (auto& [name, part] : parts_) part->SiteReloaded(site);
    return changed;
}

void Service::EndReload() {
    if (auto* n = dynamic_cast<Notifier*>(Part("systemd"))) n->Reloaded();
}

void Service::Stop() {
    for (auto it = parts_.rbegin(); it != parts_.rend(); ++it) it->second->Stop();
    parts_.clear();
    if (view_thread_) view_thread_->Stop();
    view_thread_.reset();
}

}  // namespace smd::service

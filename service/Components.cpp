// The service's parts. Adding one is one line in Factories() and a folder of
// its own; nothing else changes.
#include <filesystem>

#include "service/Service.h"
#include "service/http/Api.h"
#include "service/http/HttpServer.h"
#include "service/journal/AlarmJournal.h"
#include "service/metrics/Metrics.h"
#include "service/mqtt/MqttPublisher.h"
#include "service/systemd/Notifier.h"
#include "service/web/WebFiles.h"

namespace smd::service {

namespace {

class HttpPart : public Component {
  public:
    HttpPart(HttpOptions o, std::function<void(const std::string&)> log)
        : server(std::move(o)), log_(std::move(log)) {}
    bool Start(std::string& error) override {
        if (!server.Start(error)) return false;
        const auto& o = server.Options();
        const bool v6 = o.host.find(':') != std::string::npos;
        log_(std::string("HTTP API on ") + (server.Tls() ? "https://" : "http://") +
             (v6 ? "[" + o.host + "]" : o.host) + ":" + std::to_string(server.Port()) +
             (o.token.empty() ? "" : ", bearer token required"));
        return true;
    }
    void Stop() override { server.Stop(); }
    HttpServer server;

  private:
    std::function<void(const std::string&)> log_;
};

std::unique_ptr<Component> make_http(Context& ctx, std::string& error) {
    if (ctx.site.http.isNull()) return nullptr;
    const std::string base = ctx.site.path.empty()
                                 ? std::string()
                                 : std::filesystem::path(ctx.site.path).parent_path().string();
    HttpOptions o;
    if (!ParseHttpOptions(ctx.site.http, base, o, error)) return nullptr;
    auto part = std::make_unique<HttpPart>(std::move(o), ctx.log);
    ctx.http = &part->server;
    return part;
}

std::unique_ptr<Component> make_api(Context& ctx, std::string&) {
    if (!ctx.http) return nullptr;
    return std::make_unique<Api>(ctx);
}

std::unique_ptr<Component> make_metrics(Context& ctx, std::string&) {
    if (!ctx.http) return nullptr;
    return std::make_unique<Metrics>(ctx);
}

// Checked when built, connected when started: a wrong section stops the
// daemon at once, an absent broker does not (the outbox keeps the events).
class MqttPart : public Component {
  public:
    MqttPart(Context& ctx, mqtt::MqttConfig cfg) : ctx_(ctx), cfg_(std::move(cfg)) {}
    bool Start(std::string& error) override {
        publisher_ = MqttPublisher::Start(cfg_, ctx_.host.Events(), ctx_.log, error);
        ctx_.mqtt = publisher_.get();
        return publisher_ != nullptr;
    }
    void Stop() override {
        if (publisher_) publisher_->Stop();
    }

  private:
    Context& ctx_;
    mqtt::MqttConfig cfg_;
    std::unique_ptr<MqttPublisher> publisher_;
};

std::unique_ptr<Component> make_mqtt(Context& ctx, std::string& error) {
    if (ctx.site.mqtt.isNull()) return nullptr;
    const std::string base = ctx.site.path.empty()
                                 ? std::string()
                                 : std::filesystem::path(ctx.site.path).parent_path().string();
    mqtt::MqttConfig cfg;
    if (!mqtt::ParseMqttConfig(ctx.site.mqtt, base, cfg, error)) return nullptr;
    cfg.outbox_db = ctx.site.history_db;
    return std::make_unique<MqttPart>(ctx, std::move(cfg));
}

}  // namespace

const std::vector<FactoryEntry>& Factories() {
    static const std::vector<FactoryEntry> kParts = {
        {"http", make_http},
        {"api", make_api},
        {"metrics", make_metrics},
        {"mqtt", make_mqtt},
        {"web", web::MakeWeb},
        {"journal", MakeAlarmJournal},
        // Last: READY is told once everything above runs.
        {"systemd", MakeNotifier},
    };
    return kParts;
}

}  // namespace smd::service

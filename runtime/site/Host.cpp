#include "runtime/site/Host.h"

#include <iostream>
#include <mutex>

#include "runtime/text/LogText.h"

namespace smd {

Host::Host(HostOptions options) : options_(std::move(options)) {}

Host::~Host() {
    Stop();
    SetLines(std::make_shared<LineList>());  // devices go before the controller and the libraries
    if (controller_) {
        controller_->DrainWork();
        controller_->SetLogSink(nullptr);
        controller_->SetSnapshotListener(nullptr);
        controller_->SetAlarmListener(nullptr);
        controller_->SetRuleListener(nullptr);
    }
    controller_.reset();
    if (store_) store_->SetErrorSink(nullptr);
    store_.reset();
}

std::shared_ptr<const Host::LineList> Host::Lines() const {
    std::lock_guard<std::mutex> lock(lines_mutex_);
    return lines_;
}

void Host::SetLines(std::shared_ptr<const LineList> lines) {
    std::lock_guard<std::mutex> lock(lines_mutex_);
    lines_.swap(lines);
    // The list that was is released outside the lock.
}

void Host::Log(const std::string& text) const {
    // Lines come from every line thread and the worker; keep them whole.
    std::lock_guard<std::mutex> lock(log_mutex_);
    if (options_.log) {
        options_.log(text);
    } else {
        std::string_view rest;
        if (log_priority(text, &rest) < kLogDebug) std::cerr << "ravo3host: " << rest << std::endl;
    }
}

bool Host::Start(const std::string& config_path, std::string& error) {
    SiteConfig config;
    if (!LoadSiteConfig(config_path, config, error)) return false;
    return Start(std::move(config), error);
}

bool Host::OpenStore(const SiteConfig& config, std::string& error) {
    controller_->SetHistoryStore(std::make_shared<MemoryHistoryStore>(
        config.history_retention > 0 ? config.history_retention : 100000));
    if (config.history_db.empty()) {
        Log("no \"history_db\" configured: history and alarms are kept in memory only");
        return true;
    }
    SqliteStore::Options o;
    o.history_days = config.history_days;
    o.summary_days = config.history_summary_days;
    o.history_retention = config.history_retention;
    o.event_retention = config.event_retention;
    o.fault = options_.store_fault;
    std::string why;
    bool in_use = false;
    store_ = SqliteStore::Open(config.history_db, o, &why, &in_use);
    if (in_use) {
        // A second host on the same file would interleave both histories.
        error = why;
        return false;
    }
    if (!store_) {
        store_error_ = why;
        Log(why + "; running without stored history (kept in memory only)");
        return true;
    }
    store_->SetErrorSink([this](const std::string& line) { Log(line); });
    std::weak_ptr<SMDController> weak_controller = controller_;
    store_->SetStandingSource([weak_controller] {
        auto c = weak_controller.lock();
        return c ? c->ActiveAlarms() : std::vector<ActiveAlarm>();
    });
    controller_->SetHistoryStore(store_);
    controller_->SetAlarmStore(store_);  // restores the standing alarms
    // Snapshots are written on the worker thread, off the line threads.
    std::weak_ptr<SqliteStore> weak_store = store_;
    controller_->SetSnapshotListener([weak_store, weak_controller](const Snapshot& s) {
        auto c = weak_controller.lock();
        if (!c) return;
        c->SubmitWork([weak_store, s] {
            if (auto st = weak_store.lock()) st->SaveSnapshot(s);
        });
    });
    const std::string restored =
        std::to_string(controller_->ActiveAlarms().size()) + " standing alarms restored";
    if (store_->ReadOnly()) {
        Log("history database " + config.history_db + " is read-only (" + store_->ReadOnlyCause() +
            "): replaying what it holds, " + restored +
            "; new history and alarm events stay in memory");
    } else {
        Log("history database " + config.history_db + " open, " + restored);
    }
    return true;
}

std::string Host::DriverFor(const DeviceConfig& cfg) const {
    if (!options_.driver_override.empty()) return options_.driver_override;
    return cfg.driver.empty() ? options_.default_driver : cfg.driver;
}

LineSupervisor::Site Host::LineSite() {
    return LineSupervisor::Site{*controller_, events_, points_, comm_lost_ms_,
                                [this](const std::string& s) { Log(s); }};
}

std::shared_ptr<LineSupervisor> Host::LoadLine(const DeviceConfig& device, const SiteConfig& config,
                                               bool announce) {
    DeviceConfig cfg = device;
    cfg.driver = DriverFor(cfg);
    auto line = std::make_shared<LineSupervisor>(LineSite(), cfg);
    if (!cfg.enabled) {
        Log("device \"" + cfg.name + "\": disabled in the configuration");
        return line;
    }
    std::string why;
    line->device = loader_.Load(cfg, controller_, why);
    if (!line->device) {
        line->error = why;
        Log(why);
        return line;
    }
    const auto stored = Replay(*line);
    line->Attach(config.comm_lost_s);
    events_.Declare(cfg.name, line->Status());
    // Subscribers already running hear of the device from its first event.
    if (announce) line->Publish();
    if (line->replayed > 0) PublishReplayed(*line, stored);
    Log("device \"" + cfg.name + "\": loaded from " + cfg.driver + ", " +
        std::to_string(line->replayed) + " stored unit records replayed");
    return line;
}

bool Host::Start(SiteConfig config, std::string& error) {
    std::lock_guard<std::mutex> control(control_mutex_);
    if (running_ || controller_) {
        error = "the host is already started";
        return false;
    }
    controller_ = std::make_shared<SMDController>();
    if (options_.manual_lines) controller_->SetSynchronousWork(true);
    comm_lost_ms_ = static_cast<std::int64_t>(config.comm_lost_s) * 1000;
    // The driver's own lines are diagnostics (frames it refused, its
    // protocol errors): debug, unless the line says otherwise.
    controller_->SetLogSink([this](const LogRecord& rec) {
        Log(rec.text.compare(0, 1, "<") == 0 ? rec.text : with_priority(kLogDebug, rec.text));
    });
    controller_->SetProvenanceSource([this](std::uint32_t data_id, const std::string& type) {
        return ProvenanceOf(data_id, type);
    });
    controller_->SetRuleListener([this](std::uint32_t data_id, const std::string& device_type,
                                        const std::vector<rule_value>& rules) {
        std::vector<ActiveAlarm> points;
        points.reserve(rules.size());
        for (const rule_value& r : rules) points.push_back(alarm_point(data_id, device_type, r));
        points_.Set(std::move(points), data_id, device_type);
    });
    controller_->SetAlarmListener([this](const AlarmEvent& a) {
        HostEvent e;
        e.kind = a.kind == AlarmEvent::Kind::Raised ? HostEvent::Kind::AlarmRaised
                                                    : HostEvent::Kind::AlarmCleared;
        e.time = a.time;
        e.alarm = a.alarm;
        e.provenance = a.provenance;
        e.device = DeviceOf(a.alarm.data_id);
        events_.Publish(std::move(e));
    });
    if (!OpenStore(config, error)) return false;
    // Faults in the driver's keys: the driver may still take the device.
    for (const std::string& w : config.warnings) Log("warning: " + w);

    auto lines = std::make_shared<LineList>();
    std::size_t loaded = 0;
    for (const DeviceConfig& cfg : config.devices) {
        lines->push_back(LoadLine(cfg, config, false));
        if (lines->back()->device) ++loaded;
    }
    SetLines(lines);
    events_.RestoreAlarms(controller_->ActiveAlarms(),
                          [this](const ActiveAlarm& a) { return DeviceOf(a.data_id); });
    if (loaded == 0) {
        error = "no device could be loaded";
        return false;
    }
    std::vector<LineSupervisor*> all;
    for (const auto& line : *lines) all.push_back(line.get());
    if (options_.start_lines && !BuildLines(all, config, error)) return false;
    if (options_.start_lines) {
        for (auto& line : *lines) line->StartClock();  // comm_lost_s for the first cycle
        if (!options_.manual_lines) {
            for (auto& loop : loops_) loop->Start();
        }
    }
    for (DeviceConfig& d : config.devices) d.driver = DriverFor(d);
    config_ = std::move(config);
    running_ = true;
    return true;
}

void Host::Stop() {
    std::lock_guard<std::mutex> control(control_mutex_);
    for (auto& loop : loops_) loop->Stop();
    const auto lines = Lines();
    if (running_) {
        for (auto& line : *lines) {
            if (line->Loop()) line->SetState(LineState::Stopped, std::string());
        }
    }
    if (controller_) controller_->DrainWork();
    if (store_) store_->Flush();
    running_ = false;
}

}  // namespace smd

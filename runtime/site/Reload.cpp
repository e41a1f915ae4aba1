// A running host takes a changed site, device by device: unchanged devices
// run on, changed ones are loaded anew, removed ones stop, and the standing
// alarms of units no device serves any more are cleared.
#include <algorithm>
#include <map>
#include <set>

#include "runtime/site/Host.h"

namespace smd {

namespace {

using Lines = std::vector<std::shared_ptr<LineSupervisor>>;
using Threads = std::vector<std::shared_ptr<DriverLoop>>;
using Unit = std::pair<std::uint32_t, std::string>;

// Whether a running device goes on as it is: every key that reaches the
// driver or the line is the same ("scenario" only matters to a simulation).
bool same_device(const DeviceConfig& a, const DeviceConfig& b) {
    return a.name == b.name && a.port == b.port && a.driver == b.driver && a.data_id == b.data_id &&
           a.enabled == b.enabled && a.capture == b.capture &&
           a.network_allowance_ms == b.network_allowance_ms && a.settings == b.settings;
}

// The site's keys that every line thread runs with.
bool same_line_settings(const SiteConfig& a, const SiteConfig& b) {
    return a.poll_period_ms == b.poll_period_ms && a.reopen_initial_ms == b.reopen_initial_ms &&
           a.reopen_max_ms == b.reopen_max_ms && a.lock_dir == b.lock_dir &&
           a.comm_lost_s == b.comm_lost_s;
}

// The database stays open for the life of the process: its keys stay as they
// run, and those that differ are named.
void keep_store_keys(const SiteConfig& running, SiteConfig& next,
                     std::vector<std::string>& not_applied) {
    auto keep = [&](auto& key, const auto& now, const char* name) {
        if (key != now) not_applied.push_back(name);
        key = now;
    };
    keep(next.history_db, running.history_db, "history_db");
    keep(next.history_days, running.history_days, "history_days");
    keep(next.history_summary_days, running.history_summary_days, "history_summary_days");
    keep(next.history_retention, running.history_retention, "history_retention");
    keep(next.event_retention, running.event_retention, "event_retention");
}

// The new list of lines: those that go on as they are, and empty places for
// the devices to load.
struct Plan {
    std::shared_ptr<Lines> next = std::make_shared<Lines>();
    std::set<const LineSupervisor*> kept;
    std::vector<std::size_t> to_load;
};

Plan plan(const Lines& old, const SiteConfig& config) {
    std::map<std::string, std::shared_ptr<LineSupervisor>> old_by_name;
    for (const auto& l : old) old_by_name[l->config.name] = l;
    Plan p;
    for (const DeviceConfig& cfg : config.devices) {
        auto it = old_by_name.find(cfg.name);
        if (it != old_by_name.end() && same_device(it->second->config, cfg) &&
            (it->second->device || !cfg.enabled)) {
            p.next->push_back(it->second);
            p.kept.insert(it->second.get());
            continue;
        }
        p.to_load.push_back(p.next->size());
        p.next->push_back(nullptr);
    }
    return p;
}

// A line thread goes on when all its devices do and the new site gives its
// line exactly those devices, in the same order.
void split_threads(const Threads& threads, const Lines& old, const Plan& p,
                   const SiteConfig& config, bool settings_same, Threads& stay, Threads& stop) {
    std::map<std::string, std::vector<const LineSupervisor*>> new_members;
    for (std::size_t i = 0; i < config.devices.size(); ++i) {
        if (config.devices[i].enabled) {
            new_members[LineKey(config.devices[i].port)].push_back((*p.next)[i].get());
        }
    }
    for (const auto& thread : threads) {
        std::vector<const LineSupervisor*> members;
        for (const auto& l : old) {
            if (l->Loop() == thread) members.push_back(l.get());
        }
        bool goes_on = settings_same && !members.empty();
        for (const LineSupervisor* m : members) goes_on = goes_on && p.kept.count(m) > 0;
        if (goes_on) goes_on = new_members[LineKey(members.front()->config.port)] == members;
        (goes_on ? stay : stop).push_back(thread);
    }
}

bool runs_on(const Threads& threads, const LineSupervisor& l) {
    return std::find(threads.begin(), threads.end(), l.Loop()) != threads.end();
}

// The units of devices that went (not kept) that no device serves now.
std::set<Unit> units_gone(const Lines& old, const Plan& p) {
    std::set<Unit> served;
    for (const auto& l : *p.next) {
        if (l->device) served.insert(l->owned.begin(), l->owned.end());
    }
    std::set<Unit> gone;
    for (const auto& l : old) {
        if (!l->device || p.kept.count(l.get())) continue;
        for (const auto& unit : l->owned) {
            if (!served.count(unit)) gone.insert(unit);
        }
    }
    return gone;
}

}  // namespace

bool Host::Reload(SiteConfig config, ReloadReport& report, std::string& error) {
    std::lock_guard<std::mutex> control(control_mutex_);
    if (!running_ || !options_.start_lines || options_.manual_lines) {
        error = "the host is not running its lines";
        return false;
    }
    report = ReloadReport();
    keep_store_keys(config_, config, report.not_applied);
    for (DeviceConfig& d : config.devices) d.driver = DriverFor(d);
    for (const std::string& w : config.warnings) Log("warning: " + w);

    const auto old = Lines();
    Plan p = plan(*old, config);
    Threads stay, stop;
    split_threads(loops_, *old, p, config, same_line_settings(config_, config), stay, stop);
    for (const auto& thread : stop) thread->Stop();
    // Nothing queued may still refer to a line that goes.
    controller_->DrainWork();

    for (std::size_t i : p.to_load) {
        const DeviceConfig& cfg = config.devices[i];
        (*p.next)[i] = LoadLine(cfg, config, true);
        const LineSupervisor& l = *(*p.next)[i];
        if (!l.error.empty()) report.not_loaded.push_back(l.error);
        if (!l.device) continue;
        const auto was = std::find_if(old->begin(), old->end(),
                                      [&](const auto& o) { return o->config.name == cfg.name; });
        (was != old->end() && (*was)->config.enabled ? report.restarted : report.added)
            .push_back(cfg.name);
    }
    std::set<std::string> running_now;
    for (const auto& l : *p.next) {
        if (!l->device) continue;
        running_now.insert(l->config.name);
        if (p.kept.count(l.get())) {
            (runs_on(stay, *l) ? report.kept : report.reopened).push_back(l->config.name);
        }
    }
    for (const auto& l : *old) {
        if (l->config.enabled && !running_now.count(l->config.name)) {
            report.removed.push_back(l->config.name);
        }
    }
    report.alarms_cleared = ClearAlarms(units_gone(*old, p));

    SetLines(p.next);
    for (const auto& l : *old) {
        if (l->device && !running_now.count(l->config.name)) events_.Remove(l->config.name);
    }
    comm_lost_ms_ = static_cast<std::int64_t>(config.comm_lost_s) * 1000;
    if (config.comm_lost_s != config_.comm_lost_s) {
        for (const auto& l : *p.next) {
            if (p.kept.count(l.get()) && l->device) l->SetStaleAfter(config.comm_lost_s);
        }
    }

    // Lines without a thread now: the new devices', and the kept devices'
    // whose thread was stopped.
    loops_ = stay;
    std::vector<LineSupervisor*> to_build;
    for (const auto& l : *p.next) {
        if (l->device && !runs_on(stay, *l)) to_build.push_back(l.get());
    }
    const std::size_t first_new = loops_.size();
    const bool built = BuildLines(to_build, config, error);
    for (std::size_t i : p.to_load) (*p.next)[i]->StartClock();
    for (std::size_t i = first_new; i < loops_.size(); ++i) loops_[i]->Start();
    config_ = std::move(config);
    return built;
}

// Alarms of units that no device serves any more would stand for ever: they
// are cleared, in order with the alarm work, named after the device that had
// them.
std::size_t Host::ClearAlarms(const std::set<std::pair<std::uint32_t, std::string>>& units) {
    std::map<std::pair<std::uint32_t, std::string>, std::vector<rule_value>> clears;
    std::size_t n = 0;
    for (const ActiveAlarm& a : controller_->ActiveAlarms()) {
        const auto unit = std::make_pair(a.data_id, a.device_type);
        if (!units.count(unit)) continue;
        rule_value r;
        r.active = 0;
        r.key = a.key;
        r.code = a.code;
        r.name = a.name;
        r.detail = a.detail;
        r.level = a.level;
        r.state = a.state;
        clears[unit].push_back(std::move(r));
        ++n;
    }
    for (auto& [unit, rules] : clears) {
        // No cycle of the unit's: a provenance without answers.
        controller_->SubmitWork(
            [this, unit = unit, rules = rules] {
                controller_->EvaluateRules(unit.first, unit.second, rules);
            },
            std::make_shared<Provenance>());
    }
    controller_->DrainWork();
    points_.Erase(units);
    return n;
}

}  // namespace smd

#include "runtime/site/Host.h"

#include <algorithm>
#include <climits>
#include <fstream>
#include <iostream>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>

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

namespace {

// The communication-lost point of a bus device (documented in host-contract.md).
constexpr const char* kCommLostKey = "comm_lost";
constexpr const char* kCommLostCode = "70320";
constexpr int kCommLostLevel = 1;
constexpr const char* kCommLostName = "通信中断";
constexpr const char* kCommLostDetail = "与监控单元的通信";

NamedValue query(const SMDVDevice& unit, std::uint32_t data_id, const std::string& name) {
    NamedValue v;
    v.name = name;
    try {
        v.value = unit.Get_Value(data_id, name);
        v.ok = true;
    } catch (const std::out_of_range& e) {
        v.reply = e.what();
    }
    return v;
}

}  // namespace

std::shared_ptr<const Host::LineList> Host::Lines() const {
    std::lock_guard<std::mutex> lock(lines_mutex_);
    return lines_;
}

void Host::SetLines(std::shared_ptr<const LineList> lines) {
    std::lock_guard<std::mutex> lock(lines_mutex_);
    lines_.swap(lines);
    // The list that was is released outside the lock.
}

LineStatus Host::LineOf(const std::string& device) const {
    const auto lines = Lines();
    std::lock_guard<std::mutex> lock(status_mutex_);
    for (const auto& line : *lines) {
        if (line->config.name == device) return line->status;
    }
    return LineStatus();
}

std::string Host::DeviceOf(std::uint32_t data_id, const std::string& device_type) const {
    const auto lines = Lines();
    for (const auto& line : *lines) {
        if (line->config.data_id == data_id) return line->config.name;
        for (const auto& u : line->units) {
            if (u.second == data_id && (u.first != UnitKind::RC || device_type == line->rc_type)) {
                return line->config.name;
            }
        }
    }
    return std::string();
}

std::shared_ptr<const Provenance> Host::ProvenanceOf(std::uint32_t data_id,
                                                     const std::string& device_type) {
    const auto lines = Lines();
    for (const auto& line : *lines) {
        if (!line->device) continue;
        // The block whose answers a unit decodes: AC 0x40, rectifier 0x41,
        // DC 0x42; the bus device's own points come from the model answer.
        int cid1 = -1;
        int only_cid2 = -1;
        for (const auto& [kind, id] : line->units) {
            if (id != data_id) continue;
            if (kind == UnitKind::RC && device_type != line->rc_type) continue;
            cid1 = kind == UnitKind::AC ? 0x40 : kind == UnitKind::DC ? 0x42 : 0x41;
        }
        if (cid1 < 0 && data_id == line->config.data_id &&
            device_type == line->device->DeviceType()) {
            cid1 = 0x40;
            only_cid2 = 0x51;
        }
        if (cid1 < 0) continue;
        auto p = std::make_shared<Provenance>();
        std::lock_guard<std::mutex> lock(status_mutex_);
        p->cycle = line->cycles + 1;
        for (const auto& [command, answer] : line->answers) {
            if (static_cast<int>(command >> 8) != cid1) continue;
            if (only_cid2 >= 0 ? static_cast<int>(command & 0xFF) != only_cid2
                               : (command & 0xFF) == 0x51) {
                continue;
            }
            p->answers.push_back(*answer);
        }
        return p;
    }
    return nullptr;
}

std::vector<UnitValues> Host::CollectUnits(Line& line, bool replayed) {
    std::vector<UnitValues> out;
    SMDSPDevice& dev = *line.device;
    for (const auto& [kind, data_id] : line.units) {
        UnitValues u;
        u.kind = kind;
        u.data_id = data_id;
        u.replayed = replayed;
        if (kind == UnitKind::RC) {
            const auto all = dev.GetAllChildVDevices();
            if (all.empty() || !all.back()) continue;
            u.device_type = all.back()->DeviceType();
            // The rectifier serves no value by name: its values are its record.
            auto snap = controller_->LatestSnapshot(data_id, u.device_type);
            if (snap) {
                record_values(UnitKind::RC, snap->bytes, u.values);
                if (replayed) u.stored = snap->time;
            } else if (replayed) {
                if (auto rec = controller_->GetHistoryStore()->Latest(data_id, u.device_type)) {
                    record_values(UnitKind::RC, rec->bytes, u.values);
                    u.stored = rec->time;
                }
            }
            if (u.values.empty()) u.values.push_back(query(*all.back(), data_id, "group_value"));
            out.push_back(std::move(u));
            continue;
        }
        std::shared_ptr<SMDVDevice> unit = dev.GetChildVDevice(data_id);
        if (!unit) continue;
        u.device_type = unit->DeviceType();
        if (replayed) {
            if (auto rec = controller_->GetHistoryStore()->Latest(data_id, u.device_type)) {
                u.stored = rec->time;
            }
        }
        if (kind == UnitKind::DC) {
            for (const char* n : {"v", "i"}) u.values.push_back(query(*unit, data_id, n));
        } else {
            for (const char* n : {"ia", "ib", "ic", "ia_alert", "ib_alert", "ic_alert"}) {
                u.values.push_back(query(*unit, data_id, n));
            }
            // Channels until the unit says there is no such channel (or, not
            // ready or stale, gives no channel at all: "ia" carries its reply).
            for (int c = 0; c < 256; ++c) {
                const std::string prefix = "channel_" + std::to_string(c) + "_";
                NamedValue a = query(*unit, data_id, prefix + "a");
                if (!a.ok) break;
                u.values.push_back(std::move(a));
                for (const char* l : {"b", "c", "f"}) {
                    u.values.push_back(query(*unit, data_id, prefix + l));
                }
            }
        }
        out.push_back(std::move(u));
    }
    return out;
}

void Host::SetLine(Line& line, LineState state, const std::string& detail,
                   boost::posix_time::ptime since) {
    HostEvent e;
    {
        std::lock_guard<std::mutex> lock(status_mutex_);
        if (line.status.state == state && line.status.detail == detail) return;
        if (line.status.state != state) {
            line.status.since = since.is_special() ? local_time() : since;
        }
        line.status.state = state;
        line.status.detail = detail;
        e.line = line.status;
    }
    e.kind = HostEvent::Kind::Line;
    e.device = line.config.name;
    e.time = local_time();
    events_.Publish(std::move(e));
}

void Host::PublishLine(Line& line) {
    HostEvent e;
    {
        std::lock_guard<std::mutex> lock(status_mutex_);
        e.line = line.status;
    }
    e.kind = HostEvent::Kind::Line;
    e.device = line.config.name;
    e.time = local_time();
    events_.Publish(std::move(e));
}

void Host::OnPortEvent(Line& line, PortEvent ev) {
    const std::string why = line.port ? line.port->LastError() : std::string();
    // A device server's line names why it is not open.
    auto cause = [&](LineState otherwise) {
        switch (line.port ? line.port->Fault() : LineFault::None) {
            case LineFault::Busy:
                return LineState::PortBusy;
            case LineFault::Unreachable:
                return LineState::HostUnreachable;
            case LineFault::Refused:
                return LineState::ConnectionRefused;
            case LineFault::Lost:
                return LineState::ConnectionLost;
            default:
                return otherwise;
        }
    };
    switch (ev) {
        case PortEvent::Opened: {
            LineState now;
            {
                std::lock_guard<std::mutex> lock(status_mutex_);
                now = line.status.state;
            }
            // The port is there again; whether the unit answers is still to be seen.
            if (now == LineState::PortMissing || now == LineState::PortBusy ||
                now == LineState::HostUnreachable || now == LineState::ConnectionRefused ||
                now == LineState::ConnectionLost) {
                SetLine(line, LineState::Starting, line.config.port + " open, no cycle yet");
            }
            break;
        }
        case PortEvent::OpenFailed:
            SetLine(line, cause(LineState::PortMissing), why);
            break;
        case PortEvent::Lost:
            SetLine(line, cause(LineState::PortMissing), why);
            break;
        case PortEvent::Silent: {
            // Not answering since the first command that went unanswered.
            boost::posix_time::ptime since;
            if (auto* p = dynamic_cast<PMBusProtocol*>(line.device.get())) {
                std::lock_guard<std::recursive_mutex> lock(line.device->DeviceMutex());
                const std::int64_t sent = p->UnansweredSinceMillis();
                if (sent > 0) {
                    since = local_time() - boost::posix_time::milliseconds(
                                               std::max<std::int64_t>(0, steady_millis() - sent));
                }
            }
            SetLine(line, LineState::NotAnswering,
                    "no answer from the monitoring unit on " + line.config.port, since);
            break;
        }
        case PortEvent::Answers:
            break;  // answering once a cycle completes
    }
}

void Host::SubmitCommLost(Line& line, bool active) {
    rule_value r;
    r.active = active ? 1 : 0;
    r.key = kCommLostKey;
    r.code = kCommLostCode;
    r.level = kCommLostLevel;
    r.name = kCommLostName;
    {
        std::lock_guard<std::mutex> lock(status_mutex_);
        r.detail = line.comm_lost_detail.empty() ? kCommLostDetail : line.comm_lost_detail;
        if (!active) line.comm_lost_detail.clear();
    }
    const std::uint32_t id = line.config.data_id;
    const std::string type = line.device->DeviceType();
    Line* raw = &line;
    // A raise comes from silence: the last cycle that completed, no answer;
    // a clear from the answer that completed the cycle.
    auto p = std::make_shared<Provenance>();
    {
        std::lock_guard<std::mutex> lock(status_mutex_);
        p->cycle = line.cycles;
        if (!active && line.last_answer) p->answers.push_back(*line.last_answer);
    }
    // On the worker, in order with the cycles' alarm work and cycle events.
    controller_->SubmitWork(
        [this, raw, id, type, r] {
            controller_->EvaluateRules(id, type, {r});
            PublishLine(*raw);
        },
        std::move(p));
}

void Host::OnTick(Line& line) {
    const std::int64_t now = steady_millis();
    {
        std::lock_guard<std::mutex> lock(status_mutex_);
        if (line.status.comm_lost || now - line.progress_ms < comm_lost_ms_) return;
        line.status.comm_lost = true;
    }
    Log("device \"" + line.config.name + "\": no poll cycle completed for " +
        std::to_string(comm_lost_ms_ / 1000) + " s; communication lost");
    SubmitCommLost(line, true);
}

// On the line thread, under the device's lock. The event goes out from the
// worker, after the threshold work this cycle handed over, so that it comes
// after the cycle's alarm events.
void Host::OnCycle(Line& line) {
    HostEvent e;
    e.kind = HostEvent::Kind::Cycle;
    e.device = line.config.name;
    e.time = local_time();
    if (auto* p = dynamic_cast<PMBusProtocol*>(line.device.get())) {
        e.frames = p->Stats();
        const std::int64_t start = p->CycleStartMillis();
        const std::int64_t prev = p->PreviousCycleStartMillis();
        e.cycle.poll_seconds = static_cast<double>(steady_millis() - start) / 1000.0;
        e.cycle.period_seconds = prev > 0 ? static_cast<double>(start - prev) / 1000.0 : 0.0;
    }
    e.units = CollectUnits(line, false);
    bool clear = false;
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(status_mutex_);
        e.cycle.number = ++line.cycles;
        line.progress_ms = steady_millis();
        changed = line.status.state != LineState::Answering;
        if (changed) line.status.since = e.time;
        line.status.state = LineState::Answering;
        line.status.detail.clear();
        line.status.last_cycle = e.time;
        clear = line.status.comm_lost;
        line.status.comm_lost = false;
        e.line = line.status;
    }
    // The line's news goes out before the cycle, from the same worker.
    if (clear) {
        SubmitCommLost(line, false);
    } else if (changed) {
        Line* raw = &line;
        controller_->SubmitWork([this, raw] { PublishLine(*raw); });
    }
    controller_->SubmitWork([this, e = std::move(e)]() mutable {
        // The cycle's rules were evaluated just before, on this same worker.
        {
            std::lock_guard<std::mutex> lock(points_mutex_);
            for (UnitValues& u : e.units) {
                auto it = points_.find({u.data_id, u.device_type});
                if (it != points_.end()) u.points = it->second;
            }
        }
        events_.Publish(std::move(e));
    });
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

bool Host::ReplayUnit(Line& line, SMDVDevice& unit) {
    auto store = controller_->GetHistoryStore();
    if (!store) return false;
    auto record = store->Latest(unit.DataId(), unit.DeviceType());
    if (!record) return false;
    if (record->bytes.size() > static_cast<std::size_t>(INT_MAX) ||
        !unit.LoadFromCache(record->bytes.data(), static_cast<int>(record->bytes.size()))) {
        Log("device \"" + line.config.name + "\": stored record of " + unit.DeviceType() + " " +
            std::to_string(unit.DataId()) + " (" + std::to_string(record->bytes.size()) +
            " bytes) was refused");
        return false;
    }
    ++line.replayed;
    return true;
}

// The AC and DC units are found by the data ids of their entries, the
// rectifier unit as the last entry of the unit list.
void Host::Replay(Line& line) {
    SMDSPDevice& dev = *line.device;
    std::lock_guard<std::recursive_mutex> lock(dev.DeviceMutex());
    std::set<const SMDVDevice*> done;
    for (const char* key : {"acSetting", "dcSetting"}) {
        const Json::Value& entries = line.config.settings[key];
        if (!entries.isArray()) continue;
        for (const Json::Value& entry : entries) {
            const Json::Value& id =
                entry.isObject() ? entry["data_id"] : Json::Value::nullSingleton();
            if (!id.isNull() && !id.isUInt()) continue;
            const unsigned int data_id = id.isNull() ? 0 : id.asUInt();
            std::shared_ptr<SMDVDevice> unit = dev.GetChildVDevice(data_id);
            if (!unit) continue;
            line.units.emplace_back(std::string(key) == "acSetting" ? UnitKind::AC : UnitKind::DC,
                                    data_id);
            if (!done.insert(unit.get()).second) {
                line.units.pop_back();
                Log("device \"" + line.config.name + "\": data id " + std::to_string(data_id) +
                    " names more than one unit; only the first is served and replayed");
                continue;
            }
            line.owned.emplace(data_id, unit->DeviceType());
            ReplayUnit(line, *unit);
        }
    }
    const auto all = dev.GetAllChildVDevices();
    if (!all.empty() && all.back() && done.insert(all.back().get()).second) {
        line.units.emplace_back(UnitKind::RC, all.back()->DataId());
        line.rc_type = all.back()->DeviceType();
        line.owned.emplace(all.back()->DataId(), line.rc_type);
        ReplayUnit(line, *all.back());
    }
    line.owned.emplace(line.config.data_id, dev.DeviceType());
}

std::vector<DriverLoop*> Host::Loops() const {
    std::vector<DriverLoop*> out;
    for (const auto& l : loops_) out.push_back(l.get());
    return out;
}

bool Host::BuildLines(const std::vector<Line*>& lines, const SiteConfig& config,
                      std::string& error) {
    // Devices in site order; each port's line in the order its first device comes.
    std::vector<std::string> keys;
    std::map<std::string, std::vector<Line*>> by_key;
    for (Line* line : lines) {
        if (!line->device) continue;
        const std::string key = LineKey(line->config.port);
        if (!by_key.count(key)) keys.push_back(key);
        by_key[key].push_back(line);
    }
    for (const std::string& key : keys) {
        const std::vector<Line*>& group = by_key[key];
        // The line's network allowance: the largest its devices ask for.
        PortAddress addr;
        std::string why;
        const bool network = ParsePortAddress(group.front()->config.port, addr, why) &&
                             addr.kind != PortAddress::Kind::Serial;
        std::int64_t allowance = 0;
        std::string capture_file = options_.capture;
        std::vector<std::shared_ptr<SMDSPDevice>> devices;
        std::string names;
        for (Line* l : group) {
            const int a = l->config.network_allowance_ms;
            allowance = std::max<std::int64_t>(allowance, a >= 0 ? a : network ? 500 : 0);
            if (capture_file.empty()) capture_file = l->config.capture;
            devices.push_back(l->device);
            names += (names.empty() ? "device \"" : ", \"") + l->config.name + "\"";
        }
        std::shared_ptr<LinePort> port =
            options_.port_factory ? options_.port_factory(group.front()->config.port, allowance)
                                  : PortFor(group.front()->config.port, config.lock_dir, allowance);
        if (!capture_file.empty()) {
            auto& writer = captures_[capture_file];
            if (!writer) {
                std::string text;
                if (!config.path.empty()) {
                    std::ifstream in(config.path, std::ios::binary);
                    std::ostringstream ss;
                    ss << in.rdbuf();
                    text = ss.str();
                }
                writer = capture::Writer::Open(capture_file, text, why);
                if (!writer) {
                    error = why;
                    return false;
                }
                Log("capturing lines into " + capture_file);
            }
            port = std::make_shared<capture::CapturingPort>(port, writer);
        }
        DriverLoopOptions o;
        o.name = names;
        o.poll_period_ms = config.poll_period_ms;
        o.reopen_initial_ms = config.reopen_initial_ms;
        o.reopen_max_ms = config.reopen_max_ms;
        auto loop = std::make_shared<DriverLoop>(devices, port, o,
                                                 [this](const std::string& s) { Log(s); });
        std::vector<Line*> members = group;
        loop->SetDeviceEventListener(
            [this, members](std::size_t i, PortEvent ev) { OnPortEvent(*members[i], ev); });
        loop->SetTickListener([this, members] {
            for (Line* l : members) OnTick(*l);
        });
        for (Line* l : group) {
            {
                std::lock_guard<std::mutex> lock(status_mutex_);
                if (l->loop) {
                    l->opens_before += l->loop->Opens();
                    l->losses_before += l->loop->Losses();
                }
                l->port = port;
                l->loop = loop;
            }
            // The network's own delay counts into the silence an answer may keep.
            if (allowance != l->allowance_ms) {
                std::lock_guard<std::recursive_mutex> lock(l->device->DeviceMutex());
                l->device->SetTimeoutBase(l->device->AnswerTimeoutMillis() - l->allowance_ms +
                                          allowance);
                l->allowance_ms = allowance;
            }
        }
        if (group.size() > 1) {
            Log(names + " share " + group.front()->config.port + " and take turns");
        }
        loops_.push_back(std::move(loop));
    }
    return true;
}

std::string Host::DriverFor(const DeviceConfig& cfg) const {
    if (!options_.driver_override.empty()) return options_.driver_override;
    return cfg.driver.empty() ? options_.default_driver : cfg.driver;
}

std::shared_ptr<Host::Line> Host::LoadLine(const DeviceConfig& device, const SiteConfig& config,
                                           bool announce) {
    auto line = std::make_shared<Line>();
    DeviceConfig cfg = device;
    cfg.driver = DriverFor(cfg);
    line->config = cfg;
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
    Replay(*line);
    Line* raw = line.get();
    if (auto* p = dynamic_cast<PMBusProtocol*>(line->device.get())) {
        p->SetAnswerListener([this, raw](unsigned char cid1, unsigned char cid2,
                                         const std::vector<unsigned char>& bytes) {
            auto a = std::make_shared<AnswerRef>();
            a->cid1 = cid1;
            a->cid2 = cid2;
            a->time = local_time();
            a->bytes = bytes;
            std::lock_guard<std::mutex> lock(status_mutex_);
            raw->answers[static_cast<unsigned>(cid1) << 8 | cid2] = a;
            raw->last_answer = std::move(a);
        });
        p->SetCycleListener([this, raw] { OnCycle(*raw); });
    }
    line->status.since = local_time();
    line->status.stale_after_s = config.comm_lost_s;
    // A communication-lost point that stood at the last stop stands until a cycle completes.
    for (const ActiveAlarm& a : controller_->ActiveAlarms()) {
        if (a.data_id == cfg.data_id && a.device_type == line->device->DeviceType() &&
            a.key == kCommLostKey) {
            line->status.comm_lost = true;
            line->comm_lost_detail = a.detail;
        }
    }
    events_.Declare(cfg.name, line->status);
    // Subscribers already running hear of the device from its first event.
    if (announce) PublishLine(*line);
    if (line->replayed > 0) {
        // The stored values, marked as such, until the first cycle.
        HostEvent e;
        e.kind = HostEvent::Kind::Cycle;
        e.device = cfg.name;
        e.time = local_time();
        {
            std::lock_guard<std::recursive_mutex> lock(line->device->DeviceMutex());
            e.units = CollectUnits(*line, true);
        }
        e.line = line->status;
        events_.Publish(std::move(e));
    }
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
        std::lock_guard<std::mutex> lock(points_mutex_);
        points_[{data_id, device_type}] = std::move(points);
    });
    controller_->SetAlarmListener([this](const AlarmEvent& a) {
        HostEvent e;
        e.kind = a.kind == AlarmEvent::Kind::Raised ? HostEvent::Kind::AlarmRaised
                                                    : HostEvent::Kind::AlarmCleared;
        e.time = a.time;
        e.alarm = a.alarm;
        e.provenance = a.provenance;
        e.device = DeviceOf(a.alarm.data_id, a.alarm.device_type);
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
    events_.RestoreAlarms(controller_->ActiveAlarms(), [this](const ActiveAlarm& a) {
        return DeviceOf(a.data_id, a.device_type);
    });
    if (loaded == 0) {
        error = "no device could be loaded";
        return false;
    }
    std::vector<Line*> all;
    for (const auto& line : *lines) all.push_back(line.get());
    if (options_.start_lines && !BuildLines(all, config, error)) return false;
    if (options_.start_lines) {
        const std::int64_t now = steady_millis();
        for (auto& line : *lines) line->progress_ms = now;  // comm_lost_s for the first cycle
        if (!options_.manual_lines) {
            for (auto& loop : loops_) loop->Start();
        }
    }
    for (DeviceConfig& d : config.devices) d.driver = DriverFor(d);
    config_ = std::move(config);
    running_ = true;
    return true;
}

namespace {

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

}  // namespace

bool Host::Reload(SiteConfig config, ReloadReport& report, std::string& error) {
    std::lock_guard<std::mutex> control(control_mutex_);
    if (!running_ || !options_.start_lines || options_.manual_lines) {
        error = "the host is not running its lines";
        return false;
    }
    report = ReloadReport();
    // The database stays open for the life of the process.
    if (config.history_db != config_.history_db) report.not_applied.push_back("history_db");
    if (config.history_days != config_.history_days) report.not_applied.push_back("history_days");
    if (config.history_summary_days != config_.history_summary_days) {
        report.not_applied.push_back("history_summary_days");
    }
    if (config.history_retention != config_.history_retention) {
        report.not_applied.push_back("history_retention");
    }
    if (config.event_retention != config_.event_retention) {
        report.not_applied.push_back("event_retention");
    }
    config.history_db = config_.history_db;
    config.history_days = config_.history_days;
    config.history_summary_days = config_.history_summary_days;
    config.history_retention = config_.history_retention;
    config.event_retention = config_.event_retention;
    for (DeviceConfig& d : config.devices) d.driver = DriverFor(d);
    for (const std::string& w : config.warnings) Log("warning: " + w);
    const bool line_settings_same = same_line_settings(config_, config);

    const auto old = Lines();
    std::map<std::string, std::shared_ptr<Line>> old_by_name;
    for (const auto& l : *old) old_by_name[l->config.name] = l;

    // The new list: the lines that go on as they are, and places for the
    // devices to load.
    auto next = std::make_shared<LineList>();
    std::set<const Line*> kept;
    std::vector<std::size_t> to_load;
    for (const DeviceConfig& cfg : config.devices) {
        auto it = old_by_name.find(cfg.name);
        if (it != old_by_name.end() && same_device(it->second->config, cfg) &&
            (it->second->device || !cfg.enabled)) {
            next->push_back(it->second);
            kept.insert(it->second.get());
            continue;
        }
        to_load.push_back(next->size());
        next->push_back(nullptr);
    }

    // A line thread goes on when all its devices do and the new site gives
    // its line exactly those devices, in the same order.
    std::map<std::string, std::vector<const Line*>> new_members;
    for (std::size_t i = 0; i < config.devices.size(); ++i) {
        if (config.devices[i].enabled) {
            new_members[LineKey(config.devices[i].port)].push_back((*next)[i].get());
        }
    }
    std::vector<std::shared_ptr<DriverLoop>> stay, stop;
    for (const auto& loop : loops_) {
        std::vector<const Line*> members;
        for (const auto& l : *old) {
            if (l->loop == loop) members.push_back(l.get());
        }
        bool goes_on = line_settings_same && !members.empty();
        for (const Line* m : members) goes_on = goes_on && kept.count(m) > 0;
        if (goes_on) goes_on = new_members[LineKey(members.front()->config.port)] == members;
        (goes_on ? stay : stop).push_back(loop);
    }
    for (const auto& loop : stop) loop->Stop();
    // Nothing queued may still refer to a line that goes.
    controller_->DrainWork();

    std::set<std::string> was_running;
    for (const auto& l : *old) {
        if (l->device) was_running.insert(l->config.name);
    }
    for (std::size_t i : to_load) {
        const DeviceConfig& cfg = config.devices[i];
        (*next)[i] = LoadLine(cfg, config, true);
        const Line& l = *(*next)[i];
        if (!l.error.empty()) report.not_loaded.push_back(l.error);
        if (!l.device) continue;
        const auto it = old_by_name.find(cfg.name);
        (it != old_by_name.end() && it->second->config.enabled ? report.restarted : report.added)
            .push_back(cfg.name);
    }
    std::set<std::string> running_now;
    for (const auto& l : *next) {
        if (l->device) running_now.insert(l->config.name);
        if (kept.count(l.get()) && l->device) {
            const bool own_thread_goes_on =
                std::find(stay.begin(), stay.end(), l->loop) != stay.end();
            (own_thread_goes_on ? report.kept : report.reopened).push_back(l->config.name);
        }
    }
    for (const auto& l : *old) {
        if (l->config.enabled && !running_now.count(l->config.name)) {
            report.removed.push_back(l->config.name);
        }
    }

    // Alarms of units that no device serves any more would stand for ever:
    // they are cleared, named after the device that had them.
    std::set<std::pair<std::uint32_t, std::string>> served;
    for (const auto& l : *next) {
        if (l->device) served.insert(l->owned.begin(), l->owned.end());
    }
    std::set<std::pair<std::uint32_t, std::string>> gone;
    for (const auto& l : *old) {
        if (!l->device || kept.count(l.get())) continue;
        for (const auto& unit : l->owned) {
            if (!served.count(unit)) gone.insert(unit);
        }
    }
    std::map<std::pair<std::uint32_t, std::string>, std::vector<rule_value>> clears;
    for (const ActiveAlarm& a : controller_->ActiveAlarms()) {
        const auto unit = std::make_pair(a.data_id, a.device_type);
        if (!gone.count(unit)) continue;
        rule_value r;
        r.active = 0;
        r.key = a.key;
        r.code = a.code;
        r.name = a.name;
        r.detail = a.detail;
        r.level = a.level;
        r.state = a.state;
        clears[unit].push_back(std::move(r));
        ++report.alarms_cleared;
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
    {
        std::lock_guard<std::mutex> lock(points_mutex_);
        for (const auto& unit : gone) points_.erase(unit);
    }

    SetLines(next);
    for (const std::string& name : was_running) {
        if (!running_now.count(name)) events_.Remove(name);
    }
    comm_lost_ms_ = static_cast<std::int64_t>(config.comm_lost_s) * 1000;
    if (config.comm_lost_s != config_.comm_lost_s) {
        for (const auto& l : *next) {
            if (!kept.count(l.get()) || !l->device) continue;
            {
                std::lock_guard<std::mutex> lock(status_mutex_);
                l->status.stale_after_s = config.comm_lost_s;
            }
            PublishLine(*l);
        }
    }

    // Lines without a thread now: the new devices', and the kept devices'
    // whose thread was stopped.
    loops_ = stay;
    std::vector<Line*> to_build;
    for (const auto& l : *next) {
        if (l->device && std::find(stay.begin(), stay.end(), l->loop) == stay.end()) {
            to_build.push_back(l.get());
        }
    }
    const std::size_t first_new = loops_.size();
    const bool built = BuildLines(to_build, config, error);
    const std::int64_t now = steady_millis();
    for (std::size_t i : to_load) (*next)[i]->progress_ms = now;
    for (std::size_t i = first_new; i < loops_.size(); ++i) loops_[i]->Start();
    config_ = std::move(config);
    return built;
}

void Host::Stop() {
    std::lock_guard<std::mutex> control(control_mutex_);
    for (auto& loop : loops_) loop->Stop();
    const auto lines = Lines();
    if (running_) {
        for (auto& line : *lines) {
            if (line->loop) SetLine(*line, LineState::Stopped, std::string());
        }
    }
    if (controller_) controller_->DrainWork();
    if (store_) store_->Flush();
    running_ = false;
}

float Host::GetValue(unsigned int data_id, const std::string& name) const {
    const auto lines = Lines();
    for (const auto& line : *lines) {
        if (!line->device) continue;
        SMDSPDevice& dev = *line->device;
        std::lock_guard<std::recursive_mutex> lock(dev.DeviceMutex());
        std::shared_ptr<SMDVDevice> unit = dev.GetChildVDevice(data_id);
        if (!unit && data_id == dev.DataId()) {
            const auto all = dev.GetAllChildVDevices();
            if (!all.empty()) unit = all.back();
            if (!unit) return dev.Get_Value(data_id, name);
        }
        if (unit) return unit->Get_Value(data_id, name);
    }
    throw std::out_of_range("数据未提供");
}

std::optional<FrameStats> Host::Stats(const std::string& device) const {
    std::optional<FrameStats> out;
    WithDevice(device, [&](SMDSPDevice& dev) {
        if (auto* p = dynamic_cast<PMBusProtocol*>(&dev)) out = p->Stats();
    });
    return out;
}

bool Host::WithDevice(const std::string& name, const std::function<void(SMDSPDevice&)>& f) const {
    const auto lines = Lines();
    for (const auto& line : *lines) {
        if (line->config.name != name || !line->device) continue;
        std::lock_guard<std::recursive_mutex> lock(line->device->DeviceMutex());
        f(*line->device);
        return true;
    }
    return false;
}

std::vector<DeviceStatus> Host::Devices() const {
    std::vector<DeviceStatus> out;
    const auto lines = Lines();
    for (const auto& line : *lines) {
        DeviceStatus s;
        s.name = line->config.name;
        s.port = line->config.port;
        s.driver = line->config.driver;
        s.data_id = line->config.data_id;
        s.enabled = line->config.enabled;
        s.loaded = line->device != nullptr;
        s.error = line->error;
        s.replayed = line->replayed;
        std::shared_ptr<DriverLoop> loop;
        {
            std::lock_guard<std::mutex> lock(status_mutex_);
            loop = line->loop;
            s.port_opens = line->opens_before;
            s.port_losses = line->losses_before;
        }
        if (loop) {
            s.port_open = loop->PortOpen();
            s.port_opens += loop->Opens();
            s.port_losses += loop->Losses();
        }
        out.push_back(std::move(s));
    }
    return out;
}

std::vector<LineBeat> Host::LineHeartbeats() const {
    // Not while a reload moves lines from one thread to another.
    std::lock_guard<std::mutex> control(control_mutex_);
    std::vector<LineBeat> out;
    const auto lines = Lines();
    for (const auto& line : *lines) {
        std::shared_ptr<DriverLoop> loop;
        {
            std::lock_guard<std::mutex> lock(status_mutex_);
            loop = line->loop;
        }
        if (loop) out.push_back(LineBeat{line->config.name, loop->Running(), loop->Heartbeat()});
    }
    return out;
}

std::vector<ActiveAlarm> Host::ActiveAlarms() const {
    return controller_ ? controller_->ActiveAlarms() : std::vector<ActiveAlarm>();
}

std::vector<Snapshot> Host::Snapshots() const {
    return controller_ ? controller_->AllSnapshots() : std::vector<Snapshot>();
}

}  // namespace smd

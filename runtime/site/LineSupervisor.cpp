#include "runtime/site/LineSupervisor.h"

#include <algorithm>

#include "host/PMBusProtocol.h"
#include "host/ValueReply.h"

namespace smd {

namespace {

// The communication-lost point of a bus device (documented in host-contract.md).
constexpr const char* kCommLostKey = "comm_lost";
constexpr const char* kCommLostCode = "70320";
constexpr int kCommLostLevel = 1;
constexpr const char* kCommLostName = "通信中断";
constexpr const char* kCommLostDetail = "与监控单元的通信";

// The data ids of the entries of "acSetting" and "dcSetting" (one without a
// data id is the driver's 0).
std::vector<std::uint32_t> entry_ids(const Json::Value& settings) {
    std::vector<std::uint32_t> ids;
    for (const char* key : {"acSetting", "dcSetting"}) {
        const Json::Value& entries = settings[key];
        if (!entries.isArray()) continue;
        for (const Json::Value& entry : entries) {
            if (!entry.isObject()) continue;
            const Json::Value& id = entry["data_id"];
            if (id.isNull() || id.isUInt()) ids.push_back(id.isNull() ? 0 : id.asUInt());
        }
    }
    return ids;
}

}  // namespace

void UnitPoints::Set(std::vector<ActiveAlarm> points, std::uint32_t data_id,
                     const std::string& device_type) {
    std::lock_guard<std::mutex> lock(mutex_);
    points_[{data_id, device_type}] = std::move(points);
}

void UnitPoints::AttachTo(std::vector<UnitValues>& units) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (UnitValues& u : units) {
        auto it = points_.find({u.data_id, u.device_type});
        if (it != points_.end()) u.points = it->second;
    }
}

void UnitPoints::Erase(const std::set<std::pair<std::uint32_t, std::string>>& units) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& unit : units) points_.erase(unit);
}

void fill_unit_values(UnitValues& u, const std::vector<unsigned char>* record, const char* reply) {
    if (record && record_values(u.kind, *record, u.values)) return;
    unit_replies(u.kind, reply, u.values);
}

LineSupervisor::LineSupervisor(Site site, DeviceConfig cfg)
    : config(std::move(cfg)), site_(std::move(site)), unit_ids_(entry_ids(config.settings)) {}

void LineSupervisor::Attach(int stale_after_s) {
    if (auto* p = dynamic_cast<PMBusProtocol*>(device.get())) {
        p->SetAnswerListener(
            [this](unsigned char cid1, unsigned char cid2,
                   const std::vector<unsigned char>& bytes) { OnAnswer(cid1, cid2, bytes); });
        p->SetCycleListener([this] { OnCycle(); });
    }
    // Asked before the line's lock is taken: the alarm table's lock comes first.
    const std::vector<ActiveAlarm> standing = site_.controller.ActiveAlarms();
    std::lock_guard<std::mutex> lock(mutex_);
    status_.since = local_time();
    status_.stale_after_s = stale_after_s;
    // A communication-lost point that stood at the last stop stands until a cycle completes.
    for (const ActiveAlarm& a : standing) {
        if (a.data_id == config.data_id && a.device_type == device->DeviceType() &&
            a.key == kCommLostKey) {
            status_.comm_lost = true;
            comm_lost_detail_ = a.detail;
        }
    }
}

bool LineSupervisor::Serves(std::uint32_t data_id) const {
    return config.data_id == data_id ||
           std::find(unit_ids_.begin(), unit_ids_.end(), data_id) != unit_ids_.end();
}

void LineSupervisor::SetThread(std::shared_ptr<DriverLoop> loop, std::shared_ptr<LinePort> port,
                               std::int64_t allowance_ms) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (loop_) {
            opens_before_ += loop_->Opens();
            losses_before_ += loop_->Losses();
        }
        port_ = std::move(port);
        loop_ = std::move(loop);
    }
    // The network's own delay counts into the silence an answer may keep.
    if (allowance_ms != allowance_ms_) {
        std::lock_guard<std::recursive_mutex> lock(device->DeviceMutex());
        device->SetTimeoutBase(device->AnswerTimeoutMillis() - allowance_ms_ + allowance_ms);
        allowance_ms_ = allowance_ms;
    }
}

std::shared_ptr<DriverLoop> LineSupervisor::Loop() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return loop_;
}

LineSupervisor::PortCounts LineSupervisor::Ports() const {
    PortCounts c;
    std::shared_ptr<DriverLoop> loop;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        loop = loop_;
        c.opens = opens_before_;
        c.losses = losses_before_;
    }
    if (loop) {
        c.open = loop->PortOpen();
        c.opens += loop->Opens();
        c.losses += loop->Losses();
    }
    return c;
}

void LineSupervisor::StartClock() {
    std::lock_guard<std::mutex> lock(mutex_);
    progress_ms_ = steady_millis();
}

LineStatus LineSupervisor::Status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

void LineSupervisor::SetState(LineState state, const std::string& detail,
                              boost::posix_time::ptime since) {
    HostEvent e;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (status_.state == state && status_.detail == detail) return;
        if (status_.state != state) status_.since = since.is_special() ? local_time() : since;
        status_.state = state;
        status_.detail = detail;
        e.line = status_;
    }
    e.kind = HostEvent::Kind::Line;
    e.device = config.name;
    e.time = local_time();
    site_.events.Publish(std::move(e));
}

void LineSupervisor::SetStaleAfter(int seconds) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status_.stale_after_s = seconds;
    }
    Publish();
}

void LineSupervisor::Publish() {
    HostEvent e;
    e.line = Status();
    e.kind = HostEvent::Kind::Line;
    e.device = config.name;
    e.time = local_time();
    site_.events.Publish(std::move(e));
}

void LineSupervisor::OnPortEvent(PortEvent ev) {
    std::shared_ptr<LinePort> port;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        port = port_;
    }
    const std::string why = port ? port->LastError() : std::string();
    // A device server's line names why it is not open.
    auto cause = [&](LineState otherwise) {
        switch (port ? port->Fault() : LineFault::None) {
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
            const LineState now = Status().state;
            // The port is there again; whether the unit answers is still to be seen.
            if (now == LineState::PortMissing || now == LineState::PortBusy ||
                now == LineState::HostUnreachable || now == LineState::ConnectionRefused ||
                now == LineState::ConnectionLost) {
                SetState(LineState::Starting, config.port + " open, no cycle yet");
            }
            break;
        }
        case PortEvent::OpenFailed:
        case PortEvent::Lost:
            SetState(cause(LineState::PortMissing), why);
            break;
        case PortEvent::Silent: {
            // Not answering since the first command that went unanswered.
            boost::posix_time::ptime since;
            if (auto* p = dynamic_cast<PMBusProtocol*>(device.get())) {
                std::lock_guard<std::recursive_mutex> lock(device->DeviceMutex());
                const std::int64_t sent = p->UnansweredSinceMillis();
                if (sent > 0) {
                    since = local_time() - boost::posix_time::milliseconds(
                                               std::max<std::int64_t>(0, steady_millis() - sent));
                }
            }
            SetState(LineState::NotAnswering,
                     "no answer from the monitoring unit on " + config.port, since);
            break;
        }
        case PortEvent::Answers:
            break;  // answering once a cycle completes
    }
}

void LineSupervisor::SubmitCommLost(bool active) {
    rule_value r;
    r.active = active ? 1 : 0;
    r.key = kCommLostKey;
    r.code = kCommLostCode;
    r.level = kCommLostLevel;
    r.name = kCommLostName;
    // A raise comes from silence: the last cycle that completed, no answer;
    // a clear from the answer that completed the cycle.
    auto p = std::make_shared<Provenance>();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        r.detail = comm_lost_detail_.empty() ? kCommLostDetail : comm_lost_detail_;
        if (!active) comm_lost_detail_.clear();
        p->cycle = cycles_;
        if (!active && last_answer_) p->answers.push_back(*last_answer_);
    }
    const std::uint32_t id = config.data_id;
    const std::string type = device->DeviceType();
    // On the worker, in order with the cycles' alarm work and cycle events.
    site_.controller.SubmitWork(
        [this, id, type, r] {
            site_.controller.EvaluateRules(id, type, {r});
            Publish();
        },
        std::move(p));
}

void LineSupervisor::OnTick() {
    const std::int64_t now = steady_millis();
    const std::int64_t limit = site_.comm_lost_ms;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (status_.comm_lost || now - progress_ms_ < limit) return;
        status_.comm_lost = true;
    }
    site_.log("device \"" + config.name + "\": no poll cycle completed for " +
              std::to_string(limit / 1000) + " s; communication lost");
    SubmitCommLost(true);
}

void LineSupervisor::OnAnswer(unsigned char cid1, unsigned char cid2,
                              const std::vector<unsigned char>& bytes) {
    auto a = std::make_shared<AnswerRef>();
    a->cid1 = cid1;
    a->cid2 = cid2;
    a->time = local_time();
    a->bytes = bytes;
    std::lock_guard<std::mutex> lock(mutex_);
    answers_[static_cast<unsigned>(cid1) << 8 | cid2] = a;
    last_answer_ = std::move(a);
}

// On the line thread, inside the device's process() and under its lock: only
// what must be read there. That is the frame counters, the cycle's timing and
// the record each unit published at this cycle's end (the next cycle replaces
// it; a unit that published none this cycle still has its last one, as its
// own queries would serve). The values are decoded on the controller's
// worker, after the threshold work the cycle handed over, so that the event
// comes after the cycle's alarm events.
void LineSupervisor::OnCycle() {
    HostEvent e;
    e.kind = HostEvent::Kind::Cycle;
    e.device = config.name;
    e.time = local_time();
    if (auto* p = dynamic_cast<PMBusProtocol*>(device.get())) {
        e.frames = p->Stats();
        const std::int64_t start = p->CycleStartMillis();
        const std::int64_t prev = p->PreviousCycleStartMillis();
        e.cycle.poll_seconds = static_cast<double>(steady_millis() - start) / 1000.0;
        e.cycle.period_seconds = prev > 0 ? static_cast<double>(start - prev) / 1000.0 : 0.0;
    }
    std::vector<std::optional<Snapshot>> records;
    records.reserve(units.size());
    for (const UnitRef& u : units) {
        records.push_back(site_.controller.LatestSnapshot(u.data_id, u.device_type));
    }
    bool clear = false;
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        e.cycle.number = ++cycles_;
        progress_ms_ = steady_millis();
        changed = status_.state != LineState::Answering;
        if (changed) status_.since = e.time;
        status_.state = LineState::Answering;
        status_.detail.clear();
        status_.last_cycle = e.time;
        clear = status_.comm_lost;
        status_.comm_lost = false;
        e.line = status_;
    }
    // The line's news goes out before the cycle, from the same worker.
    if (clear) {
        SubmitCommLost(false);
    } else if (changed) {
        site_.controller.SubmitWork([this] { Publish(); });
    }
    site_.controller.SubmitWork([this, e = std::move(e), records = std::move(records)]() mutable {
        e.units.resize(units.size());
        for (std::size_t i = 0; i < units.size(); ++i) {
            UnitValues& u = e.units[i];
            u.kind = units[i].kind;
            u.data_id = units[i].data_id;
            u.device_type = units[i].device_type;
            const std::optional<Snapshot>& r = records[i];
            // What the unit's own query answers for no record, or one as old as its time-out.
            if (!r) {
                fill_unit_values(u, nullptr, value_reply::kNotReady.what());
            } else if (values_timed_out(r->time, e.time)) {
                fill_unit_values(u, nullptr, value_reply::kTimedOut.what());
            } else {
                fill_unit_values(u, &r->bytes, value_reply::kNotReady.what());
            }
        }
        // The cycle's rules were evaluated just before, on this same worker.
        site_.points.AttachTo(e.units);
        site_.events.Publish(std::move(e));
    });
}

std::shared_ptr<const Provenance> LineSupervisor::ProvenanceOf(
    std::uint32_t data_id, const std::string& device_type) const {
    if (!device) return nullptr;
    // The block whose answers a unit decodes: AC 0x40, rectifier 0x41, DC
    // 0x42; the bus device's own points come from the model answer.
    int cid1 = -1;
    int only_cid2 = -1;
    for (const UnitRef& u : units) {
        if (u.data_id != data_id) continue;
        if (u.kind == UnitKind::RC && device_type != u.device_type) continue;
        cid1 = u.kind == UnitKind::AC ? 0x40 : u.kind == UnitKind::DC ? 0x42 : 0x41;
    }
    if (cid1 < 0 && data_id == config.data_id && device_type == device->DeviceType()) {
        cid1 = 0x40;
        only_cid2 = 0x51;
    }
    if (cid1 < 0) return nullptr;
    auto p = std::make_shared<Provenance>();
    std::lock_guard<std::mutex> lock(mutex_);
    p->cycle = cycles_ + 1;
    for (const auto& [command, answer] : answers_) {
        if (static_cast<int>(command >> 8) != cid1) continue;
        if (only_cid2 >= 0 ? static_cast<int>(command & 0xFF) != only_cid2
                           : (command & 0xFF) == 0x51) {
            continue;
        }
        p->answers.push_back(*answer);
    }
    return p;
}

}  // namespace smd

#include "host/SMDController.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <sstream>
#include <thread>
#include <tuple>

#include "host/HostTypes.h"

namespace smd {

bool LogArg::operator==(const LogArg& o) const {
    return kind == o.kind && integer == o.integer && uinteger == o.uinteger && real == o.real &&
           text == o.text;
}

LogArg to_log_arg(std::uint32_t v) {
    LogArg a;
    a.kind = LogArg::Kind::U32;
    a.uinteger = v;
    return a;
}
LogArg to_log_arg(std::int32_t v) {
    LogArg a;
    a.kind = LogArg::Kind::I32;
    a.integer = v;
    return a;
}
LogArg to_log_arg(std::uint8_t v) {
    LogArg a;
    a.kind = LogArg::Kind::U8;
    a.uinteger = v;
    return a;
}
LogArg to_log_arg(std::int64_t v) {
    LogArg a;
    a.kind = LogArg::Kind::I64;
    a.integer = v;
    return a;
}
LogArg to_log_arg(std::uint64_t v) {
    LogArg a;
    a.kind = LogArg::Kind::U64;
    a.uinteger = v;
    return a;
}
LogArg to_log_arg(double v) {
    LogArg a;
    a.kind = LogArg::Kind::F64;
    a.real = v;
    return a;
}
LogArg to_log_arg(const std::string& v) {
    LogArg a;
    a.kind = LogArg::Kind::Text;
    a.text = v;
    return a;
}
LogArg to_log_arg(const char* v) {
    return to_log_arg(std::string(v ? v : ""));
}

namespace {
std::string arg_text(const LogArg& a) {
    switch (a.kind) {
        case LogArg::Kind::U32:
        case LogArg::Kind::U8:
        case LogArg::Kind::U64:
            return std::to_string(a.uinteger);
        case LogArg::Kind::I32:
        case LogArg::Kind::I64:
            return std::to_string(a.integer);
        case LogArg::Kind::F64: {
            std::ostringstream os;
            os << a.real;
            return os.str();
        }
        case LogArg::Kind::Text:
            return a.text;
    }
    return std::string();
}
}  // namespace

std::string format_log(const std::string& format, const std::vector<LogArg>& args) {
    std::string out;
    out.reserve(format.size() + 16 * args.size());
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '{' && i + 1 < format.size() && format[i + 1] == '}' &&
            next < args.size()) {
            out += arg_text(args[next++]);
            ++i;
        } else {
            out += format[i];
        }
    }
    if (next < args.size()) {
        out += " [";
        for (std::size_t k = next; k < args.size(); ++k) {
            if (k != next) out += ", ";
            out += arg_text(args[k]);
        }
        out += "]";
    }
    return out;
}

void MemoryHistoryStore::Append(const HistoryRecord& record) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (retention_ == 0 || records_.size() < retention_) {
        records_.push_back(record);
        return;
    }
    // Full: the newest record takes the oldest one's place (and its buffers).
    records_[oldest_] = record;
    oldest_ = (oldest_ + 1) % records_.size();
}

std::optional<HistoryRecord> MemoryHistoryStore::Latest(std::uint32_t data_id,
                                                        const std::string& device_type) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t n = records_.size();
    for (std::size_t k = 1; k <= n; ++k) {
        const HistoryRecord& r = records_[(oldest_ + n - k) % n];
        if (r.data_id == data_id && r.device_type == device_type) return r;
    }
    return std::nullopt;
}

std::size_t MemoryHistoryStore::Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_.size();
}

ActiveAlarm alarm_point(std::uint32_t data_id, const std::string& device_type,
                        const rule_value& r) {
    ActiveAlarm a;
    a.data_id = data_id;
    a.device_type = device_type;
    a.key = r.key;
    a.code = r.code;
    a.name = r.name;
    a.detail = r.detail;
    a.level = r.level;
    a.state = r.state;
    a.active = r.active != 0;
    return a;
}

std::vector<HistoryRecord> MemoryHistoryStore::All() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<HistoryRecord> out;
    out.reserve(records_.size());
    out.insert(out.end(), records_.begin() + static_cast<long>(oldest_), records_.end());
    out.insert(out.end(), records_.begin(), records_.begin() + static_cast<long>(oldest_));
    return out;
}

}  // namespace smd

using AlarmKey = std::tuple<std::uint32_t, std::string, std::string, std::string>;

namespace {

// The provenance of the threshold work running on this thread.
thread_local const std::shared_ptr<const smd::Provenance>* t_provenance = nullptr;

struct CurrentProvenance {
    explicit CurrentProvenance(std::shared_ptr<const smd::Provenance> p) : held(std::move(p)) {
        previous = t_provenance;
        if (held) t_provenance = &held;
    }
    ~CurrentProvenance() { t_provenance = previous; }
    std::shared_ptr<const smd::Provenance> held;
    const std::shared_ptr<const smd::Provenance>* previous = nullptr;
};

}  // namespace

struct SMDController::Impl {
    // log
    std::mutex log_mutex;
    smd::LogSink log_sink;

    // work
    std::mutex work_mutex;
    std::condition_variable work_cv;
    std::condition_variable idle_cv;
    struct Job {
        std::function<void()> work;
        std::shared_ptr<const smd::Provenance> provenance;
    };
    std::deque<Job> queue;
    mutable std::mutex source_mutex;
    ProvenanceSource provenance_source;
    bool sync = false;
    bool stopping = false;
    bool busy = false;
    std::uint64_t run = 0;
    std::thread worker;

    // alarms: device, type, key, detail -> alarm
    mutable std::mutex alarm_mutex;
    // Transparent: a cycle's points are looked up by reference, without
    // copying their texts into a key.
    std::map<AlarmKey, smd::ActiveAlarm, std::less<>> active;
    std::shared_ptr<smd::AlarmStore> alarm_store;
    std::function<void(const smd::AlarmEvent&)> alarm_listener;
    std::function<void(std::uint32_t, const std::string&, const std::vector<rule_value>&)>
        rule_listener;

    // history and snapshots
    mutable std::mutex data_mutex;
    std::shared_ptr<smd::HistoryStore> history = std::make_shared<smd::MemoryHistoryStore>();
    std::map<std::pair<std::uint32_t, std::string>, smd::Snapshot> snapshots;
    std::function<void(const smd::Snapshot&)> snapshot_listener;

    void WorkerLoop() {
        std::unique_lock<std::mutex> lock(work_mutex);
        for (;;) {
            work_cv.wait(lock, [&] { return stopping || !queue.empty(); });
            if (queue.empty()) {
                if (stopping) return;
                continue;
            }
            Job job = std::move(queue.front());
            queue.pop_front();
            busy = true;
            lock.unlock();
            RunOne(job.work, std::move(job.provenance));
            lock.lock();
            busy = false;
            ++run;
            if (queue.empty()) idle_cv.notify_all();
        }
    }

    void RunOne(std::function<void()>& job, std::shared_ptr<const smd::Provenance> provenance) {
        // The work's alarm events carry where its device's state came from.
        CurrentProvenance scope(std::move(provenance));
        // A closure that throws must not take the worker down with it.
        try {
            job();
        } catch (const std::exception& e) {
            smd::LogRecord rec;
            rec.format = "SMDController: threshold work failed: {}";
            rec.args.push_back(smd::to_log_arg(std::string(e.what())));
            rec.text = smd::format_log(rec.format, rec.args);
            std::lock_guard<std::mutex> l(log_mutex);
            if (log_sink) log_sink(rec);
        }
        job = nullptr;  // release the closure's references here, not later
    }
};

SMDController::SMDController() : impl_(std::make_unique<Impl>()) {
    impl_->worker = std::thread([this] { impl_->WorkerLoop(); });
}

SMDController::~SMDController() {
    {
        std::lock_guard<std::mutex> lock(impl_->work_mutex);
        impl_->stopping = true;
    }
    impl_->work_cv.notify_all();
    if (impl_->worker.joinable()) impl_->worker.join();
}

void SMDController::SetLogSink(smd::LogSink sink) {
    std::lock_guard<std::mutex> lock(impl_->log_mutex);
    impl_->log_sink = std::move(sink);
}

void SMDController::EmitLog(const smd::LogRecord& rec) {
    std::lock_guard<std::mutex> lock(impl_->log_mutex);
    if (impl_->log_sink) impl_->log_sink(rec);
}

void SMDController::SetSynchronousWork(bool sync) {
    DrainWork();
    std::lock_guard<std::mutex> lock(impl_->work_mutex);
    impl_->sync = sync;
}

void SMDController::SubmitWork(std::function<void()> work) {
    SubmitWork(std::move(work), nullptr);
}

void SMDController::SetProvenanceSource(ProvenanceSource source) {
    std::lock_guard<std::mutex> lock(impl_->source_mutex);
    impl_->provenance_source = std::move(source);
}

std::shared_ptr<const smd::Provenance> SMDController::ProvenanceOf(
    std::uint32_t data_id, const std::string& device_type) const {
    ProvenanceSource source;
    {
        std::lock_guard<std::mutex> lock(impl_->source_mutex);
        source = impl_->provenance_source;
    }
    return source ? source(data_id, device_type) : nullptr;
}

void SMDController::SubmitWork(std::function<void()> work,
                               std::shared_ptr<const smd::Provenance> provenance) {
    if (!work) return;
    {
        std::unique_lock<std::mutex> lock(impl_->work_mutex);
        if (!impl_->sync && !impl_->stopping) {
            impl_->queue.push_back(Impl::Job{std::move(work), std::move(provenance)});
            lock.unlock();
            impl_->work_cv.notify_one();
            return;
        }
    }
    impl_->RunOne(work, std::move(provenance));
    std::lock_guard<std::mutex> lock(impl_->work_mutex);
    ++impl_->run;
}

void SMDController::DrainWork() {
    std::unique_lock<std::mutex> lock(impl_->work_mutex);
    impl_->idle_cv.wait(lock, [&] { return impl_->queue.empty() && !impl_->busy; });
}

std::uint64_t SMDController::WorkRun() const {
    std::lock_guard<std::mutex> lock(impl_->work_mutex);
    return impl_->run;
}

bool SMDController::EvaluateRules(std::uint32_t data_id, const std::string& device_type,
                                  const std::vector<rule_value>& rules) {
    std::vector<smd::AlarmEvent> events;
    // From the work running now, else (rules evaluated on the line thread, as
    // the bus device's own are) where the device's state is now.
    std::shared_ptr<const smd::Provenance> provenance;
    bool looked_up = false;
    auto provenance_now = [&] {
        if (!looked_up) {
            provenance = t_provenance ? *t_provenance : ProvenanceOf(data_id, device_type);
            looked_up = true;
        }
        return provenance;
    };
    std::function<void(const smd::AlarmEvent&)> listener;
    std::shared_ptr<smd::AlarmStore> store;
    decltype(impl_->rule_listener) rule_listener;
    {
        std::lock_guard<std::mutex> lock(impl_->alarm_mutex);
        rule_listener = impl_->rule_listener;
        const auto now = smd::local_time();
        for (const auto& r : rules) {
            const auto it = impl_->active.find(std::tie(data_id, device_type, r.key, r.detail));
            const bool standing = it != impl_->active.end();
            if (r.active && standing && it->second.state == r.state) continue;
            if (!r.active && !standing) continue;
            if (standing) {
                // cleared, or a multi-valued point that moved to another state
                smd::AlarmEvent ev;
                ev.kind = smd::AlarmEvent::Kind::Cleared;
                ev.time = now;
                ev.alarm = it->second;
                ev.provenance = provenance_now();
                events.push_back(ev);
                impl_->active.erase(it);
            }
            if (r.active) {
                smd::ActiveAlarm a = smd::alarm_point(data_id, device_type, r);
                a.since = now;
                impl_->active.emplace(AlarmKey{data_id, device_type, r.key, r.detail}, a);
                smd::AlarmEvent ev;
                ev.kind = smd::AlarmEvent::Kind::Raised;
                ev.time = now;
                ev.alarm = a;
                ev.provenance = provenance_now();
                events.push_back(ev);
            }
        }
        listener = impl_->alarm_listener;
        store = impl_->alarm_store;
    }
    if (rule_listener) rule_listener(data_id, device_type, rules);
    for (const auto& ev : events) {
        if (store) store->Record(ev);
        if (listener) listener(ev);
    }
    return !events.empty();
}

std::vector<smd::ActiveAlarm> SMDController::ActiveAlarms() const {
    std::lock_guard<std::mutex> lock(impl_->alarm_mutex);
    std::vector<smd::ActiveAlarm> out;
    out.reserve(impl_->active.size());
    for (const auto& kv : impl_->active) out.push_back(kv.second);
    return out;
}

void SMDController::SetAlarmStore(std::shared_ptr<smd::AlarmStore> store) {
    std::vector<smd::ActiveAlarm> restored;
    if (store) restored = store->LoadActive();
    std::lock_guard<std::mutex> lock(impl_->alarm_mutex);
    impl_->alarm_store = std::move(store);
    for (auto& a : restored) {
        AlarmKey k{a.data_id, a.device_type, a.key, a.detail};
        impl_->active[k] = a;
    }
}

void SMDController::SetAlarmListener(std::function<void(const smd::AlarmEvent&)> listener) {
    std::lock_guard<std::mutex> lock(impl_->alarm_mutex);
    impl_->alarm_listener = std::move(listener);
}

void SMDController::SetRuleListener(
    std::function<void(std::uint32_t, const std::string&, const std::vector<rule_value>&)>
        listener) {
    std::lock_guard<std::mutex> lock(impl_->alarm_mutex);
    impl_->rule_listener = std::move(listener);
}

void SMDController::SaveHistory(smd::HistoryRecord record) {
    std::shared_ptr<smd::HistoryStore> store;
    {
        std::lock_guard<std::mutex> lock(impl_->data_mutex);
        store = impl_->history;
    }
    if (store) store->Append(record);
}

void SMDController::SetHistoryStore(std::shared_ptr<smd::HistoryStore> store) {
    std::lock_guard<std::mutex> lock(impl_->data_mutex);
    impl_->history = std::move(store);
}

std::shared_ptr<smd::HistoryStore> SMDController::GetHistoryStore() const {
    std::lock_guard<std::mutex> lock(impl_->data_mutex);
    return impl_->history;
}

void SMDController::PublishSnapshot(smd::Snapshot snapshot) {
    std::function<void(const smd::Snapshot&)> listener;
    {
        std::lock_guard<std::mutex> lock(impl_->data_mutex);
        impl_->snapshots[{snapshot.data_id, snapshot.device_type}] = snapshot;
        listener = impl_->snapshot_listener;
    }
    if (listener) listener(snapshot);
}

std::optional<smd::Snapshot> SMDController::LatestSnapshot(std::uint32_t data_id,
                                                           const std::string& device_type) const {
    std::lock_guard<std::mutex> lock(impl_->data_mutex);
    auto it = impl_->snapshots.find({data_id, device_type});
    if (it == impl_->snapshots.end()) return std::nullopt;
    return it->second;
}

std::vector<smd::Snapshot> SMDController::AllSnapshots() const {
    std::lock_guard<std::mutex> lock(impl_->data_mutex);
    std::vector<smd::Snapshot> out;
    for (const auto& kv : impl_->snapshots) out.push_back(kv.second);
    return out;
}

void SMDController::SetSnapshotListener(std::function<void(const smd::Snapshot&)> listener) {
    std::lock_guard<std::mutex> lock(impl_->data_mutex);
    impl_->snapshot_listener = std::move(listener);
}

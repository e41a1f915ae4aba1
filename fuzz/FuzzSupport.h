// Pieces the fuzz targets share: a port that answers nothing, a loopback line
// to the simulated unit, clocks that move only when an input says so, and the
// invariants every target checks beyond "no crash".
#pragma once

#include <json/value.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "ac/AcRecords.h"
#include "bus/PMBusPower.h"
#include "dc/DcRecords.h"
#include "host/PMBusProtocol.h"
#include "host/SMDController.h"
#include "host/SMDSPDevice.h"
#include "rc/RcRecords.h"

namespace fuzz_support {

// A line that takes every command and answers nothing.
struct NullPort : smd::Transport {
    bool Open() override { return true; }
    void Close() override {}
    bool IsOpen() const override { return true; }
    int Write(const unsigned char*, unsigned int len, EnumParity) override {
        return static_cast<int>(len);
    }
};

// A line whose far end is the harness: what the device writes is kept for the
// simulated unit; it can fail like a port that vanished.
struct LoopbackPort : smd::Transport {
    bool Open() override {
        open = !refuse_open;
        return open;
    }
    void Close() override { open = false; }
    bool IsOpen() const override { return open; }
    int Write(const unsigned char* data, unsigned int len, EnumParity) override {
        if (!open) return -1;
        if (fail_writes) {
            open = false;  // as a serial port does when its device is gone
            return -1;
        }
        written.insert(written.end(), data, data + len);
        return static_cast<int>(len);
    }
    std::vector<unsigned char> written;
    bool open = true;
    bool refuse_open = false;
    bool fail_writes = false;
};

// The decoders' diagnostic lines would drown the fuzzer's own output.
// Once per process, however often it is called.
inline void silence_stdout() {
    static const bool done = [] {
        if (!std::freopen("/dev/null", "w", stdout)) std::perror("freopen");
        return true;
    }();
    (void)done;
}

// A broken invariant is a finding like a crash: stop with the reason.
[[noreturn]] inline void fail(const std::string& what) {
    std::fprintf(stderr, "broken invariant: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

// Steady and local time that move only through Advance(); pauses return at
// once. Installed once per process, reset per input so that inputs replay
// alike.
class Clocks {
  public:
    static Clocks& Install() {
        static Clocks* c = [] {
            auto* clocks = new Clocks();
            smd::set_steady_clock([clocks] { return clocks->Steady(); });
            smd::set_local_clock([clocks] { return clocks->Local(); });
            smd::set_pause([](unsigned) {});
            return clocks;
        }();
        c->Reset();
        return *c;
    }
    void Reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        steady_ = 1000000;
        start_ = boost::posix_time::time_from_string("2026-12-08 10:00:00");
    }
    void Advance(std::int64_t ms) {
        std::lock_guard<std::mutex> lock(mutex_);
        steady_ += ms;
    }
    std::int64_t Steady() {
        std::lock_guard<std::mutex> lock(mutex_);
        return steady_;
    }
    // Whole seconds, as the real local clock gives them.
    boost::posix_time::ptime Local() {
        std::lock_guard<std::mutex> lock(mutex_);
        return start_ + boost::posix_time::seconds((steady_ - 1000000) / 1000);
    }

  private:
    std::mutex mutex_;
    std::int64_t steady_ = 1000000;
    boost::posix_time::ptime start_;
};

// A stored or published unit record must fit the count it holds: otherwise it
// is refused when it comes back at the next start.
inline void check_record(const std::string& device_type, const std::vector<unsigned char>& b) {
    std::size_t want = 0;
    if (device_type == "ravo3-ac") {
        if (b.size() < sizeof(tele_c_ravo3_ac)) fail("AC record shorter than its main record");
        want = sizeof(tele_c_ravo3_ac) +
               sizeof(tele_c_ravo3_ac_channel) * b[offsetof(tele_c_ravo3_ac, channel_count)];
    } else if (device_type == "ravo3-dc") {
        want = sizeof(tele_c_ravo3_dc);
    } else if (device_type == "ravo3-rc") {
        if (b.size() < sizeof(tele_c_ravo3_rc))
            fail("rectifier record shorter than its main record");
        want = sizeof(tele_c_ravo3_rc) +
               sizeof(tele_c_ravo3_rc_channel) * b[offsetof(tele_c_ravo3_rc, channel_count)];
    } else {
        return;
    }
    if (b.size() != want) {
        fail(device_type + " record of " + std::to_string(b.size()) + " bytes, its count says " +
             std::to_string(want));
    }
}

// The bus device's step is always one of the step table's.
inline void check_step(const PMBusProtocol& bus) {
    if (!pmbus_power::FindPollCommand(bus.CommandStep())) {
        fail("command step " + std::to_string(bus.CommandStep()) + " is in no step of the table");
    }
}

// No alarm point raised twice without a clear in between, none cleared that
// did not stand.
class AlarmLedger {
  public:
    void Stand(const smd::ActiveAlarm& a) { standing_.insert(Key(a)); }
    void On(bool raised, const smd::ActiveAlarm& a) {
        const auto k = Key(a);
        if (raised && !standing_.insert(k).second) fail("alarm raised twice: " + Name(a));
        if (!raised && standing_.erase(k) == 0)
            fail("alarm cleared that did not stand: " + Name(a));
    }
    std::size_t Standing() const { return standing_.size(); }

  private:
    using K = std::tuple<std::uint32_t, std::string, std::string, std::string>;
    static K Key(const smd::ActiveAlarm& a) { return K{a.data_id, a.device_type, a.key, a.detail}; }
    static std::string Name(const smd::ActiveAlarm& a) {
        return std::to_string(a.data_id) + " " + a.device_type + " " + a.key + " " + a.detail;
    }
    std::set<K> standing_;
};

// History that checks every record and keeps only the newest of each unit, so
// a long run costs no more per input than a short one.
class CheckedHistory : public smd::HistoryStore {
  public:
    void Append(const smd::HistoryRecord& r) override {
        check_record(r.device_type, r.bytes);
        std::lock_guard<std::mutex> lock(mutex_);
        newest_[{r.data_id, r.device_type}] = r;
        ++count_;
    }
    std::optional<smd::HistoryRecord> Latest(std::uint32_t data_id,
                                             const std::string& device_type) override {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = newest_.find({data_id, device_type});
        if (it == newest_.end()) return std::nullopt;
        return it->second;
    }
    std::size_t Count() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return count_;
    }

  private:
    std::mutex mutex_;
    std::map<std::pair<std::uint32_t, std::string>, smd::HistoryRecord> newest_;
    std::size_t count_ = 0;
};

// A controller for one input: its work runs at once, its history is checked
// and bounded, its alarms and snapshots go through the invariants.
struct Checked {
    std::shared_ptr<SMDController> controller = std::make_shared<SMDController>();
    std::shared_ptr<CheckedHistory> history = std::make_shared<CheckedHistory>();
    std::shared_ptr<AlarmLedger> alarms = std::make_shared<AlarmLedger>();

    Checked() {
        controller->SetSynchronousWork(true);
        controller->SetHistoryStore(history);
        auto ledger = alarms;
        controller->SetAlarmListener([ledger](const smd::AlarmEvent& e) {
            ledger->On(e.kind == smd::AlarmEvent::Kind::Raised, e.alarm);
        });
        controller->SetSnapshotListener(
            [](const smd::Snapshot& s) { check_record(s.device_type, s.bytes); });
    }
    ~Checked() {
        controller->SetAlarmListener(nullptr);
        controller->SetSnapshotListener(nullptr);
    }
};

// The settings of a bus device with `ac` AC and `dc` DC units.
inline Json::Value bus_settings(unsigned ac, unsigned dc) {
    Json::Value cfg(Json::objectValue);
    cfg["acSetting"] = Json::Value(Json::arrayValue);
    cfg["dcSetting"] = Json::Value(Json::arrayValue);
    for (unsigned i = 0; i < ac; ++i) cfg["acSetting"][i]["data_id"] = 10 + i;
    for (unsigned i = 0; i < dc; ++i) cfg["dcSetting"][i]["data_id"] = 20 + i;
    cfg["rcSetting"] = Json::Value(Json::objectValue);
    return cfg;
}

}  // namespace fuzz_support

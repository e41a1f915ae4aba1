// The host our users run: reads the site configuration, opens the history
// database, loads each bus device from its driver, replays the newest stored
// record of each unit, and drives every device on its own line thread.
// Values, frame statistics, alarms and snapshots can be asked for from any
// thread while the lines run.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host/PMBusProtocol.h"
#include "host/SMDController.h"
#include "runtime/capture/Capture.h"
#include "runtime/line/DriverLoop.h"
#include "runtime/events/Events.h"
#include "runtime/framework/PluginLoader.h"
#include "runtime/site/SiteConfig.h"
#include "runtime/store/SqliteStore.h"

namespace smd {

struct HostOptions {
    // Replaces the "driver" of every device when not empty (a build tree, a test).
    std::string driver_override;
    // The driver of a device whose entry names none (DefaultDriverPath()).
    std::string default_driver;
    // Receives every line of the host and of the devices; standard error when empty.
    std::function<void(const std::string&)> log;
    // False: load the devices and replay the history, but open no line.
    bool start_lines = true;
    // Fault seam of the history database (see SqliteStore::Options::fault).
    std::function<int(const char* step)> store_fault;
    // Every line's bytes into this capture file ("": only devices with their
    // own "capture" key are captured).
    std::string capture;
    // Makes the line for a port (a test's or a replay's); empty: serial or TCP
    // by the port's form.
    std::function<std::shared_ptr<LinePort>(const std::string& port, std::int64_t allowance_ms)>
        port_factory;
    // Lines built but no thread started: the caller drives them with
    // DriverLoop::Step() (replay), and the controller's work runs at once.
    bool manual_lines = false;
};

// A line thread's sign of life, for a watchdog.
struct LineBeat {
    std::string device;
    bool running = false;  // the thread exists (not ended, not stopped)
    std::uint64_t beats = 0;
};

struct DeviceStatus {
    std::string name;
    std::string port;
    std::string driver;
    unsigned int data_id = 0;
    bool enabled = true;
    bool loaded = false;
    std::string error;  // why it was not loaded
    bool port_open = false;
    std::uint64_t port_opens = 0;
    std::uint64_t port_losses = 0;
    std::size_t replayed = 0;  // stored unit records loaded at start
};

// What a reload did, by device name.
struct ReloadReport {
    std::vector<std::string> added;      // new in the file (or enabled now): started
    std::vector<std::string> removed;    // gone from the file (or disabled now): stopped
    std::vector<std::string> restarted;  // entry changed, or it had not loaded: loaded anew
    std::vector<std::string> kept;       // unchanged: running on, untouched
    // Unchanged, but on a line whose thread was rebuilt (a device of the line
    // came, went or changed, or the line settings changed): loaded device,
    // values, alarms and counts kept; the port was closed and opened again.
    std::vector<std::string> reopened;
    std::vector<std::string> not_loaded;  // "device "NAME": why", as logged
    // Standing alarms of units that no device serves any more, cleared.
    std::size_t alarms_cleared = 0;
    // Host keys that changed but only a restart applies.
    std::vector<std::string> not_applied;
};

class Host {
  public:
    explicit Host(HostOptions options = {});
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // False, with `error`, when the configuration is unusable or no device
    // could be loaded. A device that fails is reported and left out; one
    // whose port cannot be opened yet is retried while the host runs.
    bool Start(const std::string& config_path, std::string& error);
    bool Start(SiteConfig config, std::string& error);
    // Stops the lines (ports closed), runs the outstanding work and flushes the
    // store. Values stay readable afterwards.
    void Stop();
    bool Running() const { return running_; }
    // Applies a changed site to the running host, device by device: an
    // unchanged device keeps running (thread, line state, alarms, history);
    // a changed one is loaded anew; removed ones stop, and the standing
    // alarms of units no device serves any more are cleared. Devices that
    // share a line are driven by one thread: a change on such a line rebuilds
    // its thread, and its unchanged devices go on with a reopened port (see
    // ReloadReport). "history_db" and the history's and events' retention
    // are kept as they are.
    // The file is taken as it is: check it first. False, with `error`, when
    // the host is not running its lines. Call it from the thread that
    // starts and stops the host.
    bool Reload(SiteConfig config, ReloadReport& report, std::string& error);

    // The value a unit serves by name; throws std::out_of_range with the
    // unit's reply text, or "数据未提供" when no unit has that data id. The
    // rectifier unit is reached by its bus device's data id.
    float GetValue(unsigned int data_id, const std::string& name) const;
    std::optional<FrameStats> Stats(const std::string& device) const;
    std::vector<DeviceStatus> Devices() const;
    // Every started line's heartbeat; takes no lock a line thread holds (it
    // waits for a reload under way).
    std::vector<LineBeat> LineHeartbeats() const;
    std::vector<ActiveAlarm> ActiveAlarms() const;
    std::vector<Snapshot> Snapshots() const;
    // False when the history lives in memory only (none configured, or the
    // database could not be used).
    bool PersistentHistory() const { return store_ != nullptr; }
    // Why the configured history database is not used ("" when it is, or none is configured).
    const std::string& StoreError() const { return store_error_; }
    std::shared_ptr<SMDController> Controller() const { return controller_; }
    std::shared_ptr<SqliteStore> Store() const { return store_; }
    // Runs `f` with the named bus device under its lock; false when there is none.
    bool WithDevice(const std::string& name, const std::function<void(SMDSPDevice&)>& f) const;

    // The host's event stream: cycles with their values, alarms raised and
    // cleared, line state changes. Consumers subscribe to it.
    EventBus& Events() { return events_; }
    // The state of a device's line; Starting for an unknown name.
    LineStatus LineOf(const std::string& device) const;
    // Each line once (devices sharing a port share one), for manual driving.
    std::vector<DriverLoop*> Loops() const;

  private:
    struct Line {
        DeviceConfig config;  // as loaded (driver resolved); never changes
        std::shared_ptr<SMDSPDevice> device;
        // Set while the line is built, before its thread starts; read by
        // other threads under `status_mutex` (a reload rebuilds lines).
        std::shared_ptr<LinePort> port;
        std::shared_ptr<DriverLoop> loop;  // shared by the devices of one line
        std::int64_t allowance_ms = 0;     // network allowance added to the answer time-out
        // Opens and losses counted by the line's earlier threads.
        std::uint64_t opens_before = 0, losses_before = 0;
        std::string error;
        std::size_t replayed = 0;
        // The units the device serves, from its settings (rectifier last).
        std::vector<std::pair<UnitKind, std::uint32_t>> units;
        std::string rc_type;  // the rectifier unit's device type
        // Data id and device type of the bus device and of each unit: whose
        // alarms these are.
        std::set<std::pair<std::uint32_t, std::string>> owned;
        // Guarded by `status_mutex`.
        LineStatus status;
        std::uint64_t cycles = 0;
        std::int64_t progress_ms = 0;  // steady time of the last cycle (or of the start)
        std::string comm_lost_detail;  // detail of the standing communication-lost point
        // The latest answer to each command, by CID1 << 8 | CID2, and the
        // latest of all; guarded by `status_mutex`.
        std::map<unsigned, std::shared_ptr<const AnswerRef>> answers;
        std::shared_ptr<const AnswerRef> last_answer;
    };

    void Log(const std::string& text) const;
    // Events. CollectUnits runs under the device's lock.
    std::vector<UnitValues> CollectUnits(Line& line, bool replayed);
    void OnCycle(Line& line);
    void OnPortEvent(Line& line, PortEvent e);
    void SetLine(Line& line, LineState state, const std::string& detail,
                 boost::posix_time::ptime since = boost::posix_time::not_a_date_time);
    // On the line thread: raises the communication-lost point when no cycle
    // completed for comm_lost_s.
    void OnTick(Line& line);
    // Evaluates the communication-lost point on the worker, then tells the line's state.
    void SubmitCommLost(Line& line, bool active);
    void PublishLine(Line& line);
    std::string DeviceOf(std::uint32_t data_id, const std::string& device_type) const;
    // Where a unit's state came from: its device's cycle under way and the
    // latest answers of the unit's block.
    std::shared_ptr<const Provenance> ProvenanceOf(std::uint32_t data_id,
                                                   const std::string& device_type);
    bool OpenStore(const SiteConfig& config, std::string& error);
    // The driver a device runs: the override, else its own, else the default.
    std::string DriverFor(const DeviceConfig& cfg) const;
    // Loads one device from its driver and replays its stored records; a
    // device that fails is logged and kept with its error. `announce`: tell
    // the stream's present subscribers (a reload) of the device.
    std::shared_ptr<Line> LoadLine(const DeviceConfig& cfg, const SiteConfig& config,
                                   bool announce);
    // One line thread per port, shared by the devices of `lines` that name it
    // (appended to loops_, not started).
    bool BuildLines(const std::vector<Line*>& lines, const SiteConfig& config, std::string& error);
    void Replay(Line& line);
    bool ReplayUnit(Line& line, SMDVDevice& unit);

    HostOptions options_;
    mutable std::mutex log_mutex_;
    // Declared first so that it goes last: devices' code lives in the libraries.
    PluginLoader loader_;
    std::shared_ptr<SqliteStore> store_;
    std::string store_error_;
    std::shared_ptr<SMDController> controller_;
    // Every device of the site, in site order. Replaced whole by a reload,
    // so a reader takes the list (Lines()) and walks it without a lock.
    using LineList = std::vector<std::shared_ptr<Line>>;
    std::shared_ptr<const LineList> Lines() const;
    void SetLines(std::shared_ptr<const LineList> lines);
    mutable std::mutex lines_mutex_;
    std::shared_ptr<const LineList> lines_ = std::make_shared<LineList>();
    // Start, Stop and Reload, one at a time.
    mutable std::mutex control_mutex_;
    SiteConfig config_;  // what runs
    std::vector<std::shared_ptr<DriverLoop>> loops_;
    std::map<std::string, std::shared_ptr<capture::Writer>> captures_;
    bool running_ = false;
    std::atomic<std::int64_t> comm_lost_ms_{60000};
    mutable std::mutex status_mutex_;
    EventBus events_;
    // Each unit's alarm points at its last evaluation, for the cycle events.
    std::mutex points_mutex_;
    std::map<std::pair<std::uint32_t, std::string>, std::vector<ActiveAlarm>> points_;
};

}  // namespace smd

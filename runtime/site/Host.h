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
#include "runtime/events/Events.h"
#include "runtime/framework/PluginLoader.h"
#include "runtime/line/DriverLoop.h"
#include "runtime/site/LineSupervisor.h"
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

    // The device a unit belongs to: the one whose bus device, or one of
    // whose units in the site file, has this data id (unique within a site);
    // empty when none.
    std::string DeviceOf(std::uint32_t data_id) const;

  private:
    // Every device of the site, in site order. Replaced whole by a reload,
    // so a reader takes the list (Lines()) and walks it without a lock.
    using LineList = std::vector<std::shared_ptr<LineSupervisor>>;

    void Log(const std::string& text) const;
    bool OpenStore(const SiteConfig& config, std::string& error);
    // The driver a device runs: the override, else its own, else the default.
    std::string DriverFor(const DeviceConfig& cfg) const;
    LineSupervisor::Site LineSite();
    // Loads one device from its driver and replays its stored records; a
    // device that fails is logged and kept with its error. `announce`: tell
    // the stream's present subscribers (a reload) of the device.
    std::shared_ptr<LineSupervisor> LoadLine(const DeviceConfig& cfg, const SiteConfig& config,
                                             bool announce);
    // One line thread per port, shared by the devices of `lines` that name it
    // (appended to loops_, not started).
    bool BuildLines(const std::vector<LineSupervisor*>& lines, const SiteConfig& config,
                    std::string& error);
    std::shared_ptr<LinePort> MakePort(const std::vector<LineSupervisor*>& group,
                                       std::int64_t allowance, const SiteConfig& config,
                                       std::string& error);
    // Hands each unit its newest stored record and finds the units' device
    // types; the records the units took, by unit.
    std::vector<std::optional<HistoryRecord>> Replay(LineSupervisor& line);
    // The stored values, marked as such, until the first cycle.
    void PublishReplayed(LineSupervisor& line,
                         const std::vector<std::optional<HistoryRecord>>& records);
    // Clears the standing alarms of these units (by data id and device
    // type), in order with the alarm work; how many.
    std::size_t ClearAlarms(const std::set<std::pair<std::uint32_t, std::string>>& units);
    std::shared_ptr<const Provenance> ProvenanceOf(std::uint32_t data_id,
                                                   const std::string& device_type) const;
    std::shared_ptr<const LineList> Lines() const;
    void SetLines(std::shared_ptr<const LineList> lines);

    HostOptions options_;
    mutable std::mutex log_mutex_;
    // Declared first so that it goes last: devices' code lives in the libraries.
    PluginLoader loader_;
    std::shared_ptr<SqliteStore> store_;
    std::string store_error_;
    std::shared_ptr<SMDController> controller_;
    mutable std::mutex lines_mutex_;
    std::shared_ptr<const LineList> lines_ = std::make_shared<LineList>();
    // Start, Stop and Reload, one at a time.
    mutable std::mutex control_mutex_;
    SiteConfig config_;  // what runs
    std::vector<std::shared_ptr<DriverLoop>> loops_;
    std::map<std::string, std::shared_ptr<capture::Writer>> captures_;
    bool running_ = false;
    std::atomic<std::int64_t> comm_lost_ms_{60000};
    EventBus events_;
    UnitPoints points_;
};

}  // namespace smd

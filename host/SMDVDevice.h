// Virtual device of the host: data id, controller link, freshness, alarm
// calls, snapshots and history. Every device of a plug-in is one.
#pragma once

#include <json/value.h>

#include <atomic>
#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/HostTypes.h"
#include "host/SMDController.h"
#include "host/VDeviceInterface.h"

class SMDVDevice : public VDeviceInterface, public std::enable_shared_from_this<SMDVDevice> {
  public:
    SMDVDevice();
    ~SMDVDevice() override;

    int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                        int& out_written) override;
    using VDeviceInterface::LoadFromCache;

    virtual void Reset();
    // Links a unit to its parent: the parent's controller and the given data id.
    virtual bool InitV(SMDVDevice* parent, unsigned int data_id, const Json::Value& cfg);
    virtual bool Init(std::weak_ptr<SMDController> controller, unsigned int data_id,
                      const Json::Value& cfg);
    virtual bool InitSetting(const Json::Value& cfg);
    virtual bool IsSupportDevice(const std::string& type) const;
    virtual std::shared_ptr<SMDVDevice> GetChildVDevice(unsigned int /*data_id*/) {
        return std::shared_ptr<SMDVDevice>();
    }
    virtual std::vector<std::shared_ptr<SMDVDevice>> GetAllChildVDevices() {
        return std::vector<std::shared_ptr<SMDVDevice>>();
    }
    // Publishes a snapshot of the device's data; the caller keeps the buffer.
    virtual bool SendSP(int unit_type, const unsigned char* data, unsigned int len, bool flag);
    virtual int SendDelayData(int millis);
    virtual int SendDoData(int channel, char value);
    virtual int ReadDi(int channel);
    virtual float ReadAi(int channel);
    // Value of a signal of this device or of its child with that data id.
    virtual float Get_SP_Value(unsigned int data_id, const std::string& name);
    virtual bool RefreshStatus();
    virtual void process(unsigned char* buf, unsigned int len);
    virtual bool IsProcessing();
    virtual bool IsStalled();
    virtual int SendData(const unsigned char* buf, unsigned int len);
    virtual int SendParityData(const unsigned char* buf, unsigned int len, EnumParity parity);
    virtual bool OpenPort();
    virtual void ClosePort();

    // Alarm services: each call adds one rule to `pending_rules`.
    void CheckThresholdBool(int level, const std::string& key, const std::string& code,
                            const std::string& name, const std::string& detail, bool active,
                            unsigned short seq);
    // A multi-valued point: state 0 is the normal state, any other raises the
    // point; the state's text is appended to the alarm name in parentheses.
    void CheckAlertMap(unsigned char value, int level, const std::string& key,
                       const std::string& code, const std::string& name, const std::string& detail,
                       const std::map<unsigned char, std::string>& texts, unsigned short seq);
    // Runs the closure once on the controller's worker thread (or at once when
    // there is no controller).
    void CheckThresholdWork(std::function<void()> work);
    bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);

    // Host-side services of this host's own (reached by a driver through the
    // extension table or DeviceIoControl, never as framework calls).
    // Room for `count` alarm calls in the emptied `pending_rules`, taken from
    // an evaluated list's storage when one is free.
    void ReserveRules(std::size_t count);
    // A rule list handed back once evaluated (from any thread): the next
    // cycle's alarm calls reuse its text buffers instead of allocating.
    void RecycleRules(std::vector<rule_value>&& rules);
    // The details of this device's standing points with `key`, as the host's
    // alarm table holds them (restored ones included).
    std::vector<std::string> StandingAlarmDetails(const std::string& key) const;
    bool SaveDeviceHistory(const unsigned char* data, unsigned int len);

    template <typename... Args>
    void InfoLog(const char* format, const Args&... args) {
        if (controller_.use_count() == 0) return;
        if (auto c = controller_.lock()) c->InfoLog(format, args...);
    }

    // Host-side accessors (not used by plug-in devices).
    std::shared_ptr<SMDController> Controller() const { return controller_.lock(); }
    SMDVDevice* Parent() const { return parent_; }
    // The lock that serialises every call into a bus device and its units.
    std::recursive_mutex& DeviceMutex();
    // Told by a unit at each cycle end: whether its values changed noticeably.
    std::atomic<bool> notable_change{false};

    std::weak_ptr<SMDController> controller_;
    std::uint16_t alarm_seq = 0;
    boost::posix_time::ptime last_update{boost::gregorian::date(1970, 1, 1)};
    std::uint8_t ready = 0;
    std::vector<rule_value> pending_rules;
    bool alarm_changed = false;

  protected:
    SMDVDevice* parent_ = nullptr;

  private:
    // A rule whose strings keep the capacity of an earlier cycle's, if any.
    rule_value SpareRule();
    // Rules of an evaluated list, taken in order from `spare_next_`.
    std::vector<rule_value> spare_rules_;
    std::size_t spare_next_ = 0;
    std::mutex returned_mutex_;
    std::vector<rule_value> returned_rules_;

  protected:
    Json::Value config_;
    std::vector<unsigned char> last_snapshot_;
    std::atomic<int> last_snapshot_type_{0};
    std::recursive_mutex device_mutex_;
};

#include "host/SMDVDevice.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "plugin/HostExtensionsAbi.h"

SMDVDevice::SMDVDevice() = default;
SMDVDevice::~SMDVDevice() = default;

// Control codes understood by every device of this host.
//   1: copy the latest snapshot into `out`; returns its length, or -3 when
//      `out` is too small (out_written then holds the length needed).
//   host_ext::kIoctlStandingDetails: the details of the device's standing
//      points with the key given in `in`, after the magic, each ended by a
//      NUL; the byte count, or -3 as above.
int SMDVDevice::DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                                int& out_written) {
    out_written = 0;
    std::string answer;
    if (code == 1) {
        answer.assign(last_snapshot_.begin(), last_snapshot_.end());
    } else if (code == host_ext::kIoctlStandingDetails) {
        if (in_len < 0 || (in_len > 0 && !in)) return -1;
        const std::string key(static_cast<const char*>(in), static_cast<std::size_t>(in_len));
        answer.assign(host_ext::kStandingDetailsMagic, sizeof host_ext::kStandingDetailsMagic);
        for (const std::string& detail : StandingAlarmDetails(key)) {
            // A detail cannot carry its own end: cut at an embedded NUL.
            answer.append(detail.c_str());
            answer.push_back('\0');
        }
    } else {
        return -1;
    }
    if (answer.size() > static_cast<std::size_t>(INT32_MAX)) return -1;
    const int need = static_cast<int>(answer.size());
    if (!out || out_len < need) {
        out_written = need;
        return -3;
    }
    if (need > 0) std::memcpy(out, answer.data(), answer.size());
    out_written = need;
    return need;
}

void SMDVDevice::Reset() {}

bool SMDVDevice::InitV(SMDVDevice* parent, unsigned int data_id, const Json::Value& cfg) {
    data_id_ = data_id;
    config_ = cfg;
    parent_ = parent;
    if (!parent) return false;
    controller_ = parent->controller_;
    return true;
}

bool SMDVDevice::Init(std::weak_ptr<SMDController> controller, unsigned int data_id,
                      const Json::Value& cfg) {
    controller_ = std::move(controller);
    data_id_ = data_id;
    config_ = cfg;
    return true;
}

bool SMDVDevice::InitSetting(const Json::Value& /*cfg*/) {
    return true;
}

bool SMDVDevice::IsSupportDevice(const std::string& type) const {
    return type == DeviceType();
}

bool SMDVDevice::SendSP(int unit_type, const unsigned char* data, unsigned int len, bool flag) {
    if (!data && len > 0) return false;
    last_snapshot_.assign(data, data + len);
    last_snapshot_type_ = unit_type;
    if (auto c = controller_.lock()) {
        smd::Snapshot s;
        s.data_id = DataId();
        s.device_type = DeviceType();
        s.unit_type = unit_type;
        s.flag = flag;
        s.changed = notable_change.load();
        s.time = smd::local_time();
        s.bytes = last_snapshot_;
        c->PublishSnapshot(std::move(s));
    }
    return true;
}

// This host drives no relays or discrete inputs through a power system line.
int SMDVDevice::SendDelayData(int /*millis*/) {
    return -2;
}
int SMDVDevice::SendDoData(int /*channel*/, char /*value*/) {
    return -2;
}
int SMDVDevice::ReadDi(int /*channel*/) {
    return -2;
}
float SMDVDevice::ReadAi(int /*channel*/) {
    throw std::out_of_range("数据未提供");
}

float SMDVDevice::Get_SP_Value(unsigned int data_id, const std::string& name) {
    std::lock_guard<std::recursive_mutex> lock(DeviceMutex());
    if (data_id == DataId()) return Get_Value(data_id, name);
    auto child = GetChildVDevice(data_id);
    if (!child) throw std::out_of_range("数据未提供");
    return child->Get_Value(data_id, name);
}

bool SMDVDevice::RefreshStatus() {
    return false;
}
void SMDVDevice::process(unsigned char* /*buf*/, unsigned int /*len*/) {}
bool SMDVDevice::IsProcessing() {
    return false;
}
bool SMDVDevice::IsStalled() {
    return false;
}
int SMDVDevice::SendData(const unsigned char* /*buf*/, unsigned int /*len*/) {
    return -1;
}
int SMDVDevice::SendParityData(const unsigned char* /*buf*/, unsigned int /*len*/,
                               EnumParity /*parity*/) {
    return -1;
}
bool SMDVDevice::OpenPort() {
    return false;
}
void SMDVDevice::ClosePort() {}

rule_value SMDVDevice::SpareRule() {
    if (spare_next_ >= spare_rules_.size()) {
        spare_rules_.clear();
        spare_next_ = 0;
        std::lock_guard<std::mutex> lock(returned_mutex_);
        spare_rules_.swap(returned_rules_);
    }
    if (spare_next_ >= spare_rules_.size()) return rule_value();
    return std::move(spare_rules_[spare_next_++]);
}

void SMDVDevice::CheckThresholdBool(int level, const std::string& key, const std::string& code,
                                    const std::string& name, const std::string& detail, bool active,
                                    unsigned short seq) {
    rule_value r = SpareRule();
    r.active = active ? 1 : 0;
    r.key = key;
    r.code = code;
    r.level = level;
    r.seq = seq;
    r.name = name;
    r.detail = detail;
    r.state = -1;
    pending_rules.push_back(std::move(r));
}

void SMDVDevice::CheckAlertMap(unsigned char value, int level, const std::string& key,
                               const std::string& code, const std::string& name,
                               const std::string& detail,
                               const std::map<unsigned char, std::string>& texts,
                               unsigned short seq) {
    rule_value r = SpareRule();
    r.active = value != 0 ? 1 : 0;
    r.key = key;
    r.code = code;
    r.level = level;
    r.seq = seq;
    // The point is named by key and detail; the state travels in the name.
    r.name = name;
    r.name += '(';
    auto it = texts.find(value);
    if (it != texts.end()) {
        r.name += it->second;
    } else {
        char number[4];
        const int n = std::snprintf(number, sizeof number, "%u", static_cast<unsigned>(value));
        r.name += "状态";
        r.name.append(number, static_cast<std::size_t>(n));
    }
    r.name += ')';
    r.detail = detail;
    r.state = value;
    pending_rules.push_back(std::move(r));
}

void SMDVDevice::ReserveRules(std::size_t count) {
    // The storage of an evaluated list, once its rules are all taken, holds
    // the next cycle's.
    if (pending_rules.empty() && pending_rules.capacity() < count &&
        spare_next_ >= spare_rules_.size() && spare_rules_.capacity() >= count) {
        spare_rules_.clear();
        spare_next_ = 0;
        pending_rules.swap(spare_rules_);
        return;
    }
    pending_rules.reserve(count);
}

void SMDVDevice::RecycleRules(std::vector<rule_value>&& rules) {
    std::lock_guard<std::mutex> lock(returned_mutex_);
    returned_rules_ = std::move(rules);
}

void SMDVDevice::CheckThresholdWork(std::function<void()> work) {
    if (!work) return;
    if (auto c = controller_.lock()) {
        // Taken now, on the line thread: the state the work evaluates.
        c->SubmitWork(std::move(work), c->ProvenanceOf(DataId(), DeviceType()));
        return;
    }
    work();
}

bool SMDVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules) {
    auto c = controller_.lock();
    if (!c) return false;
    return c->EvaluateRules(DataId(), DeviceType(), rules);
}

std::vector<std::string> SMDVDevice::StandingAlarmDetails(const std::string& key) const {
    std::vector<std::string> out;
    auto c = controller_.lock();
    if (!c) return out;
    const std::string type = DeviceType();
    for (const smd::ActiveAlarm& a : c->ActiveAlarms()) {
        if (a.data_id == DataId() && a.device_type == type && a.key == key) {
            out.push_back(a.detail);
        }
    }
    return out;
}

bool SMDVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int len) {
    if (!data && len > 0) return false;
    auto c = controller_.lock();
    if (!c) return false;
    smd::HistoryRecord rec;
    rec.data_id = DataId();
    rec.device_type = DeviceType();
    rec.unit_type = last_snapshot_type_;
    rec.time = smd::local_time();
    rec.bytes.assign(data, data + len);
    c->SaveHistory(std::move(rec));
    return true;
}

std::recursive_mutex& SMDVDevice::DeviceMutex() {
    return parent_ ? parent_->DeviceMutex() : device_mutex_;
}

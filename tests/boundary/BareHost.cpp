// The bodies of the host framework as its declarations give them, and no
// more: what a driver library may resolve against. Each records the call.
#include "tests/boundary/BareHost.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <stdexcept>

#include "host/PMBusProtocol.h"
#include "host/SMDSPDevice.h"
#include "host/SMDVDevice.h"

namespace bare_host {

Journal& journal() {
    static Journal j;
    return j;
}

}  // namespace bare_host

using bare_host::journal;

ttime_t get_ttime(boost::posix_time::ptime t) {
    ttime_t out{};
    if (t.is_special()) return out;
    const unsigned year = static_cast<unsigned>(t.date().year());
    out[0] = static_cast<unsigned char>(year & 0xFF);
    out[1] = static_cast<unsigned char>(year >> 8);
    out[2] = static_cast<unsigned char>(t.date().month().as_number());
    out[3] = static_cast<unsigned char>(t.date().day().as_number());
    out[4] = static_cast<unsigned char>(t.time_of_day().hours());
    out[5] = static_cast<unsigned char>(t.time_of_day().minutes());
    out[6] = static_cast<unsigned char>(t.time_of_day().seconds());
    return out;
}

// --- SMDVDevice

SMDVDevice::SMDVDevice() = default;
SMDVDevice::~SMDVDevice() = default;

int SMDVDevice::DeviceIoControl(int, const void*, int, void*, int, int&) {
    return -2;
}
void SMDVDevice::Reset() {}
bool SMDVDevice::InitV(SMDVDevice* parent, unsigned int data_id, const Json::Value&) {
    data_id_ = data_id;
    parent_ = parent;
    if (parent) controller_ = parent->controller_;
    return parent != nullptr;
}
bool SMDVDevice::Init(std::weak_ptr<SMDController> controller, unsigned int data_id,
                      const Json::Value&) {
    controller_ = std::move(controller);
    data_id_ = data_id;
    return true;
}
bool SMDVDevice::InitSetting(const Json::Value&) {
    return true;
}
bool SMDVDevice::IsSupportDevice(const std::string& type) const {
    return type == DeviceType();
}
bool SMDVDevice::SendSP(int unit_type, const unsigned char* data, unsigned int len, bool) {
    journal().published.push_back({DataId(), unit_type, {data, data + len}});
    return true;
}
int SMDVDevice::SendDelayData(int) {
    return -2;
}
int SMDVDevice::SendDoData(int, char) {
    return -2;
}
int SMDVDevice::ReadDi(int) {
    return -2;
}
float SMDVDevice::ReadAi(int) {
    throw std::out_of_range("数据未提供");
}
float SMDVDevice::Get_SP_Value(unsigned int data_id, const std::string& name) {
    return Get_Value(data_id, name);
}
bool SMDVDevice::RefreshStatus() {
    return false;
}
void SMDVDevice::process(unsigned char*, unsigned int) {}
bool SMDVDevice::IsProcessing() {
    return false;
}
bool SMDVDevice::IsStalled() {
    return false;
}
int SMDVDevice::SendData(const unsigned char*, unsigned int) {
    return -1;
}
int SMDVDevice::SendParityData(const unsigned char*, unsigned int, EnumParity) {
    return -1;
}
bool SMDVDevice::OpenPort() {
    return false;
}
void SMDVDevice::ClosePort() {}

void SMDVDevice::CheckThresholdBool(int level, const std::string& key, const std::string& code,
                                    const std::string& name, const std::string& detail, bool active,
                                    unsigned short seq) {
    rule_value r;
    r.active = active ? 1 : 0;
    r.key = key;
    r.code = code;
    r.level = level;
    r.seq = seq;
    r.name = name;
    r.detail = detail;
    pending_rules.push_back(std::move(r));
}
void SMDVDevice::CheckAlertMap(unsigned char value, int level, const std::string& key,
                               const std::string& code, const std::string& name,
                               const std::string& detail,
                               const std::map<unsigned char, std::string>&, unsigned short seq) {
    CheckThresholdBool(level, key, code, name, detail, value != 0, seq);
    pending_rules.back().state = value;
}
void SMDVDevice::CheckThresholdWork(std::function<void()> work) {
    journal().work.push_back(std::move(work));
}
bool SMDVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules) {
    journal().evaluated.insert(journal().evaluated.end(), rules.begin(), rules.end());
    return false;
}
bool SMDVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int len) {
    journal().stored.push_back({DataId(), 0, {data, data + len}});
    return true;
}

// --- SMDSPDevice: polling is always possible; the test plays the line.

SMDSPDevice::SMDSPDevice() = default;
SMDSPDevice::~SMDSPDevice() = default;

void SMDSPDevice::Reset() {
    ++journal().resets;
    serial_state = 0;
}
bool SMDSPDevice::Init(std::weak_ptr<SMDController> controller, unsigned int data_id,
                       const Json::Value& cfg) {
    return SMDVDevice::Init(std::move(controller), data_id, cfg);
}
bool SMDSPDevice::RefreshStatus() {
    return true;
}
void SMDSPDevice::process(unsigned char*, unsigned int) {}
bool SMDSPDevice::IsProcessing() {
    return serial_state != 0;
}
bool SMDSPDevice::IsStalled() {
    return false;
}
int SMDSPDevice::SendData(const unsigned char*, unsigned int len) {
    return static_cast<int>(len);
}
int SMDSPDevice::SendParityData(const unsigned char*, unsigned int len, EnumParity) {
    return static_cast<int>(len);
}
bool SMDSPDevice::OpenPort() {
    return true;
}
void SMDSPDevice::ClosePort() {}

// --- PMBusProtocol: process() takes an answer record already decoded
// (version, address, CID1, RTN, LENID low and high, INFO).

PMBusProtocol::PMBusProtocol() : answer_buffer_(kAnswerHeader + kMaxInfoBytes + 1, 0) {
    answer_ = answer_buffer_.data();
}
PMBusProtocol::~PMBusProtocol() = default;

bool PMBusProtocol::InitSetting(const Json::Value&) {
    return true;
}
void PMBusProtocol::process(unsigned char* buf, unsigned int len) {
    if (!buf || len < kAnswerHeader || len > answer_buffer_.size()) return;
    std::copy(buf, buf + len, answer_buffer_.begin());
    serial_state = 0;
    journal().payload_results.push_back(process_payload());
}
int PMBusProtocol::process_payload() {
    return 1;
}
void PMBusProtocol::process_error() {}
int PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2) {
    return write_pmbus_cmd(cid1, cid2, nullptr, 0);
}
int PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2,
                                   const unsigned char* info, int len) {
    bare_host::Command c{cid1, cid2, {}};
    if (info && len > 0) c.info.assign(info, info + len);
    journal().commands.push_back(std::move(c));
    serial_state = 1;
    return 18 + 2 * (len > 0 ? len : 0);
}

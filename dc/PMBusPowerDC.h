// DC distribution unit: decodes its sections of the DC analog (0x42/0x41) and
// alarm (0x42/0x44) answers into one packed record, serves "v" and "i", and at
// each cycle end publishes and stores the record and states its alarm points.
// A concrete unit adds its device type and its user-defined alarm table.
#pragma once

#include <json/value.h>

#include <boost/lexical_cast.hpp>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "dc/DcRecords.h"
#include "host/ByteReader.h"
#include "host/HostTypes.h"
#include "host/SMDSPDevice.h"
#include "host/ValueReply.h"
#include "plugin/HostExtensions.h"

namespace dc_rules {

// A point raised when one state byte of the record equals `value`.
struct StateRule {
    const char* key;
    const char* code;
    int level;
    const char* name;
    const char* detail;
    unsigned char value;
};

// Output voltage state (`v_state`), stated every cycle in this order.
inline constexpr StateRule kVoltageRules[] = {
    {"DC_0", "06008", 3, "输出电压过低告警", "输出电压过低告警", 1},
    {"DC_1", "06009", 3, "输出电压过高告警", "输出电压过高告警", 2},
};

// One point per battery fuse k = 1.. ; the detail is head + k + tail.
struct FuseRule {
    const char* key;
    const char* code;
    int level;
    const char* name;
    const char* detail_head;
    const char* detail_tail;
    unsigned char fault;
};
inline constexpr FuseRule kFuseRule = {
    "DC_3", "06001", 1, "电池熔丝故障告警", "直流", "电池熔丝故障告警", 3};

inline std::string fuse_detail(unsigned k) {
    return std::string(kFuseRule.detail_head) + boost::lexical_cast<std::string>(k) +
           kFuseRule.detail_tail;
}

// A point's texts as the alarm calls take them, made once for the program.
struct PointTexts {
    std::string key;
    std::string code;
    std::string name;
    std::string detail;
};

inline const std::vector<PointTexts>& voltage_texts() {
    static const std::vector<PointTexts> texts = [] {
        std::vector<PointTexts> t;
        for (const StateRule& r : kVoltageRules) t.push_back({r.key, r.code, r.name, r.detail});
        return t;
    }();
    return texts;
}

// Fuse k (from 1) at index k - 1.
template <unsigned Fuses>
const std::vector<PointTexts>& fuse_texts() {
    static const std::vector<PointTexts> texts = [] {
        std::vector<PointTexts> t;
        for (unsigned k = 1; k <= Fuses; ++k) {
            t.push_back({kFuseRule.key, kFuseRule.code, kFuseRule.name, fuse_detail(k)});
        }
        return t;
    }();
    return texts;
}

// Four record bytes, least significant first, as an IEEE 754 single.
inline float f32_le(const unsigned char* p) {
    const std::uint32_t bits =
        static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
        (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
    float out;
    std::memcpy(&out, &bits, sizeof out);
    return out;
}

// Stored in place of a user-defined value the monitoring unit cannot give:
// -0.1f (0xBDCCCCCD), least significant byte first.
inline constexpr unsigned char kNotAvailableUserValue[4] = {0xCD, 0xCC, 0xCC, 0xBD};

// Data this many whole seconds old, or this far in the future (a clock set
// back), is no longer served.
inline constexpr std::int64_t kStaleSeconds = 61;

}  // namespace dc_rules

template <typename TeleDC, int RT_DC>
class PMBusPowerDC : public SMDSPDevice {
  public:
    PMBusPowerDC() = default;
    explicit PMBusPowerDC(const std::string& text) : model_text(text) {}

    using SMDVDevice::LoadFromCache;

    float Get_Value(unsigned int id, const std::string& name) const override;
    bool LoadFromCache(const unsigned char* data, int len) override;
    void RoundDone() override;
    bool InitV(SMDVDevice* parent, unsigned int data_id, const Json::Value& cfg) override;

    // Each takes the unit's section of the answer's INFO (`len` bytes left from
    // `buf`) and returns the bytes it took, or -1 when the answer must be dropped.
    virtual int parse42_41(const unsigned char* buf, int len);
    virtual int parse42_44(const unsigned char* buf, int len);
    // The concrete unit's user-defined alarm points; called by RoundDone.
    virtual void DoImpCheckAlert() = 0;

    TeleDC record{};
    float last_v = 0.0f;
    float last_i = 0.0f;
    float diff_v = 0.1f;
    float diff_i = 20.0f;
    std::string name_text;
    std::string model_text;

  private:
    int Overflow(const char* format, int needed, int len) {
        host_ext::Log(*this, format, DataId(), needed, len);
        return -1;
    }
};

template <typename TeleDC, int RT_DC>
bool PMBusPowerDC<TeleDC, RT_DC>::InitV(SMDVDevice* parent, unsigned int data_id,
                                        const Json::Value& cfg) {
    for (int b = 0; b < 4; ++b)
        record.data_id[b] = static_cast<unsigned char>((data_id >> (8 * b)) & 0xFF);
    // Only an object has members; anything else leaves the defaults.
    if (cfg.isObject()) {
        const Json::Value& app = cfg["appSetting"];
        if (!app.isNull() && app.isObject()) {
            const Json::Value& dv = app["diff_v"];
            if (!dv.isNull()) diff_v = static_cast<float>(std::atof(dv.asString().c_str()));
            const Json::Value& di = app["diff_i"];
            if (!di.isNull()) diff_i = static_cast<float>(std::atof(di.asString().c_str()));
        }
    }
    return SMDSPDevice::InitV(parent, data_id, cfg);
}

template <typename TeleDC, int RT_DC>
int PMBusPowerDC<TeleDC, RT_DC>::parse42_41(const unsigned char* buf, int len) {
    static constexpr const char* kOverflow =
        "PMBusPowerAC:ProcotolError {} read 42_41 read overflow {} - {}";
    ByteReader in(buf, len);

    // The head bytes go to standard output; a section shorter than four bytes
    // shows only the bytes it has.
    std::uint8_t head[4] = {0, 0, 0, 0};
    int have = 0;
    while (have < 4 && in.byte_at(have, head[have])) ++have;
    if (have == 4) {
        std::printf("parse 42 41: %x %x %x %x\n", static_cast<unsigned>(head[0]),
                    static_cast<unsigned>(head[1]), static_cast<unsigned>(head[2]),
                    static_cast<unsigned>(head[3]));
    } else {
        std::printf("parse 42 41:");
        for (int b = 0; b < have; ++b) std::printf(" %x", static_cast<unsigned>(head[b]));
        std::printf("\n");
    }

    if (!in.read_bytes(record.v, 4)) return Overflow(kOverflow, in.end_of(4), len);
    if (!in.read_bytes(record.i, 4)) return Overflow(kOverflow, in.end_of(4), len);

    // A block of values is checked as a whole before any of it is read or
    // passed over, so a truncated block leaves every slot as it was.
    std::uint8_t m = 0;
    if (!in.read_u8(m)) return Overflow(kOverflow, in.end_of(1), len);
    record.dc_m = m;
    const int m_bytes = 4 * static_cast<int>(m);
    if (m > TeleDC::M_SIZE()) {
        host_ext::Log(*this,
                      "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read dc_m is {}, MAX_M is {}",
                      DataId(), record.dc_m, TeleDC::M_SIZE());
        if (!in.skip(m_bytes)) return Overflow(kOverflow, in.end_of(m_bytes), len);
    } else if (!in.read_bytes(record.m_value, m_bytes)) {
        return Overflow(kOverflow, in.end_of(m_bytes), len);
    }

    std::uint8_t n = 0;
    if (!in.read_u8(n)) return Overflow(kOverflow, in.end_of(1), len);
    record.dc_n = n;
    const int n_bytes = 4 * static_cast<int>(n);
    if (n > TeleDC::N_SIZE()) {
        host_ext::Log(*this,
                      "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read dc_n is {}, MAX_N is {}",
                      DataId(), record.dc_n, TeleDC::N_SIZE());
        if (!in.skip(n_bytes)) return Overflow(kOverflow, in.end_of(n_bytes), len);
    } else if (!in.read_bytes(record.n_value, n_bytes)) {
        return Overflow(kOverflow, in.end_of(n_bytes), len);
    }

    std::uint8_t p = 0;
    if (!in.read_u8(p)) return Overflow(kOverflow, in.end_of(1), len);
    record.p_count = p;
    if (p > TeleDC::P_SIZE()) {
        host_ext::Log(
            *this,
            "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read p_count is {}, support user_p max "
            "is {}",
            DataId(), record.p_count, TeleDC::P_SIZE());
        // The section's end is unknown: the rest of the answer counts as taken.
        return len;
    }
    const int p_bytes = 4 * static_cast<int>(p);
    if (!in.can_read(p_bytes)) return Overflow(kOverflow, in.end_of(p_bytes), len);
    for (int k = 0; k < p; ++k) {
        unsigned char raw[4] = {};
        in.read_bytes(raw, 4);
        const unsigned char* keep = is_not_available(raw) ? dc_rules::kNotAvailableUserValue : raw;
        std::memcpy(record.user_p[k], keep, 4);
    }
    return in.offset();
}

template <typename TeleDC, int RT_DC>
int PMBusPowerDC<TeleDC, RT_DC>::parse42_44(const unsigned char* buf, int len) {
    static constexpr const char* kOverflow =
        "PMBusPowerAC:ProcotolError {} read 42_44 read overflow {} - {}";
    ByteReader in(buf, len);

    if (!in.read_u8(record.v_state)) return Overflow(kOverflow, in.end_of(1), len);
    if (!in.read_u8(record.alert_m_count)) return Overflow(kOverflow, in.end_of(1), len);

    // The kept states are copied first and only then is the whole block
    // checked against the answer: a block cut short keeps the states that
    // arrived and reports where the block would have ended. States beyond the
    // slots are passed over without a message.
    const int am = record.alert_m_count;
    const int am_kept = am < TeleDC::ALERT_M_SIZE() ? am : TeleDC::ALERT_M_SIZE();
    if (!in.read_bytes(record.alert_m, am_kept))
        return Overflow(kOverflow, in.end_of(am_kept), len);
    if (!in.skip(am - am_kept)) return Overflow(kOverflow, in.end_of(am - am_kept), len);

    if (!in.read_u8(record.alert_p_count)) return Overflow(kOverflow, in.end_of(1), len);
    const int ap = record.alert_p_count;
    if (ap > TeleDC::ALERT_P_SIZE()) {
        host_ext::Log(
            *this,
            "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read 42_44 p is {},  alert_p is {}",
            DataId(), record.alert_p_count, TeleDC::ALERT_P_SIZE());
    }
    const int ap_kept = ap < TeleDC::ALERT_P_SIZE() ? ap : TeleDC::ALERT_P_SIZE();
    if (!in.read_bytes(record.alert_p, ap_kept))
        return Overflow(kOverflow, in.end_of(ap_kept), len);
    if (!in.skip(ap - ap_kept)) return Overflow(kOverflow, in.end_of(ap - ap_kept), len);
    return in.offset();
}

template <typename TeleDC, int RT_DC>
float PMBusPowerDC<TeleDC, RT_DC>::Get_Value(unsigned int /*id*/, const std::string& name) const {
    if (ready != 1) value_reply::NotReady();
    const boost::posix_time::ptime now = host_ext::LocalTime();
    if (now.is_special() || last_update.is_special()) value_reply::TimedOut();
    const std::int64_t age = static_cast<std::int64_t>((now - last_update).total_seconds());
    if (age >= dc_rules::kStaleSeconds || age <= -dc_rules::kStaleSeconds) value_reply::TimedOut();
    if (name == "v") return dc_rules::f32_le(record.v);
    if (name == "i") return dc_rules::f32_le(record.i);
    value_reply::NotReady();
}

template <typename TeleDC, int RT_DC>
bool PMBusPowerDC<TeleDC, RT_DC>::LoadFromCache(const unsigned char* data, int len) {
    // A blob of another length is no record of ours: keep everything as it is.
    if (!data || len != static_cast<int>(sizeof(TeleDC))) return false;
    std::memcpy(&record, data, sizeof(TeleDC));
    ready = 1;
    last_update = host_ext::LocalTime();
    return true;
}

template <typename TeleDC, int RT_DC>
void PMBusPowerDC<TeleDC, RT_DC>::RoundDone() {
    last_update = host_ext::LocalTime();
    const ttime_t stamp = get_ttime(host_ext::LocalTime());
    std::memcpy(record.ttime, stamp.data(), sizeof record.ttime);

    const float v = dc_rules::f32_le(record.v);
    const float i = dc_rules::f32_le(record.i);
    bool changed = false;
    if (ready != 1) {
        ready = 1;
        changed = true;
    }
    // For the host: whether this cycle's values moved noticeably since the
    // last one. The record is published and stored every cycle regardless.
    if (std::fabs(last_v - v) >= diff_v || std::fabs(last_i - i) >= diff_i) changed = true;
    host_ext::NoteChange(*this, changed);
    last_v = v;
    last_i = i;

    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&record);
    SendSP(RT_DC, bytes, sizeof(TeleDC), false);

    alarm_seq = 1;
    const std::vector<dc_rules::PointTexts>& voltage = dc_rules::voltage_texts();
    for (std::size_t r = 0; r < voltage.size(); ++r) {
        const auto& rule = dc_rules::kVoltageRules[r];
        CheckThresholdBool(rule.level, voltage[r].key, voltage[r].code, voltage[r].name,
                           voltage[r].detail, record.v_state == rule.value, alarm_seq++);
    }
    if (record.alert_m_count == TeleDC::ALERT_M_SIZE()) {
        const auto& fuse = dc_rules::kFuseRule;
        const std::vector<dc_rules::PointTexts>& fuses =
            dc_rules::fuse_texts<TeleDC::ALERT_M_SIZE()>();
        for (unsigned k = 1; k <= TeleDC::ALERT_M_SIZE(); ++k) {
            const dc_rules::PointTexts& t = fuses[k - 1];
            CheckThresholdBool(fuse.level, t.key, t.code, t.name, t.detail,
                               record.alert_m[k - 1] == fuse.fault, alarm_seq++);
        }
    }
    DoImpCheckAlert();

    // The closure may run on another thread after the next cycle has begun
    // rewriting the record, so it stores its own copy of this cycle's record.
    // It hands its rule list back for the next cycle's alarm calls.
    const std::size_t rule_count = pending_rules.size();
    std::shared_ptr<SMDVDevice> self = shared_from_this();
    PMBusPowerDC* unit = this;
    std::vector<unsigned char> copy(bytes, bytes + sizeof(TeleDC));
    CheckThresholdWork([self = std::move(self), unit, rules = std::move(pending_rules),
                        copy = std::move(copy)]() mutable {
        const bool result = unit->DoBatchCheckThreshold(rules);
        unit->alarm_changed = result || unit->alarm_changed;
        unit->SaveDeviceHistory(copy.data(), static_cast<unsigned int>(copy.size()));
        host_ext::RecycleRules(*unit, std::move(rules));
    });
    host_ext::ReserveRules(*this, rule_count);
}

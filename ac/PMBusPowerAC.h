// The AC distribution unit: decodes its blocks of the 0x40 answers into its
// records, serves their values by name, and at each cycle end publishes and
// stores its history record and registers its alarm points.
#pragma once

#include <json/value.h>

#include <algorithm>
#include <boost/lexical_cast.hpp>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ac/AcRecords.h"
#include "host/ByteReader.h"
#include "host/HostTypes.h"
#include "host/SMDSPDevice.h"
#include "host/ValueReply.h"
#include "plugin/HostExtensions.h"

namespace ac_alarm {

// The state byte an alarm point reads.
enum class Source : std::uint8_t {
    a_state,
    b_state,
    c_state,
    f_state,
    ia_alert,
    ib_alert,
    ic_alert,
};

constexpr bool per_channel(Source s) {
    return s <= Source::f_state;
}

// One alarm point kind: registered once per channel for the channel states,
// once per cycle for the phase current states. For a channel point the
// detail follows the channel prefix.
struct Rule {
    const char* key;
    int level;
    const char* code;
    const char* name;
    const char* detail;
    Source source;
    std::uint8_t value;  // the state that raises the point
};

// In registration order. Operators and downstream alarm rules match on these
// texts; the keys skip "AC_11".
inline constexpr Rule kRules[] = {
    {"AC_0", 3, "06015", "交流输入电压过低告警", "输入线/相电压AB/A", Source::a_state, 1},
    {"AC_1", 3, "06015", "交流输入电压过低告警", "输入线/相电压BC/B", Source::b_state, 1},
    {"AC_2", 3, "06015", "交流输入电压过低告警", "输入线/相电压CA/C", Source::c_state, 1},
    {"AC_3", 3, "06019", "交流输入频率过低告警", "频率", Source::f_state, 1},
    {"AC_4", 2, "06014", "交流输入电压过高告警", "输入线/相电压AB/A", Source::a_state, 2},
    {"AC_5", 2, "06014", "交流输入电压过高告警", "输入线/相电压BC/B", Source::b_state, 2},
    {"AC_6", 2, "06014", "交流输入电压过高告警", "输入线/相电压CA/C", Source::c_state, 2},
    {"AC_7", 2, "06018", "交流输入频率过高告警", "频率", Source::f_state, 2},
    {"AC_8", 2, "06017", "交流输入缺相告警", "输入线/相电压AB/A", Source::a_state, 3},
    {"AC_9", 2, "06017", "交流输入缺相告警", "输入线/相电压BC/B", Source::b_state, 3},
    {"AC_10", 2, "06017", "交流输入缺相告警", "输入线/相电压CA/C", Source::c_state, 3},
    {"AC_12", 3, "06029", "A相输入电流低于下限", "其他告警", Source::ia_alert, 1},
    {"AC_13", 3, "06029", "B相输入电流低于下限", "其他告警", Source::ib_alert, 1},
    {"AC_14", 3, "06029", "C相输入电流低于下限", "其他告警", Source::ic_alert, 1},
    {"AC_15", 3, "06029", "A相输入电流高于上限", "其他告警", Source::ia_alert, 2},
    {"AC_16", 3, "06029", "B相输入电流高于上限", "其他告警", Source::ib_alert, 2},
    {"AC_17", 3, "06029", "C相输入电流高于上限", "其他告警", Source::ic_alert, 2},
    {"AC_18", 3, "06029", "A相输入电流缺项", "其他告警", Source::ia_alert, 3},
    {"AC_19", 3, "06029", "B相输入电流缺项", "其他告警", Source::ib_alert, 3},
    {"AC_20", 3, "06029", "C相输入电流缺项", "其他告警", Source::ic_alert, 3},
};

inline constexpr const char* kChannelPrefix = "交流屏";
inline constexpr std::size_t kRuleCount = sizeof(kRules) / sizeof(kRules[0]);

// A rule's texts as the alarm calls take them, made once for the program.
struct RuleTexts {
    std::string key;
    std::string code;
    std::string name;
    std::string detail;
};

inline const std::vector<RuleTexts>& rule_texts() {
    static const std::vector<RuleTexts> texts = [] {
        std::vector<RuleTexts> t;
        for (const Rule& r : kRules) t.push_back({r.key, r.code, r.name, r.detail});
        return t;
    }();
    return texts;
}

// The detail of a channel point: the channel prefix, the channel number
// (from 1) and the rule's detail.
inline std::string channel_detail(std::size_t channel, const Rule& rule) {
    return kChannelPrefix + boost::lexical_cast<std::string>(channel + 1) + rule.detail;
}

}  // namespace ac_alarm

namespace ac_detail {

// A channel value name: the pattern channel_(\d+)_(.+?) searched anywhere in
// the name (the lazy group takes exactly one character, never a line end).
struct ChannelName {
    bool found = false;
    std::string_view digits;
    char letter = 0;
};

inline ChannelName match_channel_name(std::string_view name) {
    static constexpr std::string_view kHead = "channel_";
    for (std::size_t pos = name.find(kHead); pos != std::string_view::npos;
         pos = name.find(kHead, pos + 1)) {
        std::size_t end = pos + kHead.size();
        while (end < name.size() && name[end] >= '0' && name[end] <= '9') ++end;
        const std::size_t first_digit = pos + kHead.size();
        if (end == first_digit) continue;
        if (end + 1 >= name.size() || name[end] != '_') continue;
        const char letter = name[end + 1];
        if (letter == '\n' || letter == '\r') continue;
        return ChannelName{true, name.substr(first_digit, end - first_digit), letter};
    }
    return ChannelName{};
}

// The channel index of a digit string, if it is below `count`. Leading zeros
// are allowed; an index of any length is judged without overflow.
inline bool channel_index(std::string_view digits, std::size_t count, std::size_t& index) {
    std::size_t value = 0;
    for (char d : digits) {
        value = value * 10 + static_cast<std::size_t>(d - '0');
        if (value >= count) return false;  // it only grows from here
    }
    if (value >= count) return false;
    index = value;
    return true;
}

// A threshold from the configuration, narrowed to float without leaving its range.
inline float narrow_threshold(double v) {
    if (std::isfinite(v) && std::fabs(v) > static_cast<double>(FLT_MAX)) {
        return v > 0 ? std::numeric_limits<float>::infinity()
                     : -std::numeric_limits<float>::infinity();
    }
    return static_cast<float>(v);
}

}  // namespace ac_detail

template <typename AC, typename CH, int TYPE>
class PMBusPowerAC : public SMDSPDevice {
  public:
    PMBusPowerAC() = default;
    ~PMBusPowerAC() override = default;

    using VDeviceInterface::LoadFromCache;

    float Get_Value(unsigned int /*data_id*/, const std::string& name) const override {
        if (!ready) value_reply::NotReady();
        const std::int64_t age = (host_ext::LocalTime() - last_update).total_seconds();
        // A clock set back by a minute or more makes the data as untrustworthy as old data.
        if (age >= 61 || age <= -61) value_reply::TimedOut();
        if (name == "ia") return ac.ia;
        if (name == "ib") return ac.ib;
        if (name == "ic") return ac.ic;
        if (name == "ia_alert") return static_cast<float>(ac.ia_alert);
        if (name == "ib_alert") return static_cast<float>(ac.ib_alert);
        if (name == "ic_alert") return static_cast<float>(ac.ic_alert);
        const ac_detail::ChannelName m = ac_detail::match_channel_name(name);
        if (!m.found) value_reply::NotProvided();
        std::size_t index = 0;
        if (!ac_detail::channel_index(m.digits, channels.size(), index)) {
            value_reply::ChannelOutOfRange();
        }
        const CH& ch = channels[index];
        switch (m.letter) {
            case 'a':
                return ch.a;
            case 'b':
                return ch.b;
            case 'c':
                return ch.c;
            case 'f':
                return ch.f;
            default:
                value_reply::NotProvided();
        }
    }

    // Takes back a history record stored by RoundDone. A record whose length
    // does not fit its own channel count changes nothing: a corrupt blob must
    // not pin a channel count that every later analog answer would contradict.
    bool LoadFromCache(const unsigned char* data, int len) override {
        if (!data || len <= static_cast<int>(sizeof(AC))) return false;
        const std::uint8_t count = data[offsetof(AC, channel_count)];
        if (static_cast<std::size_t>(len) - sizeof(AC) != sizeof(CH) * count) return false;
        std::memcpy(&ac, data, sizeof(AC));
        channels.assign(count, CH{});
        if (count > 0) std::memcpy(channels.data(), data + sizeof(AC), sizeof(CH) * count);
        count_candidate = 0;
        count_streak = 0;
        ready = 1;
        last_update = host_ext::LocalTime();
        return true;
    }

    void RoundDone() override {
        last_update = host_ext::LocalTime();
        const ttime_t stamp = get_ttime(host_ext::LocalTime());
        std::memcpy(ac.ttime, stamp.data(), sizeof(ac.ttime));

        // The record length always follows the current channel count; the
        // previous cycle's record is kept until the change indication is made.
        const std::uint32_t size =
            static_cast<std::uint32_t>(sizeof(AC) + sizeof(CH) * channels.size());
        std::unique_ptr<unsigned char[]> previous;
        const unsigned char* last = nullptr;
        std::uint32_t last_size = 0;
        if (history && history_size == size) {
            last = history.get();
            last_size = size;
        } else {
            last_size = history ? history_size : 0;
            previous = std::move(history);
            last = previous.get();
            history = std::make_unique<unsigned char[]>(size);
            history_size = size;
        }
        const bool changed = !ready || NoticeablyChanged(last, last_size);

        std::memcpy(history.get(), &ac, sizeof(AC));
        if (!channels.empty()) {
            std::memcpy(history.get() + sizeof(AC), channels.data(), sizeof(CH) * channels.size());
        }
        previous.reset();
        if (!ready) ready = 1;
        host_ext::NoteChange(*this, changed);
        SendSP(TYPE, history.get(), history_size, false);

        alarm_seq = 1;
        BuildChannelDetails();
        for (std::size_t i = 0; i < channels.size(); ++i) RegisterRules(&channels[i], i);
        RegisterRules(nullptr, 0);
        DoImpCheckAlert();
        // Channels gone with a count change: their points are cleared once
        // here, numbered after every other point of the cycle.
        for (std::size_t i = channels.size(); i < removed_until; ++i) {
            RegisterRules(nullptr, i, true);
        }
        removed_until = 0;

        // The closure stores its own copy: it may run on the controller's
        // worker thread while the next cycle rewrites the buffer. It hands
        // its rule list back for the next cycle's alarm calls.
        const std::size_t rule_count = pending_rules.size();
        std::vector<unsigned char> record(history.get(), history.get() + history_size);
        std::shared_ptr<SMDVDevice> self = shared_from_this();
        PMBusPowerAC* unit = this;
        std::function<void()> work = [self, unit, rules = std::move(pending_rules),
                                      record = std::move(record)]() mutable {
            if (unit->DoBatchCheckThreshold(rules)) unit->alarm_changed = true;
            unit->SaveDeviceHistory(record.data(), static_cast<unsigned int>(record.size()));
            host_ext::RecycleRules(*unit, std::move(rules));
        };
        CheckThresholdWork(std::move(work));
        host_ext::ReserveRules(*this, rule_count);
    }

    bool InitV(SMDVDevice* parent, unsigned int data_id, const Json::Value& cfg) override {
        unsigned char* id = reinterpret_cast<unsigned char*>(&ac) + offsetof(AC, data_id);
        for (int i = 0; i < 4; ++i) id[i] = static_cast<unsigned char>((data_id >> (8 * i)) & 0xFF);
        if (cfg.isObject()) {
            const Json::Value& app = cfg["appSetting"];
            if (!app.isNull() && app.isObject()) {
                if (!app["diff_v"].isNull()) {
                    diff_v =
                        ac_detail::narrow_threshold(std::atof(app["diff_v"].asString().c_str()));
                }
                if (!app["diff_i"].isNull()) {
                    diff_i =
                        ac_detail::narrow_threshold(std::atof(app["diff_i"].asString().c_str()));
                }
            }
        }
        return SMDVDevice::InitV(parent, data_id, cfg);
    }

    // Analog values: M, one channel part per channel, the three phase currents.
    virtual int parse40_41(const unsigned char* buf, int len) {
        ByteReader r(buf, len);
        auto overflow = [&](int needed) {
            host_ext::Log(*this, "PMBusPowerAC:ProcotolError {} read 40_41 read overflow {} - {}",
                          DataId(), needed, len);
            return -1;
        };
        std::uint8_t m = 0;
        if (!r.read_u8(m)) return overflow(r.end_of(1));
        if (channels.empty()) {
            TakeChannelCount(m);
        } else if (m != ac.channel_count) {
            // A panel really added or removed reports its new count every time;
            // a single odd answer is refused.
            if (!ChannelCountConfirmed(m)) return -1;
            const std::uint8_t old_count = ac.channel_count;
            host_ext::Log(*this,
                          "PMBusPowerAC:ProcotolError {} read 40_41 channel count {} changed to {}",
                          DataId(), old_count, m);
            ChangeChannelCount(m);
        } else {
            count_candidate = 0;
            count_streak = 0;
        }
        for (CH& ch : channels) {
            if (!ReadValue(r, &ch.a, 0.0f)) return overflow(r.end_of(4));
            if (!ReadValue(r, &ch.b, 0.0f)) return overflow(r.end_of(4));
            if (!ReadValue(r, &ch.c, 0.0f)) return overflow(r.end_of(4));
            if (!ReadValue(r, &ch.f, 0.0f)) return overflow(r.end_of(4));
            const float a = ch.a, b = ch.b, c = ch.c, f = ch.f;
            std::cout << "a:" << a << " b:" << b << " c:" << c << " f:" << f << std::endl;
            std::uint8_t p = 0;
            if (!r.read_u8(p)) return overflow(r.end_of(1));
            ch.p_count = p;
            if (p != CH::P40_41_SIZE()) {
                host_ext::Log(*this, "PMBusPowerAC:ProcotolError {} read 40_41 p is {} not {}",
                              DataId(), p, CH::P40_41_SIZE());
                if (!r.skip(4 * p)) return overflow(r.end_of(4 * p));
            } else {
                if constexpr (CH::P40_41_SIZE() > 0) {
                    for (int k = 0; k < CH::P40_41_SIZE(); ++k) {
                        if (!ReadValue(r, &ch.p_value[k], -0.1f)) return overflow(r.end_of(4));
                    }
                }
            }
        }
        if (!ReadValue(r, &ac.ia, -0.1f)) return overflow(r.end_of(4));
        if (!ReadValue(r, &ac.ib, -0.1f)) return overflow(r.end_of(4));
        if (!ReadValue(r, &ac.ic, -0.1f)) return overflow(r.end_of(4));
        return r.offset();
    }

    // Status values: m breaker states, p user-defined status bytes.
    virtual int parse40_43(const unsigned char* buf, int len) {
        ByteReader r(buf, len);
        auto overflow = [&](int needed) {
            host_ext::Log(*this, "PMBusPowerAC:ProcotolError {} read 40_43 read overflow {} - {}",
                          DataId(), needed, len);
            return -1;
        };
        std::uint8_t m = 0;
        if (!r.read_u8(m)) return overflow(r.end_of(1));
        ac.airlock_count = m;
        if (m > AC::AIRLOCK_MAX()) {
            host_ext::Log(*this, "ProcotolError %u read 40_43 m is %d max %d", DataId(), m,
                          AC::AIRLOCK_MAX());
            return -1;
        }
        if (!r.read_bytes(ac.airlock_state, m)) return overflow(r.end_of(m));
        std::uint8_t p = 0;
        if (!r.read_u8(p)) return overflow(r.end_of(1));
        ac.status_p_count = p;
        if (p != AC::P40_43_SIZE()) {
            host_ext::Log(*this, "PMBusPowerAC:ProcotolError P{} read 40_43 p is {} not {}",
                          DataId(), p, AC::P40_43_SIZE());
            // The next unit must never start past the answer.
            if (!r.skip(p)) return overflow(r.end_of(p));
            return r.offset();
        }
        if (!r.read_bytes(ac.status_p, p)) return overflow(r.end_of(p));
        return r.offset();
    }

    // Alarm states: a byte passed over, one part per channel fixed by the
    // analog answer, the three phase current states.
    virtual int parse40_44(const unsigned char* buf, int len) {
        ByteReader r(buf, len);
        auto overflow = [&](int needed) {
            host_ext::Log(*this, "PMBusPowerAC:ProcotolError {} read 40_44 read overflow {} - {}",
                          DataId(), needed, len);
            return -1;
        };
        if (!r.skip(1)) return overflow(r.end_of(1));
        std::uint8_t v = 0;
        for (CH& ch : channels) {
            if (!r.read_u8(v)) return overflow(r.end_of(1));
            ch.a_state = v;
            if (!r.read_u8(v)) return overflow(r.end_of(1));
            ch.b_state = v;
            if (!r.read_u8(v)) return overflow(r.end_of(1));
            ch.c_state = v;
            if (!r.read_u8(v)) return overflow(r.end_of(1));
            ch.f_state = v;
            std::uint8_t m = 0;
            if (!r.read_u8(m)) return overflow(r.end_of(1));
            if (m != 0) {
                host_ext::Log(*this, "PMBusPowerAC:ProcotolError {} read 40_44 m is {}", DataId(),
                              static_cast<int>(m));
                if (!r.skip(m)) return overflow(r.end_of(m));
            }
            std::uint8_t p = 0;
            if (!r.read_u8(p)) return overflow(r.end_of(1));
            ch.alert_p_count = p;
            if (p != CH::p40_44_SIZE()) {
                host_ext::Log(*this, "PMBusPowerAC:ProcotolError {} read 40_44 p is {} not {}",
                              DataId(), p, CH::p40_44_SIZE());
                if (!r.skip(p)) return overflow(r.end_of(p));
            } else if (!r.read_bytes(ch.alert_p, p)) {
                return overflow(r.end_of(p));
            }
        }
        if (!r.read_u8(v)) return overflow(r.end_of(1));
        ac.ia_alert = v;
        if (!r.read_u8(v)) return overflow(r.end_of(1));
        ac.ib_alert = v;
        if (!r.read_u8(v)) return overflow(r.end_of(1));
        ac.ic_alert = v;
        return r.offset();
    }

  protected:
    // Further alarm points of a concrete unit, registered after the AC ones.
    virtual void DoImpCheckAlert() = 0;

  public:
    AC ac{};
    std::vector<CH> channels;
    float diff_v = 20.0f;
    float diff_i = 20.0f;
    std::uint32_t history_size = 0;
    std::unique_ptr<unsigned char[]> history;
    // A channel count that differs from the fixed one, and in how many
    // consecutive analog answers it came.
    std::uint8_t count_candidate = 0;
    std::uint8_t count_streak = 0;
    // Channels [channel_count, removed_until) went with a count change; their
    // points are cleared at the next cycle end.
    std::size_t removed_until = 0;

    // True once after the channel count changed: the channels' states must be
    // read again before the alarm points are trusted (the bus device then
    // asks for every optional answer).
    bool TakeCountChange() {
        const bool changed = count_changed;
        count_changed = false;
        return changed;
    }

  private:
    // Reads one 4-byte value as sent; the not-available marker stores `marker_value`.
    static bool ReadValue(ByteReader& r, void* field, float marker_value) {
        unsigned char raw[4] = {};
        if (!r.read_bytes(raw, 4)) return false;
        if (is_not_available(raw)) {
            std::memcpy(field, &marker_value, 4);
        } else {
            std::memcpy(field, raw, 4);
        }
        return true;
    }

    void TakeChannelCount(std::uint8_t m) {
        ac.channel_count = m;
        channels.assign(m, CH{});
        count_candidate = 0;
        count_streak = 0;
    }

    // The channels that remain keep their values and states; added ones
    // start at zero.
    void ChangeChannelCount(std::uint8_t m) {
        removed_until = std::max(removed_until, channels.size());
        ac.channel_count = m;
        channels.resize(m, CH{});
        count_changed = true;
        count_candidate = 0;
        count_streak = 0;
    }

    bool count_changed = false;

    bool ChannelCountConfirmed(std::uint8_t m) {
        if (count_streak > 0 && count_candidate == m) {
            ++count_streak;
        } else {
            count_candidate = m;
            count_streak = 1;
        }
        return count_streak >= 3;
    }

    // Whether the cycle's values moved by a threshold or more from the last
    // stored record. A record of another length (a changed channel count) or
    // none at all counts as changed.
    bool NoticeablyChanged(const unsigned char* last, std::uint32_t last_size) const {
        if (!last || last_size != sizeof(AC) + sizeof(CH) * channels.size()) return true;
        AC old{};
        std::memcpy(&old, last, sizeof(AC));
        if (std::fabs(ac.ia - old.ia) >= diff_i || std::fabs(ac.ib - old.ib) >= diff_i ||
            std::fabs(ac.ic - old.ic) >= diff_i) {
            return true;
        }
        for (std::size_t i = 0; i < channels.size(); ++i) {
            CH was{};
            std::memcpy(&was, last + sizeof(AC) + sizeof(CH) * i, sizeof(CH));
            const CH& now = channels[i];
            if (std::fabs(now.a - was.a) >= diff_v || std::fabs(now.b - was.b) >= diff_v ||
                std::fabs(now.c - was.c) >= diff_v) {
                return true;
            }
        }
        return false;
    }

    static std::uint8_t StateOf(ac_alarm::Source s, const CH* ch, const AC& unit) {
        switch (s) {
            case ac_alarm::Source::a_state:
                return ch->a_state;
            case ac_alarm::Source::b_state:
                return ch->b_state;
            case ac_alarm::Source::c_state:
                return ch->c_state;
            case ac_alarm::Source::f_state:
                return ch->f_state;
            case ac_alarm::Source::ia_alert:
                return unit.ia_alert;
            case ac_alarm::Source::ib_alert:
                return unit.ib_alert;
            case ac_alarm::Source::ic_alert:
                return unit.ic_alert;
        }
        return 0;
    }

    // The details of every channel point, channel by channel in rule order,
    // made again only when the channel count changes.
    void BuildChannelDetails() {
        if (details_for_ == channels.size() && !channel_details.empty()) return;
        channel_details.clear();
        for (std::size_t i = 0; i < channels.size(); ++i) {
            for (const ac_alarm::Rule& rule : ac_alarm::kRules) {
                channel_details.push_back(ac_alarm::per_channel(rule.source)
                                              ? ac_alarm::channel_detail(i, rule)
                                              : std::string());
            }
        }
        details_for_ = channels.size();
    }

    // Registers the channel points of `ch` (channel `index`), or the phase
    // current points when `ch` is null, numbering them in turn. With
    // `removed`, the channel points of channel `index`, which no longer
    // exists, all inactive.
    void RegisterRules(const CH* ch, std::size_t index, bool removed = false) {
        const std::vector<ac_alarm::RuleTexts>& texts = ac_alarm::rule_texts();
        for (std::size_t k = 0; k < ac_alarm::kRuleCount; ++k) {
            const ac_alarm::Rule& rule = ac_alarm::kRules[k];
            if (ac_alarm::per_channel(rule.source) != (ch != nullptr || removed)) continue;
            const bool active = !removed && StateOf(rule.source, ch, ac) == rule.value;
            const ac_alarm::RuleTexts& t = texts[k];
            if (removed) {
                CheckThresholdBool(rule.level, t.key, t.code, t.name,
                                   ac_alarm::channel_detail(index, rule), active, alarm_seq);
            } else {
                CheckThresholdBool(
                    rule.level, t.key, t.code, t.name,
                    ch ? channel_details[index * ac_alarm::kRuleCount + k] : t.detail, active,
                    alarm_seq);
            }
            ++alarm_seq;
        }
    }

    std::vector<std::string> channel_details;
    std::size_t details_for_ = 0;
};

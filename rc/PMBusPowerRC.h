// The rectifier unit: a child of the bus device that keeps the rectifier
// block's answers (and the AC and DC parameter answers) in packed records,
// publishes and stores them as its history record at each cycle end, and
// registers one fault point per module.
#pragma once

#include <json/value.h>

#include <algorithm>
#include <boost/lexical_cast.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "host/ByteReader.h"
#include "host/HostTypes.h"
#include "host/SMDSPDevice.h"
#include "host/ValueReply.h"
#include "plugin/HostExtensions.h"

namespace rc_detail {

// A read position over one answer. Counts in the answer may move it past the
// end without reading (bytes that are stepped over); every read needs the
// bytes to be there, so nothing is ever read at or past the end.
class AnswerCursor {
  public:
    AnswerCursor(const unsigned char* buf, int len) : in_(buf, len) {}

    int offset() const { return past_ ? past_offset_ : in_.offset(); }
    // The offset just past n more bytes.
    int needed(int n) const { return offset() + n; }
    bool has(int n) const { return !past_ && in_.can_read(n); }
    bool read(void* dst, int n) { return !past_ && in_.read_bytes(dst, n); }
    bool read_u8(std::uint8_t& v) { return !past_ && in_.read_u8(v); }
    const unsigned char* current() const { return in_.current(); }
    void skip(int n) {
        if (past_) {
            past_offset_ += n;
        } else if (!in_.skip(n)) {
            past_ = true;
            past_offset_ = in_.offset() + n;
        }
    }

  private:
    ByteReader in_;
    bool past_ = false;
    int past_offset_ = 0;
};

inline void store_u32_le(std::uint8_t* dst, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) dst[i] = static_cast<std::uint8_t>((v >> (8 * i)) & 0xFF);
}

}  // namespace rc_detail

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
class PMBusPowerRC : public SMDSPDevice {
  public:
    static constexpr std::uint32_t kGroupSize = sizeof(TeleRC);
    static constexpr std::uint32_t kChannelSize = sizeof(TeleRCChannel);
    // A changed module count is taken only when this many analog answers in a
    // row carry the same new count; a single odd answer is refused.
    static constexpr int kCountChangeAnswers = 3;

    PMBusPowerRC() : rc() {}
    ~PMBusPowerRC() override = default;

    using SMDVDevice::LoadFromCache;

    // The rectifier serves no value by name (its data reach the host as the
    // history record); a query only tells why there is no value.
    float Get_Value(unsigned int /*data_id*/, const std::string& /*name*/) const override {
        if (!ready) value_reply::NotReady();
        const std::int64_t age =
            static_cast<std::int64_t>((host_ext::LocalTime() - last_update).total_seconds());
        // A clock set back by as much counts as stale too.
        if (age >= 61 || age <= -61) value_reply::TimedOut();
        value_reply::NotReady();
    }

    bool LoadFromCache(const unsigned char* data, int len) override {
        std::printf("rc data_len:%d vs %u\n", len, static_cast<unsigned>(kGroupSize));
        std::fflush(stdout);
        if (!data || len < static_cast<int>(kGroupSize)) return false;
        const std::uint8_t count = data[offsetof(TeleRC, channel_count)];
        const int left = len - static_cast<int>(kGroupSize);
        std::printf("rc channelLen %u and %u left:%d\n", static_cast<unsigned>(kChannelSize),
                    static_cast<unsigned>(count), left);
        std::fflush(stdout);
        // Take nothing from a record whose length does not fit its count: a
        // corrupt blob must not pin a wrong module count.
        if (static_cast<long long>(left) != static_cast<long long>(kChannelSize) * count)
            return false;
        std::memcpy(&rc, data, kGroupSize);
        channels.assign(count, TeleRCChannel{});
        if (count > 0) std::memcpy(channels.data(), data + kGroupSize, kChannelSize * count);
        count_streak_ = 0;
        ready = 1;
        last_update = host_ext::LocalTime();
        return true;
    }

    void RoundDone() override {
        if (!ready) ready = 1;
        last_update = host_ext::LocalTime();
        const ttime_t stamp = get_ttime(host_ext::LocalTime());
        std::memcpy(rc.ttime, stamp.data(), sizeof rc.ttime);

        // Sized from the module count, so a changed count gets a new buffer.
        const std::uint32_t size =
            kGroupSize + kChannelSize * static_cast<std::uint32_t>(channels.size());
        if (!history || history_size != size) {
            history.reset(new unsigned char[size]());
            history_size = size;
        }
        std::memcpy(history.get(), &rc, kGroupSize);
        if (!channels.empty())
            std::memcpy(history.get() + kGroupSize, channels.data(),
                        kChannelSize * channels.size());

        SendSP(RT_RC, history.get(), history_size, false);

        alarm_seq = 1;
        const ModuleTexts& texts = FaultTexts();
        if (fault_details_.size() != channels.size()) {
            fault_details_.clear();
            for (std::size_t i = 0; i < channels.size(); ++i) {
                fault_details_.push_back(ModulePrefix(i) + texts.name);
            }
        }
        for (std::size_t i = 0; i < channels.size(); ++i) {
            CheckThresholdBool(2, texts.key, texts.code, texts.name, fault_details_[i],
                               channels[i].fault == 1, alarm_seq++);
        }
        // Modules gone with a count change: their points are cleared once
        // here (the concrete unit clears its own in DoImpCheckAlert, through
        // RemovedModules()).
        for (std::size_t i = channels.size(); i < removed_until_; ++i) {
            CheckThresholdBool(2, texts.key, texts.code, texts.name, ModulePrefix(i) + texts.name,
                               false, alarm_seq++);
        }
        DoImpCheckAlert();
        removed_until_ = 0;

        // The closure stores its own copy of this cycle's record: it may run on
        // the controller's thread while the next cycle rewrites the buffer. It
        // hands its rule list back for the next cycle's alarm calls.
        const std::size_t rule_count = pending_rules.size();
        std::function<void()> work = [self = shared_from_this(), unit = this,
                                      rules = std::move(pending_rules),
                                      record = std::vector<unsigned char>(
                                          history.get(), history.get() + history_size)]() mutable {
            const bool changed = unit->DoBatchCheckThreshold(rules);
            unit->alarm_changed = unit->alarm_changed || changed;
            unit->SaveDeviceHistory(record.data(), static_cast<unsigned int>(record.size()));
            host_ext::RecycleRules(*unit, std::move(rules));
        };
        CheckThresholdWork(std::move(work));
        host_ext::ReserveRules(*this, rule_count);
    }

    bool InitV(SMDVDevice* parent, unsigned int data_id, const Json::Value& cfg) override {
        rc_detail::store_u32_le(rc.data_id, data_id);
        return SMDVDevice::InitV(parent, data_id, cfg);
    }

    // Rectifier analog values: group value, module count, per module a value
    // and its user-defined values.
    virtual int parse41_41(const unsigned char* buf, int len) {
        rc_detail::AnswerCursor in(buf, len);
        if (!in.has(6)) {
            host_ext::Log(*this, "PMBusPowerAC:ProcotolError {} read 41_41 read overflow {} - {}",
                          DataId(), 6, len);
            return -1;
        }
        in.skip(1);  // data flag, read by the bus device
        in.read(rc.group_value, 4);
        std::uint8_t n = 0;
        in.read_u8(n);

        if (!channels.empty() && rc.channel_count != n) {
            if (count_streak_ > 0 && streak_count_ == n) {
                ++count_streak_;
            } else {
                streak_count_ = n;
                count_streak_ = 1;
            }
            if (count_streak_ < kCountChangeAnswers) return -1;
            // Modules were really added or removed. The modules that remain
            // keep their records (a faulty one stays faulty until its next
            // alarm answer); added ones start at zero.
            host_ext::Log(*this,
                          "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_41 "
                          "channel_count changed {} -> {}",
                          DataId(), rc.channel_count, n);
            removed_until_ = std::max(removed_until_, channels.size());
            channels.resize(n, TeleRCChannel{});
            rc.channel_count = n;
            count_changed_ = true;
        }
        count_streak_ = 0;
        if (channels.empty()) {
            rc.channel_count = n;
            channels.assign(n, TeleRCChannel{});
        }

        const std::uint8_t expected = TeleRCChannel::P41_41_SIZE();
        const int values = 4 * expected;
        for (auto& ch : channels) {
            if (!in.has(5)) {
                host_ext::Log(
                    *this, "PMBusPowerAC:ProcotolError {} read 41_41 in channel overflow {} - {}",
                    DataId(), in.needed(5), len);
                return -1;
            }
            in.read(ch.module_value, 4);
            in.read_u8(ch.analog_count);
            if (ch.analog_count != expected) {
                host_ext::Log(
                    *this,
                    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_41 p is {} "
                    "not {}",
                    DataId(), ch.analog_count, expected);
                in.skip(4 * ch.analog_count);
                continue;
            }
            if (!in.has(values)) {
                host_ext::Log(
                    *this, "PMBusPowerAC:ProcotolError {} read 41_41 in channel overflow {} - {}",
                    DataId(), in.needed(values), len);
                return -1;
            }
            for (int v = 0; v < expected; ++v) {
                unsigned char value[4] = {};
                in.read(value, 4);
                // Four equal bytes: a value the monitoring unit cannot give.
                if (all_four_equal(value)) std::memset(value, 0, 4);
                std::memcpy(ch.analog_user + 4 * v, value, 4);
            }
        }
        if (in.offset() > len) {
            host_ext::Log(*this, "PMBusPowerAC:ProcotolError {} read 41_41 read overflow {} - {}",
                          DataId(), in.offset(), len);
            return -1;
        }
        return in.offset();
    }

    // Rectifier status values of the first N modules.
    virtual int parse41_43(const unsigned char* buf, int len) {
        rc_detail::AnswerCursor in(buf, len);
        if (!in.has(2)) {
            host_ext::Log(*this, "PMBusPowerAC:ProcotolError {} read 41_43 read overflow {} - {}",
                          DataId(), 2, len);
            return -1;
        }
        in.skip(1);
        std::uint8_t n = 0;
        in.read_u8(n);
        if (n > rc.channel_count || n > channels.size()) return -1;

        const std::uint8_t expected = TeleRCChannel::P41_43_SIZE();
        for (std::size_t i = 0; i < n; ++i) {
            auto& ch = channels[i];
            if (!in.has(4)) {
                host_ext::Log(*this,
                              "PMBusPowerAC:ProcotolError {} read 41_43 read overflow {} - {}",
                              DataId(), in.needed(4), len);
                return -1;
            }
            in.read(ch.status, 3);
            in.read_u8(ch.status_count);
            if (ch.status_count != expected) {
                host_ext::Log(
                    *this,
                    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_43 p is {}, "
                    "not {}",
                    DataId(), ch.status_count, expected);
                in.skip(ch.status_count);
                continue;
            }
            if (!in.has(expected)) {
                host_ext::Log(*this,
                              "PMBusPowerAC:ProcotolError {} read 41_43 read overflow {} - {}",
                              DataId(), in.needed(expected), len);
                return -1;
            }
            in.read(ch.status_user, expected);
        }
        if (in.offset() > len) {
            host_ext::Log(*this, "PMBusPowerAC:ProcotolError {} read 41_43 read overflow {} - {}",
                          DataId(), in.offset(), len);
            return -1;
        }
        return in.offset();
    }

    // Rectifier alarm states of the first N modules.
    virtual int parse41_44(const unsigned char* buf, int len) {
        rc_detail::AnswerCursor in(buf, len);
        if (!in.has(2)) {
            host_ext::Log(*this, "PMBusPowerAC:ProcotolError {} read 41_44 read overflow {} - {}",
                          DataId(), 2, len);
            return -1;
        }
        in.skip(1);
        std::uint8_t n = 0;
        in.read_u8(n);
        if (n > rc.channel_count || n > channels.size()) {
            host_ext::Log(*this,
                          "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} parse p41_44 "
                          "channel_count not equal {} != {} ",
                          DataId(), static_cast<int>(n), rc.channel_count);
            return 0;
        }

        const std::uint8_t expected = TeleRCChannel::P41_44_SIZE();
        for (std::size_t i = 0; i < n; ++i) {
            auto& ch = channels[i];
            if (!in.has(2)) {
                host_ext::Log(*this,
                              "PMBusPowerAC:ProcotolError {} read 41_44 read overflow {} - {}",
                              DataId(), in.needed(2), len);
                return -1;
            }
            in.read_u8(ch.fault);
            in.read_u8(ch.alarm_count);
            if (ch.alarm_count != expected) {
                host_ext::Log(
                    *this,
                    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_44 p is {}, "
                    "not {}",
                    DataId(), ch.alarm_count, expected);
                in.skip(ch.alarm_count);
                continue;
            }
            if (!in.has(expected)) {
                host_ext::Log(*this,
                              "PMBusPowerAC:ProcotolError {} read 41_44 read overflow {} - {}",
                              DataId(), in.needed(expected), len);
                return -1;
            }
            in.read(ch.alarm_user, expected);
        }
        if (in.offset() > len) {
            host_ext::Log(*this, "PMBusPowerAC:ProcotolError {} read 41_44 read overflow {} - {}",
                          DataId(), in.offset(), len);
            return -1;
        }
        return in.offset();
    }

    // AC parameters: five values kept, user-defined ones stepped over. The
    // caller compares a result past `len` itself.
    virtual int parse40_46(const unsigned char* buf, int len) {
        rc_detail::AnswerCursor in(buf, len);
        constexpr int kFixed = sizeof(TeleRC::ac_param) + 1;
        if (!in.has(kFixed)) {
            host_ext::Log(*this, "PMBusPowerAC:ProcotolError {} read 40_46 read overflow {} - {}",
                          DataId(), kFixed, len);
            return -1;
        }
        in.read(rc.ac_param, sizeof rc.ac_param);
        std::uint8_t p = 0;
        in.read_u8(p);
        if (p != 0) return kFixed + 4 * p;
        return kFixed;
    }

    // DC parameters: two values, the user-defined count and, when it is the
    // expected one, as many user-defined values as the answer holds.
    virtual int parse42_46(const unsigned char* buf, int len) {
        rc_detail::AnswerCursor in(buf, len);
        constexpr int kFixed = sizeof(TeleRC::dc_param) + 1;
        if (!in.has(kFixed)) {
            host_ext::Log(*this, "PMBusPowerAC:ProcotolError {} read 42_46 read overflow {} - {}",
                          DataId(), kFixed, len);
            return -1;
        }
        in.read(rc.dc_param, sizeof rc.dc_param);
        in.read_u8(rc.dc_user_count);
        if (rc.dc_user_count != TeleRC::P42_46_NUMBER()) {
            host_ext::Log(*this, "KLX04B:ProcotolError parse42_46 {} p:{} != {}", DataId(),
                          rc.dc_user_count, TeleRC::P42_46_NUMBER());
            return kFixed + 4 * rc.dc_user_count;
        }
        const int k = std::min<int>(TeleRC::P42_46_SIZE(), len - kFixed);
        in.read(rc.dc_user_param, k);
        return kFixed + k;
    }

    // The model's own alarm points, registered after the generic ones.
    virtual void DoImpCheckAlert() {}

    // True once after the module count changed: the modules' states must be
    // read again before the alarm points are trusted (the bus device then
    // asks for every optional answer).
    bool TakeCountChange() {
        const bool changed = count_changed_;
        count_changed_ = false;
        return changed;
    }

    TeleRC rc;
    std::vector<TeleRCChannel> channels;
    std::uint32_t history_size = 0;
    std::unique_ptr<unsigned char[]> history;

  protected:
    // During the cycle end that took a smaller module count, the modules that
    // went: [channels.size(), RemovedModulesEnd()); empty otherwise.
    std::size_t RemovedModulesEnd() const { return std::max(removed_until_, channels.size()); }
    // "模块" and the module number, module 1 first.
    static std::string ModulePrefix(std::size_t index) {
        return "模块" + boost::lexical_cast<std::string>(index + 1);
    }

  private:
    // The module fault point's texts, made once; its details are the
    // module prefix and the name.
    struct ModuleTexts {
        std::string key = "RC_0";
        std::string code = "06024";
        std::string name = "整流模块故障告警";
    };
    static const ModuleTexts& FaultTexts() {
        static const ModuleTexts texts;
        return texts;
    }
    // The fault detail of every module, made again when the count changes.
    std::vector<std::string> fault_details_;

  private:
    // A module count other than the fixed one, and in how many analog answers
    // in a row it came.
    std::uint8_t streak_count_ = 0;
    int count_streak_ = 0;
    bool count_changed_ = false;
    // Modules [channel_count, removed_until_) went with a count change.
    std::size_t removed_until_ = 0;
};

#include "rc/Ravo3RC.h"

#include <algorithm>
#include <boost/lexical_cast.hpp>
#include <string>
#include <vector>

namespace {

const std::array<Ravo3RCRule, 4> kModelRules = {{
    {"RAVO3_RC_0", "06024", "整流模块故障告警", "模块故障告警状态", 3, 0, 0x01},
    {"RAVO3_RC_1", "06025", "整流模块风扇告警", "模块风扇告警", 4, 1, 0x01},
    {"RAVO3_RC_2", "06027", "整流模块温度过高告警", "模块过温告警状态", 3, 2, 0x01},
    // Only 0xE2 means the module is lost; 1 is no alarm here.
    {"RAVO3_RC_3", "06028", "整流模块通信状态告警", "模块通讯中断告警状态", 4, 3, 0xE2},
}};

static_assert(sizeof(tele_c_ravo3_rc_channel::alarm_user) == 4, "one alarm byte per model rule");

// The model rules' texts as the alarm calls take them, made once.
struct RuleTexts {
    std::string key;
    std::string code;
    std::string name;
};

const std::vector<RuleTexts>& rule_texts() {
    static const std::vector<RuleTexts> texts = [] {
        std::vector<RuleTexts> t;
        for (const auto& r : kModelRules) t.push_back({r.key, r.code, r.name});
        return t;
    }();
    return texts;
}

// Every module number a module count byte can give.
constexpr std::size_t kMostModules = 255;

// The details of the model's points of module `index`, in rule order: made
// once for every module a count can name, shared by all units (the unit
// itself keeps no data beyond its base).
const std::string& model_detail(std::size_t index, std::size_t rule) {
    static const std::vector<std::string> details = [] {
        std::vector<std::string> d;
        d.reserve(kMostModules * kModelRules.size());
        for (std::size_t i = 0; i < kMostModules; ++i) {
            const std::string prefix = "模块" + boost::lexical_cast<std::string>(i + 1);
            for (const auto& r : kModelRules) d.push_back(prefix + r.detail);
        }
        return d;
    }();
    return details[index * kModelRules.size() + rule];
}

}  // namespace

Ravo3RC::Ravo3RC() {
    device_type_ = "ravo3-rc";
}

Ravo3RC::~Ravo3RC() = default;

const std::array<Ravo3RCRule, 4>& Ravo3RC::ModelRules() {
    return kModelRules;
}

void Ravo3RC::DoImpCheckAlert() {
    const std::vector<RuleTexts>& texts = rule_texts();
    const std::size_t modules = std::min(channels.size(), kMostModules);
    for (std::size_t i = 0; i < modules; ++i) {
        const auto& ch = channels[i];
        // A module whose alarm answer carried another count has no valid bytes.
        if (ch.alarm_count != tele_c_ravo3_rc_channel::P41_44_SIZE()) continue;
        for (std::size_t r = 0; r < kModelRules.size(); ++r) {
            const auto& rule = kModelRules[r];
            CheckThresholdBool(rule.level, texts[r].key, texts[r].code, texts[r].name,
                               model_detail(i, r),
                               ch.alarm_user[rule.alarm_byte] == rule.alarm_value, alarm_seq++);
        }
    }
    // Modules gone with a count change: their points are cleared once.
    const std::size_t removed_end = std::min(RemovedModulesEnd(), kMostModules);
    for (std::size_t i = modules; i < removed_end; ++i) {
        for (std::size_t r = 0; r < kModelRules.size(); ++r) {
            const auto& rule = kModelRules[r];
            CheckThresholdBool(rule.level, texts[r].key, texts[r].code, texts[r].name,
                               model_detail(i, r), false, alarm_seq++);
        }
    }
}

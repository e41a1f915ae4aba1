#include "dc/Ravo3DC.h"

template class PMBusPowerDC<tele_c_ravo3_dc, 5161>;

namespace ravo3_dc {

const std::map<unsigned char, std::string>& voltage_state_names() {
    static const std::map<unsigned char, std::string> names = {
        {0, "正常"}, {1, "欠压"}, {2, "过压"}};
    return names;
}

}  // namespace ravo3_dc

namespace {

// The user rules' texts as the alarm calls take them, made once.
const std::vector<dc_rules::PointTexts>& user_texts() {
    static const std::vector<dc_rules::PointTexts> texts = [] {
        std::vector<dc_rules::PointTexts> t;
        for (const auto& r : ravo3_dc::kUserRules) t.push_back({r.key, r.code, r.name, r.detail});
        return t;
    }();
    return texts;
}

}  // namespace

Ravo3DC::Ravo3DC() {
    device_type_ = "ravo3-dc";
}

Ravo3DC::Ravo3DC(const std::string& text) : PMBusPowerDC(text) {
    device_type_ = "ravo3-dc";
}

Ravo3DC::~Ravo3DC() = default;

void Ravo3DC::DoImpCheckAlert() {
    // The monitoring unit's table has exactly this many states; any other
    // count means the slots cannot be trusted to mean what the rules say.
    if (record.alert_p_count != tele_c_ravo3_dc::ALERT_P_SIZE()) return;
    const std::vector<dc_rules::PointTexts>& texts = user_texts();
    unsigned k = 0;
    for (const auto& rule : ravo3_dc::kUserRules) {
        const dc_rules::PointTexts& t = texts[k];
        const unsigned char state = record.alert_p[k++];
        if (rule.state_map) {
            CheckAlertMap(state, ravo3_dc::kUserRuleLevel, t.key, t.code, t.name, t.detail,
                          ravo3_dc::voltage_state_names(), alarm_seq++);
        } else {
            CheckThresholdBool(ravo3_dc::kUserRuleLevel, t.key, t.code, t.name, t.detail,
                               state == rule.value, alarm_seq++);
        }
    }
}

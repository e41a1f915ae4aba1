// The RAV-O3 monitoring unit's DC distribution block, with its thirteen
// user-defined alarm states.
#pragma once

#include <map>
#include <string>

#include "dc/DcRecords.h"
#include "dc/PMBusPowerDC.h"

namespace ravo3_dc {

// One user-defined alarm state byte (`alert_p` slot k = row index). A boolean
// row is active when the slot equals `value`; a state-map row hands the byte
// to the host with the voltage state names.
struct UserRule {
    const char* key;
    const char* code;
    const char* name;
    const char* detail;
    bool state_map;
    unsigned char value;
};

inline constexpr int kUserRuleLevel = 2;

inline constexpr UserRule kUserRules[] = {
    {"RAVO3_DC_0", "06007", "负载熔丝故障告警", "负载熔丝1故障告警", false, 3},
    {"RAVO3_DC_1", "06007", "负载熔丝故障告警", "负载熔丝1故障告警", false, 3},
    {"RAVO3_DC_2", "06002", "电池充电过流告警", "电池1充电过流告警", false, 2},
    {"RAVO3_DC_3", "06002", "电池充电过流告警", "电池2充电过流告警", false, 2},
    {"RAVO3_DC_4", "06029", "电池组1保护", "其他告警", false, 0xE4},
    {"RAVO3_DC_5", "06029", "电池组2保护", "其他告警", false, 0xE4},
    {"RAVO3_DC_6", "06080", "二级低压脱离告警", "第二级低压脱离开关动作，其后的负载被断电", false,
     0xE3},
    {"RAVO3_DC_7", "06029", "电池房过温", "其他告警", false, 0xE1},
    {"RAVO3_DC_8", "06029", "测点1过温", "其他告警", false, 0xE1},
    {"RAVO3_DC_9", "06029", "测点2过温", "其他告警", false, 0xE1},
    {"RAVO3_DC_10", "06011", "直流屏通讯中断告警", "直流屏通讯中断告警状态", false, 0xE2},
    {"RAVO3_DC_11", "06029", "电池组1电压异常", "其他告警", true, 0},
    {"RAVO3_DC_12", "06029", "电池组2电压异常", "其他告警", true, 0},
};
static_assert(sizeof(kUserRules) / sizeof(kUserRules[0]) == tele_c_ravo3_dc::ALERT_P_SIZE(),
              "one rule per user-defined alarm state");

// 0 "正常", 1 "欠压", 2 "过压"; built once on first use, shared by every unit.
const std::map<unsigned char, std::string>& voltage_state_names();

}  // namespace ravo3_dc

extern template class PMBusPowerDC<tele_c_ravo3_dc, 5161>;

class Ravo3DC : public PMBusPowerDC<tele_c_ravo3_dc, 5161> {
  public:
    Ravo3DC();
    explicit Ravo3DC(const std::string& text);
    ~Ravo3DC() override;

    void DoImpCheckAlert() override;
};

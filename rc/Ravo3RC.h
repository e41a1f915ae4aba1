// The RAV-O3 rectifier unit: the generic rectifier unit plus the model's four
// user-defined alarm points per module.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "rc/PMBusPowerRC.h"
#include "rc/RcRecords.h"

// One of the model's alarm points: raised when the module's user-defined alarm
// byte `alarm_byte` holds `alarm_value`.
struct Ravo3RCRule {
    const char* key;
    const char* code;
    const char* name;
    const char* detail;  // follows the module prefix
    int level;
    int alarm_byte;
    std::uint8_t alarm_value;
};

class Ravo3RC : public PMBusPowerRC<tele_c_ravo3_rc, tele_c_ravo3_rc_channel, 5160> {
  public:
    Ravo3RC();
    ~Ravo3RC() override;

    // Registers the model's points, in table order, for every module whose
    // alarm answer carried the expected four alarm bytes, then clears those
    // of modules that went with a smaller module count.
    void DoImpCheckAlert() override;

    // The model's points, in the order they are registered per module.
    static const std::array<Ravo3RCRule, 4>& ModelRules();
};

#include "ac/Ravo3AC.h"

template class PMBusPowerAC<tele_c_ravo3_ac, tele_c_ravo3_ac_channel, 5159>;

Ravo3AC::Ravo3AC() {
    device_type_ = "ravo3-ac";
}

Ravo3AC::~Ravo3AC() = default;

void Ravo3AC::DoImpCheckAlert() {}

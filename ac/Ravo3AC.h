// The AC distribution unit of the RAV-O3 monitoring unit.
#pragma once

#include "ac/AcRecords.h"
#include "ac/PMBusPowerAC.h"

extern template class PMBusPowerAC<tele_c_ravo3_ac, tele_c_ravo3_ac_channel, 5159>;

class Ravo3AC : public PMBusPowerAC<tele_c_ravo3_ac, tele_c_ravo3_ac_channel, 5159> {
  public:
    Ravo3AC();
    ~Ravo3AC() override;

  protected:
    // This unit has no alarm points beyond the AC ones.
    void DoImpCheckAlert() override;
};

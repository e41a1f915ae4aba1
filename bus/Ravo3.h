// The bus device of the RAV-O3 monitoring unit: AC distribution units, DC
// distribution units and the rectifier unit behind one serial line.
#pragma once

#include "ac/Ravo3AC.h"
#include "bus/PMBusPower.h"
#include "dc/Ravo3DC.h"
#include "rc/Ravo3RC.h"

extern template class PMBusPower<Ravo3AC, Ravo3DC, Ravo3RC>;

class Ravo3 : public PMBusPower<Ravo3AC, Ravo3DC, Ravo3RC> {
  public:
    Ravo3();
    ~Ravo3() override;
};

#include "bus/Ravo3.h"

template class PMBusPower<Ravo3AC, Ravo3DC, Ravo3RC>;

Ravo3::Ravo3() : PMBusPower({"RAV-O3"}) {
    device_type_ = "ravo3";
    baud_rate = 9600;
    serial_line = true;
    protocol_version_ = 0x20;
}

Ravo3::~Ravo3() = default;

// Stored unit records (history rows, snapshots) decoded into the names the
// units serve them under, so that a reader of the database needs no driver.
#pragma once

#include <string>
#include <vector>

#include "runtime/events/Events.h"

namespace smd {

// The unit kind a device type names ("ravo3-ac", "ravo3-dc", "ravo3-rc"); false
// for any other (the bus device itself).
bool unit_kind_of(const std::string& device_type, UnitKind& kind);

// The AC record (40 bytes, then 30 a channel): "ia", "ib", "ic", "ia_alert",
// "ib_alert", "ic_alert", "channel_<k>_a" .. "_f" (k from 0).
bool ac_record_values(const std::vector<unsigned char>& record, std::vector<NamedValue>& out);
// The DC record (142 bytes): "v", "i".
bool dc_record_values(const std::vector<unsigned char>& record, std::vector<NamedValue>& out);
// By kind (the rectifier through rectifier_values). False, with nothing
// added, when the record does not have its kind's layout.
bool record_values(UnitKind kind, const std::vector<unsigned char>& record,
                   std::vector<NamedValue>& out);

}  // namespace smd

// A bare host framework: every body the driver library may import, built from
// the framework's declarations alone, recording what the driver asks of it.
// A driver that needs anything more does not load against it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host/HostTypes.h"

namespace bare_host {

struct Command {
    unsigned char cid1;
    unsigned char cid2;
    std::vector<unsigned char> info;
};

struct Record {
    unsigned int data_id;
    int unit_type;  // 0 for stored history
    std::vector<unsigned char> bytes;
};

struct Journal {
    std::vector<Command> commands;            // write_pmbus_cmd, in order
    std::vector<Record> published;            // SendSP
    std::vector<Record> stored;               // SaveDeviceHistory
    std::vector<rule_value> evaluated;        // DoBatchCheckThreshold, every rule
    std::vector<std::function<void()>> work;  // CheckThresholdWork, not yet run
    std::vector<int> payload_results;         // process_payload() per answer
    int resets = 0;
};

Journal& journal();

}  // namespace bare_host

// Everything a site file holds that would stop or spoil a start, found
// without opening a port or the database: the host's keys, the driver's keys,
// the daemon's sections, and each enabled device loaded from its driver and
// handed its settings. `ravo3-monitor --check`, `ravo3d --check` and the
// daemon's reload all ask this.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "runtime/site/SiteConfig.h"

namespace smd::service {

struct SiteCheck {
    bool read = false;  // the file was read and its host keys are sound: `site` holds it
    SiteConfig site;
    std::vector<std::string> problems;  // one line each, naming the file and the key
    // Not faults of the file, but what a start would run into now (a serial
    // port that is not there, one without permission).
    std::vector<std::string> notes;
};

// `driver_override` and `default_driver` as in HostOptions.
SiteCheck CheckSiteFile(const std::string& path, const std::string& driver_override,
                        const std::string& default_driver);

// As --check prints it: the problems on `err`, one a line, and their count;
// or the notes and "PATH: OK, N devices (M enabled)" on `out`. Returns the
// exit status (0 fine, 1 problems).
int PrintSiteCheck(const SiteCheck& check, const std::string& path, std::FILE* out, std::FILE* err);

// What stands in the way of opening a serial port, in words, with what to do
// (`key` names the site file's key); empty when nothing does, and for a
// device server's port.
std::string PortHint(const std::string& port, const std::string& key);

}  // namespace smd::service

// The site configuration file: the host's own settings and the bus devices it
// drives. Keys of ours are checked for name, type and range; the driver's
// documented keys ("acSetting", "dcSetting", "rcSetting" and what they hold)
// are checked too, but a fault there is the driver's to refuse: it is a
// warning when the host starts and an error for `ravo3-monitor --check`.
#pragma once

#include <json/value.h>

#include <cstddef>
#include <string>
#include <vector>

namespace smd {

struct DeviceConfig {
    std::string name;    // unique within the site, used in log lines and queries
    std::string port;    // serial device path (absolute after loading), or a device server's URL
    std::string driver;  // driver library, absolute after loading; empty: the host's default
    unsigned int data_id = 0;
    bool enabled = true;
    // Scenario file of the simulated unit that stands in for this device when
    // the runner simulates the site (absolute); empty when not given.
    std::string scenario;
    // Capture file of this device's line (absolute); empty: none.
    std::string capture;
    // Extra silence the answer time-out allows on a device server's line;
    // -1: the default (500 ms on tcp:// and rfc2217:// ports, 0 on serial ones).
    int network_allowance_ms = -1;
    // What the driver's Init and InitSetting receive: the entry without the
    // host's keys "name", "port", "driver", "enabled", "scenario", "capture"
    // and "network_allowance_ms", with
    // "answer_timeout_ms" filled in from the site default when the entry has none.
    Json::Value settings;
};

// The line a port names: devices whose ports give the same key share one
// line (a serial device by its real path, a device server by host and port).
std::string LineKey(const std::string& port);

struct SiteConfig {
    std::string path;                   // the file read, empty for text parsed directly
    std::string history_db;             // absolute; empty: history and alarms kept in memory only
    int history_days = 30;              // history records kept this long
    int history_summary_days = 400;     // their per-minute summaries
    std::size_t history_retention = 0;  // older form: records kept; 0 when not given
    std::size_t event_retention = 100000;
    int poll_period_ms = 1000;
    int answer_timeout_ms = 1000;
    int reopen_initial_ms = 500;
    int reopen_max_ms = 30000;
    // A line on which no cycle completed for this long raises its
    // communication-lost alarm point.
    int comm_lost_s = 60;
    // Where the serial lines' lock files go; empty: flock on the line only.
    std::string lock_dir = "/var/lock";
    // The daemon's least log priority ("info" when empty); --log-level wins.
    std::string log_level;
    // Sections of the service's consumers, checked by them (null when absent).
    Json::Value http;
    Json::Value mqtt;
    std::vector<DeviceConfig> devices;
    // Faults in the driver's keys, one message each with its JSON path
    // ("site.json: devices[0].acSetting[1].data_id: is missing").
    std::vector<std::string> warnings;
};

// Relative paths ("port", "driver", "history_db", "scenario", "capture") are taken from
// `base_dir`. False on any fault of the host's keys, with every problem found
// in `error`, one per line, each naming the file, the key's JSON path and what
// is wrong (the driver's too, so that one run shows them all).
bool ParseSiteConfig(const std::string& text, const std::string& base_dir, SiteConfig& out,
                     std::string& error);
bool LoadSiteConfig(const std::string& path, SiteConfig& out, std::string& error);

}  // namespace smd

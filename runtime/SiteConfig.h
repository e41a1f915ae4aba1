// The site configuration file: the host's own settings and the bus devices it
// drives. Keys of ours are checked for name, type and range; the driver's own
// keys ("acSetting", "dcSetting", "rcSetting") are handed to it untouched.
#pragma once

#include <json/value.h>

#include <cstddef>
#include <string>
#include <vector>

namespace smd {

struct DeviceConfig {
    std::string name;    // unique within the site, used in log lines and queries
    std::string port;    // serial device path
    std::string driver;  // driver library, absolute after loading
    unsigned int data_id = 0;
    bool enabled = true;
    // What the driver's Init and InitSetting receive: the entry without the
    // host's keys "name", "port", "driver" and "enabled", with "answer_timeout_ms"
    // filled in from the site default when the entry has none.
    Json::Value settings;
};

struct SiteConfig {
    std::string path;        // the file read, empty for text parsed directly
    std::string history_db;  // absolute; empty: history and alarms kept in memory only
    std::size_t history_retention = 100000;
    std::size_t event_retention = 100000;
    int poll_period_ms = 50;
    int answer_timeout_ms = 1000;
    int reopen_initial_ms = 500;
    int reopen_max_ms = 30000;
    // A line on which no cycle completed for this long raises its
    // communication-lost alarm point.
    int comm_lost_s = 60;
    // Sections of the service's consumers, checked by them (null when absent).
    Json::Value http;
    Json::Value mqtt;
    std::vector<DeviceConfig> devices;
};

// Relative paths ("driver", "history_db") are taken from `base_dir`. False,
// with one message naming the file, the key and what is wrong, on any fault.
bool ParseSiteConfig(const std::string& text, const std::string& base_dir, SiteConfig& out,
                     std::string& error);
bool LoadSiteConfig(const std::string& path, SiteConfig& out, std::string& error);

}  // namespace smd

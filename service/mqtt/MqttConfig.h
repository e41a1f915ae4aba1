// The site file's "mqtt" section, checked key by key.
#pragma once

#include <json/value.h>

#include <cstddef>
#include <string>

namespace smd::mqtt {

struct TlsConfig {
    bool enabled = false;
    std::string ca_file;  // empty: the system's certificate store
    std::string cert_file;
    std::string key_file;
    bool insecure = false;  // do not check the broker's host name
};

struct MqttConfig {
    std::string host;
    int port = 1883;  // 8883 with TLS
    std::string client_id;
    std::string topic_prefix = "ravo3";
    std::string username;
    std::string password;  // read from "password_file"
    TlsConfig tls;
    bool ha_discovery = true;
    std::string discovery_prefix = "homeassistant";

    // Not in the site file.
    std::string outbox_db;              // the site's history database; empty: in memory
    std::size_t memory_outbox = 10000;  // events kept while the broker is away, no database
    std::size_t db_outbox = 100000;     // the same, in the database
    int keepalive_s = 30;
    int reconnect_min_ms = 1000;
    int reconnect_max_ms = 60000;
};

// `section` is the site file's "mqtt" value; relative paths are taken from
// `base_dir`. False with one message naming the key on any fault.
bool ParseMqttConfig(const Json::Value& section, const std::string& base_dir, MqttConfig& out,
                     std::string& error);

}  // namespace smd::mqtt

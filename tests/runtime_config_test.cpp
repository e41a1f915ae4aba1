#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "runtime/site/SiteConfig.h"
#include "tests/runtime_fixture.h"

namespace {

const char* const kDevice =
    R"({"name": "room1", "port": "/dev/ttyUSB0", "driver": "drv/ravo3.so", "data_id": 10)";

std::string site(const std::string& top, const std::string& device_extra) {
    return "{" + top + R"("devices": [)" + kDevice + device_extra + "}]}";
}

}  // namespace

TEST(SiteConfig, ReadsEveryKeyAndResolvesPathsAgainstTheFilesFolder) {
    const std::string text = site(
        R"("history_db": "var/h.db", "history_retention": 500, "event_retention": 40,
           "history_days": 7, "history_summary_days": 365,
           "poll_period_ms": 20, "answer_timeout_ms": 1500, "reopen_initial_ms": 100,
           "reopen_max_ms": 8000, )",
        R"(, "address": 3, "protocol_version": 33, "enabled": false,
           "acSetting": [{"data_id": 11, "appSetting": {"diff_v": "5"}}],
           "dcSetting": [{"data_id": 12}], "rcSetting": {"anything": [1, 2]})");
    smd::SiteConfig cfg;
    std::string error;
    ASSERT_TRUE(smd::ParseSiteConfig(text, "/etc/ravo3", cfg, error)) << error;
    EXPECT_EQ(cfg.history_db, "/etc/ravo3/var/h.db");
    EXPECT_EQ(cfg.history_retention, 500u);
    EXPECT_EQ(cfg.history_days, 7);
    EXPECT_EQ(cfg.history_summary_days, 365);
    EXPECT_EQ(cfg.event_retention, 40u);
    EXPECT_EQ(cfg.poll_period_ms, 20);
    EXPECT_EQ(cfg.answer_timeout_ms, 1500);
    EXPECT_EQ(cfg.reopen_initial_ms, 100);
    EXPECT_EQ(cfg.reopen_max_ms, 8000);
    ASSERT_EQ(cfg.devices.size(), 1u);
    const smd::DeviceConfig& d = cfg.devices[0];
    EXPECT_EQ(d.name, "room1");
    EXPECT_EQ(d.port, "/dev/ttyUSB0");
    EXPECT_EQ(d.driver, "/etc/ravo3/drv/ravo3.so");
    EXPECT_EQ(d.data_id, 10u);
    EXPECT_FALSE(d.enabled);
    // The driver gets its own keys untouched and none of the host's.
    EXPECT_FALSE(d.settings.isMember("name"));
    EXPECT_FALSE(d.settings.isMember("port"));
    EXPECT_FALSE(d.settings.isMember("driver"));
    EXPECT_FALSE(d.settings.isMember("enabled"));
    EXPECT_EQ(d.settings["address"].asInt(), 3);
    EXPECT_EQ(d.settings["protocol_version"].asInt(), 33);
    EXPECT_EQ(d.settings["answer_timeout_ms"].asInt(), 1500);  // the site default
    EXPECT_EQ(d.settings["acSetting"][0]["appSetting"]["diff_v"].asString(), "5");
    EXPECT_EQ(d.settings["rcSetting"]["anything"][1].asInt(), 2);
}

TEST(SiteConfig, DefaultsWhenOptionalKeysAreAbsent) {
    smd::SiteConfig cfg;
    std::string error;
    ASSERT_TRUE(smd::ParseSiteConfig(site("", R"(, "answer_timeout_ms": 700)"), "", cfg, error))
        << error;
    EXPECT_TRUE(cfg.history_db.empty());
    EXPECT_EQ(cfg.history_retention, 0u);  // no limit by count unless given
    EXPECT_EQ(cfg.history_days, 30);
    EXPECT_EQ(cfg.history_summary_days, 400);
    EXPECT_EQ(cfg.poll_period_ms, 1000);
    EXPECT_EQ(cfg.reopen_initial_ms, 500);
    EXPECT_EQ(cfg.reopen_max_ms, 30000);
    EXPECT_TRUE(cfg.devices[0].enabled);
    EXPECT_EQ(cfg.devices[0].settings["answer_timeout_ms"].asInt(), 700);  // its own wins
    EXPECT_EQ(cfg.devices[0].driver, "drv/ravo3.so");
}

TEST(SiteConfig, RejectsKeysOfOursThatAreUnknownIllTypedOrOutOfRange) {
    struct Case {
        std::string text;
        std::string message;
    };
    const std::string f = "site configuration: ";
    const std::string rc = R"(, "rcSetting": {})";
    const Case cases[] = {
        {"[]", f + "must hold one JSON object"},
        {"{", f + "not valid JSON"},
        {R"({"devices": []})", f + "devices: must be an array of at least one device"},
        {R"({"devices": {}})", f + "devices: must be an array"},
        {R"({"history_db": "a"})", f + "devices: is missing"},
        {site(R"("histroy_db": "x", )", rc),
         f + R"(histroy_db: is not a known key; did you mean "history_db"?)"},
        {site(R"("history_db": 5, )", rc), f + "history_db: must be a string"},
        {site(R"("poll_period_ms": "50", )", rc),
         f + "poll_period_ms: must be an integer from 5 to 10000"},
        {site(R"("poll_period_ms": 2.5, )", rc), f + "poll_period_ms: must be an integer"},
        {site(R"("poll_period_ms": 0, )", rc), f + "poll_period_ms: must be an integer"},
        {site(R"("history_retention": -1, )", rc), f + "history_retention: must be an integer"},
        {site(R"("history_days": 0, )", rc), f + "history_days: must be an integer from 1"},
        {site(R"("history_summary_days": 36501, )", rc),
         f + "history_summary_days: must be an integer from 1 to 36500"},
        {site(R"("answer_timeout_ms": 10, )", rc), f + "answer_timeout_ms: must be an integer"},
        {site(R"("reopen_initial_ms": 5000, "reopen_max_ms": 1000, )", rc),
         f + R"(reopen_max_ms: must not be less than "reopen_initial_ms")"},
        {site(R"("poll_period_ms": 10, "poll_period_ms": 20, )", rc), "not valid JSON"},
        {site(R"("poll_period_ms": 10, )", rc + ","), "not valid JSON"},  // trailing comma
        {site("", R"(, "acSetting": [{"data_id": 1},])" + rc), "not valid JSON"},
        {site("", R"(, "adress": 1)" + rc),
         f + R"(devices[0].adress: is not a known key; did you mean "address"?)"},
        {site("", R"(, "acSettings": [])" + rc),
         f + R"(devices[0].acSettings: is not a known key; did you mean "acSetting"?)"},
        {site("", R"(, "address": 255)" + rc),
         f + "devices[0].address: must be an integer from 0 to 254"},
        {site("", R"(, "address": "1")" + rc), f + "devices[0].address: must be an integer"},
        {site("", R"(, "protocol_version": 32.5)" + rc), f + "devices[0].protocol_version: must"},
        {site("", R"(, "enabled": 1)" + rc), f + "devices[0].enabled: must be true or false"},
        {site("", R"(, "scenario": "")" + rc), f + "devices[0].scenario: must be a non-empty"},
        {site("", R"(, "answer_timeout_ms": 99999)" + rc), f + "devices[0].answer_timeout_ms"},
        {R"({"devices": [{"name": "x", "port": "/dev/a", "driver": "d.so"}]})",
         f + "devices[0].data_id: is missing"},
        {R"({"devices": [{"name": "x", "port": "/dev/a", "driver": "d.so", "data_id": -3}]})",
         f + "devices[0].data_id: must be an integer from 0 to 4294967295"},
        {R"({"devices": [{"port": "/dev/a", "driver": "d.so", "data_id": 1}]})",
         f + "devices[0].name: is missing"},
        {R"({"devices": [{"name": "", "port": "/dev/a", "driver": "d.so", "data_id": 1}]})",
         f + "devices[0].name: must be a non-empty string"},
        {R"({"devices": [{"name": "x", "port": 1, "driver": "d.so", "data_id": 1}]})",
         f + "devices[0].port: must be a non-empty string"},
        {R"({"devices": [{"name": "x", "port": "/dev/a", "driver": "", "data_id": 1}]})",
         f + "devices[0].driver: must be a non-empty string"},
        {R"({"devices": [7]})", f + "devices[0]: must be an object"},
        // Device servers: the port's form, and one address a line.
        {R"({"devices": [{"name": "x", "port": "tcp://box", "driver": "d.so", "data_id": 1}]})",
         f + R"(devices[0].port: "tcp://box": the TCP port is missing)"},
        {R"({"devices": [{"name": "x", "port": "rfc2217://box:0", "driver": "d", "data_id": 1}]})",
         "the TCP port must be a number from 1 to 65535"},
        {R"({"devices": [{"name": "x", "port": "tcp://[::1:4001", "driver": "d", "data_id": 1}]})",
         "an IPv6 address goes in brackets"},
        {R"({"devices": [{"name": "x", "port": "ssh://box:22", "driver": "d", "data_id": 1}]})",
         "is no port this host knows"},
        {site("", R"(, "network_allowance_ms": 60001)" + rc),
         f + "devices[0].network_allowance_ms: must be an integer from 0 to 60000"},
        {std::string(R"({"devices": [)") + kDevice + R"(, "address": 3}, )" +
             R"({"name": "b", "port": "/dev/ttyUSB0", "driver": "d", "data_id": 20, "address": 3}]})",
         f + "devices[1].address: address 3 on /dev/ttyUSB0 is already devices[0]'s"},
        {R"({"devices": [{"name": "a", "port": "tcp://Box:4001", "driver": "d", "data_id": 1},)"
         R"( {"name": "b", "port": "tcp://box:4001", "driver": "d", "data_id": 2}]})",
         f + "devices[1].address: address 1 on tcp://box:4001 is already devices[0]'s"},
        {std::string(R"({"devices": [)") + kDevice + "}, " + kDevice + "}]}",
         f + R"(devices[1].name: repeats "room1")"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        smd::SiteConfig cfg;
        cfg.history_retention = 7;
        std::string error;
        EXPECT_FALSE(smd::ParseSiteConfig(c.text, "/x", cfg, error));
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
        EXPECT_EQ(cfg.history_retention, 7u);  // untouched on failure
    }
}

// The driver's keys: a fault is a warning with its path (the site still
// starts; the driver may refuse the device), listed with the host's faults
// when there are any.
TEST(SiteConfig, NamesEveryFaultInTheDriversKeysByItsPath) {
    struct Case {
        std::string extra;
        std::vector<std::string> warnings;
    };
    const std::string f = "site configuration: devices[0].";
    const Case cases[] = {
        {R"(, "rcSetting": {}, "acSetting": [{"data_id": 11, "appSetting": {"diff_v": 5}}])", {}},
        {"", {f + "rcSetting: is missing"}},
        {R"(, "rcSetting": [])", {f + "rcSetting: must be an object"}},
        {R"(, "rcSetting": {"data_id": 3})", {f + "rcSetting.data_id: is not a known key"}},
        {R"(, "rcSetting": {}, "acSetting": {"data_id": 11})",
         {f + "acSetting: must be an array of unit entries"}},
        {R"(, "rcSetting": {}, "dcSetting": [{"data_id": 11}, {"data-id": 12}])",
         {f + R"(dcSetting[1].data_id: is missing)",
          f + R"(dcSetting[1].data-id: is not a known key; did you mean "data_id"?)"}},
        {R"(, "rcSetting": {}, "acSetting": [{"data_id": "11"}, 4])",
         {f + "acSetting[0].data_id: must be an integer from 0 to 4294967295",
          f + "acSetting[1]: must be an object"}},
        {R"(, "rcSetting": {}, "acSetting": [{"data_id": 11, "appSetting": {"diff_v": "abc",
             "diff_i": [1], "diffv": 1}}])",
         {f + "acSetting[0].appSetting.diff_v: must be a number",
          f + "acSetting[0].appSetting.diff_i: must be a number",
          f + R"(acSetting[0].appSetting.diffv: is not a known key; did you mean "diff_v"?)"}},
        {R"(, "rcSetting": {}, "acSetting": [{"data_id": 11, "appSetting": 5}])",
         {f + "acSetting[0].appSetting: must be an object"}},
        {R"(, "rcSetting": {}, "acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 11}])",
         {f + "dcSetting[0].data_id: data id 11 is already used by devices[0].acSetting[0]"}},
        {R"(, "rcSetting": {}, "dcSetting": [{"data_id": 10}])",
         {f + "dcSetting[0].data_id: data id 10 is already used by devices[0].data_id"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.extra);
        smd::SiteConfig cfg;
        std::string error;
        ASSERT_TRUE(smd::ParseSiteConfig(site("", c.extra), "/x", cfg, error)) << error;
        ASSERT_EQ(cfg.warnings.size(), c.warnings.size());
        for (std::size_t i = 0; i < c.warnings.size(); ++i) {
            EXPECT_EQ(cfg.warnings[i].rfind(c.warnings[i], 0), 0u) << cfg.warnings[i];
        }
    }
    // With a fault of ours as well, the file is refused and every fault listed.
    smd::SiteConfig cfg;
    std::string error;
    EXPECT_FALSE(smd::ParseSiteConfig(
        site(R"("poll_period_ms": 1, )", R"(, "address": -1, "acSetting": [{}])"), "/x", cfg,
        error));
    EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 3) << error;
    for (const char* part :
         {"poll_period_ms", "devices[0].address", "acSetting[0].data_id", "devices[0].rcSetting"}) {
        EXPECT_NE(error.find(part), std::string::npos) << part;
    }
}

TEST(SiteConfig, LoadNamesTheFileAndReadsTheExample) {
    smd::SiteConfig cfg;
    std::string error;
    EXPECT_FALSE(smd::LoadSiteConfig("/nonexistent/site.json", cfg, error));
    EXPECT_EQ(error, "/nonexistent/site.json: cannot be read (no such file)");

    rt_test::TempDir dir;
    const std::string path = dir.File("bad.json");
    std::ofstream(path) << site("", R"(, "address": -1)");
    EXPECT_FALSE(smd::LoadSiteConfig(path, cfg, error));
    EXPECT_EQ(error.rfind(path + ": devices[0].address: must be", 0), 0u) << error;

    const std::string example = std::string(RAVO3_SOURCE_DIR) + "/examples/site.json";
    ASSERT_TRUE(smd::LoadSiteConfig(example, cfg, error)) << error;
    EXPECT_EQ(cfg.history_db, std::string(RAVO3_SOURCE_DIR) + "/examples/ravo3-history.db");
    ASSERT_EQ(cfg.devices.size(), 1u);
    EXPECT_EQ(cfg.devices[0].driver, std::string(RAVO3_SOURCE_DIR) + "/build/ravo3.so");
    EXPECT_EQ(cfg.devices[0].settings["acSetting"].size(), 1u);
    EXPECT_EQ(cfg.devices[0].settings["dcSetting"].size(), 1u);
    EXPECT_TRUE(cfg.devices[0].settings["rcSetting"].isObject());
}

// The dashboard in a real browser: headless Chromium against the service on
// a simulated site. What the pages show is read from the rendered DOM; the
// screenshots land in the build directory (dashboard/*.png) as artefacts.
#include <gtest/gtest.h>
#include <json/value.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "host/HostTypes.h"
#include "runtime/site/Host.h"
#include "service/Service.h"
#include "service/http/HttpServer.h"
#include "sim/Server.h"
#include "tests/support/Browser.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

const char* const kToken = "dash-token";

// Values that floats hold exactly, so the page must show them as sent. Phase
// BC too high and module 2 failed from cycle 2 on; the DC bus under-voltage
// comes when the test moves the simulator's clock on.
const char* const kScenario = R"({
  "ac": {"units": [{"channels": [{"a": 230.5, "b": 231.25, "c": 229.75, "f": 50.0}],
                    "ia": 12.5, "ib": 11.75, "ic": 13.0}]},
  "rectifier": {"modules": 3, "value": 16.5},
  "dc": {"units": [{"v": 53.25, "i": 48.5}]},
  "events": [
    {"at_cycle": 2, "do": "set", "target": "ac_channel", "phase": "b", "state": 2},
    {"at_cycle": 2, "do": "fail_module", "module": 2},
    {"at_seconds": 1000, "do": "set_value", "target": "dc_voltage", "value": 46.5},
    {"at_seconds": 1000, "do": "set", "target": "dc_voltage", "state": 1}
  ]
})";

// JavaScript: the visible text of the first element matching `selector`.
std::string text_of(const std::string& selector) {
    return "((document.querySelector('" + selector + "') || {}).innerText || '')";
}

class Dashboard : public ::testing::Test {
  protected:
    void SetUp() override {
        smd::set_pause([](unsigned) {});
        dir_ = fs::temp_directory_path() / ("ravo3-dash-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        shots_ = fs::path(RAVO3_BINARY_DIR) / "dashboard";
        fs::create_directories(shots_);
        std::ofstream(dir_ / "token") << kToken << "\n";

        sim::ServerOptions so;
        so.clock_ms = [this] { return sim_ms_.load(); };
        sim_ = std::make_unique<sim::Server>(sim::ParseScenario(kScenario), so);
        ASSERT_TRUE(sim_->Start()) << sim_->Error();
        const std::string site =
            R"({"history_db": "history.db", "http": {"listen": "127.0.0.1:0", "token_file": "token"},
                "devices": [{"name": "site-1", "port": ")" +
            sim_->Path() + R"(", "driver": ")" RAVO3_PLUGIN_PATH R"(", "data_id": 500,
                "acSetting": [{"data_id": 501}], "dcSetting": [{"data_id": 502}], "rcSetting": {}}]})";
        std::string error;
        ASSERT_TRUE(smd::ParseSiteConfig(site, dir_.string(), site_, error)) << error;
        site_.path = (dir_ / "site.json").string();
        smd::HostOptions ho;
        ho.log = [](const std::string&) {};
        host_ = std::make_unique<smd::Host>(ho);
        ASSERT_TRUE(host_->Start(site_, error)) << error;
        service_ = std::make_unique<smd::service::Service>();
        ASSERT_TRUE(service_->Start(*host_, site_, nullptr, error)) << error;
        url_ = "http://127.0.0.1:" + std::to_string(service_->Http()->Port()) + "/";

        browser_ = std::make_unique<testing_support::Browser>();
        if (!browser_->Start((shots_ / "chromium.log").string())) {
            skip_ = "Chromium cannot start here: " + browser_->Error();
        }
    }
    void TearDown() override {
        browser_.reset();
        if (service_) service_->Stop();
        if (host_) host_->Stop();
        service_.reset();
        host_.reset();
        if (sim_) sim_->Stop();
        fs::remove_all(dir_);
        smd::set_pause(nullptr);
    }

    testing_support::Browser& B() { return *browser_; }
    bool Wait(const std::string& js) { return B().WaitFor(js, seconds(30)); }
    std::string Text(const std::string& selector) { return B().Eval(text_of(selector)).asString(); }
    void Shot(const std::string& name, int width, int height) {
        ASSERT_TRUE(B().Viewport(width, height, width < 600));
        EXPECT_TRUE(B().Screenshot((shots_ / (name + ".png")).string())) << B().Error();
    }

    fs::path dir_, shots_;
    std::atomic<std::int64_t> sim_ms_{0};
    std::unique_ptr<sim::Server> sim_;
    smd::SiteConfig site_;
    std::unique_ptr<smd::Host> host_;
    std::unique_ptr<smd::service::Service> service_;
    std::unique_ptr<testing_support::Browser> browser_;
    std::string url_, skip_;
};

}  // namespace

TEST_F(Dashboard, ShowsTheSiteLiveItsAlarmsAndHistory) {
    if (!skip_.empty()) GTEST_SKIP() << skip_;
    ASSERT_TRUE(B().Viewport(1280, 900, false));
    ASSERT_TRUE(B().Navigate(url_ + "#overview")) << B().Error();

    // The token is asked for once, then kept for the session.
    ASSERT_TRUE(Wait("!document.getElementById('token-form').hidden")) << Text("body");
    B().Eval("document.getElementById('token-input').value = '" + std::string(kToken) +
             "'; document.getElementById('token-form').requestSubmit(); true");
    ASSERT_TRUE(Wait(text_of("#active-alarms") + ".includes('06014') && " +
                     "document.querySelector('[data-device=\"site-1\"] .unit-rc tr.faulty')"))
        << Text("body");

    // The simulator's values and the standing alarm, as the page shows them.
    struct Shown {
        const char* selector;
        const char* text;
    } shown[] = {
        {".unit-ac table:nth-of-type(1) tbody", "12.5 A\t11.8 A\t13.0 A"},
        {".unit-ac table:nth-of-type(2) tbody", "Channel 1\t230.5\t231.3\t229.8\t50.00"},
        {".unit-dc", "53.25 V"},
        {".unit-dc", "48.5 A"},
        {".unit-rc tr.faulty", "Module 2\t16.5\t"},
        {".unit-rc tr.faulty td.fault", "ault"},
        {".card h3", "answering"},
        {".card .meta", "poll "},
        {"#active-alarms tbody tr",
         "L2 major\tsite-1\t06014\t交流输入电压过高告警\t交流屏1输入线/相电压BC/B"},
        {"#conn", "live"},
        {"#tz", "UTC+"},
    };
    for (const auto& s : shown) {
        EXPECT_NE(Text(s.selector).find(s.text), std::string::npos)
            << s.selector << " shows \"" << Text(s.selector) << "\", not \"" << s.text << "\"";
    }
    EXPECT_EQ(B().Eval("sessionStorage.getItem('ravo3.token')").asString(), kToken);

    // A new alarm arrives through the stream: no reload, the less severe one second.
    B().Eval("window.notReloaded = true");
    sim_ms_ = 1001 * 1000;
    ASSERT_TRUE(Wait(text_of("#active-alarms") + ".includes('06008')")) << Text("body");
    EXPECT_TRUE(B().Eval("window.notReloaded === true").asBool());
    const std::string alarms = Text("#active-alarms");
    EXPECT_LT(alarms.find("06014"), alarms.find("06008")) << alarms;
    EXPECT_NE(alarms.find("L3 minor"), std::string::npos) << alarms;
    ASSERT_TRUE(Wait(text_of(".unit-dc") + ".includes('46.50 V')")) << Text(".unit-dc");
    Shot("overview-desktop", 1280, 900);
    Shot("overview-phone", 390, 844);

    // The alarm log, raises with how long they have stood.
    B().Eval("location.hash = '#alarms'; true");
    ASSERT_TRUE(Wait(text_of("#events") + ".includes('06008')")) << Text("body");
    const std::string log = Text("#events");
    EXPECT_NE(log.find("06014"), std::string::npos) << log;
    EXPECT_NE(log.find("standing"), std::string::npos) << log;
    Shot("alarms-desktop", 1280, 700);
    EXPECT_TRUE(B().Eval("window.notReloaded === true").asBool());

    // The DC unit's plots over the last hour, with the alarm marked.
    B().Eval("location.hash = '#history?data_id=502&window=3600'; true");
    ASSERT_TRUE(
        Wait("[...document.querySelectorAll('#plots path.series')].some(p => "
             "+p.dataset.points > 1) && document.querySelector('#plots .marker-raised')"))
        << Text("body");
    EXPECT_EQ(B().Eval("[...document.querySelectorAll('#plots .plot')].map(p => "
                       "p.dataset.title).join(',')")
                  .asString(),
              "DC voltage,DC current");
    Shot("history-desktop", 1280, 900);
    Shot("history-phone", 390, 844);

    // The daemon gone: the page says so.
    service_->Stop();
    ASSERT_TRUE(
        Wait(text_of("#conn") + " === 'disconnected' && !document.getElementById('banner').hidden"))
        << Text("body");
    Shot("daemon-gone-phone", 390, 844);
    EXPECT_TRUE(B().Eval("document.getElementById('history-banner').hidden").asBool());

    // A database that can only be read: the page says that new history stays in memory.
    host_->Stop();
    service_.reset();
    host_.reset();
    smd::HostOptions ro;
    ro.log = [](const std::string&) {};
    ro.store_fault = [](const char* step) { return std::string(step) == "open" ? 8 : 0; };
    site_.http.removeMember("token_file");
    std::string error;
    host_ = std::make_unique<smd::Host>(ro);
    ASSERT_TRUE(host_->Start(site_, error)) << error;
    service_ = std::make_unique<smd::service::Service>();
    ASSERT_TRUE(service_->Start(*host_, site_, nullptr, error)) << error;
    ASSERT_TRUE(
        B().Navigate("http://127.0.0.1:" + std::to_string(service_->Http()->Port()) + "/#overview"))
        << B().Error();
    ASSERT_TRUE(Wait("!document.getElementById('history-banner').hidden && " +
                     text_of("#history-banner") + ".includes('read-only')"))
        << Text("body");
    Shot("history-read-only-desktop", 1280, 500);

    // The unit gone: after a reload the line is shown as down and the last
    // values greyed with their age, never as answering.
    sim_->Stop();
    ASSERT_TRUE(Wait("document.querySelector('[data-device=\"site-1\"] h3 .line-bad')"))
        << Text("body");
    B().Eval("window.beforeReload = true");
    ASSERT_TRUE(B().Reload()) << B().Error();
    ASSERT_TRUE(
        Wait("!window.beforeReload && "
             "document.querySelector('[data-device=\"site-1\"] .unit.stale')"))
        << Text("body");
    EXPECT_TRUE(
        B().Eval("!document.querySelector('[data-device=\"site-1\"] h3 .line-ok')").asBool())
        << Text(".card h3");
    EXPECT_NE(Text("[data-device=\"site-1\"] .stale-note").find("Not current: values from"),
              std::string::npos)
        << Text(".card");
    Shot("line-down-desktop", 1280, 900);
}

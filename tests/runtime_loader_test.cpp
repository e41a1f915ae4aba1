#include <gtest/gtest.h>
#include <json/reader.h>

#include <fstream>
#include <memory>
#include <string>

#include "host/SMDController.h"
#include "runtime/framework/PluginLoader.h"
#include "tests/runtime_fixture.h"

namespace {

Json::Value parse(const std::string& text) {
    Json::Value v;
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    std::string err;
    EXPECT_TRUE(r->parse(text.data(), text.data() + text.size(), &v, &err)) << err;
    return v;
}

smd::DeviceConfig device(const std::string& driver, const std::string& settings) {
    smd::DeviceConfig d;
    d.name = "room1";
    d.port = "/dev/null";
    d.driver = driver;
    d.data_id = 100;
    d.settings = parse(settings);
    return d;
}

const char* const kGood =
    R"({"data_id": 100, "acSetting": [{"data_id": 101}], "dcSetting": [{"data_id": 102}],
        "rcSetting": {}})";

}  // namespace

TEST(PluginLoader, MakesAndConfiguresTheBusDeviceOfTheDriver) {
    auto controller = std::make_shared<SMDController>();
    smd::PluginLoader loader;
    std::string error;
    auto dev = loader.Load(device(RAVO3_PLUGIN_PATH, kGood), controller, error);
    ASSERT_TRUE(dev) << error;
    EXPECT_EQ(dev->DeviceType(), "ravo3");
    EXPECT_EQ(dev->DataId(), 100u);
    EXPECT_EQ(dev->BaudRate(), 9600);
    EXPECT_TRUE(dev->SerialLine());
    EXPECT_EQ(dev->Controller(), controller);
    const auto units = dev->GetAllChildVDevices();
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[0]->DataId(), 101u);
    EXPECT_EQ(dev->GetChildVDevice(102)->DeviceType(), "ravo3-dc");
    ASSERT_TRUE(units[2]);
    EXPECT_EQ(units[2]->DataId(), 100u);
    EXPECT_EQ(units[2]->Controller(), controller);
    // shared ownership works for the device's own code
    EXPECT_EQ(dev->shared_from_this(), dev);

    auto second = loader.Load(device(RAVO3_PLUGIN_PATH, kGood), controller, error);
    ASSERT_TRUE(second);
    EXPECT_NE(second, dev);
    EXPECT_EQ(loader.LibraryCount(), 1u);
}

TEST(PluginLoader, ADeviceKeepsItsLibraryAfterTheLoaderIsGone) {
    auto controller = std::make_shared<SMDController>();
    std::shared_ptr<SMDSPDevice> dev;
    {
        smd::PluginLoader loader;
        std::string error;
        dev = loader.Load(device(RAVO3_PLUGIN_PATH, kGood), controller, error);
        ASSERT_TRUE(dev) << error;
    }
    EXPECT_EQ(dev->DeviceType(), "ravo3");
    EXPECT_EQ(dev->GetAllChildVDevices().size(), 3u);
    dev.reset();  // its destructor still has its code
}

TEST(PluginLoader, EachFailureIsOneLineNamingTheDeviceAndTheReason) {
    rt_test::TempDir dir;
    const std::string text_file = dir.File("not-a-library.so");
    std::ofstream(text_file) << "hello";
    const std::string host_lib = std::string(RAVO3_BINARY_DIR) + "/libravo3host.so";
    struct Case {
        std::string driver;
        std::string settings;
        std::string reason;
    };
    const Case cases[] = {
        {"/nonexistent/ravo3.so", kGood, "cannot load driver /nonexistent/ravo3.so: "},
        {text_file, kGood, "cannot load driver " + text_file + ": "},
        {host_lib, kGood, "driver " + host_lib + " has no get_providers: "},
        {RAVO3_PLUGIN_PATH, R"({"acSetting": []})",
         std::string("driver ") + RAVO3_PLUGIN_PATH + " refused the settings"},
        {RAVO3_PLUGIN_PATH, R"({"address": 999, "rcSetting": {}})",
         std::string("driver ") + RAVO3_PLUGIN_PATH + " refused the settings"},
        {RAVO3_PLUGIN_PATH, R"({"acSetting": [{"data_id": "first"}], "rcSetting": {}})",
         "malformed setting: "},
        {RAVO3_PLUGIN_PATH,
         R"({"dcSetting": [{"data_id": 5, "appSetting": {"diff_v": [1]}}], "rcSetting": {}})",
         "malformed setting: "},
    };
    auto controller = std::make_shared<SMDController>();
    smd::PluginLoader loader;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.driver + " " + c.settings);
        std::string error;
        EXPECT_FALSE(loader.Load(device(c.driver, c.settings), controller, error));
        EXPECT_EQ(error.rfind("device \"room1\": " + c.reason, 0), 0u) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
    // Failures do not spoil the next device.
    std::string error;
    EXPECT_TRUE(loader.Load(device(RAVO3_PLUGIN_PATH, kGood), controller, error)) << error;
}

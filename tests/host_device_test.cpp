#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "host/SMDSPDevice.h"
#include "host/VDeviceInterface.h"
#include "tests/support/Fixture.h"

using namespace testing_support;

namespace {

// The smallest concrete devices: what the interface and the host bases give.
struct BareInterface : VDeviceInterface {
    bool LoadFromCache(const unsigned char* data, int len) override {
        last_data = data;
        last_len = len;
        return len == 3;
    }
    using VDeviceInterface::LoadFromCache;
    const unsigned char* last_data = nullptr;
    int last_len = -1;
};

struct Device : SMDSPDevice {
    bool LoadFromCache(const unsigned char*, int) override { return true; }
    using SMDSPDevice::LoadFromCache;
    void SetType(const std::string& t) { device_type_ = t; }
    template <typename... A>
    void Log(const char* f, const A&... a) {
        InfoLog(f, a...);
    }
};

std::string reply(const VDeviceInterface& d, const std::string& name) {
    try {
        d.Get_Value(0, name);
    } catch (const std::out_of_range& e) {
        return e.what();
    }
    return "(value)";
}

}  // namespace

TEST(VDeviceInterface, DefaultsOfABareDevice) {
    BareInterface d;
    EXPECT_EQ(reply(d, "anything"), "数据未就绪");
    EXPECT_EQ(d.DataId(), 0u);
    EXPECT_EQ(d.DeviceType(), "");
    EXPECT_FALSE(d.UseControllerDb());
    int written = 7;
    char out[4];
    EXPECT_EQ(d.DeviceIoControl(1, nullptr, 0, out, 4, written), -2);
    EXPECT_EQ(written, 7) << "nothing is written";
    d.RoundDone();  // does nothing, must not throw
}

TEST(VDeviceInterface, StringCacheReachesTheByteOverload) {
    BareInterface d;
    const std::string blob("abc");
    EXPECT_TRUE(d.LoadFromCache(blob));
    EXPECT_EQ(d.last_len, 3);
    EXPECT_EQ(d.last_data, reinterpret_cast<const unsigned char*>(blob.data()));
    EXPECT_FALSE(d.LoadFromCache(std::string()));
    EXPECT_EQ(d.last_len, 0);
}

TEST(SMDVDevice, HostAnswersDeviceIoControlWithTheLatestSnapshot) {
    Recorder rec;
    auto d = std::make_shared<Device>();
    d->Init(rec.controller, 7, Json::Value());
    const unsigned char bytes[3] = {1, 2, 3};
    d->SendSP(5159, bytes, 3, false);
    unsigned char out[8] = {};
    int written = 0;
    EXPECT_EQ(d->DeviceIoControl(1, nullptr, 0, out, 8, written), 3);
    EXPECT_EQ(written, 3);
    EXPECT_EQ(out[2], 3);
    EXPECT_EQ(d->DeviceIoControl(1, nullptr, 0, out, 2, written), -3);
    EXPECT_EQ(written, 3) << "the length needed";
    EXPECT_EQ(d->DeviceIoControl(99, nullptr, 0, out, 8, written), -1);
    ASSERT_EQ(rec.Snapshots().size(), 1u);
    EXPECT_EQ(rec.Snapshots()[0].unit_type, 5159);
    EXPECT_EQ(rec.Snapshots()[0].data_id, 7u);
}

TEST(SMDVDevice, ChildLookupDefaultsAreEmpty) {
    Device d;
    EXPECT_EQ(d.GetChildVDevice(1), nullptr);
    EXPECT_TRUE(d.GetAllChildVDevices().empty());
}

TEST(InfoLog, FormatsArgumentsInOrderWithTheirKinds) {
    Recorder rec;
    auto d = std::make_shared<Device>();
    d->Init(rec.controller, 258, Json::Value());
    d->Log("PMBusPower:ProcotolError {} read ac_number is {}, configured ac_number is {}",
           d->DataId(), static_cast<unsigned char>(2), 1);
    d->Log("ProcotolError %u read 40_43 m is %d max %d", d->DataId(), static_cast<unsigned char>(9),
           static_cast<unsigned char>(8));
    d->Log("no placeholders");
    d->Log("{} {} {}", d->DataId());
    auto logs = rec.Logs();
    ASSERT_EQ(logs.size(), 4u);
    EXPECT_EQ(logs[0].text,
              "PMBusPower:ProcotolError 258 read ac_number is 2, configured ac_number is 1");
    ASSERT_EQ(logs[0].args.size(), 3u);
    EXPECT_EQ(logs[0].args[0].kind, smd::LogArg::Kind::U32);
    EXPECT_EQ(logs[0].args[1].kind, smd::LogArg::Kind::U8);
    EXPECT_EQ(logs[0].args[2].kind, smd::LogArg::Kind::I32);
    EXPECT_EQ(logs[0].format,
              "PMBusPower:ProcotolError {} read ac_number is {}, configured ac_number is {}");
    // printf-style markers are not placeholders; the values are kept after the text
    EXPECT_EQ(logs[1].text, "ProcotolError %u read 40_43 m is %d max %d [258, 9, 8]");
    EXPECT_EQ(logs[2].text, "no placeholders");
    EXPECT_EQ(logs[3].text, "258 {} {}");
}

TEST(InfoLog, DroppedWhenTheControllerIsGoneOrNeverSet) {
    Device never;
    never.Log("x {}", 1u);  // no controller: returns at once

    auto d = std::make_shared<Device>();
    {
        auto controller = std::make_shared<SMDController>();
        d->Init(controller, 1, Json::Value());
    }
    d->Log("x {}", 1u);  // controller destroyed: dropped without error
    SUCCEED();
}

TEST(SMDVDevice, InitVLinksTheParentsController) {
    Recorder rec;
    auto parent = std::make_shared<Device>();
    parent->Init(rec.controller, 10, Json::Value());
    auto unit = std::make_shared<Device>();
    EXPECT_TRUE(unit->InitV(parent.get(), 42, Json::Value()));
    EXPECT_EQ(unit->DataId(), 42u);
    EXPECT_EQ(unit->Controller(), rec.controller);
    EXPECT_EQ(&unit->DeviceMutex(), &parent->DeviceMutex());
    unit->Log("unit {}", unit->DataId());
    EXPECT_EQ(rec.LogTexts().back(), "unit 42");
    auto orphan = std::make_shared<Device>();
    EXPECT_FALSE(orphan->InitV(nullptr, 5, Json::Value()));
    EXPECT_EQ(orphan->DataId(), 5u);
}

TEST(GetTtime, LayoutIsYearLittleEndianThenMonthDayHourMinuteSecond) {
    auto t = get_ttime(boost::posix_time::time_from_string("2026-12-08 23:59:07"));
    EXPECT_EQ(t, (ttime_t{0xEA, 0x07, 12, 8, 23, 59, 7}));
    EXPECT_EQ(get_ttime(boost::posix_time::ptime()), ttime_t{});
}

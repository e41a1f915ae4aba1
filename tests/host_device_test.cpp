#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/SMDSPDevice.h"
#include "host/VDeviceInterface.h"
#include "plugin/HostExtensions.h"
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
    // A driver's diagnostic: the framework's InfoLog and our host's log.
    template <typename... A>
    void Log(const char* f, const A&... a) {
        host_ext::Log(*this, f, a...);
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

// A host that does not know our control code, or answers it in any other
// shape, is "not supported": the driver then takes nothing from it.
TEST(HostExtensions, StandingDetailsTakeOnlyOurWellFormedAnswer) {
    struct Answering : Device {
        int result = -2;
        int written = 0;
        std::string bytes;
        int DeviceIoControl(int, const void*, int, void* out, int out_len,
                            int& out_written) override {
            out_written = written;
            if (result > 0 && out && out_len >= static_cast<int>(bytes.size()))
                std::memcpy(out, bytes.data(), bytes.size());
            return result;
        }
    };
    const std::string good = std::string("R3SD") + "model A" + '\0' + "model B" + '\0';
    struct Case {
        const char* what;
        int result;
        int written;
        std::string bytes;
        bool supported;
        std::vector<std::string> details;
    };
    const Case cases[] = {
        {"not supported", -2, 0, "", false, {}},
        {"an error of its own", -1, 0, "", false, {}},
        {"well formed",
         static_cast<int>(good.size()),
         static_cast<int>(good.size()),
         good,
         true,
         {"model A", "model B"}},
        {"none standing", 4, 4, "R3SD", true, {}},
        {"another magic", 4, 4, "R3SX", false, {}},
        {"written differs from the result", 4, 3, "R3SD", false, {}},
        {"shorter than the magic", 3, 3, "R3S", false, {}},
        {"a last detail without its end", 6, 6, std::string("R3SDab"), false, {}},
        {"more than the buffer", 1 << 20, 1 << 20, "", false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Answering d;
        d.result = c.result;
        d.written = c.written;
        d.bytes = c.bytes;
        std::vector<std::string> details = {"left over"};
        EXPECT_EQ(host_ext::StandingDetails(d, "device_model", details), c.supported);
        EXPECT_EQ(details, c.details);
    }
}

TEST(HostExtensions, OurHostAnswersTheStandingDetailsOfADevice) {
    Recorder rec;
    auto d = std::make_shared<Device>();
    d->Init(rec.controller, 9, Json::Value());
    d->SetType("ravo3");
    d->CheckThresholdBool(3, "device_model", "70319", "设备配置检测", "model A", true, 0);
    d->CheckThresholdBool(3, "other", "70000", "x", "other point", true, 1);
    ASSERT_TRUE(d->DoBatchCheckThreshold(d->pending_rules));
    std::vector<std::string> details;
    ASSERT_TRUE(host_ext::StandingDetails(*d, "device_model", details));
    EXPECT_EQ(details, std::vector<std::string>{"model A"});
    ASSERT_TRUE(host_ext::StandingDetails(*d, "device_mode", details)) << "a key's prefix";
    EXPECT_TRUE(details.empty());
}

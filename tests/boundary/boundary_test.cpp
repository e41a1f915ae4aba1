// The driver library as a host that offers only the framework's declared
// services sees it: it loads against the bare host with every symbol bound at
// once, makes its devices through the factories, runs a cycle of answers to
// every unit's cycle end with the values the answers carry, and has each
// virtual operation in the slot the framework's tables give it.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <json/json.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bus/Ravo3.h"
#include "host/Provider.h"
#include "tests/boundary/BareHost.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct Info {
    Bytes b;
    Info& u8(unsigned v) {
        b.push_back(static_cast<unsigned char>(v));
        return *this;
    }
    Info& f32(float v) {
        unsigned char raw[4];
        std::memcpy(raw, &v, 4);  // little-endian, as the line carries it
        b.insert(b.end(), raw, raw + 4);
        return *this;
    }
    Info& zeros(int n) {
        b.insert(b.end(), static_cast<std::size_t>(n), 0);
        return *this;
    }
};

// One monitoring unit with one AC panel (one channel), one rectifier module
// and one DC panel, every DATAFLAG clear.
Bytes AnswerInfo(unsigned char cid1, unsigned char cid2) {
    Info i;
    switch (cid1 << 8 | cid2) {
        case 0x4051:
            for (char c : std::string("RAV-O3")) i.u8(static_cast<unsigned char>(c));
            return i.zeros(14).b;
        case 0x4041:  // flag, units, channels, a b c f, p count, ia ib ic
            return i.u8(0)
                .u8(1)
                .u8(1)
                .f32(220.5f)
                .f32(221.0f)
                .f32(219.75f)
                .f32(50.0f)
                .u8(0)
                .f32(10.5f)
                .f32(11.0f)
                .f32(12.0f)
                .b;
        case 0x4043:
            return i.u8(0).u8(1).u8(2).u8(1).u8(0).u8(3).zeros(3).b;
        case 0x4044:
            return i.u8(0).u8(1).u8(1).zeros(4).u8(0).u8(8).zeros(8).zeros(3).b;
        case 0x4141:
            return i.u8(0).f32(53.5f).u8(1).f32(30.0f).u8(4).f32(1).f32(2).f32(3).f32(4).b;
        case 0x4143:
            return i.u8(0).u8(1).u8(0).u8(1).u8(0).u8(1).u8(0).b;
        case 0x4144:
            return i.u8(0).u8(1).u8(0).u8(4).zeros(4).b;
        case 0x4241:
            return i.u8(0).u8(1).f32(53.5f).f32(120.25f).u8(0).u8(0).u8(0).b;
        case 0x4244:
            return i.u8(0).u8(1).u8(0).u8(64).zeros(64).u8(13).zeros(13).b;
        case 0x4046:
            return i.f32(242.0f).f32(187.0f).f32(50.0f).f32(47.0f).f32(53.0f).u8(0).b;
        case 0x4246:
            i.f32(57.6f).f32(45.0f).u8(9);
            for (int k = 0; k < 9; ++k) i.f32(static_cast<float>(k));
            return i.b;
        default:
            return {};
    }
}

// The answer record the frame layer hands the device.
Bytes Record(unsigned char cid1, const Bytes& info) {
    const unsigned lenid = static_cast<unsigned>(info.size() * 2);
    Bytes r = {0x20,
               0x01,
               cid1,
               0x00,
               static_cast<unsigned char>(lenid & 0xFF),
               static_cast<unsigned char>(lenid >> 8)};
    r.insert(r.end(), info.begin(), info.end());
    return r;
}

float FloatAt(const Bytes& b, std::size_t at) {
    float v = 0;
    if (at + 4 <= b.size()) std::memcpy(&v, b.data() + at, 4);
    return v;
}

std::string Reply(const VDeviceInterface& d, const std::string& name) {
    try {
        return std::to_string(d.Get_Value(d.DataId(), name));
    } catch (const std::out_of_range& e) {
        return e.what();
    }
}

struct Library {
    void* handle = nullptr;
    ~Library() {
        if (handle) ::dlclose(handle);
    }
};

}  // namespace

TEST(Boundary, LoadsAgainstTheBareHostAndRunsACycle) {
    Library lib;
    lib.handle = ::dlopen(RAVO3_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib.handle, nullptr) << ::dlerror();
    EXPECT_EQ(::dlsym(RTLD_DEFAULT, "ravo3_host_extensions"), nullptr)
        << "the bare host has no extension table";
    using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();
    auto get_providers = reinterpret_cast<GetProviders>(::dlsym(lib.handle, "get_providers"));
    ASSERT_NE(get_providers, nullptr);

    std::vector<std::shared_ptr<SMDSPDevice>> devices;
    {
        const std::vector<std::shared_ptr<Provider>> providers = get_providers();
        ASSERT_EQ(providers.size(), 4u);
        const char* types[] = {"ravo3", "ravo3-ac", "ravo3-dc", "ravo3-rc"};
        for (std::size_t k = 0; k < providers.size(); ++k) {
            auto* factory = dynamic_cast<SMDSPDeviceProvider*>(providers[k].get());
            ASSERT_NE(factory, nullptr);
            devices.emplace_back(factory->create());
            EXPECT_EQ(devices.back()->DeviceType(), types[k]);
        }
    }
    SMDSPDevice& bus = *devices[0];
    Json::Value cfg(Json::objectValue);
    cfg["acSetting"][0]["data_id"] = 11;
    cfg["dcSetting"][0]["data_id"] = 21;
    cfg["rcSetting"] = Json::Value(Json::objectValue);
    ASSERT_TRUE(bus.Init(std::weak_ptr<SMDController>(), 100, cfg));
    ASSERT_TRUE(bus.InitSetting(cfg));

    bare_host::Journal& j = bare_host::journal();
    ASSERT_TRUE(bus.RefreshStatus());
    // Answer each command until the device sends none (the cycle end).
    for (std::size_t answered = 0; answered < j.commands.size() && answered < 20; ++answered) {
        const bare_host::Command c = j.commands[answered];
        Bytes rec = Record(c.cid1, AnswerInfo(c.cid1, c.cid2));
        bus.process(rec.data(), static_cast<unsigned>(rec.size()));
    }
    // The model query, then a full first cycle, the group byte on the AC queries.
    const std::vector<std::pair<int, int>> want = {
        {0x40, 0x51}, {0x40, 0x41}, {0x40, 0x43}, {0x40, 0x44}, {0x41, 0x41}, {0x41, 0x43},
        {0x41, 0x44}, {0x42, 0x41}, {0x42, 0x44}, {0x40, 0x46}, {0x42, 0x46}};
    ASSERT_EQ(j.commands.size(), want.size());
    for (std::size_t k = 0; k < want.size(); ++k) {
        EXPECT_EQ(j.commands[k].cid1, want[k].first) << k;
        EXPECT_EQ(j.commands[k].cid2, want[k].second) << k;
        EXPECT_EQ(j.commands[k].info, (k >= 1 && k <= 3 ? Bytes{0xFF} : Bytes{})) << k;
    }
    ASSERT_FALSE(j.payload_results.empty());
    EXPECT_EQ(j.payload_results.back(), 0) << "the cycle end";
    EXPECT_EQ(j.resets, 1);

    // Every unit's cycle end: AC, DC, rectifier, each record published once.
    ASSERT_EQ(j.published.size(), 3u);
    EXPECT_EQ(j.published[0].unit_type, 5159);
    EXPECT_EQ(j.published[0].bytes.size(), 40u + 30u);
    EXPECT_EQ(j.published[1].unit_type, 5161);
    EXPECT_EQ(j.published[1].bytes.size(), 142u);
    EXPECT_EQ(j.published[2].unit_type, 5160);
    EXPECT_EQ(j.published[2].bytes.size(), 81u + 32u);
    const Bytes& rc = j.published[2].bytes;
    EXPECT_EQ(FloatAt(rc, 69), 53.5f);
    EXPECT_EQ(rc[73], 1);
    EXPECT_EQ(FloatAt(rc, 81), 30.0f);
    // The closures evaluate the rules and store what was published.
    ASSERT_EQ(j.work.size(), 3u);
    for (auto& w : j.work) w();
    ASSERT_EQ(j.stored.size(), 3u);
    for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(j.stored[k].bytes, j.published[k].bytes);
    std::size_t ac_rules = 0;
    for (const rule_value& r : j.evaluated) {
        if (r.key.rfind("AC_", 0) == 0) ++ac_rules;
        EXPECT_EQ(r.active, 0) << r.key << " " << r.detail;
        EXPECT_NE(r.key, "device_model") << "the unit's model is supported";
    }
    EXPECT_EQ(ac_rules, 11u + 9u);

    // Values by name, through the child lookup.
    const auto ac = bus.GetChildVDevice(11);
    const auto dc = bus.GetChildVDevice(21);
    ASSERT_TRUE(ac && dc);
    EXPECT_EQ(Reply(*ac, "ia"), std::to_string(10.5f));
    EXPECT_EQ(Reply(*ac, "channel_0_b"), std::to_string(221.0f));
    EXPECT_EQ(Reply(*ac, "channel_1_b"), "通道参数越界");
    EXPECT_EQ(Reply(*dc, "v"), std::to_string(53.5f));
    EXPECT_EQ(Reply(*dc, "i"), std::to_string(120.25f));
    const auto all = bus.GetAllChildVDevices();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(Reply(*all[2], "anything"), "数据未就绪");
    EXPECT_EQ(Reply(bus, "v"), "数据未就绪");
}

namespace {

// The slot of a virtual operation: a pointer to a virtual member holds one
// more than the operation's byte offset in the table.
template <typename C, typename F>
long Slot(F C::*member) {
    static_assert(sizeof(member) == 2 * sizeof(void*), "a pointer to member function");
    std::uintptr_t raw = 0;
    std::memcpy(&raw, &member, sizeof raw);
    if ((raw & 1) == 0) return -1;  // not virtual
    return static_cast<long>((raw - 1) / sizeof(void*));
}

using AcUnit = PMBusPowerAC<tele_c_ravo3_ac, tele_c_ravo3_ac_channel, 5159>;
// The AC unit's hook is protected; a derived class may name it.
struct AcHook : AcUnit {
    static constexpr auto kDoImpCheckAlert = &AcHook::DoImpCheckAlert;
};

}  // namespace

TEST(Boundary, EveryOperationIsInTheFrameworksSlot) {
    using VD = VDeviceInterface;
    using SV = SMDVDevice;
    using SP = SMDSPDevice;
    using AC = AcUnit;
    using DC = PMBusPowerDC<tele_c_ravo3_dc, 5161>;
    using RC = PMBusPowerRC<tele_c_ravo3_rc, tele_c_ravo3_rc_channel, 5160>;
    struct Row {
        const char* what;
        long slot;
        long want;
    };
    const Row rows[] = {
        {"Get_Value", Slot(&VD::Get_Value), 0},
        {"LoadFromCache(string)",
         Slot(static_cast<bool (VD::*)(const std::string&)>(&VD::LoadFromCache)), 1},
        {"LoadFromCache(bytes)",
         Slot(static_cast<bool (VD::*)(const unsigned char*, int)>(&VD::LoadFromCache)), 2},
        {"DataId", Slot(&VD::DataId), 3},
        {"DeviceType", Slot(&VD::DeviceType), 4},
        {"DeviceIoControl", Slot(&VD::DeviceIoControl), 5},
        {"RoundDone", Slot(&VD::RoundDone), 6},
        {"UseControllerDb", Slot(&VD::UseControllerDb), 7},
        // 8 and 9: the destructor
        {"Reset", Slot(&SV::Reset), 10},
        {"InitV", Slot(&SV::InitV), 11},
        {"Init", Slot(&SV::Init), 12},
        {"InitSetting", Slot(&SV::InitSetting), 13},
        {"IsSupportDevice", Slot(&SV::IsSupportDevice), 14},
        {"GetChildVDevice", Slot(&SV::GetChildVDevice), 15},
        {"GetAllChildVDevices", Slot(&SV::GetAllChildVDevices), 16},
        {"SendSP", Slot(&SV::SendSP), 17},
        {"SendDelayData", Slot(&SV::SendDelayData), 18},
        {"SendDoData", Slot(&SV::SendDoData), 19},
        {"ReadDi", Slot(&SV::ReadDi), 20},
        {"ReadAi", Slot(&SV::ReadAi), 21},
        {"Get_SP_Value", Slot(&SV::Get_SP_Value), 22},
        {"RefreshStatus", Slot(&SV::RefreshStatus), 23},
        {"process", Slot(&SV::process), 24},
        {"IsProcessing", Slot(&SV::IsProcessing), 25},
        {"IsStalled", Slot(&SV::IsStalled), 26},
        {"SendData", Slot(&SV::SendData), 27},
        {"SendParityData", Slot(&SV::SendParityData), 28},
        {"OpenPort", Slot(&SV::OpenPort), 29},
        {"ClosePort", Slot(&SV::ClosePort), 30},
        {"SMDSPDevice::RefreshStatus", Slot(&SP::RefreshStatus), 23},
        {"SMDSPDevice::ClosePort", Slot(&SP::ClosePort), 30},
        {"process_payload", Slot(&PMBusProtocol::process_payload), 31},
        {"process_error", Slot(&PMBusProtocol::process_error), 32},
        {"Ravo3::process_payload", Slot(&Ravo3::process_payload), 31},
        {"parse40_41", Slot(&AC::parse40_41), 31},
        {"parse40_43", Slot(&AC::parse40_43), 32},
        {"parse40_44", Slot(&AC::parse40_44), 33},
        {"AC DoImpCheckAlert", Slot(AcHook::kDoImpCheckAlert), 34},
        {"parse42_41", Slot(&DC::parse42_41), 31},
        {"parse42_44", Slot(&DC::parse42_44), 32},
        {"DC DoImpCheckAlert", Slot(&DC::DoImpCheckAlert), 33},
        {"parse41_41", Slot(&RC::parse41_41), 31},
        {"parse41_43", Slot(&RC::parse41_43), 32},
        {"parse41_44", Slot(&RC::parse41_44), 33},
        {"parse40_46", Slot(&RC::parse40_46), 34},
        {"parse42_46", Slot(&RC::parse42_46), 35},
        {"RC DoImpCheckAlert", Slot(&RC::DoImpCheckAlert), 36},
    };
    for (const Row& r : rows) EXPECT_EQ(r.slot, r.want) << r.what;

    // The concrete classes add no data to their templates.
    EXPECT_EQ(sizeof(Ravo3AC), sizeof(AC));
    EXPECT_EQ(sizeof(Ravo3DC), sizeof(DC));
    EXPECT_EQ(sizeof(Ravo3RC), sizeof(RC));
    EXPECT_EQ(sizeof(Ravo3), sizeof(PMBusPower<Ravo3AC, Ravo3DC, Ravo3RC>));
}

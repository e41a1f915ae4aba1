// The exported entry: four factories in a fixed order, fresh on every call,
// each making a new unconfigured device; and the symbol as the host finds it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ac/Ravo3AC.h"
#include "bus/Ravo3.h"
#include "dc/Ravo3DC.h"
#include "plugin/Providers.h"
#include "rc/Ravo3RC.h"

namespace {

std::vector<std::unique_ptr<SMDSPDevice>> CreateAll(
    const std::vector<std::shared_ptr<Provider>>& providers) {
    std::vector<std::unique_ptr<SMDSPDevice>> devices;
    for (const auto& p : providers) {
        auto* factory = dynamic_cast<SMDSPDeviceProvider*>(p.get());
        if (!factory) return {};
        devices.emplace_back(factory->create());
    }
    return devices;
}

}  // namespace

TEST(Providers, FourFactoriesInOrder) {
    const auto providers = get_providers();
    ASSERT_EQ(providers.size(), 4u);
    EXPECT_NE(dynamic_cast<Ravo3Provider*>(providers[0].get()), nullptr);
    EXPECT_NE(dynamic_cast<Ravo3ACProvider*>(providers[1].get()), nullptr);
    EXPECT_NE(dynamic_cast<Ravo3DCProvider*>(providers[2].get()), nullptr);
    EXPECT_NE(dynamic_cast<Ravo3RCProvider*>(providers[3].get()), nullptr);
    for (const auto& p : providers) EXPECT_EQ(p.use_count(), 1);
}

TEST(Providers, EachCallGivesIndependentFactories) {
    auto first = get_providers();
    const auto second = get_providers();
    ASSERT_EQ(first.size(), 4u);
    ASSERT_EQ(second.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i)
        for (std::size_t j = 0; j < 4; ++j) EXPECT_NE(first[i].get(), second[j].get());
    // Releasing one set leaves the other and the devices made usable.
    auto* factory = dynamic_cast<SMDSPDeviceProvider*>(second[0].get());
    ASSERT_NE(factory, nullptr);
    std::unique_ptr<SMDSPDevice> device(factory->create());
    first.clear();
    std::unique_ptr<SMDSPDevice> again(factory->create());
    EXPECT_NE(device.get(), again.get());
    EXPECT_EQ(device->DeviceType(), "ravo3");
}

TEST(Providers, CreateMakesNewUnconfiguredDevices) {
    const auto providers = get_providers();
    const auto devices = CreateAll(providers);
    ASSERT_EQ(devices.size(), 4u);
    const std::vector<std::string> types = {"ravo3", "ravo3-ac", "ravo3-dc", "ravo3-rc"};
    for (std::size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(types[i]);
        EXPECT_EQ(devices[i]->DeviceType(), types[i]);
        EXPECT_EQ(devices[i]->DataId(), 0u);
        EXPECT_EQ(devices[i]->ready, 0);
        EXPECT_TRUE(devices[i]->GetAllChildVDevices().size() <= 1u);
    }
    EXPECT_NE(dynamic_cast<Ravo3*>(devices[0].get()), nullptr);
    EXPECT_NE(dynamic_cast<Ravo3AC*>(devices[1].get()), nullptr);
    EXPECT_NE(dynamic_cast<Ravo3DC*>(devices[2].get()), nullptr);
    EXPECT_NE(dynamic_cast<Ravo3RC*>(devices[3].get()), nullptr);
    // Only the bus device owns the line.
    EXPECT_TRUE(devices[0]->SerialLine());
    EXPECT_EQ(devices[0]->BaudRate(), 9600);
    for (std::size_t i = 1; i < 4; ++i) {
        EXPECT_FALSE(devices[i]->SerialLine());
        EXPECT_EQ(devices[i]->BaudRate(), 0);
    }
    // The bus device is not configured: it has no units yet.
    const auto children = devices[0]->GetAllChildVDevices();
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(children[0], nullptr);
    EXPECT_FALSE(devices[0]->RefreshStatus());
    // Two creations give two devices.
    auto* factory = dynamic_cast<SMDSPDeviceProvider*>(providers[2].get());
    std::unique_ptr<SMDSPDevice> other(factory->create());
    EXPECT_NE(other.get(), devices[2].get());
}

TEST(Providers, PluginExportsGetProviders) {
    void* handle = dlopen(RAVO3_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    using Entry = std::vector<std::shared_ptr<Provider>> (*)();
    auto entry = reinterpret_cast<Entry>(dlsym(handle, "get_providers"));
    ASSERT_NE(entry, nullptr) << dlerror();
    {
        const auto providers = entry();
        ASSERT_EQ(providers.size(), 4u);
        auto* factory = dynamic_cast<SMDSPDeviceProvider*>(providers[0].get());
        ASSERT_NE(factory, nullptr);
        std::unique_ptr<SMDSPDevice> device(factory->create());
        EXPECT_EQ(device->DeviceType(), "ravo3");
        std::unique_ptr<SMDSPDevice> unit(
            dynamic_cast<SMDSPDeviceProvider*>(providers[3].get())->create());
        EXPECT_EQ(unit->DeviceType(), "ravo3-rc");
    }
    EXPECT_EQ(dlclose(handle), 0);
}

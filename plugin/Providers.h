// The device factories of the plug-in and its one exported entry.
#pragma once

#include <memory>
#include <vector>

#include "host/Provider.h"

class Ravo3Provider : public SMDSPDeviceProvider {
  public:
    ~Ravo3Provider() override;
    // A new bus device (`Ravo3`).
    SMDSPDevice* create() const override;
};

class Ravo3ACProvider : public SMDSPDeviceProvider {
  public:
    ~Ravo3ACProvider() override;
    // A new AC distribution unit (`Ravo3AC`).
    SMDSPDevice* create() const override;
};

class Ravo3DCProvider : public SMDSPDeviceProvider {
  public:
    ~Ravo3DCProvider() override;
    // A new DC distribution unit (`Ravo3DC`, without a model text).
    SMDSPDevice* create() const override;
};

class Ravo3RCProvider : public SMDSPDeviceProvider {
  public:
    ~Ravo3RCProvider() override;
    // A new rectifier unit (`Ravo3RC`).
    SMDSPDevice* create() const override;
};

// Four new factories, in the order bus device, AC, DC, rectifier unit.
// C linkage only gives the host an unmangled name for dlsym; host and plug-in
// are C++ built alike, so returning a C++ type is sound.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>>
get_providers();
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

// Device factories that a driver library hands to the host.
#pragma once

class SMDSPDevice;

class Provider {
  public:
    Provider() = default;
    virtual ~Provider() = default;
};

class SMDSPDeviceProvider : public Provider {
  public:
    SMDSPDeviceProvider() = default;
    ~SMDSPDeviceProvider() override = default;
    // A new, unconfigured device; the caller owns it.
    virtual SMDSPDevice* create() const = 0;
};

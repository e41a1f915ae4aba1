// The interface through which the host sees every device of a plug-in. Its
// bodies are inline so that they are compiled into the plug-in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

class VDeviceInterface {
  public:
    VDeviceInterface() = default;
    VDeviceInterface(const VDeviceInterface&) = delete;
    VDeviceInterface& operator=(const VDeviceInterface&) = delete;

    // A device without values reports that its data is not ready.
    virtual float Get_Value(unsigned int /*id*/, const std::string& /*name*/) const {
        throw std::out_of_range("数据未就绪");
    }
    virtual bool LoadFromCache(const std::string& blob) {
        if (blob.size() > static_cast<std::size_t>(INT32_MAX)) return false;
        return LoadFromCache(reinterpret_cast<const unsigned char*>(blob.data()),
                             static_cast<int>(blob.size()));
    }
    virtual bool LoadFromCache(const unsigned char* data, int len) = 0;
    virtual unsigned int DataId() const { return data_id_; }
    virtual const std::string& DeviceType() const { return device_type_; }
    // -2: not supported.
    virtual int DeviceIoControl(int /*code*/, const void* /*in*/, int /*in_len*/, void* /*out*/,
                                int /*out_len*/, int& /*out_written*/) {
        return -2;
    }
    virtual void RoundDone() {}
    virtual bool UseControllerDb() { return use_controller_db_; }
    virtual ~VDeviceInterface() = default;

  protected:
    std::uint32_t data_id_ = 0;
    std::string device_type_;
    bool use_controller_db_ = false;
};

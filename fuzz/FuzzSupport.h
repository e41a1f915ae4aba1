// Pieces the fuzz targets share.
#pragma once

#include <cstdio>

#include "host/SMDSPDevice.h"

namespace fuzz_support {

// A line that takes every command and answers nothing.
struct NullPort : smd::Transport {
    bool Open() override { return true; }
    void Close() override {}
    bool IsOpen() const override { return true; }
    int Write(const unsigned char*, unsigned int len, EnumParity) override {
        return static_cast<int>(len);
    }
};

// The decoders' diagnostic lines would drown the fuzzer's own output.
inline void silence_stdout() {
    if (!std::freopen("/dev/null", "w", stdout)) std::perror("freopen");
}

}  // namespace fuzz_support

// Arbitrary bytes from the line into the frame parser and the frame layer of
// a device: nothing may read out of bounds or crash, and every byte is
// accounted for as a frame or a fault.
#include <cstdint>
#include <memory>

#include "fuzz/FuzzSupport.h"
#include "host/PMBusProtocol.h"
#include "runtime/line/FrameCodec.h"

namespace {

struct Sink : PMBusProtocol {
    bool LoadFromCache(const unsigned char*, int) override { return true; }
    int process_payload() override {
        // Read the whole record as a handler would.
        const unsigned lenid = answer_[4] | (answer_[5] << 8);
        unsigned sum = answer_[2];
        for (unsigned i = 0; i < lenid / 2; ++i) sum += answer_[6 + i];
        return static_cast<int>(sum & 1);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    smd::FrameParser parser([](const smd::Frame& f) { (void)f.info.size(); },
                            [](smd::FrameError, std::size_t) {});
    parser.Feed(data, size);

    static auto port = std::make_shared<fuzz_support::NullPort>();
    auto dev = std::make_shared<Sink>();
    dev->SetTransport(port);
    dev->write_pmbus_cmd(0x40, 0x41);
    // Split the input in two chunks at a point taken from the data itself.
    const std::size_t cut = size > 0 ? data[0] % (size + 1) : 0;
    std::vector<unsigned char> copy(data, data + size);
    if (cut > 0) dev->process(copy.data(), static_cast<unsigned>(cut));
    if (size > cut) dev->process(copy.data() + cut, static_cast<unsigned>(size - cut));
    return 0;
}

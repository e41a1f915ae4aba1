// Arbitrary answers into the bus device with its real units, at whatever step
// the poll cycle has reached: each record of the input is one answer frame
// (CID1 chosen by a byte, then the INFO), with polls and clock moves between.
#include <cstdint>
#include <cstdio>
#include <memory>

#include "bus/Ravo3.h"
#include "fuzz/FuzzSupport.h"
#include "runtime/line/FrameCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_support::silence_stdout();
    if (size < 1) return 0;
    fuzz_support::Clocks::Install();
    fuzz_support::Checked checked;
    auto bus = std::make_shared<Ravo3>();
    bus->Init(checked.controller, 1, Json::Value());
    // The first byte picks the site: 0-3 AC units, 0-5 DC units.
    bus->InitSetting(fuzz_support::bus_settings(data[0] % 4, (data[0] >> 2) % 6));
    bus->SetTransport(std::make_shared<fuzz_support::NullPort>());
    std::size_t at = 1;
    while (at + 2 <= size) {
        const unsigned char cid1 = static_cast<unsigned char>(0x40 + data[at] % 3);
        const bool poll = (data[at] & 0x80) != 0;
        const std::size_t n = data[at + 1];
        at += 2;
        const std::size_t take = n < size - at ? n : size - at;
        if (poll) {
            bus->last_update = boost::posix_time::ptime(boost::gregorian::date(2000, 1, 1));
            bus->Reset();
            bus->RefreshStatus();
            fuzz_support::check_step(*bus);
        }
        auto frame = smd::encode_frame(0x20, 1, cid1, 0, data + at, take);
        bus->process(frame.data(), static_cast<unsigned>(frame.size()));
        fuzz_support::check_step(*bus);
        at += take;
    }
    for (auto& unit : bus->GetAllChildVDevices()) {
        if (!unit) continue;
        try {
            (void)unit->Get_Value(0, "channel_0_a");
        } catch (const std::out_of_range&) {
        }
    }
    return 0;
}

// Values read on another thread while cycles decode and end, and the cycle
// closures run on the controller's worker thread: the bus device's lock held
// around every call is all the unit needs.
#include <gtest/gtest.h>
#include <json/value.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "ac/Ravo3AC.h"
#include "tests/support/Fixture.h"

using namespace testing_support;

namespace {

using Parent = testing_support::ParentDevice;

}  // namespace

TEST(AcThreads, ValuesReadWhileCyclesRun) {
    Recorder rec(true);
    auto parent = std::make_shared<Parent>();
    parent->Init(rec.controller, 1, Json::Value());
    auto unit = std::make_shared<Ravo3AC>();
    unit->InitV(parent.get(), 9, Json::Value(Json::objectValue));

    constexpr int kCycles = 300;
    std::atomic<bool> done{false};
    std::atomic<int> served{0};
    std::thread reader([&] {
        while (!done.load()) {
            std::lock_guard<std::recursive_mutex> lock(parent->DeviceMutex());
            try {
                const float a = unit->Get_Value(9, "channel_1_a");
                const float ia = unit->Get_Value(9, "ia");
                if (a >= 220.0f && ia >= 1.0f) served.fetch_add(1);
            } catch (const std::out_of_range&) {
            }
        }
    });

    testing::internal::CaptureStdout();
    for (int i = 0; i < kCycles; ++i) {
        ByteBuilder analog;
        analog.u8(2);
        for (int ch = 0; ch < 2; ++ch) {
            analog.f32(220.0f + i).f32(221).f32(222).f32(50).u8(0);
        }
        analog.f32(1.0f + i).f32(2).f32(3);
        const Bytes alarm = ByteBuilder()
                                .u8(2)
                                .u8s({static_cast<unsigned>(i % 4), 0, 0, 0, 0, 8})
                                .repeat(0, 8)
                                .u8s({0, 0, 0, 0, 0, 8})
                                .repeat(0, 8)
                                .u8s({0, 0, static_cast<unsigned>(i % 3)});
        std::lock_guard<std::recursive_mutex> lock(parent->DeviceMutex());
        ASSERT_EQ(unit->parse40_41(analog.build().data(), static_cast<int>(analog.size())), 47);
        ASSERT_EQ(unit->parse40_44(alarm.data(), static_cast<int>(alarm.size())), 32);
        unit->RoundDone();
    }
    testing::internal::GetCapturedStdout();
    done = true;
    reader.join();
    rec.controller->DrainWork();

    const auto stored = rec.history->All();
    ASSERT_EQ(stored.size(), static_cast<std::size_t>(kCycles));
    for (int i = 0; i < kCycles; ++i) {
        ASSERT_EQ(stored[i].bytes.size(), 100u);
        EXPECT_EQ(f32_at(stored[i].bytes.data() + 4), 1.0f + i)
            << "each closure stores its own cycle";
    }
    EXPECT_EQ(rec.Batches().size(), static_cast<std::size_t>(kCycles));
}

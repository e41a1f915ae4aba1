// Values read on another thread while cycles decode and end, with the closures
// running on the controller's worker thread.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "dc/Ravo3DC.h"
#include "tests/support/Fixture.h"

using testing_support::ByteBuilder;
using testing_support::Bytes;
using testing_support::FakeClock;
using testing_support::Recorder;

namespace {

using Parent = testing_support::ParentDevice;

TEST(DcThreads, QueriesWhileCyclesRun) {
    FakeClock clock;  // never moved while the threads run
    Recorder rec(true);
    auto parent = std::make_shared<Parent>();
    parent->Init(rec.controller, 1, Json::Value());
    auto unit = std::make_shared<Ravo3DC>("ravo3");
    ASSERT_TRUE(unit->InitV(parent.get(), 258, Json::Value()));

    constexpr int kCycles = 200;
    std::atomic<bool> done{false};
    std::atomic<int> answered{0};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!done.load()) {
            std::lock_guard<std::recursive_mutex> lock(parent->DeviceMutex());
            try {
                const float v = unit->Get_Value(258, "v");
                const float i = unit->Get_Value(258, "i");
                if (i != 2 * v) ++torn;
                ++answered;
            } catch (const std::out_of_range&) {
            }
        }
    });
    for (int k = 0; k < kCycles; ++k) {
        const Bytes analog =
            ByteBuilder().f32(static_cast<float>(k)).f32(2.0f * k).u8(0).u8(0).u8(0);
        const Bytes alarms = ByteBuilder().u8(k % 3).u8(0).u8(0);
        std::lock_guard<std::recursive_mutex> lock(parent->DeviceMutex());
        EXPECT_EQ(unit->parse42_41(analog.data(), static_cast<int>(analog.size())), 11);
        EXPECT_EQ(unit->parse42_44(alarms.data(), static_cast<int>(alarms.size())), 3);
        unit->RoundDone();
    }
    done = true;
    reader.join();
    rec.controller->DrainWork();

    EXPECT_EQ(torn.load(), 0);
    const auto hist = rec.history->All();
    ASSERT_EQ(hist.size(), static_cast<std::size_t>(kCycles));
    for (int k = 0; k < kCycles; ++k) {
        // Each closure stored the record of its own cycle.
        EXPECT_EQ(testing_support::f32_at(&hist[k].bytes[4]), static_cast<float>(k));
        EXPECT_EQ(testing_support::f32_at(&hist[k].bytes[8]), 2.0f * k);
    }
    EXPECT_EQ(rec.Batches().size(), static_cast<std::size_t>(kCycles));
    EXPECT_TRUE(unit->alarm_changed);
}

}  // namespace

// Value queries from another thread while cycles decode and end, with the
// closures on the controller's worker thread: the per-device lock that the
// runtime holds around both is all the unit needs.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "rc/Ravo3RC.h"
#include "tests/support/Fixture.h"

using namespace testing_support;

namespace {

using Parent = testing_support::ParentDevice;

}  // namespace

TEST(RcThreads, ValueQueriesWhileCyclesRun) {
    FakeClock clock;  // never moved while the threads run
    Recorder rec(true);
    auto parent = std::make_shared<Parent>();
    parent->Init(rec.controller, 260, Json::Value());
    auto unit = std::make_shared<Ravo3RC>();
    unit->InitV(parent.get(), 260, Json::Value(Json::objectValue));

    const Bytes analog = ByteBuilder()
                             .u8(0)
                             .repeat(0x11, 4)
                             .u8(2)
                             .u8s({1, 2, 3, 4})
                             .u8(4)
                             .repeat(5, 16)
                             .u8s({6, 7, 8, 9})
                             .u8(4)
                             .repeat(10, 16);
    const Bytes status = ByteBuilder().u8s({0, 2, 1, 2, 3, 1, 4, 5, 6, 7, 1, 8});
    const Bytes alarm = ByteBuilder().u8s({0, 2, 1, 4, 1, 0, 1, 0xE2, 0, 4, 0, 1, 0, 1});
    constexpr int kCycles = 300;

    std::atomic<bool> done{false};
    std::atomic<int> unexpected{0};
    std::thread reader([&] {
        while (!done.load()) {
            {
                std::lock_guard<std::recursive_mutex> lock(parent->DeviceMutex());
                try {
                    unit->Get_Value(260, "any");
                    ++unexpected;
                } catch (const std::out_of_range& e) {
                    if (std::string(e.what()) != "数据未就绪") ++unexpected;
                }
            }
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < kCycles; ++i) {
        std::lock_guard<std::recursive_mutex> lock(parent->DeviceMutex());
        EXPECT_EQ(unit->parse41_41(analog.data(), static_cast<int>(analog.size())), 48);
        EXPECT_EQ(unit->parse41_43(status.data(), static_cast<int>(status.size())), 12);
        EXPECT_EQ(unit->parse41_44(alarm.data(), static_cast<int>(alarm.size())), 14);
        unit->RoundDone();
    }
    done = true;
    reader.join();
    rec.controller->DrainWork();

    EXPECT_EQ(unexpected.load(), 0);
    const auto stored = rec.history->All();
    ASSERT_EQ(stored.size(), static_cast<std::size_t>(kCycles));
    for (const auto& h : stored) ASSERT_EQ(h.bytes, stored.front().bytes);
    EXPECT_EQ(rec.Batches().size(), static_cast<std::size_t>(kCycles));
    EXPECT_TRUE(unit->alarm_changed);
}

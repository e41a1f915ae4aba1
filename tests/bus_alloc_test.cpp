// Heap allocations of the driver in steady state, counted exactly by a
// replaced global operator new: poll cycles through the frame layer and value
// queries, refusals included. Sanitizer builds bring their own operator new;
// there the test is skipped.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define RAVO3_OWN_NEW 0
#endif
#endif
#if !defined(RAVO3_OWN_NEW) && (defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__))
#define RAVO3_OWN_NEW 0
#endif
#ifndef RAVO3_OWN_NEW
#define RAVO3_OWN_NEW 1
#endif

#if RAVO3_OWN_NEW
#include "bench/CountingNew.h"
#endif
#include "bench/CycleRig.h"

namespace {

std::uint64_t Allocations() {
#if RAVO3_OWN_NEW
    return counting_new::allocations.load();
#else
    return 0;
#endif
}

// Per cycle, each unit's RoundDone hands the controller one closure: the
// std::function holding it (its captures exceed the small-object buffer) and
// the closure's own copy of the history record are 2 allocations. Nothing
// else allocates: 3 units on the typical site make 6, 7 on the large one 14.
TEST(SteadyState, AllocationsPerCycleAreTheClosuresOnly) {
    if (!RAVO3_OWN_NEW) GTEST_SKIP() << "sanitizer build: operator new is the sanitizer's";
    struct Case {
        cycle_rig::Site site;
        bool steady;
        std::uint64_t per_cycle;
    };
    const Case cases[] = {
        {cycle_rig::kTypical, true, 6},
        {cycle_rig::kTypical, false, 6},
        {cycle_rig::kLarge, true, 14},
        {cycle_rig::kLarge, false, 14},
    };
    constexpr int kCycles = 20;
    smd::set_pause([](unsigned) {});
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.site.name) + (c.steady ? " steady" : " full"));
        cycle_rig::Rig rig(c.site, c.steady);
        // Buffers reach their size in the first cycles.
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(rig.Cycle());
        const std::uint64_t before = Allocations();
        bool all = true;
        for (int i = 0; i < kCycles; ++i) all = rig.Cycle() && all;
        const std::uint64_t used = Allocations() - before;
        ASSERT_TRUE(all);
        EXPECT_EQ(used, c.per_cycle * kCycles);
    }
    smd::set_pause(nullptr);
}

// Value queries allocate nothing, whether answered or refused.
TEST(SteadyState, ValueQueriesAllocateNothing) {
    if (!RAVO3_OWN_NEW) GTEST_SKIP() << "sanitizer build: operator new is the sanitizer's";
    smd::set_pause([](unsigned) {});
    cycle_rig::Rig rig(cycle_rig::kTypical, true);
    ASSERT_TRUE(rig.Cycle());
    smd::set_pause(nullptr);
    const auto ac = rig.bus->GetChildVDevice(200);
    const auto dc = rig.bus->GetChildVDevice(300);
    const auto rc = rig.bus->GetAllChildVDevices().back();
    struct Query {
        const SMDVDevice* unit;
        std::string name;
        bool refused;
    };
    const Query queries[] = {
        {ac.get(), "ia", false},         {ac.get(), "channel_0_a", false},
        {ac.get(), "channel_1_a", true}, {ac.get(), "channel_0_x", true},
        {ac.get(), "voltage", true},     {dc.get(), "v", false},
        {dc.get(), "w", true},           {rc.get(), "v", true},
    };
    for (const Query& q : queries) {
        SCOPED_TRACE(q.name);
        const std::uint64_t before = Allocations();
        bool refused = false;
        try {
            volatile float v = q.unit->Get_Value(0, q.name);
            (void)v;
        } catch (const std::out_of_range&) {
            refused = true;
        }
        EXPECT_EQ(Allocations() - before, 0u);
        EXPECT_EQ(refused, q.refused);
    }
}

}  // namespace

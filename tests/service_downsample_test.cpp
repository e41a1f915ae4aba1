// History downsampling for plots: the envelope of every value survives.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "service/web/Downsample.h"

using smd::NamedValue;
using smd::web::MinMaxDownsample;
using smd::web::TimedValues;

namespace {

NamedValue V(const std::string& name, float v) {
    NamedValue n;
    n.name = name;
    n.ok = true;
    n.value = v;
    return n;
}
NamedValue Reply(const std::string& name) {
    NamedValue n;
    n.name = name;
    n.reply = "数据已超时";
    return n;
}

// One record a second; `v(t)` gives "v" at t, and "i" is always t.
std::vector<TimedValues> Series(int n, float (*v)(int)) {
    std::vector<TimedValues> out;
    for (int t = 0; t < n; ++t) out.push_back({t, {V("v", v(t)), V("i", float(t))}});
    return out;
}

float Flat(int) {
    return 53.5f;
}
float Dip(int t) {
    return t == 517 ? 44.0f : 53.5f;
}
float Spike(int t) {
    return t == 3 ? 60.0f : 53.5f;
}
float Falling(int t) {
    return 53.5f - 0.001f * t;
}

}  // namespace

TEST(Downsample, KeepsEveryBucketsExtremesInOrder) {
    struct Case {
        const char* what;
        int records;
        float (*v)(int);
        std::size_t points;
        std::size_t want;  // records out
        float lo, hi;      // of "v" over the whole answer
    } cases[] = {
        {"few records pass unchanged", 50, Flat, 100, 50, 53.5f, 53.5f},
        {"points below 4 pass unchanged", 50, Flat, 3, 50, 53.5f, 53.5f},
        {"a day into 100 points", 86400, Flat, 100, 100, 53.5f, 53.5f},
        {"a one-cycle dip survives", 1000, Dip, 20, 20, 44.0f, 53.5f},
        {"a spike in the first bucket survives", 1000, Spike, 20, 20, 53.5f, 60.0f},
        {"a slope keeps its ends", 1000, Falling, 10, 10, 53.5f - 0.999f, 53.5f},
    };
    for (const auto& c : cases) {
        const auto out = MinMaxDownsample(Series(c.records, c.v), 0, c.records - 1, c.points);
        ASSERT_EQ(out.size(), c.want) << c.what;
        float lo = 1e9f, hi = -1e9f;
        for (std::size_t k = 0; k < out.size(); ++k) {
            ASSERT_EQ(out[k].values.size(), 2u) << c.what;
            lo = std::min(lo, out[k].values[0].value);
            hi = std::max(hi, out[k].values[0].value);
            if (k) {
                EXPECT_LE(out[k - 1].time, out[k].time) << c.what;
            }
        }
        EXPECT_FLOAT_EQ(lo, c.lo) << c.what;
        EXPECT_FLOAT_EQ(hi, c.hi) << c.what;
        // "i" rises: within each reduced pair, the minimum comes first.
        EXPECT_FLOAT_EQ(out.front().values[1].value, 0.0f) << c.what;
        EXPECT_FLOAT_EQ(out.back().values[1].value, float(c.records - 1)) << c.what;
    }
}

TEST(Downsample, GapsAndMissingValuesStayVisible) {
    // Records in the first and last tenth only; "v" not a number, then not given, in the last.
    std::vector<TimedValues> in;
    for (int t = 0; t < 100; ++t) in.push_back({t, {V("v", 53.0f + t % 3)}});
    in.push_back({900, {V("v", std::numeric_limits<float>::quiet_NaN())}});
    for (int t = 901; t < 1000; ++t) in.push_back({t, {Reply("v")}});
    const auto out = MinMaxDownsample(in, 0, 999, 20);
    for (const auto& r : out) {
        EXPECT_TRUE(r.time < 100 || r.time >= 900) << "no record in the gap";
    }
    ASSERT_EQ(out.size(), 4u);
    EXPECT_TRUE(out[0].values[0].ok);
    EXPECT_FLOAT_EQ(out[0].values[0].value, 53.0f);
    EXPECT_FLOAT_EQ(out[1].values[0].value, 55.0f);
    EXPECT_FALSE(out[3].values[0].ok);
    EXPECT_EQ(out[3].values[0].reply, "数据已超时");
}

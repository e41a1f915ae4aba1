#include "service/web/Downsample.h"

#include <cmath>
#include <map>
#include <string>

namespace smd::web {

namespace {

struct Extremes {
    std::size_t order = 0;  // first seen, to keep the names' order
    bool any = false;
    NamedValue lo, hi;
    std::size_t lo_at = 0, hi_at = 0;
    NamedValue last;  // when never given
};

// Appends the bucket [b, e) of `in` to `out`, two records at most.
void Reduce(std::vector<TimedValues>& in, std::size_t b, std::size_t e,
            std::vector<TimedValues>& out) {
    if (e - b <= 2) {
        for (std::size_t k = b; k < e; ++k) out.push_back(std::move(in[k]));
        return;
    }
    std::map<std::string, Extremes> by_name;
    for (std::size_t k = b; k < e; ++k) {
        for (const auto& v : in[k].values) {
            auto [it, fresh] = by_name.try_emplace(v.name);
            Extremes& x = it->second;
            if (fresh) x.order = by_name.size();
            // A non-finite value cannot be plotted; it counts as not given.
            if (!v.ok || !std::isfinite(v.value)) {
                x.last = v;
                continue;
            }
            if (!x.any || v.value < x.lo.value) x.lo = v, x.lo_at = k;
            if (!x.any || v.value > x.hi.value) x.hi = v, x.hi_at = k;
            x.any = true;
        }
    }
    std::vector<const std::pair<const std::string, Extremes>*> names(by_name.size());
    for (const auto& entry : by_name) names[entry.second.order - 1] = &entry;
    TimedValues first, second;
    first.time = in[b].time;
    second.time = in[e - 1].time;
    for (const auto* entry : names) {
        const Extremes& x = entry->second;
        if (!x.any) {
            first.values.push_back(x.last);
            second.values.push_back(x.last);
        } else if (x.lo_at <= x.hi_at) {
            first.values.push_back(x.lo);
            second.values.push_back(x.hi);
        } else {
            first.values.push_back(x.hi);
            second.values.push_back(x.lo);
        }
    }
    out.push_back(std::move(first));
    out.push_back(std::move(second));
}

}  // namespace

std::vector<TimedValues> MinMaxDownsample(std::vector<TimedValues> records, std::int64_t from,
                                          std::int64_t to, std::size_t points) {
    if (points < 4 || records.size() <= points) return records;
    if (to <= from) {
        from = records.front().time;
        to = records.back().time;
    }
    const std::size_t buckets = points / 2;
    // Long double: a window in milliseconds times a bucket count overflows no int.
    const long double span = static_cast<long double>(to - from) + 1;
    auto bucket_of = [&](std::int64_t t) -> std::size_t {
        if (t <= from) return 0;
        const auto i =
            static_cast<std::size_t>((t - from) * static_cast<long double>(buckets) / span);
        return i < buckets ? i : buckets - 1;
    };
    std::vector<TimedValues> out;
    out.reserve(points);
    std::size_t b = 0;
    while (b < records.size()) {
        const std::size_t bucket = bucket_of(records[b].time);
        std::size_t e = b + 1;
        while (e < records.size() && bucket_of(records[e].time) == bucket) ++e;
        Reduce(records, b, e, out);
        b = e;
    }
    return out;
}

}  // namespace smd::web

#include "service/web/Downsample.h"

#include <cmath>

namespace smd::web {

MinMaxDownsampler::MinMaxDownsampler(std::int64_t from, std::int64_t to, std::size_t points)
    : from_(from), to_(to < from ? from : to), points_(points), buckets_(points / 2) {}

std::size_t MinMaxDownsampler::BucketOf(std::int64_t t) const {
    if (t <= from_) return 0;
    // Long double: a window in milliseconds times a bucket count overflows no integer.
    const long double span = static_cast<long double>(to_ - from_) + 1;
    const auto i = static_cast<std::size_t>(static_cast<long double>(t - from_) *
                                            static_cast<long double>(buckets_) / span);
    return i < buckets_ ? i : buckets_ - 1;
}

void MinMaxDownsampler::Add(TimedValues record) {
    ++seen_;
    if (!reducing_) {
        out_.push_back(std::move(record));
        if (points_ < 4 || out_.size() <= points_) return;
        // More than asked for: from now on, by bucket.
        reducing_ = true;
        std::vector<TimedValues> held;
        held.swap(out_);
        out_.reserve(points_);
        for (auto& r : held) Reduce(std::move(r));
        return;
    }
    Reduce(std::move(record));
}

void MinMaxDownsampler::Reduce(TimedValues record) {
    const std::size_t bucket = BucketOf(record.time);
    if (count_ > 0 && bucket != bucket_) Flush();
    bucket_ = bucket;
    for (const auto& v : record.values) {
        auto [it, fresh] = extremes_.try_emplace(v.name);
        Extremes& x = it->second;
        if (fresh) x.order = extremes_.size();
        // A non-finite value cannot be plotted; it counts as not given.
        if (!v.ok || !std::isfinite(v.value)) {
            x.last = v;
            continue;
        }
        if (!x.any || v.value < x.lo.value) x.lo = v, x.lo_at = count_;
        if (!x.any || v.value > x.hi.value) x.hi = v, x.hi_at = count_;
        x.any = true;
    }
    if (count_ == 0) {
        first_ = std::move(record);
    } else {
        last_ = std::move(record);
    }
    ++count_;
}

void MinMaxDownsampler::Flush() {
    if (count_ == 0) return;
    if (count_ <= 2) {
        out_.push_back(std::move(first_));
        if (count_ == 2) out_.push_back(std::move(last_));
    } else {
        std::vector<const std::pair<const std::string, Extremes>*> names(extremes_.size());
        for (const auto& entry : extremes_) names[entry.second.order - 1] = &entry;
        TimedValues a, b;
        a.time = first_.time;
        b.time = last_.time;
        for (const auto* entry : names) {
            const Extremes& x = entry->second;
            const bool rising = x.lo_at <= x.hi_at;
            a.values.push_back(!x.any ? x.last : rising ? x.lo : x.hi);
            b.values.push_back(!x.any ? x.last : rising ? x.hi : x.lo);
        }
        out_.push_back(std::move(a));
        out_.push_back(std::move(b));
    }
    count_ = 0;
    extremes_.clear();
}

std::vector<TimedValues> MinMaxDownsampler::Finish() {
    Flush();
    return std::move(out_);
}

std::vector<TimedValues> MinMaxDownsample(std::vector<TimedValues> records, std::int64_t from,
                                          std::int64_t to, std::size_t points) {
    MinMaxDownsampler d(from, to, points);
    for (auto& r : records) d.Add(std::move(r));
    return d.Finish();
}

}  // namespace smd::web

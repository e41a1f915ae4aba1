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
    if (slots_.size() < record.values.size()) slots_.resize(record.values.size(), nullptr);
    for (std::size_t k = 0; k < record.values.size(); ++k) {
        const NamedValue& v = record.values[k];
        // Records of a unit name their values in the same order.
        Extremes* x = slots_[k];
        if (!x || *x->name != v.name) {
            auto it = extremes_.try_emplace(v.name).first;
            x = &it->second;
            x->name = &it->first;
            slots_[k] = x;
        }
        if (x->bucket != generation_) {
            x->bucket = generation_;
            x->any = false;
            x->last = NamedValue();
            order_.push_back(x);
        }
        // A non-finite value cannot be plotted; it counts as not given.
        if (!v.ok || !std::isfinite(v.value)) {
            x->last = v;
            continue;
        }
        if (!x->any || v.value < x->lo) x->lo = v.value, x->lo_at = count_;
        if (!x->any || v.value > x->hi) x->hi = v.value, x->hi_at = count_;
        x->any = true;
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
        TimedValues a, b;
        a.time = first_.time;
        b.time = last_.time;
        a.values.reserve(order_.size());
        b.values.reserve(order_.size());
        for (const Extremes* x : order_) {
            if (!x->any) {
                a.values.push_back(x->last);
                b.values.push_back(x->last);
                continue;
            }
            NamedValue lo, hi;
            lo.name = hi.name = *x->name;
            lo.ok = hi.ok = true;
            lo.value = x->lo;
            hi.value = x->hi;
            const bool rising = x->lo_at <= x->hi_at;
            a.values.push_back(rising ? lo : hi);
            b.values.push_back(rising ? std::move(hi) : std::move(lo));
        }
        out_.push_back(std::move(a));
        out_.push_back(std::move(b));
    }
    count_ = 0;
    order_.clear();
    ++generation_;
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

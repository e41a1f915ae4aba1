// Downsampling of decoded history for plotting: a day of 2-second cycles is
// 43200 records per unit, far more than a plot has pixels across.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "runtime/events/Events.h"

namespace smd::web {

struct TimedValues {
    std::int64_t time = 0;  // any monotonic unit (seconds, milliseconds)
    std::vector<NamedValue> values;
};

// At most `points` records for the window [from, to], fed in time order
// without holding them all: the window is cut into points/2 equal buckets and
// each bucket with more than two records becomes two, at its first and last
// record's times, carrying every value's minimum and maximum in the order they
// came. So a dip of one cycle survives; a bucket without records stays empty
// (the plot shows a gap). A value never given in a bucket keeps its last
// reply. No more records than `points`, or `points` below 4: all unchanged.
class MinMaxDownsampler {
  public:
    MinMaxDownsampler(std::int64_t from, std::int64_t to, std::size_t points);
    void Add(TimedValues record);
    std::vector<TimedValues> Finish();
    std::size_t Seen() const { return seen_; }

  private:
    // A name's values in the bucket being reduced. Entries stay from bucket
    // to bucket (`bucket` says which one they hold), so that a long window
    // allocates nothing per record.
    struct Extremes {
        const std::string* name = nullptr;  // the map's key
        std::size_t bucket = 0;             // generation of the bucket it holds; 0: none
        bool any = false;
        float lo = 0, hi = 0;
        std::size_t lo_at = 0, hi_at = 0;
        NamedValue last;  // when never given
    };
    std::size_t BucketOf(std::int64_t t) const;
    void Reduce(TimedValues record);
    void Flush();

    std::int64_t from_, to_;
    std::size_t points_, buckets_;
    std::size_t seen_ = 0;
    std::vector<TimedValues> out_;
    bool reducing_ = false;
    // The bucket being reduced.
    std::size_t bucket_ = 0, count_ = 0;
    TimedValues first_, last_;
    std::map<std::string, Extremes> extremes_;
    std::size_t generation_ = 1;
    std::vector<Extremes*> order_;  // this bucket's names, first seen first
    std::vector<Extremes*> slots_;  // by position in the record before
};

// The same over records at hand.
std::vector<TimedValues> MinMaxDownsample(std::vector<TimedValues> records, std::int64_t from,
                                          std::int64_t to, std::size_t points);

}  // namespace smd::web

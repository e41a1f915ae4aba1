// Downsampling of decoded history for plotting: a day of 2-second cycles is
// 43200 records per unit, far more than a plot has pixels across.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "runtime/Events.h"

namespace smd::web {

struct TimedValues {
    std::int64_t time = 0;  // any monotonic unit (seconds, milliseconds)
    std::vector<NamedValue> values;
};

// At most `points` records out of `records` (time-ordered), for the window
// [from, to]: the window is cut into points/2 equal buckets and each bucket
// with more than two records becomes two, at its first and last record's
// times, carrying every value's minimum and maximum in the order they came.
// So a spike or a dip of one cycle survives; a bucket without records stays
// empty (the plot shows a gap). A value that was never given in a bucket
// keeps the last reply. Fewer records than `points`, or `points` below 4:
// the records unchanged.
std::vector<TimedValues> MinMaxDownsample(std::vector<TimedValues> records, std::int64_t from,
                                          std::int64_t to, std::size_t points);

}  // namespace smd::web

// How stored history is packed: a unit's records of one clock minute go into
// one chunk, each record as the bytes that differ from the record before it
// (runs of equal bytes cost a byte or two), and every chunk gets a summary of
// its minute (lowest, highest and last of each value) for long plots.
//
// The records come back byte for byte: the units load them through
// LoadFromCache at the next start. Decoders take untrusted bytes (a damaged
// file) and refuse what does not parse, without reading past the input.
#pragma once

#include <boost/date_time/posix_time/ptime.hpp>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/events/Events.h"

namespace smd::history {

// Local time as whole seconds since 1970-01-01 00:00 (local), and back.
// Not-a-date-time counts as 0.
std::int64_t to_seconds(const boost::posix_time::ptime& t);
boost::posix_time::ptime from_seconds(std::int64_t s);

struct Entry {
    std::int64_t id = 0;
    std::int64_t time = 0;  // to_seconds
    int unit_type = 0;
    std::vector<unsigned char> bytes;
};

// Bounds of one chunk: its records' bytes stay small enough for one or two
// database pages, and no record is larger than a unit could ever send.
constexpr std::size_t kChunkRecords = 240;
constexpr std::size_t kChunkBytes = 8192;
constexpr std::size_t kMaxRecordBytes = 1 << 20;

// Builds the chunk of one unit's consecutive records.
class ChunkEncoder {
  public:
    // False, changing nothing, when the record does not belong in this chunk:
    // another minute, a time before the last record's, an id not above the
    // last one's, or the chunk is full.
    bool Add(const Entry& e);
    bool Empty() const { return count_ == 0; }
    std::size_t Count() const { return count_; }
    std::int64_t FirstId() const { return first_id_; }
    std::int64_t LastId() const { return last_id_; }
    std::int64_t FirstTime() const { return first_time_; }
    std::int64_t LastTime() const { return last_time_; }
    std::int64_t Minute() const { return first_time_ - floor_mod(first_time_, 60); }
    const std::vector<unsigned char>& Blob() const { return blob_; }
    void Clear();

    static std::int64_t floor_mod(std::int64_t a, std::int64_t m) { return ((a % m) + m) % m; }

  private:
    std::vector<unsigned char> blob_;
    std::vector<unsigned char> prev_;
    std::size_t count_ = 0;
    std::int64_t first_id_ = 0, last_id_ = 0, first_time_ = 0, last_time_ = 0;
    int unit_type_ = 0;
};

// The records of a chunk whose first record has `first_id` and `first_time`
// and its last `last_id`, `count` of them, appended to `out` in order. False,
// with `out` as it was, for a blob that does not parse or does not match.
bool decode_chunk(const unsigned char* blob, std::size_t size, std::int64_t first_id,
                  std::int64_t first_time, std::int64_t last_id, std::int64_t count,
                  std::vector<Entry>& out);

// One value over a minute. Tag: no finite value, one value all minute, or
// lowest / highest / last with which of the two came first.
struct MinuteValue {
    enum class Shape : unsigned char { None = 0, Constant = 1, Rising = 2, Falling = 3 };
    Shape shape = Shape::None;
    float low = 0, high = 0, last = 0;
};

// A minute of one unit: offsets of its first and last record within the
// minute, records seen and those whose bytes do not have their unit's layout.
struct MinuteSummary {
    std::int64_t minute = 0;  // to_seconds of the minute's start
    unsigned first_offset = 0, last_offset = 0;
    std::uint32_t count = 0, undecoded = 0;
    std::vector<std::string> names;  // the layout
    std::vector<MinuteValue> values;
};

// Summarises records of one unit kind, in order.
class MinuteBuilder {
  public:
    explicit MinuteBuilder(bool known_kind, UnitKind kind) : known_(known_kind), kind_(kind) {}
    void Add(const Entry& e);
    MinuteSummary Take(std::int64_t minute, std::int64_t first_time, std::int64_t last_time);

  private:
    struct Acc {
        bool any = false;
        float low = 0, high = 0, last = 0;
        std::size_t low_at = 0, high_at = 0;
    };
    bool known_;
    UnitKind kind_;
    std::uint32_t count_ = 0, undecoded_ = 0;
    std::vector<std::string> names_;
    std::vector<Acc> acc_;
    std::vector<NamedValue> scratch_;
};

// The layout (names) of a summary as stored beside it, and its values blob.
std::string encode_layout(const std::vector<std::string>& names);
bool decode_layout(const std::string& text, std::vector<std::string>& names);
std::vector<unsigned char> encode_minute(const MinuteSummary& s);
// `names` from the layout; false for a blob that does not match it.
bool decode_minute(const unsigned char* blob, std::size_t size, std::size_t names,
                   MinuteSummary& out);

}  // namespace smd::history

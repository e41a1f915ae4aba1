#include "runtime/store/HistoryCodec.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cmath>
#include <cstring>

#include "runtime/values/Vocabulary.h"

namespace smd::history {

namespace pt = boost::posix_time;

namespace {

constexpr unsigned char kChunkFormat = 1;
constexpr unsigned char kMinuteFormat = 1;
constexpr unsigned char kNewLength = 1;
constexpr unsigned char kNewType = 2;
// A run of at least this many unchanged bytes starts a new operation; a
// shorter one is cheaper inside the literal.
constexpr std::size_t kSplitRun = 3;

const pt::ptime& epoch() {
    static const pt::ptime e(boost::gregorian::date(1970, 1, 1));
    return e;
}

void put_varint(std::vector<unsigned char>& out, std::uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<unsigned char>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<unsigned char>(v));
}

std::uint64_t zigzag(std::int64_t v) {
    return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}

std::int64_t unzigzag(std::uint64_t v) {
    return static_cast<std::int64_t>(v >> 1) ^ -static_cast<std::int64_t>(v & 1);
}

class Reader {
  public:
    Reader(const unsigned char* p, std::size_t n) : p_(p), n_(n) {}
    bool Byte(unsigned char& b) {
        if (at_ >= n_) return false;
        b = p_[at_++];
        return true;
    }
    bool Varint(std::uint64_t& v) {
        v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            unsigned char b;
            if (!Byte(b)) return false;
            v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
            if (!(b & 0x80)) return shift < 63 || (b & 0x7F) <= 1;
        }
        return false;
    }
    bool Bytes(std::size_t k, const unsigned char*& out) {
        if (k > n_ - at_) return false;
        out = p_ + at_;
        at_ += k;
        return true;
    }
    bool Float(float& f) {
        const unsigned char* b;
        if (!Bytes(4, b)) return false;
        std::memcpy(&f, b, 4);
        return true;
    }
    bool Done() const { return at_ == n_; }

  private:
    const unsigned char* p_;
    std::size_t n_;
    std::size_t at_ = 0;
};

void put_float(std::vector<unsigned char>& out, float f) {
    unsigned char b[4];
    std::memcpy(b, &f, 4);
    out.insert(out.end(), b, b + 4);
}

}  // namespace

std::int64_t to_seconds(const pt::ptime& t) {
    if (t.is_special()) return 0;
    return (t - epoch()).total_seconds();
}

pt::ptime from_seconds(std::int64_t s) {
    return epoch() + pt::seconds(static_cast<long>(s));
}

void ChunkEncoder::Clear() {
    blob_.clear();
    prev_.clear();
    count_ = 0;
}

bool ChunkEncoder::Add(const Entry& e) {
    if (e.bytes.size() > kMaxRecordBytes) return false;
    if (count_ > 0) {
        if (count_ >= kChunkRecords || blob_.size() >= kChunkBytes) return false;
        if (e.id <= last_id_ || e.time < last_time_) return false;
        if (e.time - floor_mod(e.time, 60) != Minute()) return false;
    } else {
        blob_.clear();
        blob_.push_back(kChunkFormat);
        first_id_ = last_id_ = e.id;
        first_time_ = last_time_ = e.time;
    }
    unsigned char flags = 0;
    const bool new_length = count_ == 0 || e.bytes.size() != prev_.size();
    if (new_length) flags |= kNewLength;
    if (count_ == 0 || e.unit_type != unit_type_) flags |= kNewType;
    blob_.push_back(flags);
    put_varint(blob_, static_cast<std::uint64_t>(e.id - last_id_));
    put_varint(blob_, static_cast<std::uint64_t>(e.time - last_time_));
    if (flags & kNewType) put_varint(blob_, zigzag(e.unit_type));
    if (new_length) {
        put_varint(blob_, e.bytes.size());
        prev_.assign(e.bytes.size(), 0);
    }
    // Operations: skip this many unchanged bytes, then take this many new
    // ones. A short unchanged run stays inside the new bytes.
    const std::size_t n = e.bytes.size();
    std::size_t i = 0;
    while (i < n) {
        const std::size_t same_start = i;
        while (i < n && e.bytes[i] == prev_[i]) ++i;
        put_varint(blob_, i - same_start);
        const std::size_t lit_start = i;
        while (i < n) {
            if (e.bytes[i] != prev_[i]) {
                ++i;
                continue;
            }
            std::size_t k = i;
            while (k < n && e.bytes[k] == prev_[k]) ++k;
            if (k - i >= kSplitRun || k == n) break;
            i = k;
        }
        put_varint(blob_, i - lit_start);
        blob_.insert(blob_.end(), e.bytes.begin() + static_cast<long>(lit_start),
                     e.bytes.begin() + static_cast<long>(i));
    }
    prev_ = e.bytes;
    unit_type_ = e.unit_type;
    last_id_ = e.id;
    last_time_ = e.time;
    ++count_;
    return true;
}

bool decode_chunk(const unsigned char* blob, std::size_t size, std::int64_t first_id,
                  std::int64_t first_time, std::int64_t last_id, std::int64_t records,
                  std::vector<Entry>& out) {
    if (records <= 0 || records > static_cast<std::int64_t>(kChunkRecords)) return false;
    Reader r(blob, size);
    unsigned char format;
    if (!r.Byte(format) || format != kChunkFormat) return false;
    const std::size_t start = out.size();
    auto fail = [&] {
        out.resize(start);
        return false;
    };
    std::vector<unsigned char> prev;
    std::int64_t id = first_id, time = first_time;
    int unit_type = 0;
    std::size_t count = 0;
    while (!r.Done()) {
        if (++count > kChunkRecords) return fail();
        unsigned char flags;
        std::uint64_t did, dt;
        if (!r.Byte(flags) || (flags & ~(kNewLength | kNewType)) || !r.Varint(did) ||
            !r.Varint(dt)) {
            return fail();
        }
        // Ids rise within a chunk; times never go back. Bounded so that no
        // sum below overflows.
        if ((count == 1) != (did == 0) || did > (1ull << 62) || dt > (1ull << 40)) return fail();
        if (count == 1 && (!(flags & kNewLength) || !(flags & kNewType))) return fail();
        id += static_cast<std::int64_t>(did);
        time += static_cast<std::int64_t>(dt);
        if (flags & kNewType) {
            std::uint64_t t;
            if (!r.Varint(t)) return fail();
            const std::int64_t v = unzigzag(t);
            if (v < INT32_MIN || v > INT32_MAX) return fail();
            unit_type = static_cast<int>(v);
        }
        if (flags & kNewLength) {
            std::uint64_t len;
            if (!r.Varint(len) || len > kMaxRecordBytes) return fail();
            prev.assign(static_cast<std::size_t>(len), 0);
        }
        std::size_t at = 0;
        while (at < prev.size()) {
            std::uint64_t same, lit;
            const unsigned char* bytes;
            if (!r.Varint(same) || !r.Varint(lit) || same > prev.size() - at ||
                lit > prev.size() - at - same || !r.Bytes(static_cast<std::size_t>(lit), bytes)) {
                return fail();
            }
            if (same == 0 && lit == 0) return fail();  // no progress
            at += static_cast<std::size_t>(same);
            std::memcpy(prev.data() + at, bytes, static_cast<std::size_t>(lit));
            at += static_cast<std::size_t>(lit);
        }
        Entry e;
        e.id = id;
        e.time = time;
        e.unit_type = unit_type;
        e.bytes = prev;
        out.push_back(std::move(e));
    }
    if (static_cast<std::int64_t>(count) != records || id != last_id) return fail();
    return true;
}

void MinuteBuilder::Add(const Entry& e) {
    ++count_;
    scratch_.clear();
    if (!known_ || !record_values(kind_, e.bytes, scratch_)) {
        ++undecoded_;
        return;
    }
    // Names are looked up from where the last record had them: the same
    // layout in every record of a steady unit.
    for (std::size_t k = 0; k < scratch_.size(); ++k) {
        const NamedValue& v = scratch_[k];
        std::size_t slot = k;
        if (slot >= names_.size() || names_[slot] != v.name) {
            slot = names_.size();
            for (std::size_t j = 0; j < names_.size(); ++j) {
                if (names_[j] == v.name) slot = j;
            }
            if (slot == names_.size()) {
                names_.push_back(v.name);
                acc_.emplace_back();
            }
        }
        if (!v.ok || !std::isfinite(v.value)) continue;
        Acc& a = acc_[slot];
        if (!a.any || v.value < a.low) a.low = v.value, a.low_at = count_;
        if (!a.any || v.value > a.high) a.high = v.value, a.high_at = count_;
        a.last = v.value;
        a.any = true;
    }
}

MinuteSummary MinuteBuilder::Take(std::int64_t minute, std::int64_t first_time,
                                  std::int64_t last_time) {
    MinuteSummary s;
    s.minute = minute;
    const auto offset = [minute](std::int64_t t) {
        const std::int64_t d = t - minute;
        return static_cast<unsigned>(d < 0 ? 0 : d > 59 ? 59 : d);
    };
    s.first_offset = offset(first_time);
    s.last_offset = offset(last_time);
    s.count = count_;
    s.undecoded = undecoded_;
    s.names = std::move(names_);
    for (const Acc& a : acc_) {
        MinuteValue v;
        if (a.any) {
            v.low = a.low;
            v.high = a.high;
            v.last = a.last;
            v.shape = a.low == a.high         ? MinuteValue::Shape::Constant
                      : a.low_at <= a.high_at ? MinuteValue::Shape::Rising
                                              : MinuteValue::Shape::Falling;
        }
        s.values.push_back(v);
    }
    names_.clear();
    acc_.clear();
    count_ = undecoded_ = 0;
    return s;
}

std::string encode_layout(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& n : names) {
        if (!out.empty()) out += ',';
        out += n;
    }
    return out;
}

bool decode_layout(const std::string& text, std::vector<std::string>& names) {
    names.clear();
    if (text.empty()) return true;
    std::size_t at = 0;
    while (true) {
        const std::size_t comma = text.find(',', at);
        names.push_back(
            text.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
        if (names.back().empty()) return false;
        if (comma == std::string::npos) return true;
        at = comma + 1;
    }
}

std::vector<unsigned char> encode_minute(const MinuteSummary& s) {
    std::vector<unsigned char> out;
    out.push_back(kMinuteFormat);
    out.push_back(static_cast<unsigned char>(s.first_offset));
    out.push_back(static_cast<unsigned char>(s.last_offset));
    for (const MinuteValue& v : s.values) {
        out.push_back(static_cast<unsigned char>(v.shape));
        switch (v.shape) {
            case MinuteValue::Shape::None:
                break;
            case MinuteValue::Shape::Constant:
                put_float(out, v.low);
                break;
            case MinuteValue::Shape::Rising:
            case MinuteValue::Shape::Falling:
                put_float(out, v.low);
                put_float(out, v.high);
                put_float(out, v.last);
                break;
        }
    }
    return out;
}

bool decode_minute(const unsigned char* blob, std::size_t size, std::size_t names,
                   MinuteSummary& out) {
    Reader r(blob, size);
    unsigned char format, first, last;
    if (!r.Byte(format) || format != kMinuteFormat || !r.Byte(first) || !r.Byte(last) ||
        first > 59 || last > 59 || last < first) {
        return false;
    }
    out.first_offset = first;
    out.last_offset = last;
    out.values.clear();
    for (std::size_t k = 0; k < names; ++k) {
        unsigned char shape;
        if (!r.Byte(shape) || shape > 3) return false;
        MinuteValue v;
        v.shape = static_cast<MinuteValue::Shape>(shape);
        if (v.shape == MinuteValue::Shape::Constant) {
            if (!r.Float(v.low)) return false;
            v.high = v.last = v.low;
        } else if (v.shape != MinuteValue::Shape::None) {
            if (!r.Float(v.low) || !r.Float(v.high) || !r.Float(v.last)) return false;
        }
        out.values.push_back(v);
    }
    return r.Done();
}

}  // namespace smd::history

// JSON text as every output of ours writes it (HTTP API, client, runner):
// always valid UTF-8 (invalid bytes become U+FFFD), floats in the shortest
// form that reads back to the same float (53.52, not 53.520000457763672),
// non-finite numbers as null, times as ISO 8601 local time with its offset.
#pragma once

#include <json/value.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace smd::json {

// `text` with every byte sequence that is not UTF-8 replaced by U+FFFD.
std::string valid_utf8(std::string_view text);
// Appends `text` as a JSON string: quoted, escaped, valid UTF-8.
void append_string(std::string& out, std::string_view text);
std::string quote(std::string_view text);
// Shortest round-trip form of the float (or of the double); "null" when not finite.
std::string number(float v);
std::string number(double v);

// A compact JSON writer; commas and nesting are its business. Misuse (a key
// outside an object, unbalanced ends) is the caller's fault and is not checked.
class Writer {
  public:
    Writer& BeginObject();
    Writer& EndObject();
    Writer& BeginArray();
    Writer& EndArray();
    Writer& Key(std::string_view key);
    Writer& String(std::string_view v);
    Writer& Float(float v);
    Writer& Double(double v);
    Writer& Int(std::int64_t v);
    Writer& UInt(std::uint64_t v);
    Writer& Bool(bool v);
    Writer& Null();
    // ISO 8601 with offset; null for not-a-date-time.
    Writer& Time(const boost::posix_time::ptime& local);
    // A jsoncpp value, with the same rules (reals as doubles).
    Writer& Value(const Json::Value& v);
    // Text that is already JSON.
    Writer& Raw(std::string_view json);

    const std::string& Text() const { return out_; }
    std::string Take() { return std::move(out_); }

  private:
    void Separate();
    std::string out_;
    std::vector<bool> first_;  // per open container: nothing written in it yet
    bool after_key_ = false;
    // The UTC offset of the last local hour written: an answer of a few
    // thousand times asks the time zone once an hour of them, not each time.
    boost::posix_time::ptime offset_hour_;
    std::string offset_;
};

}  // namespace smd::json

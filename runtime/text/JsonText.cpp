#include "runtime/text/JsonText.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "runtime/events/Events.h"

namespace smd::json {

namespace {

constexpr const char kReplacement[] = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence at `p`, 0 when there is none.
std::size_t utf8_length(const unsigned char* p, std::size_t left) {
    const unsigned char c = p[0];
    if (c < 0x80) return 1;
    std::size_t n;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;  // overlong
        if (c == 0xED) hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;  // overlong
        if (c == 0xF4) hi = 0x8F;  // beyond U+10FFFF
    } else {
        return 0;
    }
    if (left < n) return 0;
    if (p[1] < lo || p[1] > hi) return 0;
    for (std::size_t k = 2; k < n; ++k) {
        if (p[k] < 0x80 || p[k] > 0xBF) return 0;
    }
    return n;
}

template <typename F>
std::string shortest(F v) {
    if (!std::isfinite(v)) return "null";
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

}  // namespace

std::string valid_utf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t n = utf8_length(p + i, text.size() - i);
        if (n == 0) {
            out += kReplacement;
            ++i;
        } else {
            out.append(text.data() + i, n);
            i += n;
        }
    }
    return out;
}

void append_string(std::string& out, std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = p[i];
        if (c >= 0x80) {
            const std::size_t n = utf8_length(p + i, text.size() - i);
            if (n == 0) {
                out += kReplacement;
                ++i;
            } else {
                out.append(text.data() + i, n);
                i += n;
            }
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xF];
                } else {
                    out += static_cast<char>(c);
                }
        }
        ++i;
    }
    out += '"';
}

std::string quote(std::string_view text) {
    std::string out;
    append_string(out, text);
    return out;
}

std::string number(float v) {
    return shortest(v);
}

std::string number(double v) {
    return shortest(v);
}

void Writer::Separate() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (!first_.empty()) {
        if (!first_.back()) out_ += ',';
        first_.back() = false;
    }
}

Writer& Writer::BeginObject() {
    Separate();
    out_ += '{';
    first_.push_back(true);
    return *this;
}

Writer& Writer::EndObject() {
    out_ += '}';
    if (!first_.empty()) first_.pop_back();
    return *this;
}

Writer& Writer::BeginArray() {
    Separate();
    out_ += '[';
    first_.push_back(true);
    return *this;
}

Writer& Writer::EndArray() {
    out_ += ']';
    if (!first_.empty()) first_.pop_back();
    return *this;
}

Writer& Writer::Key(std::string_view key) {
    Separate();
    append_string(out_, key);
    out_ += ':';
    after_key_ = true;
    return *this;
}

Writer& Writer::String(std::string_view v) {
    Separate();
    append_string(out_, v);
    return *this;
}

Writer& Writer::Float(float v) {
    Separate();
    out_ += number(v);
    return *this;
}

Writer& Writer::Double(double v) {
    Separate();
    out_ += number(v);
    return *this;
}

Writer& Writer::Int(std::int64_t v) {
    Separate();
    out_ += std::to_string(v);
    return *this;
}

Writer& Writer::UInt(std::uint64_t v) {
    Separate();
    out_ += std::to_string(v);
    return *this;
}

Writer& Writer::Bool(bool v) {
    Separate();
    out_ += v ? "true" : "false";
    return *this;
}

Writer& Writer::Null() {
    Separate();
    out_ += "null";
    return *this;
}

Writer& Writer::Time(const boost::posix_time::ptime& local) {
    if (local.is_special()) return Null();
    const auto day = local.time_of_day();
    const boost::posix_time::ptime hour(local.date(), boost::posix_time::hours(day.hours()));
    if (hour != offset_hour_ || offset_.empty()) {
        const std::string text = iso8601(local);
        if (text.size() < 6) return String(text);
        offset_hour_ = hour;
        offset_ = text.substr(text.size() - 6);
        return String(text);
    }
    const auto d = local.date();
    char buf[40];
    const int n = std::snprintf(
        buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d%s", static_cast<int>(d.year()),
        static_cast<int>(d.month()), static_cast<int>(d.day()), static_cast<int>(day.hours()),
        static_cast<int>(day.minutes()), static_cast<int>(day.seconds()), offset_.c_str());
    return String(std::string_view(buf, n > 0 ? static_cast<std::size_t>(n) : 0));
}

Writer& Writer::Value(const Json::Value& v) {
    switch (v.type()) {
        case Json::nullValue:
            return Null();
        case Json::intValue:
            return Int(v.asInt64());
        case Json::uintValue:
            return UInt(v.asUInt64());
        case Json::realValue:
            return Double(v.asDouble());
        case Json::stringValue: {
            const char* b = nullptr;
            const char* e = nullptr;
            v.getString(&b, &e);
            return String(std::string_view(b, static_cast<std::size_t>(e - b)));
        }
        case Json::booleanValue:
            return Bool(v.asBool());
        case Json::arrayValue:
            BeginArray();
            for (const auto& item : v) Value(item);
            return EndArray();
        case Json::objectValue:
            BeginObject();
            for (auto it = v.begin(); it != v.end(); ++it) {
                Key(it.name());
                Value(*it);
            }
            return EndObject();
    }
    return Null();
}

Writer& Writer::Raw(std::string_view json) {
    Separate();
    out_.append(json.data(), json.size());
    return *this;
}

}  // namespace smd::json

// Small JSON text helpers for the MQTT payloads: strings always valid UTF-8,
// floats in their shortest round-trip form, non-finite numbers as null.
#pragma once

#include <string>
#include <string_view>

namespace smd::mqtt {

// Appends `s` quoted; bytes that are not valid UTF-8 become U+FFFD.
void append_json_string(std::string& out, std::string_view s);
// Appends the shortest text that reads back as the same float; "null" when
// the value is not finite.
void append_json_float(std::string& out, float v);
// `s` with invalid UTF-8 sequences replaced by U+FFFD.
std::string valid_utf8(std::string_view s);

}  // namespace smd::mqtt

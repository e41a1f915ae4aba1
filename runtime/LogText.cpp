#include "runtime/LogText.h"

#include <cstdio>

#include "runtime/JsonText.h"

namespace smd {

std::string log_safe(std::string_view text) {
    const std::string utf8 = json::valid_utf8(text);
    std::string out;
    out.reserve(utf8.size());
    char hex[8];
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else if (c == 0xC2 && i + 1 < utf8.size() &&
                   static_cast<unsigned char>(utf8[i + 1]) < 0xA0) {
            // U+0080..U+009F: valid UTF-8, yet terminals act on them.
            std::snprintf(hex, sizeof hex, "\\u%04x", static_cast<unsigned char>(utf8[i + 1]));
            out += hex;
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace smd

#include "runtime/text/LogText.h"

#include <cstdio>
#include <string>
#include <utility>

#include "runtime/text/JsonText.h"

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

int log_priority(std::string_view line, std::string_view* rest) {
    int p = kLogInfo;
    if (line.size() >= 3 && line[0] == '<' && line[1] >= '0' && line[1] <= '7' && line[2] == '>') {
        p = line[1] - '0';
        line.remove_prefix(3);
    }
    if (rest) *rest = line;
    return p;
}

std::string with_priority(int priority, std::string_view text) {
    std::string out = "<" + std::to_string(priority < 0 ? 0 : priority > 7 ? 7 : priority) + ">";
    out.append(text.data(), text.size());
    return out;
}

bool parse_log_level(std::string_view word, int& priority) {
    static const std::pair<std::string_view, int> kLevels[] = {
        {"error", kLogError}, {"warning", kLogWarning}, {"notice", kLogNotice},
        {"info", kLogInfo},   {"debug", kLogDebug},
    };
    for (const auto& [name, p] : kLevels) {
        if (word == name || (word.size() == 1 && word[0] == '0' + p)) {
            priority = p;
            return true;
        }
    }
    return false;
}

}  // namespace smd

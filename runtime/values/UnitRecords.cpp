#include "runtime/values/UnitRecords.h"

#include <cstring>

namespace smd {

namespace {

bool ends_with(const std::string& s, const char* suffix) {
    const std::size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

NamedValue value_at(std::string name, const unsigned char* p) {
    NamedValue v;
    v.name = std::move(name);
    v.ok = true;
    std::memcpy(&v.value, p, 4);  // little-endian as on the line and the host
    return v;
}

NamedValue byte_value(std::string name, unsigned char b) {
    NamedValue v;
    v.name = std::move(name);
    v.ok = true;
    v.value = b;
    return v;
}

}  // namespace

bool unit_kind_of(const std::string& device_type, UnitKind& kind) {
    if (ends_with(device_type, "-ac")) {
        kind = UnitKind::AC;
    } else if (ends_with(device_type, "-dc")) {
        kind = UnitKind::DC;
    } else if (ends_with(device_type, "-rc")) {
        kind = UnitKind::RC;
    } else {
        return false;
    }
    return true;
}

bool ac_record_values(const std::vector<unsigned char>& r, std::vector<NamedValue>& out) {
    constexpr std::size_t kUnit = 40, kChannel = 30, kCountAt = 16;
    if (r.size() < kUnit || (r.size() - kUnit) % kChannel != 0) return false;
    const std::size_t count = (r.size() - kUnit) / kChannel;
    if (r[kCountAt] != count) return false;
    out.push_back(value_at("ia", &r[4]));
    out.push_back(value_at("ib", &r[8]));
    out.push_back(value_at("ic", &r[12]));
    out.push_back(byte_value("ia_alert", r[30]));
    out.push_back(byte_value("ib_alert", r[31]));
    out.push_back(byte_value("ic_alert", r[32]));
    for (std::size_t k = 0; k < count; ++k) {
        const unsigned char* ch = &r[kUnit + kChannel * k];
        const std::string prefix = "channel_" + std::to_string(k) + "_";
        out.push_back(value_at(prefix + "a", ch));
        out.push_back(value_at(prefix + "b", ch + 4));
        out.push_back(value_at(prefix + "c", ch + 8));
        out.push_back(value_at(prefix + "f", ch + 12));
    }
    return true;
}

bool dc_record_values(const std::vector<unsigned char>& r, std::vector<NamedValue>& out) {
    if (r.size() != 142) return false;
    out.push_back(value_at("v", &r[4]));
    out.push_back(value_at("i", &r[8]));
    return true;
}

bool record_values(UnitKind kind, const std::vector<unsigned char>& record,
                   std::vector<NamedValue>& out) {
    switch (kind) {
        case UnitKind::AC:
            return ac_record_values(record, out);
        case UnitKind::DC:
            return dc_record_values(record, out);
        case UnitKind::RC:
            return rectifier_values(record, out);
    }
    return false;
}

}  // namespace smd

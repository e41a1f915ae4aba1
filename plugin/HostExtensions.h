// What our own host offers the driver beyond the framework's declared
// services, reached so that a host without them answers harmlessly:
//  - one weakly imported function, `ravo3_host_extensions`, that returns a
//    table of hooks: in a host that does not define it the address is null;
//  - DeviceIoControl codes of our own: any answer but our well-formed one
//    counts as "not supported".
// Every helper here falls back to the framework's plain behaviour (the
// whole-second local clock, usleep, the device's InfoLog, a reserved rule
// list) when the host has no such extension.
#pragma once

#include <unistd.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "host/SMDVDevice.h"
#include "plugin/HostExtensionsAbi.h"

extern "C" const host_ext::Table* ravo3_host_extensions() __attribute__((weak));

namespace host_ext {

// The host's table, or null. Looked up once.
inline const Table* Hooks() {
    static const Table* const table = []() -> const Table* {
        if (!ravo3_host_extensions) return nullptr;
        const Table* t = ravo3_host_extensions();
        if (!t || t->version != kTableVersion || t->size < sizeof(std::uint32_t) * 2)
            return nullptr;
        return t;
    }();
    return table;
}

// The hook at `member` (at `offset` in the table) if the host's table reaches
// that far and fills it.
template <typename Fn>
inline Fn Hook(std::size_t offset, Fn Table::*member) {
    const Table* t = Hooks();
    if (!t || t->size < offset + sizeof(Fn)) return nullptr;
    return t->*member;
}

inline boost::posix_time::ptime LocalTime() {
    if (auto fn = Hook(offsetof(Table, local_time), &Table::local_time)) return fn();
    return boost::posix_time::second_clock::local_time();
}

inline void Pause(unsigned int micros) {
    if (auto fn = Hook(offsetof(Table, pause_micros), &Table::pause_micros)) return fn(micros);
    ::usleep(micros);
}

inline LogArg ToLogArg(std::uint32_t v) {
    return {LogArg::U32, v};
}
inline LogArg ToLogArg(std::int32_t v) {
    return {LogArg::I32, static_cast<std::uint32_t>(v)};
}
inline LogArg ToLogArg(std::uint8_t v) {
    return {LogArg::U8, v};
}

// A diagnostic: to the device's InfoLog as the framework has it, and to our
// host's log where there is one.
template <typename... Args>
void Log(SMDVDevice& device, const char* format, const Args&... args) {
    device.InfoLog(format, args...);
    if (auto fn = Hook(offsetof(Table, log), &Table::log)) {
        const LogArg list[sizeof...(Args) + 1] = {ToLogArg(args)..., LogArg{LogArg::U32, 0}};
        fn(device, format, list, static_cast<unsigned int>(sizeof...(Args)));
    }
}

inline void ReserveRules(SMDVDevice& device, std::size_t count) {
    if (auto fn = Hook(offsetof(Table, reserve_rules), &Table::reserve_rules))
        return fn(device, count);
    device.pending_rules.reserve(count);
}

inline void RecycleRules(SMDVDevice& device, std::vector<rule_value>&& rules) {
    if (auto fn = Hook(offsetof(Table, recycle_rules), &Table::recycle_rules))
        fn(device, std::move(rules));
}

inline void NoteChange(SMDVDevice& device, bool changed) {
    if (auto fn = Hook(offsetof(Table, note_change), &Table::note_change)) fn(device, changed);
}

inline void SetCycleSpacing(SMDVDevice& device, std::int64_t millis) {
    if (auto fn = Hook(offsetof(Table, set_cycle_spacing), &Table::set_cycle_spacing))
        fn(device, millis);
}

// The details of the device's standing points with `key`, as the host's alarm
// table holds them. False (and nothing) when the host cannot tell.
inline bool StandingDetails(SMDVDevice& device, const std::string& key,
                            std::vector<std::string>& details) {
    details.clear();
    constexpr int kMagic = sizeof kStandingDetailsMagic;
    constexpr int kMost = 1 << 16;
    std::vector<char> out(1024);
    for (int attempt = 0; attempt < 2; ++attempt) {
        int written = -1;
        const int r =
            device.DeviceIoControl(kIoctlStandingDetails, key.data(), static_cast<int>(key.size()),
                                   out.data(), static_cast<int>(out.size()), written);
        if (r == -3 && attempt == 0 && written > static_cast<int>(out.size()) && written <= kMost) {
            out.assign(static_cast<std::size_t>(written), 0);
            continue;
        }
        if (r < kMagic || r != written || r > static_cast<int>(out.size())) return false;
        if (std::memcmp(out.data(), kStandingDetailsMagic, kMagic) != 0) return false;
        // Every detail ends with a NUL: a last one without is not ours.
        if (r > kMagic && out[static_cast<std::size_t>(r) - 1] != '\0') return false;
        for (int at = kMagic; at < r;) {
            const char* start = out.data() + at;
            const std::size_t n = std::strlen(start);
            details.emplace_back(start, n);
            at += static_cast<int>(n) + 1;
        }
        return true;
    }
    return false;
}

}  // namespace host_ext

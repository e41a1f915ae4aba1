// The extensions our own host offers a driver beyond the framework's
// declared services: the hook table a host returns from
// `ravo3_host_extensions` and the DeviceIoControl codes it answers. Shared by
// the driver (plugin/HostExtensions.h) and the host (runtime/).
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/HostTypes.h"

class SMDVDevice;

namespace host_ext {

constexpr std::uint32_t kTableVersion = 1;

// One argument of a diagnostic, with its kind: the driver logs unsigned and
// signed 32-bit numbers and bytes.
struct LogArg {
    enum Kind : std::uint32_t { U32 = 0, I32 = 1, U8 = 2 };
    Kind kind;
    std::uint32_t bits;
};

// The host's hooks. A host fills `size` with its own sizeof(Table), so a
// driver built against a longer table sees which hooks the host has.
struct Table {
    std::uint32_t version;
    std::uint32_t size;
    // The local wall clock (whole seconds) for freshness and time stamps.
    boost::posix_time::ptime (*local_time)();
    // A pause of the calling thread.
    void (*pause_micros)(unsigned int micros);
    // A diagnostic of `device`, "{}" marking each argument in order.
    void (*log)(SMDVDevice& device, const char* format, const LogArg* args, unsigned int count);
    // Room for `count` alarm calls in the emptied `pending_rules`.
    void (*reserve_rules)(SMDVDevice& device, std::size_t count);
    // An evaluated rule list handed back for the next cycle's alarm calls.
    void (*recycle_rules)(SMDVDevice& device, std::vector<rule_value>&& rules);
    // Whether the record about to be published moved noticeably.
    void (*note_change)(SMDVDevice& device, bool changed);
    // The least time the bus device keeps between the starts of its cycles.
    void (*set_cycle_spacing)(SMDVDevice& device, std::int64_t millis);
};

// DeviceIoControl: the details of the device's standing alarm points with the
// key given as `in`. The answer is the magic followed by the details, each
// ended by a NUL byte; the result is the byte count, also in `out_written`.
constexpr int kIoctlStandingDetails = 0x52330001;
constexpr char kStandingDetailsMagic[4] = {'R', '3', 'S', 'D'};

}  // namespace host_ext

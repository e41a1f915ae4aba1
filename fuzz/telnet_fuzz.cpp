// Arbitrary bytes from a device server's Telnet side: data and answers come
// out, nothing is read out of bounds, data never grows past what came in, and
// data escaped and decoded again is the same data.
#include <cstdint>

#include "fuzz/FuzzSupport.h"
#include "runtime/line/Telnet.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    smd::telnet::Decoder d;
    smd::telnet::Bytes out, reply;
    const std::size_t cut = size > 0 ? data[0] % (size + 1) : 0;
    d.Feed(data, cut, out, reply);
    d.Feed(data + cut, size - cut, out, reply);
    if (out.size() > size) __builtin_trap();
    smd::telnet::Bytes escaped, again, none;
    smd::telnet::Escape(data, size, escaped);
    smd::telnet::Decoder fresh;
    fresh.Feed(escaped.data(), escaped.size(), again, none);
    if (again != smd::telnet::Bytes(data, data + size) || !none.empty()) __builtin_trap();
    return 0;
}

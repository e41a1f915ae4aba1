// How stored history is packed, as a damaged file hands it back: the first
// byte picks what the rest is. 0: a chunk blob to decode, with the count and
// last id its row gives; 1: a minute summary with a count of names; 2: a
// layout text; 3 and above: records to pack, whose chunk must decode to the
// very records packed, and whose minute summary must come back as written.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "runtime/store/HistoryCodec.h"

namespace h = smd::history;

namespace {

constexpr std::int64_t kMinute = 1796724000;

void round_trip(const std::uint8_t* data, std::size_t size) {
    // Each record: length (two bytes), seconds and id steps, unit type, bytes
    // (mostly those of the record before, so that the differences are small).
    h::ChunkEncoder enc;
    std::vector<h::Entry> added;
    std::vector<unsigned char> prev;
    std::size_t at = 0;
    std::int64_t id = 1, time = kMinute;
    while (at + 5 <= size) {
        h::Entry e;
        const std::size_t len = (data[at] | (data[at + 1] << 8)) % 2048;
        time += data[at + 2] % 8;
        id += 1 + data[at + 3] % 4;
        e.id = id;
        e.time = time;
        e.unit_type = static_cast<std::int8_t>(data[at + 4]);
        at += 5;
        e.bytes = prev;
        e.bytes.resize(len);
        for (std::size_t k = 0; k < len && at < size; k += 1 + data[at] % 16, ++at) {
            e.bytes[k] = data[at];
        }
        prev = e.bytes;
        if (!enc.Add(e)) break;
        added.push_back(std::move(e));
    }
    if (added.empty()) return;
    std::vector<h::Entry> back;
    if (!h::decode_chunk(enc.Blob().data(), enc.Blob().size(), enc.FirstId(), enc.FirstTime(),
                         enc.LastId(), static_cast<std::int64_t>(enc.Count()), back)) {
        fuzz_support::fail("a chunk as packed does not decode");
    }
    if (back.size() != added.size()) fuzz_support::fail("a chunk gives back another count");
    for (std::size_t k = 0; k < back.size(); ++k) {
        if (back[k].id != added[k].id || back[k].time != added[k].time ||
            back[k].unit_type != added[k].unit_type || back[k].bytes != added[k].bytes) {
            fuzz_support::fail("record " + std::to_string(k) + " of a chunk comes back changed");
        }
    }
    h::MinuteBuilder b(true, static_cast<smd::UnitKind>(data[0] % 3));
    for (const h::Entry& e : added) b.Add(e);
    const h::MinuteSummary s = b.Take(enc.Minute(), enc.FirstTime(), enc.LastTime());
    std::vector<std::string> names;
    if (!h::decode_layout(h::encode_layout(s.names), names) || names != s.names) {
        fuzz_support::fail("a layout does not come back");
    }
    const std::vector<unsigned char> blob = h::encode_minute(s);
    h::MinuteSummary again;
    if (!h::decode_minute(blob.data(), blob.size(), names.size(), again)) {
        fuzz_support::fail("a minute summary as written does not decode");
    }
    for (std::size_t k = 0; k < s.values.size(); ++k) {
        const h::MinuteValue& x = s.values[k];
        const h::MinuteValue& y = again.values[k];
        if (x.shape != y.shape || std::memcmp(&x.low, &y.low, 4) != 0 ||
            std::memcmp(&x.high, &y.high, 4) != 0 ||
            (x.shape != h::MinuteValue::Shape::Constant && std::memcmp(&x.last, &y.last, 4) != 0)) {
            fuzz_support::fail("value " + s.names[k] + " of a minute comes back changed");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const std::uint8_t* rest = data + 3;
    const std::size_t n = size - 3;
    switch (data[0]) {
        case 0: {
            std::vector<h::Entry> out;
            if (h::decode_chunk(rest, n, 1, kMinute, 1 + data[1], 1 + data[2], out) &&
                out.size() != static_cast<std::size_t>(1 + data[2])) {
                fuzz_support::fail("a chunk decodes to another count than its row's");
            }
            break;
        }
        case 1: {
            h::MinuteSummary s;
            (void)h::decode_minute(rest, n, data[1], s);
            break;
        }
        case 2: {
            std::vector<std::string> names;
            (void)h::decode_layout(std::string(reinterpret_cast<const char*>(rest), n), names);
            break;
        }
        default:
            round_trip(data + 1, size - 1);
            break;
    }
    return 0;
}

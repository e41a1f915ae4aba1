#include "runtime/store/ProvenanceCodec.h"

#include <boost/date_time/posix_time/posix_time.hpp>

namespace smd {
namespace {

const boost::posix_time::ptime kEpoch(boost::gregorian::date(1970, 1, 1));
// No frame is longer; a longer one is damage.
constexpr std::uint32_t kMaxFrame = 8192;

}  // namespace

std::vector<std::uint8_t> EncodeAnswers(const std::vector<AnswerRef>& answers) {
    std::vector<std::uint8_t> out;
    for (const AnswerRef& a : answers) {
        out.push_back(a.cid1);
        out.push_back(a.cid2);
        const std::int64_t us = a.time.is_special() ? 0 : (a.time - kEpoch).total_microseconds();
        for (int i = 0; i < 8; ++i) {
            out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(us) >> (8 * i)));
        }
        const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(a.bytes.size(), kMaxFrame));
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
        out.insert(out.end(), a.bytes.begin(), a.bytes.begin() + n);
    }
    return out;
}

bool DecodeAnswers(const std::uint8_t* data, std::size_t len, std::vector<AnswerRef>& out) {
    std::vector<AnswerRef> list;
    std::size_t at = 0;
    while (at < len) {
        if (len - at < 14) return false;
        AnswerRef a;
        a.cid1 = data[at];
        a.cid2 = data[at + 1];
        std::uint64_t us = 0;
        for (int i = 7; i >= 0; --i) us = us << 8 | data[at + 2 + i];
        std::uint32_t n = 0;
        for (int i = 3; i >= 0; --i) n = n << 8 | data[at + 10 + i];
        at += 14;
        if (n > kMaxFrame || len - at < n) return false;
        const auto signed_us = static_cast<std::int64_t>(us);
        // Times outside 1970..9999 are not the store's.
        if (signed_us > 0 && signed_us < 253402300800000000LL) {
            a.time = kEpoch + boost::posix_time::microseconds(signed_us);
        }
        a.bytes.assign(data + at, data + at + n);
        at += n;
        list.push_back(std::move(a));
    }
    out.insert(out.end(), list.begin(), list.end());
    return true;
}

std::string command_text(const AnswerRef& a) {
    static const char d[] = "0123456789ABCDEF";
    return std::string{d[a.cid1 >> 4], d[a.cid1 & 0xF], '/', d[a.cid2 >> 4], d[a.cid2 & 0xF]};
}

std::string hex_text(const std::vector<unsigned char>& bytes) {
    static const char d[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        out.push_back(d[b >> 4]);
        out.push_back(d[b & 0xF]);
    }
    return out;
}

}  // namespace smd

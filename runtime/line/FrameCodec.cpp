#include "runtime/line/FrameCodec.h"

namespace smd {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

void put_hex8(std::vector<unsigned char>& out, unsigned v) {
    out.push_back(static_cast<unsigned char>(kHexDigits[(v >> 4) & 0xF]));
    out.push_back(static_cast<unsigned char>(kHexDigits[v & 0xF]));
}

void put_hex16(std::vector<unsigned char>& out, unsigned v) {
    put_hex8(out, (v >> 8) & 0xFF);
    put_hex8(out, v & 0xFF);
}

// Two hex characters at body[at]; false for a non-hex character.
bool byte_at(const unsigned char* body, std::size_t at, unsigned char& out) {
    const int hi = hex_value(body[at]);
    const int lo = hex_value(body[at + 1]);
    if (hi < 0 || lo < 0) return false;
    out = static_cast<unsigned char>((hi << 4) | lo);
    return true;
}

}  // namespace

const char* frame_error_name(FrameError e) {
    switch (e) {
        case FrameError::Checksum:
            return "checksum";
        case FrameError::LengthChecksum:
            return "length checksum";
        case FrameError::LengthMismatch:
            return "length mismatch";
        case FrameError::NonHex:
            return "non-hex character";
        case FrameError::Overlong:
            return "over-long frame";
        case FrameError::Truncated:
            return "frame cut off by SOI";
        case FrameError::Garbage:
            return "garbage between frames";
        case FrameError::TooShort:
            return "frame too short";
    }
    return "frame error";
}

unsigned char length_checksum(unsigned int lenid) {
    const unsigned sum = (lenid & 0xF) + ((lenid >> 4) & 0xF) + ((lenid >> 8) & 0xF);
    return static_cast<unsigned char>((~sum + 1) & 0xF);
}

std::uint16_t frame_checksum(const unsigned char* chars, std::size_t n) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += chars[i];
    return static_cast<std::uint16_t>((~sum + 1) & 0xFFFF);
}

void encode_frame_into(std::vector<unsigned char>& out, unsigned char ver, unsigned char adr,
                       unsigned char cid1, unsigned char cid2, const unsigned char* info,
                       std::size_t info_len) {
    if (info_len > 2047) info_len = 2047;  // LENID holds 12 bits
    out.clear();
    out.reserve(18 + 2 * info_len);
    out.push_back(kSoi);
    put_hex8(out, ver);
    put_hex8(out, adr);
    put_hex8(out, cid1);
    put_hex8(out, cid2);
    const unsigned lenid = static_cast<unsigned>(info_len * 2);
    put_hex16(out, (static_cast<unsigned>(length_checksum(lenid)) << 12) | lenid);
    for (std::size_t i = 0; i < info_len; ++i) put_hex8(out, info[i]);
    put_hex16(out, frame_checksum(out.data() + 1, out.size() - 1));
    out.push_back(kEoi);
}

std::vector<unsigned char> encode_frame(unsigned char ver, unsigned char adr, unsigned char cid1,
                                        unsigned char cid2, const unsigned char* info,
                                        std::size_t info_len) {
    std::vector<unsigned char> out;
    encode_frame_into(out, ver, adr, cid1, cid2, info, info_len);
    return out;
}

FrameParser::FrameParser(FrameSink on_frame, ErrorSink on_error)
    : on_frame_(std::move(on_frame)), on_error_(std::move(on_error)) {}

void FrameParser::Reset() {
    if (garbage_ > 0) Fail(FrameError::Garbage, garbage_);
    state_ = State::Hunt;
    body_len_ = 0;
}

void FrameParser::Fail(FrameError e, std::size_t dropped) {
    if (e == FrameError::Garbage) garbage_ = 0;
    if (on_error_) on_error_(e, dropped);
}

void FrameParser::Feed(const unsigned char* data, std::size_t len, std::int64_t stamp) {
    for (std::size_t i = 0; i < len; ++i) {
        const unsigned char c = data[i];
        switch (state_) {
            case State::Hunt:
                if (c == kSoi) {
                    if (garbage_ > 0) Fail(FrameError::Garbage, garbage_);
                    state_ = State::Body;
                    body_len_ = 0;
                    start_stamp_ = stamp;
                } else {
                    ++garbage_;
                }
                break;
            case State::Discard:
                // The rest of an over-long frame, up to its EOI or the next SOI.
                if (c == kSoi) {
                    state_ = State::Body;
                    body_len_ = 0;
                    start_stamp_ = stamp;
                } else if (c == kEoi) {
                    state_ = State::Hunt;
                }
                break;
            case State::Body:
                if (c == kSoi) {
                    Fail(FrameError::Truncated, body_len_ + 1);
                    body_len_ = 0;
                    start_stamp_ = stamp;
                } else if (c == kEoi) {
                    Complete();
                    state_ = State::Hunt;
                    body_len_ = 0;
                } else if (body_len_ >= body_.size()) {
                    Fail(FrameError::Overlong, body_len_ + 1);
                    state_ = State::Discard;
                    body_len_ = 0;
                } else {
                    body_[body_len_++] = c;
                }
                break;
        }
    }
}

void FrameParser::Complete() {
    const std::size_t n = body_len_;
    if (n < 16) return Fail(FrameError::TooShort, n + 2);
    for (std::size_t i = 0; i < n; ++i) {
        if (hex_value(body_[i]) < 0) return Fail(FrameError::NonHex, n + 2);
    }
    unsigned char hdr[6];
    for (std::size_t k = 0; k < 6; ++k) byte_at(body_.data(), 2 * k, hdr[k]);
    const unsigned length = (static_cast<unsigned>(hdr[4]) << 8) | hdr[5];
    const unsigned lenid = length & 0x0FFF;
    if (length_checksum(lenid) != (length >> 12)) return Fail(FrameError::LengthChecksum, n + 2);
    if (lenid % 2 != 0 || n != 12 + lenid + 4) return Fail(FrameError::LengthMismatch, n + 2);
    unsigned char chk_hi = 0;
    unsigned char chk_lo = 0;
    byte_at(body_.data(), n - 4, chk_hi);
    byte_at(body_.data(), n - 2, chk_lo);
    const unsigned got = (static_cast<unsigned>(chk_hi) << 8) | chk_lo;
    if (frame_checksum(body_.data(), n - 4) != got) return Fail(FrameError::Checksum, n + 2);

    frame_.ver = hdr[0];
    frame_.adr = hdr[1];
    frame_.cid1 = hdr[2];
    frame_.cid2 = hdr[3];
    frame_.info.resize(lenid / 2);
    for (std::size_t k = 0; k < frame_.info.size(); ++k) {
        byte_at(body_.data(), 12 + 2 * k, frame_.info[k]);
    }
    frame_.raw.clear();
    frame_.raw.reserve(n + 2);
    frame_.raw.push_back(kSoi);
    frame_.raw.insert(frame_.raw.end(), body_.begin(), body_.begin() + static_cast<long>(n));
    frame_.raw.push_back(kEoi);
    frame_.first_byte_stamp = start_stamp_;
    if (on_frame_) on_frame_(frame_);
}

std::string to_hex(const unsigned char* data, std::size_t len) {
    std::string s;
    s.reserve(2 * len);
    for (std::size_t i = 0; i < len; ++i) {
        s.push_back(kHexDigits[data[i] >> 4]);
        s.push_back(kHexDigits[data[i] & 0xF]);
    }
    return s;
}

bool from_hex(const std::string& hex, std::vector<unsigned char>& out) {
    out.clear();
    std::string digits;
    for (char ch : hex) {
        if (ch == ' ' || ch == '\t' || ch == '\n') continue;
        digits.push_back(ch);
    }
    if (digits.size() % 2 != 0) return false;
    out.reserve(digits.size() / 2);
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        const int hi = hex_value(static_cast<unsigned char>(digits[i]));
        const int lo = hex_value(static_cast<unsigned char>(digits[i + 1]));
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<unsigned char>((hi << 4) | lo));
    }
    return true;
}

}  // namespace smd

namespace smd {

std::size_t FrameParser::BytesLeft() const {
    if (state_ != State::Body) return 0;
    // Header (VER ADR CID1 RTN LENGTH) and CHKSUM characters, then EOI.
    constexpr std::size_t kHeader = 12, kTail = 4 + 1;
    std::size_t total = kHeader + kTail;
    if (body_len_ >= kHeader) {
        unsigned lenid = 0;
        for (std::size_t i = 9; i < kHeader; ++i) {
            const int v = hex_value(body_[i]);
            if (v < 0) return 1;  // a bad LENGTH: the frame fails at its end anyway
            lenid = lenid * 16 + static_cast<unsigned>(v);
        }
        total += lenid;
    }
    return total > body_len_ ? total - body_len_ : 1;
}

}  // namespace smd

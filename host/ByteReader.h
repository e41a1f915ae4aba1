// A non-owning, bounded view over received bytes. Every read checks the bytes
// left first and fails without touching the output when they do not suffice,
// so no decoder can step past the end of an answer.
#pragma once

#include <cstdint>
#include <cstring>

class ByteReader {
  public:
    ByteReader(const unsigned char* data, int len) : data_(data), len_(len > 0 && data ? len : 0) {}

    int offset() const { return pos_; }
    int size() const { return len_; }
    int remaining() const { return len_ - pos_; }
    bool can_read(int n) const { return n >= 0 && n <= len_ - pos_; }
    // The offset just past n more bytes, whether or not they are there.
    int end_of(int n) const { return pos_ + n; }

    bool read_u8(std::uint8_t& out) {
        if (!can_read(1)) return false;
        out = data_[pos_++];
        return true;
    }
    bool read_bytes(void* dst, int n) {
        if (!can_read(n)) return false;
        if (n > 0) std::memcpy(dst, data_ + pos_, static_cast<std::size_t>(n));
        pos_ += n;
        return true;
    }
    bool skip(int n) {
        if (!can_read(n)) return false;
        pos_ += n;
        return true;
    }
    // The byte at offset `at` of the view, if it is there.
    bool byte_at(int at, std::uint8_t& out) const {
        if (at < 0 || at >= len_) return false;
        out = data_[at];
        return true;
    }
    const unsigned char* current() const { return data_ + pos_; }

  private:
    const unsigned char* data_;
    int len_;
    int pos_ = 0;
};

// Four equal, non-zero bytes: the value the monitoring unit cannot give.
inline bool is_not_available(const unsigned char* v) {
    return v[0] != 0 && v[0] == v[1] && v[1] == v[2] && v[2] == v[3];
}
// Four equal bytes, zero included.
inline bool all_four_equal(const unsigned char* v) {
    return v[0] == v[1] && v[1] == v[2] && v[2] == v[3];
}

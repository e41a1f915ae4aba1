// YD/T 1363.3 frames: encoding of command frames and a byte-at-a-time parser
// that finds answer frames in a raw stream. Neither touches a port, so a
// plain buffer can drive both.
//
//   SOI '~' | VER ADR CID1 CID2/RTN (2 hex each) | LENGTH (4 hex) | INFO (LENID hex)
//   | CHKSUM (4 hex) | EOI CR
//
// LENGTH is LCHKSUM (one nibble) then LENID (12 bits, the number of INFO hex
// characters); LCHKSUM is the two's complement, modulo 16, of the sum of
// LENID's three nibbles. CHKSUM is the two's complement, modulo 65536, of the
// sum of every character between SOI and CHKSUM.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace smd {

constexpr unsigned char kSoi = 0x7E;
constexpr unsigned char kEoi = 0x0D;
// Longest frame body between SOI and EOI: 12 header, 4094 INFO, 4 CHKSUM characters.
constexpr std::size_t kMaxBodyChars = 12 + 4094 + 4;

struct Frame {
    unsigned char ver = 0;
    unsigned char adr = 0;
    unsigned char cid1 = 0;
    unsigned char cid2 = 0;  // RTN in an answer
    std::vector<unsigned char> info;
    // The frame as received, SOI to EOI.
    std::vector<unsigned char> raw;
    // The stamp of the chunk that carried the SOI (see FrameParser::Feed).
    std::int64_t first_byte_stamp = 0;
};

enum class FrameError : int {
    Checksum = 1,        // CHKSUM does not match
    LengthChecksum = 2,  // LCHKSUM does not match LENID
    LengthMismatch = 3,  // LENID differs from the INFO characters present, or is odd
    NonHex = 4,          // a character that is not a hex digit
    Overlong = 5,        // no EOI within the longest frame
    Truncated = 6,       // SOI inside a frame: the frame was cut off
    Garbage = 7,         // bytes outside any frame
    TooShort = 8,        // fewer characters than header and CHKSUM need
};

const char* frame_error_name(FrameError e);

unsigned char length_checksum(unsigned int lenid);
std::uint16_t frame_checksum(const unsigned char* chars, std::size_t n);

// Encodes a frame into `out`, replacing what it held; a buffer kept by the
// caller allocates nothing once it is large enough. `info` may be empty.
void encode_frame_into(std::vector<unsigned char>& out, unsigned char ver, unsigned char adr,
                       unsigned char cid1, unsigned char cid2, const unsigned char* info,
                       std::size_t info_len);

// Encodes a frame; `info` may be empty.
std::vector<unsigned char> encode_frame(unsigned char ver, unsigned char adr, unsigned char cid1,
                                        unsigned char cid2, const unsigned char* info,
                                        std::size_t info_len);

// Feeds bytes in any chunking; calls on_frame for every frame whose LENGTH,
// hex and CHKSUM are sound, and on_error once per fault (a run of garbage
// counts once).
class FrameParser {
  public:
    using FrameSink = std::function<void(const Frame&)>;
    using ErrorSink = std::function<void(FrameError, std::size_t bytes_dropped)>;

    FrameParser(FrameSink on_frame, ErrorSink on_error);

    // `stamp` marks every byte of the chunk (the host passes the time it
    // arrived); a frame keeps the stamp of the chunk that carried its SOI.
    void Feed(const unsigned char* data, std::size_t len, std::int64_t stamp = 0);
    // Drops a partial frame (after a time-out, the rest will not come).
    void Reset();
    bool InFrame() const { return state_ == State::Body; }
    // Bytes still to come, EOI included, before the frame being received is
    // complete: exact once its LENGTH has arrived, the least a frame can have
    // before that; 0 outside a frame.
    std::size_t BytesLeft() const;

  private:
    enum class State { Hunt, Body, Discard };
    void Complete();
    void Fail(FrameError e, std::size_t dropped);

    FrameSink on_frame_;
    ErrorSink on_error_;
    State state_ = State::Hunt;
    std::array<unsigned char, kMaxBodyChars> body_{};
    std::size_t body_len_ = 0;
    std::size_t garbage_ = 0;
    std::int64_t start_stamp_ = 0;
    Frame frame_;
};

// Hex helpers shared with the simulator and tests.
std::string to_hex(const unsigned char* data, std::size_t len);
bool from_hex(const std::string& hex, std::vector<unsigned char>& out);

}  // namespace smd

// The client side of Telnet with the COM port control option, as a serial
// device server speaks it on an "rfc2217://" line: data bytes pass with 0xFF
// doubled, option negotiation is answered, and the server's COM port answers
// are kept. Pure byte work, no socket: the TCP line and the fuzz target use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/HostTypes.h"

namespace smd::telnet {

constexpr std::uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250,
                       kSe = 240;
constexpr std::uint8_t kBinary = 0, kSuppressGoAhead = 3, kComPort = 44;
// COM port control commands (client to server; the server answers with +100).
constexpr std::uint8_t kSetBaud = 1, kSetDataSize = 2, kSetParity = 3, kSetStopSize = 4,
                       kSetControl = 5;

using Bytes = std::vector<std::uint8_t>;

// What the client offers first: binary both ways, no go-ahead, COM port control.
Bytes Greeting();
// The line settings: speed, 8 data bits, the parity, 1 stop bit, no flow control.
Bytes LineSettings(int baud, EnumParity parity);
Bytes ParitySetting(EnumParity parity);
// Data with every 0xFF doubled.
void Escape(const std::uint8_t* data, std::size_t len, Bytes& out);

class Decoder {
  public:
    // Splits what the server sent into line data (appended to `data`) and
    // what the client must answer (appended to `reply`).
    void Feed(const std::uint8_t* in, std::size_t len, Bytes& data, Bytes& reply);
    // The server took COM port control (DO), or refused it (DONT).
    bool ComPortAccepted() const { return accepted_; }
    bool ComPortRefused() const { return refused_; }
    // The speed the server last confirmed; 0 when none.
    std::uint32_t ConfirmedBaud() const { return baud_; }
    int ConfirmedParity() const { return parity_; }
    // Bytes of option traffic dropped because a subnegotiation was too long.
    std::size_t Overflow() const { return overflow_; }

  private:
    enum class State { Data, Iac, Option, Sub, SubIac };
    void Subnegotiation();
    State state_ = State::Data;
    std::uint8_t verb_ = 0;
    Bytes sub_;
    bool accepted_ = false;
    bool refused_ = false;
    std::uint32_t baud_ = 0;
    int parity_ = 0;
    std::size_t overflow_ = 0;
};

}  // namespace smd::telnet

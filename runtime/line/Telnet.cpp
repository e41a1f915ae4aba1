#include "runtime/line/Telnet.h"

namespace smd::telnet {
namespace {

constexpr std::size_t kMaxSub = 64;

void option(Bytes& out, std::uint8_t verb, std::uint8_t opt) {
    out.insert(out.end(), {kIac, verb, opt});
}

void com_port(Bytes& out, std::uint8_t command, const Bytes& value) {
    out.insert(out.end(), {kIac, kSb, kComPort, command});
    Escape(value.data(), value.size(), out);
    out.insert(out.end(), {kIac, kSe});
}

std::uint8_t parity_code(EnumParity p) {
    switch (p) {
        case EnumParity::Odd:
            return 2;
        case EnumParity::Even:
            return 3;
        case EnumParity::Mark:
            return 4;
        case EnumParity::Space:
            return 5;
        case EnumParity::None:
            break;
    }
    return 1;
}

}  // namespace

Bytes Greeting() {
    Bytes out;
    option(out, kWill, kBinary);
    option(out, kDo, kBinary);
    option(out, kWill, kSuppressGoAhead);
    option(out, kDo, kSuppressGoAhead);
    option(out, kWill, kComPort);
    return out;
}

Bytes ParitySetting(EnumParity parity) {
    Bytes out;
    com_port(out, kSetParity, {parity_code(parity)});
    return out;
}

Bytes LineSettings(int baud, EnumParity parity) {
    Bytes out;
    const auto b = static_cast<std::uint32_t>(baud > 0 ? baud : 9600);
    com_port(out, kSetBaud,
             {static_cast<std::uint8_t>(b >> 24), static_cast<std::uint8_t>(b >> 16),
              static_cast<std::uint8_t>(b >> 8), static_cast<std::uint8_t>(b)});
    com_port(out, kSetDataSize, {8});
    const Bytes p = ParitySetting(parity);
    out.insert(out.end(), p.begin(), p.end());
    com_port(out, kSetStopSize, {1});
    com_port(out, kSetControl, {1});
    return out;
}

void Escape(const std::uint8_t* data, std::size_t len, Bytes& out) {
    for (std::size_t i = 0; i < len; ++i) {
        out.push_back(data[i]);
        if (data[i] == kIac) out.push_back(kIac);
    }
}

void Decoder::Feed(const std::uint8_t* in, std::size_t len, Bytes& data, Bytes& reply) {
    for (std::size_t i = 0; i < len; ++i) {
        const std::uint8_t c = in[i];
        switch (state_) {
            case State::Data:
                if (c == kIac) {
                    state_ = State::Iac;
                } else {
                    data.push_back(c);
                }
                break;
            case State::Iac:
                if (c == kIac) {
                    data.push_back(c);
                    state_ = State::Data;
                } else if (c == kDo || c == kDont || c == kWill || c == kWont) {
                    verb_ = c;
                    state_ = State::Option;
                } else if (c == kSb) {
                    sub_.clear();
                    state_ = State::Sub;
                } else {
                    state_ = State::Data;  // NOP, go-ahead and the like carry nothing here
                }
                break;
            case State::Option: {
                state_ = State::Data;
                const bool ours = c == kBinary || c == kSuppressGoAhead || c == kComPort;
                // What we offered or asked for needs no answer when agreed to;
                // anything else is declined, once per request.
                if (verb_ == kDo) {
                    if (c == kComPort) accepted_ = true;
                    if (!ours) option(reply, kWont, c);
                } else if (verb_ == kDont) {
                    if (c == kComPort) refused_ = true;
                } else if (verb_ == kWill) {
                    if (c != kBinary && c != kSuppressGoAhead) option(reply, kDont, c);
                }
                break;
            }
            case State::Sub:
                if (c == kIac) {
                    state_ = State::SubIac;
                } else if (sub_.size() < kMaxSub) {
                    sub_.push_back(c);
                } else {
                    ++overflow_;
                }
                break;
            case State::SubIac:
                if (c == kIac) {
                    if (sub_.size() < kMaxSub) {
                        sub_.push_back(c);
                    } else {
                        ++overflow_;
                    }
                    state_ = State::Sub;
                } else if (c == kSe) {
                    Subnegotiation();
                    state_ = State::Data;
                } else {
                    // A broken subnegotiation: what follows is taken as commands again.
                    state_ = State::Data;
                }
                break;
        }
    }
}

void Decoder::Subnegotiation() {
    if (sub_.size() < 2 || sub_[0] != kComPort) return;
    const std::uint8_t command = sub_[1];
    if (command == 100 + kSetBaud && sub_.size() >= 6) {
        baud_ = static_cast<std::uint32_t>(sub_[2]) << 24 |
                static_cast<std::uint32_t>(sub_[3]) << 16 |
                static_cast<std::uint32_t>(sub_[4]) << 8 | sub_[5];
    } else if (command == 100 + kSetParity && sub_.size() >= 3) {
        parity_ = sub_[2];
    }
}

}  // namespace smd::telnet

#include "host/PMBusProtocol.h"

#include <algorithm>
#include <string>

#include "runtime/FrameCodec.h"

PMBusProtocol::PMBusProtocol()
    : answer_buffer_(kAnswerHeader + kMaxInfoBytes + 1, 0),
      parser_(std::make_unique<smd::FrameParser>(
          [this](const smd::Frame& f) { OnFrame(f); },
          [this](smd::FrameError e, std::size_t n) { OnFrameError(e, n); })) {
    answer_ = answer_buffer_.data();
    on_timeout_ = [this] {
        ++stats_.timeouts;
        parser_->Reset();
    };
}

PMBusProtocol::~PMBusProtocol() = default;

namespace {

// An integer setting in [lo, hi]; absent keeps `value`. False for anything else.
bool read_int_setting(const Json::Value& cfg, const char* key, int lo, int hi, int& value) {
    if (!cfg.isObject() || !cfg.isMember(key)) return true;
    const Json::Value& v = cfg[key];
    if (!v.isInt() || v.asInt() < lo || v.asInt() > hi) return false;
    value = v.asInt();
    return true;
}

}  // namespace

bool PMBusProtocol::InitSetting(const Json::Value& cfg) {
    if (!cfg.isNull() && !cfg.isObject()) {
        InfoLog("PMBusProtocol: {} device setting is not a JSON object", DataId());
        return false;
    }
    int address = address_;
    int version = protocol_version_;
    int timeout = static_cast<int>(timeout_base_ms_);
    if (!read_int_setting(cfg, "address", 0, 254, address)) {
        InfoLog("PMBusProtocol: {} invalid \"address\" (0..254 expected)", DataId());
        return false;
    }
    if (!read_int_setting(cfg, "protocol_version", 0x20, 0x21, version)) {
        InfoLog("PMBusProtocol: {} invalid \"protocol_version\" (32 or 33 expected)", DataId());
        return false;
    }
    if (!read_int_setting(cfg, "answer_timeout_ms", 50, 60000, timeout)) {
        InfoLog("PMBusProtocol: {} invalid \"answer_timeout_ms\" (50..60000 expected)", DataId());
        return false;
    }
    address_ = static_cast<unsigned char>(address);
    protocol_version_ = static_cast<unsigned char>(version);
    timeout_base_ms_ = timeout;
    return true;
}

int PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2) {
    return write_pmbus_cmd(cid1, cid2, nullptr, 0);
}

int PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2,
                                   const unsigned char* info, int len) {
    if (len < 0 || (len > 0 && !info)) return -1;
    last_command_ = smd::encode_frame(protocol_version_, address_, cid1, cid2, info,
                                      static_cast<std::size_t>(len));
    // A partial answer to an earlier command must not merge with the next one.
    parser_->Reset();
    const int n = SendData(last_command_.data(), static_cast<unsigned int>(last_command_.size()));
    if (n >= 0) {
        ++stats_.commands_sent;
        if (!cycle_open_) {
            cycle_open_ = true;
            previous_cycle_started_ms_ = cycle_started_ms_;
            cycle_started_ms_ = smd::steady_millis();
        }
    }
    return n;
}

void PMBusProtocol::process(unsigned char* buf, unsigned int len) {
    if (!buf || len == 0) return;
    NoteBytesReceived();
    parser_->Feed(buf, len);
}

void PMBusProtocol::OnFrame(const smd::Frame& f) {
    if (f.raw == last_command_) {
        // RS485 adapters that hear their own transmission.
        ++stats_.echoes;
        return;
    }
    if (f.adr != address_) {
        ++stats_.wrong_address;
        last_error_ = "answer from address " + std::to_string(f.adr) + ", expected " +
                      std::to_string(address_);
        process_error();
        return;
    }
    if (f.cid2 != 0) {
        ++stats_.rtn_errors;
        last_error_ = "RTN " + std::to_string(f.cid2) + " to CID1 " + std::to_string(f.cid1);
        serial_state = 0;  // the exchange ended: the unit refused the command
        process_error();
        return;
    }
    answer_[0] = f.ver;
    answer_[1] = f.adr;
    answer_[2] = f.cid1;
    answer_[3] = f.cid2;
    const unsigned lenid = static_cast<unsigned>(f.info.size() * 2);
    answer_[4] = static_cast<unsigned char>(lenid & 0xFF);
    answer_[5] = static_cast<unsigned char>((lenid >> 8) & 0xFF);
    std::copy(f.info.begin(), f.info.end(), answer_ + kAnswerHeader);
    ++stats_.answers;
    serial_state = 0;  // the answer ended the exchange; the handler may send the next one
    const int step_before = command_step_;
    const int result = process_payload();
    // The bus device's own alarm points are batched here: nothing else ends a
    // cycle for it.
    if (!pending_rules.empty()) {
        std::vector<rule_value> rules;
        rules.swap(pending_rules);
        if (DoBatchCheckThreshold(rules)) alarm_changed = true;
    }
    if (result == 0 && step_before != 0) {
        // A completed cycle (a rejected first answer also returns 0, at step 0).
        ready = 1;
        last_update = smd::local_time();
        ++stats_.cycles;
        cycle_open_ = false;
        if (cycle_listener_) cycle_listener_();
    }
}

void PMBusProtocol::OnFrameError(smd::FrameError e, std::size_t dropped) {
    switch (e) {
        case smd::FrameError::Checksum:
            ++stats_.checksum_errors;
            break;
        case smd::FrameError::LengthChecksum:
        case smd::FrameError::LengthMismatch:
        case smd::FrameError::TooShort:
            ++stats_.length_errors;
            break;
        case smd::FrameError::NonHex:
            ++stats_.hex_errors;
            break;
        case smd::FrameError::Overlong:
            ++stats_.overlong;
            break;
        case smd::FrameError::Truncated:
            ++stats_.truncated;
            break;
        case smd::FrameError::Garbage:
            ++stats_.garbage_runs;
            stats_.resync_bytes += dropped;
            break;
    }
    last_error_ =
        std::string(smd::frame_error_name(e)) + " (" + std::to_string(dropped) + " bytes)";
    process_error();
}

int PMBusProtocol::process_payload() {
    return 1;
}

void PMBusProtocol::process_error() {
    InfoLog("PMBusProtocol: {} frame dropped: {}", DataId(), last_error_);
}

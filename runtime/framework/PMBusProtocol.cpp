#include "host/PMBusProtocol.h"

#include <algorithm>
#include <string>

#include "runtime/line/FrameCodec.h"
#include "runtime/framework/HostLog.h"

PMBusProtocol::PMBusProtocol()
    : answer_buffer_(kAnswerHeader + kMaxInfoBytes + 1, 0),
      parser_(std::make_shared<smd::FrameParser>(
          [this](const smd::Frame& f) { OnFrame(f); },
          [this](smd::FrameError e, std::size_t n) { OnFrameError(e, n); })) {
    answer_ = answer_buffer_.data();
    on_timeout_ = [this] {
        ++stats_.timeouts;
        // A send in whose window the unit said nothing may still be answered
        // late; one that drew bytes (garbled, cut off) was answered.
        if (!heard_ && !parser_->InFrame()) ++silent_sends_;
        parser_->Reset();
        awaiting_ = false;
        if (unanswered_since_ms_ == 0) unanswered_since_ms_ = sent_at_ms_;
        // The answer and the answer to its repeat did not come: the bus device
        // starts its cycle over (it counts the repeats itself), so nothing
        // held or half-received belongs to it any more.
        if (sends_ >= 2) AbandonExchange();
    };
    on_close_ = [this] { OnClose(); };
    hold_command_ = [this] { return HoldCommand(); };
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
        smd::HostLog(*this, "<4>PMBusProtocol: {} device setting is not a JSON object", DataId());
        return false;
    }
    int address = address_;
    int version = protocol_version_;
    int timeout = static_cast<int>(timeout_base_ms_);
    if (!read_int_setting(cfg, "address", 0, 254, address)) {
        smd::HostLog(*this, "<4>PMBusProtocol: {} invalid \"address\" (0..254 expected)", DataId());
        return false;
    }
    if (!read_int_setting(cfg, "protocol_version", 0x20, 0x21, version)) {
        smd::HostLog(*this, "<4>PMBusProtocol: {} invalid \"protocol_version\" (32 or 33 expected)",
                     DataId());
        return false;
    }
    if (!read_int_setting(cfg, "answer_timeout_ms", 50, 60000, timeout)) {
        smd::HostLog(*this,
                     "<4>PMBusProtocol: {} invalid \"answer_timeout_ms\" (50..60000 expected)",
                     DataId());
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
    if (!transport_ || !transport_->IsOpen()) return -1;
    smd::encode_frame_into(held_, protocol_version_, address_, cid1, cid2, info,
                           static_cast<std::size_t>(len));
    held_cid1_ = cid1;
    held_cid2_ = cid2;
    held_since_ms_ = smd::steady_millis();
    // A new command: whatever comes now answers no command until it is on the line.
    awaiting_ = false;
    serial_state = 1;
    const int size = static_cast<int>(held_.size());
    // Inside process() the rest of the received bytes are parsed first.
    if (in_feed_) return size;
    return TrySend() < 0 && held_.empty() && serial_state == 0 ? -1 : size;
}

std::int64_t PMBusProtocol::GuardMillis() const {
    const std::int64_t chars = baud_rate > 0 ? (4 * 10 * 1000 + baud_rate - 1) / baud_rate : 0;
    return std::clamp<std::int64_t>(chars, 5, 50);
}

std::int64_t PMBusProtocol::HeldCommandWaitMillis() const {
    if (held_.empty()) return -1;
    std::int64_t until = rx_ms_ + GuardMillis() + HoldMillis();
    // A frame still arriving holds the command until its end at least.
    if (parser_->InFrame()) {
        until = std::max(until, rx_ms_ + LineMillis(parser_->BytesLeft()) + GuardMillis());
    }
    return std::max<std::int64_t>(until - smd::steady_millis(), 0);
}

std::int64_t PMBusProtocol::TurnaroundMillis() const {
    const std::int64_t timeout = AnswerTimeoutMillis();
    if (latency_ms_ < 0) return timeout;
    return std::clamp<std::int64_t>(2 * latency_ms_, std::min<std::int64_t>(50, timeout), timeout);
}

std::int64_t PMBusProtocol::CycleHoldOffMillis() const {
    if (cycle_spacing_ms_ <= 0 || cycle_open_ || serial_state != 0 || !held_.empty() ||
        completed_start_ms_ == 0) {
        return 0;
    }
    const std::int64_t left = completed_start_ms_ + cycle_spacing_ms_ + 1 - smd::steady_millis();
    return std::max<std::int64_t>(left, 0);
}

std::int64_t PMBusProtocol::ReadWaitMillis() const {
    // Within a frame, awaited or not (a late or repeated answer is read whole
    // too): the bytes it still lacks. Before an awaited answer has begun: the
    // command's line time and the answer's expected size.
    if (!parser_->InFrame() && !awaiting_) return 0;
    const std::int64_t until =
        parser_->InFrame() ? rx_ms_ + LineMillis(parser_->BytesLeft())
                           : sent_at_ms_ + LineMillis(last_command_.size() + ExpectedAnswerBytes());
    return std::max<std::int64_t>(until - smd::steady_millis(), 0);
}

std::size_t PMBusProtocol::ExpectedAnswerBytes() const {
    // The shortest answer: SOI, header, CHKSUM, EOI.
    constexpr std::size_t kShortest = 18;
    for (const AnswerSize& a : answer_sizes_) {
        if (a.command == awaited_command_ && a.bytes > 0)
            return std::max<std::size_t>(a.bytes, kShortest);
    }
    return kShortest;
}

void PMBusProtocol::Feed(const unsigned char* buf, std::size_t len) {
    stats_.bytes_received += len;
    NoteBytesReceived();
    rx_ms_ = smd::steady_millis();
    in_feed_ = true;
    parser_->Feed(buf, len, rx_ms_);
    in_feed_ = false;
}

bool PMBusProtocol::DrainInput() {
    if (!transport_) return false;
    unsigned char buf[512];
    bool any = false;
    // Bounded: a line that never stops talking is not quiet anyway.
    for (int i = 0; i < 8; ++i) {
        const int n = transport_->ReadAvailable(buf, sizeof buf);
        if (n <= 0) break;
        any = true;
        Feed(buf, static_cast<std::size_t>(n));
    }
    return any;
}

int PMBusProtocol::TrySend() {
    if (held_.empty()) return -1;
    if (!transport_ || !transport_->IsOpen()) {
        held_.clear();
        serial_state = 0;
        return -1;
    }
    // What the line delivered up to now cannot answer the held command: it is
    // parsed (and dropped as stale) before the command goes out.
    DrainInput();
    if (!transport_->IsOpen()) {
        held_.clear();
        serial_state = 0;
        return -1;
    }
    const std::int64_t now = smd::steady_millis();
    // A line that never falls quiet gets the command anyway after a time-out's
    // worth of waiting; the answer time-out deals with what follows.
    const bool overdue = now - held_since_ms_ > AnswerTimeoutMillis() + HoldMillis();
    if (!overdue) {
        if (parser_->InFrame()) return 0;  // a frame is still arriving
        const std::int64_t left = rx_ms_ + GuardMillis() + HoldMillis() - now;
        if (left > GuardMillis()) return 0;  // a long hold: the line thread comes back
        if (left > 0) {
            smd::pause_micros(static_cast<unsigned int>(left * 1000));
            if (DrainInput() || parser_->InFrame()) return 0;
        }
    }
    const bool repeat = held_ == last_command_ && !answered_;
    // The two buffers trade places and keep their capacity.
    last_command_.swap(held_);
    held_.clear();
    parser_->Reset();
    const int n = SendData(last_command_.data(), static_cast<unsigned int>(last_command_.size()));
    if (n < 0) {
        serial_state = 0;
        return -1;
    }
    const std::int64_t written = smd::steady_millis();
    ++stats_.commands_sent;
    stats_.bytes_sent += last_command_.size();
    if (!cycle_open_) {
        cycle_open_ = true;
        previous_cycle_started_ms_ = cycle_started_ms_;
        // The wall clock first: the steady start is then never earlier than it.
        cycle_started_wall_ = smd::local_time();
        cycle_started_ms_ = smd::steady_millis();
    }
    sends_ = repeat ? sends_ + 1 : 1;
    if (!repeat) {
        first_send_ms_ = written;
        silent_sends_ = 0;
    }
    heard_ = false;
    answered_ = false;
    hold_ms_ = 0;
    owed_ = 0;
    awaiting_ = true;
    awaited_cid1_ = held_cid1_;
    awaited_command_ = static_cast<unsigned short>(held_cid1_ << 8 | held_cid2_);
    // On a real line the command takes its line time to leave; the unit can
    // begin its answer only after that.
    const std::int64_t line_ms =
        transport_->Paced() && baud_rate > 0
            ? static_cast<std::int64_t>(last_command_.size()) * 10 * 1000 / baud_rate
            : 0;
    on_line_ms_ = written + line_ms;
    return 1;
}

bool PMBusProtocol::HoldCommand() {
    if (held_.empty()) return false;
    TrySend();
    return !held_.empty();
}

void PMBusProtocol::AbandonExchange() {
    held_.clear();
    parser_->Reset();
    awaiting_ = false;
    hold_ms_ = 0;
    owed_ = 0;
    serial_state = 0;
    cycle_open_ = false;
}

void PMBusProtocol::OnClose() {
    AbandonExchange();
    // Nothing sent on the closed line can be answered on the next one.
    last_command_.clear();
    answered_ = true;
    sends_ = 0;
    silent_sends_ = 0;
    latency_ms_ = -1;  // the next port (or the same one reopened) is measured afresh
    // What the cycle read before the break is no longer ready data: the bus
    // device makes every optional query again, starting its cycle over.
    ready = 0;
}

void PMBusProtocol::process(unsigned char* buf, unsigned int len) {
    if (!buf || len == 0) return;
    Feed(buf, len);
    if (!held_.empty()) TrySend();
}

void PMBusProtocol::Stale(const std::string& why) {
    ++stats_.stale_answers;
    last_error_ = why;
    process_error();
}

namespace {

std::string hex2(unsigned v) {
    static const char d[] = "0123456789ABCDEF";
    return std::string{d[(v >> 4) & 0xF], d[v & 0xF]};
}

}  // namespace

void PMBusProtocol::OnFrame(const smd::Frame& f) {
    if (f.raw == last_command_) {
        // RS485 adapters that hear their own transmission.
        ++stats_.echoes;
        return;
    }
    // Answers carry no sequence number: an answer belongs to the command on
    // the line only if it began after that command had left and nothing was
    // taken for it yet. Anything else is a late or repeated answer.
    if (!awaiting_) {
        NoteOwed(f.adr == address_ && f.cid1 == hold_cid1_);
        return Stale("answer with no command awaiting it (late or repeated)");
    }
    if (f.first_byte_stamp < on_line_ms_) {
        return Stale("answer began before the command had left (late answer)");
    }
    if (f.adr != address_) {
        ++stats_.wrong_address;
        last_error_ = "answer from address " + std::to_string(f.adr) + ", expected " +
                      std::to_string(address_);
        process_error();
        return;
    }
    if (f.cid1 != awaited_cid1_) {
        return Stale("answer for CID1 " + hex2(f.cid1) + " while CID1 " + hex2(awaited_cid1_) +
                     " is awaited");
    }
    awaiting_ = false;
    answered_ = true;
    unanswered_since_ms_ = 0;
    if (sends_ == 1) {
        // Answers come at the line rate: the first byte came the frame's line
        // time before the last one, which came at the latest when it was read.
        // The longest of the recent latencies: a maximum that decays by a
        // sixteenth at each answer, so that one slow moment (a busy host at
        // start-up) does not stretch every hold after it.
        const std::int64_t began = rx_ms_ - LineMillis(f.raw.size());
        const std::int64_t sample = std::max<std::int64_t>(began - on_line_ms_, 0);
        latency_ms_ = std::max(sample, latency_ms_ < 0 ? 0 : latency_ms_ - latency_ms_ / 16);
    }
    {
        // Remembered for the next send of the command (the last slot is reused).
        AnswerSize* slot = &answer_sizes_.back();
        for (AnswerSize& a : answer_sizes_) {
            if (a.command == awaited_command_ || a.bytes == 0) {
                slot = &a;
                break;
            }
        }
        slot->command = awaited_command_;
        slot->bytes = static_cast<unsigned short>(std::min<std::size_t>(f.raw.size(), 0xFFFF));
    }
    if (sends_ > 1) {
        // This may be the late answer to an earlier send that drew nothing
        // in its window; the answer to the repeat, already in the unit, then
        // follows within the unit's turnaround. Such an answer would pass for
        // the answer to a next command of the same block (same CID1), which
        // therefore waits that long, or until the owed answer came; one of
        // another block goes out at once, since the unit answers in order and
        // an owed answer, arriving first, is refused by its CID1. When every
        // earlier send drew something, nothing is owed and nothing waits.
        owed_ = std::min(silent_sends_, sends_ - 1);
        hold_ms_ = owed_ > 0 ? TurnaroundMillis() : 0;
        hold_cid1_ = awaited_cid1_;
    }
    if (answer_listener_) {
        answer_listener_(static_cast<unsigned char>(awaited_command_ >> 8),
                         static_cast<unsigned char>(awaited_command_ & 0xFF), f.raw);
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
        // The last update is the cycle's start: the device's hold-off then
        // spaces the starts of its cycles, whatever each cycle lasts.
        ready = 1;
        last_update = cycle_started_wall_;
        completed_start_ms_ = cycle_started_ms_;
        ++stats_.cycles;
        cycle_open_ = false;
        if (cycle_listener_) cycle_listener_();
    } else if (result == 0) {
        // A rejected first answer: the cycle begins again with its next send.
        cycle_open_ = false;
        cycle_started_ms_ = previous_cycle_started_ms_;
    }
}

void PMBusProtocol::NoteOwed(bool owed_kind) {
    if (owed_ == 0 || !owed_kind) return;
    // An answer still owed has come: the line owes one fewer.
    if (--owed_ == 0) hold_ms_ = 0;
}

void PMBusProtocol::OnFrameError(smd::FrameError e, std::size_t dropped) {
    if (awaiting_) heard_ = true;
    // A garbled frame after an answer to a repeat is taken for the owed one.
    NoteOwed(!awaiting_);
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
    smd::HostLog(*this, "PMBusProtocol: {} frame dropped: {}", DataId(), last_error_);
}

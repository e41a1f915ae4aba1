#include "host/SMDSPDevice.h"

#include <algorithm>

SMDSPDevice::SMDSPDevice() = default;
SMDSPDevice::~SMDSPDevice() = default;

void SMDSPDevice::Reset() {
    serial_state = 0;
}

bool SMDSPDevice::Init(std::weak_ptr<SMDController> controller, unsigned int data_id,
                       const Json::Value& cfg) {
    return SMDVDevice::Init(std::move(controller), data_id, cfg);
}

std::int64_t SMDSPDevice::AnswerTimeoutMillis() const {
    return timeout_base_ms_;
}

std::int64_t SMDSPDevice::LineMillis(std::size_t bytes) const {
    if (baud_rate <= 0) return 0;
    return (static_cast<std::int64_t>(bytes) * 10 * 1000 + baud_rate - 1) / baud_rate;
}

std::int64_t SMDSPDevice::AnswerDeadlineMillis() const {
    if (serial_state == 0) return -1;
    // On a real line the write returns before the command has left.
    const std::int64_t left =
        sent_at_ms_ + (transport_ && transport_->Paced() ? LineMillis(last_sent_len_) : 0);
    return std::max(left, last_rx_ms_) + AnswerTimeoutMillis();
}

bool SMDSPDevice::RefreshStatus() {
    if (!transport_ || !transport_->IsOpen()) return false;
    if (serial_state == 0) return true;
    if (hold_command_ && hold_command_()) return false;
    if (serial_state == 0) return true;  // the held command could not be written
    if (smd::steady_millis() < AnswerDeadlineMillis()) return false;
    ++timeouts_;
    ++consecutive_timeouts_;
    serial_state = 0;
    if (on_timeout_) on_timeout_();
    return true;
}

void SMDSPDevice::process(unsigned char* /*buf*/, unsigned int /*len*/) {}

bool SMDSPDevice::IsProcessing() {
    return serial_state != 0;
}

bool SMDSPDevice::IsStalled() {
    // Silent beyond one re-send: the answer and the answer to its repeat did not come.
    return consecutive_timeouts_ >= 2;
}

int SMDSPDevice::SendData(const unsigned char* buf, unsigned int len) {
    return SendParityData(buf, len, EnumParity::None);
}

int SMDSPDevice::SendParityData(const unsigned char* buf, unsigned int len, EnumParity parity) {
    if (!transport_ || !transport_->IsOpen()) return -1;
    const int n = transport_->Write(buf, len, parity);
    if (n < 0) return -1;
    last_sent_len_ = len;
    sent_at_ms_ = smd::steady_millis();
    last_rx_ms_ = sent_at_ms_;
    serial_state = 1;
    return n;
}

bool SMDSPDevice::OpenPort() {
    if (!transport_) return false;
    if (transport_->IsOpen()) return true;
    transport_->Configure(baud_rate, EnumParity::None);
    return transport_->Open();
}

void SMDSPDevice::ClosePort() {
    if (transport_) transport_->Close();
    serial_state = 0;
    if (on_close_) on_close_();
}

void SMDSPDevice::SetTransport(std::shared_ptr<smd::Transport> transport) {
    transport_ = std::move(transport);
}

void SMDSPDevice::NoteBytesReceived() {
    last_rx_ms_ = smd::steady_millis();
    consecutive_timeouts_ = 0;
}

#include "tests/support/Fixture.h"

#include <json/reader.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace testing_support {

int RecordingTransport::ReadAvailable(unsigned char* buf, unsigned int cap) {
    if (!open) return -1;
    const std::size_t n = std::min<std::size_t>(cap, input.size());
    std::copy(input.begin(), input.begin() + static_cast<long>(n), buf);
    input.erase(input.begin(), input.begin() + static_cast<long>(n));
    return static_cast<int>(n);
}

int RecordingTransport::Write(const unsigned char* data, unsigned int len, EnumParity parity) {
    if (!open || fail_writes) return -1;
    last_parity = parity;
    Bytes raw(data, data + len);
    writes.push_back(raw);
    smd::FrameParser parser(
        [&](const smd::Frame& f) {
            SentCommand c;
            c.ver = f.ver;
            c.adr = f.adr;
            c.cid1 = f.cid1;
            c.cid2 = f.cid2;
            c.info = f.info;
            c.raw = f.raw;
            commands.push_back(std::move(c));
        },
        nullptr);
    parser.Feed(data, len);
    return static_cast<int>(len);
}

Recorder::Recorder(bool async)
    : controller(std::make_shared<SMDController>()),
      history(std::make_shared<smd::MemoryHistoryStore>()) {
    controller->SetSynchronousWork(!async);
    controller->SetHistoryStore(history);
    controller->SetLogSink([this](const smd::LogRecord& r) {
        std::lock_guard<std::mutex> lock(mutex_);
        logs_.push_back(r);
    });
    controller->SetSnapshotListener([this](const smd::Snapshot& s) {
        std::lock_guard<std::mutex> lock(mutex_);
        snapshots_.push_back(s);
    });
    controller->SetRuleListener(
        [this](std::uint32_t id, const std::string& type, const std::vector<rule_value>& rules) {
            std::lock_guard<std::mutex> lock(mutex_);
            batches_.push_back(RuleBatch{id, type, rules});
        });
    controller->SetAlarmListener([this](const smd::AlarmEvent& e) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(e);
    });
}

Recorder::~Recorder() {
    controller->DrainWork();
    controller->SetLogSink(nullptr);
    controller->SetSnapshotListener(nullptr);
    controller->SetRuleListener(nullptr);
    controller->SetAlarmListener(nullptr);
}

std::vector<smd::LogRecord> Recorder::Logs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return logs_;
}

std::vector<std::string> Recorder::LogTexts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const auto& l : logs_) out.push_back(l.text);
    return out;
}

std::vector<smd::Snapshot> Recorder::Snapshots() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return snapshots_;
}

std::vector<RuleBatch> Recorder::Batches() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return batches_;
}

std::vector<smd::AlarmEvent> Recorder::Events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

void Recorder::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    logs_.clear();
    snapshots_.clear();
    batches_.clear();
    events_.clear();
}

FakeClock::FakeClock(boost::posix_time::ptime start) : now_(start) {
    smd::set_local_clock([this] { return now_; });
    smd::set_steady_clock([this] { return steady_ms_; });
}

FakeClock::~FakeClock() {
    smd::set_local_clock(nullptr);
    smd::set_steady_clock(nullptr);
}

NoPause::NoPause() {
    smd::set_pause([this](unsigned int us) { pauses.push_back(us); });
}

NoPause::~NoPause() {
    smd::set_pause(nullptr);
}

ByteBuilder& ByteBuilder::hex(const std::string& h) {
    Bytes b = hex_bytes(h);
    b_.insert(b_.end(), b.begin(), b.end());
    return *this;
}

float f32_at(const unsigned char* p) {
    float v;
    std::memcpy(&v, p, 4);
    return v;
}

std::uint32_t u32_at(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

Bytes hex_bytes(const std::string& h) {
    Bytes out;
    if (!smd::from_hex(h, out)) throw std::invalid_argument("bad hex: " + h);
    return out;
}

std::string hex_string(const Bytes& b) {
    return smd::to_hex(b.data(), b.size());
}

Bytes answer_frame(unsigned char cid1, const Bytes& info, unsigned char rtn, unsigned char adr,
                   unsigned char ver) {
    return smd::encode_frame(ver, adr, cid1, rtn, info.data(), info.size());
}

Json::Value parse_json(const std::string& text) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value v;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &v, &errors)) {
        throw std::invalid_argument("bad json: " + errors);
    }
    return v;
}

std::string repair_checksums(const std::string& frame_text) {
    // "~" + 12 header chars + INFO + 4 CHKSUM + "\r"
    std::string s = frame_text;
    if (s.size() < 18 || s.front() != '~') return s;
    const bool has_eoi = s.back() == '\r';
    const std::size_t body_end = s.size() - (has_eoi ? 1 : 0);
    // LENID stays as written; LCHKSUM follows it.
    const unsigned lenid = static_cast<unsigned>(std::stoul(s.substr(10, 3), nullptr, 16));
    char len_hex[5];
    std::snprintf(len_hex, sizeof len_hex, "%04X",
                  (static_cast<unsigned>(smd::length_checksum(lenid)) << 12) | lenid);
    s.replace(9, 4, len_hex);
    const auto chk =
        smd::frame_checksum(reinterpret_cast<const unsigned char*>(s.data()) + 1, body_end - 1 - 4);
    char chk_hex[5];
    std::snprintf(chk_hex, sizeof chk_hex, "%04X", chk);
    s.replace(body_end - 4, 4, chk_hex);
    return s;
}

}  // namespace testing_support

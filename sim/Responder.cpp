#include "sim/Responder.h"

#include <algorithm>
#include <cstdio>

namespace sim {
namespace {

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The byte written as two hex characters at text[at]; false when they are not hex.
bool hex_byte(const Bytes& text, std::size_t at, std::uint8_t& out) {
    if (at + 1 >= text.size()) return false;
    const int hi = hex_value(text[at]);
    const int lo = hex_value(text[at + 1]);
    if (hi < 0 || lo < 0) return false;
    out = static_cast<std::uint8_t>((hi << 4) | lo);
    return true;
}

std::string command_name(std::uint8_t cid1, std::uint8_t cid2) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02X/%02X", cid1, cid2);
    return buf;
}

bool takes_group_byte(std::uint8_t cid2) {
    return cid2 == 0x41 || cid2 == 0x43 || cid2 == 0x44;
}

}  // namespace

// ---- FaultInjector ----

FaultInjector::FaultInjector(Faults faults)
    : faults_(std::move(faults)), rng_(faults_.seed), fired_cycle_(faults_.rules.size(), 0) {}

double FaultInjector::Uniform() {
    // Our own mapping of the generator's output, so that a seed gives the same
    // faults whatever the standard library's distributions do.
    return static_cast<double>(rng_()) / 4294967296.0;
}

FaultDecision FaultInjector::Decide(std::uint64_t ordinal, std::uint64_t cycle, std::uint8_t cid1,
                                    std::uint8_t cid2) {
    FaultDecision d;
    for (std::size_t i = 0; i < faults_.rules.size(); ++i) {
        const FaultRule& r = faults_.rules[i];
        // Every probability rule draws once per command, so that the stream of
        // draws does not depend on which rules apply.
        const double u = r.mode == FaultRule::Mode::Probability ? Uniform() : 1.0;
        if (!r.any_command && (r.cid1 != cid1 || r.cid2 != cid2)) continue;
        if (cycle < r.from_cycle || cycle > r.to_cycle) continue;
        bool fire = false;
        switch (r.mode) {
            case FaultRule::Mode::Probability:
                fire = u < r.probability;
                break;
            case FaultRule::Mode::Every:
                fire = ordinal % r.every == 0;
                break;
            case FaultRule::Mode::At:
                fire = std::find(r.at.begin(), r.at.end(), ordinal) != r.at.end();
                break;
            case FaultRule::Mode::Cycles:
                // Once per listed cycle: the host's retry is answered well.
                fire = fired_cycle_[i] != cycle &&
                       std::find(r.cycles.begin(), r.cycles.end(), cycle) != r.cycles.end();
                if (fire) fired_cycle_[i] = cycle;
                break;
        }
        if (!fire) continue;
        switch (r.kind) {
            case FaultKind::Drop:
                d.drop = true;
                break;
            case FaultKind::CorruptChecksum:
                d.corrupt = true;
                break;
            case FaultKind::Truncate:
                d.truncate = true;
                d.keep = r.keep;
                break;
            case FaultKind::Garbage:
                d.garbage += r.garbage_bytes;
                break;
            case FaultKind::Delay:
                d.delay_ms = std::max(d.delay_ms, r.delay_ms);
                break;
            case FaultKind::Duplicate:
                d.duplicate = true;
                break;
            case FaultKind::Silence:
                d.silence_s = std::max(d.silence_s, r.silence_s);
                break;
        }
    }
    return d;
}

Reply FaultInjector::Damage(const Bytes& frame, const FaultDecision& d) {
    Reply r;
    r.delay_ms = d.delay_ms;
    Bytes f = frame;
    if (d.corrupt && f.size() >= 3) {
        // The last CHKSUM character, changed to another hex digit.
        static const char digits[] = "0123456789ABCDEF";
        const int v = hex_value(f[f.size() - 2]);
        f[f.size() - 2] = static_cast<unsigned char>(digits[(v < 0 ? 0 : v + 1) & 0xF]);
    }
    if (d.truncate && f.size() >= 2) {
        std::size_t keep = d.keep > 0 ? d.keep : f.size() / 2;
        keep = std::min(std::max<std::size_t>(keep, 1), f.size() - 1);
        f.resize(keep);
    }
    for (std::uint32_t i = 0; i < d.garbage; ++i) {
        unsigned char c = static_cast<unsigned char>(rng_() & 0xFF);
        if (c == smd::kSoi) c = 0x00;  // garbage must not open a frame
        r.bytes.push_back(c);
    }
    r.bytes.insert(r.bytes.end(), f.begin(), f.end());
    return r;
}

// ---- Responder ----

Responder::Responder(Scenario scenario)
    : device_(scenario),
      faults_(scenario.faults),
      version_(scenario.protocol_version),
      address_(scenario.address),
      parser_(std::make_unique<smd::FrameParser>(
          [this](const smd::Frame& f) { OnFrame(f); },
          [this](smd::FrameError e, std::size_t) { OnError(e); })) {}

std::vector<std::string> Responder::TakeLog() {
    std::vector<std::string> out;
    out.swap(log_);
    return out;
}

std::vector<Reply> Responder::Feed(const unsigned char* data, std::size_t len,
                                   std::int64_t elapsed_ms) {
    seconds_ = static_cast<double>(elapsed_ms) / 1000.0;
    out_.clear();
    for (std::size_t i = 0; i < len; ++i) {
        const unsigned char c = data[i];
        if (c == smd::kSoi) {
            capture_.assign(1, c);
            capturing_ = true;
        } else if (capturing_ && capture_.size() < smd::kMaxBodyChars + 2) {
            capture_.push_back(c);
        }
        // One byte at a time, so that a broken frame's header is still in
        // capture_ when the parser reports it.
        parser_->Feed(&c, 1);
        if (c == smd::kEoi) capturing_ = false;
    }
    std::vector<Reply> out;
    out.swap(out_);
    return out;
}

std::uint8_t Responder::Check(const smd::Frame& f) const {
    if (f.ver != version_) return kRtnVersion;
    if (Device::PollOrder(f.cid1, f.cid2) < 0 && !(f.cid1 == 0x40 && f.cid2 == 0x51))
        return kRtnCid2;
    if (takes_group_byte(f.cid2)) {
        if (f.info.size() > 1) return kRtnFormat;
        if (f.info.size() == 1 && f.info[0] != 0xFF)
            return kRtnData;  // only the whole group is served
    } else if (!f.info.empty()) {
        return kRtnFormat;
    }
    return kRtnOk;
}

void Responder::OnFrame(const smd::Frame& f) {
    if (f.adr != address_) {
        ++counters_.other_address;
        log_.push_back("frame for address " + std::to_string(f.adr) + " ignored");
        return;
    }
    ++counters_.commands;
    const std::uint8_t rtn = Check(f);
    Bytes info;
    if (rtn == kRtnOk) {
        device_.Observe(f.cid1, f.cid2, seconds_);
        for (auto& note : device_.TakeNotes())
            log_.push_back("cycle " + std::to_string(device_.Cycle()) + ": " + note);
        device_.BuildInfo(f.cid1, f.cid2, info);
    }
    Answer(f.cid1, f.cid2, rtn, info);
}

void Responder::OnError(smd::FrameError e) {
    std::uint8_t rtn = 0;
    switch (e) {
        case smd::FrameError::Checksum:
            rtn = kRtnChecksum;
            break;
        case smd::FrameError::LengthChecksum:
            rtn = kRtnLengthChecksum;
            break;
        case smd::FrameError::LengthMismatch:
        case smd::FrameError::NonHex:
            rtn = kRtnFormat;
            break;
        default:
            // Cut off, over-long, too short or noise: nothing to answer.
            ++counters_.bad_frames;
            log_.push_back(std::string("unreadable bytes: ") + smd::frame_error_name(e));
            return;
    }
    // The header of the broken frame says who it was for.
    std::uint8_t ver = 0, adr = 0, cid1 = 0, cid2 = 0;
    if (capture_.empty() || capture_[0] != smd::kSoi || !hex_byte(capture_, 1, ver) ||
        !hex_byte(capture_, 3, adr) || !hex_byte(capture_, 5, cid1) ||
        !hex_byte(capture_, 7, cid2)) {
        ++counters_.bad_frames;
        log_.push_back(std::string("unreadable frame: ") + smd::frame_error_name(e));
        return;
    }
    if (adr != address_) {
        ++counters_.other_address;
        log_.push_back("broken frame for address " + std::to_string(adr) + " ignored");
        return;
    }
    ++counters_.commands;
    Answer(cid1, cid2, rtn, Bytes{});
}

void Responder::Answer(std::uint8_t cid1, std::uint8_t cid2, std::uint8_t rtn, const Bytes& info) {
    const Bytes frame = smd::encode_frame(version_, address_, cid1, rtn, info.data(), info.size());
    const FaultDecision d = faults_.Decide(counters_.commands, device_.Cycle(), cid1, cid2);
    char line[96];
    std::snprintf(line, sizeof line, "cycle %llu: %s -> RTN %02X, %zu INFO bytes",
                  static_cast<unsigned long long>(device_.Cycle()),
                  command_name(cid1, cid2).c_str(), rtn, info.size());
    std::string text = line;
    const auto note_fault = [&](FaultKind k) {
        ++counters_.faults;
        ++counters_.by_fault[static_cast<std::size_t>(k)];
        text += std::string(", ") + fault_name(k);
    };
    if (d.silence_s > 0.0) silent_until_ = std::max(silent_until_, seconds_ + d.silence_s);
    if (seconds_ < silent_until_) {
        note_fault(FaultKind::Silence);
        log_.push_back(text);
        return;
    }
    if (d.drop) {
        note_fault(FaultKind::Drop);
        log_.push_back(text);
        return;
    }
    if (d.corrupt) note_fault(FaultKind::CorruptChecksum);
    if (d.truncate) note_fault(FaultKind::Truncate);
    if (d.garbage > 0) note_fault(FaultKind::Garbage);
    if (d.delay_ms > 0) note_fault(FaultKind::Delay);
    if (d.duplicate) note_fault(FaultKind::Duplicate);
    ++counters_.answers;
    if (rtn != kRtnOk) ++counters_.rtn_errors;
    log_.push_back(text);
    out_.push_back(d.Any() ? faults_.Damage(frame, d) : Reply{frame, 0});
    if (d.duplicate) out_.push_back(out_.back());  // the same answer again, right after
}

}  // namespace sim

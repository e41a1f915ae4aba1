#include "runtime/capture/Capture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "host/HostTypes.h"

namespace smd::capture {
namespace {

void put16(std::vector<std::uint8_t>& o, std::uint16_t v) {
    o.push_back(static_cast<std::uint8_t>(v));
    o.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32(std::vector<std::uint8_t>& o, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) o.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put64(std::vector<std::uint8_t>& o, std::int64_t v) {
    const auto u = static_cast<std::uint64_t>(v);
    for (int i = 0; i < 8; ++i) o.push_back(static_cast<std::uint8_t>(u >> (8 * i)));
}
std::uint64_t get(const std::uint8_t* p, int n) {
    std::uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

bool known(std::uint8_t k) {
    switch (static_cast<Kind>(k)) {
        case Kind::Begin:
        case Kind::Line:
        case Kind::Sent:
        case Kind::Received:
        case Kind::Opened:
        case Kind::OpenFailed:
        case Kind::Lost:
        case Kind::Closed:
            return true;
    }
    return false;
}

// The body of one whole record (its CRC checked) into the file; false when
// it is not one this version reads (it is skipped then).
bool take(const std::uint8_t* b, std::size_t n, File& f) {
    const std::uint8_t k = b[0];
    if (!known(k)) return false;
    const Kind kind = static_cast<Kind>(k);
    if (kind == Kind::Begin) {
        if (n < 9) return false;
        Session s;
        s.wall_micros = static_cast<std::int64_t>(get(b + 1, 8));
        s.site.assign(b + 9, b + n);
        f.sessions.push_back(std::move(s));
        return true;
    }
    if (f.sessions.empty() || n < 3) return false;
    Session& s = f.sessions.back();
    const auto line = static_cast<std::uint16_t>(get(b + 1, 2));
    if (kind == Kind::Line) {
        if (line != s.lines.size()) return false;
        s.lines.emplace_back(b + 3, b + n);
        return true;
    }
    const std::size_t head = kind == Kind::OpenFailed ? 12 : 11;
    if (n < head || line >= s.lines.size()) return false;
    Record r;
    r.kind = kind;
    r.line = line;
    r.micros = static_cast<std::int64_t>(get(b + 3, 8));
    if (kind == Kind::OpenFailed) r.fault = b[11];
    r.bytes.assign(b + head, b + n);
    s.records.push_back(std::move(r));
    return true;
}

}  // namespace

std::uint32_t Crc32(const std::uint8_t* data, std::size_t len) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < len; ++i) c = table[(c ^ data[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::vector<std::uint8_t> Encode(const Record& r) {
    std::vector<std::uint8_t> body;
    body.push_back(static_cast<std::uint8_t>(r.kind));
    if (r.kind == Kind::Begin) {
        put64(body, r.micros);
    } else {
        put16(body, r.line);
        if (r.kind != Kind::Line) put64(body, r.micros);
        if (r.kind == Kind::OpenFailed) body.push_back(r.fault);
    }
    body.insert(body.end(), r.bytes.begin(), r.bytes.end());
    std::vector<std::uint8_t> out;
    out.reserve(body.size() + 8);
    put32(out, static_cast<std::uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    put32(out, Crc32(body.data(), body.size()));
    return out;
}

bool Parse(const std::uint8_t* data, std::size_t len, File& out, std::string& error) {
    File f;
    if (len < 12 || std::memcmp(data, kMagic, sizeof kMagic) != 0) {
        error = len < 12 && len > 0 && std::memcmp(data, kMagic, std::min<std::size_t>(len, 8)) == 0
                    ? "a capture whose header was cut off"
                    : "not a capture file (no RAVO3CAP header)";
        if (len == 0) error = "an empty file, not a capture";
        return false;
    }
    const auto version = static_cast<std::uint32_t>(get(data + 8, 4));
    if (version != kVersion) {
        error = "capture version " + std::to_string(version) + "; this program reads version " +
                std::to_string(kVersion);
        return false;
    }
    std::size_t at = 12;
    f.whole_bytes = at;
    while (at < len) {
        if (len - at < 4) {
            f.cut_tail = true;
            break;
        }
        const auto n = static_cast<std::uint32_t>(get(data + at, 4));
        if (n == 0 || n > kMaxRecord) {
            // A length that no record has: damage, unless nothing follows it.
            if (len - at <= 8) {
                f.cut_tail = true;
                break;
            }
            error = "damaged record at byte " + std::to_string(at) + " (length " +
                    std::to_string(n) + ")";
            return false;
        }
        if (len - at - 4 < static_cast<std::size_t>(n) + 4) {
            f.cut_tail = true;  // written up to here when the writer stopped
            break;
        }
        const std::uint8_t* body = data + at + 4;
        if (Crc32(body, n) != static_cast<std::uint32_t>(get(body + n, 4))) {
            if (at + 8 + n == len) {
                f.cut_tail = true;  // the last record, half on the disk
                break;
            }
            error = "damaged record at byte " + std::to_string(at) + " (checksum)";
            return false;
        }
        take(body, n, f);
        at += 8 + n;
        f.whole_bytes = at;
    }
    out = std::move(f);
    return true;
}

bool Load(const std::string& path, File& out, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot be read (" + std::strerror(errno) + ")";
        return false;
    }
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    if (!Parse(bytes.data(), bytes.size(), out, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

Writer::Writer(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}

Writer::~Writer() {
    if (fd_ >= 0) ::close(fd_);
}

std::shared_ptr<Writer> Writer::Open(const std::string& path, const std::string& site_text,
                                     std::string& error) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (fd < 0) {
        error = "capture " + path + ": cannot open (" + std::strerror(errno) + ")";
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        error = "capture " + path + ": not a regular file";
        return nullptr;
    }
    if (st.st_size == 0) {
        std::vector<std::uint8_t> head(kMagic, kMagic + sizeof kMagic);
        put32(head, kVersion);
        if (::write(fd, head.data(), head.size()) != static_cast<ssize_t>(head.size())) {
            error = "capture " + path + ": cannot write (" + std::strerror(errno) + ")";
            ::close(fd);
            return nullptr;
        }
    } else {
        File f;
        std::string why;
        if (!Load(path, f, why)) {
            ::close(fd);
            error = "capture " + why + "; not appending to it";
            return nullptr;
        }
        // What a crash cut off is no record: the next one goes where it began.
        if (f.cut_tail && ::ftruncate(fd, static_cast<off_t>(f.whole_bytes)) != 0) {
            error = "capture " + path + ": cannot cut off its damaged end (" +
                    std::strerror(errno) + ")";
            ::close(fd);
            return nullptr;
        }
    }
    std::shared_ptr<Writer> w(new Writer(path, fd));
    w->start_ms_ = steady_millis();
    Record b;
    b.kind = Kind::Begin;
    const auto local = local_time();
    b.micros = local.is_special()
                   ? 0
                   : (local - boost::posix_time::ptime(boost::gregorian::date(1970, 1, 1)))
                         .total_microseconds();
    b.bytes.assign(site_text.begin(), site_text.end());
    w->Put(b);
    return w;
}

void Writer::Put(const Record& r) {
    const std::vector<std::uint8_t> bytes = Encode(r);
    // One write a record: with O_APPEND it lands whole after the last one.
    if (::write(fd_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) ++errors_;
}

std::uint16_t Writer::LineOf(const std::string& port) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i] == port) return static_cast<std::uint16_t>(i);
    }
    lines_.push_back(port);
    Record r;
    r.kind = Kind::Line;
    r.line = static_cast<std::uint16_t>(lines_.size() - 1);
    r.bytes.assign(port.begin(), port.end());
    Put(r);
    return r.line;
}

void Writer::Add(Kind kind, std::uint16_t line, const std::uint8_t* data, std::size_t len,
                 std::uint8_t fault) {
    Record r;
    r.kind = kind;
    r.line = line;
    r.fault = fault;
    if (len > 0) r.bytes.assign(data, data + len);
    std::lock_guard<std::mutex> lock(mutex_);
    r.micros = (steady_millis() - start_ms_) * 1000;
    Put(r);
}

std::uint64_t Writer::Errors() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return errors_;
}

CapturingPort::CapturingPort(std::shared_ptr<LinePort> inner, std::shared_ptr<Writer> writer)
    : inner_(std::move(inner)),
      writer_(std::move(writer)),
      line_(writer_->LineOf(inner_->Path())) {}

void CapturingPort::Event(Kind k, const std::string& text, std::uint8_t fault) {
    writer_->Add(k, line_, reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), fault);
}

bool CapturingPort::Open() {
    if (inner_->IsOpen()) return true;
    const bool ok = inner_->Open();
    if (ok) {
        // Whether written bytes take their line time (answer matching counts on it).
        const std::uint8_t paced = inner_->Paced() ? 1 : 0;
        writer_->Add(Kind::Opened, line_, &paced, 1);
    } else {
        Event(Kind::OpenFailed, inner_->LastError(), static_cast<std::uint8_t>(inner_->Fault()));
    }
    return ok;
}

void CapturingPort::Close() {
    if (!inner_->IsOpen()) return;
    inner_->Close();
    Event(Kind::Closed);
}

int CapturingPort::Write(const unsigned char* data, unsigned int len, EnumParity parity) {
    const int n = inner_->Write(data, len, parity);
    if (n > 0) writer_->Add(Kind::Sent, line_, data, static_cast<std::size_t>(n));
    if (n < 0 && !inner_->IsOpen()) Event(Kind::Lost, inner_->LastError());
    return n;
}

int CapturingPort::Read(unsigned char* buf, unsigned int cap, int timeout_ms) {
    const int n = inner_->Read(buf, cap, timeout_ms);
    if (n > 0) writer_->Add(Kind::Received, line_, buf, static_cast<std::size_t>(n));
    if (n < 0) Event(Kind::Lost, inner_->LastError());
    return n;
}

}  // namespace smd::capture

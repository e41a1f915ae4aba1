#include "service/http/HttpServer.h"

#include <arpa/inet.h>
#include <sys/resource.h>
#include <zlib.h>

#include <array>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/status.hpp>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>
#include <list>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "runtime/text/JsonText.h"
#include "service/http/PortHolder.h"

namespace smd::service {

namespace {

bool read_file(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::stringstream s;
    s << in.rdbuf();
    out = s.str();
    return !in.bad();
}

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return std::string();
    const auto e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool split_listen(const std::string& text, std::string& host, int& port) {
    std::string port_text;
    if (!text.empty() && text[0] == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            return false;
        }
        host = text.substr(1, close - 1);
        port_text = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon) return false;
        host = text.substr(0, colon);
        port_text = text.substr(colon + 1);
    }
    if (host.empty() || port_text.empty() || port_text.size() > 5) return false;
    port = 0;
    for (char c : port_text) {
        if (c < '0' || c > '9') return false;
        port = port * 10 + (c - '0');
    }
    return port <= 65535;  // 0: any free port (tests)
}

// Time-independent comparison: a wrong token takes as long as a near miss.
bool same_secret(const std::string& a, const std::string& b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < a.size(); ++i) {
        diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
    }
    return diff == 0;
}

}  // namespace

bool IsLoopback(const std::string& host) {
    if (host == "localhost") return true;
    in_addr v4{};
    if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    if (::inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
        return IN6_IS_ADDR_LOOPBACK(&v6);
    }
    return false;
}

bool ParseHttpOptions(const Json::Value& section, const std::string& base_dir, HttpOptions& out,
                      std::string& error) {
    static const std::set<std::string> kKeys = {"listen",          "token_file",    "cert_file",
                                                "key_file",        "threads",       "max_streams",
                                                "max_connections", "max_per_client"};
    if (!section.isObject()) {
        error = "\"http\" must be an object";
        return false;
    }
    for (const auto& key : section.getMemberNames()) {
        if (!kKeys.count(key)) {
            error = "\"http\": unknown key \"" + key + "\"";
            return false;
        }
    }
    auto path_of = [&](const char* key, std::string& path) {
        const Json::Value& v = section[key];
        if (v.isNull()) return true;
        if (!v.isString() || v.asString().empty()) {
            error = std::string("\"http\".\"") + key + "\" must be a file name";
            return false;
        }
        std::filesystem::path p(v.asString());
        if (p.is_relative() && !base_dir.empty()) p = std::filesystem::path(base_dir) / p;
        path = p.string();
        return true;
    };
    auto int_of = [&](const char* key, int lo, int hi, int& value) {
        const Json::Value& v = section[key];
        if (v.isNull()) return true;
        if (!v.isInt() || v.asInt() < lo || v.asInt() > hi) {
            error = std::string("\"http\".\"") + key + "\" must be an integer from " +
                    std::to_string(lo) + " to " + std::to_string(hi);
            return false;
        }
        value = v.asInt();
        return true;
    };
    HttpOptions o;
    if (section.isMember("listen")) {
        const Json::Value& v = section["listen"];
        if (!v.isString() || !split_listen(v.asString(), o.host, o.port)) {
            error = "\"http\".\"listen\" must be \"ADDRESS:PORT\" (e.g. \"127.0.0.1:8363\")";
            return false;
        }
    }
    std::string token_file;
    if (!path_of("token_file", token_file) || !path_of("cert_file", o.cert_file) ||
        !path_of("key_file", o.key_file) || !int_of("threads", 2, 256, o.threads) ||
        !int_of("max_streams", 0, 1024, o.max_streams) ||
        !int_of("max_connections", 16, 65536, o.max_connections) ||
        !int_of("max_per_client", 1, o.max_connections, o.max_per_client)) {
        return false;
    }
    if (!section.isMember("max_per_client")) {
        o.max_per_client = std::max(8, o.max_connections / 8);
    }
    if (o.max_streams >= o.threads) {
        error = "\"http\".\"max_streams\" must leave threads for requests (below \"threads\")";
        return false;
    }
    if (o.cert_file.empty() != o.key_file.empty()) {
        error = "\"http\": TLS needs both \"cert_file\" and \"key_file\"";
        return false;
    }
    if (!token_file.empty()) {
        std::string text;
        if (!read_file(token_file, text)) {
            error = "\"http\".\"token_file\": cannot read " + token_file;
            return false;
        }
        o.token = trim(text);
        if (o.token.empty()) {
            error = "\"http\".\"token_file\": " + token_file + " holds no token";
            return false;
        }
    }
    if (o.token.empty() && !IsLoopback(o.host)) {
        error = "\"http\": listening on " + o.host + " (not loopback) needs a \"token_file\"";
        return false;
    }
    out = std::move(o);
    return true;
}

// ---- Requests and answers

namespace {

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// %XX escapes decoded; a broken escape stays as it came.
std::string percent_decode(std::string_view s, bool plus_is_space) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            const int hi = hex_value(s[i + 1]), lo = hex_value(s[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                continue;
            }
        }
        out += plus_is_space && s[i] == '+' ? ' ' : s[i];
    }
    return out;
}

}  // namespace

bool HttpRequest::has_param(const std::string& name) const {
    for (const auto& [k, v] : params) {
        if (k == name) return true;
    }
    return false;
}

std::string HttpRequest::get_param_value(const std::string& name) const {
    for (const auto& [k, v] : params) {
        if (k == name) return v;
    }
    return std::string();
}

std::string HttpRequest::get_header_value(const std::string& name) const {
    for (const auto& [k, v] : headers) {
        if (same_name(k, name)) return v;
    }
    return std::string();
}

void HttpResponse::set_header(const std::string& name, const std::string& value) {
    for (auto& [k, v] : headers) {
        if (same_name(k, name)) {
            v = value;
            return;
        }
    }
    headers.emplace_back(name, value);
}

void SetJson(HttpResponse& res, std::string body) {
    body += '\n';
    res.set_content(std::move(body), "application/json; charset=utf-8");
}

void SetError(HttpResponse& res, int status, const std::string& text) {
    res.status = status;
    json::Writer w;
    w.BeginObject().Key("error").String(text).Key("status").Int(status).EndObject();
    SetJson(res, w.Take());
}

// ---- Parsing within bounds

namespace {

namespace net = boost::asio;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

// One request from the wire. Keeps the fields it is given, at most
// `header_fields` of them, in at most `header_bytes`; the body is counted
// and dropped (the API takes none).
class RequestParser final : public http::basic_parser<true> {
  public:
    RequestParser(const HttpOptions& o, std::string remote) : fields_left_(o.header_fields) {
        header_limit(static_cast<std::uint32_t>(o.header_bytes));
        body_limit(static_cast<std::uint64_t>(o.body_bytes));
        eager(true);
        request.remote = std::move(remote);
    }
    HttpRequest request;
    int version = 11;

  private:
    void on_request_impl(http::verb, boost::beast::string_view method,
                         boost::beast::string_view target, int v, error_code& ec) override {
        if (target.empty() || target[0] != '/') {
            ec = http::error::bad_target;  // only paths: no proxy forms, no "*"
            return;
        }
        version = v;
        request.method.assign(method.data(), method.size());
        request.target.assign(target.data(), target.size());
        const std::string_view t(target.data(), target.size());
        const auto q = t.find('?');
        request.path = percent_decode(t.substr(0, q), false);
        if (q == std::string_view::npos) return;
        std::string_view rest = t.substr(q + 1);
        while (!rest.empty()) {
            const auto amp = rest.find('&');
            const std::string_view pair = rest.substr(0, amp);
            rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
            if (pair.empty()) continue;
            const auto eq = pair.find('=');
            request.params.emplace_back(percent_decode(pair.substr(0, eq), true),
                                        eq == std::string_view::npos
                                            ? std::string()
                                            : percent_decode(pair.substr(eq + 1), true));
        }
    }
    void on_response_impl(int, boost::beast::string_view, int, error_code&) override {}
    void on_field_impl(http::field, boost::beast::string_view name, boost::beast::string_view value,
                       error_code& ec) override {
        if (fields_left_ == 0) {
            ec = http::error::header_limit;
            return;
        }
        --fields_left_;
        request.headers.emplace_back(std::string(name.data(), name.size()),
                                     std::string(value.data(), value.size()));
    }
    void on_header_impl(error_code&) override {}
    void on_body_init_impl(const boost::optional<std::uint64_t>&, error_code&) override {}
    std::size_t on_body_impl(boost::beast::string_view body, error_code&) override {
        return body.size();
    }
    void on_chunk_header_impl(std::uint64_t, boost::beast::string_view, error_code&) override {}
    std::size_t on_chunk_body_impl(std::uint64_t, boost::beast::string_view body,
                                   error_code&) override {
        return body.size();
    }
    void on_finish_impl(error_code&) override {}

    std::size_t fields_left_;
};

enum class Fed { NeedMore, Done, Refused };

// Gives the parser what is pending and drops what it took. A header that is
// not whole within its bound is refused by the parser itself, so `pending`
// never holds more than the bound and one read.
Fed feed(RequestParser& p, std::string& pending, int& status, std::string& why) {
    for (;;) {
        error_code ec;
        const std::size_t n = p.put(net::buffer(pending.data(), pending.size()), ec);
        pending.erase(0, n);
        if (ec == http::error::need_more) return Fed::NeedMore;
        if (ec) {
            if (ec == http::error::header_limit) {
                status = 431;
                why = "the request's header is too large or has too many fields";
            } else if (ec == http::error::body_limit) {
                status = 413;
                why = "the request's body is too large";
            } else {
                status = 400;
                why = "the request cannot be read (" + ec.message() + ")";
            }
            return Fed::Refused;
        }
        if (p.is_done()) return Fed::Done;
        if (n == 0) return Fed::NeedMore;
    }
}

// No CR or LF from a handler's header reaches the wire.
std::string header_safe(const std::string& s) {
    std::string out;
    for (char c : s) out += (c == '\r' || c == '\n') ? ' ' : c;
    return out;
}

std::string response_head(const HttpResponse& res, std::size_t length, bool chunked, bool keep,
                          bool http10, int idle_seconds) {
    const auto reason =
        http::obsolete_reason(http::int_to_status(static_cast<unsigned>(res.status)));
    std::string h = "HTTP/1.1 " + std::to_string(res.status) + " " +
                    std::string(reason.data(), reason.size()) + "\r\n";
    if (!res.content_type.empty()) h += "Content-Type: " + header_safe(res.content_type) + "\r\n";
    for (const auto& [k, v] : res.headers) h += header_safe(k) + ": " + header_safe(v) + "\r\n";
    if (chunked) {
        h += "Transfer-Encoding: chunked\r\n";
    } else if (length != std::string::npos) {
        h += "Content-Length: " + std::to_string(length) + "\r\n";
    }
    if (keep) {
        if (http10) h += "Connection: keep-alive\r\n";
        h += "Keep-Alive: timeout=" + std::to_string(idle_seconds) + "\r\n";
    } else {
        h += "Connection: close\r\n";
    }
    h += "\r\n";
    return h;
}

// A body worth compressing goes out gzipped to a client that takes it (a
// scrape of many lines is several hundred KiB of text).
void compress_for(const HttpRequest& req, HttpResponse& res) {
    if (res.body.size() < 1024 || res.provider) return;
    std::string accept = req.get_header_value("Accept-Encoding");
    for (char& c : accept) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto at = accept.find("gzip");
    if (at == std::string::npos) return;
    const auto q = accept.find_first_not_of(' ', at + 4);
    if (q != std::string::npos && accept[q] == ';') {  // "gzip;q=0" refuses it
        const auto eq = accept.find('=', q);
        if (eq != std::string::npos && std::strtod(accept.c_str() + eq + 1, nullptr) <= 0) return;
    }
    z_stream z{};
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        return;
    }
    std::string out(deflateBound(&z, static_cast<uLong>(res.body.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(res.body.data());
    z.avail_in = static_cast<uInt>(res.body.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    if (rc != Z_STREAM_END) return;
    res.body = std::move(out);
    res.set_header("Content-Encoding", "gzip");
    res.set_header("Vary", "Accept-Encoding");
}

std::string refusal(int status, const std::string& why) {
    HttpResponse res;
    SetError(res, status, why);
    return response_head(res, res.body.size(), false, false, false, 0) + res.body;
}

// The share of connections is counted per address, an IPv6 client per /64
// (what one host is usually given).
std::string client_key(const net::ip::address& a) {
    if (a.is_v6()) {
        const auto v6 = a.to_v6();
        if (v6.is_v4_mapped()) return net::ip::make_address_v4(net::ip::v4_mapped, v6).to_string();
        auto bytes = v6.to_bytes();
        for (std::size_t i = 8; i < bytes.size(); ++i) bytes[i] = 0;
        return net::ip::address_v6(bytes).to_string() + "/64";
    }
    return a.to_string();
}

// The workers that run handlers: a whole request each, never a connection.
class WorkerPool {
  public:
    void Start(int n) {
        for (int i = 0; i < n; ++i) threads_.emplace_back([this] { Run(); });
    }
    void Post(std::function<void()> job) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_) return;
        jobs_.push_back(std::move(job));
        cv_.notify_one();
    }
    // Lets the running jobs finish; drops the ones not started.
    void Stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
            jobs_.clear();
        }
        cv_.notify_all();
        for (auto& t : threads_) t.join();
        threads_.clear();
    }

  private:
    void Run() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                cv_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
                if (jobs_.empty()) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    bool stop_ = false;
};

class Session;

}  // namespace

// ---- The listener

struct HttpServer::Impl {
    explicit Impl(HttpServer& s) : server(s), o(s.options_) {}

    void Accept();
    void OnAccept(const error_code& ec, tcp::socket socket);
    bool Admit(const std::string& key);
    bool EvictIdle(const std::string* key);
    void Remove(Session* s);
    void CloseAll();

    HttpServer& server;
    const HttpOptions& o;
    std::optional<net::ssl::context> tls;  // outlives the connections' handlers
    net::io_context ioc{1};
    tcp::acceptor acceptor{ioc};
    net::steady_timer accept_retry{ioc};
    std::optional<net::executor_work_guard<net::io_context::executor_type>> work;
    std::thread io_thread;
    WorkerPool pool;
    // On the I/O thread only.
    std::list<std::shared_ptr<Session>> sessions;
    std::map<std::string, int> per_client;
};

namespace {

// One connection, on the I/O thread; plain or TLS. The request is read into
// `pending_` within its bounds, handed to a worker whole, and its answer
// written back here. States decide what a deadline means and which
// connections may be closed to make room.
class Session : public std::enable_shared_from_this<Session> {
  public:
    enum class State { Handshake, Idle, Reading, Busy, Writing, Streaming, Closing, Closed };

    Session(HttpServer::Impl& impl, tcp::socket socket, std::string remote, std::string key)
        : impl_(impl), timer_(impl.ioc), remote_(std::move(remote)), key_(std::move(key)) {
        if (impl.tls) {
            tls_.emplace(std::move(socket), *impl.tls);
        } else {
            plain_.emplace(std::move(socket));
        }
        since_ = Clock::now();
    }

    void Start() {
        if (!tls_) return ReadRequest();
        state_ = State::Handshake;
        Arm(impl_.o.request_timeout_ms);
        auto self = shared_from_this();
        tls_->async_handshake(net::ssl::stream_base::server, [self](const error_code& ec) {
            if (self->state_ == State::Closed) return;
            if (ec) return self->Close();
            self->ReadRequest();
        });
    }

    // Closed at once: the socket, the timer, the place in the listener.
    void Close() {
        if (state_ == State::Closed) return;
        state_ = State::Closed;
        open_ = false;
        error_code ignored;
        Socket().shutdown(tcp::socket::shutdown_both, ignored);
        Socket().close(ignored);
        timer_.cancel();
        impl_.Remove(this);
    }

    State state() const { return state_; }
    Clock::time_point since() const { return since_; }
    const std::string& key() const { return key_; }
    std::list<std::shared_ptr<Session>>::iterator place;

  private:
    tcp::socket& Socket() { return tls_ ? tls_->next_layer() : *plain_; }

    template <class F>
    void ReadSome(F&& done) {
        auto buf = net::buffer(chunk_);
        if (tls_) {
            tls_->async_read_some(buf, std::forward<F>(done));
        } else {
            plain_->async_read_some(buf, std::forward<F>(done));
        }
    }
    template <class Buffers, class F>
    void WriteAll(const Buffers& b, F&& done) {
        if (tls_) {
            net::async_write(*tls_, b, std::forward<F>(done));
        } else {
            net::async_write(*plain_, b, std::forward<F>(done));
        }
    }

    // One deadline at a time; a stale expiry (re-armed since) does nothing.
    void Arm(int ms) {
        const unsigned gen = ++timer_gen_;
        timer_.expires_after(std::chrono::milliseconds(ms));
        auto self = shared_from_this();
        timer_.async_wait([self, gen](const error_code& ec) {
            if (!ec && gen == self->timer_gen_) self->OnTimeout();
        });
    }
    void Disarm() {
        ++timer_gen_;
        timer_.cancel();
    }

    void OnTimeout() {
        if (state_ == State::Reading) {
            char text[64];
            std::snprintf(text, sizeof text, "the request did not come whole within %.1f s",
                          impl_.o.request_timeout_ms / 1000.0);
            return Refuse(408, text);
        }
        Close();  // idle, handshake, a write or a close that does not finish
    }

    void ReadRequest() {
        if (impl_.server.Stopping()) return Close();
        parser_.emplace(impl_.o, remote_);
        since_ = Clock::now();
        if (!pending_.empty()) {  // a request sent right behind the last one
            state_ = State::Reading;
            Arm(impl_.o.request_timeout_ms);
            return Parse();
        }
        state_ = State::Idle;
        Arm(impl_.o.idle_timeout_ms);
        DoRead();
    }

    // At most one read at a time; what it brings depends on the state when
    // it comes (a refusal may have been decided while it was out).
    void DoRead() {
        if (reading_) return;
        reading_ = true;
        auto self = shared_from_this();
        ReadSome([self](const error_code& ec, std::size_t n) {
            self->reading_ = false;
            self->OnRead(ec, n);
        });
    }

    void OnRead(const error_code& ec, std::size_t n) {
        if (state_ == State::Closed) return;
        if (ec) return Close();
        switch (state_) {
            case State::Idle:
                state_ = State::Reading;  // the request's deadline counts from its first byte
                Arm(impl_.o.request_timeout_ms);
                [[fallthrough]];
            case State::Reading:
                pending_.append(chunk_.data(), n);
                return Parse();
            case State::Closing:
            case State::Streaming:
                return DoRead();  // dropped: only the client's going matters now
            default:
                return;  // after a refusal, while its answer is written
        }
    }

    void Parse() {
        int status = 0;
        std::string why;
        switch (feed(*parser_, pending_, status, why)) {
            case Fed::NeedMore:
                return DoRead();
            case Fed::Refused:
                return Refuse(status, why);
            case Fed::Done:
                break;
        }
        Disarm();
        state_ = State::Busy;
        keep_ = parser_->keep_alive() && !impl_.server.Stopping();
        http10_ = parser_->version < 11;
        auto self = shared_from_this();
        impl_.pool.Post(
            [self, req = std::move(parser_->request)]() mutable { self->Serve(std::move(req)); });
        parser_.reset();
    }

    // On a worker.
    void Serve(HttpRequest req) {
        HttpResponse res;
        impl_.server.Dispatch(req, res);
        compress_for(req, res);
        const bool head_only = req.method == "HEAD";
        if (res.provider && !head_only) return Stream(res);
        if (res.provider && res.provider_done) res.provider_done(false);
        auto out = std::make_shared<std::pair<std::string, std::string>>();
        out->first = response_head(res, res.body.size(), false, keep_, http10_,
                                   impl_.o.idle_timeout_ms / 1000);
        if (!head_only) out->second = std::move(res.body);
        auto self = shared_from_this();
        net::post(impl_.ioc, [self, out, keep = keep_] { self->Write(out, keep); });
    }

    void Write(std::shared_ptr<std::pair<std::string, std::string>> out, bool keep) {
        if (state_ == State::Closed) return;
        state_ = State::Writing;
        Arm(impl_.o.write_timeout_ms);
        auto self = shared_from_this();
        const std::array<net::const_buffer, 2> b = {net::buffer(out->first),
                                                    net::buffer(out->second)};
        WriteAll(b, [self, out, keep](const error_code& ec, std::size_t) {
            if (self->state_ == State::Closed) return;
            if (ec) return self->Close();
            if (keep) return self->ReadRequest();
            self->Linger();
        });
    }

    void Refuse(int status, const std::string& why) {
        impl_.server.Count(status);
        auto out = std::make_shared<std::pair<std::string, std::string>>(refusal(status, why),
                                                                         std::string());
        parser_.reset();
        pending_.clear();
        Write(out, false);
    }

    // After the last answer: no more sending, and what the client still sends
    // is read and dropped for a moment, so that it reads the answer rather
    // than a reset.
    void Linger() {
        state_ = State::Closing;
        pending_.clear();
        Arm(2000);
        if (tls_) {
            if (reading_) return Close();  // a shutdown would read beside it
            auto self = shared_from_this();
            tls_->async_shutdown([self](const error_code&) { self->Close(); });
            return;
        }
        error_code ignored;
        plain_->shutdown(tcp::socket::shutdown_send, ignored);
        DoRead();
    }

    // An event stream, on the worker that served its request: each write is
    // handed to the I/O thread and waited for (within the write deadline).
    // The I/O thread reads meanwhile, to see the client go.
    void Stream(HttpResponse& res) {
        const bool chunked = !http10_;
        auto self = shared_from_this();
        net::post(impl_.ioc, [self] {
            if (self->state_ == State::Closed) return;
            self->state_ = State::Streaming;
            self->DoRead();  // to see the client go
        });
        bool ok = WriteAndWait(response_head(res, std::string::npos, chunked, false, http10_, 0));
        StreamSink sink;
        sink.write = [this, chunked](const char* data, std::size_t n) {
            if (n == 0) return open_.load();
            std::string piece;
            if (chunked) {
                char size[24];
                std::snprintf(size, sizeof size, "%zx\r\n", n);
                piece = size;
            }
            piece.append(data, n);
            if (chunked) piece += "\r\n";
            return WriteAndWait(std::move(piece));
        };
        sink.is_writable = [this] { return open_.load(); };
        std::size_t offset = 0;
        try {
            while (ok && open_ && !impl_.server.Stopping()) {
                if (!res.provider(offset, sink)) break;
            }
        } catch (const std::exception&) {
            // The stream ends; its client reconnects.
        }
        if (res.provider_done) res.provider_done(open_.load());
        if (chunked && open_) WriteAndWait("0\r\n\r\n");
        net::post(impl_.ioc, [self] { self->Close(); });
    }
    bool WriteAndWait(std::string data) {
        auto done = std::make_shared<std::promise<bool>>();
        auto result = done->get_future();
        auto self = shared_from_this();
        auto out = std::make_shared<std::string>(std::move(data));
        net::post(impl_.ioc, [self, out, done] {
            if (self->state_ == State::Closed) return done->set_value(false);
            self->Arm(self->impl_.o.write_timeout_ms);
            self->WriteAll(net::buffer(*out), [self, out, done](const error_code& ec, std::size_t) {
                if (self->state_ != State::Closed) self->Disarm();
                if (ec) self->Close();
                done->set_value(!ec);
            });
        });
        try {
            return result.get();
        } catch (const std::future_error&) {
            return false;  // the I/O thread went first
        }
    }

    HttpServer::Impl& impl_;
    std::optional<tcp::socket> plain_;
    std::optional<net::ssl::stream<tcp::socket>> tls_;
    net::steady_timer timer_;
    unsigned timer_gen_ = 0;
    std::string remote_, key_;
    State state_ = State::Idle;
    std::atomic<bool> open_{true};
    Clock::time_point since_;
    std::array<char, 4096> chunk_{};
    std::string pending_;
    std::optional<RequestParser> parser_;
    bool keep_ = false, http10_ = false, reading_ = false;
};

}  // namespace

void HttpServer::Impl::Accept() {
    acceptor.async_accept(
        [this](const error_code& ec, tcp::socket socket) { OnAccept(ec, std::move(socket)); });
}

void HttpServer::Impl::OnAccept(const error_code& ec, tcp::socket socket) {
    if (!acceptor.is_open() || server.Stopping()) return;
    if (ec) {
        if (ec != net::error::no_descriptors && ec != net::error::no_buffer_space &&
            ec != net::error::no_memory && ec.value() != ENFILE) {
            return Accept();
        }
        // Out of descriptors: wait a moment rather than spin.
        accept_retry.expires_after(std::chrono::milliseconds(100));
        accept_retry.async_wait([this](const error_code& e) {
            if (!e) Accept();
        });
        return;
    }
    error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    const auto peer = socket.remote_endpoint(ignored);
    const std::string key = client_key(peer.address());
    if (ignored || !Admit(key)) {
        socket.close(ignored);
        return Accept();
    }
    auto s = std::make_shared<Session>(*this, std::move(socket), peer.address().to_string(), key);
    sessions.push_front(s);
    s->place = sessions.begin();
    ++per_client[key];
    ++server.connections_;
    s->Start();
    Accept();
}

// Room for one more connection of `key`: within its share and the cap, or
// made by closing an idle connection (its own first, then anyone's); a
// client that holds its whole share busy is refused.
bool HttpServer::Impl::Admit(const std::string& key) {
    const auto it = per_client.find(key);
    if (it != per_client.end() && it->second >= o.max_per_client && !EvictIdle(&key)) return false;
    if (static_cast<int>(sessions.size()) >= o.max_connections && !EvictIdle(nullptr)) {
        return false;
    }
    return true;
}

bool HttpServer::Impl::EvictIdle(const std::string* key) {
    std::shared_ptr<Session> oldest;
    for (const auto& s : sessions) {
        const auto st = s->state();
        if (st != Session::State::Idle && st != Session::State::Handshake) continue;
        if (key && s->key() != *key) continue;
        if (!oldest || s->since() < oldest->since()) oldest = s;
    }
    if (!oldest) return false;
    oldest->Close();
    return true;
}

void HttpServer::Impl::Remove(Session* s) {
    auto it = per_client.find(s->key());
    if (it != per_client.end() && --it->second <= 0) per_client.erase(it);
    --server.connections_;
    sessions.erase(s->place);  // may be the last owner: nothing of `s` is used after
}

void HttpServer::Impl::CloseAll() {
    error_code ignored;
    acceptor.close(ignored);
    accept_retry.cancel();
    while (!sessions.empty()) {
        auto s = sessions.front();  // Close() erases it
        s->Close();
    }
}

HttpServer::HttpServer(HttpOptions options) : options_(std::move(options)) {}

HttpServer::~HttpServer() {
    Stop();
}

void HttpServer::Get(const std::string& path, Handler handler) {
    routes_[path] = std::move(handler);
}

void HttpServer::AllowWithoutToken(const std::string& path) {
    without_token_.insert(path);
}

void HttpServer::AllowTokenParameter(const std::string& path) {
    token_parameter_.insert(path);
}

bool HttpServer::Authorized(const HttpRequest& req, HttpResponse& res) const {
    const std::string& token = options_.token;
    if (token.empty()) return true;
    if ((req.method == "GET" || req.method == "HEAD") && without_token_.count(req.path)) {
        return true;
    }
    std::string auth = req.get_header_value("Authorization");
    static const std::string kBearer = "Bearer ";
    if (auth.empty() && token_parameter_.count(req.path) && req.has_param("access_token")) {
        auth = kBearer + req.get_param_value("access_token");
    }
    if (auth.size() >= kBearer.size() &&
        same_name(std::string_view(auth).substr(0, kBearer.size()), kBearer) &&
        same_secret(trim(auth.substr(kBearer.size())), token)) {
        return true;
    }
    res.set_header("WWW-Authenticate", "Bearer realm=\"ravo3\"");
    SetError(res, 401, auth.empty() ? "a bearer token is needed" : "the token is wrong");
    return false;
}

void HttpServer::Dispatch(const HttpRequest& req, HttpResponse& res) const {
    try {
        if (!Authorized(req, res)) return;
        if (req.method != "GET" && req.method != "HEAD") {
            res.set_header("Allow", "GET, HEAD");
            return SetError(res, 405, "only GET and HEAD are served");
        }
        const auto route = routes_.find(req.path);
        if (route == routes_.end()) return SetError(res, 404, "no such resource: " + req.path);
        route->second(req, res);
        if (res.status >= 400 && res.body.empty() && !res.provider) {
            SetError(res, res.status,
                     "the request cannot be served (HTTP " + std::to_string(res.status) + ")");
        }
    } catch (const std::exception& e) {
        res = HttpResponse();
        SetError(res, 500, std::string("internal error: ") + e.what());
    } catch (...) {
        res = HttpResponse();
        SetError(res, 500, "internal error");
    }
    Count(res.status);
}

void HttpServer::Count(int status) const {
    std::lock_guard<std::mutex> lock(counts_mutex_);
    ++counts_[status];
}

std::map<int, std::uint64_t> HttpServer::RequestCounts() const {
    std::lock_guard<std::mutex> lock(counts_mutex_);
    return counts_;
}

std::string HttpServer::ServeBytes(std::string_view input, const std::string& remote) {
    std::string pending(input), out;
    for (;;) {
        RequestParser p(options_, remote);
        int status = 0;
        std::string why;
        const Fed fed = feed(p, pending, status, why);
        if (fed == Fed::NeedMore) break;  // the listener would wait, then answer 408
        if (fed == Fed::Refused) {
            Count(status);
            out += refusal(status, why);
            break;
        }
        HttpResponse res;
        Dispatch(p.request, res);
        compress_for(p.request, res);
        const bool keep = p.keep_alive();
        const bool head_only = p.request.method == "HEAD";
        if (res.provider) {
            if (res.provider_done) res.provider_done(false);
            out += response_head(res, std::string::npos, p.version >= 11, false, p.version < 11, 0);
            break;
        }
        out += response_head(res, res.body.size(), false, keep, p.version < 11,
                             options_.idle_timeout_ms / 1000);
        if (!head_only) out += res.body;
        if (!keep) break;
    }
    return out;
}

bool HttpServer::Start(std::string& error) {
    impl_ = std::make_unique<Impl>(*this);
    Impl& m = *impl_;
    const std::string where = options_.host + ":" + std::to_string(options_.port);
    if (!options_.cert_file.empty()) {
        try {
            m.tls.emplace(net::ssl::context::tls_server);
            m.tls->set_options(net::ssl::context::default_workarounds |
                               net::ssl::context::no_sslv2 | net::ssl::context::no_sslv3 |
                               net::ssl::context::no_tlsv1 | net::ssl::context::no_tlsv1_1);
            m.tls->use_certificate_chain_file(options_.cert_file);
            m.tls->use_private_key_file(options_.key_file, net::ssl::context::pem);
        } catch (const std::exception&) {
            error = "HTTP: the certificate " + options_.cert_file + " or the key " +
                    options_.key_file + " cannot be used";
            impl_.reset();
            return false;
        }
    }
    // Each connection is a descriptor: the soft limit (often 1024) must not
    // be what refuses them.
    rlimit rl{};
    const rlim_t want = static_cast<rlim_t>(options_.max_connections) + 256;
    if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY &&
        rl.rlim_cur < want) {
        rl.rlim_cur = rl.rlim_max == RLIM_INFINITY ? want : std::min(want, rl.rlim_max);
        ::setrlimit(RLIMIT_NOFILE, &rl);
    }
    error_code ec;
    tcp::resolver resolver(m.ioc);
    const auto found =
        resolver.resolve(options_.host, std::to_string(options_.port),
                         tcp::resolver::passive | tcp::resolver::numeric_service, ec);
    if (ec || found.empty()) {
        error = "HTTP: cannot listen on " + where + " (" + ec.message() + ")";
        impl_.reset();
        return false;
    }
    const tcp::endpoint at = found.begin()->endpoint();
    m.acceptor.open(at.protocol(), ec);
    // SO_REUSEADDR only lets a restart bind past its own closing connections;
    // without SO_REUSEPORT a second listener on the address is refused.
    if (!ec) m.acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) m.acceptor.bind(at, ec);
    // Bursts of new connections wait in the kernel's queue, not refused.
    if (!ec) m.acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        std::string holder;
        if (ec == net::error::address_in_use) holder = port_holder(options_.port);
        error = "HTTP: cannot listen on " + where + " (" + ec.message() +
                (holder.empty() ? std::string() : "; held by " + holder) + ")";
        impl_.reset();
        return false;
    }
    bound_port_ = m.acceptor.local_endpoint().port();
    m.pool.Start(options_.threads);
    m.work.emplace(m.ioc.get_executor());
    m.Accept();
    m.io_thread = std::thread([&m] { m.ioc.run(); });
    return true;
}

void HttpServer::Stop() {
    stopping_ = true;
    if (!impl_) return;
    Impl& m = *impl_;
    if (m.io_thread.joinable()) {
        net::post(m.ioc, [&m] { m.CloseAll(); });
        // Streams see Stopping() within a second; their writes fail once closed.
        m.pool.Stop();
        std::promise<void> closed;
        net::post(m.ioc, [&m, &closed] {
            m.CloseAll();
            closed.set_value();
        });
        closed.get_future().wait();
        m.work.reset();
        m.ioc.stop();
        m.io_thread.join();
    }
    impl_.reset();
}

bool HttpServer::AcquireStream() {
    int now = streams_.load();
    do {
        if (now >= options_.max_streams) return false;
    } while (!streams_.compare_exchange_weak(now, now + 1));
    return true;
}

void HttpServer::ReleaseStream() {
    --streams_;
}

}  // namespace smd::service

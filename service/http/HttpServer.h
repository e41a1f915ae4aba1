// The service's one HTTP listener: the API, the metrics and the web page
// register their routes on it. Loopback by default; any other address needs
// a bearer token, and TLS is used when a certificate and key are given.
//
// Event-driven: one I/O thread holds every connection, reads requests within
// their bounds and deadlines and writes the answers; only a whole request goes
// to a worker, so an idle or slow client costs a socket and a few KiB, never a
// worker.
#pragma once

#include <json/value.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

#include "service/http/HttpMessage.h"

namespace smd::service {

struct HttpOptions {
    std::string host = "127.0.0.1";
    int port = 8363;
    std::string token;  // empty: no token asked for (loopback only)
    std::string cert_file;
    std::string key_file;
    int threads = 16;     // requests served at once
    int max_streams = 8;  // event streams open at once, each holding a thread
    int max_connections = 1024;
    int max_per_client = 128;  // one address (an IPv6 /64) may hold this many

    // Bounds of one request: past the header bounds 431, past the body 413.
    std::size_t header_bytes = 16 * 1024;  // request line and header fields
    std::size_t header_fields = 100;
    std::size_t body_bytes = 64 * 1024;  // the API takes no bodies
    // Deadlines: a request whole (TLS handshake included) from its first byte;
    // a connection waiting for its next request; one write of an answer.
    int request_timeout_ms = 5000;
    int idle_timeout_ms = 15000;
    int write_timeout_ms = 10000;
};

// The site file's "http" section. Relative paths are taken from `base_dir`.
// False, with one message naming the key, on any fault (also an address
// that is not loopback without "token_file").
bool ParseHttpOptions(const Json::Value& section, const std::string& base_dir, HttpOptions& out,
                      std::string& error);
bool IsLoopback(const std::string& host);

class HttpServer {
  public:
    using Handler = std::function<void(const HttpRequest&, HttpResponse&)>;

    explicit HttpServer(HttpOptions options);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Routes, before Start(): GET (and HEAD) of exactly this path.
    void Get(const std::string& path, Handler handler);
    // Before Start(): a path served without the token (the web page's files,
    // which carry no data), and a path that also takes the token as the query
    // parameter "access_token" (a browser's EventSource cannot set a header).
    void AllowWithoutToken(const std::string& path);
    void AllowTokenParameter(const std::string& path);

    // Binds and serves on a thread of its own. False, with `error`, when the
    // address cannot be bound or the certificate cannot be used.
    bool Start(std::string& error);
    void Stop();
    // True from Stop() on: long answers (event streams) end.
    bool Stopping() const { return stopping_.load(); }
    int Port() const { return bound_port_; }
    const HttpOptions& Options() const { return options_; }
    bool Tls() const { return !options_.cert_file.empty(); }

    // Streams open now; a new one is refused while at the limit.
    bool AcquireStream();
    void ReleaseStream();

    // Connections held now (for tests and the measurement script's checks).
    int Connections() const { return connections_.load(); }
    // Answers given since the start, by status (refusals of the listener included).
    std::map<int, std::uint64_t> RequestCounts() const;
    void Count(int status) const;

    // The request bytes of one connection, served in-process without a socket
    // (the fuzz target): every whole request in `input` is parsed within the
    // bounds above and answered as the listener would; the answers' bytes
    // are returned. An event stream's answer ends after its header.
    std::string ServeBytes(std::string_view input, const std::string& remote = "127.0.0.1");

    // Token, route and handler: the answer to one parsed request.
    void Dispatch(const HttpRequest& req, HttpResponse& res) const;

    struct Impl;  // the listener's machinery, in HttpServer.cpp

  private:
    bool Authorized(const HttpRequest& req, HttpResponse& res) const;

    HttpOptions options_;
    std::map<std::string, Handler> routes_;
    std::set<std::string> without_token_, token_parameter_;
    std::unique_ptr<Impl> impl_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> streams_{0};
    std::atomic<int> connections_{0};
    int bound_port_ = 0;
    mutable std::mutex counts_mutex_;
    mutable std::map<int, std::uint64_t> counts_;
};

// An error answer: {"error": text} with `status`.
void SetError(HttpResponse& res, int status, const std::string& text);
void SetJson(HttpResponse& res, std::string body);

}  // namespace smd::service

// The service's one HTTP listener: the API, the metrics and the web page
// register their routes on it. Loopback by default; any other address needs
// a bearer token, and TLS is used when a certificate and key are given.
#pragma once

#include <json/value.h>

#include <atomic>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace smd::service {

struct HttpOptions {
    std::string host = "127.0.0.1";
    int port = 8363;
    std::string token;  // empty: no token asked for (loopback only)
    std::string cert_file;
    std::string key_file;
    int threads = 16;     // requests served at once
    int max_streams = 8;  // event streams open at once, each holding a thread
};

// The site file's "http" section. Relative paths are taken from `base_dir`.
// False, with one message naming the key, on any fault (also an address
// that is not loopback without "token_file").
bool ParseHttpOptions(const Json::Value& section, const std::string& base_dir, HttpOptions& out,
                      std::string& error);
bool IsLoopback(const std::string& host);

class HttpServer {
  public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    explicit HttpServer(HttpOptions options);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Routes, before Start(). `pattern` is a path or a regular expression.
    void Get(const std::string& pattern, Handler handler);
    // The listener itself, for what Get cannot say (mount points, other methods).
    httplib::Server& Raw();
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

  private:
    HttpOptions options_;
    std::unique_ptr<httplib::Server> server_;
    std::set<std::string> without_token_, token_parameter_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> listen_done_{false};
    std::atomic<int> streams_{0};
    int bound_port_ = 0;
};

// An error answer: {"error": text} with `status`.
void SetError(httplib::Response& res, int status, const std::string& text);
void SetJson(httplib::Response& res, std::string body);

}  // namespace smd::service

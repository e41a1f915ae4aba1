#include "service/http/HttpServer.h"

#include <arpa/inet.h>
#include <httplib.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "runtime/JsonText.h"

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
    static const std::set<std::string> kKeys = {"listen",   "token_file", "cert_file",
                                                "key_file", "threads",    "max_streams"};
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
        !int_of("max_streams", 0, 1024, o.max_streams)) {
        return false;
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

void SetJson(httplib::Response& res, std::string body) {
    body += '\n';
    res.set_content(body, "application/json; charset=utf-8");
}

void SetError(httplib::Response& res, int status, const std::string& text) {
    res.status = status;
    json::Writer w;
    w.BeginObject().Key("error").String(text).Key("status").Int(status).EndObject();
    SetJson(res, w.Take());
}

HttpServer::HttpServer(HttpOptions options) : options_(std::move(options)) {
    if (!options_.cert_file.empty()) {
        server_ = std::make_unique<httplib::SSLServer>(options_.cert_file.c_str(),
                                                       options_.key_file.c_str());
    } else {
        server_ = std::make_unique<httplib::Server>();
    }
    const int threads = options_.threads;
    server_->new_task_queue = [threads] {
        return new httplib::ThreadPool(static_cast<std::size_t>(threads));
    };
    server_->set_payload_max_length(64 * 1024);  // we take no bodies
    server_->set_read_timeout(5, 0);
    server_->set_write_timeout(5, 0);
    const std::string token = options_.token;
    server_->set_pre_routing_handler(
        [this, token](const httplib::Request& req, httplib::Response& res) {
            if (token.empty()) return httplib::Server::HandlerResponse::Unhandled;
            if (req.method == "GET" && without_token_.count(req.path)) {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            std::string auth = req.get_header_value("Authorization");
            static const std::string kBearer = "Bearer ";
            if (auth.empty() && token_parameter_.count(req.path) && req.has_param("access_token")) {
                auth = kBearer + req.get_param_value("access_token");
            }
            if (auth.compare(0, kBearer.size(), kBearer) == 0 &&
                same_secret(trim(auth.substr(kBearer.size())), token)) {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            res.set_header("WWW-Authenticate", "Bearer realm=\"ravo3\"");
            SetError(res, 401, auth.empty() ? "a bearer token is needed" : "the token is wrong");
            return httplib::Server::HandlerResponse::Handled;
        });
    server_->set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        if (!res.body.empty()) return;  // a handler already said what is wrong
        if (res.status == 404) {
            SetError(res, 404, "no such resource: " + req.path);
        } else {
            SetError(res, res.status,
                     "the request cannot be served (HTTP " + std::to_string(res.status) + ")");
        }
    });
    server_->set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
            std::string what = "internal error";
            try {
                if (ep) std::rethrow_exception(ep);
            } catch (const std::exception& e) {
                what += std::string(": ") + e.what();
            } catch (...) {
            }
            SetError(res, 500, what);
        });
}

HttpServer::~HttpServer() {
    Stop();
}

void HttpServer::Get(const std::string& pattern, Handler handler) {
    server_->Get(pattern, std::move(handler));
}

httplib::Server& HttpServer::Raw() {
    return *server_;
}

void HttpServer::AllowWithoutToken(const std::string& path) {
    without_token_.insert(path);
}

void HttpServer::AllowTokenParameter(const std::string& path) {
    token_parameter_.insert(path);
}

bool HttpServer::Start(std::string& error) {
    if (!server_->is_valid()) {
        error = "HTTP: the certificate " + options_.cert_file + " or the key " + options_.key_file +
                " cannot be used";
        return false;
    }
    if (options_.port == 0) {
        bound_port_ = server_->bind_to_any_port(options_.host);
        if (bound_port_ <= 0) {
            error = "HTTP: cannot listen on " + options_.host;
            return false;
        }
    } else {
        if (!server_->bind_to_port(options_.host, options_.port)) {
            error = "HTTP: cannot listen on " + options_.host + ":" +
                    std::to_string(options_.port) + " (" + std::strerror(errno) + ")";
            return false;
        }
        bound_port_ = options_.port;
    }
    thread_ = std::thread([this] {
        server_->listen_after_bind();
        listen_done_ = true;
    });
    return true;
}

void HttpServer::Stop() {
    stopping_ = true;
    if (!thread_.joinable()) return;
    // stop() is a no-op until the listener runs: repeat it until the thread ends.
    for (int i = 0; i < 5000 && !listen_done_.load(); ++i) {
        server_->stop();
        if (listen_done_.load()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    thread_.join();
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

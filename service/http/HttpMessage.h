// One request as the listener parsed it and the answer a handler fills in.
// Plain data: the listener (service/http/HttpServer.cpp) reads and writes the
// wire; handlers see only these.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace smd::service {

struct HttpRequest {
    std::string method;                                        // "GET", "HEAD", ...
    std::string target;                                        // as sent
    std::string path;                                          // percent-decoded, without the query
    std::vector<std::pair<std::string, std::string>> params;   // decoded, '+' as a space
    std::vector<std::pair<std::string, std::string>> headers;  // as sent, in order
    std::string remote;                                        // the client's address

    bool has_param(const std::string& name) const;
    // The first value of the parameter; empty when absent.
    std::string get_param_value(const std::string& name) const;
    // The first header of that name (any case); empty when absent.
    std::string get_header_value(const std::string& name) const;
};

// Where an event stream writes; false once the client is gone.
struct StreamSink {
    std::function<bool(const char* data, std::size_t size)> write;
    std::function<bool()> is_writable;
};

struct HttpResponse {
    // An event stream: called again and again on the request's worker while it
    // returns true and the client is there; `done` runs once at the end.
    using Provider = std::function<bool(std::size_t offset, StreamSink& sink)>;
    using Done = std::function<void(bool success)>;

    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string content_type;
    std::string body;
    Provider provider;
    Done provider_done;

    void set_header(const std::string& name, const std::string& value);
    void set_content(std::string content, const std::string& type) {
        body = std::move(content);
        content_type = type;
    }
    void set_chunked_content_provider(const std::string& type, Provider next, Done done) {
        content_type = type;
        provider = std::move(next);
        provider_done = std::move(done);
    }
};

}  // namespace smd::service

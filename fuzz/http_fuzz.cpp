// The HTTP API's request targets: the input is the path and query of one GET
// (anything a client may send: unknown routes, times and ids out of range,
// broken percent escapes), sent on loopback to the service of a host that
// has replayed a real history database. Every request must get a whole
// answer: no server error, and JSON that parses wherever JSON is served.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <json/reader.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "runtime/Host.h"
#include "service/Service.h"
#include "service/http/HttpServer.h"

namespace {

struct Site {
    smd::SiteConfig site;
    std::unique_ptr<smd::Host> host;
    std::unique_ptr<smd::service::Service> service;
    int port = 0;

    Site() {
        fuzz_support::silence_stdout();
        if (!::dlopen(RAVO3_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL)) fuzz_support::fail(::dlerror());
        char tmp[] = "/tmp/ravo3-http-fuzz-XXXXXX";
        if (!::mkdtemp(tmp)) fuzz_support::fail("no temporary folder");
        const std::string dir = tmp;
        // A database as a host leaves it: history, events and standing alarms.
        {
            std::ifstream in(std::string(RAVO3_SOURCE_DIR) + "/fuzz/corpus/store/small_wal_db",
                             std::ios::binary);
            std::ofstream out(dir + "/history.db", std::ios::binary);
            out << in.rdbuf();
        }
        const std::string text =
            R"({"history_db": "history.db", "http": {"listen": "127.0.0.1:0"},
                "devices": [{"name": "site-1", "port": "/nonexistent/tty", "driver": ")" RAVO3_PLUGIN_PATH
            R"(", "data_id": 1000, "acSetting": [{"data_id": 1001}],
                "dcSetting": [{"data_id": 1002}], "rcSetting": {}}]})";
        std::string error;
        if (!smd::ParseSiteConfig(text, dir, site, error)) fuzz_support::fail(error);
        site.path = dir + "/site.json";
        smd::HostOptions ho;
        ho.start_lines = false;
        ho.log = [](const std::string&) {};
        host = std::make_unique<smd::Host>(ho);
        if (!host->Start(site, error)) fuzz_support::fail(error);
        service = std::make_unique<smd::service::Service>();
        if (!service->Start(
                *host, site, [](const std::string&) {}, error)) {
            fuzz_support::fail(error);
        }
        port = service->Http()->Port();
    }
};

// The whole answer to one request, read until the server closes.
std::string ask(int port, const std::string& target) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) fuzz_support::fail("no socket");
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        fuzz_support::fail("cannot connect to the service");
    }
    const std::string req =
        "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    (void)!::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    std::string answer;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        answer.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return answer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Site* site = new Site();
    std::string target(reinterpret_cast<const char*>(data), size);
    // One request line: what a client cannot send is not a request target.
    if (target.empty() || target.find_first_of(std::string("\r\n \0", 4)) != std::string::npos) {
        return 0;
    }
    // The event stream answers until the client goes; it has a test of its own.
    if (target.find("stream") != std::string::npos) return 0;
    const std::string answer = ask(site->port, target);
    if (answer.empty()) return 0;  // refused before a word (an unreadable request line)
    if (answer.compare(0, 9, "HTTP/1.1 ") != 0) fuzz_support::fail("not an HTTP answer");
    const int status = std::atoi(answer.c_str() + 9);
    if (status >= 500)
        fuzz_support::fail("server error " + std::to_string(status) + " for " + target);
    const auto body_at = answer.find("\r\n\r\n");
    const auto type_at = answer.find("Content-Type: application/json");
    if (body_at != std::string::npos && type_at != std::string::npos && type_at < body_at) {
        const std::string body = answer.substr(body_at + 4);
        Json::CharReaderBuilder b;
        std::unique_ptr<Json::CharReader> r(b.newCharReader());
        Json::Value v;
        std::string errors;
        if (!r->parse(body.data(), body.data() + body.size(), &v, &errors)) {
            fuzz_support::fail("answer is not JSON for " + target + ": " + errors);
        }
    }
    return 0;
}

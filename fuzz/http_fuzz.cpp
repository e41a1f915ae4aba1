// The HTTP API's requests: the input is the bytes a client sends on one
// connection (request lines, header fields, bodies, several requests back to
// back), served in-process through the listener's own parsing, bounds and
// routing (HttpServer::ServeBytes), no socket, by the service of a host that
// has replayed a real history database. Every answer must be whole: no
// server error, and JSON that parses wherever JSON is served.
#include <dlfcn.h>
#include <json/reader.h>
#include <stdlib.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "runtime/site/Host.h"
#include "service/Service.h"
#include "service/http/HttpServer.h"

namespace {

struct Site {
    smd::SiteConfig site;
    std::unique_ptr<smd::Host> host;
    std::unique_ptr<smd::service::Service> service;

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
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Site* site = new Site();
    const std::string in(reinterpret_cast<const char*>(data), size);
    const std::string out = site->service->Http()->ServeBytes(in);
    std::size_t at = 0;
    while (at < out.size()) {
        if (out.compare(at, 9, "HTTP/1.1 ") != 0) fuzz_support::fail("not an HTTP answer");
        const int status = std::atoi(out.c_str() + at + 9);
        const auto head_end = out.find("\r\n\r\n", at);
        if (head_end == std::string::npos) fuzz_support::fail("an answer's head is cut off");
        const std::string head = out.substr(at, head_end - at);
        if (status >= 500) {
            fuzz_support::fail("server error " + std::to_string(status) + " for " + in + "\n" +
                               out.substr(at, 400));
        }
        std::size_t length = 0;
        const auto cl = head.find("\r\nContent-Length: ");
        if (cl != std::string::npos) length = std::strtoul(head.c_str() + cl + 18, nullptr, 10);
        // A stream's answer ends the output after its head; an answer to HEAD
        // has no body, the next answer (or nothing) follows its head.
        const bool stream = head.find("Transfer-Encoding: chunked") != std::string::npos;
        const bool no_body =
            stream || head_end + 4 == out.size() || out.compare(head_end + 4, 9, "HTTP/1.1 ") == 0;
        if (!no_body && out.size() - (head_end + 4) < length) {
            fuzz_support::fail("an answer's body is cut off");
        }
        const std::string body = no_body ? std::string() : out.substr(head_end + 4, length);
        if (!no_body && head.find("Content-Type: application/json") != std::string::npos &&
            head.find("Content-Encoding: gzip") == std::string::npos) {
            Json::CharReaderBuilder b;
            std::unique_ptr<Json::CharReader> r(b.newCharReader());
            Json::Value v;
            std::string errors;
            if (!r->parse(body.data(), body.data() + body.size(), &v, &errors)) {
                fuzz_support::fail("answer is not JSON for " + in + ": " + errors);
            }
        }
        at = head_end + 4 + body.size();
        if (stream) break;
    }
    return 0;
}

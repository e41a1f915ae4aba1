// The listener under hostile and careless clients, on loopback: bounds on
// headers and bodies, deadlines, idle and slow connections that must not
// take the workers, the per-client share of connections, keep-alive.
#include <gtest/gtest.h>
#include <zlib.h>

#include <memory>
#include <string>
#include <vector>

#include "service/http/HttpServer.h"
#include "tests/support/RawHttp.h"

using testing_support::body_of;
using testing_support::RawHttp;
using testing_support::status_of;

namespace {

std::string get(const std::string& path, const std::string& extra = "") {
    return "GET " + path + " HTTP/1.1\r\nHost: x\r\n" + extra + "\r\n";
}

class Listener : public ::testing::Test {
  protected:
    // Deadlines far longer than any case takes, also under a sanitizer on a
    // loaded machine; the deadline case sets short ones.
    void SetUp() override { Start(120000); }
    // A listener whose deadlines are `timeout_ms`.
    void Start(int timeout_ms) {
        if (server_) server_->Stop();
        smd::service::HttpOptions o;
        o.port = 0;
        o.threads = 2;
        o.max_streams = 1;
        o.max_connections = 64;
        o.max_per_client = 4;
        o.request_timeout_ms = timeout_ms;
        o.idle_timeout_ms = timeout_ms;
        server_ = std::make_unique<smd::service::HttpServer>(o);
        server_->Get(
            "/ping", [](const smd::service::HttpRequest& req, smd::service::HttpResponse& res) {
                smd::service::SetJson(res, "{\"pong\":\"" + req.get_param_value("n") + "\"}");
            });
        server_->Get("/big", [](const smd::service::HttpRequest&, smd::service::HttpResponse& res) {
            res.set_content(std::string(4096, 'v'), "text/plain");
        });
        std::string error;
        ASSERT_TRUE(server_->Start(error)) << error;
    }
    int Port() const { return server_->Port(); }
    std::unique_ptr<smd::service::HttpServer> server_;
};

// Each bound at its edge: what fits is served, one more is refused with its
// status, before the rest of the request is read.
TEST_F(Listener, HeaderAndBodyBounds) {
    auto fields = [](int n) {
        std::string s;
        for (int i = 0; i < n; ++i) s += "X-" + std::to_string(i) + ": y\r\n";
        return s;
    };
    const struct {
        const char* name;
        std::string request;
        int status;
    } cases[] = {
        {"100 fields", get("/ping", fields(99)), 200},  // Host is the 100th
        {"101 fields", get("/ping", fields(100)), 431},
        {"a header of 15 KiB", get("/ping", "X: " + std::string(15 * 1024, 'a') + "\r\n"), 200},
        {"a header of 17 KiB", get("/ping", "X: " + std::string(17 * 1024, 'a') + "\r\n"), 431},
        {"20000 header lines", get("/ping", fields(20000)), 431},
        {"a body of 64 KiB", get("/ping", "Content-Length: 65536\r\n") + std::string(65536, 'b'),
         200},
        {"a body of 64 KiB + 1",
         get("/ping", "Content-Length: 65537\r\n") + std::string(65537, 'b'), 413},
        {"no path", "GET http://x/ping HTTP/1.1\r\nHost: x\r\n\r\n", 400},
        {"not HTTP", std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11), 400},
        {"a method not served", "POST /ping HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n", 405},
    };
    for (const auto& k : cases) {
        RawHttp c(Port());
        ASSERT_TRUE(c.Connected());
        c.Send(k.request);  // may fail once the server has refused it
        const std::string answer = c.Answer();
        EXPECT_EQ(status_of(answer), k.status) << k.name << ": " << answer.substr(0, 200);
        // A request that cannot be read ends its connection; one read whole does not.
        if (k.status != 200 && k.status != 405) {
            EXPECT_TRUE(c.ClosedByServer()) << k.name;
        }
    }
}

// A request that does not come whole in time gets 408 and is closed; a
// connection idle past its time is closed without a word.
TEST_F(Listener, DeadlinesForARequestAndAnIdleConnection) {
    Start(300);
    RawHttp slow(Port());
    ASSERT_TRUE(slow.Send("GET /ping HTTP/1.1\r\nHo"));
    const std::string answer = slow.Answer();
    EXPECT_EQ(status_of(answer), 408) << answer;
    EXPECT_TRUE(slow.ClosedByServer());

    RawHttp idle(Port());
    ASSERT_TRUE(idle.Send(get("/ping")));
    EXPECT_EQ(status_of(idle.Answer()), 200);
    EXPECT_TRUE(idle.ClosedByServer());
}

// Two workers, and far more idle and half-sent connections than that (from
// other addresses, within their shares): a new request is still answered.
TEST_F(Listener, IdleAndSlowConnectionsTakeNoWorker) {
    std::vector<std::unique_ptr<RawHttp>> held;
    for (int i = 0; i < 24; ++i) {
        const std::string source = "127.0.1." + std::to_string(i / 4 + 1);
        held.push_back(std::make_unique<RawHttp>(Port(), source.c_str()));
        ASSERT_TRUE(held.back()->Connected());
        if (i % 2) {
            ASSERT_TRUE(held.back()->Send("GET /ping HTTP/1.1\r\nX: "));
        }
    }
    RawHttp c(Port());
    ASSERT_TRUE(c.Send(get("/ping?n=1")));
    const std::string answer = c.Answer(5000);
    EXPECT_EQ(status_of(answer), 200) << answer;
    EXPECT_EQ(body_of(answer), "{\"pong\":\"1\"}\n");
}

// A client at its share: a new connection of its own closes its oldest idle
// one; when none of its own is idle, the new one is refused; another client
// is served all along.
TEST_F(Listener, ConnectionsShareByClient) {
    std::vector<std::unique_ptr<RawHttp>> idle;
    for (int i = 0; i < 4; ++i) {
        idle.push_back(std::make_unique<RawHttp>(Port(), "127.0.0.2"));
        ASSERT_TRUE(idle.back()->Send(get("/ping")));  // served, then idle
        ASSERT_EQ(status_of(idle.back()->Answer()), 200);
    }
    // Another client's answer: the listener has seen everything sent before.
    auto barrier = [&] {
        RawHttp other(Port(), "127.0.0.4");
        return other.Send(get("/ping")) && status_of(other.Answer()) == 200;
    };
    ASSERT_TRUE(barrier());
    RawHttp fifth(Port(), "127.0.0.2");
    ASSERT_TRUE(fifth.Send(get("/ping")));
    EXPECT_EQ(status_of(fifth.Answer()), 200);
    EXPECT_TRUE(idle[0]->ClosedByServer(5000)) << "the oldest idle one makes room";

    std::vector<std::unique_ptr<RawHttp>> busy;
    for (int i = 0; i < 4; ++i) {
        busy.push_back(std::make_unique<RawHttp>(Port(), "127.0.0.3"));
        ASSERT_TRUE(busy.back()->Send("GET /ping HTTP/1.1\r\n"));  // mid-request
    }
    ASSERT_TRUE(barrier());
    RawHttp refused(Port(), "127.0.0.3");
    refused.Send(get("/ping"));
    EXPECT_EQ(status_of(refused.Answer()), 0);
    EXPECT_TRUE(refused.ClosedByServer());
    EXPECT_TRUE(barrier());
}

// Requests on one connection, also sent back to back, are answered in order;
// HTTP/1.0 without keep-alive and "Connection: close" end the connection.
TEST_F(Listener, KeepAliveAndPipelining) {
    RawHttp c(Port());
    ASSERT_TRUE(c.Send(get("/ping?n=1") + get("/ping?n=2") + get("/ping?n=3")));
    for (const char* n : {"1", "2", "3"}) {
        const std::string answer = c.Answer();
        EXPECT_EQ(body_of(answer), std::string("{\"pong\":\"") + n + "\"}\n") << answer;
        EXPECT_NE(answer.find("Keep-Alive: timeout="), std::string::npos) << answer;
    }
    for (const std::string& last :
         {std::string("GET /ping HTTP/1.0\r\n\r\n"), get("/ping", "Connection: close\r\n")}) {
        RawHttp once(Port());
        ASSERT_TRUE(once.Send(last));
        const std::string answer = once.Answer();
        EXPECT_EQ(status_of(answer), 200) << answer;
        EXPECT_NE(answer.find("Connection: close"), std::string::npos) << answer;
        EXPECT_TRUE(once.ClosedByServer()) << last;
    }
}

std::string gunzip(const std::string& in) {
    z_stream z{};
    inflateInit2(&z, 15 + 16);
    std::string out(1 << 16, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = inflate(&z, Z_FINISH);
    out.resize(z.total_out);
    inflateEnd(&z);
    return rc == Z_STREAM_END ? out : "(not gzip)";
}

// A large answer goes gzipped to a client that takes it, as it was otherwise.
TEST_F(Listener, GzipWhereTheClientTakesIt) {
    const struct {
        const char* path;
        const char* accept;  // empty: no Accept-Encoding
        bool gzipped;
    } cases[] = {
        {"/big", "gzip", true},       {"/big", "deflate, gzip, br", true},
        {"/big", "GZIP;q=0.5", true}, {"/big", "gzip;q=0", false},
        {"/big", "", false},          {"/big", "br", false},
        {"/ping", "gzip", false},  // too small to be worth it
    };
    for (const auto& k : cases) {
        RawHttp c(Port());
        ASSERT_TRUE(
            c.Send(get(k.path, *k.accept ? std::string("Accept-Encoding: ") + k.accept + "\r\n"
                                         : std::string())));
        const std::string answer = c.Answer();
        ASSERT_EQ(status_of(answer), 200) << k.accept;
        const bool gzipped = answer.find("Content-Encoding: gzip") != std::string::npos;
        EXPECT_EQ(gzipped, k.gzipped) << k.path << " " << k.accept;
        if (std::string(k.path) == "/big") {
            EXPECT_EQ(gzipped ? gunzip(body_of(answer)) : body_of(answer), std::string(4096, 'v'))
                << k.accept;
        }
    }
}

// The same bytes served in-process (the fuzz target's way) answer as the
// listener does.
TEST_F(Listener, InProcessServingMatchesTheListener) {
    const std::string out = server_->ServeBytes(get("/ping?n=a%2Bb+c") + get("/nothing"));
    EXPECT_EQ(status_of(out), 200);
    EXPECT_NE(out.find("{\"pong\":\"a+b c\"}"), std::string::npos) << out;
    EXPECT_NE(out.find("HTTP/1.1 404 Not Found"), std::string::npos) << out;
}

}  // namespace

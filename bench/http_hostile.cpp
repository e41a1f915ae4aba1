// The HTTP listener's goals against a running daemon on loopback
// (bench/http_hostile.sh starts one): a flood of header lines, idle and
// slowloris connections while the API is asked, keep-alive against new
// connections. Prints one line per figure.
//
//   ravo3-http-bench PORT DAEMON_PID [--flood-mb N] [--idle N] [--slow N] [--requests N]
//                    [--flood-parallel N] [--attack-seconds N]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
int g_port = 0;

int connect_from(const char* source, bool nonblocking = false) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    if (source) {
        ::inet_pton(AF_INET, source, &a.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(fd);
            return -1;
        }
    }
    a.sin_port = htons(static_cast<std::uint16_t>(g_port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (nonblocking) ::fcntl(fd, F_SETFL, O_NONBLOCK);
    return fd;
}

// One answer read (head and Content-Length body); its status, 0 on failure.
int read_answer(int fd, std::string& buf) {
    for (;;) {
        const auto end = buf.find("\r\n\r\n");
        if (end != std::string::npos) {
            std::size_t length = 0;
            const auto at = buf.find("Content-Length: ");
            if (at != std::string::npos && at < end)
                length = std::strtoul(&buf[at + 16], nullptr, 10);
            if (buf.size() >= end + 4 + length) {
                const int status = std::atoi(buf.c_str() + 9);
                buf.erase(0, end + 4 + length);
                return status;
            }
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 30000) <= 0) return 0;
        char tmp[65536];
        const ssize_t n = ::recv(fd, tmp, sizeof tmp, 0);
        if (n <= 0) return 0;
        buf.append(tmp, static_cast<std::size_t>(n));
    }
}

bool send_all(int fd, const std::string& s) {
    std::size_t at = 0;
    while (at < s.size()) {
        const ssize_t n = ::send(fd, s.data() + at, s.size() - at, MSG_NOSIGNAL);
        if (n <= 0) return false;
        at += static_cast<std::size_t>(n);
    }
    return true;
}

long status_kib(int pid, const char* key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
    }
    return -1;
}

struct Stats {
    double p50, p99, max;
    int failed;
};

Stats stats(std::vector<double> ms, int failed) {
    std::sort(ms.begin(), ms.end());
    if (ms.empty()) return {0, 0, 0, failed};
    auto at = [&](double q) {
        return ms[std::min(ms.size() - 1, static_cast<std::size_t>(q * ms.size()))];
    };
    return {at(0.50), at(0.99), ms.back(), failed};
}

const std::string kValues = "GET /api/v1/values HTTP/1.1\r\nHost: bench\r\n\r\n";

// `n` requests, each on a new connection.
Stats new_connections(int n, const std::string& request) {
    std::vector<double> ms;
    int failed = 0;
    for (int i = 0; i < n; ++i) {
        const auto t0 = Clock::now();
        const int fd = connect_from(nullptr);
        std::string buf;
        const bool ok = fd >= 0 && send_all(fd, request) && read_answer(fd, buf) == 200;
        if (fd >= 0) ::close(fd);
        if (!ok) {
            ++failed;
            continue;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    return stats(ms, failed);
}

// `n` requests on one connection kept open and `n` on a new connection
// each, taken in turn so that both see the same load of the machine.
std::pair<Stats, Stats> keep_alive_and_new(int n, const std::string& request) {
    std::vector<double> kept, fresh;
    int kept_failed = 0, fresh_failed = 0;
    int fd = connect_from(nullptr);
    std::string buf;
    for (int i = 0; i < n; ++i) {
        if (fd < 0) fd = connect_from(nullptr);
        const auto t0 = Clock::now();
        if (fd < 0 || !send_all(fd, request) || read_answer(fd, buf) != 200) {
            ++kept_failed;
            if (fd >= 0) ::close(fd);
            fd = -1;
            buf.clear();
        } else {
            kept.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        }
        const Stats one = new_connections(1, request);
        if (one.failed) {
            ++fresh_failed;
        } else {
            fresh.push_back(one.max);
        }
    }
    if (fd >= 0) ::close(fd);
    return {stats(kept, kept_failed), stats(fresh, fresh_failed)};
}

void print(const char* what, const Stats& s) {
    std::printf("%-44s p50 %7.2f ms  p99 %7.2f ms  max %7.2f ms  failed %d\n", what, s.p50, s.p99,
                s.max, s.failed);
}

// A flood of header lines on one connection: sent while nothing comes back;
// the answer's status and how much was sent before it came.
void flood(int pid, long megabytes, int parallel) {
    const long before = status_kib(pid, "VmRSS:");
    std::vector<std::thread> threads;
    std::mutex out;
    for (int k = 0; k < parallel; ++k) {
        threads.emplace_back([&, k] {
            const int fd = connect_from(nullptr);
            if (fd < 0) return;
            std::string chunk;
            while (chunk.size() < 64 * 1024) chunk += "X: y\r\n";
            const long total = megabytes * 1024 * 1024;
            long sent = 0;
            send_all(fd, "GET /api/v1/values HTTP/1.1\r\nHost: bench\r\n");
            std::string answer;
            while (sent < total) {
                pollfd p{fd, POLLIN | POLLOUT, 0};
                if (::poll(&p, 1, 10000) <= 0) break;
                if (p.revents & POLLIN) break;  // the server answered
                if (p.revents & (POLLERR | POLLHUP)) break;
                const ssize_t n =
                    ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n <= 0 && errno != EAGAIN) break;
                if (n > 0) sent += n;
            }
            char tmp[4096];
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 10000) > 0) {
                const ssize_t n = ::recv(fd, tmp, sizeof tmp, 0);
                if (n > 0) answer.assign(tmp, static_cast<std::size_t>(n));
            }
            ::close(fd);
            std::lock_guard<std::mutex> lock(out);
            std::printf(
                "flood %d: %ld MB of header lines offered, %.1f KiB sent before the answer: %s\n",
                k, megabytes, sent / 1024.0,
                answer.empty() ? "(no answer)" : answer.substr(0, answer.find("\r\n")).c_str());
        });
    }
    for (auto& t : threads) t.join();
    const long after = status_kib(pid, "VmRSS:");
    std::printf("flood x%d: daemon resident %ld KiB before, %ld KiB after: growth %ld KiB\n",
                parallel, before, after, after - before);
}

// `n` connections opened at once from ten client addresses, each asking
// /api/v1/values: how long each waited for its answer from the start.
void burst(int n) {
    const auto t0 = Clock::now();
    std::vector<int> fds;
    for (int i = 0; i < n; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        ::inet_pton(AF_INET, ("127.0.0." + std::to_string(2 + i % 10)).c_str(), &a.sin_addr);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        a.sin_port = htons(static_cast<std::uint16_t>(g_port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        (void)!::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fds.push_back(fd);
    }
    std::vector<int> state(fds.size(), 0);  // 0 connecting, 1 sent, 2 answered, 3 failed
    std::vector<double> ms;
    const auto end = t0 + std::chrono::seconds(120);
    std::size_t done = 0;
    while (done < fds.size() && Clock::now() < end) {
        std::vector<pollfd> p;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            p.push_back({fds[i],
                         static_cast<short>(state[i] == 0   ? POLLOUT
                                            : state[i] == 1 ? POLLIN
                                                            : 0),
                         0});
        }
        if (::poll(p.data(), p.size(), 1000) <= 0) continue;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (!p[i].revents) continue;
            if (state[i] == 0) {
                state[i] = send_all(fds[i], kValues) ? 1 : 3;
            } else if (state[i] == 1) {
                char buf[4096];
                const ssize_t r = ::recv(fds[i], buf, sizeof buf, 0);
                state[i] = r > 9 && std::atoi(buf + 9) == 200 ? 2 : 3;
                if (state[i] == 2) {
                    ms.push_back(
                        std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
                }
            }
            if (state[i] >= 2) ++done;
        }
    }
    int failed = 0, late = 0;
    for (int s : state) failed += s != 2;
    for (double m : ms) late += m > 1000;
    for (int fd : fds) ::close(fd);
    const Stats s = stats(ms, failed);
    std::printf(
        "burst of %d connections: answered p50 %.1f ms, p99 %.1f ms, max %.1f ms; %d after 1 s, %d "
        "failed\n",
        n, s.p50, s.p99, s.max, late, failed);
}

// Idle and slowloris connections held open (reopened when the server closes
// them) from other loopback addresses while `measure` runs.
class Attack {
  public:
    Attack(int idle, int slow) : idle_(idle), slow_(slow) {}
    void Start() {
        thread_ = std::thread([this] { Run(); });
        // Until all are open.
        while (open_.load() < idle_ + slow_ && !stop_)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    void Stop() {
        stop_ = true;
        thread_.join();
    }
    int Open() const { return open_.load(); }
    long Reopened() const { return reopened_.load(); }

  private:
    struct Conn {
        int fd = -1;
        bool slow = false;
        std::string source;
        Clock::time_point next;
    };
    void Reopen(Conn& c) {
        if (c.fd >= 0) {
            ::close(c.fd);
            ++reopened_;
        }
        c.fd = connect_from(c.source.c_str(), true);
        if (c.fd >= 0 && c.slow)
            (void)!::send(c.fd, "GET /api/v1/values HTTP/1.1\r\n", 29, MSG_NOSIGNAL);
        c.next = Clock::now() + std::chrono::seconds(1);
    }
    void Run() {
        std::vector<Conn> conns(static_cast<std::size_t>(idle_ + slow_));
        for (std::size_t i = 0; i < conns.size(); ++i) {
            conns[i].slow = static_cast<int>(i) >= idle_;
            conns[i].source = "127.0.0." + std::to_string(2 + i % 10);  // 60 a client
            Reopen(conns[i]);
        }
        char buf[4096];
        while (!stop_) {
            std::vector<pollfd> fds;
            int open = 0;
            for (auto& c : conns) {
                fds.push_back({c.fd, POLLIN, 0});
                open += c.fd >= 0;
            }
            open_ = open;
            ::poll(fds.data(), fds.size(), 200);
            const auto now = Clock::now();
            for (std::size_t i = 0; i < conns.size(); ++i) {
                Conn& c = conns[i];
                if (c.fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                    // Closed by the server (or an answer: 408): open it again.
                    if (c.fd >= 0 && ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
                    }
                    Reopen(c);
                    continue;
                }
                if (c.slow && now >= c.next) {  // one more byte of a header, every second
                    (void)!::send(c.fd, "X", 1, MSG_NOSIGNAL);
                    c.next = now + std::chrono::seconds(1);
                }
            }
        }
        for (auto& c : conns) {
            if (c.fd >= 0) ::close(c.fd);
        }
    }
    int idle_, slow_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> open_{0};
    std::atomic<long> reopened_{0};
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: ravo3-http-bench PORT DAEMON_PID [--flood-mb N] [--idle N] [--slow N] "
                     "[--requests N] [--flood-parallel N] [--attack-seconds N]\n");
        return 2;
    }
    g_port = std::atoi(argv[1]);
    const int pid = std::atoi(argv[2]);
    long flood_mb = 50;
    int idle = 500, slow = 100, requests = 1000, parallel = 4, attack_seconds = 20;
    for (int i = 3; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--flood-mb") flood_mb = std::atol(argv[i + 1]);
        if (a == "--idle") idle = std::atoi(argv[i + 1]);
        if (a == "--slow") slow = std::atoi(argv[i + 1]);
        if (a == "--requests") requests = std::atoi(argv[i + 1]);
        if (a == "--flood-parallel") parallel = std::atoi(argv[i + 1]);
        if (a == "--attack-seconds") attack_seconds = std::atoi(argv[i + 1]);
    }

    print("values, new connections, quiet", new_connections(200, kValues));

    flood(pid, flood_mb, 1);
    if (parallel > 1) flood(pid, flood_mb, parallel);

    burst(500);

    Attack attack(idle, slow);
    attack.Start();
    std::printf("attack: %d idle + %d slowloris connections open\n", idle, slow);
    const long rss = status_kib(pid, "VmRSS:");
    // Long enough for the slowloris requests to meet their deadline and the
    // idle ones their time-out, and to be opened again: 20 requests a second.
    std::vector<double> values, metrics;
    int failed_values = 0, failed_metrics = 0;
    const auto end = Clock::now() + std::chrono::seconds(attack_seconds);
    while (Clock::now() < end) {
        const Stats v = new_connections(1, kValues);
        v.failed ? ++failed_values : (values.push_back(v.max), 0);
        const Stats m = new_connections(1, "GET /metrics HTTP/1.1\r\nHost: bench\r\n\r\n");
        m.failed ? ++failed_metrics : (metrics.push_back(m.max), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    print("values, new connections, under the attack", stats(values, failed_values));
    print("metrics, new connections, under the attack", stats(metrics, failed_metrics));
    std::printf(
        "attack: %d of %d connections open at the end, %ld reopened after the server closed them; "
        "daemon resident %ld KiB\n",
        attack.Open(), idle + slow, attack.Reopened(), rss);
    attack.Stop();

    const auto [kept, fresh] = keep_alive_and_new(requests, kValues);
    print("values, a new connection each", fresh);
    print("values, one keep-alive connection", kept);
    std::printf("keep-alive p99 / new-connection p99: %.2f\n",
                fresh.p99 > 0 ? kept.p99 / fresh.p99 : 0);
    return 0;
}

// How long a unit's state takes from the host's event stream to a subscriber,
// through the MQTT publisher and a mosquitto broker started here on loopback;
// and how often the publisher's network thread wakes while nothing happens.
//
//   ravo3-mqtt-delay [--devices N] [--cycles N] [--every-ms N]
//
// Every `every-ms` one device's cycle is published on the event bus (each
// device in turn, a DC unit whose state carries the cycle number); the
// subscriber notes when each state arrives. Prints the delay's p50 / p99 /
// max in ms, then the network thread's voluntary context switches a second
// over 10 idle seconds.
#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/HostTypes.h"
#include "runtime/events/Events.h"
#include "service/mqtt/MqttConfig.h"
#include "service/mqtt/MqttPublisher.h"

namespace {

using Clock = std::chrono::steady_clock;

int free_port() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
        port = ntohs(a.sin_port);
    }
    close(s);
    return port;
}

struct Arrivals {
    std::mutex mutex;
    std::map<std::uint64_t, Clock::time_point> at;  // cycle number -> arrival
    std::atomic<bool> online{false};
};

// The voluntary context switches of this process's thread named `name`.
long switches_of(const std::string& name) {
    for (const auto& t : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(t.path() / "comm");
        std::string c;
        std::getline(comm, c);
        if (c != name) continue;
        std::ifstream status(t.path() / "status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::atol(line.c_str() + 24);
        }
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    int devices = 16, cycles = 400, every_ms = 25;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i];
        const int v = std::atoi(argv[i + 1]);
        if (k == "--devices") devices = v;
        if (k == "--cycles") cycles = v;
        if (k == "--every-ms") every_ms = v;
    }
    const int port = free_port();
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("ravo3-mqtt-delay-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "broker.conf")
        << "listener " << port << " 127.0.0.1\nallow_anonymous true\nuser root\n";
    const pid_t broker = fork();
    if (broker == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        execl("/usr/sbin/mosquitto", "mosquitto", "-c", (dir / "broker.conf").c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    mosquitto_lib_init();
    Arrivals arrivals;
    mosquitto* sub = mosquitto_new("delay-watcher", true, &arrivals);
    mosquitto_connect_callback_set(sub, [](mosquitto* m, void*, int rc) {
        if (rc == 0) mosquitto_subscribe(m, nullptr, "bench/#", 0);
    });
    mosquitto_message_callback_set(sub, [](mosquitto*, void* obj, const mosquitto_message* msg) {
        auto* a = static_cast<Arrivals*>(obj);
        const auto now = Clock::now();
        const std::string topic = msg->topic;
        const std::string body(static_cast<const char*>(msg->payload),
                               static_cast<std::size_t>(msg->payloadlen));
        if (topic == "bench/status" && body == "online") a->online = true;
        const auto at = body.find("\"cycle\":");
        if (topic.find("/state") == std::string::npos || at == std::string::npos) return;
        const std::uint64_t n = std::strtoull(body.c_str() + at + 8, nullptr, 10);
        std::lock_guard<std::mutex> lock(a->mutex);
        a->at.emplace(n, now);
    });
    mosquitto_reconnect_delay_set(sub, 1, 1, false);
    for (int i = 0; i < 50 && mosquitto_connect(sub, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS;
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    mosquitto_loop_start(sub);

    smd::EventBus bus;
    smd::mqtt::MqttConfig cfg;
    cfg.host = "127.0.0.1";
    cfg.port = port;
    cfg.client_id = "bench";
    cfg.topic_prefix = "bench";
    cfg.ha_discovery = false;
    std::string error;
    auto pub = smd::MqttPublisher::Start(
        cfg, bus, [](const std::string&) {}, error);
    if (!pub) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    for (int i = 0; i < 100 && !arrivals.online; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::vector<Clock::time_point> sent(static_cast<std::size_t>(cycles) + 1);
    for (int n = 1; n <= cycles; ++n) {
        smd::HostEvent e;
        e.kind = smd::HostEvent::Kind::Cycle;
        e.device = "d" + std::to_string(n % devices);
        e.time = smd::local_time();
        e.cycle.number = static_cast<std::uint64_t>(n);
        e.line.state = smd::LineState::Answering;
        smd::UnitValues u;
        u.kind = smd::UnitKind::DC;
        u.data_id = static_cast<std::uint32_t>(1000 + n % devices);
        u.device_type = "ravo3-dc";
        smd::NamedValue v;
        v.name = "v";
        v.ok = true;
        v.value = 53.5f + static_cast<float>(n % 100) / 100;
        u.values.push_back(v);
        e.units.push_back(u);
        sent[static_cast<std::size_t>(n)] = Clock::now();
        bus.Publish(std::move(e));
        std::this_thread::sleep_for(std::chrono::milliseconds(every_ms));
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::vector<double> delays;
    {
        std::lock_guard<std::mutex> lock(arrivals.mutex);
        for (const auto& [n, at] : arrivals.at) {
            if (n == 0 || n > static_cast<std::uint64_t>(cycles)) continue;
            delays.push_back(std::chrono::duration<double, std::milli>(at - sent[n]).count());
        }
    }
    std::sort(delays.begin(), delays.end());
    const long before = switches_of("mqtt-net");
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const long after = switches_of("mqtt-net");
    if (delays.empty()) {
        std::fprintf(stderr, "no state arrived\n");
    } else {
        const auto at = [&](double q) {
            return delays[std::min(delays.size() - 1, static_cast<std::size_t>(q * delays.size()))];
        };
        std::printf(
            "states %zu of %d, delay ms p50 %.1f p99 %.1f max %.1f; network thread idle "
            "wake-ups %.1f a second\n",
            delays.size(), cycles, at(0.5), at(0.99), delays.back(),
            static_cast<double>(after - before) / 10.0);
    }
    pub.reset();
    mosquitto_loop_stop(sub, true);
    mosquitto_destroy(sub);
    kill(broker, SIGTERM);
    waitpid(broker, nullptr, 0);
    std::filesystem::remove_all(dir);
    return delays.empty() ? 1 : 0;
}

// A mosquitto broker on a loopback port and a subscriber to everything, for
// the tests that check what reaches a broker.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

namespace mqtt_fs = std::filesystem;

inline constexpr const char* kBroker = "/usr/sbin/mosquitto";
inline constexpr auto kDeadline = std::chrono::seconds(20);

inline int free_port() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close(s);
        return 0;
    }
    close(s);
    return ntohs(a.sin_port);
}

struct TempDir {
    mqtt_fs::path path;
    TempDir() {
        std::string t = (mqtt_fs::temp_directory_path() / "ravo3-mqtt-XXXXXX").string();
        path = mkdtemp(t.data());
    }
    ~TempDir() {
        std::error_code ec;
        mqtt_fs::remove_all(path, ec);
    }
};

// A mosquitto process on a loopback port, killed with its test whatever happens.
class Broker {
  public:
    Broker(const mqtt_fs::path& dir, int port, std::string extra = "")
        : dir_(dir), port_(port), extra_(std::move(extra)) {}
    ~Broker() { Stop(); }

    // Waits for the broker's own "running" line; false with its output otherwise.
    bool Start(std::string& why) {
        if (access(kBroker, X_OK) != 0) {
            why = std::string(kBroker) +
                  " is missing: install the Debian package mosquitto "
                  "(scripts/setup.sh)";
            return false;
        }
        const mqtt_fs::path conf = dir_ / "broker.conf";
        // -v: the log on standard error, unbuffered, so that "running" shows at once.
        // "user": as root the broker would otherwise switch to an account that
        // cannot write here.
        const passwd* me = getpwuid(getuid());
        std::ofstream(conf) << "listener " << port_ << " 127.0.0.1\n"
                            << "persistence true\npersistence_location " << (dir_ / "").string()
                            << "\nuser " << (me ? me->pw_name : "root") << "\n"
                            << (extra_.empty() ? "allow_anonymous true\n" : extra_);
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return false;
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            dup2(fds[1], 2);
            dup2(fds[1], 1);
            execl(kBroker, kBroker, "-v", "-c", conf.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        out_ = fds[0];
        std::string seen;
        const auto deadline = std::chrono::steady_clock::now() + kDeadline;
        while (seen.find(" running") == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{out_, POLLIN, 0};
            char buf[512];
            ssize_t n = 0;
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0 ||
                (n = read(out_, buf, sizeof buf)) <= 0) {
                why = "mosquitto did not start: " + seen;
                Stop();
                return false;
            }
            seen.append(buf, static_cast<std::size_t>(n));
        }
        // Keep reading so that the broker never blocks on a full pipe.
        drain_ = std::thread([fd = out_] {
            char buf[512];
            while (read(fd, buf, sizeof buf) > 0) {
            }
        });
        return true;
    }

    void Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        if (drain_.joinable()) drain_.join();
        if (out_ >= 0) close(out_);
        out_ = -1;
    }

  private:
    mqtt_fs::path dir_;
    int port_;
    std::string extra_;
    pid_t pid_ = -1;
    int out_ = -1;
    std::thread drain_;
};

struct Message {
    std::string topic;
    std::string payload;
    bool retain = false;
};

// A subscriber to everything, with a session that outlives broker restarts
// (the broker keeps it on disk), so that nothing sent while it reconnects is missed.
class Subscriber {
  public:
    Subscriber(int port, const std::string& id, bool persistent) {
        mosquitto_lib_init();
        m_ = mosquitto_new(id.c_str(), !persistent, this);
        mosquitto_connect_callback_set(m_, [](mosquitto* m, void*, int rc) {
            if (rc == 0) mosquitto_subscribe(m, nullptr, "#", 1);
        });
        mosquitto_subscribe_callback_set(m_, [](mosquitto*, void* obj, int, int, const int*) {
            auto* self = static_cast<Subscriber*>(obj);
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->subscribed_ = true;
            self->cv_.notify_all();
        });
        mosquitto_message_callback_set(m_, [](mosquitto*, void* obj, const mosquitto_message* msg) {
            auto* self = static_cast<Subscriber*>(obj);
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->messages_.push_back({msg->topic,
                                       std::string(static_cast<const char*>(msg->payload),
                                                   static_cast<std::size_t>(msg->payloadlen)),
                                       msg->retain});
            self->cv_.notify_all();
        });
        mosquitto_reconnect_delay_set(m_, 1, 1, false);
        mosquitto_connect_async(m_, "127.0.0.1", port, 30);
        mosquitto_loop_start(m_);
    }
    ~Subscriber() {
        // Disconnected first, the network thread ends by itself: cancelling it
        // could leave one of the library's mutexes locked when it is destroyed.
        mosquitto_disconnect(m_);
        mosquitto_loop_stop(m_, false);
        mosquitto_destroy(m_);
    }
    // Waits until `pred` holds for the messages so far.
    bool WaitFor(const std::function<bool(const std::vector<Message>&)>& pred) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, kDeadline, [&] { return pred(messages_); });
    }
    bool WaitSubscribed() {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, kDeadline, [&] { return subscribed_; });
    }
    bool WaitTopic(const std::string& topic, const std::string& payload = "") {
        return WaitFor([&](const std::vector<Message>& ms) {
            for (const Message& m : ms) {
                if (m.topic == topic && (payload.empty() || m.payload == payload)) return true;
            }
            return false;
        });
    }
    std::vector<Message> All() {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    // The newest message on `topic`.
    Message Last(const std::string& topic) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = messages_.rbegin(); it != messages_.rend(); ++it) {
            if (it->topic == topic) return *it;
        }
        return {};
    }
    // The first topic seen that starts with `head` and ends with `tail`.
    std::string Find(const std::string& head, const std::string& tail) {
        std::string found;
        WaitFor([&](const std::vector<Message>& ms) {
            for (const Message& m : ms) {
                if (m.topic.size() >= head.size() + tail.size() &&
                    m.topic.compare(0, head.size(), head) == 0 &&
                    m.topic.compare(m.topic.size() - tail.size(), tail.size(), tail) == 0) {
                    found = m.topic;
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    void Publish(const std::string& topic, const std::string& payload) {
        mosquitto_publish(m_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), 1, false);
    }
    std::vector<Message> On(const std::string& topic) {
        std::vector<Message> out;
        for (const Message& m : All()) {
            if (m.topic == topic) out.push_back(m);
        }
        return out;
    }

  private:
    mosquitto* m_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Message> messages_;
    bool subscribed_ = false;
};

inline std::size_t count(const std::vector<Message>& ms, const std::string& topic) {
    std::size_t n = 0;
    for (const Message& m : ms) n += m.topic == topic;
    return n;
}

}  // namespace testing_support

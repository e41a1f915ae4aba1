#include "tests/support/Browser.h"

#include <fcntl.h>
#include <json/reader.h>
#include <json/writer.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

namespace testing_support {

namespace {

std::string b64decode(const std::string& in) {
    static const std::string chars =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned int acc = 0;
    int bits = 0;
    for (char c : in) {
        const auto p = chars.find(c);
        if (p == std::string::npos) continue;  // padding, line breaks
        acc = (acc << 6) | static_cast<unsigned int>(p);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((acc >> bits) & 0xFF));
        }
    }
    return out;
}

std::string to_json(const Json::Value& v) {
    Json::StreamWriterBuilder w;
    w["indentation"] = "";
    w["emitUTF8"] = true;
    return Json::writeString(w, v);
}

}  // namespace

Browser::~Browser() {
    if (pid_ > 0) {
        Call("Browser.close", Json::objectValue, std::chrono::seconds(2));
        // It closes its end of the pipe as it exits.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        Json::Value ignored;
        while (ReadMessage(ignored, deadline)) {
        }
        if (::waitpid(pid_, nullptr, WNOHANG) == 0) ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (to_browser_ >= 0) ::close(to_browser_);
    if (from_browser_ >= 0) ::close(from_browser_);
    if (!profile_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(profile_, ec);
    }
}

bool Browser::Start(const std::string& log_path) {
    const char* env = std::getenv("RAVO3_CHROMIUM");
    const std::string exe = env && *env ? env : "/usr/bin/chromium";
    if (::access(exe.c_str(), X_OK) != 0) {
        error_ = exe + " is not installed";
        return false;
    }
    char tmpl[] = "/tmp/ravo3-chromium-XXXXXX";
    if (!::mkdtemp(tmpl)) {
        error_ = "no temporary profile directory";
        return false;
    }
    profile_ = tmpl;
    int in[2], out[2];  // in: we write, the browser reads fd 3; out: it writes fd 4
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        error_ = "no pipe";
        return false;
    }
    std::vector<std::string> args = {exe,
                                     "--headless",
                                     "--no-sandbox",
                                     "--disable-gpu",
                                     "--disable-quic",
                                     "--no-first-run",
                                     "--disable-background-networking",
                                     "--disable-component-update",
                                     "--disable-sync",
                                     "--hide-scrollbars",
                                     "--remote-debugging-pipe",
                                     "--user-data-dir=" + profile_,
                                     "about:blank"};
    pid_ = ::fork();
    if (pid_ < 0) {
        error_ = "fork failed";
        return false;
    }
    if (pid_ == 0) {
        // Move the ends out of the way of 3 and 4 before placing them there.
        const int r = ::fcntl(in[0], F_DUPFD, 10), w = ::fcntl(out[1], F_DUPFD, 10);
        ::dup2(r, 3);
        ::dup2(w, 4);
        const int log = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (log >= 0) {
            ::dup2(log, 1);
            ::dup2(log, 2);
        }
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(exe.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    to_browser_ = in[1];
    from_browser_ = out[0];
    ::signal(SIGPIPE, SIG_IGN);

    Json::Value create;
    create["url"] = "about:blank";
    const Json::Value target = Call("Target.createTarget", create, std::chrono::seconds(30));
    if (!target.isMember("targetId")) {
        if (error_.empty()) error_ = "no page";
        error_ = "chromium did not start (" + error_ + "); its output is in " + log_path;
        return false;
    }
    Json::Value attach;
    attach["targetId"] = target["targetId"];
    attach["flatten"] = true;
    session_ = Call("Target.attachToTarget", attach)["sessionId"].asString();
    if (session_.empty()) return false;
    Call("Page.enable", Json::objectValue);
    Call("Runtime.enable", Json::objectValue);
    return true;
}

bool Browser::ReadMessage(Json::Value& out, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto nul = buffer_.find('\0');
        if (nul != std::string::npos) {
            const std::string text = buffer_.substr(0, nul);
            buffer_.erase(0, nul + 1);
            Json::CharReaderBuilder b;
            std::unique_ptr<Json::CharReader> r(b.newCharReader());
            std::string err;
            if (!r->parse(text.data(), text.data() + text.size(), &out, &err)) {
                error_ = "unreadable message from the browser: " + err;
                return false;
            }
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            error_ = "the browser did not answer in time";
            return false;
        }
        pollfd p{from_browser_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char chunk[65536];
        const ssize_t n = ::read(from_browser_, chunk, sizeof chunk);
        if (n <= 0) {
            error_ = "the browser closed its pipe";
            return false;
        }
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

Json::Value Browser::Call(const std::string& method, const Json::Value& params,
                          std::chrono::milliseconds timeout) {
    Json::Value msg;
    const int id = next_id_++;
    msg["id"] = id;
    msg["method"] = method;
    msg["params"] = params;
    if (!session_.empty() && method.rfind("Target.", 0) != 0 && method.rfind("Browser.", 0) != 0) {
        msg["sessionId"] = session_;
    }
    std::string text = to_json(msg);
    text.push_back('\0');
    for (std::size_t off = 0; off < text.size();) {
        const ssize_t n = ::write(to_browser_, text.data() + off, text.size() - off);
        if (n <= 0) {
            error_ = "cannot write to the browser";
            return Json::nullValue;
        }
        off += static_cast<std::size_t>(n);
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    Json::Value in;
    while (ReadMessage(in, deadline)) {
        if (in.get("method", "").asString() == "Page.loadEventFired") loaded_ = true;
        if (!in.isMember("id") || in["id"].asInt() != id) continue;
        if (in.isMember("error")) {
            error_ = method + ": " + in["error"].get("message", "").asString();
            return Json::nullValue;
        }
        return in["result"];
    }
    return Json::nullValue;
}

bool Browser::Viewport(int width, int height, bool mobile) {
    Json::Value p;
    p["width"] = width;
    p["height"] = height;
    p["deviceScaleFactor"] = 1;
    p["mobile"] = mobile;
    return !Call("Emulation.setDeviceMetricsOverride", p).isNull();
}

bool Browser::Navigate(const std::string& url) {
    loaded_ = false;
    Json::Value p;
    p["url"] = url;
    const Json::Value r = Call("Page.navigate", p);
    if (r.isNull() || r.isMember("errorText")) {
        if (r.isMember("errorText")) error_ = r["errorText"].asString();
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    Json::Value in;
    while (!loaded_ && ReadMessage(in, deadline)) {
        if (in.get("method", "").asString() == "Page.loadEventFired") loaded_ = true;
    }
    return loaded_;
}

bool Browser::Reload() {
    loaded_ = false;
    const Json::Value r = Call("Page.reload", Json::Value(Json::objectValue));
    if (r.isNull()) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    Json::Value in;
    while (!loaded_ && ReadMessage(in, deadline)) {
        if (in.get("method", "").asString() == "Page.loadEventFired") loaded_ = true;
    }
    return loaded_;
}

Json::Value Browser::Eval(const std::string& expression) {
    Json::Value p;
    p["expression"] = expression;
    p["awaitPromise"] = true;
    p["returnByValue"] = true;
    const Json::Value r = Call("Runtime.evaluate", p, std::chrono::seconds(60));
    if (r.isMember("exceptionDetails")) {
        const auto& d = r["exceptionDetails"];
        error_ = d.isMember("exception") ? d["exception"].get("description", "").asString()
                                         : d.get("text", "").asString();
        return Json::nullValue;
    }
    return r["result"].get("value", Json::nullValue);
}

bool Browser::WaitFor(const std::string& expression, std::chrono::milliseconds timeout) {
    // The page checks after each change of its DOM, and gives up at the deadline.
    const std::string js =
        "new Promise((resolve) => {"
        "  const check = () => { try { return !!(" +
        expression +
        "); } catch (e) { return false; } };"
        "  if (check()) return resolve(true);"
        "  const obs = new MutationObserver(() => { if (check()) { obs.disconnect(); "
        "resolve(true); } });"
        "  obs.observe(document, {subtree: true, childList: true, characterData: true, "
        "attributes: true});"
        "  setTimeout(() => { obs.disconnect(); resolve(check()); }, " +
        std::to_string(timeout.count()) + ");})";
    const Json::Value v = Eval(js);
    return v.isBool() && v.asBool();
}

bool Browser::Screenshot(const std::string& path) {
    const Json::Value m = Call("Page.getLayoutMetrics", Json::objectValue);
    Json::Value p;
    p["format"] = "png";
    p["captureBeyondViewport"] = true;
    if (m.isMember("cssContentSize")) {
        p["clip"]["x"] = 0;
        p["clip"]["y"] = 0;
        p["clip"]["width"] = m["cssContentSize"]["width"];
        p["clip"]["height"] = m["cssContentSize"]["height"];
        p["clip"]["scale"] = 1;
    }
    const Json::Value r = Call("Page.captureScreenshot", p, std::chrono::seconds(30));
    if (!r.isMember("data")) return false;
    std::ofstream(path, std::ios::binary) << b64decode(r["data"].asString());
    return true;
}

}  // namespace testing_support

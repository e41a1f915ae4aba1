// Headless Chromium driven through the DevTools protocol on a pipe: load a
// page, evaluate script in it, wait for a condition in the page, take
// screenshots. For tests of the dashboard in a real browser.
#pragma once

#include <json/value.h>
#include <sys/types.h>

#include <chrono>
#include <string>

namespace testing_support {

class Browser {
  public:
    Browser() = default;
    ~Browser();
    Browser(const Browser&) = delete;
    Browser& operator=(const Browser&) = delete;

    // Starts /usr/bin/chromium (or $RAVO3_CHROMIUM) with a fresh profile and
    // opens one page. False, with Error(), when the browser cannot start.
    bool Start(const std::string& log_path);
    const std::string& Error() const { return error_; }
    // The viewport in CSS pixels; `mobile` emulates a phone.
    bool Viewport(int width, int height, bool mobile);
    // Navigates and waits for the load event.
    bool Navigate(const std::string& url);
    // Reloads the page and waits for the load event.
    bool Reload();
    // The value of a JavaScript expression (promises are awaited); null on an
    // exception, with Error() telling it.
    Json::Value Eval(const std::string& expression);
    // Waits until the expression is truthy in the page, up to `timeout`; the
    // page re-checks it after every change of its DOM.
    bool WaitFor(const std::string& expression, std::chrono::milliseconds timeout);
    // A PNG of the page (its full height) written to `path`.
    bool Screenshot(const std::string& path);

  private:
    Json::Value Call(const std::string& method, const Json::Value& params,
                     std::chrono::milliseconds timeout = std::chrono::seconds(20));
    bool ReadMessage(Json::Value& out, std::chrono::steady_clock::time_point deadline);

    pid_t pid_ = -1;
    int to_browser_ = -1;
    int from_browser_ = -1;
    std::string profile_;
    std::string session_;
    std::string buffer_;
    std::string error_;
    int next_id_ = 1;
    bool loaded_ = false;
};

}  // namespace testing_support

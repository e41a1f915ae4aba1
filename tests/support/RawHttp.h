// A client connection on loopback that sends bytes exactly as given: for
// requests no HTTP library would send (hostile headers, half requests).
#pragma once

#include <string>

namespace testing_support {

class RawHttp {
  public:
    // `source`: the local address to connect from (127.0.0.2, ...: another client).
    explicit RawHttp(int port, const char* source = nullptr);
    ~RawHttp();
    RawHttp(const RawHttp&) = delete;
    RawHttp& operator=(const RawHttp&) = delete;

    bool Connected() const { return fd_ >= 0; }
    // Sends all of it, also while the server already answers; false when the
    // server has gone.
    bool Send(const std::string& bytes);
    // One whole answer (head and Content-Length body; only the head for an
    // answer to HEAD); empty when the server closed or `timeout_ms` passed first.
    std::string Answer(int timeout_ms = 10000, bool head_only = false);
    // True when the server closes the connection within `timeout_ms`.
    bool ClosedByServer(int timeout_ms = 10000);

  private:
    bool Fill(int timeout_ms);  // reads more into buffer_; false on close or time-out
    int fd_ = -1;
    bool eof_ = false;
    std::string buffer_;
};

// The status code of an answer; 0 when there is none.
int status_of(const std::string& answer);
std::string body_of(const std::string& answer);

}  // namespace testing_support

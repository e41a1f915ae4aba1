// The plug-in writes diagnostic lines to standard output. The runner keeps
// its own view on a private copy of the terminal's descriptor and turns the
// process's standard output into a pipe: every line the plug-in prints is
// collected (the last few are shown in a panel under the view) and, when a
// file is given, appended there. So neither garbles the other.
#pragma once

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace monitor {

class OutputRouting {
  public:
    OutputRouting() = default;
    ~OutputRouting();
    OutputRouting(const OutputRouting&) = delete;
    OutputRouting& operator=(const OutputRouting&) = delete;

    // False (and nothing changed) when the descriptors cannot be set up.
    bool Start(const std::string& log_path, std::size_t keep_lines);
    // Restores standard output; collected lines stay readable.
    void Stop();
    // Writes to the real standard output, whatever fd 1 now is. False when
    // it cannot be written (the reader went away).
    bool WriteView(const std::string& text);
    int ViewFd() const { return view_fd_ >= 0 ? view_fd_ : 1; }
    bool ViewIsTerminal() const;
    std::vector<std::string> LastLines() const;
    std::size_t LinesSeen() const { return lines_seen_.load(); }

  private:
    void Pump();

    int view_fd_ = -1;
    int pipe_read_ = -1;
    int log_fd_ = -1;
    std::size_t keep_ = 5;
    std::thread pump_;
    mutable std::mutex mutex_;
    std::deque<std::string> last_;
    std::string partial_;
    std::atomic<std::size_t> lines_seen_{0};
};

}  // namespace monitor

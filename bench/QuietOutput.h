// The decoders write a line per answer to standard output. In a benchmark
// those lines go nowhere (standard output is /dev/null, std::cout discards),
// while the report goes to the original standard output.
#pragma once

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <ext/stdio_filebuf.h>
#include <iostream>
#include <streambuf>

namespace quiet_output {

// Takes characters and drops them, a buffer at a time.
class DiscardBuf : public std::streambuf {
  public:
    DiscardBuf() { setp(buf_, buf_ + sizeof buf_); }

  protected:
    int overflow(int c) override {
        setp(buf_, buf_ + sizeof buf_);
        return c == EOF ? 0 : c;
    }

  private:
    char buf_[256];
};

// Runs the registered benchmarks with the report on the original standard output.
inline int RunBenchmarks(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    std::fflush(stdout);
    std::cout.flush();
    const int report_fd = dup(STDOUT_FILENO);
    const int null_fd = open("/dev/null", O_WRONLY);
    if (report_fd < 0 || null_fd < 0) return 1;
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);
    static DiscardBuf discard;
    std::streambuf* const was = std::cout.rdbuf(&discard);
    __gnu_cxx::stdio_filebuf<char> report_buf(report_fd, std::ios::out);
    std::ostream report(&report_buf);
    benchmark::ConsoleReporter reporter;
    reporter.SetOutputStream(&report);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    report.flush();
    std::cout.rdbuf(was);
    return 0;
}

}  // namespace quiet_output

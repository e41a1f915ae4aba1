// ravo3-sim: a simulated RAV-O3 monitoring unit on a pseudo-terminal or a
// serial port. The first line on standard output is the path of the line to
// open; everything else goes to standard error.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <string>

#include "ravo3/Version.h"
#include "runtime/line/SerialPort.h"
#include "sim/Scenario.h"
#include "sim/Server.h"

namespace {

const char kUsage[] =
    "Usage: ravo3-sim [OPTION]...\n"
    "Simulate a RAV-O3 monitoring unit answering YD/T 1363.3 commands.\n"
    "\n"
    "Without --port it creates a pseudo-terminal and prints its path as the first\n"
    "line on standard output; open that path as the serial port. It runs until\n"
    "interrupted (Ctrl-C or SIGTERM).\n"
    "\n"
    "  --scenario FILE  JSON scenario: blocks, values, events, faults\n"
    "                   (default: one AC unit with one channel, three rectifier\n"
    "                   modules, one DC unit)\n"
    "  --port PATH      answer on this serial port instead of a pseudo-terminal\n"
    "  --baud N         line speed for --port and --pace (default 9600)\n"
    "  --pace           pace both directions at the line rate, 10 bit times per\n"
    "                   byte (8N1): answers go out byte by byte, a command counts\n"
    "                   as received once it would have crossed the line\n"
    "  --seed N         seed of the fault injection (overrides the scenario's)\n"
    "  --model TEXT     model answer, at most 20 bytes (default \"RAV-O3\")\n"
    "  --units N        N units on the line, at the scenario's address and the\n"
    "                   N-1 after it (1 to 32; default 1)\n"
    "  --replay FILE    answer each command with the answer recorded for it in a\n"
    "                   capture (ravo3d or ravo3-monitor --capture) instead of a scenario\n"
    "  --quiet          no log of commands and events on standard error\n"
    "  --version        show the version and exit\n"
    "  --help           show this help and exit\n"
    "\n"
    "Exit status: 0 when stopped by a signal, 1 on a runtime error (scenario,\n"
    "port, line lost), 2 on a usage error.\n";

int usage_error(const std::string& message) {
    std::cerr << "ravo3-sim: " << message << "\nTry 'ravo3-sim --help' for more information.\n";
    return 2;
}

bool parse_number(const std::string& text, unsigned long long max, unsigned long long& out) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    char* end = nullptr;
    out = std::strtoull(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && out <= max;
}

}  // namespace

int main(int argc, char** argv) {
    std::string scenario_path, port, model, replay;
    unsigned long long units = 1;
    bool have_model = false, have_seed = false, pace = false, quiet = false;
    unsigned long long baud = 9600, seed = 0;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool inline_value = false;
        const auto eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            inline_value = true;
        }
        const auto take = [&](std::string& out) {
            if (inline_value) {
                out = value;
                return true;
            }
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        const bool takes_value = arg == "--scenario" || arg == "--port" || arg == "--baud" ||
                                 arg == "--seed" || arg == "--model" || arg == "--units" ||
                                 arg == "--replay";
        if (!takes_value && inline_value) return usage_error("option '" + arg + "' takes no value");
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (arg == "--version") {
            std::cout << "ravo3-sim " RAVO3_VERSION "\n";
            return 0;
        } else if (arg == "--pace") {
            pace = true;
        } else if (arg == "--quiet") {
            quiet = true;
        } else if (takes_value) {
            std::string v;
            if (!take(v)) return usage_error("option '" + arg + "' needs a value");
            if (arg == "--scenario") {
                scenario_path = v;
            } else if (arg == "--units") {
                if (!parse_number(v, 32, units) || units == 0) {
                    return usage_error("--units needs a count from 1 to 32");
                }
            } else if (arg == "--replay") {
                if (v.empty()) return usage_error("--replay needs a capture file");
                replay = v;
            } else if (arg == "--port") {
                if (v.empty()) return usage_error("--port needs a path");
                port = v;
            } else if (arg == "--baud") {
                if (!parse_number(v, 4000000, baud) ||
                    !smd::SerialPort::SupportedBaud(static_cast<int>(baud))) {
                    return usage_error("unsupported line speed '" + v + "'");
                }
            } else if (arg == "--seed") {
                if (!parse_number(v, 0xFFFFFFFFULL, seed))
                    return usage_error("--seed needs an integer 0..4294967295");
                have_seed = true;
            } else {
                model = v;
                have_model = true;
            }
        } else {
            return usage_error("unknown argument '" + std::string(argv[i]) + "'");
        }
    }

    sim::Scenario scenario;
    try {
        scenario =
            scenario_path.empty() ? sim::DefaultScenario() : sim::LoadScenarioFile(scenario_path);
        if (have_model) sim::SetModel(scenario, model, "--model");
    } catch (const sim::ScenarioError& e) {
        if (e.key() == "--model") return usage_error(e.problem());
        std::cerr << "ravo3-sim: " << e.what() << "\n";
        return 1;
    }
    if (have_seed) scenario.faults.seed = static_cast<std::uint32_t>(seed);

    // The signals are taken by sigtimedwait below; the server thread inherits the mask.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    sim::ServerOptions options;
    options.pace = pace;
    options.baud = static_cast<int>(baud);
    if (!quiet)
        options.log = [](const std::string& line) { std::cerr << "ravo3-sim: " << line << "\n"; };
    if (!replay.empty()) {
        std::string error;
        if (!sim::LoadExchanges(replay, options.replay, error)) {
            std::cerr << "ravo3-sim: " << error << "\n";
            return 1;
        }
        if (options.replay.empty()) {
            std::cerr << "ravo3-sim: " << replay << ": no command in the capture\n";
            return 1;
        }
    }
    if (scenario.address + units - 1 > 254) return usage_error("--units: addresses past 254");
    std::vector<sim::Scenario> on_line;
    for (unsigned long long u = 0; u < units; ++u) {
        on_line.push_back(scenario);
        on_line.back().address = static_cast<std::uint8_t>(scenario.address + u);
    }
    sim::Server server(std::move(on_line), options);
    const bool started = port.empty() ? server.Start() : server.StartOnPort(port);
    if (!started) {
        std::cerr << "ravo3-sim: " << server.Error() << "\n";
        return 1;
    }
    std::cout << server.Path() << std::endl;

    int rc = 0;
    for (;;) {
        const timespec wait{0, 200 * 1000 * 1000};
        const int sig = sigtimedwait(&stop_signals, nullptr, &wait);
        if (sig > 0) break;
        if (!server.Running()) {
            std::cerr << "ravo3-sim: " << server.Error() << "\n";
            rc = 1;
            break;
        }
    }
    server.Stop();
    if (!quiet) {
        const sim::ServerStats st = server.Stats();
        std::cerr << "ravo3-sim: " << st.cycle << " cycles, " << st.counters.commands
                  << " commands, " << st.sent << " answers sent (" << st.counters.rtn_errors
                  << " with an error code), " << st.counters.faults << " faults injected\n";
    }
    return rc;
}

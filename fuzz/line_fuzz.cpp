// The line as the bus device's thread sees it: the simulated unit answers
// every command, and the input decides how its bytes arrive: in which chunks,
// after which silences, damaged, dropped, twice, mixed with noise, or cut off
// by a port that vanishes. Between chunks the device is polled as the line
// thread polls it. Time moves only through the clock seams.
//
// First byte: the site (AC units, DC units, rectifier modules, whether the
// unit's data flags always ask for states). Then one operation per byte, low
// three bits the kind, the rest its argument.
#include <cstdint>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "fuzz/SimLine.h"

namespace {

using fuzz_support::Bus;
using fuzz_support::Clocks;
using fuzz_support::SimLine;

// Silences worth trying: around the hold-off, the answer time-out at 9600
// baud (2086 ms for a short command) and the data's freshness limit.
constexpr std::int64_t kSilenceMs[] = {1,    5,    20,   50,   200,  500,  999,   1000,
                                       1500, 2000, 2085, 2086, 2087, 3000, 10000, 61000};

sim::Scenario scenario_for(std::uint8_t shape, unsigned& ac, unsigned& dc) {
    sim::Scenario s = sim::DefaultScenario();
    ac = (shape & 3) % 3;
    dc = ((shape >> 2) & 7) % 5;
    s.ac_units.resize(ac);
    for (auto& u : s.ac_units) u.channels.resize(1);
    s.dc_units.resize(dc);
    s.modules.resize((shape >> 5) & 3);
    if (shape & 0x80) {
        // States asked for in every cycle, not only when the flags say they changed.
        for (sim::DataFlag* f : {&s.ac_flag, &s.rc_flag, &s.dc_flag})
            *f = sim::DataFlag{false, 0x11};
    }
    return s;
}

// The unit's states change between answers: alarms come and go, modules and
// channels are added and removed.
void change_state(sim::Scenario& s, unsigned what) {
    sim::AcUnit* ac = s.ac_units.empty() ? nullptr : &s.ac_units[0];
    sim::DcUnit* dc = s.dc_units.empty() ? nullptr : &s.dc_units[0];
    sim::Module* m = s.modules.empty() ? nullptr : &s.modules[0];
    switch (what) {
        case 0:
            if (ac && !ac->channels.empty()) ac->channels[0].states[0] ^= 1;
            break;
        case 1:
            if (ac) ac->current_alarms[1] ^= 2;
            break;
        case 2:
            if (ac) ac->breakers.push_back(1);
            break;
        case 3:
            if (dc) dc->v_state = static_cast<std::uint8_t>((dc->v_state + 1) % 3);
            break;
        case 4:
            if (dc) dc->fuses[0] ^= 3;
            break;
        case 5:
            if (dc) dc->user_alarms[0] ^= 1;
            break;
        case 6:
            if (m) m->fault ^= 1;
            break;
        case 7:
            if (m) m->alarm_user[1] ^= 1;
            break;
        case 8:
            if (m) m->status[0] ^= 1;
            break;
        case 9:
            if (s.modules.size() < 8) s.modules.push_back(s.module_template);
            break;
        case 10:
            if (!s.modules.empty()) s.modules.pop_back();
            break;
        case 11:
            if (ac) ac->channels.resize(ac->channels.size() == 1 ? 2 : 1);
            break;
        case 12:
            if (ac && !ac->channels.empty()) ac->channels[0].alarm_user[0] ^= 1;
            break;
        case 13:
            if (m) m->status_user ^= 1;
            break;
        case 14:
            if (ac) ac->ia.available = !ac->ia.available;
            break;
        default:
            if (ac) ac->breakers.clear();
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_support::silence_stdout();
    if (size < 1) return 0;
    Clocks& clocks = Clocks::Install();
    fuzz_support::Checked checked;
    unsigned ac = 0, dc = 0;
    sim::Scenario scenario = scenario_for(data[0], ac, dc);
    Bus bus(checked.controller, fuzz_support::bus_settings(ac, dc));
    bus.device->baud_rate = 9600;
    SimLine line(std::move(scenario), bus.port);
    Ravo3& dev = *bus.device;

    auto poll = [&] {
        dev.RefreshStatus();
        fuzz_support::check_step(dev);
    };
    auto receive = [&](std::vector<unsigned char> bytes) {
        if (bytes.empty()) return;
        // About a millisecond a byte at 9600 baud.
        clocks.Advance(static_cast<std::int64_t>(bytes.size()));
        dev.process(bytes.data(), static_cast<unsigned>(bytes.size()));
        fuzz_support::check_step(dev);
        poll();  // the line thread polls after every chunk
    };
    auto reopen = [&] {
        dev.ClosePort();
        line.pending.clear();  // what was on its way is gone with the port
        clocks.Advance(500);
        dev.OpenPort();
    };

    poll();
    for (std::size_t at = 1; at < size; ++at) {
        const std::uint8_t op = data[at];
        const unsigned arg = op >> 3;
        std::vector<unsigned char>& p = line.pending;
        switch (op & 7) {
            case 0: {  // a chunk of what the unit sent; 0: all of it
                const std::size_t n =
                    arg == 0 ? p.size() : std::min<std::size_t>(arg * 3, p.size());
                std::vector<unsigned char> chunk(p.begin(), p.begin() + static_cast<long>(n));
                p.erase(p.begin(), p.begin() + static_cast<long>(n));
                receive(std::move(chunk));
                break;
            }
            case 1: {  // noise from the input itself
                const std::size_t n = std::min<std::size_t>(arg + 1, size - at - 1);
                receive(std::vector<unsigned char>(data + at + 1, data + at + 1 + n));
                at += n;
                break;
            }
            case 2:  // silence
                clocks.Advance(kSilenceMs[arg % 16]);
                poll();
                break;
            case 3:  // one byte damaged, or the unit's state changed
                if (arg >= 16) {
                    change_state(line.Responder().device().MutableState(), arg - 16);
                } else if (!p.empty()) {
                    p[(arg * 7) % p.size()] ^= static_cast<unsigned char>(1 + arg);
                }
                break;
            case 4:  // lost on the way: all, or the first bytes
                p.erase(p.begin(), p.begin() + static_cast<long>(arg == 0 ? p.size()
                                                                          : std::min<std::size_t>(
                                                                                arg, p.size())));
                break;
            case 5:  // the unit sends it twice (within what a line holds)
                if (p.size() <= 4096) p.insert(p.end(), p.begin(), p.end());
                break;
            case 6:  // the port vanishes and comes back
                reopen();
                poll();
                break;
            case 7:  // a write fails, as on a port pulled out
                bus.port->fail_writes = true;
                poll();
                bus.port->fail_writes = false;
                if (!bus.port->IsOpen()) reopen();
                break;
        }
        line.Pump(clocks.Steady() - 1000000);
    }
    fuzz_support::query_all(bus);
    return 0;
}

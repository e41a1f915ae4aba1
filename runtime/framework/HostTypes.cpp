#include "host/HostTypes.h"

#include <unistd.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <chrono>
#include <mutex>

ttime_t get_ttime(boost::posix_time::ptime t) {
    ttime_t out{};
    if (t.is_special()) return out;
    const auto d = t.date();
    const auto tod = t.time_of_day();
    const unsigned year = static_cast<unsigned>(d.year());
    out[0] = static_cast<unsigned char>(year & 0xFF);
    out[1] = static_cast<unsigned char>((year >> 8) & 0xFF);
    out[2] = static_cast<unsigned char>(d.month().as_number());
    out[3] = static_cast<unsigned char>(d.day().as_number());
    out[4] = static_cast<unsigned char>(tod.hours());
    out[5] = static_cast<unsigned char>(tod.minutes());
    out[6] = static_cast<unsigned char>(tod.seconds());
    return out;
}

namespace smd {
namespace {

struct Seams {
    std::mutex mutex;
    LocalClockFn local;
    PauseFn pause;
    SteadyClockFn steady;
};

Seams& seams() {
    static Seams s;
    return s;
}

thread_local std::unique_lock<std::recursive_mutex>* t_pause_unlock = nullptr;

}  // namespace

PauseUnlock::PauseUnlock(std::unique_lock<std::recursive_mutex>& lock) {
    t_pause_unlock = &lock;
}

PauseUnlock::~PauseUnlock() {
    t_pause_unlock = nullptr;
}

boost::posix_time::ptime local_time() {
    LocalClockFn fn;
    {
        std::lock_guard<std::mutex> lock(seams().mutex);
        fn = seams().local;
    }
    if (fn) return fn();
    return boost::posix_time::second_clock::local_time();
}

void set_local_clock(LocalClockFn fn) {
    std::lock_guard<std::mutex> lock(seams().mutex);
    seams().local = std::move(fn);
}

void pause_micros(unsigned int micros) {
    PauseFn fn;
    {
        std::lock_guard<std::mutex> lock(seams().mutex);
        fn = seams().pause;
    }
    std::unique_lock<std::recursive_mutex>* held = t_pause_unlock;
    const bool release = held && held->owns_lock();
    if (release) held->unlock();
    if (fn) {
        fn(micros);
    } else {
        ::usleep(micros);
    }
    if (release) held->lock();
}

void set_pause(PauseFn fn) {
    std::lock_guard<std::mutex> lock(seams().mutex);
    seams().pause = std::move(fn);
}

std::int64_t steady_millis() {
    SteadyClockFn fn;
    {
        std::lock_guard<std::mutex> lock(seams().mutex);
        fn = seams().steady;
    }
    if (fn) return fn();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void set_steady_clock(SteadyClockFn fn) {
    std::lock_guard<std::mutex> lock(seams().mutex);
    seams().steady = std::move(fn);
}

}  // namespace smd

// The wait meter declared in wait_meter.hpp.
#include "wait_meter.hpp"

#include <sys/resource.h>
#include <time.h>

namespace quillkit::cargohold::walk {

namespace {

int64_t nanoseconds(clockid_t clock) noexcept {
    timespec time{};
    clock_gettime(clock, &time);
    return static_cast<int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

}  // namespace

WaitMeter::Sample WaitMeter::now() noexcept {
    Sample sample;
    sample.wall_ns = nanoseconds(CLOCK_MONOTONIC);
    sample.cpu_ns = nanoseconds(CLOCK_THREAD_CPUTIME_ID);
    rusage usage{};
    if (getrusage(RUSAGE_THREAD, &usage) == 0) sample.voluntary_switches = usage.ru_nvcsw;
    return sample;
}

void WaitMeter::restart() noexcept {
    reads_ = 0;
    if (!always_waiting_) start_ = now();
}

WaitMeter::Verdict WaitMeter::end_window() noexcept {
    reads_ = 0;
    if (always_waiting_) return Verdict::waiting;
    const Sample end = now();
    const int64_t wall = end.wall_ns - start_.wall_ns;
    const int64_t off_processor = wall - (end.cpu_ns - start_.cpu_ns);
    const long blocked = end.voluntary_switches - start_.voluntary_switches;
    start_ = end;
    // Waiting: off the processor for most of the window, and because reads blocked (a thread
    // that only waits for a busy processor gives it up involuntarily; more threads would not
    // help it).
    const bool waiting = off_processor * 2 >= wall && blocked * 4 >= static_cast<long>(kWindow);
    return waiting ? Verdict::waiting : Verdict::running;
}

}  // namespace quillkit::cargohold::walk

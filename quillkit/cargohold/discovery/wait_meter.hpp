// How one thread of the walk spends its directory reads: running, or waiting on the system (a
// cold cache, a slow or distant disk). The walk starts more helpers while its threads wait, since
// then more reads in flight finish sooner, and none while they run, since then they would only
// take the cores from one another and from the caller's thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillkit::cargohold::walk {

class WaitMeter {
public:
    enum class Verdict { none, running, waiting };

    // Reads judged together: enough that one slow read does not decide, few enough that the walk
    // reacts within a few milliseconds of cold reads. The clocks are read once per window.
    static constexpr uint32_t kWindow = 16;

    // `always_waiting`: every read is a window judged waiting (for testing the helpers that join,
    // as many as may).
    explicit WaitMeter(bool always_waiting)
        : always_waiting_(always_waiting), window_(always_waiting ? 1 : kWindow) {}

    // Begins a window afresh: before the thread's first read, and after it did something else
    // than reading (waited for a task, or returned to the interpreter), which must not count as
    // waiting on reads.
    void restart() noexcept;

    // The verdict on the window that this read completes; `none` within a window.
    Verdict count_read() noexcept {
        if (++reads_ < window_) return Verdict::none;
        return end_window();
    }

private:
    struct Sample {
        int64_t wall_ns = 0;
        int64_t cpu_ns = 0;
        long voluntary_switches = 0;  // the thread gave up the processor: a read (or a lock) blocked
    };
    static Sample now() noexcept;
    Verdict end_window() noexcept;

    const bool always_waiting_;
    const uint32_t window_;
    uint32_t reads_ = 0;
    Sample start_;
};

}  // namespace quillkit::cargohold::walk

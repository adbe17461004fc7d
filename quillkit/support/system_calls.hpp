// System calls made as the interpreter's own I/O makes them: with the GIL released, and after
// a signal interrupts one, the signal handlers run and the call is made again (PEP 475).
#pragma once

#include "python_operations.hpp"

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace quillkit {

// The result of one system call and the errno it left.
struct Outcome {
    long result;
    int error;
    bool failed() const { return result < 0; }
};

// What to do when a signal handler raises between two attempts of a call.
enum class OnSignal {
    stop,   // end the work with the handler's exception (thrown from run)
    defer,  // finish the work first (a save that has begun to overwrite), then raise_deferred
};

// Runs system calls with the GIL released, retrying those a signal interrupted.
class SystemCalls {
public:
    template <class Syscall> Outcome run(Syscall&& syscall) {
        for (;;) {
            const Outcome outcome = without_gil([&]() noexcept {
                errno = 0;
                const long result = static_cast<long>(syscall());
                return Outcome{result, result < 0 ? errno : 0};
            });
            if (!outcome.failed() || outcome.error != EINTR) return outcome;
            run_signal_handlers();
        }
    }

    // close() is not retried after EINTR: the descriptor is gone either way (PEP 475).
    int close(int fd) {
        const Outcome outcome = run_once([fd] { return ::close(fd); });
        if (outcome.failed() && outcome.error == EINTR) {
            run_signal_handlers();
            return 0;
        }
        return outcome.failed() ? outcome.error : 0;
    }

    void set_on_signal(OnSignal mode) { on_signal_ = mode; }

    // Runs the handlers of the signals that arrived; what one raises is thrown or deferred, as
    // set_on_signal says.
    void run_signal_handlers() {
        if (PyErr_CheckSignals() == 0) return;
        if (on_signal_ == OnSignal::stop) throw nb::python_error();
        PyObject* raised = PyErr_GetRaisedException();
        if (deferred_) {
            Py_DECREF(raised);  // the first one is reported
        } else {
            deferred_ = raised;
        }
    }

    // Raises what a handler raised while the save could not stop.
    void raise_deferred() {
        if (deferred_) {
            PyErr_SetRaisedException(deferred_);
            deferred_ = nullptr;
            throw nb::python_error();
        }
    }

    ~SystemCalls() {
        if (deferred_ && may_release()) Py_DECREF(deferred_);  // else a thread being ended leaves it
    }

private:
    template <class Syscall> Outcome run_once(Syscall&& syscall) {
        return without_gil([&]() noexcept {
            const long result = static_cast<long>(syscall());
            return Outcome{result, result < 0 ? errno : 0};
        });
    }

    OnSignal on_signal_ = OnSignal::stop;
    PyObject* deferred_ = nullptr;
};

// An open descriptor, closed when it goes out of scope unless closed before through the
// retrying close or taken (an exception leaves no descriptor behind). Going out of scope calls
// no Python code, so code without the GIL (the walk) holds its descriptors in these too.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    // Closes it now; 0 or the errno of the close.
    int close(SystemCalls& calls) {
        const int fd = fd_;
        fd_ = -1;
        return calls.close(fd);
    }
    // The descriptor, now the caller's to close.
    int take() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

}  // namespace quillkit

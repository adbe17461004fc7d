// The reference types everything here holds objects in: nanobind's, under the usual `nb::`
// names, except that a reference (or a Python error) still held by a thread that is being ended
// is left as it is instead of being released.
//
// CPython 3.12 and 3.13 end a thread that asks for the GIL back once the interpreter has begun to
// finalize with pthread_exit, which unwinds the thread's stack as a C++ forced unwind
// (abi::__forced_unwind; 3.14 leaves such a thread waiting instead). The destructors on the way
// run on a thread that holds no thread state: releasing a reference there would change a count
// without the GIL, and a deallocation without a thread state crashes. The interpreter's own C
// frames leak what they hold on the same unwind; so do ours, and only then. No handler may catch
// that unwind either (python_operations.hpp, at_boundary).
#pragma once

#include <nanobind/nanobind.h>

#include <new>
#include <utility>

namespace quillkit {

// True when this thread holds the interpreter: it has a thread state, and with it the GIL. False
// inside without_gil, and on a thread being ended (see above): no Python object may be touched.
inline bool holds_interpreter() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    return _PyThreadState_UncheckedGet() != nullptr;
#endif
}

// True when this thread may release references (and errors): false on a thread being ended.
// Threads are ended so only once the interpreter has begun to finalize, which it then stays; until
// then this is one cheap question, where the thread state costs a thread-local look-up in
// libpython.
inline bool may_release() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    const bool finalizing = Py_IsFinalizing();
#else
    const bool finalizing = _Py_IsFinalizing();
#endif
    return !finalizing || holds_interpreter();
}

namespace references {

using namespace nanobind;  // every other name is nanobind's own

// A nanobind reference type whose destructor leaves the reference on a thread being ended. It
// converts from and to the nanobind type it extends, so values pass freely between this code and
// nanobind's functions.
template <class Reference> class Kept : public Reference {
public:
    using Reference::Reference;
    Kept() = default;
    Kept(const Reference& other) : Reference(other) {}
    Kept(Reference&& other) noexcept : Reference(std::move(other)) {}
    Kept(const Kept&) = default;
    Kept(Kept&&) noexcept = default;
    Kept& operator=(const Kept&) = default;
    Kept& operator=(Kept&&) noexcept = default;
    ~Kept() {
        // (An immortal object's count never changes: no need to ask.)
        if (this->m_ptr && !_Py_IsImmortal(this->m_ptr) && !may_release()) this->m_ptr = nullptr;
    }
};

using object = Kept<nanobind::object>;
using str = Kept<nanobind::str>;
using list = Kept<nanobind::list>;
using tuple = Kept<nanobind::tuple>;
using dict = Kept<nanobind::dict>;
using int_ = Kept<nanobind::int_>;

template <class T = object> T borrow(handle h) { return nanobind::borrow<T>(h); }

template <class T = object> T steal(handle h) { return nanobind::steal<T>(h); }

// The Python error in flight as a C++ exception: what `throw nb::python_error()` throws and
// `catch (nb::python_error&)` catches here (no nanobind call used here throws its own). An error
// caught by a handler that a thread's end passes through is destroyed on the way; nanobind's
// destructor takes the GIL to release the exception, which there ends the thread once more,
// inside the unwind, and aborts the process.
class python_error : public nanobind::python_error {
public:
    python_error() = default;
    python_error(const python_error&) = default;
    python_error(python_error&&) noexcept = default;
    ~python_error() override {
        if (may_release()) return;
        // Moving the exception out empties this one; the copy it moved to is never destroyed.
        alignas(nanobind::python_error) unsigned char left[sizeof(nanobind::python_error)];
        new (left) nanobind::python_error(std::move(*this));
    }
};

}  // namespace references

namespace nb = references;

}  // namespace quillkit

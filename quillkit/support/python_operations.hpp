// Reference handling and the handful of Python operations every body is written with.
//
// Ownership rules, written down once:
//   - nb::handle borrows; nb::object owns one reference and releases it when it goes away.
//   - A C API call that returns a new reference goes through require(), which takes ownership,
//     or turns a NULL into the pending Python error thrown as nb::python_error.
//   - A body never returns with an error set: it throws, and the callable type's boundary
//     restores the error for the interpreter.
//   - On a thread being ended inside a call (references.hpp), references and errors still held
//     are left, not released.
#pragma once

#include "references.hpp"

#include <exception>
#include <initializer_list>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

namespace quillkit {

// Owns the new reference `result`; a NULL result throws the pending Python error.
inline nb::object require(PyObject* result) {
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

// The status a C API call returned (an int or a Py_ssize_t); a negative one throws the pending
// Python error.
template <class Status> Status require_status(Status status) {
    static_assert(std::is_integral_v<Status> && std::is_signed_v<Status>, "a C API status");
    if (status < 0) throw nb::python_error();
    return status;
}

// Owns the new reference `result`; null when the call failed with an error of the class
// `expected` (which is cleared: the caller's answer for that case follows), and any other error
// thrown as require throws it.
inline nb::object require_or_null(PyObject* result, PyObject* expected) {
    if (result) return nb::steal(result);
    if (!PyErr_ExceptionMatches(expected)) throw nb::python_error();
    PyErr_Clear();
    return nb::object();
}

// Turns `error`, a C++ exception that reached a place where native code returns to the
// interpreter, into the pending Python error.
void restore_error(std::exception& error) noexcept;

// What `body()` gives back, at a place where native code returns to the interpreter: a C++
// exception (all derive from std::exception here, Python errors included) becomes the pending
// Python error, and `failed` is given back.
//
// No handler here may catch everything. The forced unwind of a thread being ended
// (references.hpp) must travel on, and it must not even be caught to be thrown again: met by a
// catch-all while the thread handles another exception further up (a body logging an error it
// caught, through a lazy logger), the C++ run-time ends the process (std::terminate).
template <class Result, class Body> Result at_boundary(Result failed, Body&& body) {
    try {
        return body();
    } catch (std::exception& error) {
        restore_error(error);
    }
    return failed;
}

// Runs `work()` with the GIL released and gives back what it returns. `work` must touch no
// Python object; a C++ exception it throws (std::bad_alloc, say) is caught while the GIL is
// released and thrown again once it is held, so no exception crosses the unlocked region.
// Taking the GIL back may end the thread (references.hpp): no destructor may call this.
template <class Work> auto without_gil(Work&& work) -> decltype(work()) {
    if constexpr (std::is_void_v<decltype(work())>) {
        without_gil([&] {
            work();
            return true;
        });
    } else {
        std::optional<decltype(work())> result;
        std::exception_ptr failure;
        PyThreadState* thread = PyEval_SaveThread();
        try {
            result.emplace(work());
        } catch (const std::exception&) {  // not a catch-all: see at_boundary
            failure = std::current_exception();
        }
        PyEval_RestoreThread(thread);
        if (failure) std::rethrow_exception(failure);
        return std::move(*result);
    }
}

// Sets a Python exception from a printf-style format and throws it.
[[noreturn]] void raise(PyObject* type, const char* format, ...);

// Throws the OSError (its subclass for `error`) the os module raises for the errno `error`,
// naming `filename` when one is given.
[[noreturn]] void raise_os_error(int error, nb::handle filename = nb::handle());

// An interned str, made on first use and kept for the life of the process. Interned strings are
// immortal in 3.12, so holding one forever costs nothing and needs no module teardown.
class Name {
public:
    constexpr explicit Name(const char* text) : text_(text) {}
    PyObject* ptr() const { return cached_ ? cached_ : intern(); }
    nb::handle handle() const { return ptr(); }
    const char* text() const { return text_; }

private:
    PyObject* intern() const;
    const char* text_;
    mutable PyObject* cached_ = nullptr;
};

// True when the exception belongs to the Exception family (what `except Exception` catches).
bool is_exception(const nb::python_error& error);

// The truth value of `value`, as `bool(value)` gives it.
bool truthy(nb::handle value);

// `str(value)`; an exact str is returned as it is.
nb::object to_str(nb::handle value);

// `obj.name`
nb::object attr(nb::handle obj, const Name& name);

// The value under `key` in the dict `dict`, borrowed from it (take a reference before Python
// code may run); an invalid handle when there is none. Throws what comparing the key raised.
inline nb::handle dict_item(nb::handle dict, nb::handle key) {
    PyObject* value = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (!value && PyErr_Occurred()) throw nb::python_error();
    return value;
}

// The value under `name` in a namespace's dict (a module's, a class's), with a reference of its
// own; null when there is none. Throws what comparing the key raised.
inline nb::object namespace_entry(PyObject* namespace_dict, const Name& name) {
    const nb::handle value = dict_item(namespace_dict, name.handle());
    return value.is_valid() ? nb::borrow(value) : nb::object();
}

// `module.name`: read from the module's namespace when `module` is a plain module holding the
// name (what attribute access finds there too), else through attribute access.
nb::object module_attr(nb::handle module, const Name& name);

// The arguments of one vectorcall, laid out after a spare slot (PY_VECTORCALL_ARGUMENTS_OFFSET)
// so that a callee binding `self` can use it: inline up to a dozen, on the heap beyond. All
// positional arguments come before the first keyword. Borrowed: the caller keeps them alive.
class ArgumentStack {
public:
    ArgumentStack() { values_.size = 1; }  // the spare slot
    ArgumentStack(const ArgumentStack&) = delete;
    ArgumentStack& operator=(const ArgumentStack&) = delete;

    void add(nb::handle value) {
        push(values_, value.ptr());
        ++positional_;
    }
    void add(PyObject* const* values, Py_ssize_t count) {
        for (Py_ssize_t index = 0; index < count; ++index) add(values[index]);
    }
    void add_keyword(nb::handle name, nb::handle value) {
        push(names_, name.ptr());
        push(values_, value.ptr());
    }

    // `callable(*positional, **keywords)`
    nb::object call(nb::handle callable);
    // `positional[0].method(*positional[1:], **keywords)`, without making a bound method.
    nb::object call_method(const Name& method);

private:
    static constexpr size_t kInline = 12;
    struct Buffer {
        PyObject* inline_items[kInline + 1] = {};
        std::unique_ptr<PyObject*[]> heap;
        PyObject** items = inline_items;
        size_t size = 0;
        size_t capacity = kInline + 1;
    };
    static void push(Buffer& buffer, PyObject* value);
    nb::object keyword_names() const;
    size_t count() const { return positional_ | PY_VECTORCALL_ARGUMENTS_OFFSET; }

    Buffer values_;
    Buffer names_;
    size_t positional_ = 0;
};

// A keyword argument of a call: the name and a borrowed value.
struct Keyword {
    const Name& name;
    nb::handle value;
};

// `callable(*args, **keywords)`
nb::object call(nb::handle callable, std::initializer_list<nb::handle> args = {},
                std::initializer_list<Keyword> keywords = {});

// `self.method(*args, **keywords)`, without making a bound method.
nb::object call_method(nb::handle self, const Name& method, std::initializer_list<nb::handle> args = {},
                       std::initializer_list<Keyword> keywords = {});

// A piece of a message: a UTF-8 literal from the source, or a value inserted by its str() form.
class Piece {
public:
    Piece(const char* literal) : literal_(literal) {}
    Piece(nb::handle value) : value_(value) {}
    // The str object for this piece: literals are converted once and cached.
    nb::object text() const;

private:
    const char* literal_ = nullptr;
    nb::handle value_;
};

// The concatenation of the pieces, as `"a" + str(b) + "c"` gives it.
nb::object concat(std::initializer_list<Piece> pieces);

// The str for a UTF-8 literal; converted on first use and cached by its address.
nb::handle literal(const char* text);

// A list's size and item, checked at the moment they are read. Once Python code may have run (a
// call out, a comparison, the collector), a list the code holds may have shrunk: these raise
// instead of reading past its end. The item is borrowed: take it with nb::borrow before any
// further Python code can run.
Py_ssize_t list_size(nb::handle list);
nb::handle list_item(nb::handle list, Py_ssize_t index);

// The length of a text, checked to be a str first (TypeError otherwise): for values a program
// can replace, such as the results of module globals.
Py_ssize_t text_length(nb::handle text);

// `(first, second)`
nb::object pair(nb::handle first, nb::handle second);

// Calls `visit(item)` for each item of `iterable`, as `for item in iterable:` takes them. A visit
// that returns bool stops the loop by returning false.
template <class Visit> void for_each_item(nb::handle iterable, Visit&& visit) {
    nb::object iterator = require(PyObject_GetIter(iterable.ptr()));
    while (PyObject* next = PyIter_Next(iterator.ptr())) {
        nb::object item = nb::steal(next);
        if constexpr (std::is_same_v<decltype(visit(nb::handle(item))), bool>) {
            if (!visit(nb::handle(item))) return;
        } else {
            visit(nb::handle(item));
        }
    }
    if (PyErr_Occurred()) throw nb::python_error();
}

// `first, second = value`, with the interpreter's errors for anything but two items.
std::pair<nb::object, nb::object> unpack_pair(nb::handle value);

// Sends one message through a logger method (`logger.info(message)` and so on).
void log_to(nb::handle logger, const Name& level, nb::handle message);

}  // namespace quillkit

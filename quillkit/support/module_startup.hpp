// Start-up helpers: imports with the interpreter's own semantics, module globals, and classes
// made the way a class statement makes them.
#pragma once

#include "change_watch.hpp"
#include "function.hpp"

#include <cstddef>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace quillkit {

// Starts nanobind's run-time support for this extension once (its error objects release their
// Python references only once it runs). It is anchored in a private module object, not in the
// extension's own namespace, which must hold only the globals the module promises.
void start_nanobind(const char* extension_name);

// The state of a module without one.
struct Stateless {};

// Where a module state's object pointers end: at its member `plain`, when it has one (plain values
// only, last: no object pointer, nothing to construct), else at its end.
template <class State, class = void> struct ObjectsEnd {
    static constexpr size_t value = sizeof(State);
};
template <class State> struct ObjectsEnd<State, std::void_t<decltype(&State::plain)>> {
    static constexpr size_t value = offsetof(State, plain);
};

// Whether a module state's plain values hold a ChangeWatch `watch`.
template <class State, class = void> struct HasWatch : std::false_type {};
template <class State> struct HasWatch<State, std::void_t<decltype(&decltype(State::plain)::watch)>>
    : std::true_type {};

// A module state made of object pointers, which the collector visits and clears, then its plain
// values, which it leaves alone. A ChangeWatch among them (`plain.watch`) gets its watchers before
// the module starts and gives them back when the module is freed.
template <class State> struct ObjectFields {
    static constexpr bool kStateless = std::is_same_v<State, Stateless>;
    static_assert(kStateless || (std::is_standard_layout_v<State> && std::is_trivially_copyable_v<State> &&
                                 ObjectsEnd<State>::value % sizeof(PyObject*) == 0),
                  "a module state holds object pointers, then plain values");
    static constexpr size_t kCount = kStateless ? 0 : ObjectsEnd<State>::value / sizeof(PyObject*);
    static PyObject** of(PyObject* module) { return static_cast<PyObject**>(PyModule_GetState(module)); }

    static int traverse(PyObject* module, visitproc visit, void* arg) {
        for (size_t index = 0; index < kCount; ++index) Py_VISIT(of(module)[index]);
        return 0;
    }
    static int clear(PyObject* module) {
        for (size_t index = 0; index < kCount; ++index) Py_CLEAR(of(module)[index]);
        return 0;
    }
    static void free(void* module) {
        if constexpr (!kStateless && HasWatch<State>::value) {
            if (void* state = PyModule_GetState(static_cast<PyObject*>(module))) {
                stop_watching(static_cast<State*>(state)->plain.watch);
            }
        }
        clear(static_cast<PyObject*>(module));
    }
    // Before `Start`: what the state's plain values need from the interpreter.
    static void prepare(void* state) {
        if constexpr (!kStateless && HasWatch<State>::value) {
            start_watching(static_cast<State*>(state)->plain.watch);
        }
    }
};

// The start-up every module shares: nanobind's run-time, the module's function type, then
// `start` (which binds the namespace in order), inside the boundary that turns a C++ exception
// into the error the importer reports. 0, or -1 with that error set.
//
// Only in the main interpreter: elsewhere, before anything of the module is made, the
// ImportError an isolated sub-interpreter gives. The modules keep state for the process
// (interned names, nanobind's run-time, the function type, the logging facility's watchers and
// what it read). CPython refuses them in isolated sub-interpreters itself, but not in legacy
// ones (Py_NewInterpreter, as embedders make them); and CPython 3.14 runs PyInit_<name> in the
// main interpreter when a sub-interpreter imports the module, so the start-up, which runs in the
// importing interpreter, is where the refusal is made.
int start_module(PyObject* module, void (*start)(nb::handle module, void* state));

template <class State, void (*Start)(nb::handle, State&)> int exec_module(PyObject* module) {
    return start_module(module, [](nb::handle started, void* state) {
        if constexpr (std::is_same_v<State, Stateless>) {
            Stateless none;
            Start(started, none);
        } else {
            ObjectFields<State>::prepare(state);
            Start(started, *static_cast<State*>(state));
        }
    });
}

// The definition of an extension module (multi-phase start-up, main interpreter only) whose
// start-up is `Start` and whose state is `State`, made on the first call: what PyInit_<name>
// returns.
template <class State, void (*Start)(nb::handle, State&)>
PyObject* define_module(const char* name, const char* doc) {
    static PyModuleDef_Slot slots[] = {
        {Py_mod_exec, reinterpret_cast<void*>(&exec_module<State, Start>)},
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
        {0, nullptr},
    };
    using Fields = ObjectFields<State>;
    static PyModuleDef definition = {
        PyModuleDef_HEAD_INIT,
        name,
        doc,
        Fields::kCount ? static_cast<Py_ssize_t>(sizeof(State)) : 0,
        nullptr,
        slots,
        Fields::traverse,
        Fields::clear,
        Fields::free,
    };
    return PyModuleDef_Init(&definition);
}

// `import name` for a dotted name: the top-level package, as the statement binds it.
nb::object import_top_level(const char* name);

// `import name`, giving the named module itself.
nb::object import_module(const char* name);

// `from module import name`, with the interpreter's ImportError when the name is missing.
nb::object import_from(const char* module, const char* name);

// Binds a module global; globals keep the order in which they are bound.
void set_global(nb::handle module, const char* name, nb::handle value);

// One entry of a class namespace, in class-body order.
using ClassEntry = std::pair<const char*, nb::object>;

// `type(name, bases, namespace)` with `__module__` and `__qualname__` first, as a class
// statement in `module` would make it.
nb::object make_class(nb::handle module, const char* name, nb::handle bases, const char* doc,
                      std::vector<ClassEntry> body);

// `property(getter)`
nb::object make_property(nb::handle getter);

}  // namespace quillkit

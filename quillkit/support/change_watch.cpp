// The change watch declared in change_watch.hpp.
#include "change_watch.hpp"

#include <utility>

// The interpreter's own method look-up, which answers without binding a method: public on 3.12,
// still exported but no longer in the public headers from 3.13. Declared here only for the
// releases known to keep it; any other binds the method to compare it.
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x03100000
extern "C" int _PyObject_GetMethod(PyObject* object, PyObject* name, PyObject** method);  // NOLINT
#endif
#if PY_VERSION_HEX < 0x03100000
#define QUILLKIT_HAS_GET_METHOD 1
#endif

namespace quillkit {

namespace {

// A watcher callback has no argument of its own to say whose count it bumps, so each module's
// watchers get a callback of their own: the one of a route, which names the module's watch.
constexpr int kRoutes = 8;  // as many as the interpreter gives dict watchers
ChangeWatch* g_routes[kRoutes] = {};

template <int Route> int count_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    if (ChangeWatch* watch = g_routes[Route]) ++watch->changes;
    return 0;
}

template <int Route> int count_type_change(PyTypeObject*) {
    if (ChangeWatch* watch = g_routes[Route]) ++watch->changes;
    return 0;
}

template <int... Route> constexpr auto callbacks(std::integer_sequence<int, Route...>) {
    struct Callbacks {
        PyDict_WatchCallback dict[kRoutes];
        PyType_WatchCallback type[kRoutes];
    };
    return Callbacks{{count_dict_change<Route>...}, {count_type_change<Route>...}};
}
constexpr auto kCallbacks = callbacks(std::make_integer_sequence<int, kRoutes>{});

}  // namespace

void start_watching(ChangeWatch& watch) {
    int route = 0;
    while (route < kRoutes && g_routes[route]) ++route;
    if (route == kRoutes) return;
    const int dict_watcher = PyDict_AddWatcher(kCallbacks.dict[route]);
    if (dict_watcher < 0) {
        PyErr_Clear();  // every watcher taken: the view is read at each use
        return;
    }
    const int type_watcher = PyType_AddWatcher(kCallbacks.type[route]);
    if (type_watcher < 0) {
        PyErr_Clear();
        if (PyDict_ClearWatcher(dict_watcher) < 0) PyErr_Clear();
        return;
    }
    g_routes[route] = &watch;
    watch = ChangeWatch{0, 0, dict_watcher + 1, type_watcher + 1, route + 1};
}

void stop_watching(ChangeWatch& watch) {
    if (!watch.route) return;
    PyObject* pending = PyErr_GetRaisedException();  // a module may be freed while an error is set
    g_routes[watch.route - 1] = nullptr;
    if (PyDict_ClearWatcher(watch.dict_watcher - 1) < 0) PyErr_Clear();
    if (PyType_ClearWatcher(watch.type_watcher - 1) < 0) PyErr_Clear();
    watch = ChangeWatch{};
    PyErr_SetRaisedException(pending);
}

bool attribute_dicts_watchable() { return Py_Version >= 0x030D0100; }

PyObject* attribute_dict(nb::handle object) {
    if (Py_TYPE(object.ptr())->tp_dictoffset == 0) return nullptr;
    PyObject* dict = PyObject_GenericGetDict(object.ptr(), nullptr);
    if (!dict) throw nb::python_error();
    Py_DECREF(dict);  // the object keeps it: only the address is wanted
    return dict;
}

bool watch_dict(ChangeWatch& watch, nb::handle dict) {
    if (!watch.route || !PyDict_Check(dict.ptr())) return false;
    require_status(PyDict_Watch(watch.dict_watcher - 1, dict.ptr()));
    return true;
}

bool watch_type(ChangeWatch& watch, nb::handle type) {
    if (!watch.route || !PyType_Check(type.ptr())) return false;
    require_status(PyType_Watch(watch.type_watcher - 1, type.ptr()));
    // Its bases get their tags first, so a change of any of them reaches this class too.
    return PyUnstable_Type_AssignVersionTag(reinterpret_cast<PyTypeObject*>(type.ptr())) != 0;
}

PyObject* watch_attributes(ChangeWatch& watch, nb::handle object) {
    if (!watch.route || !attribute_dicts_watchable()) return nullptr;
    PyObject* dict = attribute_dict(object);
    return dict && watch_dict(watch, dict) ? dict : nullptr;
}

ViewReading::ViewReading(ChangeWatch& watch)
    : watch_(watch), started_(watch.changes), complete_(watch.route != 0) {
    watch.read_at = 0;
}

void ViewReading::done() { watch_.read_at = complete_ ? started_ + 1 : 0; }

bool finds_class_member(nb::handle object, const Name& name, PyObject* expected) {
#ifdef QUILLKIT_HAS_GET_METHOD
    PyObject* found = nullptr;
    const int unbound = _PyObject_GetMethod(object.ptr(), name.ptr(), &found);
    nb::object held = nb::steal(found);
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        return false;
    }
    return unbound == 1 && found == expected;
#else
    PyObject* found = PyObject_GetAttr(object.ptr(), name.ptr());
    nb::object held = nb::steal(found);
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        return false;
    }
    return PyMethod_Check(found) && PyMethod_GET_FUNCTION(found) == expected &&
           PyMethod_GET_SELF(found) == object.ptr();
#endif
}

PyObject* class_member(nb::handle type, const Name& name) {
    return _PyType_Lookup(reinterpret_cast<PyTypeObject*>(type.ptr()), name.ptr());
}

}  // namespace quillkit

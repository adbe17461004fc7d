// Whether what a module read from namespaces, classes and objects a program may change still
// holds: "still what start-up found" without looking again at every call.
//
// A module reads a view once (its own globals, a library module's namespace, a class and what its
// members are, the attributes of a few objects) and keeps it until one of the things it was read
// from changes. Dict watchers report each change of a watched dict, type watchers each change of a
// watched class or of a class it derives from (PyType_Modified reaches the subclasses), and both
// count them in the module's state: while the count is the one the view was read at, the view
// holds; the next call after any change reads it again. Where the interpreter has no watcher left
// to give, or a class cannot be watched, every call reads it again.
#pragma once

#include "python_operations.hpp"

#include <cstdint>

namespace quillkit {

// The count of changes, among a module's plain values (module_startup.hpp registers its watchers
// when the module starts and returns them when it is freed). Zero when the state is made.
struct ChangeWatch {
    uint64_t changes;  // changes the watchers reported
    uint64_t read_at;  // `changes` + 1 when the view was read; 0 while it must be read (again)
    int dict_watcher;  // the interpreter's watcher ids, + 1; 0 while the module has none
    int type_watcher;
    int route;  // which of the callbacks counts into this watch, + 1
};

// Takes a dict watcher and a type watcher for `watch`; without one, the view is read at each use.
void start_watching(ChangeWatch& watch);

// Gives the watchers back to the interpreter.
void stop_watching(ChangeWatch& watch);

// Whether nothing watched has changed since the view was read.
inline bool still_current(const ChangeWatch& watch) { return watch.read_at == watch.changes + 1; }

// Whether the running release reports every change of an object's attribute dict to its watchers
// at no cost to the program: from 3.13.1. 3.13.0 misses the stores into the values an object
// keeps inline (CPython gh-125608), and 3.12 keeps those values only until the dict is first
// asked for, after which its own attribute access on the object is markedly slower.
bool attribute_dicts_watchable();

// The attribute dict of `object` as it is now, for comparing with one watched before (never
// dereferenced); null when it has none. Only where attribute_dicts_watchable().
PyObject* attribute_dict(nb::handle object);

// Watch a dict, a class (and through it the classes it derives from), or the attribute dict of an
// object, for `watch`; false (null) where it cannot be watched: no watcher, not a dict or class,
// a class that can get no version tag (it reports changes only while it has one), attribute
// dicts that cannot be watched (then the attributes are read at each use). The attribute dict is
// borrowed: compare it only, with attribute_dict.
bool watch_dict(ChangeWatch& watch, nb::handle dict);
bool watch_type(ChangeWatch& watch, nb::handle type);
PyObject* watch_attributes(ChangeWatch& watch, nb::handle object);

// One reading of a whole view: it watches what it reads, and once done the view counts as
// current, unless something changed while it was read or could not be watched. A reading that
// throws leaves the view to be read again.
class ViewReading {
public:
    explicit ViewReading(ChangeWatch& watch);
    ViewReading(const ViewReading&) = delete;
    ViewReading& operator=(const ViewReading&) = delete;

    void watch_dict(nb::handle dict) { complete_ = quillkit::watch_dict(watch_, dict) && complete_; }
    void watch_type(nb::handle type) { complete_ = quillkit::watch_type(watch_, type) && complete_; }
    // The attribute dict, watched; null where attribute dicts cannot be watched (no fault of the
    // view's) or the object has none.
    PyObject* watch_attributes(nb::handle object) { return quillkit::watch_attributes(watch_, object); }
    // Marks the view as current.
    void done();

private:
    ChangeWatch& watch_;
    uint64_t started_;
    bool complete_;
};

// Whether `object.name` finds the class member `expected`, with nothing of the object's own in
// front of it (the class's member is the caller's to know: a watched class's look-up). Python code
// may run (an attribute look-up).
bool finds_class_member(nb::handle object, const Name& name, PyObject* expected);

// What the class `type` holds under `name` along its MRO, borrowed; null when nothing does.
PyObject* class_member(nb::handle type, const Name& name);

}  // namespace quillkit

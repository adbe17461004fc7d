// What the logging package and this module's namespace look like, read once and kept until
// something it was read from changes (support/change_watch.hpp), and the loggers resolved through it.
//
// Every record of a lazy logger resolves its logger by name and asks whether the record goes
// anywhere, which takes a dozen look-ups in namespaces that almost never change: the module's
// globals, the logging module, its registry, the classes of the loggers and the few attributes
// of the root logger, the manager and the logger that decide. The view is read again when any of
// them changes; a program that replaces one sees its replacement used at the next record.
//
// Two answers are read from the logging package's own state instead of asked through its
// functions, while those functions are the ones start-up found, with their code:
//   - `logging.getLogger(name)` for a logger that exists is `Logger.manager.loggerDict[name]`
//     (unless it names the root logger, or holds a placeholder); the registry shortcut.
//   - `logger.log(level, ...)` does nothing when `logger._cache[level]` is False: the cache
//     `Logger.isEnabledFor` keeps and that logging empties whenever a level, `logging.disable` or
//     the hierarchy changes. A missing answer is asked of `isEnabledFor`, which stores it.
// Anything else (another class's member, an attribute of the logger's own, a cache of another
// shape) declines to the functions themselves.
#pragma once

#include "../support/change_watch.hpp"
#include "../support/function.hpp"

#include <utility>

namespace quillkit::chronicle {

struct State;

enum class Level : size_t { debug, info, warning, error, critical, count };

// The logging package's functions the shortcuts stand for, as start-up found them (object
// pointers of the state). Null where the package does not hold a Python function there: no
// shortcut then.
struct Standard {
    PyObject* get_logger;          // logging.getLogger
    PyObject* manager_get_logger;  // logging.Manager.getLogger
    PyObject* log;                 // logging.Logger.log
    PyObject* is_enabled_for;      // logging.Logger.isEnabledFor
    PyObject* code[4];             // the code of each, in that order
    PyObject* place_holder;        // logging.PlaceHolder
};

// The view's objects, read at a count of the watch (object pointers of the state); null where a
// name is missing or not usable.
struct LoggingView {
    PyObject* logging;                                    // the `logging` global, when it is a plain module
    PyObject* base_name;                                  // `_BASE_NAME`
    PyObject* levels[static_cast<size_t>(Level::count)];  // logging.DEBUG ..., when exact ints
    PyObject* root;        // logging.root, when the registry shortcut may be taken
    PyObject* root_class;  // its class, as read (an assignment to __class__ tells no watcher)
    PyObject* root_name;   // root.name, an exact str
    PyObject* manager;     // logging.Logger.manager
    PyObject* manager_class;
    PyObject* registry;  // manager.loggerDict, a dict
    PyObject* loggers;   // {child: entry}: the loggers resolved through this view (logging_snapshot.cpp)
};

// The view's plain values.
struct ViewFlags {
    ChangeWatch watch;
    bool get_logger_is_ours;       // the `get_logger` global is this module's own
    bool lazy_class_intact;        // _LazyLogger as made still holds its members
    PyObject* root_attributes;     // the attribute dicts of root and manager, watched (compared only);
    PyObject* manager_attributes;  // null: those attributes are read at each use
    Py_ssize_t child_offset;       // where a lazy logger keeps `_child`; 0 when unknown
};

// Records, at start-up, logging's own functions and where `_LazyLogger` keeps `_child`.
void capture_standard(State& state, nb::handle logging, nb::handle lazy_logger_class);

// The view as it is now for the module of `c`, read again first when anything it was read from
// has changed. Hold in your own references what you use: Python code may make it read again.
State& current_view(Call& c);

// A logger resolved through the view: what `logging.getLogger(name)` gives now for the name the
// base name gives a child. It holds the cache's entry it was read from.
class ResolvedLogger {
public:
    ResolvedLogger() = default;
    ResolvedLogger(nb::object entry, nb::handle logger) : entry_(std::move(entry)), logger_(logger) {}
    // The joined name; invalid when nothing was resolved (the base name is no text).
    nb::handle name() const;
    // The logger (borrowed from the entry); invalid where `logging.getLogger(name)` must be asked.
    nb::handle logger() const { return logger_; }

private:
    friend bool is_dropped(State& state, const ResolvedLogger& resolved, nb::handle level);
    nb::object entry_;
    nb::handle logger_;
};

// The logger for `child`, an exact str, under the current base name, as far as the view can
// resolve it. `state` is what current_view gave, since which no Python code has run.
ResolvedLogger resolve(State& state, nb::handle child);

// Whether a record at `level` (an exact int) sent through `resolved.logger().log(...)` would go
// nowhere; false where that cannot be known without calling `log`. `state` as for resolve.
bool is_dropped(State& state, const ResolvedLogger& resolved, nb::handle level);

// `self._child` of an instance of the class as made (only while `lazy_class_intact`); raises as
// attribute access does when the slot is empty.
nb::object child_of(const State& state, nb::handle self);

}  // namespace quillkit::chronicle

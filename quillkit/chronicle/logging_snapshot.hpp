// What the logging facility and this module's namespace look like at the moment, read once and
// kept until something it was read from changes.
//
// Every record of a lazy logger resolves its logger by name, which takes a dozen look-ups in
// namespaces that almost never change: the module's globals, the logging module, the registry's
// manager, the root logger, the classes. Dict and type watchers (public C API since 3.12) say
// when any of them changes; until then the values read last still hold, and a program that
// replaces one of them sees its replacement used at the next record.
#pragma once

#include "chronicle.hpp"

namespace quillkit::chronicle {

enum class Level : size_t { debug, info, warning, error, critical, count };

struct Facility {
    // From the module's namespace; null where a name is missing (the long way then reports it).
    nb::object logging;                // the `logging` global
    nb::object base_name;              // `_BASE_NAME`
    bool get_logger_is_ours = false;   // the `get_logger` global is this module's own
    bool lazy_class_intact = false;    // _LazyLogger as made still holds its members

    // From the logging module, when `logging` is a plain module; null where not usable.
    nb::object levels[static_cast<size_t>(Level::count)];  // logging.DEBUG ... when exact ints
    bool get_logger_is_standard = false;  // logging.getLogger is the facility's own
    nb::object root;                      // logging.root
    nb::object logger_class;              // logging.Logger, when a type
    nb::object manager;                   // logging.Logger.manager
    bool log_is_standard = false;         // logging.Logger.log is the facility's own
    // (The attributes of instances, root.name and manager.loggerDict, are read at each use: an
    // instance's attributes can change without its namespace telling a watcher.)
};

// The facility as it is now, for the module of `c`. Keep what you use in your own references:
// reading it again (any Python code may) replaces what it holds.
const Facility& current_facility(Call& c);

// Where the `_child` slot of a lazy logger lies, read from the class as made.
void remember_child_slot(nb::handle lazy_logger_class);

// `self._child` of an instance of the class as made (only when `lazy_class_intact`); raises as
// attribute access does when the slot is empty.
nb::object child_of(nb::handle self);

}  // namespace quillkit::chronicle

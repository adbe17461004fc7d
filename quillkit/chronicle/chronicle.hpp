// What the files of quillkit.chronicle share: the module state and what its files need of each
// other.
#pragma once

#include "../support/function.hpp"
#include "interned_names.hpp"
#include "logging_snapshot.hpp"

namespace quillkit::chronicle {

// Records with up to this many message arguments pass through relays of fixed arity.
constexpr Py_ssize_t kFixedRelays = 3;

// The stack level a record names when its caller gives none: the line that called the logger.
constexpr long kDefaultStackLevel = 3;

// The module state: object pointers, then the plain values.
struct State {
    PyObject* formatter_class;            // LevelSwitchingFormatter as it was made, for `super()`
    PyObject* relay_fixed[kFixedRelays];  // relayN(logger, level, msg, <N arguments>, stacklevel)
    PyObject* relay_args;                 // relay_args(logger, level, msg, args, stacklevel)
    PyObject* relay_general;              // relay_general(logger, level, msg, args, kwargs)
    PyObject* emit_function;              // _LazyLogger._emit as made
    PyObject* logger_property;            // _LazyLogger._l as made
    PyObject* child_descriptor;           // _LazyLogger._child as made
    PyObject* lazy_logger_class;          // _LazyLogger as made
    Standard standard;                    // logging's own functions, as start-up found them
    LoggingView view;                     // the logging package as last read
    ViewFlags plain;
};

// The most children whose loggers are kept; beyond, the cache starts again.
constexpr Py_ssize_t kMaxCachedNames = 1024;

// The first parameter of every method.
inline constexpr Param kSelf{"self"};

// A field of the state, which the collector empties when it tears the module down.
nb::handle state_field(PyObject* field);

// Level-switching formatter and logging set-up.
extern const char* const kFormatterDoc;

// Logger naming and the lazy logger. (The functions register themselves where they are declared;
// get_logger's declaration is named here for the snapshot, which tells the module's own by it.)
extern const Function kGetLogger;
extern const char* const kLazyLoggerDoc;

// Makes the Python frames through which records reach the logging facility.
void make_relays(nb::handle module, State& state);

// One record on its way to the logging facility.
struct Record {
    nb::handle level;
    nb::handle msg;
    VarPositional args;
    VarKeyword kwargs;      // a `stacklevel` among them is left out: the one below goes instead
    nb::handle stacklevel;  // invalid: none is passed
};

// `logger.log(level, msg, *args, [stacklevel=stacklevel,] **kwargs)` through the relay frames.
void deliver(Call& c, nb::handle logger, const Record& record);

// Makes the _LazyLogger class; its members in class-body order.
nb::object make_lazy_logger_class(nb::handle module, State& state);

// Makes the LevelSwitchingFormatter class, deriving from `formatter_base`.
nb::object make_formatter_class(nb::handle module, nb::handle formatter_base);

}  // namespace quillkit::chronicle

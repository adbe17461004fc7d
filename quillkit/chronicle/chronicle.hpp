// What the files of quillkit.chronicle share: the module state and the declarations.
#pragma once

#include "../support/function.hpp"

namespace quillkit::chronicle {

// The module state.
struct State {
    PyObject* formatter_class;  // LevelSwitchingFormatter as it was made, for `super()`
    PyObject* relay;            // relay(logger, level, msg, stacklevel)
    PyObject* relay_general;    // relay_general(logger, level, msg, args, kwargs)
};

// Level-switching formatter and logging set-up.
extern const Function kSetupLogging;
extern const char* const kFormatterDoc;

// Logger naming and the lazy logger.
extern const Function kBaseName;
extern const Function kGetLogger;
extern const Function kLazyLogger;
extern const char* const kLazyLoggerDoc;

// Makes the Python frames through which records reach the logging facility.
void make_relays(nb::handle module, State& state);

// Makes the _LazyLogger class; its members in class-body order.
nb::object make_lazy_logger_class(nb::handle module);

// Makes the LevelSwitchingFormatter class, deriving from `formatter_base`.
nb::object make_formatter_class(nb::handle module, nb::handle formatter_base);

}  // namespace quillkit::chronicle

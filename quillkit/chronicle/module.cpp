// Start-up of quillkit.chronicle: binds its namespace in order and owns the module state.
#include "chronicle.hpp"

#include "../support/module_startup.hpp"
#include "../support/published.hpp"

namespace quillkit::chronicle {

nb::handle state_field(PyObject* field) {
    if (!field) raise(PyExc_SystemError, "quillkit.chronicle is being torn down");
    return field;
}

namespace {

// Binds, in order: logging, sys, Logger, Optional, Dict, _BASE_NAME, LevelSwitchingFormatter,
// setup_logging, base_name, get_logger, _LazyLogger, lazy_logger.
void start(nb::handle module, State& state) {
    make_relays(module, state);
    nb::object logging = import_module("logging");
    set_global(module, "logging", logging);
    set_global(module, "sys", import_module("sys"));
    set_global(module, "Logger", import_from("logging", "Logger"));
    set_global(module, "Optional", import_from("typing", "Optional"));
    set_global(module, "Dict", import_from("typing", "Dict"));
    set_global(module, "_BASE_NAME", literal("app"));

    nb::object formatter_class = make_formatter_class(module, attr(logging, names::Formatter));
    state.formatter_class = Py_NewRef(formatter_class.ptr());
    set_global(module, "LevelSwitchingFormatter", formatter_class);
    add_published_functions(module, 1, 3);  // setup_logging, base_name, get_logger
    nb::object lazy_logger_class = make_lazy_logger_class(module, state);
    capture_standard(state, logging, lazy_logger_class);
    set_global(module, "_LazyLogger", lazy_logger_class);
    add_published_functions(module, 4);  // lazy_logger
}

}  // namespace
}  // namespace quillkit::chronicle

PyMODINIT_FUNC PyInit_chronicle() {
    using namespace quillkit::chronicle;
    return quillkit::define_module<State, start>("quillkit.chronicle", nullptr);
}

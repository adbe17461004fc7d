// Start-up of quillkit.chronicle: binds its namespace in order and owns the module state.
#include "chronicle.hpp"

#include "../support/module.hpp"

namespace quillkit::chronicle {

nb::handle state_field(PyObject* field) {
    if (!field) raise(PyExc_SystemError, "quillkit.chronicle is being torn down");
    return field;
}

namespace {

State& state_of(PyObject* module) { return *static_cast<State*>(PyModule_GetState(module)); }

// Binds, in order: logging, sys, Logger, Optional, Dict, _BASE_NAME, LevelSwitchingFormatter,
// setup_logging, base_name, get_logger, _LazyLogger, lazy_logger.
Name kGetLoggerName{"getLogger"};
Name kFormatter{"Formatter"};

int exec_module(PyObject* raw_module) noexcept {
    try {
        nb::handle module = raw_module;
        start_nanobind("quillkit.chronicle._nanobind");
        make_relays(module, state_of(raw_module));
        nb::object logging = import_module("logging");
        set_global(module, "logging", logging);
        state_of(raw_module).facility_get_logger = attr(logging, kGetLoggerName).release().ptr();
        set_global(module, "sys", import_module("sys"));
        set_global(module, "Logger", import_from("logging", "Logger"));
        set_global(module, "Optional", import_from("typing", "Optional"));
        set_global(module, "Dict", import_from("typing", "Dict"));
        set_global(module, "_BASE_NAME", literal("app"));

        nb::object formatter_class = make_formatter_class(module, attr(logging, kFormatter));
        state_of(raw_module).formatter_class = Py_NewRef(formatter_class.ptr());
        set_global(module, "LevelSwitchingFormatter", formatter_class);
        add_functions(module, {&kSetupLogging, &kBaseName, &kGetLogger});
        set_global(module, "_LazyLogger", make_lazy_logger_class(module, state_of(raw_module)));
        add_functions(module, {&kLazyLogger});
        return 0;
    } catch (...) {
        restore_current_exception();
    }
    return -1;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    State& state = state_of(module);
    Py_VISIT(state.formatter_class);
    for (PyObject* relay : state.relay_fixed) Py_VISIT(relay);
    Py_VISIT(state.relay_args);
    Py_VISIT(state.relay_general);
    Py_VISIT(state.emit_function);
    Py_VISIT(state.logger_property);
    Py_VISIT(state.facility_get_logger);
    Py_VISIT(state.lazy_logger_class);
    return 0;
}

int clear_module(PyObject* module) {
    State& state = state_of(module);
    Py_CLEAR(state.formatter_class);
    for (PyObject*& relay : state.relay_fixed) Py_CLEAR(relay);
    Py_CLEAR(state.relay_args);
    Py_CLEAR(state.relay_general);
    Py_CLEAR(state.emit_function);
    Py_CLEAR(state.logger_property);
    Py_CLEAR(state.facility_get_logger);
    Py_CLEAR(state.lazy_logger_class);
    return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "quillkit.chronicle",
    nullptr,  // no module docstring
    sizeof(State),
    nullptr,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace
}  // namespace quillkit::chronicle

PyMODINIT_FUNC PyInit_chronicle() { return PyModuleDef_Init(&quillkit::chronicle::module_definition); }

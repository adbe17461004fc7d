// Start-up of quillkit.cargohold: binds the libraries it uses as module globals, in order, then
// publishes its functions in the order of the positions they registered with.
#include "cargohold.hpp"

#include "../support/module_startup.hpp"

namespace quillkit::cargohold {

nb::object choose_logger(Call& c, nb::handle logger) {
    if (truthy(logger)) return nb::borrow(logger);
    return c.global(names::log);
}

nb::object path_kind(PathKind kind) { return require(PyLong_FromLong(static_cast<long>(kind))); }

bool is_path_kind(nb::handle result, PathKind kind) {
    return require_status(PyObject_RichCompareBool(result.ptr(), path_kind(kind).ptr(), Py_EQ)) == 1;
}

stand_ins::Originals& stand_ins::originals(Call& c) { return c.state<State>().originals; }
stand_ins::Seen& stand_ins::seen(Call& c) { return c.state<State>().plain; }

namespace {

// `try: import yaml` — bound when it imports; an ImportError means the optional package is
// absent, anything else reaches the importer as it was raised.
bool import_optional_yaml(nb::handle module) {
    nb::object yaml = require_or_null(PyImport_ImportModule("yaml"), PyExc_ImportError);
    if (!yaml.is_valid()) return false;
    set_global(module, "yaml", yaml);
    return true;
}

// Binds, in order, the libraries as module globals, `_HAS_YAML`, the module logger `log`, then
// the functions.
void start(nb::handle module, State& state) {
    nb::object os = import_module("os");
    set_global(module, "os", os);
    nb::object re = import_module("re");
    set_global(module, "re", re);
    set_global(module, "json", import_module("json"));
    set_global(module, "shutil", import_module("shutil"));
    const bool has_yaml = import_optional_yaml(module);
    set_global(module, "_HAS_YAML", has_yaml ? Py_True : Py_False);
    set_global(module, "click", import_module("click"));
    set_global(module, "requests", import_module("requests"));
    set_global(module, "importlib", import_top_level("importlib.metadata"));
    set_global(module, "load_dotenv", import_from("dotenv", "load_dotenv"));
    set_global(module, "find_dotenv", import_from("dotenv", "find_dotenv"));
    nb::object chronicle = import_from("quillkit", "chronicle");
    set_global(module, "chronicle", chronicle);
    nb::object path_class = import_from("pathlib", "Path");
    set_global(module, "Path", path_class);
    stand_ins::capture(state.originals, state.plain, os, re, path_class);
    set_global(module, "log", call_method(chronicle, names::lazy_logger, {literal("cargohold")}));
    add_published_functions(module);
}

}  // namespace
}  // namespace quillkit::cargohold

PyMODINIT_FUNC PyInit_cargohold() {
    using namespace quillkit::cargohold;
    return quillkit::define_module<State, start>("quillkit.cargohold", nullptr);
}

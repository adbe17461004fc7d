// Start-up of quillkit.cargohold: binds the libraries it uses as module globals, in order, then
// publishes its 29 functions in the order of the function table.
#include "cargohold.hpp"

#include "../support/module.hpp"

namespace quillkit::cargohold {

nb::object choose_logger(Call& c, nb::handle logger) {
    if (truthy(logger)) return nb::borrow(logger);
    return c.global(globals::log);
}

bool standard_re_search(Call& c) {
    static Name search{"search"};
    const State& state = c.state<State>();
    nb::object re = c.global(globals::re);
    return state.re_search && re.ptr() == state.re_module && attr(re, search).ptr() == state.re_search;
}

namespace {

State& state_of(PyObject* module) { return *static_cast<State*>(PyModule_GetState(module)); }

// `try: import yaml` — bound when it imports; an ImportError means the optional package is
// absent, anything else reaches the importer as it was raised.
bool import_optional_yaml(nb::handle module) {
    PyObject* yaml = PyImport_ImportModule("yaml");
    if (!yaml) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw nb::python_error();
        PyErr_Clear();
        return false;
    }
    set_global(module, "yaml", nb::steal(yaml));
    return true;
}

int exec_module(PyObject* raw_module) noexcept {
    try {
        nb::handle module = raw_module;
        start_nanobind("quillkit.cargohold._nanobind");
        set_global(module, "os", import_module("os"));
        nb::object re = import_module("re");
        set_global(module, "re", re);
        state_of(raw_module).re_module = Py_NewRef(re.ptr());
        static Name search{"search"};
        state_of(raw_module).re_search = attr(re, search).release().ptr();
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
        set_global(module, "Path", import_from("pathlib", "Path"));
        static Name lazy_logger{"lazy_logger"};
        set_global(module, "log", call_method(chronicle, lazy_logger, {literal("cargohold")}));

        add_functions(module, {
                                  &kDownloadGithubContent,
                                  &kLoadLocalFileContent,
                                  &kSaveLocalFileContent,
                                  &kLoadOrDownloadContent,
                                  &kGetUserInputViaEditor,
                                  &kGetPackageNameVersion,
                                  &kGetPackageVersion,
                                  &kInteractiveSelectFiles,
                                  &kScanAndSelectFiles,
                                  &kDownloadAndSaveFromRegistry,
                                  &kGetUniquePath,
                                  &kSetupOutputDir,
                                  &kSetupOutputFile,
                                  &kFindFilesWithExtensions,
                                  &kSaveYamlTemplate,
                                  &kLoadYamlConfig,
                                  &kGetPathType,
                                  &kGetDirectoryList,
                                  &kLoadYamlString,
                                  &kReplaceFileExtension,
                                  &kExtractFilenameInfo,
                                  &kMatchFilename,
                                  &kForceMoveFile,
                                  &kRemoveDirectory,
                                  &kRemoveFile,
                                  &kLoadJsonConfig,
                                  &kExtractAndSaveCode,
                                  &kSelectOption,
                                  &kGetCliName,
                              });
        return 0;
    } catch (...) {
        restore_current_exception();
    }
    return -1;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    State& state = state_of(module);
    Py_VISIT(state.re_module);
    Py_VISIT(state.re_search);
    return 0;
}

int clear_module(PyObject* module) {
    State& state = state_of(module);
    Py_CLEAR(state.re_module);
    Py_CLEAR(state.re_search);
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
    "quillkit.cargohold",
    nullptr,  // no module docstring
    sizeof(State),
    nullptr,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace
}  // namespace quillkit::cargohold

PyMODINIT_FUNC PyInit_cargohold() { return PyModuleDef_Init(&quillkit::cargohold::module_definition); }

// Start-up helpers declared in module_startup.hpp.
#include "module_startup.hpp"
#include "interned_names.hpp"

namespace quillkit {

void start_nanobind(const char* extension_name) {
    static PyObject* anchor = nullptr;  // lives as long as the process, like nanobind's state
    if (anchor) return;
    nb::object module = require(PyModule_New(extension_name));
    if (!nb::register_module(module)) throw nb::python_error();
    anchor = module.release().ptr();
}

int start_module(PyObject* module, void (*start)(nb::handle module, void* state)) {
    return at_boundary(-1, [&] {
        const char* name = PyModule_GetName(module);
        if (!name) throw nb::python_error();
        if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
            // The interpreter's own wording, as an isolated sub-interpreter reports the refusal.
            raise(PyExc_ImportError, "module %s does not support loading in subinterpreters", name);
        }
        // Made once for the process and kept by nanobind and the type for as long.
        static const std::string anchor_name = std::string(name) + "._nanobind";
        static const std::string type_name = std::string(name) + ".function";
        start_nanobind(anchor_name.c_str());
        make_function_type(type_name.c_str());
        start(module, PyModule_GetState(module));
        return 0;
    });
}

nb::object import_top_level(const char* name) {
    nb::object text = require(PyUnicode_FromString(name));
    return require(PyImport_ImportModuleLevelObject(text.ptr(), nullptr, nullptr, nullptr, 0));
}

nb::object import_module(const char* name) { return require(PyImport_ImportModule(name)); }

nb::object import_from(const char* module, const char* name) {
    nb::object module_name = require(PyUnicode_FromString(module));
    nb::object wanted = require(PyUnicode_FromString(name));
    nb::object from_list = require(PyTuple_Pack(1, wanted.ptr()));
    nb::object found =
        require(PyImport_ImportModuleLevelObject(module_name.ptr(), nullptr, nullptr, from_list.ptr(), 0));
    nb::object value = require_or_null(PyObject_GetAttr(found.ptr(), wanted.ptr()), PyExc_AttributeError);
    if (value.is_valid()) return value;
    // The interpreter's wording for a `from ... import` of a name the module lacks; a module
    // without a file name (a SystemError) has an "unknown location".
    nb::object location = PyModule_Check(found.ptr())
                              ? require_or_null(PyModule_GetFilenameObject(found.ptr()), PyExc_SystemError)
                              : nb::object();
    nb::object message =
        location.is_valid() ? require(PyUnicode_FromFormat("cannot import name %R from %R (%S)", wanted.ptr(),
                                                           module_name.ptr(), location.ptr()))
                            : require(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)",
                                                           wanted.ptr(), module_name.ptr()));
    PyErr_SetImportError(message.ptr(), module_name.ptr(), location.ptr());
    throw nb::python_error();
}

void set_global(nb::handle module, const char* name, nb::handle value) {
    require_status(PyModule_AddObjectRef(module.ptr(), name, value.ptr()));
}

nb::object make_class(nb::handle module, const char* name, nb::handle bases, const char* doc,
                      std::vector<ClassEntry> body) {
    nb::object namespace_ = require(PyDict_New());
    nb::object module_name = attr(module, names::dunder_name);
    nb::object class_name = require(PyUnicode_FromString(name));
    require_status(PyDict_SetItemString(namespace_.ptr(), "__module__", module_name.ptr()));
    require_status(PyDict_SetItemString(namespace_.ptr(), "__qualname__", class_name.ptr()));
    if (doc) {
        nb::object text = require(PyUnicode_FromString(doc));
        require_status(PyDict_SetItemString(namespace_.ptr(), "__doc__", text.ptr()));
    }
    for (const ClassEntry& entry : body) {
        require_status(PyDict_SetItemString(namespace_.ptr(), entry.first, entry.second.ptr()));
    }
    return call(reinterpret_cast<PyObject*>(&PyType_Type), {class_name, bases, namespace_});
}

nb::object make_property(nb::handle getter) {
    return call(reinterpret_cast<PyObject*>(&PyProperty_Type), {getter});
}

}  // namespace quillkit

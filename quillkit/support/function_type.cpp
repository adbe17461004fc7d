// The callable type's attributes and introspection (`__name__`, `__defaults__`,
// `__signature__` and the rest), method binding through `__get__`, and the type object itself.
// The type's `__module__` is its module's name, as a class's is; a function's is its own field.
// The type has Py_TPFLAGS_METHOD_DESCRIPTOR, so `obj.method(...)` on a class that holds one of
// these calls it with `self` first and makes no bound method.
#include "function_object.hpp"
#include "interned_names.hpp"

#include <structmember.h>

namespace quillkit {

namespace {

// A field the collector may have cleared reads as None.
PyObject* field_or_none(PyObject* field) { return Py_NewRef(field ? field : Py_None); }

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->name); }
PyObject* get_qualname(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}

int set_text(PyObject** field, PyObject* value, const char* attribute) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
        return -1;
    }
    Py_XSETREF(*field, Py_NewRef(value));
    return 0;
}
int set_name(PyObject* self, PyObject* value, void*) {
    return set_text(&reinterpret_cast<FunctionObject*>(self)->name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(&reinterpret_cast<FunctionObject*>(self)->qualname, value, "__qualname__");
}

PyObject* get_defaults(PyObject* self, void*) {
    PyObject* defaults = reinterpret_cast<FunctionObject*>(self)->defaults;
    return Py_NewRef(defaults ? defaults : Py_None);
}

PyObject* get_kwdefaults(PyObject* raw, void*) {
    auto* self = reinterpret_cast<FunctionObject*>(raw);
    PyObject* result = nullptr;
    for (Py_ssize_t index = self->positional_count; index < self->named_count; ++index) {
        if (!self->default_values[index]) continue;
        if (!result) {
            result = PyDict_New();
            if (!result) return nullptr;
        }
        if (PyDict_SetItem(result, self->names[index], self->default_values[index]) < 0) {
            Py_DECREF(result);
            return nullptr;
        }
    }
    return result ? result : Py_NewRef(Py_None);
}

PyObject* get_annotations(PyObject* raw, void*) {
    auto* self = reinterpret_cast<FunctionObject*>(raw);
    if (!self->annotations) {
        self->annotations = PyDict_New();
        if (!self->annotations) return nullptr;
    }
    return Py_NewRef(self->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (!value || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<FunctionObject*>(self)->annotations, Py_NewRef(value));
    return 0;
}

PyObject* get_doc(PyObject* self, void*) {
    return field_or_none(reinterpret_cast<FunctionObject*>(self)->doc);
}
int set_doc(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(reinterpret_cast<FunctionObject*>(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* get_module_name(PyObject* self, void*) {
    return field_or_none(reinterpret_cast<FunctionObject*>(self)->module_name);
}
int set_module_name(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(reinterpret_cast<FunctionObject*>(self)->module_name, Py_NewRef(value ? value : Py_None));
    return 0;
}

// True when `name` is "__module__". The type's dict holds the type's own `__module__` text under
// that key (a descriptor there would be what `type(f).__module__` gives), so a function's
// `__module__` is read and set here, before the generic look-up would find the type's text.
bool is_module_attribute(PyObject* name) {
    return PyUnicode_Check(name) && PyUnicode_GET_LENGTH(name) == 10 &&
           PyUnicode_CompareWithASCIIString(name, "__module__") == 0;
}
// `self.name`: `__module__` from the function's field, anything else as the generic look-up finds it.
PyObject* function_getattro(PyObject* self, PyObject* name) {
    if (is_module_attribute(name)) return get_module_name(self, nullptr);
    return PyObject_GenericGetAttr(self, name);
}
int function_setattro(PyObject* self, PyObject* name, PyObject* value) {
    if (is_module_attribute(name)) return set_module_name(self, value, nullptr);
    return PyObject_GenericSetAttr(self, name, value);
}

PyObject* get_globals(PyObject* self, void*) {
    return field_or_none(reinterpret_cast<FunctionObject*>(self)->globals);
}

// The inspect.Parameter for `param`, with its default when it has one (`default_value`).
nb::object make_parameter(nb::handle parameter_type, const Param& param, PyObject* default_value) {
    const Name* kind = &names::POSITIONAL_OR_KEYWORD;
    if (param.kind == Kind::keyword_only) kind = &names::KEYWORD_ONLY;
    if (param.kind == Kind::var_positional) kind = &names::VAR_POSITIONAL;
    if (param.kind == Kind::var_keyword) kind = &names::VAR_KEYWORD;
    nb::object name = require(PyUnicode_FromString(param.name));
    nb::object kind_value = attr(parameter_type, *kind);
    nb::object annotation = param.annotation ? require(PyUnicode_FromString(param.annotation))
                                             : attr(parameter_type, names::empty);
    if (!default_value) return call(parameter_type, {name, kind_value}, {{names::annotation, annotation}});
    return call(parameter_type, {name, kind_value},
                {{names::default_, default_value}, {names::annotation, annotation}});
}

// The inspect.Signature of the declaration; `inspect.signature` reads it from __signature__.
nb::object make_signature(const FunctionObject* self) {
    nb::object inspect = require(PyImport_Import(names::inspect.ptr()));
    nb::object parameter_type = attr(inspect, names::Parameter);
    nb::object parameters = require(PyList_New(0));
    Py_ssize_t slot = 0;
    for (const Param& param : *self->declaration) {
        PyObject* default_value = param.is_named() ? self->default_values[slot++] : nullptr;
        nb::object parameter = make_parameter(parameter_type, param, default_value);
        require_status(PyList_Append(parameters.ptr(), parameter.ptr()));
    }
    nb::object signature_type = attr(inspect, names::Signature);
    const char* returns = self->declaration->returns.annotation;
    nb::object result_annotation =
        returns ? require(PyUnicode_FromString(returns)) : attr(signature_type, names::empty);
    return call(signature_type, {parameters}, {{names::return_annotation, result_annotation}});
}

PyObject* get_signature(PyObject* raw, void*) {
    auto* self = reinterpret_cast<FunctionObject*>(raw);
    return at_boundary<PyObject*>(nullptr, [&] {
        if (!self->signature) {
            nb::object made = make_signature(self);
            // Making it ran Python code, which may have set one meanwhile.
            if (!self->signature) self->signature = made.release().ptr();
        }
        return Py_NewRef(self->signature);
    });
}
int set_signature(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(reinterpret_cast<FunctionObject*>(self)->signature, Py_XNewRef(value));
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, set_signature, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickling and copying refer to the function by its qualified name, as for Python functions.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<FunctionObject*>(self)->qualname,
                                self);
}

// Binding as a method: the function itself from the class, a bound method from an instance.
PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (!instance || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

// Like the interpreter's own functions, every object held is visited, the names included (a
// str subclass set as __name__ can close a cycle).
int function_traverse(PyObject* raw, visitproc visit, void* arg) {
    auto* self = reinterpret_cast<FunctionObject*>(raw);
    Py_VISIT(Py_TYPE(raw));
    Py_VISIT(self->name);
    Py_VISIT(self->qualname);
    Py_VISIT(self->module);
    Py_VISIT(self->globals);
    Py_VISIT(self->doc);
    Py_VISIT(self->module_name);
    Py_VISIT(self->defaults);
    Py_VISIT(self->annotations);
    Py_VISIT(self->signature);
    Py_VISIT(self->dict);
    for (PyObject* value : self->default_values) Py_VISIT(value);
    for (PyObject* cell : self->cells) Py_VISIT(cell);
    return 0;
}

// The names become empty texts rather than NULL, so the attributes stay readable.
int function_clear(PyObject* raw) {
    auto* self = reinterpret_cast<FunctionObject*>(raw);
    PyObject* empty = PyUnicode_FromStringAndSize(nullptr, 0);  // never fails: a singleton
    Py_XSETREF(self->name, Py_XNewRef(empty));
    Py_XSETREF(self->qualname, empty);
    Py_CLEAR(self->module);
    Py_CLEAR(self->globals);
    Py_CLEAR(self->doc);
    Py_CLEAR(self->module_name);
    Py_CLEAR(self->defaults);
    Py_CLEAR(self->annotations);
    Py_CLEAR(self->signature);
    Py_CLEAR(self->dict);
    for (PyObject*& value : self->default_values) Py_CLEAR(value);
    for (PyObject*& cell : self->cells) Py_CLEAR(cell);
    return 0;
}

void function_dealloc(PyObject* raw) {
    auto* self = reinterpret_cast<FunctionObject*>(raw);
    PyTypeObject* type = Py_TYPE(raw);
    PyObject_GC_UnTrack(raw);
    if (self->weakrefs) PyObject_ClearWeakRefs(raw);
    function_clear(raw);
    Py_CLEAR(self->name);
    Py_CLEAR(self->qualname);
    for (PyObject*& name : self->names) Py_CLEAR(name);
    PyObject_GC_Del(raw);
    Py_DECREF(type);
}

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getattro, reinterpret_cast<void*>(function_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(function_setattro)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyTypeObject* the_function_type = nullptr;  // this module's, made once for the process

}  // namespace

void make_function_type(const char* qualified_name) {
    if (the_function_type) return;
    PyType_Spec spec = {
        qualified_name,
        sizeof(FunctionObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
            Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
        function_slots,
    };
    the_function_type = reinterpret_cast<PyTypeObject*>(require(PyType_FromSpec(&spec)).release().ptr());
}

PyTypeObject* function_type() {
    if (!the_function_type) {
        // Start-up makes it first; reaching here means a module forgot to.
        PyErr_SetString(PyExc_SystemError, "the function type was not made");
        throw nb::python_error();
    }
    return the_function_type;
}

}  // namespace quillkit

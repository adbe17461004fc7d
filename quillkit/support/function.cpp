// The callable type: binding, argument rules, attributes and introspection.
//
// The entry point is a vectorcall (PEP 590). Binding lays the arguments out in parameter order on
// the C stack and allocates nothing unless a rule converts a value; error texts are those the
// interpreter gives for a Python function of the same signature. The type has
// Py_TPFLAGS_METHOD_DESCRIPTOR, so `obj.method(...)` on a class that holds one of these calls it
// with `self` first and makes no bound method.
#include "function.hpp"

#include <structmember.h>

#include <algorithm>
#include <cstring>

namespace quillkit {

namespace {

constexpr size_t kMaxParameters = 16;

}  // namespace

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Function* declaration;
    PyObject* module;
    PyObject* globals;
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* doc;
    PyObject* defaults;     // tuple of the defaults of the trailing normal parameters, or NULL
    PyObject* annotations;  // dict
    PyObject* signature;    // inspect.Signature, made on first request
    PyObject* dict;
    PyObject* weakrefs;
    Py_ssize_t positional_count;  // normal parameters
    Py_ssize_t named_count;       // normal and keyword-only parameters
    Py_ssize_t first_default;     // the first normal parameter with a default
    bool has_var_positional;
    bool has_var_keyword;
    bool none_allowed[kMaxParameters];             // exact-type rules that also take None
    const Param* named[kMaxParameters];            // named parameters in slot order
    PyObject* names[kMaxParameters];               // their interned names
    PyObject* default_values[kMaxParameters];      // owned; NULL where required
};

// ---------------------------------------------------------------------------------------------
// Defaults

nb::object Constant::make() const {
    switch (tag_) {
        case Tag::none: return nb::none();
        case Tag::boolean: return nb::borrow(number_ ? Py_True : Py_False);
        case Tag::integer: return require(PyLong_FromLongLong(number_));
        case Tag::text: return require(PyUnicode_FromString(text_));
    }
    return nb::none();
}

nb::object Default::make() const {
    if (shape_ == Shape::single) return items_[0].make();
    nb::object tuple = require(PyTuple_New(count_));
    for (uint8_t index = 0; index < count_; ++index) {
        PyTuple_SET_ITEM(tuple.ptr(), index, items_[index].make().release().ptr());
    }
    return tuple;
}

// ---------------------------------------------------------------------------------------------
// Binding

namespace {

// The slot of the named parameter called `keyword`, or -1. Names are interned, so identity
// almost always decides; equality covers keywords built at run time.
Py_ssize_t find_parameter(const FunctionObject* self, PyObject* keyword) {
    for (Py_ssize_t index = 0; index < self->named_count; ++index) {
        if (self->names[index] == keyword) return index;
    }
    for (Py_ssize_t index = 0; index < self->named_count; ++index) {
        int equal = PyObject_RichCompareBool(keyword, self->names[index], Py_EQ);
        if (equal < 0) return -2;
        if (equal) return index;
    }
    return -1;
}

Py_NO_INLINE void report_too_many_positional(const FunctionObject* self, Py_ssize_t given,
                                             PyObject* const* slots) {
    Py_ssize_t keyword_only_given = 0;
    for (Py_ssize_t index = self->positional_count; index < self->named_count; ++index) {
        if (slots[index]) ++keyword_only_given;
    }
    const Py_ssize_t default_count = self->positional_count - self->first_default;
    nb::object accepted;
    bool plural;
    if (default_count) {
        plural = true;
        accepted = require(PyUnicode_FromFormat("from %zd to %zd", self->first_default,
                                                self->positional_count));
    } else {
        plural = self->positional_count != 1;
        accepted = require(PyUnicode_FromFormat("%zd", self->positional_count));
    }
    nb::object keyword_only_note;
    if (keyword_only_given) {
        keyword_only_note = require(PyUnicode_FromFormat(
            " positional argument%s (and %zd keyword-only argument%s)", given != 1 ? "s" : "",
            keyword_only_given, keyword_only_given != 1 ? "s" : ""));
    } else {
        keyword_only_note = nb::borrow(literal(""));
    }
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given",
                 self->qualname, accepted.ptr(), plural ? "s" : "", given,
                 keyword_only_note.ptr(), given == 1 && !keyword_only_given ? "was" : "were");
}

// Reports the parameters in [begin, end) that have no value, as the interpreter words it.
Py_NO_INLINE void report_missing(const FunctionObject* self, PyObject* const* slots,
                                 Py_ssize_t begin, Py_ssize_t end, const char* kind) {
    try {
        std::vector<nb::object> missing;
        for (Py_ssize_t index = begin; index < end; ++index) {
            if (!slots[index]) missing.push_back(require(PyObject_Repr(self->names[index])));
        }
        const size_t count = missing.size();
        nb::object listed;
        if (count == 1) {
            listed = missing[0];
        } else if (count == 2) {
            listed = require(PyUnicode_FromFormat("%U and %U", missing[0].ptr(), missing[1].ptr()));
        } else {
            nb::object head = require(PyList_New(0));
            for (size_t index = 0; index + 2 < count; ++index) {
                require_status(PyList_Append(head.ptr(), missing[index].ptr()));
            }
            nb::object joined = require(PyUnicode_Join(literal(", ").ptr(), head.ptr()));
            listed = require(PyUnicode_FromFormat("%U, %U, and %U", joined.ptr(),
                                                  missing[count - 2].ptr(),
                                                  missing[count - 1].ptr()));
        }
        PyErr_Format(PyExc_TypeError, "%U() missing %zd required %s argument%s: %U",
                     self->qualname, static_cast<Py_ssize_t>(count), kind,
                     count == 1 ? "" : "s", listed.ptr());
    } catch (nb::python_error& error) {
        error.restore();
    }
}

// Places positional and keyword arguments in parameter order and fills defaults, with the
// interpreter's checks in the interpreter's order. False with an error set on failure.
bool bind(const FunctionObject* self, PyObject* const* args, Py_ssize_t nargs,
          PyObject* keyword_names, PyObject** slots) {
    const Py_ssize_t direct = std::min(nargs, self->positional_count);
    for (Py_ssize_t index = 0; index < direct; ++index) slots[index] = args[index];

    if (keyword_names) {
        const Py_ssize_t keyword_count = PyTuple_GET_SIZE(keyword_names);
        for (Py_ssize_t position = 0; position < keyword_count; ++position) {
            PyObject* keyword = PyTuple_GET_ITEM(keyword_names, position);
            if (!PyUnicode_Check(keyword)) {
                PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", self->qualname);
                return false;
            }
            const Py_ssize_t slot = find_parameter(self, keyword);
            if (slot == -2) return false;
            if (slot < 0) {
                if (self->has_var_keyword) continue;
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                             self->qualname, keyword);
                return false;
            }
            if (slots[slot]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                             self->qualname, keyword);
                return false;
            }
            slots[slot] = args[nargs + position];
        }
    }

    if (nargs > self->positional_count && !self->has_var_positional) {
        report_too_many_positional(self, nargs, slots);
        return false;
    }
    if (nargs < self->positional_count) {
        for (Py_ssize_t index = nargs; index < self->first_default; ++index) {
            if (!slots[index]) {
                report_missing(self, slots, nargs, self->first_default, "positional");
                return false;
            }
        }
        for (Py_ssize_t index = std::max(nargs, self->first_default);
             index < self->positional_count; ++index) {
            if (!slots[index]) slots[index] = self->default_values[index];
        }
    }
    bool keyword_only_missing = false;
    for (Py_ssize_t index = self->positional_count; index < self->named_count; ++index) {
        if (slots[index]) continue;
        if (self->default_values[index]) {
            slots[index] = self->default_values[index];
        } else {
            keyword_only_missing = true;
        }
    }
    if (keyword_only_missing) {
        // Defaults were placed first, so only the truly missing ones remain empty.
        report_missing(self, slots, self->positional_count, self->named_count, "keyword-only");
        return false;
    }
    return true;
}

const char* rule_type_name(Rule rule) {
    switch (rule) {
        case Rule::str: return "str";
        case Rule::list: return "list";
        case Rule::tuple: return "tuple";
        case Rule::dict: return "dict";
        case Rule::integer: return "int";
        case Rule::any: break;
    }
    return "object";
}

bool has_exact_type(PyObject* value, Rule rule) {
    switch (rule) {
        case Rule::str: return PyUnicode_CheckExact(value);
        case Rule::list: return PyList_CheckExact(value);
        case Rule::tuple: return PyTuple_CheckExact(value);
        case Rule::dict: return PyDict_CheckExact(value);
        case Rule::integer: return PyLong_CheckExact(value);
        case Rule::any: return true;
    }
    return true;
}

Py_NO_INLINE void raise_argument_type(const char* name, Rule rule, PyObject* value) {
    raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
          name, rule_type_name(rule), Py_TYPE(value)->tp_name);
}

// A number converted as int() converts it: anything with __int__ or __index__.
Py_NO_INLINE nb::object convert_integer(const Param& param, PyObject* value) {
    PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    if (!number || (!number->nb_int && !number->nb_index)) {
        raise_argument_type(param.name, Rule::integer, value);
    }
    return require(PyNumber_Long(value));
}

// The values that argument rules made (an int from a float, say), released after the call.
class Converted {
public:
    Converted() = default;
    Converted(const Converted&) = delete;
    Converted& operator=(const Converted&) = delete;
    ~Converted() {
        for (int index = 0; index < count_; ++index) Py_DECREF(values_[index]);
    }
    PyObject* keep(nb::object value) { return values_[count_++] = value.release().ptr(); }

private:
    PyObject* values_[kMaxParameters];
    int count_ = 0;
};

// Applies the argument rules in parameter order.
void check_arguments(const FunctionObject* self, PyObject** slots, Converted& converted) {
    for (Py_ssize_t index = 0; index < self->named_count; ++index) {
        const Param& param = *self->named[index];
        if (param.rule == Rule::any) continue;
        PyObject* value = slots[index];
        if (has_exact_type(value, param.rule)) continue;
        if (value == Py_None && self->none_allowed[index]) continue;
        if (param.rule == Rule::integer) {
            slots[index] = converted.keep(convert_integer(param, value));
            continue;
        }
        raise_argument_type(param.name, param.rule, value);
    }
}

void check_result(const FunctionObject* self, const nb::object& result) {
    const Rule rule = self->declaration->returns.rule;
    if (rule == Rule::any || result.is_none() || has_exact_type(result.ptr(), rule)) return;
    raise(PyExc_TypeError, "Expected %s, got %.200s", rule_type_name(rule),
          Py_TYPE(result.ptr())->tp_name);
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* keyword_names) noexcept {
    auto* self = reinterpret_cast<FunctionObject*>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // Only the slots in use are cleared: this is the hot path of every call.
    PyObject* slots[kMaxParameters];
    for (Py_ssize_t index = 0; index < self->named_count; ++index) slots[index] = nullptr;
    if (!bind(self, args, nargs, keyword_names, slots)) return nullptr;
    try {
        Converted converted;
        check_arguments(self, slots, converted);
        const Py_ssize_t direct = std::min(nargs, self->positional_count);
        Call call(self, args + direct, nargs - direct, args + nargs, keyword_names);
        nb::object result = self->declaration->run(call, slots);
        if (!result.is_valid()) {
            raise(PyExc_SystemError, "%U() returned no result", self->qualname);
        }
        check_result(self, result);
        return result.release().ptr();
    } catch (nb::python_error& error) {
        error.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Attributes

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
        if (!result && !(result = PyDict_New())) return nullptr;
        if (PyDict_SetItem(result, self->names[index], self->default_values[index]) < 0) {
            Py_DECREF(result);
            return nullptr;
        }
    }
    return result ? result : Py_NewRef(Py_None);
}

PyObject* get_annotations(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (!value || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<FunctionObject*>(self)->annotations, Py_NewRef(value));
    return 0;
}

PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(reinterpret_cast<FunctionObject*>(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* get_module_name(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->module_name);
}
int set_module_name(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(reinterpret_cast<FunctionObject*>(self)->module_name,
               Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* get_globals(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->globals);
}

// The inspect.Signature of the declaration; `inspect.signature` reads it from __signature__.
nb::object make_signature(const FunctionObject* self) {
    static Name inspect_name{"inspect"}, parameter_name{"Parameter"}, signature_name{"Signature"},
        kind_normal{"POSITIONAL_OR_KEYWORD"}, kind_keyword_only{"KEYWORD_ONLY"},
        kind_var_positional{"VAR_POSITIONAL"}, kind_var_keyword{"VAR_KEYWORD"},
        default_name{"default"}, annotation_name{"annotation"},
        return_annotation{"return_annotation"}, empty_name{"empty"};
    nb::object inspect = require(PyImport_Import(inspect_name.ptr()));
    nb::object parameter_type = attr(inspect, parameter_name);
    nb::object parameters = require(PyList_New(0));
    Py_ssize_t slot = 0;
    for (const Param& param : self->declaration->params) {
        const Name* kind = &kind_normal;
        if (param.kind == Kind::keyword_only) kind = &kind_keyword_only;
        if (param.kind == Kind::var_positional) kind = &kind_var_positional;
        if (param.kind == Kind::var_keyword) kind = &kind_var_keyword;
        nb::object name = require(PyUnicode_FromString(param.name));
        nb::object kind_value = attr(parameter_type, *kind);
        nb::object annotation = param.annotation
                                    ? require(PyUnicode_FromString(param.annotation))
                                    : attr(parameter_type, empty_name);
        nb::object parameter;
        const bool named = param.kind == Kind::normal || param.kind == Kind::keyword_only;
        PyObject* default_value = named ? self->default_values[slot] : nullptr;
        if (named) ++slot;
        if (default_value) {
            parameter = call(parameter_type, {name, kind_value},
                             {{default_name, default_value}, {annotation_name, annotation}});
        } else {
            parameter = call(parameter_type, {name, kind_value}, {{annotation_name, annotation}});
        }
        require_status(PyList_Append(parameters.ptr(), parameter.ptr()));
    }
    nb::object signature_type = attr(inspect, signature_name);
    const char* returns = self->declaration->returns.annotation;
    nb::object result_annotation = returns ? require(PyUnicode_FromString(returns))
                                           : attr(signature_type, empty_name);
    return call(signature_type, {parameters}, {{return_annotation, result_annotation}});
}

PyObject* get_signature(PyObject* raw, void*) {
    auto* self = reinterpret_cast<FunctionObject*>(raw);
    if (!self->signature) {
        try {
            self->signature = make_signature(self).release().ptr();
        } catch (nb::python_error& error) {
            error.restore();
            return nullptr;
        }
    }
    return Py_NewRef(self->signature);
}
int set_signature(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(reinterpret_cast<FunctionObject*>(self)->signature, Py_XNewRef(value));
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module_name, set_module_name, nullptr, nullptr},
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
    return PyUnicode_FromFormat("<function %U at %p>",
                                reinterpret_cast<FunctionObject*>(self)->qualname, self);
}

// Binding as a method: the function itself from the class, a bound method from an instance.
PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (!instance || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

int function_traverse(PyObject* raw, visitproc visit, void* arg) {
    auto* self = reinterpret_cast<FunctionObject*>(raw);
    Py_VISIT(Py_TYPE(raw));
    Py_VISIT(self->module);
    Py_VISIT(self->globals);
    Py_VISIT(self->doc);
    Py_VISIT(self->module_name);
    Py_VISIT(self->defaults);
    Py_VISIT(self->annotations);
    Py_VISIT(self->signature);
    Py_VISIT(self->dict);
    for (PyObject* value : self->default_values) Py_VISIT(value);
    return 0;
}

int function_clear(PyObject* raw) {
    auto* self = reinterpret_cast<FunctionObject*>(raw);
    Py_CLEAR(self->module);
    Py_CLEAR(self->globals);
    Py_CLEAR(self->doc);
    Py_CLEAR(self->module_name);
    Py_CLEAR(self->defaults);
    Py_CLEAR(self->annotations);
    Py_CLEAR(self->signature);
    Py_CLEAR(self->dict);
    for (PyObject*& value : self->default_values) Py_CLEAR(value);
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
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "quillkit.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

// The type, made once for the process; every module of this library shares it.
PyTypeObject* function_type() {
    static PyTypeObject* type = nullptr;
    if (!type) type = reinterpret_cast<PyTypeObject*>(require(PyType_FromSpec(&function_spec)).release().ptr());
    return type;
}

nb::object text_or_none(const char* text) {
    return text ? require(PyUnicode_FromString(text)) : nb::none();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Call

nb::handle Call::module() const { return function_->module; }

nb::object Call::global(const Name& name) const {
    PyObject* value = PyDict_GetItemWithError(function_->globals, name.ptr());
    if (value) return nb::borrow(value);
    if (PyErr_Occurred()) throw nb::python_error();
    value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name.ptr());
    if (value) return nb::borrow(value);
    if (PyErr_Occurred()) throw nb::python_error();
    raise(PyExc_NameError, "name '%U' is not defined", name.ptr());
}

bool Call::takes_keyword(PyObject* name) const {
    const Py_ssize_t slot = find_parameter(function_, name);
    if (slot == -2) throw nb::python_error();
    return slot >= 0;
}

// ---------------------------------------------------------------------------------------------
// Construction

nb::object make_function(nb::handle module, const Function& declaration, const char* owner) {
    PyTypeObject* type = function_type();
    auto* self = PyObject_GC_New(FunctionObject, type);
    if (!self) throw nb::python_error();
    // Zero everything after the header so a failure below can release a partial object.
    std::memset(reinterpret_cast<char*>(self) + sizeof(PyObject), 0,
                sizeof(FunctionObject) - sizeof(PyObject));
    nb::object result = nb::steal(reinterpret_cast<PyObject*>(self));
    PyObject_GC_Track(self);

    self->vectorcall = function_vectorcall;
    self->declaration = &declaration;
    self->module = Py_NewRef(module.ptr());
    PyObject* globals = PyModule_GetDict(module.ptr());  // borrowed
    if (!globals) throw nb::python_error();
    self->globals = Py_NewRef(globals);
    self->name = require(PyUnicode_FromString(declaration.name)).release().ptr();
    self->qualname = owner ? require(PyUnicode_FromFormat("%s.%s", owner, declaration.name)).release().ptr()
                           : Py_NewRef(self->name);
    static Name module_name_key{"__name__"};
    self->module_name = attr(module, module_name_key).release().ptr();
    self->doc = text_or_none(declaration.doc).release().ptr();

    nb::object annotations = require(PyDict_New());
    Py_ssize_t slot = 0;
    bool in_defaults = false;
    self->first_default = -1;
    for (const Param& param : declaration.params) {
        if (param.annotation) {
            nb::object text = require(PyUnicode_FromString(param.annotation));
            require_status(PyDict_SetItemString(annotations.ptr(), param.name, text.ptr()));
        }
        if (param.kind == Kind::var_positional) {
            self->has_var_positional = true;
            continue;
        }
        if (param.kind == Kind::var_keyword) {
            self->has_var_keyword = true;
            continue;
        }
        if (slot >= static_cast<Py_ssize_t>(kMaxParameters)) {
            raise(PyExc_SystemError, "%s() declares too many parameters", declaration.name);
        }
        self->named[slot] = &param;
        self->names[slot] = PyUnicode_InternFromString(param.name);
        if (!self->names[slot]) throw nb::python_error();
        self->none_allowed[slot] = param.value.is_none() ||
                                   (param.annotation && std::strncmp(param.annotation, "Optional[", 9) == 0);
        if (!param.value.is_required()) {
            self->default_values[slot] = param.value.make().release().ptr();
        }
        if (param.kind == Kind::normal) {
            if (!param.value.is_required()) {
                in_defaults = true;
                if (self->first_default < 0) self->first_default = slot;
            } else if (in_defaults) {
                raise(PyExc_SystemError, "%s(): a parameter without default follows one with a default",
                      declaration.name);
            }
            self->positional_count = slot + 1;
        }
        ++slot;
    }
    self->named_count = slot;
    if (self->first_default < 0) self->first_default = self->positional_count;
    if (static_cast<size_t>(slot) != declaration.arity) {
        raise(PyExc_SystemError, "%s(): the body takes %zu arguments for %zd parameters",
              declaration.name, declaration.arity, slot);
    }
    if (declaration.returns.annotation) {
        nb::object text = require(PyUnicode_FromString(declaration.returns.annotation));
        require_status(PyDict_SetItemString(annotations.ptr(), "return", text.ptr()));
    }
    self->annotations = annotations.release().ptr();

    if (self->first_default < self->positional_count) {
        const Py_ssize_t count = self->positional_count - self->first_default;
        PyObject* defaults = PyTuple_New(count);
        if (!defaults) throw nb::python_error();
        for (Py_ssize_t index = 0; index < count; ++index) {
            PyTuple_SET_ITEM(defaults, index, Py_NewRef(self->default_values[self->first_default + index]));
        }
        self->defaults = defaults;
    }
    return result;
}

bool is_function(nb::handle object, const Function& declaration) {
    return Py_IS_TYPE(object.ptr(), function_type()) &&
           reinterpret_cast<FunctionObject*>(object.ptr())->declaration == &declaration;
}

void add_functions(nb::handle module, std::initializer_list<const Function*> declarations) {
    for (const Function* declaration : declarations) {
        nb::object function = make_function(module, *declaration);
        require_status(PyModule_AddObjectRef(module.ptr(), declaration->name, function.ptr()));
    }
}

}  // namespace quillkit

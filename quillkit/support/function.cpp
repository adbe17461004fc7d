// The callable type: declarations' defaults, binding and argument rules, the call context, and
// the making of function objects.
//
// The entry point is a vectorcall (PEP 590). Binding lays the arguments out in parameter order on
// the C stack and allocates nothing unless a rule converts a value; error texts are those the
// interpreter gives for a Python function of the same signature.
#include "function_object.hpp"

#include <algorithm>
#include <cstring>

namespace quillkit {

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

// Names are interned, so identity almost always decides; equality covers keywords built at run
// time.
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

namespace {

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

}  // namespace

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* keyword_names) noexcept {
    auto* self = reinterpret_cast<FunctionObject*>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // One boundary for binding, its error reports and the body: whatever C++ exception any of
    // them throws becomes the pending Python error here.
    try {
        if (!self->module) {
            // The collector broke a cycle through this function; something still called it.
            raise(PyExc_SystemError, "a function of a module being torn down was called");
        }
        // Only the slots in use are cleared: this is the hot path of every call.
        PyObject* slots[kMaxParameters];
        for (Py_ssize_t index = 0; index < self->named_count; ++index) slots[index] = nullptr;
        if (!bind(self, args, nargs, keyword_names, slots)) throw nb::python_error();
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
    } catch (...) {
        restore_current_exception();
    }
    return nullptr;
}


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

nb::handle Call::cell(size_t index) const {
    if (index >= function_->cell_count) raise(PyExc_SystemError, "no closure cell %zu", index);
    return function_->cells[index];
}

void Call::set_cell(size_t index, nb::handle value) const {
    if (index >= function_->cell_count) raise(PyExc_SystemError, "no closure cell %zu", index);
    Py_XSETREF(function_->cells[index], Py_XNewRef(value.ptr()));
}

bool Call::takes_keyword(PyObject* name) const {
    const Py_ssize_t slot = find_parameter(function_, name);
    if (slot == -2) throw nb::python_error();
    return slot >= 0;
}


namespace {

nb::object text_or_none(const char* text) {
    return text ? require(PyUnicode_FromString(text)) : nb::none();
}

}  // namespace

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

nb::object make_closure(nb::handle module, const Function& declaration, const char* owner,
                        std::initializer_list<nb::handle> cells) {
    if (cells.size() > kMaxCells) {
        raise(PyExc_SystemError, "%s() captures more than %zu cells", declaration.name, kMaxCells);
    }
    nb::object function = make_function(module, declaration, owner);
    auto* self = reinterpret_cast<FunctionObject*>(function.ptr());
    for (nb::handle cell : cells) self->cells[self->cell_count++] = Py_XNewRef(cell.ptr());
    return function;
}

nb::handle closure_cell(nb::handle function, size_t index) {
    auto* self = reinterpret_cast<FunctionObject*>(function.ptr());
    if (!Py_IS_TYPE(function.ptr(), function_type()) || index >= self->cell_count) {
        raise(PyExc_SystemError, "no closure cell %zu", index);
    }
    return self->cells[index];
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

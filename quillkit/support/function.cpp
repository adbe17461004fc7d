// The callable type: declarations' defaults, binding and argument rules, the call context, and
// the making of function objects.
//
// The entry point is a vectorcall (PEP 590). Binding lays the arguments out in parameter order on
// the C stack and allocates nothing unless a rule converts a value; error texts are those the
// interpreter gives for a Python function of the same signature.
#include "function_object.hpp"
#include "interned_names.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace quillkit {

void declaration_does_not_match_its_body(const char*) {}

// ---------------------------------------------------------------------------------------------
// Defaults

nb::object Constant::make() const {
    switch (tag_) {
        case Tag::none:
            return nb::none();
        case Tag::boolean:
            return nb::borrow(number_ ? Py_True : Py_False);
        case Tag::integer:
            return require(PyLong_FromLongLong(number_));
        case Tag::text:
            return require(PyUnicode_FromString(text_));
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
        const int equal = require_status(PyObject_RichCompareBool(keyword, self->names[index], Py_EQ));
        if (equal) return index;
    }
    return -1;
}

namespace {

// "s" after a count other than one.
const char* plural(Py_ssize_t count) { return count == 1 ? "" : "s"; }

Py_NO_INLINE void report_too_many_positional(const FunctionObject* self, Py_ssize_t given,
                                             PyObject* const* slots) {
    Py_ssize_t keyword_only_given = 0;
    for (Py_ssize_t index = self->positional_count; index < self->named_count; ++index) {
        if (slots[index]) ++keyword_only_given;
    }
    const bool has_defaults = self->first_default < self->positional_count;
    nb::object accepted =
        has_defaults
            ? require(PyUnicode_FromFormat("from %zd to %zd", self->first_default, self->positional_count))
            : require(PyUnicode_FromFormat("%zd", self->positional_count));
    nb::object keyword_only_note =
        keyword_only_given
            ? require(PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only argument%s)",
                                           plural(given), keyword_only_given, plural(keyword_only_given)))
            : nb::borrow(literal(""));
    raise(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given", self->qualname,
          accepted.ptr(), has_defaults ? "s" : plural(self->positional_count), given, keyword_only_note.ptr(),
          given == 1 && !keyword_only_given ? "was" : "were");
}

// The names in `missing`, as the interpreter lists them: 'a', 'a' and 'b', 'a', 'b', and 'c'.
nb::object list_names(const std::vector<nb::object>& missing) {
    const size_t count = missing.size();
    if (count == 1) return missing[0];
    if (count == 2) return require(PyUnicode_FromFormat("%U and %U", missing[0].ptr(), missing[1].ptr()));
    nb::object head = require(PyList_New(0));
    for (size_t index = 0; index + 2 < count; ++index) {
        require_status(PyList_Append(head.ptr(), missing[index].ptr()));
    }
    nb::object joined = require(PyUnicode_Join(literal(", ").ptr(), head.ptr()));
    return require(PyUnicode_FromFormat("%U, %U, and %U", joined.ptr(), missing[count - 2].ptr(),
                                        missing[count - 1].ptr()));
}

// Reports the parameters in [begin, end) that have no value, as the interpreter words it.
Py_NO_INLINE void report_missing(const FunctionObject* self, PyObject* const* slots, Py_ssize_t begin,
                                 Py_ssize_t end, const char* kind) {
    std::vector<nb::object> missing;
    for (Py_ssize_t index = begin; index < end; ++index) {
        if (!slots[index]) missing.push_back(require(PyObject_Repr(self->names[index])));
    }
    const Py_ssize_t count = static_cast<Py_ssize_t>(missing.size());
    raise(PyExc_TypeError, "%U() missing %zd required %s argument%s: %U", self->qualname, count, kind,
          plural(count), list_names(missing).ptr());
}

// Places each keyword argument in its parameter's slot, noting where it was in `placed`; those
// no parameter takes stay for `**kwargs`, or are refused.
void place_keywords(const FunctionObject* self, PyObject* const* values, PyObject* keyword_names,
                    PyObject** slots, PlacedKeywords& placed) {
    const Py_ssize_t keyword_count = PyTuple_GET_SIZE(keyword_names);
    for (Py_ssize_t position = 0; position < keyword_count; ++position) {
        PyObject* keyword = PyTuple_GET_ITEM(keyword_names, position);
        if (!PyUnicode_Check(keyword))
            raise(PyExc_TypeError, "%U() keywords must be strings", self->qualname);
        const Py_ssize_t slot = find_parameter(self, keyword);
        if (slot < 0) {
            if (self->has_var_keyword) continue;
            raise(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", self->qualname, keyword);
        }
        if (slots[slot])
            raise(PyExc_TypeError, "%U() got multiple values for argument '%S'", self->qualname, keyword);
        slots[slot] = values[position];
        placed.positions[placed.count++] = position;  // a second value for a slot was refused
    }
}

// Fills the empty slots from the defaults, after the interpreter's checks for missing ones.
void fill_defaults(const FunctionObject* self, Py_ssize_t nargs, PyObject** slots) {
    for (Py_ssize_t index = nargs; index < self->first_default; ++index) {
        if (!slots[index]) report_missing(self, slots, nargs, self->first_default, "positional");
    }
    for (Py_ssize_t index = std::max(nargs, self->first_default); index < self->positional_count; ++index) {
        if (!slots[index]) slots[index] = self->default_values[index];
    }
    bool keyword_only_missing = false;
    for (Py_ssize_t index = self->positional_count; index < self->named_count; ++index) {
        if (slots[index]) continue;
        slots[index] = self->default_values[index];
        keyword_only_missing = keyword_only_missing || !slots[index];
    }
    // Defaults were placed first, so only the truly missing ones remain empty.
    if (keyword_only_missing)
        report_missing(self, slots, self->positional_count, self->named_count, "keyword-only");
}

// Places positional and keyword arguments in parameter order and fills defaults, with the
// interpreter's checks in the interpreter's order.
void bind(const FunctionObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* keyword_names,
          PyObject** slots, PlacedKeywords& placed) {
    const Py_ssize_t direct = std::min(nargs, self->positional_count);
    for (Py_ssize_t index = 0; index < direct; ++index) slots[index] = args[index];
    if (keyword_names) place_keywords(self, args + nargs, keyword_names, slots, placed);
    if (nargs > self->positional_count && !self->has_var_positional) {
        report_too_many_positional(self, nargs, slots);
    }
    fill_defaults(self, nargs, slots);
}

const char* rule_type_name(Rule rule) {
    switch (rule) {
        case Rule::str:
            return "str";
        case Rule::list:
            return "list";
        case Rule::tuple:
            return "tuple";
        case Rule::dict:
            return "dict";
        case Rule::integer:
            return "int";
        case Rule::any:
            break;
    }
    return "object";
}

bool has_exact_type(PyObject* value, Rule rule) {
    switch (rule) {
        case Rule::str:
            return PyUnicode_CheckExact(value);
        case Rule::list:
            return PyList_CheckExact(value);
        case Rule::tuple:
            return PyTuple_CheckExact(value);
        case Rule::dict:
            return PyDict_CheckExact(value);
        case Rule::integer:
            return PyLong_CheckExact(value);
        case Rule::any:
            return true;
    }
    return true;
}

Py_NO_INLINE void raise_argument_type(const char* name, Rule rule, PyObject* value) {
    raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
          rule_type_name(rule), Py_TYPE(value)->tp_name);
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
        if (count_ == 0 || !may_release()) return;  // a thread being ended leaves them (references.hpp)
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
    raise(PyExc_TypeError, "Expected %s, got %.200s", rule_type_name(rule), Py_TYPE(result.ptr())->tp_name);
}

}  // namespace

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* keyword_names) {
    auto* self = reinterpret_cast<FunctionObject*>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // One boundary for binding, its error reports and the body: whatever C++ exception any of
    // them throws becomes the pending Python error here.
    return at_boundary<PyObject*>(nullptr, [&] {
        if (!self->module) {
            // The collector broke a cycle through this function; something still called it.
            raise(PyExc_SystemError, "a function of a module being torn down was called");
        }
        // Only the slots in use are cleared: this is the hot path of every call.
        PyObject* slots[kMaxParameters];
        for (Py_ssize_t index = 0; index < self->named_count; ++index) slots[index] = nullptr;
        PlacedKeywords placed;
        bind(self, args, nargs, keyword_names, slots, placed);
        Converted converted;
        check_arguments(self, slots, converted);
        const Py_ssize_t direct = std::min(nargs, self->positional_count);
        Call call(self, VarPositional(args + direct, nargs - direct),
                  VarKeyword(args + nargs, keyword_names, placed));
        nb::object result = self->declaration->body.invoke(call, slots);
        if (!result.is_valid()) raise(PyExc_SystemError, "%U() returned no result", self->qualname);
        check_result(self, result);
        return result.release().ptr();
    });
}

// ---------------------------------------------------------------------------------------------
// Call and its views of *args and **kwargs

nb::handle Call::module() const { return function_->module; }

nb::object Call::global(const Name& name) const {
    nb::handle value = dict_item(function_->globals, name.handle());
    if (!value.is_valid()) value = dict_item(PyEval_GetBuiltins(), name.handle());
    if (value.is_valid()) return nb::borrow(value);
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

nb::object VarPositional::tuple() const {
    nb::object result = require(PyTuple_New(count_));
    for (Py_ssize_t index = 0; index < count_; ++index) {
        PyTuple_SET_ITEM(result.ptr(), index, Py_NewRef(items_[index]));
    }
    return result;
}

nb::handle VarKeyword::find(const Name& name) const {
    nb::handle found;
    for_each([&](nb::handle key, nb::handle value) {
        if (!found.is_valid() && require_status(PyObject_RichCompareBool(key.ptr(), name.ptr(), Py_EQ))) {
            found = value;
        }
    });
    return found;
}

// ---------------------------------------------------------------------------------------------
// Construction

namespace {

nb::object text_or_none(const char* text) { return text ? require(PyUnicode_FromString(text)) : nb::none(); }

// A new function object of the module's type with every field empty, tracked by the collector.
nb::object allocate_function() {
    auto* self = PyObject_GC_New(FunctionObject, function_type());
    if (!self) throw nb::python_error();
    // Zero everything after the header so a failure while filling it can release it.
    std::memset(reinterpret_cast<char*>(self) + sizeof(PyObject), 0,
                sizeof(FunctionObject) - sizeof(PyObject));
    nb::object result = nb::steal(reinterpret_cast<PyObject*>(self));
    PyObject_GC_Track(self);
    return result;
}

// What the function is called and where it belongs: __name__, __qualname__, __module__,
// __doc__ and its module's namespace.
void set_identity(FunctionObject* self, nb::handle module, const Function& declaration, const char* owner) {
    self->vectorcall = function_vectorcall;
    self->declaration = &declaration;
    self->module = Py_NewRef(module.ptr());
    PyObject* globals = PyModule_GetDict(module.ptr());  // borrowed
    if (!globals) throw nb::python_error();
    self->globals = Py_NewRef(globals);
    self->name = require(PyUnicode_FromString(declaration.name)).release().ptr();
    self->qualname = owner ? require(PyUnicode_FromFormat("%s.%s", owner, declaration.name)).release().ptr()
                           : Py_NewRef(self->name);
    self->module_name = attr(module, names::dunder_name).release().ptr();
    self->doc = text_or_none(declaration.doc).release().ptr();
}

// Gives each named parameter its slot (name, rule, default) and counts the kinds, as the binder
// reads them.
void lay_out_parameters(FunctionObject* self, const Function& declaration) {
    size_t problem_index = 0;
    if (const char* problem = declaration.mismatch(problem_index)) {
        const char* parameter =
            problem_index < declaration.size() ? declaration.begin()[problem_index].name : "";
        raise(PyExc_SystemError, "%s(), parameter '%s': %s", declaration.name, parameter, problem);
    }
    Py_ssize_t slot = 0;
    self->first_default = -1;
    for (const Param& param : declaration) {
        if (!param.is_named()) {
            (param.kind == Kind::var_positional ? self->has_var_positional : self->has_var_keyword) = true;
            continue;
        }
        self->named[slot] = &param;
        self->names[slot] = PyUnicode_InternFromString(param.name);
        if (!self->names[slot]) throw nb::python_error();
        self->none_allowed[slot] = param.takes_none();
        if (!param.value.is_required()) self->default_values[slot] = param.value.make().release().ptr();
        if (param.kind == Kind::normal) {
            if (!param.value.is_required() && self->first_default < 0) self->first_default = slot;
            if (param.value.is_required() && self->first_default >= 0) {
                raise(PyExc_SystemError, "%s(): a parameter without default follows one with a default",
                      declaration.name);
            }
            self->positional_count = slot + 1;
        }
        ++slot;
    }
    self->named_count = slot;
    if (self->first_default < 0) self->first_default = self->positional_count;
}

// __annotations__: the parameters' annotation texts, then the return annotation.
void set_annotations(FunctionObject* self, const Function& declaration) {
    nb::object annotations = require(PyDict_New());
    for (const Param& param : declaration) {
        if (!param.annotation) continue;
        nb::object text = require(PyUnicode_FromString(param.annotation));
        require_status(PyDict_SetItemString(annotations.ptr(), param.name, text.ptr()));
    }
    if (declaration.returns.annotation) {
        nb::object text = require(PyUnicode_FromString(declaration.returns.annotation));
        require_status(PyDict_SetItem(annotations.ptr(), names::return_.ptr(), text.ptr()));
    }
    self->annotations = annotations.release().ptr();
}

// __defaults__: the defaults of the trailing normal parameters, when there are any.
void set_defaults(FunctionObject* self) {
    if (self->first_default >= self->positional_count) return;
    const Py_ssize_t count = self->positional_count - self->first_default;
    nb::object defaults = require(PyTuple_New(count));
    for (Py_ssize_t index = 0; index < count; ++index) {
        PyTuple_SET_ITEM(defaults.ptr(), index, Py_NewRef(self->default_values[self->first_default + index]));
    }
    self->defaults = defaults.release().ptr();
}

}  // namespace

nb::object make_function(nb::handle module, const Function& declaration, const char* owner) {
    nb::object result = allocate_function();
    auto* self = reinterpret_cast<FunctionObject*>(result.ptr());
    set_identity(self, module, declaration, owner);
    lay_out_parameters(self, declaration);
    set_annotations(self, declaration);
    set_defaults(self);
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

}  // namespace quillkit

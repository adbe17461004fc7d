// The callable type behind every function and method of the package's modules.
//
// A function is declared once, beside its body, as a `Function`: name, parameters (name, kind,
// annotation text, argument rule, default), return annotation and result rule, docstring and
// body. `make_function` turns a declaration into an object that reads like a Python function to
// the interpreter and to every tool that introspects: it binds positional and keyword arguments
// with the interpreter's own error texts, applies the argument rules in parameter order, calls
// the body with one handle per named parameter, and checks a declared str or list result.
#pragma once

#include "python.hpp"

#include <cstdint>
#include <utility>
#include <vector>

namespace quillkit {

// How an argument is checked on entry, before the body runs.
enum class Rule : uint8_t {
    any,      // any object
    str,      // exactly a str
    list,     // exactly a list
    tuple,    // exactly a tuple
    dict,     // exactly a dict
    integer,  // a number, converted as int() converts it
};

enum class Kind : uint8_t { normal, keyword_only, var_positional, var_keyword };

// One constant of a default value: None, a bool, an int or a text.
class Constant {
public:
    constexpr Constant() = default;
    constexpr Constant(const char* text) : tag_(Tag::text), text_(text) {}
    constexpr Constant(int number) : tag_(Tag::integer), number_(number) {}
    static constexpr Constant boolean(bool value) {
        Constant constant;
        constant.tag_ = Tag::boolean;
        constant.number_ = value;
        return constant;
    }
    bool is_none() const { return tag_ == Tag::none; }
    nb::object make() const;

private:
    enum class Tag : uint8_t { none, boolean, integer, text };
    Tag tag_ = Tag::none;
    long long number_ = 0;
    const char* text_ = nullptr;
};

// The default of a parameter: required, one constant, or a tuple of constants.
class Default {
public:
    static constexpr Default required() { return Default(Shape::required); }
    static constexpr Default none() { return single(Constant()); }
    static constexpr Default text(const char* text) { return single(Constant(text)); }
    static constexpr Default boolean(bool value) { return single(Constant::boolean(value)); }
    template <class... Items>
    static constexpr Default tuple(Items... items) {
        static_assert(sizeof...(Items) <= kMaxItems, "a default tuple holds at most four items");
        Default value(Shape::tuple);
        Constant constants[] = {Constant(items)..., Constant()};
        for (size_t index = 0; index < sizeof...(Items); ++index) value.items_[index] = constants[index];
        value.count_ = sizeof...(Items);
        return value;
    }

    bool is_required() const { return shape_ == Shape::required; }
    bool is_none() const { return shape_ == Shape::single && items_[0].is_none(); }
    nb::object make() const;

private:
    static constexpr size_t kMaxItems = 4;
    enum class Shape : uint8_t { required, single, tuple };
    constexpr explicit Default(Shape shape) : shape_(shape) {}
    static constexpr Default single(Constant constant) {
        Default value(Shape::single);
        value.items_[0] = constant;
        return value;
    }
    Shape shape_;
    uint8_t count_ = 0;
    Constant items_[kMaxItems] = {};
};

struct Param {
    const char* name;
    Rule rule = Rule::any;
    const char* annotation = nullptr;  // the annotation text; none when null
    Default value = Default::required();
    Kind kind = Kind::normal;
};

// A parameter that may only be given by keyword.
constexpr Param keyword_only(Param param) {
    param.kind = Kind::keyword_only;
    return param;
}
// `*name`: collects the extra positional arguments.
constexpr Param var_positional(const char* name) {
    return Param{name, Rule::any, nullptr, Default::required(), Kind::var_positional};
}
// `**name`: collects the keyword arguments no named parameter takes.
constexpr Param var_keyword(const char* name) {
    return Param{name, Rule::any, nullptr, Default::required(), Kind::var_keyword};
}

struct Returns {
    const char* annotation = nullptr;  // the return annotation text; none when null
    Rule rule = Rule::any;             // Rule::str or Rule::list check the result
};

class Call;

// The declaration of one function or method.
class Function {
public:
    template <class... Handles>
    Function(const char* name, nb::object (*body)(Call&, Handles...),
             std::initializer_list<Param> params, Returns returns = {}, const char* doc = nullptr)
        : name(name),
          params(params),
          returns(returns),
          doc(doc),
          arity(sizeof...(Handles)),
          target_(reinterpret_cast<void (*)()>(body)),
          invoker_(&invoke<Handles...>) {}

    // Runs the body with one argument per named parameter, in parameter order.
    nb::object run(Call& call, PyObject* const* arguments) const {
        return invoker_(target_, call, arguments);
    }

    const char* name;
    std::vector<Param> params;
    Returns returns;
    const char* doc;
    size_t arity;

private:
    using Invoker = nb::object (*)(void (*)(), Call&, PyObject* const*);

    template <class... Handles, size_t... Index>
    static nb::object invoke_with(void (*target)(), Call& call, PyObject* const* arguments,
                                  std::index_sequence<Index...>) {
        auto body = reinterpret_cast<nb::object (*)(Call&, Handles...)>(target);
        return body(call, nb::handle(arguments[Index])...);
    }
    template <class... Handles>
    static nb::object invoke(void (*target)(), Call& call, PyObject* const* arguments) {
        return invoke_with<Handles...>(target, call, arguments,
                                       std::index_sequence_for<Handles...>{});
    }

    void (*target_)();
    Invoker invoker_;
};

struct FunctionObject;

// What a body knows about the call it serves: its module's globals, and the arguments that
// `*args` and `**kwargs` parameters collected.
class Call {
public:
    Call(FunctionObject* function, PyObject* const* extra, Py_ssize_t extra_count,
         PyObject* const* keyword_values, PyObject* keyword_names)
        : function_(function),
          extra_(extra),
          extra_count_(extra_count),
          keyword_values_(keyword_values),
          keyword_names_(keyword_names) {}

    // The module that owns the function.
    nb::handle module() const;

    // The module's state, as the module declared it.
    template <class State>
    State& state() const {
        return *static_cast<State*>(PyModule_GetState(module().ptr()));
    }

    // A global of the function's module, looked up now, then a builtin; else NameError.
    nb::object global(const Name& name) const;

    // A cell of the function's closure: state a nested function keeps between its calls, which
    // only its body reaches (Python code sees no attribute for it). Empty until set.
    nb::handle cell(size_t index) const;
    void set_cell(size_t index, nb::handle value) const;

    // The positional arguments collected by `*args`.
    PyObject* const* extra() const { return extra_; }
    Py_ssize_t extra_count() const { return extra_count_; }

    // Visits the keyword arguments collected by `**kwargs`, in call order: visit(name, value).
    template <class Visit>
    void for_each_extra_keyword(Visit&& visit) const {
        if (!keyword_names_) return;
        const Py_ssize_t count = PyTuple_GET_SIZE(keyword_names_);
        for (Py_ssize_t index = 0; index < count; ++index) {
            PyObject* name = PyTuple_GET_ITEM(keyword_names_, index);
            if (!takes_keyword(name)) visit(nb::handle(name), nb::handle(keyword_values_[index]));
        }
    }

private:
    bool takes_keyword(PyObject* name) const;

    FunctionObject* function_;
    PyObject* const* extra_;
    Py_ssize_t extra_count_;
    PyObject* const* keyword_values_;
    PyObject* keyword_names_;
};

// Makes the function object for `declaration`, owned by `module`. A method names its class in
// `owner`, which prefixes its qualified name.
nb::object make_function(nb::handle module, const Function& declaration,
                         const char* owner = nullptr);

// The most cells a closure holds.
constexpr size_t kMaxCells = 4;

// Makes a nested function: as make_function, with a closure whose cells start with `cells` (an
// invalid handle leaves a cell empty). `owner` is the enclosing function's qualified name with
// ".<locals>".
nb::object make_closure(nb::handle module, const Function& declaration, const char* owner,
                        std::initializer_list<nb::handle> cells);

// A cell of a closure made by make_closure, read by the function that made it; empty when unset.
nb::handle closure_cell(nb::handle function, size_t index);

// True when `object` is the function object made from `declaration`.
bool is_function(nb::handle object, const Function& declaration);

// Makes and binds, in order, the module-level functions of a module.
void add_functions(nb::handle module, std::initializer_list<const Function*> declarations);

}  // namespace quillkit

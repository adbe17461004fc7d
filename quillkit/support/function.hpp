// The callable type behind every function and method of the package's modules.
//
// A function is declared once, beside its body, as a `Function`: name, parameters (name, kind,
// annotation text, argument rule, default), return annotation and result rule, docstring and
// body. The body's parameter types follow the declaration (an exact-type rule gives the matching
// nanobind type, `Optional<...>` where None passes too, `VarPositional` and `VarKeyword` for
// `*args` and `**kwargs`), and a declaration that does not match its body does not compile.
// `make_function` turns a declaration into an object that reads like a Python function to the
// interpreter and to every tool that introspects.
#pragma once

#include "python_operations.hpp"

#include <cstdint>
#include <utility>

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

// The most parameters a function declares.
constexpr size_t kMaxParameters = 12;

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
    constexpr bool is_none() const { return tag_ == Tag::none; }
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
    template <class... Items> static constexpr Default tuple(Items... items) {
        static_assert(sizeof...(Items) <= kMaxItems, "a default tuple holds at most four items");
        Default value(Shape::tuple);
        Constant constants[] = {Constant(items)..., Constant()};
        for (size_t index = 0; index < sizeof...(Items); ++index) value.items_[index] = constants[index];
        value.count_ = sizeof...(Items);
        return value;
    }

    constexpr Default() = default;
    constexpr bool is_required() const { return shape_ == Shape::required; }
    constexpr bool is_none() const { return shape_ == Shape::single && items_[0].is_none(); }
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
    Shape shape_ = Shape::required;
    uint8_t count_ = 0;
    Constant items_[kMaxItems] = {};
};

struct Param {
    const char* name = nullptr;
    Rule rule = Rule::any;
    const char* annotation = nullptr;  // the annotation text; none when null
    Default value = Default::required();
    Kind kind = Kind::normal;

    constexpr bool is_named() const { return kind == Kind::normal || kind == Kind::keyword_only; }
    // Whether None passes an exact-type rule: where the default is None or the annotation says
    // Optional[...].
    constexpr bool takes_none() const {
        if (rule == Rule::any) return false;  // None passes anyway
        if (value.is_none()) return true;
        const char prefix[] = "Optional[";
        for (size_t index = 0; annotation && prefix[index]; ++index) {
            if (annotation[index] != prefix[index]) return false;
        }
        return annotation != nullptr;
    }
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

struct FunctionObject;
class Call;

// ---------------------------------------------------------------------------------------------
// What bodies receive

// The argument of an exact-type parameter that also takes None: None, or a T.
template <class T> class Optional {
public:
    explicit Optional(nb::handle value) : value_(value) {}
    bool is_none() const { return value_.is_none(); }
    // The value itself; only when it is not None.
    T value() const { return nb::borrow<T>(value_); }
    nb::handle handle() const { return value_; }

private:
    nb::handle value_;
};

// The positional arguments that `*args` collected, borrowed from the caller.
class VarPositional {
public:
    VarPositional(PyObject* const* items, Py_ssize_t count) : items_(items), count_(count) {}
    Py_ssize_t size() const { return count_; }
    nb::handle operator[](Py_ssize_t index) const { return items_[index]; }
    PyObject* const* data() const { return items_; }
    // The arguments as a tuple.
    nb::object tuple() const;

private:
    PyObject* const* items_;
    Py_ssize_t count_;
};

// Which keyword arguments of a call went to named parameters: their positions among the
// call's keywords, ascending. The others are what `**kwargs` collected.
struct PlacedKeywords {
    Py_ssize_t positions[kMaxParameters];  // each parameter takes at most one
    Py_ssize_t count = 0;
};

// The keyword arguments that `**kwargs` collected, in call order, borrowed from the caller.
class VarKeyword {
public:
    VarKeyword(PyObject* const* values, PyObject* names, const PlacedKeywords& placed)
        : values_(values), names_(names), placed_(placed) {}

    // Calls visit(name, value) for each of them.
    template <class Visit> void for_each(Visit&& visit) const {
        if (!names_) return;
        const Py_ssize_t count = PyTuple_GET_SIZE(names_);  // a tuple: it cannot change
        Py_ssize_t next_placed = 0;
        for (Py_ssize_t index = 0; index < count; ++index) {
            if (next_placed < placed_.count && placed_.positions[next_placed] == index) {
                ++next_placed;
                continue;
            }
            visit(nb::handle(PyTuple_GET_ITEM(names_, index)), nb::handle(values_[index]));
        }
    }
    bool empty() const { return !names_ || PyTuple_GET_SIZE(names_) == placed_.count; }
    // The value given for `name`, the first if several compare equal; invalid when none.
    nb::handle find(const Name& name) const;

private:
    PyObject* const* values_;
    PyObject* names_;  // the call's keyword names, or null
    const PlacedKeywords& placed_;
};

// What a body parameter of type T accepts, and how it is taken from the bound arguments.
struct Accepts {
    Rule rule = Rule::any;
    bool none = false;  // an exact-type rule that also takes None
    Kind kind = Kind::normal;
};

template <class T> struct Argument;  // no other parameter types

template <> struct Argument<nb::handle> {
    static constexpr Accepts accepts{Rule::any};
    static nb::handle take(Call&, PyObject* const* slot) { return *slot; }
};

template <class T, Rule R> struct ExactArgument {
    static constexpr Accepts accepts{R};
    static T take(Call&, PyObject* const* slot) { return nb::borrow<T>(*slot); }
};
template <> struct Argument<nb::str> : ExactArgument<nb::str, Rule::str> {};
template <> struct Argument<nb::list> : ExactArgument<nb::list, Rule::list> {};
template <> struct Argument<nb::tuple> : ExactArgument<nb::tuple, Rule::tuple> {};
template <> struct Argument<nb::dict> : ExactArgument<nb::dict, Rule::dict> {};
template <> struct Argument<nb::int_> : ExactArgument<nb::int_, Rule::integer> {};

template <class T> struct Argument<Optional<T>> {
    static constexpr Accepts accepts{Argument<T>::accepts.rule, true};
    static Optional<T> take(Call&, PyObject* const* slot) { return Optional<T>(*slot); }
};

template <> struct Argument<VarPositional> {
    static constexpr Accepts accepts{Rule::any, false, Kind::var_positional};
    static VarPositional take(Call& call, PyObject* const*);
};

template <> struct Argument<VarKeyword> {
    static constexpr Accepts accepts{Rule::any, false, Kind::var_keyword};
    static VarKeyword take(Call& call, PyObject* const*);
};

// ---------------------------------------------------------------------------------------------
// Bodies and declarations

// A body as the declaration sees it: how to run it, and what each of its parameters accepts.
struct BodyRef {
    using Invoker = nb::object (*)(Call&, PyObject* const* slots);
    Invoker invoke = nullptr;
    const Accepts* accepts = nullptr;
    size_t arity = 0;
};

template <auto F> struct Body;

template <class... Arguments, nb::object (*F)(Call&, Arguments...)> struct Body<F> {
    static constexpr Accepts accepts[] = {Argument<Arguments>::accepts..., Accepts{}};

    // The slot of body parameter `index`: *args and **kwargs take none.
    static constexpr size_t slot_of(size_t index) {
        size_t slot = 0;
        for (size_t before = 0; before < index; ++before) {
            if (accepts[before].kind == Kind::normal || accepts[before].kind == Kind::keyword_only) ++slot;
        }
        return slot;
    }

    template <size_t... Index>
    static nb::object invoke_with(Call& call, PyObject* const* slots, std::index_sequence<Index...>) {
        return F(call, Argument<Arguments>::take(call, slots + slot_of(Index))...);
    }
    static nb::object invoke(Call& call, PyObject* const* slots) {
        return invoke_with(call, slots, std::index_sequence_for<Arguments...>{});
    }

    static constexpr BodyRef ref{&invoke, accepts, sizeof...(Arguments)};
};

// The body `F`, for a declaration: `Function{"name", body<name>, {...}}`.
template <auto F> inline constexpr BodyRef body = Body<F>::ref;

// Reached only when a constant declaration does not match its body: calling it is what makes
// the compiler stop there, at the declaration. (A declaration made at run time is checked again
// when its module starts, which names the function and the parameter.)
void declaration_does_not_match_its_body(const char* problem);

// The declaration of one function or method.
class Function {
public:
    constexpr Function(const char* name, BodyRef body, std::initializer_list<Param> params,
                       Returns returns = {}, const char* doc = nullptr)
        : name(name), returns(returns), doc(doc), body(body) {
        for (const Param& param : params) {
            if (count_ < kMaxParameters) params_[count_] = param;
            ++count_;
        }
        size_t index = 0;
        if (const char* problem = mismatch(index)) declaration_does_not_match_its_body(problem);
    }

    const Param* begin() const { return params_; }
    const Param* end() const { return params_ + count_; }
    constexpr size_t size() const { return count_; }

    // What does not match between the parameters and the body's types, with `index` set to the
    // parameter; null when everything does.
    constexpr const char* mismatch(size_t& index) const {
        if (count_ > kMaxParameters) return "declares too many parameters";
        if (count_ != body.arity) return "the body takes another number of parameters";
        for (index = 0; index < count_; ++index) {
            const Param& param = params_[index];
            const Accepts& accepts = body.accepts[index];
            if (param.is_named() != (accepts.kind == Kind::normal))
                return "*args or **kwargs differs from the body";
            if (!param.is_named() && param.kind != accepts.kind) return "*args and **kwargs are swapped";
            if (param.is_named() && param.rule != accepts.rule)
                return "the body's type does not follow the rule";
            if (param.is_named() && param.takes_none() != accepts.none) {
                return "None passes the rule: the body's type must be Optional<...> exactly then";
            }
        }
        return nullptr;
    }

    const char* name;
    Returns returns;
    const char* doc;
    BodyRef body;

private:
    Param params_[kMaxParameters] = {};
    size_t count_ = 0;
};

// What a body knows about the call it serves: its module's globals and state, and the cells of
// its closure.
class Call {
public:
    Call(FunctionObject* function, VarPositional positional, VarKeyword keywords)
        : function_(function), positional_(positional), keywords_(keywords) {}

    // The module that owns the function.
    nb::handle module() const;

    // The module's state, as the module declared it.
    template <class State> State& state() const {
        return *static_cast<State*>(PyModule_GetState(module().ptr()));
    }

    // A global of the function's module, looked up now, then a builtin; else NameError.
    nb::object global(const Name& name) const;

    // A cell of the function's closure: state a nested function keeps between its calls, which
    // only its body reaches (Python code sees no attribute for it). Empty until set.
    nb::handle cell(size_t index) const;
    void set_cell(size_t index, nb::handle value) const;

private:
    friend struct Argument<VarPositional>;
    friend struct Argument<VarKeyword>;

    FunctionObject* function_;
    VarPositional positional_;
    VarKeyword keywords_;
};

inline VarPositional Argument<VarPositional>::take(Call& call, PyObject* const*) { return call.positional_; }
inline VarKeyword Argument<VarKeyword>::take(Call& call, PyObject* const*) { return call.keywords_; }

// The type of a module's function objects, named after the module ("quillkit.cargohold.function");
// made when the module starts, before any function.
void make_function_type(const char* qualified_name);

// Makes the function object for `declaration`, owned by `module`. A method names its class in
// `owner`, which prefixes its qualified name.
nb::object make_function(nb::handle module, const Function& declaration, const char* owner = nullptr);

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

}  // namespace quillkit

// Logger naming (`base_name`, `get_logger`) and the lazy logger that resolves its logger by
// name on every use, so loggers made at import time follow a later `setup_logging`.
#include "chronicle.hpp"
#include "logging_snapshot.hpp"

#include "../support/module_startup.hpp"
#include "../support/published.hpp"

namespace quillkit::chronicle {

namespace {

// ---------------------------------------------------------------------------------------------
// Naming

constexpr Param kChildParam{"child", Rule::str, "str", Default::text("")};

// The current base name, as the module namespace holds it.
nb::object base_name(Call& c) { return c.global(names::base_name_global); }

constexpr Function kBaseName{"base_name",
                             body<base_name>,
                             {},
                             Returns{"str", Rule::str},
                             "回傳目前的基底名稱（專案名稱）；尚未呼叫 setup_logging 時為 \"app\"。"};
const Published kPublishBaseName{kBaseName, 2};

// The name the base name gives `child` when the base name is no text: formatted anew at each
// use, as an f-string would (a text's is kept with the resolved logger).
nb::object formatted_name(nb::handle base, nb::str child) {
    if (PyUnicode_GET_LENGTH(child.ptr()) == 0) return nb::borrow(base);
    return concat({require(PyObject_Format(base.ptr(), nullptr)), ".", child});
}

// The logging facility's logger for `child` under the current base name: `logging.getLogger(...)`,
// or what the registry holds for the name while it answers as getLogger would. `resolved` keeps
// what the view resolved on the way; `state` is current_view's, since which no Python code ran.
nb::object logger_for_child(Call& c, State& state, nb::handle child, ResolvedLogger& resolved) {
    resolved = resolve(state, child);
    if (resolved.logger().is_valid()) return nb::borrow(resolved.logger());
    nb::object name = resolved.name().is_valid()
                          ? nb::borrow(resolved.name())
                          : formatted_name(c.global(names::base_name_global), nb::borrow<nb::str>(child));
    nb::handle viewed = current_view(c).view.logging;
    nb::object logging = viewed ? nb::object(nb::borrow(viewed)) : c.global(names::logging);
    return call(module_attr(logging, names::getLogger), {name});
}

// `logging.getLogger` of the name the base name gives `child`.
nb::object get_logger(Call& c, nb::str child) {
    ResolvedLogger resolved;
    return logger_for_child(c, current_view(c), child, resolved);
}

}  // namespace

// Outside the file's own namespace: the snapshot tells this module's own get_logger by it.
constexpr Function kGetLogger{
    "get_logger",
    body<get_logger>,
    {kChildParam},
    Returns{"Logger"},
    "依目前的基底名稱取得 logger：child 非空時為「基底名稱.child」，否則為基底名稱本身。\n\n"
    "    範例：\n"
    "        logger = get_logger(\"cargohold\")"};

namespace {

const Published kPublishGetLogger{kGetLogger, 3};

// A new lazy logger for `child`.
nb::object lazy_logger(Call& c, nb::str child) { return call(c.global(names::lazy_logger_class), {child}); }

constexpr Function kLazyLogger{"lazy_logger",
                               body<lazy_logger>,
                               {kChildParam},
                               Returns{"_LazyLogger"},
                               "建立一個 lazy logger：每次使用時才依目前的基底名稱解析真正的 logger。\n\n"
                               "    範例：\n"
                               "        log = lazy_logger(\"cargohold\")\n"
                               "        log.info(\"已啟動\")"};
const Published kPublishLazyLogger{kLazyLogger, 4};

// ---------------------------------------------------------------------------------------------
// Forwarding a call's own *args and **kwargs

// An extra keyword to pass ahead of the forwarded ones.
struct Added {
    const Name* name = nullptr;
    nb::handle value;
};

// `target.method(*leading, *args, <added>, **kwargs)`, leaving out the keyword `skipped`.
nb::object forward(nb::handle target, const Name& method, std::initializer_list<nb::handle> leading,
                   VarPositional args, VarKeyword kwargs, Added added = {}) {
    ArgumentStack stack;
    stack.add(target);
    for (nb::handle value : leading) stack.add(value);
    stack.add(args.data(), args.size());
    if (added.name) stack.add_keyword(added.name->handle(), added.value);
    kwargs.for_each([&](nb::handle name, nb::handle value) { stack.add_keyword(name, value); });
    return stack.call_method(method);
}

// ---------------------------------------------------------------------------------------------
// _LazyLogger

nb::object lazy_init(Call&, nb::handle self, nb::str child) {
    require_status(PyObject_SetAttr(self.ptr(), names::_child.ptr(), child.ptr()));
    return nb::none();
}

constexpr Function kLazyInit{"__init__", body<lazy_init>, {kSelf, kChildParam}};

// Shortcuts for the path every record takes. While a lazy logger's class still holds the
// members it was made with (and the instance cannot shadow them), a level method runs `_emit`,
// `_l` and `get_logger` directly instead of looking each one up and binding its arguments
// again; a program that replaces any of them gets its replacement called.
//
// Only instances of the class as made take the shortcut (its slots leave no instance dict that
// could shadow a member); a subclass goes the long way, through attribute look-up.
bool is_intact_lazy_logger(const State& state, nb::handle self) {
    return reinterpret_cast<PyObject*>(Py_TYPE(self.ptr())) == state.lazy_logger_class &&
           state.plain.lazy_class_intact;
}

// `self._l`, with what the view resolved on the way. `state` as for logger_for_child.
nb::object current_logger(Call& c, State& state, nb::handle self, ResolvedLogger& resolved) {
    if (!is_intact_lazy_logger(state, self)) return attr(self, names::_l);
    nb::object child = child_of(state, self);
    if (state.plain.get_logger_is_ours && PyUnicode_CheckExact(child.ptr())) {
        return logger_for_child(c, state, child, resolved);
    }
    return call(c.global(names::get_logger), {child});
}

// `self._l`
nb::object current_logger(Call& c, nb::handle self) {
    ResolvedLogger resolved;
    return current_logger(c, current_view(c), self, resolved);
}

// `_l`: the logger the current base name gives for this child.
nb::object lazy_current_logger(Call& c, nb::handle self) {
    nb::object child = attr(self, names::_child);
    State& state = current_view(c);
    if (state.plain.get_logger_is_ours && PyUnicode_CheckExact(child.ptr())) {
        ResolvedLogger resolved;
        return logger_for_child(c, state, child, resolved);
    }
    return call(c.global(names::get_logger), {child});
}

constexpr Function kLazyCurrentLogger{"_l", body<lazy_current_logger>, {kSelf}, Returns{"logging.Logger"}};

// Sends one record, naming the caller's frame unless the caller chose a stack level; a logger
// that refuses `stacklevel` gets the record once more without it. A record the logger's `log`
// would drop at once goes no further. `state` as for logger_for_child.
void emit(Call& c, State& state, nb::handle self, nb::handle level, nb::handle msg, VarPositional args,
          VarKeyword kwargs) {
    static nb::handle default_stacklevel = require(PyLong_FromLong(kDefaultStackLevel)).release();
    ResolvedLogger resolved;
    nb::object logger = current_logger(c, state, self, resolved);
    if (resolved.logger().ptr() == logger.ptr() && is_dropped(state, resolved, level)) return;
    Record record{level, msg, args, kwargs, kwargs.find(names::stacklevel)};
    if (!record.stacklevel.is_valid()) record.stacklevel = default_stacklevel;
    try {
        deliver(c, logger, record);
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_TypeError)) throw;
        record.stacklevel = nb::handle();
        deliver(c, current_logger(c, self), record);
    }
}

nb::object lazy_emit(Call& c, nb::handle self, nb::int_ level, nb::handle msg, VarPositional args,
                     VarKeyword kwargs) {
    emit(c, current_view(c), self, level, msg, args, kwargs);
    return nb::none();
}

constexpr Function kLazyEmit{"_emit",
                             body<lazy_emit>,
                             {kSelf, Param{"level", Rule::integer, "int"}, Param{"msg"},
                              var_positional("args"), var_keyword("kwargs")}};

const Name* const kLevelNames[] = {&names::level_debug, &names::level_info, &names::level_warning,
                                   &names::level_error, &names::level_critical};

// `logging.<level>`
nb::object level_number(Call& c, Level level) {
    const size_t index = static_cast<size_t>(level);
    nb::handle number = current_view(c).view.levels[index];
    return number ? nb::object(nb::borrow(number)) : attr(c.global(names::logging), *kLevelNames[index]);
}

// `self._emit(logging.<level>, msg, *args, **kwargs)`
nb::object emit_at(Call& c, nb::handle self, nb::handle msg, VarPositional args, VarKeyword kwargs,
                   Level level_index) {
    State& state = current_view(c);
    nb::object level = nb::borrow(state.view.levels[static_cast<size_t>(level_index)]);
    // `_emit` as made, with an int level and no `level` keyword that it would refuse.
    if (level.is_valid() && is_intact_lazy_logger(state, self) && !kwargs.find(names::level).is_valid()) {
        emit(c, state, self, level, msg, args, kwargs);
    } else {
        forward(self, names::_emit, {level_number(c, level_index), msg}, args, kwargs);
    }
    return nb::none();
}

// The level methods: `self._emit(logging.<L>, msg, *args, **kwargs)`.
template <Level L>
nb::object lazy_level(Call& c, nb::handle self, nb::handle msg, VarPositional args, VarKeyword kwargs) {
    return emit_at(c, self, msg, args, kwargs, L);
}

// The level methods share one shape: (self, msg, *args, **kwargs).
template <auto Body> constexpr Function level_method(const char* name) {
    return Function(name, body<Body>, {kSelf, Param{"msg"}, var_positional("args"), var_keyword("kwargs")});
}
constexpr Function kLazyDebug = level_method<lazy_level<Level::debug>>("debug");
constexpr Function kLazyInfo = level_method<lazy_level<Level::info>>("info");
constexpr Function kLazyWarning = level_method<lazy_level<Level::warning>>("warning");
constexpr Function kLazyError = level_method<lazy_level<Level::error>>("error");
constexpr Function kLazyCritical = level_method<lazy_level<Level::critical>>("critical");

// ERROR with the current exception's traceback, unless the caller said otherwise.
nb::object lazy_exception(Call& c, nb::handle self, nb::handle msg, VarPositional args, VarKeyword kwargs) {
    nb::object number = level_number(c, Level::error);
    Added traceback;
    if (!kwargs.find(names::exc_info).is_valid()) traceback = Added{&names::exc_info, Py_True};
    forward(self, names::_emit, {number, msg}, args, kwargs, traceback);
    return nb::none();
}

constexpr Function kLazyException = level_method<lazy_exception>("exception");

// The pass-through methods: `self._l.<Method>(*args, **kwargs)`.
template <const Name& Method>
nb::object lazy_pass_through(Call& c, nb::handle self, VarPositional args, VarKeyword kwargs) {
    return forward(current_logger(c, self), Method, {}, args, kwargs);
}

// The pass-through methods share one shape: (self, *args, **kwargs).
template <const Name& Method> constexpr Function pass_through_method(const char* name) {
    return Function(name, body<lazy_pass_through<Method>>,
                    {kSelf, var_positional("args"), var_keyword("kwargs")});
}
constexpr Function kLazyIsEnabledFor = pass_through_method<names::isEnabledFor>("isEnabledFor");
constexpr Function kLazySetLevel = pass_through_method<names::setLevel>("setLevel");
constexpr Function kLazyAddHandler = pass_through_method<names::addHandler>("addHandler");
constexpr Function kLazyRemoveHandler = pass_through_method<names::removeHandler>("removeHandler");

nb::object lazy_name(Call& c, nb::handle self) { return attr(current_logger(c, self), names::name); }

constexpr Function kLazyName{"name", body<lazy_name>, {kSelf}};

}  // namespace

const char* const kLazyLoggerDoc =
    "\n"
    "    Lazy logger：讓在模組匯入時建立的 logger，在主程式稍後才呼叫 setup_logging\n"
    "    之後，自動改用設定好的專案 logger 與其 handler。\n"
    "    包裝層內會設定 stacklevel，讓紀錄中的檔名與行號指向真正的呼叫位置。\n"
    "\n"
    "    用法：\n"
    "        log = lazy_logger(\"cargohold\")   # 在模組層級建立\n"
    "        log.debug(\"訊息\")                # 輸出顯示呼叫這一行的檔名與行號\n"
    "    ";

nb::object make_lazy_logger_class(nb::handle module, State& state) {
    auto method = [&](const Function& declaration) {
        return make_function(module, declaration, "_LazyLogger");
    };
    nb::object emit_method = method(kLazyEmit);
    nb::object logger_property = make_property(method(kLazyCurrentLogger));
    state.emit_function = Py_NewRef(emit_method.ptr());
    state.logger_property = Py_NewRef(logger_property.ptr());
    nb::object slots = require(Py_BuildValue("(s)", "_child"));
    nb::object bases = require(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    nb::object made = make_class(module, "_LazyLogger", bases, kLazyLoggerDoc,
                                 {
                                     {"__slots__", slots},
                                     {"__init__", method(kLazyInit)},
                                     {"_l", logger_property},
                                     {"_emit", emit_method},
                                     {"debug", method(kLazyDebug)},
                                     {"info", method(kLazyInfo)},
                                     {"warning", method(kLazyWarning)},
                                     {"error", method(kLazyError)},
                                     {"critical", method(kLazyCritical)},
                                     {"exception", method(kLazyException)},
                                     {"isEnabledFor", method(kLazyIsEnabledFor)},
                                     {"setLevel", method(kLazySetLevel)},
                                     {"addHandler", method(kLazyAddHandler)},
                                     {"removeHandler", method(kLazyRemoveHandler)},
                                     {"name", make_property(method(kLazyName))},
                                 });
    state.lazy_logger_class = Py_NewRef(made.ptr());
    return made;
}

}  // namespace quillkit::chronicle

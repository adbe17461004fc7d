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

constexpr Function kBaseName{"base_name", body<base_name>, {}, Returns{"str", Rule::str},
                             "回傳目前的基底名稱（專案名稱）；尚未呼叫 setup_logging 時為 \"app\"。"};
const Published kPublishBaseName{kBaseName, 2};

// The registry shortcut: the logger that `logging.getLogger(name)` would return when it exists
// already, read from the registry the facility keeps (`logging.Logger.manager.loggerDict`)
// instead of through getLogger, which takes the registry's lock. It relies on getLogger being the
// facility's own, on the registry being a dict of loggers by name, and on the root logger living
// outside it; when any of that does not hold, or the logger is missing, it gives nothing.
nb::object registered_logger(const Facility& facility, nb::handle name) {
    if (!facility.get_logger_is_standard || !facility.root.is_valid() || !facility.manager.is_valid()) {
        return nb::object();
    }
    if (!PyUnicode_CheckExact(name.ptr()) || PyUnicode_GET_LENGTH(name.ptr()) == 0) return nb::object();
    // Held here: reading attributes may run Python code, which may make the facility read afresh.
    nb::object root = facility.root, manager = facility.manager, logger_class = facility.logger_class;
    nb::object root_name = attr(root, names::name);
    if (root_name.ptr() == name.ptr() || require_status(PyObject_RichCompareBool(name.ptr(), root_name.ptr(), Py_EQ))) {
        return nb::object();
    }
    nb::object registry = attr(manager, names::loggerDict);
    if (!PyDict_CheckExact(registry.ptr())) return nb::object();
    nb::handle found = dict_item(registry, name);
    if (!found.is_valid() || !PyObject_TypeCheck(found.ptr(), reinterpret_cast<PyTypeObject*>(logger_class.ptr()))) {
        return nb::object();
    }
    return nb::borrow(found);
}

// "base.child": joined once for each base name that is a text (a text cannot change), kept in
// a small cache by child; any other base name is formatted anew each time.
nb::object joined_name(Call& c, nb::handle base, nb::str child) {
    PyObject* cache = state_field(c.state<State>().logger_names).ptr();
    const bool cacheable = PyUnicode_CheckExact(base.ptr());
    if (cacheable) {
        // A borrowed (base, name), checked again: the collector shows the cache to Python code.
        PyObject* entry = dict_item(cache, child).ptr();
        if (entry && PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) == 2 &&
            PyTuple_GET_ITEM(entry, 0) == base.ptr() && PyUnicode_CheckExact(PyTuple_GET_ITEM(entry, 1))) {
            return nb::borrow(PyTuple_GET_ITEM(entry, 1));
        }
    }
    nb::object base_text = require(PyObject_Format(base.ptr(), nullptr));
    nb::object name = concat({base_text, ".", child});
    if (cacheable) {
        if (PyDict_GET_SIZE(cache) >= kMaxCachedNames) PyDict_Clear(cache);
        require_status(PyDict_SetItem(cache, child.ptr(), pair(base, name).ptr()));
    }
    return name;
}

// The logging facility's logger for `child` under the current base name: `logging.getLogger(...)`,
// through the registry shortcut when it answers.
nb::object get_logger(Call& c, nb::str child) {
    const Facility& facility = current_facility(c);
    nb::object base = facility.base_name.is_valid() ? facility.base_name : c.global(names::base_name_global);
    nb::object logging = facility.logging.is_valid() ? facility.logging : c.global(names::logging);
    nb::object name = PyUnicode_GET_LENGTH(child.ptr()) > 0 ? joined_name(c, base, child) : base;
    nb::object registered = registered_logger(current_facility(c), name);
    return registered.is_valid() ? registered : call(module_attr(logging, names::getLogger), {name});
}

}  // namespace

// Outside the file's own namespace: the snapshot tells this module's own get_logger by it.
constexpr Function kGetLogger{
    "get_logger", body<get_logger>, {kChildParam}, Returns{"Logger"},
    "依目前的基底名稱取得 logger：child 非空時為「基底名稱.child」，否則為基底名稱本身。\n\n"
    "    範例：\n"
    "        logger = get_logger(\"cargohold\")"};

namespace {

const Published kPublishGetLogger{kGetLogger, 3};

// A new lazy logger for `child`.
nb::object lazy_logger(Call& c, nb::str child) { return call(c.global(names::lazy_logger_class), {child}); }

constexpr Function kLazyLogger{
    "lazy_logger", body<lazy_logger>, {kChildParam}, Returns{"_LazyLogger"},
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
bool is_intact_lazy_logger(Call& c, nb::handle self) {
    return reinterpret_cast<PyObject*>(Py_TYPE(self.ptr())) == c.state<State>().lazy_logger_class &&
           current_facility(c).lazy_class_intact;
}

// `get_logger(child)`, through the module global.
nb::object logger_for(Call& c, nb::handle child) {
    if (current_facility(c).get_logger_is_ours && PyUnicode_CheckExact(child.ptr())) {
        return get_logger(c, nb::borrow<nb::str>(child));
    }
    return call(c.global(names::get_logger), {child});
}

// `_l`: the logger the current base name gives for this child.
nb::object lazy_current_logger(Call& c, nb::handle self) { return logger_for(c, attr(self, names::_child)); }

constexpr Function kLazyCurrentLogger{"_l", body<lazy_current_logger>, {kSelf}, Returns{"logging.Logger"}};

// `self._l`
nb::object current_logger(Call& c, nb::handle self) {
    if (!is_intact_lazy_logger(c, self)) return attr(self, names::_l);
    return logger_for(c, child_of(self));
}

// Whether `logger.log` is the facility's own Logger.log.
bool uses_standard_log(Call& c, nb::handle logger) {
    const Facility& facility = current_facility(c);
    if (facility.log_is_standard && facility.logger_class.ptr() == reinterpret_cast<PyObject*>(Py_TYPE(logger.ptr())) &&
        Py_TYPE(logger.ptr())->tp_getattro == PyObject_GenericGetAttr) {
        // A Logger as the facility makes it: only an instance attribute could stand in the way.
        nb::object instance_dict = require(PyObject_GenericGetDict(logger.ptr(), nullptr));
        return !require_status(PyDict_Contains(instance_dict.ptr(), names::log.ptr()));
    }
    PyObject* standard_log = c.state<State>().standard_log;
    nb::object log = attr(logger, names::log);
    return standard_log && PyMethod_Check(log.ptr()) && PyMethod_GET_FUNCTION(log.ptr()) == standard_log &&
           PyMethod_GET_SELF(log.ptr()) == logger.ptr();
}

// Whether the record would go nowhere: `logger.log` is the facility's own, which does nothing
// but ask `isEnabledFor(level)` first, and that answers no. Such a record needs no relay frames.
bool is_dropped(Call& c, nb::handle logger, nb::handle level) {
    if (!uses_standard_log(c, logger)) return false;
    return !truthy(call_method(logger, names::isEnabledFor, {level}));
}

// Sends one record, naming the caller's frame unless the caller chose a stack level; a logger
// that refuses `stacklevel` gets the record once more without it.
void emit(Call& c, nb::handle self, nb::handle level, nb::handle msg, VarPositional args, VarKeyword kwargs) {
    static nb::handle default_stacklevel = require(PyLong_FromLong(kDefaultStackLevel)).release();
    nb::object logger = current_logger(c, self);
    if (is_dropped(c, logger, level)) return;
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
    emit(c, self, level, msg, args, kwargs);
    return nb::none();
}

constexpr Function kLazyEmit{"_emit", body<lazy_emit>,
                             {kSelf, Param{"level", Rule::integer, "int"}, Param{"msg"},
                              var_positional("args"), var_keyword("kwargs")}};

// `logging.<level>`
nb::object level_number(Call& c, Level level, const Name& level_name) {
    nb::object number = current_facility(c).levels[static_cast<size_t>(level)];
    return number.is_valid() ? number : attr(c.global(names::logging), level_name);
}

// `self._emit(logging.<level>, msg, *args, **kwargs)`
nb::object emit_at(Call& c, nb::handle self, nb::handle msg, VarPositional args, VarKeyword kwargs,
                   Level level_index, const Name& level_name) {
    nb::object level = level_number(c, level_index, level_name);
    // `_emit` as made, with an int level and no `level` keyword that it would refuse.
    const bool direct = PyLong_CheckExact(level.ptr()) && is_intact_lazy_logger(c, self) &&
                        !kwargs.find(names::level).is_valid();
    if (direct) {
        emit(c, self, level, msg, args, kwargs);
    } else {
        forward(self, names::_emit, {level, msg}, args, kwargs);
    }
    return nb::none();
}

// The level methods: `self._emit(logging.<LEVEL>, msg, *args, **kwargs)`.
template <Level L, const Name& LevelName>
nb::object lazy_level(Call& c, nb::handle self, nb::handle msg, VarPositional args, VarKeyword kwargs) {
    return emit_at(c, self, msg, args, kwargs, L, LevelName);
}

// The level methods share one shape: (self, msg, *args, **kwargs).
template <auto Body>
constexpr Function level_method(const char* name) {
    return Function(name, body<Body>, {kSelf, Param{"msg"}, var_positional("args"), var_keyword("kwargs")});
}
constexpr Function kLazyDebug = level_method<lazy_level<Level::debug, names::level_debug>>("debug");
constexpr Function kLazyInfo = level_method<lazy_level<Level::info, names::level_info>>("info");
constexpr Function kLazyWarning = level_method<lazy_level<Level::warning, names::level_warning>>("warning");
constexpr Function kLazyError = level_method<lazy_level<Level::error, names::level_error>>("error");
constexpr Function kLazyCritical = level_method<lazy_level<Level::critical, names::level_critical>>("critical");

// ERROR with the current exception's traceback, unless the caller said otherwise.
nb::object lazy_exception(Call& c, nb::handle self, nb::handle msg, VarPositional args, VarKeyword kwargs) {
    nb::object number = level_number(c, Level::error, names::level_error);
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
template <const Name& Method>
constexpr Function pass_through_method(const char* name) {
    return Function(name, body<lazy_pass_through<Method>>, {kSelf, var_positional("args"), var_keyword("kwargs")});
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
    remember_child_slot(made);
    return made;
}

}  // namespace quillkit::chronicle

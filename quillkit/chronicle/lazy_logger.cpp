// Logger naming (`base_name`, `get_logger`) and the lazy logger that resolves its logger by
// name on every use, so loggers made at import time follow a later `setup_logging`.
#include "chronicle.hpp"

#include "../support/module.hpp"

namespace quillkit::chronicle {

namespace {

Name kBaseNameGlobal{"_BASE_NAME"};
Name kLoggingGlobal{"logging"};
Name kGetLoggerGlobal{"get_logger"};
Name kLazyLoggerGlobal{"_LazyLogger"};
Name kGetLoggerAttr{"getLogger"};
Name kRoot{"root"};
Name kLoggerClass{"Logger"};
Name kManager{"manager"};
Name kLoggerDict{"loggerDict"};
Name kChild{"_child"};
Name kLoggerProperty{"_l"};
Name kEmit{"_emit"};
Name kLog{"log"};
Name kName{"name"};
Name kStacklevel{"stacklevel"};
Name kLevelKeyword{"level"};
Name kExcInfo{"exc_info"};
Name kDebugLevel{"DEBUG"};
Name kInfoLevel{"INFO"};
Name kWarningLevel{"WARNING"};
Name kErrorLevel{"ERROR"};
Name kCriticalLevel{"CRITICAL"};

// ---------------------------------------------------------------------------------------------
// Naming

// The current base name, as the module namespace holds it.
nb::object base_name(Call& c) { return c.global(kBaseNameGlobal); }

// `logging.getLogger(name)`. While the facility's own getLogger is in place, a logger that
// already exists comes straight from the facility's registry: the object getLogger would
// return, without the registry lock that getLogger holds to create loggers safely.
nb::object facility_logger(Call& c, nb::handle logging, nb::handle name) {
    nb::object get_logger = attr(logging, kGetLoggerAttr);
    if (get_logger.ptr() == c.state<State>().facility_get_logger && PyUnicode_CheckExact(name.ptr()) &&
        PyUnicode_GET_LENGTH(name.ptr()) > 0) {
        nb::object root_name = attr(attr(logging, kRoot), kName);
        const int is_root = require_status(PyObject_RichCompareBool(name.ptr(), root_name.ptr(), Py_EQ));
        nb::object logger_class = attr(logging, kLoggerClass);
        nb::object registry = attr(attr(logger_class, kManager), kLoggerDict);
        if (!is_root && PyDict_CheckExact(registry.ptr()) && PyType_Check(logger_class.ptr())) {
            PyObject* found = PyDict_GetItemWithError(registry.ptr(), name.ptr());  // borrowed
            if (!found && PyErr_Occurred()) throw nb::python_error();
            if (found && PyObject_TypeCheck(found, reinterpret_cast<PyTypeObject*>(logger_class.ptr()))) {
                return nb::borrow(found);
            }
        }
    }
    return call(get_logger, {name});
}

// The logging facility's logger for `child` under the current base name.
nb::object get_logger(Call& c, nb::handle child) {
    nb::object base = c.global(kBaseNameGlobal);
    nb::object name;
    if (PyUnicode_GET_LENGTH(child.ptr()) > 0) {
        nb::object base_text = require(PyObject_Format(base.ptr(), nullptr));
        name = concat({base_text, ".", child});
    } else {
        name = base;
    }
    return facility_logger(c, c.global(kLoggingGlobal), name);
}

// A new lazy logger for `child`.
nb::object lazy_logger(Call& c, nb::handle child) {
    return call(c.global(kLazyLoggerGlobal), {child});
}

// ---------------------------------------------------------------------------------------------
// Forwarding a call's own *args and **kwargs

// An extra keyword to pass ahead of the forwarded ones.
struct Added {
    const Name* name = nullptr;
    nb::handle value;
};

// `target.method(*leading, *args, <added>, **kwargs)` for the *args and **kwargs that `c`
// collected, leaving out the keyword `skipped`.
nb::object forward(Call& c, nb::handle target, const Name& method,
                   std::initializer_list<nb::handle> leading, const Name* skipped = nullptr,
                   Added added = {}) {
    constexpr size_t kInline = 16;
    PyObject* inline_stack[kInline];
    std::vector<PyObject*> heap_stack;
    std::vector<PyObject*> keyword_values;
    std::vector<PyObject*> keyword_names;
    if (added.name) {
        keyword_names.push_back(added.name->ptr());
        keyword_values.push_back(added.value.ptr());
    }
    c.for_each_extra_keyword([&](nb::handle name, nb::handle value) {
        if (skipped && require_status(PyObject_RichCompareBool(name.ptr(), skipped->ptr(), Py_EQ))) {
            return;
        }
        keyword_names.push_back(name.ptr());
        keyword_values.push_back(value.ptr());
    });

    const size_t positional = 1 + leading.size() + static_cast<size_t>(c.extra_count());
    const size_t total = positional + keyword_values.size();
    PyObject** stack = inline_stack;
    if (total > kInline) {
        heap_stack.resize(total);
        stack = heap_stack.data();
    }
    size_t position = 0;
    stack[position++] = target.ptr();
    for (nb::handle value : leading) stack[position++] = value.ptr();
    for (Py_ssize_t index = 0; index < c.extra_count(); ++index) stack[position++] = c.extra()[index];
    for (PyObject* value : keyword_values) stack[position++] = value;

    nb::object names;
    if (!keyword_names.empty()) {
        names = require(PyTuple_New(static_cast<Py_ssize_t>(keyword_names.size())));
        for (size_t index = 0; index < keyword_names.size(); ++index) {
            PyTuple_SET_ITEM(names.ptr(), index, Py_NewRef(keyword_names[index]));
        }
    }
    return require(PyObject_VectorcallMethod(method.ptr(), stack, positional, names.ptr()));
}

// The extra keyword `name` that `c` collected, if any.
nb::handle extra_keyword(Call& c, const Name& name) {
    nb::handle found;
    c.for_each_extra_keyword([&](nb::handle key, nb::handle value) {
        if (!found.is_valid() && require_status(PyObject_RichCompareBool(key.ptr(), name.ptr(), Py_EQ))) {
            found = value;
        }
    });
    return found;
}

// ---------------------------------------------------------------------------------------------
// _LazyLogger

nb::object lazy_init(Call&, nb::handle self, nb::handle child) {
    require_status(PyObject_SetAttr(self.ptr(), kChild.ptr(), child.ptr()));
    return nb::none();
}

// Shortcuts for the path every record takes. While a lazy logger's class still holds the
// members it was made with (and the instance cannot shadow them), a level method runs `_emit`,
// `_l` and `get_logger` directly instead of looking each one up and binding its arguments
// again; a program that replaces any of them gets its replacement called.
//
// Only instances of the class as made take the shortcut (its slots leave no instance dict that
// could shadow a member); a subclass goes the long way, through attribute look-up.
bool class_member_is(Call& c, nb::handle self, const Name& name, PyObject* expected) {
    PyTypeObject* type = Py_TYPE(self.ptr());
    if (!expected || reinterpret_cast<PyObject*>(type) != c.state<State>().lazy_logger_class) return false;
    PyObject* found = PyDict_GetItemWithError(type->tp_dict, name.ptr());  // borrowed
    if (!found && PyErr_Occurred()) throw nb::python_error();
    return found == expected;
}

// `get_logger(child)`, through the module global.
nb::object logger_for(Call& c, nb::handle child) {
    nb::object function = c.global(kGetLoggerGlobal);
    if (is_function(function, kGetLogger) && PyUnicode_CheckExact(child.ptr())) {
        return get_logger(c, child);
    }
    return call(function, {child});
}

// `_l`: the logger the current base name gives for this child.
nb::object lazy_current_logger(Call& c, nb::handle self) { return logger_for(c, attr(self, kChild)); }

// `self._l`
nb::object current_logger(Call& c, nb::handle self) {
    if (!class_member_is(c, self, kLoggerProperty, c.state<State>().logger_property)) {
        return attr(self, kLoggerProperty);
    }
    return lazy_current_logger(c, self);
}

// Sends one record, naming the caller's frame unless the caller chose a stack level; a logger
// that refuses `stacklevel` gets the record once more without it.
void emit(Call& c, nb::handle self, nb::handle level, nb::handle msg) {
    static nb::handle default_stacklevel = require(PyLong_FromLong(3)).release();
    bool other_keywords = false;
    nb::handle stacklevel;
    c.for_each_extra_keyword([&](nb::handle name, nb::handle value) {
        if (require_status(PyObject_RichCompareBool(name.ptr(), kStacklevel.ptr(), Py_EQ))) {
            stacklevel = value;
        } else {
            other_keywords = true;
        }
    });
    if (!stacklevel.is_valid()) stacklevel = default_stacklevel;
    try {
        deliver(c, current_logger(c, self), level, msg, stacklevel, other_keywords);
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_TypeError)) throw;
        deliver(c, current_logger(c, self), level, msg, nb::handle(), true);
    }
}

nb::object lazy_emit(Call& c, nb::handle self, nb::handle level, nb::handle msg) {
    emit(c, self, level, msg);
    return nb::none();
}

// `self._emit(logging.<level>, msg, *args, **kwargs)`
nb::object emit_at(Call& c, nb::handle self, nb::handle msg, const Name& level_name) {
    nb::object level = attr(c.global(kLoggingGlobal), level_name);
    // `_emit` as made, with an int level and no `level` keyword that it would refuse.
    const bool direct = PyLong_CheckExact(level.ptr()) &&
                        class_member_is(c, self, kEmit, c.state<State>().emit_function) &&
                        !extra_keyword(c, kLevelKeyword).is_valid();
    if (direct) {
        emit(c, self, level, msg);
    } else {
        forward(c, self, kEmit, {level, msg});
    }
    return nb::none();
}

nb::object lazy_debug(Call& c, nb::handle self, nb::handle msg) { return emit_at(c, self, msg, kDebugLevel); }
nb::object lazy_info(Call& c, nb::handle self, nb::handle msg) { return emit_at(c, self, msg, kInfoLevel); }
nb::object lazy_warning(Call& c, nb::handle self, nb::handle msg) { return emit_at(c, self, msg, kWarningLevel); }
nb::object lazy_error(Call& c, nb::handle self, nb::handle msg) { return emit_at(c, self, msg, kErrorLevel); }
nb::object lazy_critical(Call& c, nb::handle self, nb::handle msg) { return emit_at(c, self, msg, kCriticalLevel); }

// ERROR with the current exception's traceback, unless the caller said otherwise.
nb::object lazy_exception(Call& c, nb::handle self, nb::handle msg) {
    nb::object number = attr(c.global(kLoggingGlobal), kErrorLevel);
    Added traceback;
    if (!extra_keyword(c, kExcInfo).is_valid()) traceback = Added{&kExcInfo, Py_True};
    forward(c, self, kEmit, {number, msg}, nullptr, traceback);
    return nb::none();
}

// `self._l.<method>(*args, **kwargs)`
nb::object pass_through(Call& c, nb::handle self, const Name& method) {
    return forward(c, current_logger(c, self), method, {});
}

Name kIsEnabledFor{"isEnabledFor"}, kSetLevel{"setLevel"}, kAddHandler{"addHandler"},
    kRemoveHandler{"removeHandler"};

nb::object lazy_is_enabled_for(Call& c, nb::handle self) { return pass_through(c, self, kIsEnabledFor); }
nb::object lazy_set_level(Call& c, nb::handle self) { return pass_through(c, self, kSetLevel); }
nb::object lazy_add_handler(Call& c, nb::handle self) { return pass_through(c, self, kAddHandler); }
nb::object lazy_remove_handler(Call& c, nb::handle self) { return pass_through(c, self, kRemoveHandler); }

nb::object lazy_name(Call& c, nb::handle self) { return attr(current_logger(c, self), kName); }

const Param kSelf{"self"};
const Param kChildParam{"child", Rule::str, "str", Default::text("")};

const Function kLazyInit{"__init__", lazy_init, {kSelf, kChildParam}};
const Function kLazyCurrentLogger{"_l", lazy_current_logger, {kSelf}, Returns{"logging.Logger"}};
const Function kLazyEmit{"_emit", lazy_emit,
                         {kSelf, Param{"level", Rule::integer, "int"}, Param{"msg"},
                          var_positional("args"), var_keyword("kwargs")}};

// The level methods share one shape: (self, msg, *args, **kwargs).
Function level_method(const char* name, nb::object (*body)(Call&, nb::handle, nb::handle)) {
    return Function(name, body, {kSelf, Param{"msg"}, var_positional("args"), var_keyword("kwargs")});
}
const Function kLazyDebug = level_method("debug", lazy_debug);
const Function kLazyInfo = level_method("info", lazy_info);
const Function kLazyWarning = level_method("warning", lazy_warning);
const Function kLazyError = level_method("error", lazy_error);
const Function kLazyCritical = level_method("critical", lazy_critical);
const Function kLazyException = level_method("exception", lazy_exception);

// The pass-through methods share one shape: (self, *args, **kwargs).
Function pass_through_method(const char* name, nb::object (*body)(Call&, nb::handle)) {
    return Function(name, body, {kSelf, var_positional("args"), var_keyword("kwargs")});
}
const Function kLazyIsEnabledFor = pass_through_method("isEnabledFor", lazy_is_enabled_for);
const Function kLazySetLevel = pass_through_method("setLevel", lazy_set_level);
const Function kLazyAddHandler = pass_through_method("addHandler", lazy_add_handler);
const Function kLazyRemoveHandler = pass_through_method("removeHandler", lazy_remove_handler);

const Function kLazyName{"name", lazy_name, {kSelf}};

}  // namespace

const Function kBaseName{"base_name", base_name, {}, Returns{"str", Rule::str},
                         "回傳目前的基底名稱（專案名稱）；尚未呼叫 setup_logging 時為 \"app\"。"};

const Function kGetLogger{
    "get_logger", get_logger, {kChildParam}, Returns{"Logger"},
    "依目前的基底名稱取得 logger：child 非空時為「基底名稱.child」，否則為基底名稱本身。\n\n"
    "    範例：\n"
    "        logger = get_logger(\"cargohold\")"};

const Function kLazyLogger{
    "lazy_logger", lazy_logger, {kChildParam}, Returns{"_LazyLogger"},
    "建立一個 lazy logger：每次使用時才依目前的基底名稱解析真正的 logger。\n\n"
    "    範例：\n"
    "        log = lazy_logger(\"cargohold\")\n"
    "        log.info(\"已啟動\")"};

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

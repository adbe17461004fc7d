// Logging set-up: the level-switching console formatter and `setup_logging`, which names the
// application and attaches the console and file handlers to the project logger.
#include "chronicle.hpp"

#include "../support/module.hpp"

namespace quillkit::chronicle {

namespace {

Name kBaseNameGlobal{"_BASE_NAME"};
Name kLoggingGlobal{"logging"};
Name kSysGlobal{"sys"};
Name kFormatterGlobal{"LevelSwitchingFormatter"};
Name kFmtByLevel{"_fmt_by_level"};
Name kDefault{"_default"};
Name kLevelno{"levelno"};
Name kGet{"get"};
Name kFormat{"format"};
Name kInit{"__init__"};
Name kGetLogger{"getLogger"};
Name kHandlers{"handlers"};
Name kClear{"clear"};
Name kSetLevel{"setLevel"};
Name kPropagate{"propagate"};
Name kStreamHandler{"StreamHandler"};
Name kFileHandler{"FileHandler"};
Name kFormatter{"Formatter"};
Name kStdout{"stdout"};
Name kFmt{"fmt"};
Name kDatefmt{"datefmt"};
Name kSetFormatter{"setFormatter"};
Name kAddHandler{"addHandler"};
Name kDebugLevel{"DEBUG"};
Name kInfoLevel{"INFO"};
Name kWarningLevel{"WARNING"};
Name kErrorLevel{"ERROR"};
Name kCriticalLevel{"CRITICAL"};

// ---------------------------------------------------------------------------------------------
// LevelSwitchingFormatter

nb::object formatter_init(Call& c, nb::handle self, nb::handle fmt_by_level, nb::handle default_fmt) {
    // super().__init__() with the class as it was made, like the __class__ cell of a method.
    nb::handle cls = state_field(c.state<State>().formatter_class);
    nb::object parent = call(reinterpret_cast<PyObject*>(&PySuper_Type), {cls, self});
    call_method(parent, kInit);
    require_status(PyObject_SetAttr(self.ptr(), kFmtByLevel.ptr(), fmt_by_level.ptr()));
    require_status(PyObject_SetAttr(self.ptr(), kDefault.ptr(), default_fmt.ptr()));
    return nb::none();
}

// The text of the formatter registered for the record's exact level, else of the default one.
nb::object formatter_format(Call&, nb::handle self, nb::handle record) {
    nb::object table = attr(self, kFmtByLevel);
    nb::object lookup = attr(table, kGet);
    nb::object chosen = call(lookup, {attr(record, kLevelno), attr(self, kDefault)});
    return call_method(chosen, kFormat, {record});
}

const Param kSelf{"self"};

const Function kFormatterInit{
    "__init__", formatter_init,
    {kSelf, Param{"fmt_by_level", Rule::dict, "Dict[int, logging.Formatter]"},
     Param{"default_fmt", Rule::any, "logging.Formatter"}}};

const Function kFormatterFormat{"format", formatter_format,
                                {kSelf, Param{"record", Rule::any, "logging.LogRecord"}},
                                Returns{"str", Rule::str}};

// ---------------------------------------------------------------------------------------------
// setup_logging

// `fmt_info` with the level name added after the logger name, unless it already shows it.
nb::object warning_layout(nb::handle fmt_info) {
    int shows_level = require_status(PyUnicode_Contains(fmt_info.ptr(), literal("%(levelname)s").ptr()));
    if (shows_level) return nb::borrow(fmt_info);
    return require(PyUnicode_Replace(fmt_info.ptr(), literal("%(name)s").ptr(),
                                     literal("%(name)s %(levelname)s").ptr(), -1));
}

nb::object make_formatter(nb::handle logging, nb::handle layout, nb::handle date_layout) {
    return call(attr(logging, kFormatter), {}, {{kFmt, layout}, {kDatefmt, date_layout}});
}

nb::object setup_logging(Call& c, nb::handle project_name, nb::handle debug, nb::handle level,
                         nb::handle console, nb::handle file, nb::handle fmt_info,
                         nb::handle fmt_debug, nb::handle fmt_file, nb::handle datefmt,
                         nb::handle propagate) {
    require_status(PyObject_SetAttr(c.module().ptr(), kBaseNameGlobal.ptr(), project_name.ptr()));
    nb::object logging = c.global(kLoggingGlobal);
    nb::object root = call(attr(logging, kGetLogger), {c.global(kBaseNameGlobal)});
    call_method(attr(root, kHandlers), kClear);

    nb::object chosen_level =
        !level.is_none() ? nb::borrow(level) : attr(logging, truthy(debug) ? kDebugLevel : kInfoLevel);
    call_method(root, kSetLevel, {chosen_level});
    require_status(PyObject_SetAttr(root.ptr(), kPropagate.ptr(),
                                    truthy(propagate) ? Py_True : Py_False));

    if (truthy(console)) {
        nb::object handler = call(attr(logging, kStreamHandler), {attr(c.global(kSysGlobal), kStdout)});
        nb::object info_formatter = make_formatter(logging, fmt_info, datefmt);
        nb::object debug_formatter = make_formatter(logging, fmt_debug, literal("%H:%M:%S"));
        nb::object warning_formatter = make_formatter(logging, warning_layout(fmt_info), datefmt);

        nb::object table = require(PyDict_New());
        auto map_level = [&](const Name& name, nb::handle formatter) {
            require_status(PyDict_SetItem(table.ptr(), attr(logging, name).ptr(), formatter.ptr()));
        };
        if (truthy(debug)) map_level(kDebugLevel, debug_formatter);
        map_level(kInfoLevel, info_formatter);
        map_level(kWarningLevel, warning_formatter);
        map_level(kErrorLevel, warning_formatter);
        map_level(kCriticalLevel, warning_formatter);

        nb::object switching = call(c.global(kFormatterGlobal), {table, info_formatter});
        call_method(handler, kSetFormatter, {switching});
        call_method(root, kAddHandler, {handler});
    }

    if (!file.is_none() && PyUnicode_GET_LENGTH(file.ptr()) > 0) {
        nb::object handler = call(attr(logging, kFileHandler), {file}, {{names::encoding, names::utf_8.handle()}});
        call_method(handler, kSetFormatter, {make_formatter(logging, fmt_file, datefmt)});
        call_method(root, kAddHandler, {handler});
    }
    return root;
}

}  // namespace

const char* const kFormatterDoc =
    "\n"
    "    依 log 等級切換不同格式：\n"
    "    - 若對應等級有自訂 formatter -> 用它\n"
    "    - 否則用預設 formatter\n"
    "    ";

const Function kSetupLogging{
    "setup_logging",
    setup_logging,
    {Param{"project_name", Rule::str, "str"},
     keyword_only({"debug", Rule::any, "bool", Default::boolean(false)}),
     keyword_only({"level", Rule::integer, "Optional[int]", Default::none()}),
     keyword_only({"console", Rule::any, "bool", Default::boolean(true)}),
     keyword_only({"file", Rule::str, "Optional[str]", Default::text("debug.log")}),
     keyword_only({"fmt_info", Rule::str, "str", Default::text("%(name)s: %(message)s")}),
     keyword_only({"fmt_debug", Rule::str, "str",
                   Default::text("%(asctime)s [%(threadName)s] %(name)s %(filename)s:%(lineno)d: "
                                 "%(message)s")}),
     keyword_only({"fmt_file", Rule::str, "str",
                   Default::text("%(asctime)s [%(threadName)s] %(name)s %(levelname)s "
                                 "%(filename)s:%(lineno)d: %(message)s")}),
     keyword_only({"datefmt", Rule::str, "str", Default::text("%Y-%m-%d %H:%M:%S")}),
     keyword_only({"propagate", Rule::any, "bool", Default::boolean(false)})},
    Returns{"Logger"},
    "設定專案的 logging：以 project_name 作為所有 logger 的基底名稱，清空該專案 logger 的\n"
    "    handler，設定等級與 propagate，並依參數加上主控台 handler（依等級切換格式）與檔案\n"
    "    handler（預設 \"debug.log\"，UTF-8，附加寫入）。回傳專案 logger。\n\n"
    "    範例：\n"
    "        logger = setup_logging(\"quill\", debug=True)"};

nb::object make_formatter_class(nb::handle module, nb::handle formatter_base) {
    nb::object bases = require(PyTuple_Pack(1, formatter_base.ptr()));
    return make_class(module, "LevelSwitchingFormatter", bases, kFormatterDoc,
                      {
                          {"__init__", make_function(module, kFormatterInit, "LevelSwitchingFormatter")},
                          {"format", make_function(module, kFormatterFormat, "LevelSwitchingFormatter")},
                      });
}

}  // namespace quillkit::chronicle

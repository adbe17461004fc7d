// Logging set-up: the level-switching console formatter and `setup_logging`, which names the
// application and attaches the console and file handlers to the project logger.
#include "chronicle.hpp"

#include "../support/module_startup.hpp"
#include "../support/published.hpp"

namespace quillkit::chronicle {

namespace {

// ---------------------------------------------------------------------------------------------
// LevelSwitchingFormatter

nb::object formatter_init(Call& c, nb::handle self, nb::dict fmt_by_level, nb::handle default_fmt) {
    // super().__init__() with the class as it was made, like the __class__ cell of a method.
    nb::handle cls = state_field(c.state<State>().formatter_class);
    nb::object parent = call(reinterpret_cast<PyObject*>(&PySuper_Type), {cls, self});
    call_method(parent, names::dunder_init);
    require_status(PyObject_SetAttr(self.ptr(), names::_fmt_by_level.ptr(), fmt_by_level.ptr()));
    require_status(PyObject_SetAttr(self.ptr(), names::_default.ptr(), default_fmt.ptr()));
    return nb::none();
}

constexpr Function kFormatterInit{"__init__",
                                  body<formatter_init>,
                                  {kSelf, Param{"fmt_by_level", Rule::dict, "Dict[int, logging.Formatter]"},
                                   Param{"default_fmt", Rule::any, "logging.Formatter"}}};

// The text of the formatter registered for the record's exact level, else of the default one.
nb::object formatter_format(Call&, nb::handle self, nb::handle record) {
    nb::object table = attr(self, names::_fmt_by_level);
    nb::object lookup = attr(table, names::get);
    nb::object chosen = call(lookup, {attr(record, names::levelno), attr(self, names::_default)});
    return call_method(chosen, names::format, {record});
}

constexpr Function kFormatterFormat{"format",
                                    body<formatter_format>,
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
    return call(attr(logging, names::Formatter), {}, {{names::fmt, layout}, {names::datefmt, date_layout}});
}

// The layouts of the console and the file.
struct Layouts {
    nb::str info;
    nb::str debug;
    nb::str file;
    nb::str date;
};

// The console handler on standard output: the debug layout for DEBUG (when debugging), the
// warning layout from WARNING up, the info layout for the rest.
void add_console_handler(Call& c, nb::handle logging, nb::handle root, bool debug, const Layouts& layouts) {
    nb::object handler =
        call(attr(logging, names::StreamHandler), {attr(c.global(names::sys), names::stdout_)});
    nb::object info_formatter = make_formatter(logging, layouts.info, layouts.date);
    nb::object debug_formatter = make_formatter(logging, layouts.debug, literal("%H:%M:%S"));
    nb::object warning_formatter = make_formatter(logging, warning_layout(layouts.info), layouts.date);

    nb::object table = require(PyDict_New());
    auto map_level = [&](const Name& name, nb::handle formatter) {
        require_status(PyDict_SetItem(table.ptr(), attr(logging, name).ptr(), formatter.ptr()));
    };
    if (debug) map_level(names::level_debug, debug_formatter);
    map_level(names::level_info, info_formatter);
    map_level(names::level_warning, warning_formatter);
    map_level(names::level_error, warning_formatter);
    map_level(names::level_critical, warning_formatter);

    nb::object switching = call(c.global(names::LevelSwitchingFormatter), {table, info_formatter});
    call_method(handler, names::setFormatter, {switching});
    call_method(root, names::addHandler, {handler});
}

// The file handler: UTF-8, appending, every record in the file layout.
void add_file_handler(nb::handle logging, nb::handle root, nb::str file, const Layouts& layouts) {
    nb::object handler =
        call(attr(logging, names::FileHandler), {file}, {{names::encoding, names::utf_8.handle()}});
    call_method(handler, names::setFormatter, {make_formatter(logging, layouts.file, layouts.date)});
    call_method(root, names::addHandler, {handler});
}

nb::object setup_logging(Call& c, nb::str project_name, nb::handle debug, Optional<nb::int_> level,
                         nb::handle console, Optional<nb::str> file, nb::str fmt_info, nb::str fmt_debug,
                         nb::str fmt_file, nb::str datefmt, nb::handle propagate) {
    require_status(PyObject_SetAttr(c.module().ptr(), names::base_name_global.ptr(), project_name.ptr()));
    nb::object logging = c.global(names::logging);
    nb::object root = call(attr(logging, names::getLogger), {c.global(names::base_name_global)});
    call_method(attr(root, names::handlers), names::clear);

    const bool debugging = truthy(debug);
    nb::object chosen_level = !level.is_none()
                                  ? nb::object(level.value())
                                  : attr(logging, debugging ? names::level_debug : names::level_info);
    call_method(root, names::setLevel, {chosen_level});
    require_status(
        PyObject_SetAttr(root.ptr(), names::propagate.ptr(), truthy(propagate) ? Py_True : Py_False));

    const Layouts layouts{fmt_info, fmt_debug, fmt_file, datefmt};
    if (truthy(console)) add_console_handler(c, logging, root, debugging, layouts);
    if (!file.is_none() && PyUnicode_GET_LENGTH(file.handle().ptr()) > 0) {
        add_file_handler(logging, root, file.value(), layouts);
    }
    return root;
}

constexpr Function kSetupLogging{
    "setup_logging",
    body<setup_logging>,
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
const Published kPublishSetupLogging{kSetupLogging, 1};

}  // namespace

const char* const kFormatterDoc =
    "\n"
    "    依 log 等級切換不同格式：\n"
    "    - 若對應等級有自訂 formatter -> 用它\n"
    "    - 否則用預設 formatter\n"
    "    ";

nb::object make_formatter_class(nb::handle module, nb::handle formatter_base) {
    nb::object bases = require(PyTuple_Pack(1, formatter_base.ptr()));
    return make_class(module, "LevelSwitchingFormatter", bases, kFormatterDoc,
                      {
                          {"__init__", make_function(module, kFormatterInit, "LevelSwitchingFormatter")},
                          {"format", make_function(module, kFormatterFormat, "LevelSwitchingFormatter")},
                      });
}

}  // namespace quillkit::chronicle

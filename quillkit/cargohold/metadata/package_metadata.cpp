// Package metadata: name and version from the setup script or the installed distribution, and
// the command name of the console entry point.
#include "../cargohold.hpp"

#include "../config/text_file_reading.hpp"
#include "../filesystem/file_kinds.hpp"
#include "../stand_ins/file_queries.hpp"

namespace quillkit::cargohold {

namespace {

// How a setup script is read when its syntax tree gives nothing (it does not parse, or passes
// no constant), and how a console entry point is found. Tools in the field depend on exactly
// these texts; change none of them.
const char* const kSetupPattern = R"re(setup\s*\(([\s\S]*?)\))re";
const char* const kNamePattern = R"re(name\s*=\s*["\'](.*?)["\'])re";
const char* const kVersionPattern = R"re(version\s*=\s*["\'](.*?)["\'])re";
const char* const kEntryPointPattern = R"re(['\"]([\w\-]+)\s*=\s*[\w\.]+cli:main['\"])re";

bool equals(nb::handle left, const Name& right) {
    return require_status(PyObject_RichCompareBool(left.ptr(), right.ptr(), Py_EQ)) != 0;
}

// `getattr(obj, name, None)`
nb::object attr_or_none(nb::handle obj, const Name& name) {
    nb::object value = require_or_null(PyObject_GetAttr(obj.ptr(), name.ptr()), PyExc_AttributeError);
    return value.is_valid() ? value : nb::none();
}

nb::handle or_unknown(nb::handle value) { return truthy(value) ? value : names::unknown.handle(); }

// The constants a `setup(...)` call gives as `name=` and `version=` (None where it gives none).
// Only a constant counts. (ast.Str, the old spelling of a text constant, is never consulted: on
// this interpreter it matches nothing that ast.Constant misses, and touching it raises a
// DeprecationWarning in the caller's code.)
std::pair<nb::object, nb::object> constant_keywords(nb::handle call_node, nb::handle constant_node) {
    nb::object name = nb::none();
    nb::object version = nb::none();
    for_each_item(attr(call_node, names::keywords), [&](nb::handle keyword) {
        nb::object argument = attr(keyword, names::arg);
        nb::object* target = equals(argument, names::name)      ? &name
                             : equals(argument, names::version) ? &version
                                                                : nullptr;
        if (!target) return;
        nb::object value = attr(keyword, names::value);
        if (require_status(PyObject_IsInstance(value.ptr(), constant_node.ptr())))
            *target = attr(value, names::value);
    });
    return {std::move(name), std::move(version)};
}

// (name, version) from the first `setup(...)` call, in ast.walk order, whose keywords give either
// as a constant; the null object when none does or the script does not parse.
nb::object names_from_syntax_tree(nb::handle setup_content) {
    try {
        nb::object ast = require(PyImport_Import(names::ast.ptr()));  // imported on first use only
        nb::object call_type = attr(ast, names::Call_node);
        nb::object constant_type = attr(ast, names::Constant_node);
        nb::object tree = call_method(ast, names::parse, {setup_content});
        nb::object found;
        for_each_item(call_method(ast, names::walk, {tree}), [&](nb::handle node) {
            if (!require_status(PyObject_IsInstance(node.ptr(), call_type.ptr()))) return true;
            if (!equals(attr_or_none(attr(node, names::func), names::id), names::setup)) return true;
            auto [name, version] = constant_keywords(node, constant_type);
            if (!truthy(name) && !truthy(version)) return true;
            found = pair(or_unknown(name), or_unknown(version));
            return false;
        });
        return found;
    } catch (nb::python_error& error) {
        if (!is_exception(error)) throw;
        return nb::object();
    }
}

// The capture of `match`, or "unknown" when there is none.
nb::object capture_or_unknown(nb::handle match) {
    if (!truthy(match)) return nb::borrow(names::unknown.handle());
    nb::object group = require(PyLong_FromLong(1));
    return call_method(match, names::group, {group});
}

// (name, version) from quoted assignments in the argument text of the first `setup(` up to the
// first closing parenthesis (the whole script when there is none); the null object when neither
// is there.
nb::object names_from_patterns(Call& c, nb::handle setup_content) {
    nb::object re = c.global(names::re);
    nb::object block = call_method(re, names::search, {literal(kSetupPattern), setup_content});
    nb::object arguments = nb::borrow(setup_content);
    if (truthy(block)) arguments = call_method(block, names::group, {require(PyLong_FromLong(1))});
    nb::object name_match = call_method(re, names::search, {literal(kNamePattern), arguments});
    nb::object version_match = call_method(re, names::search, {literal(kVersionPattern), arguments});
    if (!truthy(name_match) && !truthy(version_match)) return nb::object();
    return pair(capture_or_unknown(name_match), capture_or_unknown(version_match));
}

// (name, version) from a setup script's text: by its syntax tree, else by the patterns; the null
// object when neither gives anything.
nb::object names_from_script(Call& c, nb::handle setup_content) {
    nb::object names = names_from_syntax_tree(setup_content);
    return names.is_valid() ? names : names_from_patterns(c, setup_content);
}

// Whether `os.path.isfile(path)`.
bool os_path_isfile(Call& c, nb::handle os_path, nb::handle path) {
    if (PyUnicode_CheckExact(path.ptr()) && stand_ins::os_path_tests(c)) {
        return filesystem::kind_of(path) == filesystem::Kind::regular_file;
    }
    return truthy(call_method(os_path, names::isfile, {path}));
}

// (name, version) of the package from the first setup script that gives either, looking in the
// working directory first, then in the directory that holds the package.
nb::object get_package_name_version(Call& c) {
    nb::object os = c.global(names::os);
    nb::object os_path = attr(os, names::path);
    const auto dirname = [&](nb::handle path) { return call_method(os_path, names::dirname, {path}); };
    const nb::object candidates[] = {
        call_method(os_path, names::join, {call_method(os, names::getcwd), names::setup_script.handle()}),
        call_method(os_path, names::join,
                    {dirname(dirname(c.global(names::dunder_file))), names::setup_script.handle()}),
    };
    for (const nb::object& path : candidates) {
        // Only a regular file: reading a FIFO would wait for a writer forever, and a link to a
        // device such as /dev/zero would read until memory runs out.
        if (!os_path_isfile(c, os_path, path)) continue;
        nb::object found;
        try {
            if (PyUnicode_CheckExact(path.ptr()) && stand_ins::builtin_open(c)) {
                found = names_from_script(c, stand_ins::read_text(path));
            } else {
                found = with_open_text(c, path, [&](nb::handle file) {
                    return names_from_script(c, call_method(file, names::read));
                });
            }
        } catch (nb::python_error& error) {
            if (!is_exception(error)) throw;
            continue;  // an unreadable script is no answer; the next one may be
        }
        if (found.is_valid()) return found;
    }
    return pair(names::unknown.handle(), names::unknown.handle());
}

constexpr Function kGetPackageNameVersion{
    "get_package_name_version",
    body<get_package_name_version>,
    {},
    Returns{"tuple"},
    "從 setup.py（先找目前工作目錄，再找套件目錄旁）讀取套件名稱與版本，找不到時為 \"unknown\"。\n\n"
    "    範例：\n"
    "        name, ver = get_package_name_version()"};
const Published kPublishGetPackageNameVersion{kGetPackageNameVersion, 6};

// The installed distribution's version, or "unknown".
nb::object get_package_version(Call& c, nb::str package_name) {
    try {
        return call_method(attr(c.global(names::importlib), names::metadata), names::version, {package_name});
    } catch (nb::python_error& error) {
        if (!is_exception(error)) throw;
        return nb::borrow(names::unknown.handle());
    }
}

constexpr Function kGetPackageVersion{"get_package_version",
                                      body<get_package_version>,
                                      {Param{"package_name", Rule::str, "str"}},
                                      Returns{"str", Rule::str},
                                      "由已安裝套件的中繼資料取得版本；未安裝時回傳 \"unknown\"。\n\n"
                                      "    範例：\n"
                                      "        get_package_version(\"quillkit\")"};
const Published kPublishGetPackageVersion{kGetPackageVersion, 7};

// The command name of the setup script's entry point on a `cli:main` function, or `default`.
nb::object get_cli_name(Call& c, nb::handle setup_file_path, nb::str default_name) {
    const stand_ins::NativePath native = stand_ins::native_path(c, setup_file_path, stand_ins::kReadText);
    nb::object path = native.text;
    if (native) {
        if (native.kind != filesystem::Kind::regular_file)
            return nb::borrow(default_name);  // missing, or not a file
    } else {
        path = call(c.global(names::Path), {setup_file_path});
        if (!truthy(call_method(path, names::exists)) || !truthy(call_method(path, names::is_file))) {
            return nb::borrow(default_name);
        }
    }
    try {
        nb::object content =
            native ? stand_ins::read_text(path)
                   : call_method(path, names::read_text, {}, {{names::encoding, names::utf_8.handle()}});
        nb::object match =
            call_method(c.global(names::re), names::search, {literal(kEntryPointPattern), content});
        if (truthy(match)) return call_method(match, names::group, {require(PyLong_FromLong(1))});
        return nb::borrow(default_name);
    } catch (nb::python_error& error) {
        if (!is_exception(error)) throw;
        return nb::borrow(default_name);
    }
}

constexpr Function kGetCliName{
    "get_cli_name",
    body<get_cli_name>,
    {Param{"setup_file_path", Rule::any, "str | Path", Default::text("setup.py")},
     Param{"default", Rule::str, "str", Default::text("quill-cli")}},
    Returns{"str", Rule::str},
    "從 setup.py 的 console entry point（指向 cli:main）讀取指令名稱；找不到時回傳 default。\n\n"
    "    範例：\n"
    "        get_cli_name()  # 例如 'quill-cli'"};
const Published kPublishGetCliName{kGetCliName, 29};

}  // namespace

}  // namespace quillkit::cargohold

// The guards declared in guards.hpp, and the capture they compare with.
#include "guards.hpp"

#include <iterator>

namespace quillkit::cargohold::stand_ins {

namespace {

// The releases whose answers the stand-ins know (their minor numbers, after 3.), and what their
// libraries do differently. A release is proven by the property tests that compare each
// stand-in with its library; any other is unknown.
constexpr long kKnownMinors[] = {12, 13, 14, 15};
constexpr size_t kKnownReleases = std::size(kKnownMinors);
constexpr LibraryRules kRules[kKnownReleases] = {
    {DotRule::inner_dot, true},
    {DotRule::inner_dot, true},
    {DotRule::after_non_dot, false},
    {DotRule::after_non_dot, false},
};

// A member of Path's instances that a stand-in replaces or that the library's code for a use
// reaches, with the uses that rely on it on each known release (3.12, 3.13, 3.14, 3.15).
struct Member {
    const Name& name;
    unsigned uses[kKnownReleases];
};

constexpr unsigned kMade = kMakePath | kName | kStem | kSuffix;                          // Path(text)
constexpr unsigned kParsed = kMakePath | kJoin | kWithSuffix | kName | kStem | kSuffix;  // its parts read
constexpr unsigned kFormatted = kMakePath | kJoin | kWithSuffix;  // a text made from parts

const Member kMembers[] = {
    {names::dunder_new, {kMade, kMade, kMade, kMade}},
    {names::dunder_init, {kMade, kMade, kMade, kMade}},
    {names::dunder_str, {kMakePath, kMakePath, kMakePath, kMakePath}},
    // How os functions read a path the stand-ins never made.
    {names::dunder_fspath, {kMakePath, kMakePath, kMakePath, kMakePath}},
    {names::drive, {kFormatted, kFormatted, kFormatted, kFormatted}},
    {names::root, {kFormatted, kFormatted, kFormatted, kFormatted}},
    {names::flavour, {kParsed, 0, 0, 0}},  // the separator and how a root is split off
    {names::parser, {0, kParsed, kParsed, kParsed}},
    {names::dunder_truediv, {kJoin, kJoin, kJoin, kJoin}},
    {names::joinpath, {kJoin, 0, 0, 0}},  // what `/` calls on 3.12
    {names::parent, {kJoin, kJoin, kJoin, kJoin}},
    // How joining and with_suffix make their result.
    {names::with_segments,
     {kJoin | kWithSuffix, kJoin | kWithSuffix, kJoin | kWithSuffix, kJoin | kWithSuffix}},
    // The queries stat through the path before 3.14, through os.path since.
    {names::stat, {kQuery | kMakeDir, kQuery | kMakeDir, 0, 0}},
    {names::exists, {kQuery, kQuery, kQuery, kQuery}},
    {names::is_file, {kQuery, kQuery, kQuery, kQuery}},
    {names::is_dir, {kQuery | kMakeDir, kQuery | kMakeDir, kQuery | kMakeDir, kQuery | kMakeDir}},
    {names::mkdir, {kMakeDir, kMakeDir, kMakeDir, kMakeDir}},
    {names::read_text, {kReadText, kReadText, kReadText, kReadText}},
    {names::open, {kReadText, kReadText, kReadText, kReadText}},
    {names::with_suffix, {kWithSuffix, kWithSuffix, kWithSuffix, kWithSuffix}},
    {names::name,
     {kWithSuffix | kName | kStem | kSuffix, kWithSuffix | kName | kStem | kSuffix,
      kWithSuffix | kName | kStem | kSuffix, kWithSuffix | kName | kStem | kSuffix}},
    // with_suffix reads the old suffix on 3.12, the stem and with_name since.
    {names::suffix, {kSuffix | kWithSuffix, kSuffix, kSuffix, kSuffix}},
    {names::stem, {kStem, kStem | kWithSuffix, kStem | kWithSuffix, kStem | kWithSuffix}},
    {names::with_name, {0, kWithSuffix, kWithSuffix, kWithSuffix}},
};
static_assert(std::size(kMembers) == kPathMembers, "Originals::path_members holds one pointer a member");

// Where a library function is found.
enum class Owner { os, os_path, io };

// A function of os, os.path or io that the library's code for a use calls, with the uses that
// rely on it on each known release.
struct LibraryFunction {
    Owner owner;
    const Name& name;
    unsigned uses[kKnownReleases];
};

constexpr unsigned kStatted = kQuery | kMakeDir | kPathTests;
constexpr unsigned kSince314 = kQuery | kMakeDir;  // Path's queries are os.path's tests since 3.14

const LibraryFunction kFunctions[] = {
    {Owner::os, names::fspath, {kMade, kMade, kMade, kMade}},
    {Owner::os, names::stat, {kStatted, kStatted, kStatted, kStatted}},
    {Owner::os, names::mkdir, {kMakeDir, kMakeDir, kMakeDir, kMakeDir}},
    // Before the functions of os.path: those are read from the module found, once it still is.
    {Owner::os, names::path, {kPathTests, kPathTests, kPathTests | kSince314, kPathTests | kSince314}},
    {Owner::os_path, names::exists, {0, 0, kQuery, kQuery}},
    {Owner::os_path, names::isfile, {kPathTests, kPathTests, kPathTests | kQuery, kPathTests | kQuery}},
    {Owner::os_path, names::isdir, {kPathTests, kPathTests, kPathTests | kSince314, kPathTests | kSince314}},
    {Owner::io, names::open, {kReadText, kReadText, kReadText, kReadText}},
    {Owner::io, names::text_encoding, {kReadText, kReadText, kReadText, kReadText}},
};
static_assert(std::size(kFunctions) == kLibraryFunctions,
              "Originals::functions holds one pointer a function");

// A new reference to `module.name` read from the module's namespace, for the state; start-up
// fails when it is missing. Null when what start-up found is no module (a program put another
// object in place of os.path before the import): nothing is read from it, and the uses that
// rely on it decline.
PyObject* keep(PyObject* module, const Name& name) {
    if (!module || !PyModule_Check(module)) return nullptr;
    nb::object value = namespace_entry(PyModule_GetDict(module), name);
    if (!value.is_valid()) raise(PyExc_ImportError, "cannot find %U in module %R", name.ptr(), module);
    return value.release().ptr();
}

// Whether `module.name`, read from the module's namespace, is `expected`; false when what start-up
// found is no module.
bool same_entry(PyObject* module, const Name& name, PyObject* expected) {
    if (!module || !PyModule_Check(module)) return false;
    return namespace_entry(PyModule_GetDict(module), name).ptr() == expected;
}

PyObject* owner_module(const Originals& originals, Owner owner) {
    switch (owner) {
        case Owner::os:
            return originals.os_module;
        case Owner::os_path:
            return originals.os_path;
        case Owner::io:
            return originals.io_module;
    }
    return nullptr;
}

// Whether the class attribute (what an instance without members of its own finds) is `expected`.
bool same_member(PyObject* type, const Name& name, PyObject* expected) {
    // Deleted, it is not the one found: the library's own call reports it.
    nb::object found = require_or_null(PyObject_GetAttr(type, name.ptr()), PyExc_AttributeError);
    return found.is_valid() && found.ptr() == expected;
}

// The column of sys.version_info's release among the known ones; 0 for any other, and for a
// version_info that is not what the interpreter sets (a program may have replaced it).
size_t running_release() {
    PyObject* version_info = PySys_GetObject("version_info");  // borrowed
    if (!version_info || !PyTuple_Check(version_info) || PyTuple_GET_SIZE(version_info) < 2) return 0;
    PyObject* major = PyTuple_GET_ITEM(version_info, 0);
    PyObject* minor = PyTuple_GET_ITEM(version_info, 1);
    if (!PyLong_CheckExact(major) || !PyLong_CheckExact(minor)) return 0;
    const long major_number = PyLong_AsLong(major);
    const long minor_number = PyLong_AsLong(minor);
    if (PyErr_Occurred()) throw nb::python_error();
    if (major_number != 3) return 0;
    for (size_t index = 0; index < kKnownReleases; ++index) {
        if (kKnownMinors[index] == minor_number) return index + 1;
    }
    return 0;
}

// The uses of `all` left once those relying on a library function that is no longer as found
// are taken out.
unsigned functions_as_found(const Originals& originals, size_t column, unsigned all) {
    for (size_t index = 0; index < kLibraryFunctions; ++index) {
        const LibraryFunction& function = kFunctions[index];
        const unsigned uses = function.uses[column - 1];
        if (!(uses & all)) continue;
        // Null when start-up found no module to read it from (see keep): the uses decline.
        if (!originals.functions[index] ||
            !same_entry(owner_module(originals, function.owner), function.name, originals.functions[index])) {
            all &= ~uses;
        }
    }
    return all;
}

// The uses whose members of Path's instances and library functions are all as found.
unsigned uses_as_found(const Originals& originals, size_t column) {
    if (!column || !originals.path_type) return 0;
    unsigned all = ~0u;
    for (size_t index = 0; index < std::size(kMembers); ++index) {
        const unsigned uses = kMembers[index].uses[column - 1];
        if (!(uses & all)) continue;
        const Member& member = kMembers[index];
        if (!same_member(originals.path_type, member.name, originals.path_members[index])) all &= ~uses;
    }
    return functions_as_found(originals, column, all);
}

// A global of the module, as Call::global finds it (the module's namespace, then `builtins`);
// borrowed, null when missing.
PyObject* global_in(PyObject* globals, PyObject* builtins, const Name& name) {
    if (PyObject* value = dict_item(globals, name.handle()).ptr()) return value;
    return dict_item(builtins, name.handle()).ptr();
}

// Compares everything again, watching each namespace and class it reads.
void compare_again(Call& c, const Originals& found, Seen& seen) {
    ViewReading reading(seen.watch);
    PyObject* globals = PyModule_GetDict(c.module().ptr());
    PyObject* builtins = PyEval_GetBuiltins();
    reading.watch_dict(globals);
    reading.watch_dict(builtins);
    for (PyObject* module : {found.os_module, found.os_path, found.io_module, found.re_module}) {
        if (module && PyModule_Check(module)) reading.watch_dict(PyModule_GetDict(module));
    }
    if (found.path_type) reading.watch_type(found.path_type);

    const size_t column = seen.release;
    seen.path_global = dict_item(globals, names::Path.handle()).ptr() == found.path_class;
    seen.member_uses = uses_as_found(found, column);
    seen.os_path_tests = column && dict_item(globals, names::os.handle()).ptr() == found.os_module &&
                         (functions_as_found(found, column, kPathTests) & kPathTests);
    const bool open_own = dict_item(globals, names::open.handle()).is_valid();
    seen.open_global = column && global_in(globals, builtins, names::open) == found.io_open;
    seen.open_builtins = open_own ? nullptr : builtins;  // other callers may run with other builtins
    seen.re_search = found.re_search && dict_item(globals, names::re.handle()).ptr() == found.re_module &&
                     same_entry(found.re_module, names::search, found.re_search);
    reading.done();
}

// What was seen, compared again first when anything it was read from has changed.
const Seen& current(Call& c) {
    Seen& now = seen(c);
    if (!still_current(now.watch)) compare_again(c, originals(c), now);
    return now;
}

}  // namespace

void capture(Originals& originals, Seen& seen, nb::handle os, nb::handle re, nb::handle path_class) {
    const size_t column = running_release();
    seen.release = column;
    originals.os_module = Py_NewRef(os.ptr());
    originals.os_path = keep(os.ptr(), names::path);
    originals.io_module = require(PyImport_Import(names::io.ptr())).release().ptr();
    originals.io_open = keep(originals.io_module, names::open);
    originals.re_module = Py_NewRef(re.ptr());
    originals.re_search = keep(re.ptr(), names::search);
    originals.path_class = Py_NewRef(path_class.ptr());
    if (column == 0) return;  // nothing is compared: every stand-in declines
    for (size_t index = 0; index < kLibraryFunctions; ++index) {
        if (kFunctions[index].uses[column - 1]) {
            originals.functions[index] =
                keep(owner_module(originals, kFunctions[index].owner), kFunctions[index].name);
        }
    }
    nb::object instance = call(path_class);
    PyTypeObject* type = Py_TYPE(instance.ptr());
    // Instances with a __dict__ could shadow any member: no stand-in for those.
    if (type->tp_dictoffset != 0) return;
    originals.path_type = Py_NewRef(reinterpret_cast<PyObject*>(type));
    for (size_t index = 0; index < std::size(kMembers); ++index) {
        if (kMembers[index].uses[column - 1]) {
            originals.path_members[index] = attr(originals.path_type, kMembers[index].name).release().ptr();
        }
    }
}

const LibraryRules* library_rules(Call& c) {
    const size_t column = seen(c).release;
    return column ? &kRules[column - 1] : nullptr;
}

bool path_members(Call& c, unsigned uses) { return (current(c).member_uses & uses) == uses; }

bool path_class(Call& c, unsigned uses) {
    const Seen& now = current(c);
    return now.path_global && (now.member_uses & uses) == uses;
}

bool os_path_tests(Call& c) { return current(c).os_path_tests; }

bool builtin_open(Call& c) {
    const Seen& now = current(c);
    return now.open_global && (!now.open_builtins || PyEval_GetBuiltins() == now.open_builtins);
}

bool re_search(Call& c) { return current(c).re_search; }

bool is_plain_path(Call& c, nb::handle path) {
    PyObject* type = originals(c).path_type;
    return type && Py_TYPE(path.ptr()) == reinterpret_cast<PyTypeObject*>(type);
}

nb::object plain_path_text(Call& c, nb::handle path, unsigned uses) {
    if (!path_class(c, uses | kMakePath)) return nb::object();
    if (PyUnicode_CheckExact(path.ptr())) return path_text(path);
    if (is_plain_path(c, path)) return to_str(path);  // Path(path) holds what path holds
    return nb::object();
}

}  // namespace quillkit::cargohold::stand_ins

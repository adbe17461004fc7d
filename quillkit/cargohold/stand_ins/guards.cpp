// The guards declared in guards.hpp, and the capture they compare with.
#include "guards.hpp"

#include "path_rules.hpp"

#include <iterator>

namespace quillkit::cargohold::stand_ins {

namespace {

// A member of Path's instances that a stand-in replaces or that the replaced code calls, and
// the uses that rely on it.
struct Member {
    const Name& name;
    unsigned uses;
};

const Member kMembers[] = {
    {names::dunder_new, kMakePath},
    {names::dunder_init, kMakePath},
    {names::dunder_str, kMakePath},
    {names::dunder_fspath, kMakePath},  // how os functions read a path the stand-ins never made
    {names::dunder_truediv, kJoin},
    {names::joinpath, kJoin},
    {names::parent, kJoin},
    {names::with_segments, kJoin | kSuffix},  // how joining and with_suffix make their result
    {names::stat, kQuery | kMakeDir},
    {names::exists, kQuery},
    {names::is_file, kQuery},
    {names::is_dir, kQuery | kMakeDir},
    {names::mkdir, kMakeDir},
    {names::read_text, kReadText},
    {names::open, kReadText},
    {names::with_suffix, kSuffix},
};
static_assert(std::size(kMembers) == kPathMembers, "Originals::path_members holds one pointer a member");

// `module.name` read from a module's namespace; null when missing. Borrowed.
PyObject* entry(PyObject* module, const Name& name) {
    return dict_item(PyModule_GetDict(module), name.handle()).ptr();
}

// A new reference to `module.name`, for the state; start-up fails when it is missing.
PyObject* keep(PyObject* module, const Name& name) {
    PyObject* value = entry(module, name);
    if (!value) raise(PyExc_ImportError, "cannot find %U in module %R", name.ptr(), module);
    return Py_NewRef(value);
}

bool same_entry(PyObject* module, const Name& name, PyObject* expected) {
    return entry(module, name) == expected;
}

// Whether the class attribute (what an instance without members of its own finds) is `expected`.
bool same_member(PyObject* type, const Name& name, PyObject* expected) {
    nb::object found = nb::steal(PyObject_GetAttr(type, name.ptr()));
    if (!found.is_valid()) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();  // deleted: the library's own call reports it
        return false;
    }
    return found.ptr() == expected;
}

// The os functions a set of uses relies on, as found.
bool os_functions(const Originals& state, unsigned uses) {
    PyObject* os = state.os_module;
    if ((uses & kMakePath) && !same_entry(os, names::fspath, state.os_fspath)) return false;
    if ((uses & (kQuery | kMakeDir)) && !same_entry(os, names::stat, state.os_stat)) return false;
    if ((uses & kMakeDir) && !same_entry(os, names::mkdir, state.os_mkdir)) return false;
    if ((uses & kReadText) && !same_entry(state.io_module, names::open, state.io_open)) return false;
    return true;
}

}  // namespace

void capture(Originals& state, nb::handle os, nb::handle path_class) {
    state.os_module = Py_NewRef(os.ptr());
    state.os_path = keep(os.ptr(), names::path);
    state.os_stat = keep(os.ptr(), names::stat);
    state.os_mkdir = keep(os.ptr(), names::mkdir);
    state.os_fspath = keep(os.ptr(), names::fspath);
    state.isdir = keep(state.os_path, names::isdir);
    state.isfile = keep(state.os_path, names::isfile);
    state.io_module = require(PyImport_Import(names::io.ptr())).release().ptr();
    state.io_open = keep(state.io_module, names::open);
    state.path_class = Py_NewRef(path_class.ptr());
    nb::object instance = call(path_class);
    PyTypeObject* type = Py_TYPE(instance.ptr());
    // Instances with a __dict__ could shadow any member: no stand-in for those.
    if (type->tp_dictoffset != 0) return;
    state.path_type = Py_NewRef(reinterpret_cast<PyObject*>(type));
    for (size_t index = 0; index < kPathMembers; ++index) {
        state.path_members[index] = attr(state.path_type, kMembers[index].name).release().ptr();
    }
}

bool os_path_tests(Call& c) {
    const Originals& state = originals(c);
    nb::object os = c.global(names::os);
    if (os.ptr() != state.os_module) return false;
    return same_entry(os.ptr(), names::path, state.os_path) && same_entry(os.ptr(), names::stat, state.os_stat) &&
           same_entry(state.os_path, names::isdir, state.isdir) &&
           same_entry(state.os_path, names::isfile, state.isfile);
}

bool builtin_open(Call& c) { return c.global(names::open).ptr() == originals(c).io_open; }

bool path_members(Call& c, unsigned uses) {
    const Originals& state = originals(c);
    if (!state.path_type) return false;
    for (size_t index = 0; index < kPathMembers; ++index) {
        if ((kMembers[index].uses & uses) &&
            !same_member(state.path_type, kMembers[index].name, state.path_members[index])) {
            return false;
        }
    }
    return os_functions(state, uses);
}

bool path_class(Call& c, unsigned uses) {
    return c.global(names::Path).ptr() == originals(c).path_class && path_members(c, uses);
}

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

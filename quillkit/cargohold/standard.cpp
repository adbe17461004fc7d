// The stand-ins declared in standard.hpp.
#include "standard.hpp"

#include "path_text.hpp"
#include "tree.hpp"

#include "../support/system_calls.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <vector>

namespace quillkit::cargohold::standard {

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
static_assert(std::size(kMembers) == kPathMembers, "State::path_members holds one pointer a member");

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
bool os_functions(const State& state, unsigned uses) {
    PyObject* os = state.os_module;
    if ((uses & kMakePath) && !same_entry(os, names::fspath, state.os_fspath)) return false;
    if ((uses & (kQuery | kMakeDir)) && !same_entry(os, names::stat, state.os_stat)) return false;
    if ((uses & kMakeDir) && !same_entry(os, names::mkdir, state.os_mkdir)) return false;
    if ((uses & kReadText) && !same_entry(state.io_module, names::open, state.io_open)) return false;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Path texts

// Where the components of a str path begin: after its root, which pathlib keeps as "/" or, for
// exactly two leading slashes, "//".
Py_ssize_t root_length(PyObject* text, Py_ssize_t length) {
    if (length == 0 || PyUnicode_READ_CHAR(text, 0) != '/') return 0;
    if (length == 1 || PyUnicode_READ_CHAR(text, 1) != '/') return 1;
    if (length == 2 || PyUnicode_READ_CHAR(text, 2) != '/') return 2;
    return 1;
}

// Whether text[start, end) is a component pathlib drops: empty or ".".
bool dropped(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
    return end == start || (end - start == 1 && PyUnicode_READ_CHAR(text, start) == '.');
}

struct Range {
    Py_ssize_t start, end;
};

// Calls visit(range) for each component that pathlib keeps, in order.
template <class Visit>
void for_each_component(PyObject* text, Py_ssize_t length, Py_ssize_t root, Visit&& visit) {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t start = root;
    for (Py_ssize_t index = root; index <= length; ++index) {
        if (index < length && PyUnicode_READ(kind, data, index) != '/') continue;
        if (!dropped(text, start, index)) visit(Range{start, index});
        start = index + 1;
    }
}

// The widest character in the ranges, which decides how the text holding them is stored.
Py_UCS4 widest(PyObject* text, const Range* ranges, size_t count) {
    const Py_UCS4 bound = PyUnicode_MAX_CHAR_VALUE(text);
    if (bound < 0x80) return bound;
    Py_UCS4 found = 0;
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (size_t index = 0; index < count; ++index) {
        for (Py_ssize_t at = ranges[index].start; at < ranges[index].end; ++at) {
            found = std::max(found, PyUnicode_READ(kind, data, at));
        }
    }
    return found;
}

// The text made of `text`'s root and the ranges, joined by "/", "." when empty; `text` itself
// when that is what it already holds.
nb::object assemble(PyObject* text, Py_ssize_t root, const Range* ranges, size_t count, Py_ssize_t length) {
    Py_ssize_t size = root;
    for (size_t index = 0; index < count; ++index) size += ranges[index].end - ranges[index].start + (index > 0);
    if (size == 0) return nb::borrow(literal("."));
    if (size == length && (count == 0 || ranges[0].start == root)) return nb::borrow(text);
    nb::object result = require(PyUnicode_New(size, widest(text, ranges, count)));
    require_status(PyUnicode_CopyCharacters(result.ptr(), 0, text, 0, root));
    Py_ssize_t position = root;
    for (size_t index = 0; index < count; ++index) {
        if (index > 0) PyUnicode_WriteChar(result.ptr(), position++, '/');
        const Py_ssize_t span = ranges[index].end - ranges[index].start;
        require_status(PyUnicode_CopyCharacters(result.ptr(), position, text, ranges[index].start, span));
        position += span;
    }
    return result;
}

// The components of a text, collected; a long path spills to the heap.
class Components {
public:
    explicit Components(PyObject* text) : text_(text), length_(PyUnicode_GET_LENGTH(text)) {
        root_ = root_length(text, length_);
        for_each_component(text, length_, root_, [&](Range range) { ranges_.push_back(range); });
    }
    nb::object text() const { return assemble(text_, root_, ranges_.data(), ranges_.size(), length_); }
    bool has_name() const { return !ranges_.empty(); }
    void drop_name() { ranges_.pop_back(); }
    Range& name() { return ranges_.back(); }
    PyObject* source() const { return text_; }
    Py_ssize_t root() const { return root_; }
    const std::vector<Range>& ranges() const { return ranges_; }

private:
    PyObject* text_;
    Py_ssize_t length_;
    Py_ssize_t root_;
    std::vector<Range> ranges_;
};

// ---------------------------------------------------------------------------------------------
// System calls

// The bytes of a str or bytes path as the system takes them; nothing when the library's call
// would refuse the text (it answers False to a test, raises on an open).
std::optional<std::string> system_path(nb::handle path) {
    if (PyBytes_Check(path.ptr())) {  // a subclass's bytes cannot change either
        const char* data = PyBytes_AS_STRING(path.ptr());
        const size_t size = static_cast<size_t>(PyBytes_GET_SIZE(path.ptr()));
        if (std::memchr(data, '\0', size)) return std::nullopt;
        return std::string(data, size);
    }
    return path_text::encode(path);
}

// Universal newlines, as text mode reads: "\r\n" and a lone "\r" become "\n".
nb::object translate_newlines(nb::object text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    const Py_ssize_t found = PyUnicode_FindChar(text.ptr(), '\r', 0, length, 1);
    if (found == -2) throw nb::python_error();
    if (found == -1) return text;
    text = require(PyUnicode_Replace(text.ptr(), literal("\r\n").ptr(), literal("\n").ptr(), -1));
    return require(PyUnicode_Replace(text.ptr(), literal("\r").ptr(), literal("\n").ptr(), -1));
}

}  // namespace

void capture(State& state, nb::handle os, nb::handle path_class) {
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
    const State& state = c.state<State>();
    nb::object os = c.global(names::os);
    if (os.ptr() != state.os_module) return false;
    return same_entry(os.ptr(), names::path, state.os_path) && same_entry(os.ptr(), names::stat, state.os_stat) &&
           same_entry(state.os_path, names::isdir, state.isdir) &&
           same_entry(state.os_path, names::isfile, state.isfile);
}

bool builtin_open(Call& c) { return c.global(names::open).ptr() == c.state<State>().io_open; }

bool path_members(Call& c, unsigned uses) {
    const State& state = c.state<State>();
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
    return c.global(names::Path).ptr() == c.state<State>().path_class && path_members(c, uses);
}

bool is_plain_path(Call& c, nb::handle path) {
    PyObject* type = c.state<State>().path_type;
    return type && Py_TYPE(path.ptr()) == reinterpret_cast<PyTypeObject*>(type);
}

nb::object plain_path_text(Call& c, nb::handle path, unsigned uses) {
    if (!path_class(c, uses | kMakePath)) return nb::object();
    if (PyUnicode_CheckExact(path.ptr())) return path_text(path);
    if (is_plain_path(c, path)) return to_str(path);  // Path(path) holds what path holds
    return nb::object();
}

Kind query(Call& c, nb::handle path) {
    if (!is_plain_path(c, path) || !path_members(c, kQuery)) return Kind::unusual;
    // What os.stat does with a path object: its __fspath__, whatever that is.
    return kind_of(require(PyOS_FSPath(path.ptr())));
}

nb::object path_text(nb::handle text) { return Components(text.ptr()).text(); }

nb::object parent_text(nb::handle text) {
    Components components(text.ptr());
    if (components.has_name()) components.drop_name();  // a bare root or "." is its own parent
    return components.text();
}

nb::object joined_path_text(nb::handle directory_text, nb::handle name) {
    if (PyUnicode_GET_LENGTH(name.ptr()) > 0 && PyUnicode_READ_CHAR(name.ptr(), 0) == '/') return path_text(name);
    return path_text(concat({directory_text, "/", name}));
}

nb::object with_suffix_text(nb::handle text, nb::handle suffix) {
    const Py_ssize_t suffix_length = PyUnicode_GET_LENGTH(suffix.ptr());
    const Py_ssize_t separator = PyUnicode_FindChar(suffix.ptr(), '/', 0, suffix_length, 1);
    if (separator == -2) throw nb::python_error();
    if (separator >= 0 || suffix_length < 2) return nb::object();
    Components components(text.ptr());
    if (!components.has_name()) return nb::object();
    // The old suffix starts at the last dot that is neither the name's first nor last character.
    Range& name = components.name();
    const Py_ssize_t dot = PyUnicode_FindChar(text.ptr(), '.', name.start, name.end, -1);
    if (dot == -2) throw nb::python_error();
    const Py_ssize_t stem_end = dot > name.start && dot < name.end - 1 ? dot : name.end;
    name.end = stem_end;
    nb::object stem_path = components.text();
    return concat({stem_path, suffix});
}

nb::object replace(nb::handle text, nb::handle old, nb::handle replacement) {
    if (!PyUnicode_CheckExact(text.ptr()) || !PyUnicode_Check(old.ptr()) || !PyUnicode_Check(replacement.ptr())) {
        return call_method(text, names::replace, {old, replacement});
    }
    return require(PyUnicode_Replace(text.ptr(), old.ptr(), replacement.ptr(), -1));
}

nb::object strip(nb::handle text) {
    if (!PyUnicode_CheckExact(text.ptr())) return call_method(text, names::strip);
    const int kind = PyUnicode_KIND(text.ptr());
    const void* data = PyUnicode_DATA(text.ptr());
    Py_ssize_t start = 0, end = PyUnicode_GET_LENGTH(text.ptr());
    while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) ++start;
    while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
    return require(PyUnicode_Substring(text.ptr(), start, end));
}

Kind kind_of(nb::handle path) {
    std::optional<std::string> bytes = system_path(path);
    if (!bytes) return Kind::missing;
    struct stat status;
    int error = 0;
    // A stat may wait on a slow file system.
    const bool found = without_gil([&]() noexcept {
        if (stat(bytes->c_str(), &status) == 0) return true;
        error = errno;
        return false;
    });
    if (!found) {
        return tree::is_missing_stat_error(error) ? Kind::missing : Kind::unusual;
    }
    if (S_ISDIR(status.st_mode)) return Kind::directory;
    if (S_ISREG(status.st_mode)) return Kind::regular_file;
    return Kind::other;
}

NativePath native_path(Call& c, nb::handle argument, unsigned uses) {
    NativePath path;
    nb::object text = plain_path_text(c, argument, uses | kQuery);
    if (!text.is_valid()) return path;
    path.kind = kind_of(text);
    if (path.kind != Kind::unusual) path.text = std::move(text);
    return path;
}

void make_directories(Call& c, nb::handle path) {
    // mkdir fails on a directory that is there, then accepts it after asking is_dir().
    if (is_plain_path(c, path) && path_members(c, kMakeDir) &&
        kind_of(require(PyOS_FSPath(path.ptr()))) == Kind::directory) {
        return;
    }
    call_method(path, names::mkdir, {}, {{names::parents, Py_True}, {names::exist_ok, Py_True}});
}

nb::object read_text(nb::handle path) {
    // The conversion the file object makes, with its errors for a text the system cannot take.
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &converted)) throw nb::python_error();
    nb::object bytes = nb::steal(converted);
    const std::string name(PyBytes_AS_STRING(converted), static_cast<size_t>(PyBytes_GET_SIZE(converted)));
    constexpr int kFlags = O_RDONLY | O_CLOEXEC;
    require_status(PySys_Audit("open", "Osi", path.ptr(), "r", kFlags));
    SystemCalls calls;
    const Outcome opened = calls.run([&] { return open(name.c_str(), kFlags); });
    if (opened.failed()) raise_os_error(opened.error, path);
    Descriptor file(static_cast<int>(opened.result));
    struct stat status;
    const Outcome described = calls.run([&] { return fstat(file.get(), &status); });
    if (described.failed()) raise_os_error(described.error);
    if (S_ISDIR(status.st_mode)) raise_os_error(EISDIR, path);  // what opening a directory says
    // The size is only a hint: the file may change while it is read.
    std::string content(static_cast<size_t>(status.st_size > 0 ? status.st_size : 0) + 1, '\0');
    size_t filled = 0;
    for (;;) {
        if (filled == content.size()) content.resize(content.size() * 2);
        const Outcome got = calls.run([&] { return read(file.get(), &content[filled], content.size() - filled); });
        if (got.failed()) raise_os_error(got.error);
        if (got.result == 0) break;
        filled += static_cast<size_t>(got.result);
    }
    content.resize(filled);
    if (const int error = file.close(calls)) raise_os_error(error);
    nb::object text = require(PyUnicode_DecodeUTF8(content.data(), static_cast<Py_ssize_t>(content.size()), "strict"));
    return translate_newlines(std::move(text));
}

}  // namespace quillkit::cargohold::standard

// The file queries declared in file_queries.hpp.
#include "file_queries.hpp"

#include "../../support/system_calls.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace quillkit::cargohold::stand_ins {

using filesystem::Kind;

namespace {

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

StatFailure stat_failure(Call& c, int error) {
    const LibraryRules* rules = library_rules(c);
    if (!rules) return StatFailure::unknown;
    return rules->queries_raise && !filesystem::is_missing_stat_error(error) ? StatFailure::raises
                                                                             : StatFailure::answers_false;
}

Kind as_pathlib_sees(Call& c, Kind kind) {
    if (kind != Kind::unusual) return kind;
    const LibraryRules* rules = library_rules(c);
    return rules && !rules->queries_raise ? Kind::missing : Kind::unusual;
}

Kind pathlib_kind_of(Call& c, nb::handle text) { return as_pathlib_sees(c, filesystem::kind_of(text)); }

Kind query(Call& c, nb::handle path) {
    if (!is_plain_path(c, path) || !path_members(c, kQuery)) return Kind::unusual;
    // What os.stat does with a path object: its __fspath__, whatever that is.
    return pathlib_kind_of(c, require(PyOS_FSPath(path.ptr())));
}

NativePath native_path(Call& c, nb::handle argument, unsigned uses) {
    NativePath path;
    nb::object text = plain_path_text(c, argument, uses | kQuery);
    if (!text.is_valid()) return path;
    path.kind = pathlib_kind_of(c, text);
    if (path.kind != Kind::unusual) path.text = std::move(text);
    return path;
}

void make_directories(Call& c, nb::handle path) {
    // mkdir fails on a directory that is there, then accepts it after asking is_dir().
    if (is_plain_path(c, path) && path_members(c, kMakeDir) &&
        filesystem::kind_of(require(PyOS_FSPath(path.ptr()))) == Kind::directory) {
        return;
    }
    call_method(path, names::mkdir, {}, {{names::parents, Py_True}, {names::exist_ok, Py_True}});
}

nb::object read_text(nb::handle path) {
    // The conversion the file object makes, with its errors for a text the system cannot take.
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), static_cast<void*>(&converted))) throw nb::python_error();
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
        const Outcome got =
            calls.run([&] { return read(file.get(), &content[filled], content.size() - filled); });
        if (got.failed()) raise_os_error(got.error);
        if (got.result == 0) break;
        filled += static_cast<size_t>(got.result);
    }
    content.resize(filled);
    if (const int error = file.close(calls)) raise_os_error(error);
    nb::object text =
        require(PyUnicode_DecodeUTF8(content.data(), static_cast<Py_ssize_t>(content.size()), "strict"));
    return translate_newlines(std::move(text));
}

}  // namespace quillkit::cargohold::stand_ins

// File-name conversions declared in path_text.hpp.
#include "path_text.hpp"

#include <cstring>

namespace quillkit::cargohold::path_text {

std::optional<std::string> encode(nb::handle text) {
    PyObject* bytes = PyUnicode_EncodeFSDefault(text.ptr());
    if (!bytes) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
        PyErr_Clear();
        return std::nullopt;
    }
    nb::object owned = nb::steal(bytes);
    const char* data = PyBytes_AS_STRING(bytes);
    const size_t size = static_cast<size_t>(PyBytes_GET_SIZE(bytes));
    if (std::memchr(data, '\0', size)) return std::nullopt;
    return std::string(data, size);
}

std::optional<std::string> encode_exactly(nb::handle text) {
    std::optional<std::string> bytes = encode(text);
    if (!bytes) return std::nullopt;
    nb::object back = decode(*bytes);
    if (require_status(PyObject_RichCompareBool(back.ptr(), text.ptr(), Py_EQ)) == 0) {
        return std::nullopt;
    }
    return bytes;
}

nb::object decode(std::string_view bytes) {
    return require(PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

bool utf8_names() {
    // Fixed when the interpreter starts, so asked once.
    static const bool utf8 = [] {
        nb::object sys = require(PyImport_ImportModule("sys"));
        nb::object encoding = require(PyObject_CallMethod(sys.ptr(), "getfilesystemencoding", nullptr));
        nb::object errors = require(PyObject_CallMethod(sys.ptr(), "getfilesystemencodeerrors", nullptr));
        return PyUnicode_CompareWithASCIIString(encoding.ptr(), "utf-8") == 0 &&
               PyUnicode_CompareWithASCIIString(errors.ptr(), "surrogateescape") == 0;
    }();
    return utf8;
}

tree::Kind kind_of(nb::handle text) {
    std::optional<std::string> bytes = encode(text);
    if (!bytes) return tree::Kind::missing;
    tree::Kind kind;
    {
        nb::gil_scoped_release unlocked;  // a stat may wait on a slow file system
        kind = tree::kind_of(*bytes);
    }
    return kind;
}

nb::object child_prefix(nb::handle directory_text) {
    if (PyUnicode_CompareWithASCIIString(directory_text.ptr(), ".") == 0) return nb::borrow(literal(""));
    const Py_ssize_t length = PyUnicode_GET_LENGTH(directory_text.ptr());
    if (length > 0 && PyUnicode_READ_CHAR(directory_text.ptr(), length - 1) == '/') {
        return nb::borrow(directory_text);
    }
    return concat({directory_text, "/"});
}

}  // namespace quillkit::cargohold::path_text

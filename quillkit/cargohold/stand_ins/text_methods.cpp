// The str method stand-ins declared in text_methods.hpp.
#include "text_methods.hpp"

#include "../interned_names.hpp"

namespace quillkit::cargohold::stand_ins {

nb::object replace(nb::handle text, nb::handle old, nb::handle replacement) {
    if (!PyUnicode_CheckExact(text.ptr()) || !PyUnicode_Check(old.ptr()) ||
        !PyUnicode_Check(replacement.ptr())) {
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

}  // namespace quillkit::cargohold::stand_ins

// File-name conversions declared in name_encoding.hpp.
#include "name_encoding.hpp"

#include <cstring>

namespace quillkit::cargohold::filesystem {

std::optional<std::string> encode(nb::handle text) {
    nb::object bytes = require_or_null(PyUnicode_EncodeFSDefault(text.ptr()), PyExc_UnicodeEncodeError);
    if (!bytes.is_valid()) return std::nullopt;
    const char* data = PyBytes_AS_STRING(bytes.ptr());
    const size_t size = static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr()));
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
    // Fixed when the interpreter starts, so asked once: of the converter itself, not of
    // sys.getfilesystemencoding(), which a program may replace. UTF-8 with surrogate escapes
    // gives these bytes for a non-ASCII letter and an escaped byte, and no other setting does.
    static const bool utf8 = [] {
        nb::object probe = require(PyUnicode_New(2, 0xFFFF));
        PyUnicode_WRITE(PyUnicode_2BYTE_KIND, PyUnicode_DATA(probe.ptr()), 0, 0xE9);    // é
        PyUnicode_WRITE(PyUnicode_2BYTE_KIND, PyUnicode_DATA(probe.ptr()), 1, 0xDCFF);  // byte 0xff
        nb::object bytes = require_or_null(PyUnicode_EncodeFSDefault(probe.ptr()), PyExc_UnicodeError);
        if (!bytes.is_valid()) return false;  // a strict or non-UTF-8 setting cannot encode the probe
        return PyBytes_GET_SIZE(bytes.ptr()) == 3 &&
               std::memcmp(PyBytes_AS_STRING(bytes.ptr()), "\xc3\xa9\xff", 3) == 0;
    }();
    return utf8;
}

nb::object child_prefix(nb::handle directory_text) {
    const Py_ssize_t length = text_length(directory_text);
    if (length == 1 && PyUnicode_READ_CHAR(directory_text.ptr(), 0) == '.') return nb::borrow(literal(""));
    if (length > 0 && PyUnicode_READ_CHAR(directory_text.ptr(), length - 1) == '/') {
        return nb::borrow(directory_text);
    }
    return concat({directory_text, "/"});
}

}  // namespace quillkit::cargohold::filesystem

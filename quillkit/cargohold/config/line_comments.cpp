// The `//` comment stripper declared in line_comments.hpp: one scan over the text's own storage,
// then one copy of what is kept.
#include "line_comments.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace quillkit::cargohold {

namespace {

// A removed stretch of the text: [begin, end).
struct Removed {
    Py_ssize_t begin;
    Py_ssize_t end;
};

// Finds the comments of `data[0, length)` (characters of width Char). Returns the bitwise or of
// every kept character: the kinds of str are split at powers of two, so it tells which kind the
// result needs even when the widest characters stood in comments only.
template <class Char>
Py_UCS4 find_comments(const Char* data, Py_ssize_t length, std::vector<Removed>& removed) {
    Py_UCS4 kept_bits = 0;
    bool in_string = false;
    Py_ssize_t index = 0;
    while (index < length) {
        const Char character = data[index];
        kept_bits |= character;
        if (character == '\\') {
            // The escaped character is kept whatever it is, a quote or a slash included.
            if (index + 1 < length) kept_bits |= data[index + 1];
            index += 2;
        } else if (character == '"') {
            in_string = !in_string;
            ++index;
        } else if (!in_string && character == '/' && index + 1 < length && data[index + 1] == '/') {
            const Char* line_end = std::find(data + index + 2, data + length, Char('\n'));
            const Py_ssize_t end = line_end - data;
            removed.push_back({index, end});
            index = end;
        } else {
            ++index;
        }
    }
    return kept_bits;
}

// The comments of `text` (a str); the bitwise or of the characters kept.
Py_UCS4 find_comments(nb::handle text, std::vector<Removed>& removed) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    const void* data = PyUnicode_DATA(text.ptr());
    switch (PyUnicode_KIND(text.ptr())) {
        case PyUnicode_1BYTE_KIND:
            return find_comments(static_cast<const Py_UCS1*>(data), length, removed);
        case PyUnicode_2BYTE_KIND:
            return find_comments(static_cast<const Py_UCS2*>(data), length, removed);
        default:
            return find_comments(static_cast<const Py_UCS4*>(data), length, removed);
    }
}

// `text` without the `removed` stretches, in a str of the kind that `kept_bits` selects.
//
// The result is narrower than the text when its widest characters stood in comments only. It
// is copied by hand: PyUnicode_CopyCharacters checks the wrong range when it narrows.
nb::object without_stretches(nb::handle text, const std::vector<Removed>& removed, Py_UCS4 kept_bits) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    Py_ssize_t kept_length = length;
    for (const Removed& stretch : removed) kept_length -= stretch.end - stretch.begin;
    // An or of code points may pass the largest one; only the kind it selects matters.
    nb::object result = require(PyUnicode_New(kept_length, std::min<Py_UCS4>(kept_bits, 0x10FFFF)));
    const int source_kind = PyUnicode_KIND(text.ptr());
    const int result_kind = PyUnicode_KIND(result.ptr());
    const void* data = PyUnicode_DATA(text.ptr());
    void* result_data = PyUnicode_DATA(result.ptr());
    Py_ssize_t to = 0;
    const auto copy = [&](Py_ssize_t begin, Py_ssize_t end) {
        if (source_kind == result_kind) {
            std::memcpy(static_cast<char*>(result_data) + to * result_kind,
                        static_cast<const char*>(data) + begin * source_kind,
                        static_cast<size_t>(end - begin) * source_kind);
            to += end - begin;
            return;
        }
        for (Py_ssize_t index = begin; index < end; ++index) {
            PyUnicode_WRITE(result_kind, result_data, to++, PyUnicode_READ(source_kind, data, index));
        }
    };
    Py_ssize_t from = 0;
    for (const Removed& stretch : removed) {
        copy(from, stretch.begin);
        from = stretch.end;
    }
    copy(from, length);
    return result;
}

}  // namespace

nb::object strip_line_comments(nb::handle text) {
    if (!PyUnicode_Check(text.ptr())) {  // a replaced reader may give anything
        raise(PyExc_TypeError, "expected string, got '%.200s'", Py_TYPE(text.ptr())->tp_name);
    }
    std::vector<Removed> removed;
    const Py_UCS4 kept_bits = find_comments(text, removed);
    if (removed.empty()) return nb::borrow(text);
    return without_stretches(text, removed, kept_bits);
}

}  // namespace quillkit::cargohold

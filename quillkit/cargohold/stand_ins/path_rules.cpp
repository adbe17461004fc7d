// The path text arithmetic and name rules declared in path_rules.hpp.
#include "path_rules.hpp"

#include <algorithm>
#include <vector>

namespace quillkit::cargohold::stand_ins {

namespace {

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
    for (size_t index = 0; index < count; ++index)
        size += ranges[index].end - ranges[index].start + (index > 0);
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

// Where the stem of the name text[start, end) ends under `rule`: at the start of its last suffix,
// else at `end`.
Py_ssize_t stem_end(PyObject* text, Py_ssize_t start, Py_ssize_t end, DotRule rule) {
    const Py_ssize_t dot = PyUnicode_FindChar(text, '.', start, end, -1);
    if (dot == -2) throw nb::python_error();
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    return start + stem_length(end - start, dot < 0 ? -1 : dot - start, rule, [&](std::ptrdiff_t index) {
               return PyUnicode_READ(kind, data, start + index);
           });
}

}  // namespace

nb::object path_text(nb::handle text) { return Components(text.ptr()).text(); }

nb::object parent_text(nb::handle text) {
    Components components(text.ptr());
    if (components.has_name()) components.drop_name();  // a bare root or "." is its own parent
    return components.text();
}

nb::object joined_path_text(nb::handle directory_text, nb::handle name) {
    if (PyUnicode_GET_LENGTH(name.ptr()) > 0 && PyUnicode_READ_CHAR(name.ptr(), 0) == '/')
        return path_text(name);
    return path_text(concat({directory_text, "/", name}));
}

nb::object name_text(nb::handle text) {
    PyObject* raw = text.ptr();
    Py_ssize_t end = PyUnicode_GET_LENGTH(raw);
    while (true) {
        while (end > 0 && PyUnicode_READ_CHAR(raw, end - 1) == '/') --end;
        if (end == 0) return nb::borrow(literal(""));
        const Py_ssize_t separator = PyUnicode_FindChar(raw, '/', 0, end, -1);
        if (separator == -2) throw nb::python_error();
        const Py_ssize_t start = separator + 1;
        if (end - start == 1 && PyUnicode_READ_CHAR(raw, start) == '.') {
            end = start;  // "." components are dropped
            continue;
        }
        if (start == 0 && end == PyUnicode_GET_LENGTH(raw)) return nb::borrow(text);
        return require(PyUnicode_Substring(raw, start, end));
    }
}

nb::object stem_text(nb::handle text, DotRule rule) {
    nb::object name = name_text(text);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name.ptr());
    const Py_ssize_t stem = stem_end(name.ptr(), 0, length, rule);
    if (stem == length) return name;
    return require(PyUnicode_Substring(name.ptr(), 0, stem));
}

nb::object with_suffix_text(nb::handle text, nb::handle suffix, DotRule rule) {
    const Py_ssize_t suffix_length = PyUnicode_GET_LENGTH(suffix.ptr());
    const Py_ssize_t separator = PyUnicode_FindChar(suffix.ptr(), '/', 0, suffix_length, 1);
    if (separator == -2) throw nb::python_error();
    // A lone "." is a suffix only where a trailing dot is one.
    const Py_ssize_t shortest = rule == DotRule::after_non_dot ? 1 : 2;
    if (separator >= 0 || suffix_length < shortest) return nb::object();
    Components components(text.ptr());
    if (!components.has_name()) return nb::object();
    Range& name = components.name();
    name.end = stem_end(text.ptr(), name.start, name.end, rule);
    nb::object stem_path = components.text();
    return concat({stem_path, suffix});
}

}  // namespace quillkit::cargohold::stand_ins

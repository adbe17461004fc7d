// The path text arithmetic declared in path_rules.hpp.
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

}  // namespace

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

}  // namespace quillkit::cargohold::stand_ins

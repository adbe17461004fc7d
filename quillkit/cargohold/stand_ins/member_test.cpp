// The member test declared in member_test.hpp.
#include "member_test.hpp"

#include "../interned_names.hpp"

namespace quillkit::cargohold::stand_ins {

std::string_view code_point_form(nb::handle text, std::string& scratch) {
    PyObject* object = text.ptr();
    const Py_ssize_t length = PyUnicode_GET_LENGTH(object);
    const void* data = PyUnicode_DATA(object);
    if (PyUnicode_IS_ASCII(object))
        return std::string_view(static_cast<const char*>(data), static_cast<size_t>(length));
    const int kind = PyUnicode_KIND(object);
    scratch.clear();
    for (Py_ssize_t index = 0; index < length; ++index) {
        const Py_UCS4 point = PyUnicode_READ(kind, data, index);
        if (point < 0x80) {
            scratch += static_cast<char>(point);
        } else if (point < 0x800) {
            scratch += static_cast<char>(0xC0 | (point >> 6));
            scratch += static_cast<char>(0x80 | (point & 0x3F));
        } else if (point < 0x10000) {
            scratch += static_cast<char>(0xE0 | (point >> 12));
            scratch += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
            scratch += static_cast<char>(0x80 | (point & 0x3F));
        } else {
            scratch += static_cast<char>(0xF0 | (point >> 18));
            scratch += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
            scratch += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
            scratch += static_cast<char>(0x80 | (point & 0x3F));
        }
    }
    return scratch;
}

// True when the plain test compares `member` with an exact text without running Python code:
// `in` compares with ==, which for two exact texts is the interpreter's own; startswith and
// endswith read the characters of any text, a subclass's included.
bool MemberTest::eligible(nb::handle member) const {
    return match_ == Match::equal ? PyUnicode_CheckExact(member.ptr()) : PyUnicode_Check(member.ptr());
}

void MemberTest::read_members() {
    stale_ = false;
    complete_ = false;
    leading_.clear();
    // `in` on a tuple or list subclass may be Python code; startswith reads any tuple's items.
    PyObject* members = members_.ptr();
    const bool readable = match_ == Match::equal ? PyTuple_CheckExact(members) || PyList_CheckExact(members)
                                                 : PyTuple_Check(members);
    if (!readable) return;
    // No Python code runs in this loop, so the list cannot change under it.
    for (Py_ssize_t index = 0; index < PySequence_Fast_GET_SIZE(members); ++index) {
        nb::handle member = PySequence_Fast_GET_ITEM(members, index);
        if (!eligible(member)) return;
        leading_.insert(code_point_form(member, scratch_));
    }
    complete_ = true;
}

bool MemberTest::matches_form(std::string_view form) const {
    switch (match_) {
        case Match::equal:
            return leading_.contains(form);
        case Match::prefix:
            return leading_.holds_prefix_of(form);
        case Match::suffix:
            return leading_.holds_suffix_of(form);
    }
    return false;
}

bool MemberTest::matches_by_python(nb::handle text) {
    if (match_ == Match::equal) return require_status(PySequence_Contains(members_.ptr(), text.ptr())) != 0;
    return truthy(
        call_method(text, match_ == Match::prefix ? names::startswith : names::endswith, {members_}));
}

bool MemberTest::matches(nb::handle text) {
    if (stale_) read_members();
    if (PyUnicode_CheckExact(text.ptr()) && (complete_ || !leading_.empty())) {
        // A leading member that matches is the one the plain test, going in order, stops at
        // (or after an earlier match): the members it would meet later do not matter.
        if (matches_form(code_point_form(text, scratch_))) return true;
        if (complete_) return false;
    }
    // The interpreter decides; the Python code it runs may change a list's items.
    stale_ = PyList_Check(members_.ptr());
    return matches_by_python(text);
}

}  // namespace quillkit::cargohold::stand_ins

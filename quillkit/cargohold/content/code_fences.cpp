// The fence search declared in code_fences.hpp.
//
// Why one pass gives the regular expression's answer: the search takes the first position where
// an opening fence ("```", an optional language from the list, a line break) matches, then the
// first "\n```" after it. When that closing fence is missing, no later opening can succeed
// either, since a later opening starts its block further on and would need a closing fence
// further on still. So the first opening decides.
#include "code_fences.hpp"

#include <string_view>

namespace quillkit::cargohold {

namespace {

constexpr std::string_view kLanguages[] = {"python", "bash", "yaml"};

template <class Char> class Fences {
public:
    Fences(const Char* data, Py_ssize_t length) : data_(data), length_(length) {}

    // [begin, end) of the block's content, or false when there is none.
    bool find(Py_ssize_t& begin, Py_ssize_t& end) const {
        for (Py_ssize_t opening = next_backticks(0); opening >= 0; opening = next_backticks(opening + 1)) {
            const Py_ssize_t content = after_opening(opening + 3);
            if (content < 0) continue;
            for (Py_ssize_t closing = content; closing + 4 <= length_; ++closing) {
                if (data_[closing] == '\n' && backticks_at(closing + 1)) {
                    begin = content;
                    end = closing;
                    return true;
                }
            }
            return false;
        }
        return false;
    }

private:
    bool backticks_at(Py_ssize_t index) const {
        return index + 3 <= length_ && data_[index] == '`' && data_[index + 1] == '`' &&
               data_[index + 2] == '`';
    }

    Py_ssize_t next_backticks(Py_ssize_t from) const {
        for (Py_ssize_t index = from; index + 3 <= length_; ++index) {
            if (backticks_at(index)) return index;
        }
        return -1;
    }

    // Where the block's content starts after the opening backticks end at `index`, or -1.
    Py_ssize_t after_opening(Py_ssize_t index) const {
        if (index < length_ && data_[index] == '\n') return index + 1;
        for (std::string_view language : kLanguages) {
            const Py_ssize_t size = static_cast<Py_ssize_t>(language.size());
            if (index + size >= length_) continue;
            bool same = true;
            for (Py_ssize_t offset = 0; offset < size && same; ++offset) {
                same = data_[index + offset] == static_cast<Char>(language[offset]);
            }
            if (same && data_[index + size] == '\n') return index + size + 1;
        }
        return -1;
    }

    const Char* data_;
    Py_ssize_t length_;
};

template <class Char> bool find_block(nb::handle text, Py_ssize_t& begin, Py_ssize_t& end) {
    const Fences<Char> fences(static_cast<const Char*>(PyUnicode_DATA(text.ptr())),
                              PyUnicode_GET_LENGTH(text.ptr()));
    return fences.find(begin, end);
}

}  // namespace

nb::object first_fenced_block(nb::handle text) {
    if (!PyUnicode_Check(text.ptr())) {
        raise(PyExc_TypeError, "expected string, got '%.200s'", Py_TYPE(text.ptr())->tp_name);
    }
    Py_ssize_t begin = 0, end = 0;
    bool found;
    switch (PyUnicode_KIND(text.ptr())) {
        case PyUnicode_1BYTE_KIND:
            found = find_block<Py_UCS1>(text, begin, end);
            break;
        case PyUnicode_2BYTE_KIND:
            found = find_block<Py_UCS2>(text, begin, end);
            break;
        default:
            found = find_block<Py_UCS4>(text, begin, end);
            break;
    }
    if (!found) return nb::object();
    return require(PyUnicode_Substring(text.ptr(), begin, end));
}

}  // namespace quillkit::cargohold

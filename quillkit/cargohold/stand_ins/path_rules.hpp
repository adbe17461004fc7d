// pathlib's text arithmetic and name rules for POSIX paths given as str: the text of a path, its
// parent, a join, its name, stem and a replaced suffix; and, in bytes, the stem of a name the
// walk reads. The dot rules of each release that the stand-ins know live here and nowhere else.
//
// May include: support/. Nothing here looks at a module global or the file system, and the
// byte form (stem_length of a std::string_view) touches no Python object.
#pragma once

#include "../../support/python_operations.hpp"

#include <cstddef>
#include <string_view>

namespace quillkit::cargohold::stand_ins {

// Where a release of pathlib lets a name's last suffix start.
enum class DotRule : unsigned char {
    inner_dot,      // 3.12, 3.13: at the last dot, unless it is the name's first or last character
    after_non_dot,  // 3.14, 3.15: at the last dot that follows a character other than a dot;
                    // a trailing dot is a suffix of its own (".")
};

// The length of the stem of a name `length` characters long whose last dot is at `last_dot`
// (negative: none): where its suffix starts under `rule`, or `length` when it has none.
// `char_at(index)` reads the name.
template <class CharAt>
std::ptrdiff_t stem_length(std::ptrdiff_t length, std::ptrdiff_t last_dot, DotRule rule, CharAt&& char_at) {
    if (last_dot < 0) return length;
    if (rule == DotRule::inner_dot) return last_dot > 0 && last_dot < length - 1 ? last_dot : length;
    for (std::ptrdiff_t index = 0; index < last_dot; ++index) {
        if (char_at(index) != '.') return last_dot;
    }
    return length;  // nothing but dots before it
}

// The stem length of a name in bytes (UTF-8 or escaped: its dots are ASCII bytes, so byte
// positions of dots are their character positions in the decoded name).
inline size_t stem_length(std::string_view name, DotRule rule) {
    const size_t dot = name.rfind('.');
    const std::ptrdiff_t last_dot = dot == std::string_view::npos ? -1 : static_cast<std::ptrdiff_t>(dot);
    return static_cast<size_t>(
        stem_length(static_cast<std::ptrdiff_t>(name.size()), last_dot, rule,
                    [&](std::ptrdiff_t index) { return name[static_cast<size_t>(index)]; }));
}

// str(Path(text)) for a str: the root ("/", or "//" exactly) and the components that are
// neither empty nor ".", joined by "/"; "." when nothing is left.
nb::object path_text(nb::handle text);

// str(Path(text).parent) for a str.
nb::object parent_text(nb::handle text);

// str(Path(directory) / name) for a directory given by its path_text and a str name.
nb::object joined_path_text(nb::handle directory_text, nb::handle name);

// Path(text).name for a str: its last component that is neither empty nor "." (a root names
// nothing), or the empty text.
nb::object name_text(nb::handle text);

// Path(text).stem for a str: its name without the last suffix `rule` finds.
nb::object stem_text(nb::handle text, DotRule rule);

// str(Path(text).with_suffix(suffix)) for a str and a suffix starting with "."; the null object
// where pathlib raises (an empty name, a suffix holding "/", a lone "." where `rule` makes it no
// suffix), for the caller to let pathlib raise.
nb::object with_suffix_text(nb::handle text, nb::handle suffix, DotRule rule);

}  // namespace quillkit::cargohold::stand_ins

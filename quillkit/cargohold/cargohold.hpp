// What the files of quillkit.cargohold share: the module state and the helpers every body uses.
// Each function's declaration stands below its body, in the file of its subsystem, and registers
// itself there with its place in the namespace (../support/published.hpp).
#pragma once

#include "../support/published.hpp"
#include "interned_names.hpp"
#include "stand_ins/guards.hpp"

namespace quillkit::cargohold {

// The module state: what start-up bound, so that a body can tell whether a program has replaced
// it since (then the replacement is called) or not (then the work may be done natively).
struct State {
    stand_ins::Originals originals;  // what the stand-ins are compared with
    stand_ins::Seen plain;           // the plain values: what the last comparison found
};

// What get_path_type answers: 0 for a directory, 1 for a regular file (None for the rest).
enum class PathKind : long { directory = 0, regular_file = 1 };
nb::object path_kind(PathKind kind);
// Whether a result of get_path_type (a replaced one may give anything) equals `kind`.
bool is_path_kind(nb::handle result, PathKind kind);

// `text` (a str) when it already starts with ".", else "." + text: an extension as a suffix.
inline nb::object dotted(nb::handle text) {
    if (PyUnicode_GET_LENGTH(text.ptr()) && PyUnicode_READ_CHAR(text.ptr(), 0) == '.') {
        return nb::borrow(text);
    }
    return concat({".", text});
}

// Parameters many functions share.
inline constexpr Param kLogger{"logger", Rule::any, nullptr, Default::none()};
inline constexpr Param kLabel{"label", Rule::str, "str", Default::text("檔案")};

// The `logger` argument when it is true, else the module logger `log`.
nb::object choose_logger(Call& c, nb::handle logger);

}  // namespace quillkit::cargohold

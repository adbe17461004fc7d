// `//` line comments in JSON text.
#pragma once

#include "../../support/python_operations.hpp"

namespace quillkit::cargohold {

// `text` (a str) without its `//` line comments: from a `//` that stands outside a string literal
// to the end of its line, the line break kept. A string runs from a `"` to the next `"`; a
// backslash, in a string or outside one, escapes the character after it. The text itself is
// returned when it holds no comment.
nb::object strip_line_comments(nb::handle text);

}  // namespace quillkit::cargohold

// The first fenced code block of a tool's answer, found in one pass.
#pragma once

#include "../../support/python_operations.hpp"

namespace quillkit::cargohold {

// The text `re.search(r"```(?:python|bash|yaml)?\n(.*?)\n```", text, re.DOTALL).group(1)` gives
// for the str `text`, or the null object where that search finds nothing. Linear in the length
// of the text: the regular expression retries every later opening fence when a block is never
// closed, which takes quadratic time on an answer full of unclosed fences.
nb::object first_fenced_block(nb::handle text);

}  // namespace quillkit::cargohold

// File names between the interpreter and the system, converted as the interpreter converts them
// (the filesystem encoding with its error handler, surrogate escapes on Linux), and the path
// texts that discovery and the directory list build the way pathlib joins them.
#pragma once

#include "../../support/python_operations.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace quillkit::cargohold::filesystem {

// The bytes of a path text, as os.fsencode gives them; nothing when the text has no such form or
// holds a NUL, for which the os.path tests answer false.
std::optional<std::string> encode(nb::handle text);

// As encode, but only when decoding the bytes gives the same text back, so that comparing bytes
// compares the texts.
std::optional<std::string> encode_exactly(nb::handle text);

// The text of a name or path read from the system, as os.fsdecode gives it.
nb::object decode(std::string_view bytes);

// True when the interpreter decodes names as UTF-8 with surrogate escapes (on Linux, always
// unless a legacy locale is set): only then do the byte-level shortcuts of discovery apply.
bool utf8_names();

// What pathlib puts before a child's name: nothing below ".", the text itself below a root
// ("/"), else the text and "/".
nb::object child_prefix(nb::handle directory_text);

}  // namespace quillkit::cargohold::filesystem

// pathlib's text arithmetic for POSIX paths given as str: the text of a path, its parent, a
// join, a replaced suffix.
//
// May include: support/. Nothing here looks at a module global or the file system.
#pragma once

#include "../../support/python.hpp"

namespace quillkit::cargohold::stand_ins {

// str(Path(text)) for a str: the root ("/", or "//" exactly) and the components that are
// neither empty nor ".", joined by "/"; "." when nothing is left.
nb::object path_text(nb::handle text);

// str(Path(text).parent) for a str.
nb::object parent_text(nb::handle text);

// str(Path(directory) / name) for a directory given by its path_text and a str name.
nb::object joined_path_text(nb::handle directory_text, nb::handle name);

// str(Path(text).with_suffix(suffix)) for a str and a suffix starting with "."; the null object
// where pathlib raises or releases differ (an empty name, a suffix "." or holding "/").
nb::object with_suffix_text(nb::handle text, nb::handle suffix);

}  // namespace quillkit::cargohold::stand_ins

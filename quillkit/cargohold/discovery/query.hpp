// What a discovery asks for, and the functions that answer it: for the body of
// find_files_with_extensions (../selection/find_files.cpp); the selection dialogue takes the
// extension set too.
#pragma once

#include "../cargohold.hpp"

namespace quillkit::cargohold {

// The extension set of a discovery: every element lower-cased, with a "." put in front when it
// has none; None gives an empty set, and a lone text is one extension (iterating "py" would give
// ".p" and ".y").
nb::object extension_set(nb::handle extensions);

// The absolute, normalised form of every excluded path, without trailing separators.
nb::object exclusion_set(nb::handle abspath, nb::handle exclude_paths);

// `_is_excluded`: the path is an excluded one or lies below one.
bool is_excluded(nb::handle abspath, nb::handle exclude_set, nb::handle target);

// What one call asks for, once its arguments are read.
struct Query {
    nb::object start;       // the start path as a pathlib path
    nb::object start_text;  // and as text
    nb::object path_class;  // the Path global, when the files' names are the library's to read
    const stand_ins::LibraryRules* rules = nullptr;  // else pathlib's rules on this release
    nb::object extensions;                           // the extension set
    nb::object abspath;      // os.path.abspath, as the module's globals give it at this call
    nb::object exclude_set;  // the absolute, normalised excluded paths
    nb::handle recursive;
    nb::handle prefix;
    bool by_datecode = false;
};

struct FoundFiles;  // listing_reader.hpp

// Walks the start directory and adds the files that pass every test, in discovery order unless
// path order is asked for and the names allow it in bytes (then they come sorted, and the
// function says so).
bool collect_from_directory(const Query& query, FoundFiles& found);

}  // namespace quillkit::cargohold

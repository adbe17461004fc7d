// The texts of found files: what discovery returns, and how the walk's listings become it.
#pragma once

#include "../../support/python_operations.hpp"
#include "../stand_ins/member_test.hpp"
#include "walk.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillkit::cargohold {

// Found files as two parallel lists of texts: paths and stems.
struct FoundFiles {
    nb::object files = require(PyList_New(0));
    nb::object names = require(PyList_New(0));

    Py_ssize_t size() const { return list_size(files); }
    void add(nb::handle path, nb::handle stem) {
        require_status(PyList_Append(files.ptr(), path.ptr()));
        require_status(PyList_Append(names.ptr(), stem.ptr()));
    }
};

// The file tests the walk leaves to the interpreter's text operations.
struct TextTests {
    nb::handle extensions;  // the extension set, for suffixes the walk left undecided
    nb::handle prefix;      // for str.startswith on each name; null when the walk tested it (or none)
    // The Path class to ask for each file's path, suffix and stem (`Path(root) / name`) when the
    // walk knows no rule for them; null when it found them.
    nb::handle path_class;
};

// Reads the walk's listings in order, depth first, as far as they have been read, and adds
// their files to `found`; each listing is released once read. Call with the GIL held.
class ListingReader {
public:
    ListingReader(nb::handle start_text, const TextTests& tests, FoundFiles& found);

    // Takes what has been read since the last call; true once the whole walk has been taken.
    bool take_ready(const walk::Child& root);

    // True when every path taken is strict UTF-8, so that byte order was code-point order.
    bool all_strict_utf8() const { return all_strict_utf8_; }

private:
    struct Level {
        const walk::Listing* listing;
        uint32_t next;
        size_t path_length;  // of directory_, for this directory
        bool ascii;          // every component of the path is ASCII
        bool strict_utf8;
    };

    void enter(const walk::Listing* listing, bool ascii, bool strict_utf8);
    bool passes_text_tests(std::string_view name, const walk::Item& item);
    void add_file(const Level& level, const walk::Item& item);
    void add_file_by_library(std::string_view name);
    nb::object path_text(std::string_view name);
    nb::object walk_root_text();

    const TextTests tests_;
    stand_ins::MemberTest prefix_test_;  // `tests_.prefix`, by hash when it is a tuple of texts
    FoundFiles& found_;
    nb::object start_text_;
    const bool utf8_names_;                    // ASCII names decode to themselves
    nb::object prefix_text_;                   // what comes before every relative path
    std::optional<std::string> prefix_bytes_;  // its bytes, when decoding them gives it back
    bool ascii_prefix_ = false;                // an ASCII prefix under UTF-8 names
    bool plain_ = false;                       // that, and no prefix left to test on texts
    // What comes before a name of the directory being read: the prefix's bytes (when exact),
    // the directory's path below the start, and "/" unless that is empty.
    std::string directory_;
    std::vector<Level> levels_;
    bool started_ = false;
    bool all_strict_utf8_ = true;
};

}  // namespace quillkit::cargohold

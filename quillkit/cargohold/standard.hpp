// The standard library's objects as start-up found them, and native stand-ins for the calls the
// module makes on them.
//
// A stand-in runs only while every object it stands for is still the one start-up found: the
// module global, the attributes reached from it, the pathlib methods it replaces and the os
// functions those reach. Each is compared by identity at each call; the moment a program
// replaces one, the bodies call the library as Python code would. A stand-in gives the library's
// result; where the library would raise, or the case is one it treats differently from one
// release to the next, the stand-in declines (an empty optional, a null object) and the body
// calls the library, which then raises or answers exactly as it does.
#pragma once

#include "cargohold.hpp"

#include <optional>
#include <string>

namespace quillkit::cargohold::standard {

// Records, at start-up, the objects the stand-ins are compared with.
void capture(State& state, nb::handle os, nb::handle path_class);

// ---------------------------------------------------------------------------------------------
// Whether the stand-ins may run

// The module global `os` with `os.path.isdir`, `os.path.isfile` and `os.stat` as found.
bool os_path_tests(Call& c);

// The module global `open` (the built-in, unless the module has its own) as found.
bool builtin_open(Call& c);

// What a pathlib stand-in replaces; a body asks for the set it uses.
enum PathUse : unsigned {
    kMakePath = 1,  // Path(text) and its text, for a str
    kJoin = 2,      // path / name, path.parent
    kQuery = 4,     // exists(), is_file(), is_dir()
    kMakeDir = 8,   // mkdir(parents=True, exist_ok=True) on a directory that exists
    kReadText = 16, // read_text(encoding="utf-8")
    kSuffix = 32,   // with_suffix(suffix)
};

// The members of Path's instances and the os functions that each use relies on, as found.
bool path_members(Call& c, unsigned uses);

// The module global `Path` as found, and path_members(uses).
bool path_class(Call& c, unsigned uses);

// Whether `path` is an instance of the class Path made at start-up (with no members of its own).
bool is_plain_path(Call& c, nb::handle path);

// str(Path(path)) for a str or a plain path, while path_class(uses) and Path(path) may be left
// unmade; the null object otherwise.
nb::object plain_path_text(Call& c, nb::handle path, unsigned uses);

// ---------------------------------------------------------------------------------------------
// Path texts, as pathlib spells them

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

// ---------------------------------------------------------------------------------------------
// Text methods

// `text.replace(old, new)` and `text.strip()`: natively for an exact str (whose methods no
// program can replace), through the object's own method for anything else.
nb::object replace(nb::handle text, nb::handle old, nb::handle replacement);
nb::object strip(nb::handle text);

// ---------------------------------------------------------------------------------------------
// What the file system says

// What a stat of the path says, links followed. `missing` stands for the errors that both
// pathlib's queries and os.path's tests answer with False (no such entry, not a directory, a
// loop, a text the system cannot take); `unusual` for any other error, which pathlib raises and
// os.path's tests answer with False.
enum class Kind { directory, regular_file, other, missing, unusual };

// For a str or bytes path.
Kind kind_of(nb::handle path);

// For a path object, as its exists(), is_file() and is_dir() see it: `unusual` too when it is no
// plain path or a query member is not the one found.
Kind query(Call& c, nb::handle path);

// What `path.exists()`, `path.is_dir()` and `path.is_file()` answer for a path object, from one
// stat while query() can tell, else from the path's own methods.
class Queries {
public:
    Queries(Call& c, nb::handle path) : path_(path), kind_(query(c, path)) {}
    bool exists() const { return answer(names::exists, kind_ != Kind::missing); }
    bool is_dir() const { return answer(names::is_dir, kind_ == Kind::directory); }
    bool is_file() const { return answer(names::is_file, kind_ == Kind::regular_file); }

private:
    bool answer(const Name& method, bool native) const {
        return kind_ == Kind::unusual ? truthy(call_method(path_, method)) : native;
    }
    nb::handle path_;
    Kind kind_;
};

// Path(argument) as the stand-ins see it: its text (str of the Path) and what a stat of it says,
// while pathlib's work for `uses` and kQuery may be done natively and the stat met no error that
// pathlib may raise; otherwise no text, and the body makes the Path and asks it.
struct NativePath {
    nb::object text;
    Kind kind = Kind::unusual;
    explicit operator bool() const { return text.is_valid(); }
};
NativePath native_path(Call& c, nb::handle argument, unsigned uses);

// `path.mkdir(parents=True, exist_ok=True)` for a path object; not called when it would change
// nothing (a plain path naming a directory, while mkdir is the standard one).
void make_directories(Call& c, nb::handle path);

// The text of the file at `path` (a str) as `open(path, "r", encoding="utf-8").read()` gives it
// (universal newlines), with the audit event the open raises and the errors it raises.
nb::object read_text(nb::handle path);

}  // namespace quillkit::cargohold::standard

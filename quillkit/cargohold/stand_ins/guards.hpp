// Whether a stand-in may run: the standard objects start-up found, the release of the library
// they answer as, and the checks that a module global and the members it relies on are still
// those objects.
//
// A stand-in runs only while the running release is one whose answers it knows and every object
// it stands for is still the one start-up found: the module global, the attributes reached from
// it, the pathlib members it replaces and the os functions those reach on that release. They are
// compared by identity whenever a namespace or class they are read from has changed (the change
// watch of support/change_watch.hpp), and what the comparison found holds until the next change;
// the moment a program replaces one, the bodies call the library as Python code would.
//
// May include: support/, ../interned_names.hpp, path_rules.hpp.
#pragma once

#include "../../support/change_watch.hpp"
#include "../../support/function.hpp"
#include "../interned_names.hpp"
#include "path_rules.hpp"

namespace quillkit::cargohold::stand_ins {

// How many pathlib members and library functions the guards compare.
inline constexpr size_t kPathMembers = 24;
inline constexpr size_t kLibraryFunctions = 9;

// The objects the stand-ins are compared with, as start-up found them; part of the module state
// (object pointers, which the collector visits). A member or function that the running release
// does not rely on stays null.
struct Originals {
    PyObject* os_module;
    PyObject* os_path;  // os.path
    PyObject* io_module;
    PyObject* io_open;  // io.open, which the built-in open is too
    PyObject* re_module;
    PyObject* re_search;                     // re.search
    PyObject* path_class;                    // pathlib.Path
    PyObject* path_type;                     // the class of its instances; null when they could hold members
    PyObject* path_members[kPathMembers];    // as found on path_type
    PyObject* functions[kLibraryFunctions];  // of os, os.path and io, as found
};

// What the guards found when they last compared, among the module's plain values; it holds while
// its watch is current.
struct Seen {
    ChangeWatch watch;
    size_t release;           // which of the known releases is running, from 1; 0 when none
    unsigned member_uses;     // the uses whose members and library functions are as found
    bool path_global;         // the global `Path` is as found
    bool os_path_tests;       // the global `os`, with os.path's tests, as found
    bool open_global;         // the global `open` is io.open
    PyObject* open_builtins;  // the builtins `open` was found in (compared only); null: the globals
    bool re_search;           // the global `re`, with its `search`, as found
};

// The originals and what was seen of the module a call belongs to (its state holds them).
Originals& originals(Call& c);
Seen& seen(Call& c);

// Records, at start-up, the release (from sys.version_info) and the objects the stand-ins are
// compared with.
void capture(Originals& originals, Seen& seen, nb::handle os, nb::handle re, nb::handle path_class);

// What differs between the releases of the standard library that the stand-ins know.
struct LibraryRules {
    DotRule dots;
    // Whether Path.exists(), is_file() and is_dir() raise the stat errors other than a missing
    // entry (before 3.14; since, they ask os.path, which answers False to every error).
    bool queries_raise;
};

// The running release's rules; null when the stand-ins do not know it, and then every stand-in
// declines.
const LibraryRules* library_rules(Call& c);

// What the library is asked; a body asks for the set it uses.
enum Use : unsigned {
    kMakePath = 1,     // Path(text) and its text, for a str
    kJoin = 2,         // path / name, path.parent
    kQuery = 4,        // exists(), is_file(), is_dir()
    kMakeDir = 8,      // mkdir(parents=True, exist_ok=True) on a directory that exists
    kReadText = 16,    // read_text(encoding="utf-8")
    kWithSuffix = 32,  // with_suffix(suffix)
    kName = 64,        // Path(text).name
    kStem = 128,       // Path(text).stem
    kSuffix = 256,     // Path(text).suffix
    kPathTests = 512,  // os.path.isdir(text), os.path.isfile(text)
};

// The members of Path's instances and the library functions that `uses` rely on, as found.
bool path_members(Call& c, unsigned uses);

// The module global `Path` as found, and path_members(uses).
bool path_class(Call& c, unsigned uses);

// The module global `os` with `os.path.isdir`, `os.path.isfile` and `os.stat` as found.
bool os_path_tests(Call& c);

// The module global `open` (the built-in, unless the module has its own) as found.
bool builtin_open(Call& c);

// The module global `re` with its `search` as found.
bool re_search(Call& c);

// Whether `path` is an instance of the class Path made at start-up (with no members of its own).
bool is_plain_path(Call& c, nb::handle path);

// str(Path(path)) for a str or a plain path, while path_class(uses) and Path(path) may be left
// unmade; the null object otherwise.
nb::object plain_path_text(Call& c, nb::handle path, unsigned uses);

}  // namespace quillkit::cargohold::stand_ins

// What the file system says, as pathlib's queries see it: the kind a stat gives
// (filesystem::kind_of) on the running release, the answers of exists(), is_file() and is_dir(),
// a file's text, existing directories.
//
// The answers are those of the running release's pathlib (which stat errors its queries raise
// changed in 3.14). Where it would raise, or the release is one the stand-ins do not know, a
// stand-in here declines (an `unusual` kind, an empty NativePath) and the body calls the
// library, which then raises or answers exactly as it does.
//
// May include: support/, ../interned_names.hpp, the file-system layer, guards.hpp, path_rules.hpp.
#pragma once

#include "../filesystem/file_kinds.hpp"
#include "guards.hpp"

namespace quillkit::cargohold::stand_ins {

// What pathlib's queries do when the stat of a path failed with `error` on the running release:
// answer False (as for a missing entry), raise it, or unknown (a release the stand-ins do not
// know: ask the library).
enum class StatFailure { answers_false, raises, unknown };
StatFailure stat_failure(Call& c, int error);

// A kind as pathlib's queries see it on the running release: `unusual` only for an error they
// raise (or may raise, on a release the stand-ins do not know), else `missing`.
filesystem::Kind as_pathlib_sees(Call& c, filesystem::Kind kind);

// For a str, as pathlib's queries see it: as_pathlib_sees(kind_of(text)).
filesystem::Kind pathlib_kind_of(Call& c, nb::handle text);

// For a path object, as its exists(), is_file() and is_dir() see it: `unusual` too when it is no
// plain path or a query member is not the one found.
filesystem::Kind query(Call& c, nb::handle path);

// What `path.exists()`, `path.is_dir()` and `path.is_file()` answer for a path object, from one
// stat while query() can tell, else from the path's own methods.
class Queries {
public:
    Queries(Call& c, nb::handle path) : path_(path), kind_(query(c, path)) {}
    bool exists() const { return answer(names::exists, kind_ != filesystem::Kind::missing); }
    bool is_dir() const { return answer(names::is_dir, kind_ == filesystem::Kind::directory); }
    bool is_file() const { return answer(names::is_file, kind_ == filesystem::Kind::regular_file); }

private:
    bool answer(const Name& method, bool native) const {
        return kind_ == filesystem::Kind::unusual ? truthy(call_method(path_, method)) : native;
    }
    nb::handle path_;
    filesystem::Kind kind_;
};

// Path(argument) as the stand-ins see it: its text (str of the Path) and what a stat of it says,
// while pathlib's work for `uses` and kQuery may be done natively and the stat met no error that
// pathlib may raise; otherwise no text, and the body makes the Path and asks it.
struct NativePath {
    nb::object text;
    filesystem::Kind kind = filesystem::Kind::unusual;
    explicit operator bool() const { return text.is_valid(); }
};
NativePath native_path(Call& c, nb::handle argument, unsigned uses);

// `path.mkdir(parents=True, exist_ok=True)` for a path object; not called when it would change
// nothing (a plain path naming a directory, while mkdir is the standard one).
void make_directories(Call& c, nb::handle path);

// The text of the file at `path` (a str) as `open(path, "r", encoding="utf-8").read()` gives it
// (universal newlines), with the audit event the open raises and the errors it raises.
nb::object read_text(nb::handle path);

}  // namespace quillkit::cargohold::stand_ins

// What a stat of a path says: the kind of file it names, links followed, with its failures told
// apart as the standard library's tests and queries tell them.
#pragma once

#include "../../support/python_operations.hpp"

#include <cerrno>

namespace quillkit::cargohold::filesystem {

// What a stat of the path says, links followed. `missing` stands for the errors that both
// pathlib's queries and os.path's tests answer with False (no such entry, not a directory, a
// loop, a text the system cannot take); `unusual` for any other error, which os.path's tests
// answer with False and pathlib's queries, on some releases, raise.
enum class Kind { directory, regular_file, other, missing, unusual };

// The stat failures that pathlib's tests (is_dir, exists, ...) answer False for; they raise the
// others.
inline bool is_missing_stat_error(int error) {
    return error == ENOENT || error == ENOTDIR || error == EBADF || error == ELOOP;
}

// For a str or bytes path, as os.path's tests see it. The stat runs with the GIL released and
// is made again after a signal interrupts it, once the handlers have run (what one raises is
// thrown), as os.stat makes it.
Kind kind_of(nb::handle path);

}  // namespace quillkit::cargohold::filesystem

// Whole-file writes that never leave a half-written file behind.
#pragma once

#include "python_operations.hpp"

namespace quillkit {

// Writes `content` (a str) as UTF-8 to `path` (a str or path-like object), replacing the file
// whole: the text goes to a temporary file beside the target, is flushed to disk and renamed
// over it, so a failure at any step leaves the old content in place and no temporary file.
//
// The new file keeps the permission bits of the file it replaces (a new file gets 0o666 less
// the umask); a symbolic link stays a link and its final target is replaced. A target that is
// not a regular file (a device, a pipe) is written in place, as is a writable file in a
// directory that refuses new entries, since neither can be replaced by renaming; the regular
// file gets its old content back when the write fails part-way (if the process may read it).
// Errors are raised as the OSError that opening the target for writing would give, naming `path`.
void replace_file_text(nb::handle path, nb::handle content);

}  // namespace quillkit

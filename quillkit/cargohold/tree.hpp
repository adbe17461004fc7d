// Directory reads without the interpreter, for discovery and the directory listing: the entries
// of one directory with their kind, and the top-down walk that discovery runs. Names stay bytes
// here, exactly as the system gives them; the callers decode them as the interpreter does.
//
// Nothing in this file touches a Python object, so callers may run it with the GIL released.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace quillkit::cargohold::tree {

// What a stat of a path says, links followed; `missing` for every failure, as os.path.isdir
// and os.path.isfile treat them.
enum class Kind { missing, directory, regular_file, other };
Kind kind_of(const std::string& path);

struct Entry {
    std::string name;
    bool is_directory = false;  // links followed
    bool is_link = false;
    int stat_error = 0;  // errno of a stat made to learn the kind, when it failed
};

// How the kind of an entry is learnt. `scandir`: from the entry type the directory gives, with a
// stat only for links and unknown types, a failed stat meaning "not a directory" (os.scandir's
// DirEntry.is_dir). `stat_first`: the same, but the first entry is always stat'ed, so that a
// directory that can be read but not searched reports its error as a stat of every entry would
// (Path.is_dir on each entry of Path.iterdir).
enum class Probe { scandir, stat_first };

// Reads the whole of one directory in the order the system gives ("." and ".." left out). False
// when it cannot be opened or a read fails part-way; `error` then holds the errno.
bool read_directory(const std::string& path, Probe probe, std::vector<Entry>& entries, int& error);

// The rules a file must pass to be found. Paths here are relative to the start directory, with
// "/" between components; the caller has worked out which exclusions can apply below the start.
struct Filter {
    std::vector<std::string> extensions;  // the lower-case ASCII members of the extension set
    bool match_nothing = false;           // the extension set is empty
    bool suffixes_in_text = false;        // leave every suffix test to the caller
    std::unordered_set<std::string> excluded;        // excluded relative paths
    std::unordered_set<std::string> holds_excluded;  // directories with an excluded path inside
    bool prefix_in_bytes = false;                    // test `prefix` here
    std::string prefix;
};

// A found file: the relative path is arena[offset, offset + length); its name starts at
// name_offset and its stem ends at stem_end (both within the relative path).
struct Found {
    size_t offset;
    size_t length;
    size_t name_offset;
    size_t stem_end;
    bool suffix_undecided;  // the suffix is not ASCII (or not tested here): the caller decides
};

// The walk of os.walk(top) top-down, with the pruning and file tests of discovery applied as it
// goes. It advances in slices so that the caller can check for signals between them.
class Walk {
public:
    Walk(std::string top, bool recursive, const Filter& filter);

    // Visits up to `budget` directories; true when the walk is over.
    bool advance(size_t budget);

    std::string_view relative_path(const Found& found) const {
        return std::string_view(arena_).substr(found.offset, found.length);
    }
    const std::vector<Found>& found() const { return found_; }

private:
    void visit(const std::string& relative);
    bool is_excluded(const std::string& directory, const std::string& child) const;
    void consider_file(const std::string& directory, const std::string& name);

    std::string top_;
    bool recursive_;
    const Filter& filter_;
    std::vector<std::string> pending_;  // directories still to visit, the next one last
    bool started_ = false;
    std::vector<Entry> entries_;
    std::string arena_;
    std::vector<Found> found_;
};

// The path of `relative` below `top`, joined as os.path.join joins.
std::string join(const std::string& top, std::string_view relative);

// True when `bytes` is UTF-8 that the interpreter's strict decoder accepts (no surrogates, no
// overlong forms, nothing above U+10FFFF): for such texts byte order is code-point order.
bool is_strict_utf8(std::string_view bytes);

}  // namespace quillkit::cargohold::tree

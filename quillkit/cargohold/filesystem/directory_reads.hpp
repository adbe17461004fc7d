// Directory reads without the interpreter, for discovery and the directory list: the entries
// of one open directory with their kind, as os.scandir reports them. Names stay bytes here,
// exactly as the system gives them; the callers decode them as the interpreter does.
//
// Nothing in this file touches a Python object, so callers may run it with the GIL released.
#pragma once

#include <dirent.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quillkit::cargohold::filesystem {

// A descriptor for reading the directory `path` (relative to the open directory `at`, or to the
// working directory with AT_FDCWD), opened as opendir opens one; -1 with errno on failure.
// Without `follow_links`, a link in the last component is refused rather than followed.
int open_directory(int at, const char* path, bool follow_links);

// Calls `visit(name, length, type)` for each entry of the open directory `fd` in the order the
// system gives ("." and ".." left out; `type` is the dirent's d_type). False, with `error` set,
// when a read fails part-way: os.scandir's iteration stops there and os.walk drops the directory.
// `buffer` is scratch space the caller keeps between directories.
class EntryBuffer {
public:
    char* data() {
        if (!bytes_) bytes_.reset(new char[kSize]);  // left uninitialised: the system fills it
        return bytes_.get();
    }
    static constexpr size_t kSize = 32768;

private:
    std::unique_ptr<char[]> bytes_;
};
template <class Visit> bool for_each_entry(int fd, EntryBuffer& buffer, Visit&& visit, int& error);

// The kind of one entry as os.scandir's DirEntry tells it: from the dirent's type, with a stat
// (relative to the open directory) for links and unknown types only; `always_stat` stats every
// entry. A failed stat means "not a directory", and its errno is kept.
struct EntryKind {
    bool is_directory = false;  // links followed
    bool is_link = false;
    int stat_error = 0;
};
EntryKind probe(int directory_fd, const char* name, unsigned char type, bool always_stat);

struct Entry {
    std::string name;
    EntryKind kind;
};

// How the directory list learns kinds. `scandir`: as probe does. `stat_first`: the first entry is
// always stat'ed too, so that a directory that can be read but not searched reports its error as
// a stat of every entry would (Path.is_dir on each entry of Path.iterdir, where that raises the
// first error). `stat_directories`: every entry the directory calls a directory is stat'ed too,
// so that each one's error is its own (where Path.is_dir answers False to every error).
enum class Probe { scandir, stat_first, stat_directories };

// Reads the whole of one directory. False when it cannot be opened or a read fails part-way;
// `error` then holds the errno.
bool read_directory(const std::string& path, Probe probe, std::vector<Entry>& entries, int& error);

// The path of `relative` below `top`, joined as os.path.join joins.
std::string join(const std::string& top, std::string_view relative);

// True when every byte is ASCII.
bool is_ascii(std::string_view bytes);

// True when `bytes` is UTF-8 that the interpreter's strict decoder accepts (no surrogates, no
// overlong forms, nothing above U+10FFFF): for such texts byte order is code-point order.
bool is_strict_utf8(std::string_view bytes);

inline bool is_dot_or_dot_dot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Whole blocks of entries per system call, without the allocation opendir makes.
template <class Visit> bool for_each_entry(int fd, EntryBuffer& buffer, Visit&& visit, int& error) {
    char* const bytes = buffer.data();
    for (;;) {
        const ssize_t filled = getdents64(fd, bytes, EntryBuffer::kSize);
        if (filled == 0) return true;
        if (filled < 0) {
            error = errno;
            return false;
        }
        for (ssize_t offset = 0; offset < filled;) {
            const auto* item = reinterpret_cast<const struct dirent64*>(bytes + offset);
            offset += item->d_reclen;
            if (is_dot_or_dot_dot(item->d_name)) continue;
            visit(item->d_name, std::strlen(item->d_name), item->d_type);
        }
    }
}

}  // namespace quillkit::cargohold::filesystem

// Directory reads and the discovery walk declared in tree.hpp.
#include "tree.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

namespace quillkit::cargohold::tree {

Kind kind_of(const std::string& path) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0) return Kind::missing;
    if (S_ISDIR(status.st_mode)) return Kind::directory;
    if (S_ISREG(status.st_mode)) return Kind::regular_file;
    return Kind::other;
}

namespace {

// Learns the kind of one entry by stat, relative to the open directory (no path lookup from
// the root); `follow` decides whether a link is followed.
int stat_entry(int directory_fd, const char* name, bool follow, struct stat& status) {
    const int flags = follow ? 0 : AT_SYMLINK_NOFOLLOW;
    return fstatat(directory_fd, name, &status, flags) == 0 ? 0 : errno;
}

void probe_kind(int directory_fd, unsigned char type, bool always_stat, Entry& entry) {
    entry.is_directory = type == DT_DIR;
    entry.is_link = type == DT_LNK;
    entry.stat_error = 0;
    struct stat status;
    if (type == DT_UNKNOWN) {
        // The file system keeps no type in its directories: ask, without following first.
        if ((entry.stat_error = stat_entry(directory_fd, entry.name.c_str(), false, status))) {
            entry.is_directory = false;
            return;
        }
        entry.is_link = S_ISLNK(status.st_mode);
        entry.is_directory = S_ISDIR(status.st_mode);
        if (!entry.is_link) return;
    } else if (type != DT_LNK && !always_stat) {
        return;
    }
    entry.stat_error = stat_entry(directory_fd, entry.name.c_str(), true, status);
    entry.is_directory = entry.stat_error == 0 && S_ISDIR(status.st_mode);
}

bool is_dot_or_dot_dot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

bool is_ascii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; });
}

void lower_ascii(std::string& text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
}

std::string join_relative(const std::string& directory, std::string_view name) {
    std::string path;
    path.reserve(directory.size() + 1 + name.size());
    if (!directory.empty()) {
        path += directory;
        path += '/';
    }
    path += name;
    return path;
}

}  // namespace

bool read_directory(const std::string& path, Probe probe, std::vector<Entry>& entries, int& error) {
    DIR* directory = opendir(path.c_str());
    if (!directory) {
        error = errno;
        entries.clear();
        return false;
    }
    const int directory_fd = dirfd(directory);
    size_t count = 0;  // entries are reused across calls, so their texts keep their capacity
    bool complete = true;
    for (;;) {
        errno = 0;
        const dirent* item = readdir(directory);
        if (!item) {
            if (errno != 0) {
                error = errno;
                complete = false;
            }
            break;
        }
        if (is_dot_or_dot_dot(item->d_name)) continue;
        if (count == entries.size()) entries.emplace_back();
        Entry& entry = entries[count];
        entry.name.assign(item->d_name);
        probe_kind(directory_fd, item->d_type, probe == Probe::stat_first && count == 0, entry);
        ++count;
    }
    closedir(directory);
    entries.resize(count);
    return complete;
}

std::string join(const std::string& top, std::string_view relative) {
    std::string path = top;
    if (path.empty() || path.back() != '/') path += '/';
    path += relative;
    return path;
}

Walk::Walk(std::string top, bool recursive, const Filter& filter)
    : top_(std::move(top)), recursive_(recursive), filter_(filter) {}

bool Walk::advance(size_t budget) {
    if (!started_) {
        started_ = true;
        if (!filter_.match_nothing) pending_.emplace_back();  // the start directory itself
    }
    for (; budget > 0 && !pending_.empty(); --budget) {
        std::string relative = std::move(pending_.back());
        pending_.pop_back();
        visit(relative);
    }
    return pending_.empty();
}

bool Walk::is_excluded(const std::string& directory, const std::string& child) const {
    if (filter_.excluded.empty() || !filter_.holds_excluded.count(directory)) return false;
    return filter_.excluded.count(child) != 0;
}

void Walk::visit(const std::string& relative) {
    int error = 0;
    // As in os.walk, a directory that cannot be listed whole is skipped without a word.
    if (!read_directory(relative.empty() ? top_ : join(top_, relative), Probe::scandir, entries_,
                        error)) {
        return;
    }
    std::vector<std::string> subdirectories;
    for (const Entry& entry : entries_) {
        if (!entry.is_directory) {
            consider_file(relative, entry.name);
            continue;
        }
        std::string child = join_relative(relative, entry.name);
        // Links to directories are listed but never entered; excluded trees are pruned.
        if (entry.is_link || is_excluded(relative, child)) continue;
        subdirectories.push_back(std::move(child));
    }
    if (!recursive_) return;
    // The next directory to visit is the last one pending, so push them in reverse.
    for (auto child = subdirectories.rbegin(); child != subdirectories.rend(); ++child) {
        pending_.push_back(std::move(*child));
    }
}

void Walk::consider_file(const std::string& directory, const std::string& name) {
    // pathlib's suffix: from the last dot, unless that dot starts or ends the name. The dot is
    // ASCII, so its byte position is its character position in the decoded name too.
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 >= name.size()) return;
    const std::string_view suffix = std::string_view(name).substr(dot);
    const bool undecided = filter_.suffixes_in_text || !is_ascii(suffix);
    if (!undecided) {
        std::string lowered(suffix);
        lower_ascii(lowered);
        if (std::find(filter_.extensions.begin(), filter_.extensions.end(), lowered) ==
            filter_.extensions.end()) {
            return;
        }
    }
    if (filter_.prefix_in_bytes && name.compare(0, filter_.prefix.size(), filter_.prefix) != 0) return;
    const std::string child = join_relative(directory, name);
    if (is_excluded(directory, child)) return;
    const size_t offset = arena_.size();
    arena_ += child;
    const size_t name_offset = child.size() - name.size();
    found_.push_back(Found{offset, child.size(), name_offset, name_offset + dot, undecided});
}

bool is_strict_utf8(std::string_view bytes) {
    const auto* text = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t size = bytes.size();
    size_t index = 0;
    while (index < size) {
        const unsigned char lead = text[index];
        if (lead < 0x80) {
            ++index;
            continue;
        }
        size_t length;
        unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;   // no overlong forms
            if (lead == 0xED) high = 0x9F;  // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
        } else {
            return false;
        }
        if (index + length > size) return false;
        if (text[index + 1] < low || text[index + 1] > high) return false;
        for (size_t next = 2; next < length; ++next) {
            if ((text[index + next] & 0xC0) != 0x80) return false;
        }
        index += length;
    }
    return true;
}

}  // namespace quillkit::cargohold::tree

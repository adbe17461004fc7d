// Directory reads declared in directory_reads.hpp.
#include "directory_reads.hpp"

#include "../../support/system_calls.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

namespace quillkit::cargohold::filesystem {

int open_directory(int at, const char* path, bool follow_links) {
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    return openat(at, path, follow_links ? flags : flags | O_NOFOLLOW);
}

namespace {

// A stat relative to the open directory (no path lookup from the root); the errno on failure.
int stat_entry(int directory_fd, const char* name, bool follow, struct stat& status) {
    return fstatat(directory_fd, name, &status, follow ? 0 : AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

}  // namespace

EntryKind probe(int directory_fd, const char* name, unsigned char type, bool always_stat) {
    EntryKind kind;
    kind.is_directory = type == DT_DIR;
    kind.is_link = type == DT_LNK;
    struct stat status;
    if (type == DT_UNKNOWN) {
        // The file system keeps no type in its directories: ask, without following first.
        kind.stat_error = stat_entry(directory_fd, name, false, status);
        if (kind.stat_error) return kind;
        kind.is_link = S_ISLNK(status.st_mode);
        kind.is_directory = S_ISDIR(status.st_mode);
        if (!kind.is_link) return kind;
    } else if (type != DT_LNK && !always_stat) {
        return kind;
    }
    kind.stat_error = stat_entry(directory_fd, name, true, status);
    kind.is_directory = kind.stat_error == 0 && S_ISDIR(status.st_mode);
    return kind;
}

bool read_directory(const std::string& path, Probe probe_mode, std::vector<Entry>& entries, int& error) {
    entries.clear();
    const Descriptor directory(open_directory(AT_FDCWD, path.c_str(), true));
    if (directory.get() < 0) {
        error = errno;
        return false;
    }
    const int fd = directory.get();
    EntryBuffer buffer;
    return for_each_entry(
        fd, buffer,
        [&](const char* name, size_t length, unsigned char type) {
            const bool always_stat = (probe_mode == Probe::stat_first && entries.empty()) ||
                                     (probe_mode == Probe::stat_directories && type == DT_DIR);
            entries.push_back(Entry{std::string(name, length), probe(fd, name, type, always_stat)});
        },
        error);
}

std::string join(const std::string& top, std::string_view relative) {
    std::string path = top;
    if (path.empty() || path.back() != '/') path += '/';
    path += relative;
    return path;
}

bool is_ascii(std::string_view bytes) {
    // Eight bytes at a time: names are short, and most of them are ASCII.
    uint64_t high_bits = 0;
    size_t index = 0;
    for (; index + 8 <= bytes.size(); index += 8) {
        uint64_t word;
        std::memcpy(&word, bytes.data() + index, 8);
        high_bits |= word;
    }
    for (; index < bytes.size(); ++index) high_bits |= static_cast<unsigned char>(bytes[index]);
    return (high_bits & 0x8080808080808080ull) == 0;
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

}  // namespace quillkit::cargohold::filesystem

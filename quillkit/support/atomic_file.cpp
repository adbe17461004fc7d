// The atomic whole-file writer declared in atomic_file.hpp.
#include "atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>

namespace quillkit {

namespace {

constexpr int kMaxLinkHops = 40;  // as the kernel allows before ELOOP

std::string directory_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file a write through `path` lands in: symbolic links followed to their final target,
// which need not exist yet. Returns 0, or the errno of a link loop.
int follow_links(std::string& path) {
    for (int hops = 0; hops < kMaxLinkHops; ++hops) {
        struct stat info;
        if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return 0;
        std::string target(static_cast<size_t>(info.st_size > 0 ? info.st_size : 255) + 1, '\0');
        ssize_t length;
        while ((length = readlink(path.c_str(), target.data(), target.size())) >= 0 &&
               static_cast<size_t>(length) == target.size()) {
            target.resize(target.size() * 2);  // the link grew since lstat
        }
        if (length < 0) return errno;
        target.resize(static_cast<size_t>(length));
        path = target.front() == '/' ? target : directory_of(path) + "/" + target;
    }
    return ELOOP;
}

// Writes the whole buffer, retrying short writes and interruptions. Returns 0 or an errno.
int write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return 0;
}

// Writes into an existing file through `flags` (the old behaviour of a plain text write).
int write_in_place(const std::string& path, int flags, const char* data, size_t size) {
    const int fd = open(path.c_str(), flags | O_WRONLY | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) return errno;
    int error = write_all(fd, data, size);
    if (close(fd) != 0 && !error) error = errno;
    return error;
}

// A name for the temporary file beside `target`, unlikely to collide with anything.
std::string temporary_name(const std::string& target) {
    static std::mt19937_64 generator(
        std::random_device{}() ^
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%012llx.tmp",
                  static_cast<unsigned long long>(generator() & 0xffffffffffffULL));
    // Keep the name within the usual 255-byte limit however long the target's name is.
    return directory_of(target) + "/." + base_of(target).substr(0, 200) + suffix;
}

// Creates a fresh temporary file beside `target` with `mode` (the umask applies). Returns the
// descriptor, or -1 with errno set.
int create_temporary(const std::string& target, mode_t mode, std::string& name) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = temporary_name(target);
        const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// Does the replacement with the interpreter unlocked. Returns 0 or the errno of the failure.
int replace(std::string target, const char* data, size_t size) {
    if (const int error = follow_links(target)) return error;

    struct stat old;
    const bool exists = stat(target.c_str(), &old) == 0;
    if (exists) {
        if (S_ISDIR(old.st_mode)) return EISDIR;
        if (!S_ISREG(old.st_mode)) return write_in_place(target, O_CREAT | O_TRUNC, data, size);
        // Refuse exactly when opening the file for writing would be refused.
        const int probe = open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (probe < 0) return errno;
        close(probe);
    }

    std::string temporary;
    const int fd = create_temporary(target, exists ? 0600 : 0666, temporary);
    if (fd < 0) {
        const int error = errno;
        const bool directory_refused = error == EACCES || error == EPERM || error == EROFS;
        if (exists && directory_refused) return write_in_place(target, O_TRUNC, data, size);
        return error;
    }

    int error = 0;
    if (exists) {
        if (geteuid() == 0) {
            // Best effort: a file replaced by the superuser keeps its owner.
            if (fchown(fd, old.st_uid, old.st_gid) != 0) { /* keep root's ownership */ }
        }
        if (fchmod(fd, old.st_mode & 07777) != 0) error = errno;
    }
    if (!error) error = write_all(fd, data, size);
    if (!error && fsync(fd) != 0) error = errno;
    if (close(fd) != 0 && !error) error = errno;
    if (!error && rename(temporary.c_str(), target.c_str()) != 0) error = errno;
    if (error) unlink(temporary.c_str());
    return error;
}

}  // namespace

void replace_file_text(nb::handle path, nb::handle content) {
    nb::object file_name = require(PyOS_FSPath(path.ptr()));
    PyObject* encoded_path = nullptr;
    if (!PyUnicode_FSConverter(file_name.ptr(), &encoded_path)) throw nb::python_error();
    nb::object encoded = nb::steal(encoded_path);
    std::string target(PyBytes_AS_STRING(encoded.ptr()),
                       static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr())));
    if (target.empty()) {
        errno = ENOENT;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, file_name.ptr());
        throw nb::python_error();
    }

    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(content.ptr(), &size);
    if (!data) throw nb::python_error();

    int error;
    Py_BEGIN_ALLOW_THREADS
    error = replace(target, data, static_cast<size_t>(size));
    Py_END_ALLOW_THREADS
    if (error) {
        errno = error;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, file_name.ptr());
        throw nb::python_error();
    }
}

}  // namespace quillkit

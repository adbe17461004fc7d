// The atomic whole-file writer declared in atomic_file.hpp.
//
// Every system call runs with the GIL released and nothing else does: the paths and buffers are
// made beforehand, with the GIL held, so no allocation (and no C++ exception) happens unlocked.
// A call interrupted by a signal runs the signal handlers and is made again, as the
// interpreter's own I/O does (PEP 475); a handler that raises ends the save with its exception.
#include "atomic_file.hpp"

#include "system_calls.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>

namespace quillkit {

namespace {

constexpr int kMaxLinks = 40;          // as the kernel follows before ELOOP (MAXSYMLINKS)
constexpr long kProcMagic = 0x9fa0;    // PROC_SUPER_MAGIC, the proc file system's f_type
constexpr mode_t kNewFileMode = 0666;  // what open(path, "w") asks for; the umask applies
constexpr int kWriteFlags = O_WRONLY | O_CLOEXEC | O_NOCTTY;

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

// Random bits for a temporary name, from the kernel: safe from any thread, GIL or not.
uint64_t random_bits() {
    uint64_t bits = 0;
    if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof bits)) return bits;
    // Without entropy yet: unique within the process, and unlikely to repeat across processes.
    static std::atomic<uint64_t> counter{0};
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (static_cast<uint64_t>(getpid()) << 40) ^ static_cast<uint64_t>(now.tv_nsec) ^
           (counter.fetch_add(1) << 20);
}

// A name for the temporary file beside `target`, unlikely to collide with anything.
std::string temporary_name(const std::string& target) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%012llx.tmp",
                  static_cast<unsigned long long>(random_bits() & 0xffffffffffffULL));
    // Keep the name within the usual 255-byte limit however long the target's name is.
    return directory_of(target) + "/." + base_of(target).substr(0, 200) + suffix;
}

// One save of `data` to `path`. Each step returns 0 or the errno of its failure.
class Save {
public:
    Save(std::string path, const char* data, size_t size)
        : path_(std::move(path)), target_(path_), data_(data), size_(size) {}

    int run() {
        bool through_descriptor = false;
        if (const int error = follow_links(through_descriptor)) return error;
        // A link chain through the proc file system names an open file (standard output, a
        // descriptor), not a place: it is written as open(path, "w") writes it.
        if (through_descriptor) return write_through(path_);

        struct stat old;
        const Outcome found = calls_.run([&] { return stat(target_.c_str(), &old); });
        // Only a file that is not there is made anew: one that cannot be looked at (a failing
        // disk) would lose its mode and owner to a replacement.
        if (found.failed()) return found.error == ENOENT ? replace(nullptr, -1) : found.error;
        if (S_ISDIR(old.st_mode)) return EISDIR;
        if (!S_ISREG(old.st_mode)) return write_through(path_);  // a device, a pipe, a FIFO

        // Refuse exactly when opening the file for writing would be refused; the descriptor
        // serves the in-place write if the directory refuses new entries.
        const Outcome opened = calls_.run([&] { return open(target_.c_str(), kWriteFlags | O_NONBLOCK); });
        if (opened.failed()) return opened.error;
        Descriptor existing(static_cast<int>(opened.result));
        const int error = replace(&old, existing.get());
        // How its close ends tells nothing of the save: nothing was written through it, or what
        // was is on the disk already (the in-place write syncs before it ends).
        existing.close(calls_);
        return error;
    }

    void raise_deferred() { calls_.raise_deferred(); }

private:
    // Follows the symbolic links of the last component to the file a write lands in, which need
    // not exist yet.
    int follow_links(bool& through_descriptor) {
        for (int links = 0;; ++links) {
            struct stat info;
            const Outcome outcome = calls_.run([&] { return lstat(target_.c_str(), &info); });
            // Nothing there ends the chain; any other failure would take a link for a file.
            if (outcome.failed()) return outcome.error == ENOENT ? 0 : outcome.error;
            if (!S_ISLNK(info.st_mode)) return 0;
            if (links == kMaxLinks) return ELOOP;
            if (in_proc_file_system(target_)) {
                through_descriptor = true;
                return 0;
            }
            std::string link(static_cast<size_t>(info.st_size > 0 ? info.st_size : 255) + 1, '\0');
            Outcome length;
            for (;;) {
                length = calls_.run([&] { return readlink(target_.c_str(), link.data(), link.size()); });
                if (length.failed() || static_cast<size_t>(length.result) < link.size()) break;
                link.resize(link.size() * 2);  // the link grew since lstat
            }
            if (length.failed()) return length.error;
            link.resize(static_cast<size_t>(length.result));
            target_ = link.front() == '/' ? link : directory_of(target_) + "/" + link;
        }
    }

    // Whether the link `path` itself lies in the proc file system.
    bool in_proc_file_system(const std::string& path) {
        const Outcome opened =
            calls_.run([&] { return open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC); });
        if (opened.failed()) return false;
        Descriptor link(static_cast<int>(opened.result));
        struct statfs info;
        const Outcome described = calls_.run([&] { return fstatfs(link.get(), &info); });
        return !described.failed() && static_cast<long>(info.f_type) == kProcMagic;
    }

    // Writes the whole buffer at the file position, retrying short writes.
    int write_all(int fd) {
        const char* data = data_;
        size_t size = size_;
        while (size > 0) {
            const Outcome written = calls_.run([&] { return write(fd, data, size); });
            if (written.failed()) return written.error;
            data += written.result;
            size -= static_cast<size_t>(written.result);
        }
        return 0;
    }

    // Writes `data[begin, end)` at the same offsets of the file, retrying short writes and, when
    // `through_signals`, interrupted ones; 0 or the errno that stopped it. Run with the GIL
    // released (it touches nothing of the interpreter).
    static int write_range(int fd, const char* data, size_t begin, size_t end,
                           bool through_signals) noexcept {
        while (begin < end) {
            const ssize_t written = pwrite(fd, data + begin, end - begin, static_cast<off_t>(begin));
            if (written < 0) {
                if (errno == EINTR && through_signals) continue;
                return errno;
            }
            begin += static_cast<size_t>(written);
        }
        return 0;
    }

    // open(path, "w") and one write: for what cannot be replaced by renaming.
    int write_through(const std::string& path) {
        const Outcome opened =
            calls_.run([&] { return open(path.c_str(), kWriteFlags | O_CREAT | O_TRUNC, kNewFileMode); });
        if (opened.failed()) return opened.error;
        Descriptor file(static_cast<int>(opened.result));
        const int error = write_all(file.get());
        const int closed = file.close(calls_);
        return error ? error : closed;
    }

    // Creates a fresh temporary file beside the target; the descriptor, or -1 with `error` set.
    int create_temporary(mode_t mode, std::string& name, int& error) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            name = temporary_name(target_);
            const Outcome created =
                calls_.run([&] { return open(name.c_str(), kWriteFlags | O_CREAT | O_EXCL, mode); });
            if (!created.failed()) return static_cast<int>(created.result);
            error = created.error;
            if (error != EEXIST) return -1;
        }
        return -1;
    }

    // Writes a temporary file and renames it over the target. `old` describes the file being
    // replaced (null when there is none) and `fd` is open on it for writing.
    int replace(const struct stat* old, int fd) {
        std::string temporary;
        int error = 0;
        const int created = create_temporary(old ? 0600 : kNewFileMode, temporary, error);
        if (created < 0) {
            const bool directory_refused = error == EACCES || error == EPERM || error == EROFS;
            return old && directory_refused ? overwrite_in_place(fd) : error;
        }
        Descriptor file(created);
        bool rename_refused = false;
        try {
            error = write_temporary(old, file);
            if (!error) {
                const Outcome moved = calls_.run([&] { return rename(temporary.c_str(), target_.c_str()); });
                if (!moved.failed()) return 0;
                error = moved.error;
                // A file that cannot be replaced by another name (a mount point, a file of
                // another user in a sticky directory) is still writable where it is.
                rename_refused = error == EBUSY || error == EPERM || error == EACCES;
            }
        } catch (const std::exception&) {
            // A signal handler raised: nothing was replaced. (A thread being ended passes by,
            // leaving the temporary file, and the target as it was or as renamed.)
            calls_.run([&] { return unlink(temporary.c_str()); });
            throw;
        }
        calls_.run([&] { return unlink(temporary.c_str()); });
        return old && rename_refused ? overwrite_in_place(fd) : error;
    }

    // Gives the temporary file the old file's owner and mode, the content, and closes it once
    // the content is on the disk: the new content reaches the disk before the name does, so a
    // crash never leaves an empty file where the old one was.
    int write_temporary(const struct stat* old, Descriptor& file) {
        int error = 0;
        if (old) {
            // Best effort: a file replaced by the superuser keeps its owner.
            if (geteuid() == 0) calls_.run([&] { return fchown(file.get(), old->st_uid, old->st_gid); });
            const Outcome moded = calls_.run([&] { return fchmod(file.get(), old->st_mode & 07777); });
            error = moded.error;
        }
        if (!error) error = write_all(file.get());
        if (!error) error = calls_.run([&] { return fsync(file.get()); }).error;
        const int closed = file.close(calls_);
        return error ? error : closed;
    }

    // Rewrites the regular file open on `fd` where it is. The space for the new content is had
    // before the first byte changes, so a file that cannot hold it stays as it was; what fails
    // after that (a failing disk) finds the old content put back, as it was read beforehand.
    //
    // From its first change until it is whole again the file is rewritten in one region without
    // the GIL: a thread that takes the GIL back during finalization is ended there (3.12, 3.13)
    // or stopped for good (3.14), and must leave the file whole. Signals do not stop the rewrite:
    // their handlers run once it is done (an interrupted tail is taken off first, so that they
    // run on the old file).
    int overwrite_in_place(int fd) {
        struct stat now;
        const Outcome described = calls_.run([&] { return fstat(fd, &now); });
        if (described.failed()) return described.error;
        std::string old_content;
        const bool kept = read_old_content(now, old_content);
        const size_t old_size = kept ? old_content.size() : static_cast<size_t>(now.st_size);
        const std::string* put_back = kept ? &old_content : nullptr;
        bool tail_first = false;
        if (const int error = reserve_space(fd, old_size, tail_first)) return error;
        for (;;) {
            const int error =
                without_gil([&]() noexcept { return rewrite(fd, old_size, tail_first, put_back); });
            if (error != EINTR) {
                // A handler's exception waits until the save has reported (raise_deferred).
                calls_.set_on_signal(OnSignal::defer);
                calls_.run_signal_handlers();
                return error;
            }
            // The tail was interrupted and taken off again: the handlers run on the old file,
            // and one that raises ends the save there.
            calls_.run_signal_handlers();
        }
    }

    // 0, or the errno that stopped the rewrite (EINTR only from the tail), run with the GIL
    // released: the tail beyond the old end first when `tail_first` (taken off again unless it
    // is written whole), then the content from the first byte, the new size, the sync. A
    // failure after the first byte changed writes `old_content` back, when it could be read.
    int rewrite(int fd, size_t old_size, bool tail_first, const std::string* old_content) const noexcept {
        if (tail_first) {
            if (const int error = write_range(fd, data_, old_size, size_, false)) {
                cut_back(fd, old_size);
                return error;
            }
        }
        int error = write_range(fd, data_, 0, tail_first ? old_size : size_, true);
        if (!error) error = retrying([&] { return ftruncate(fd, static_cast<off_t>(size_)); });
        if (!error) error = retrying([&] { return fsync(fd); });
        if (error && old_content) put_back(fd, *old_content);
        return error;
    }

    // Reads the whole target into `content`; false when it cannot be read or is no longer the
    // file `open_file` describes (a file the process may write but not read is rewritten with
    // no way back).
    bool read_old_content(const struct stat& open_file, std::string& content) {
        const Outcome opened =
            calls_.run([&] { return open(target_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK); });
        if (opened.failed()) return false;
        Descriptor file(static_cast<int>(opened.result));  // only read: how its close ends tells nothing
        struct stat info;
        const Outcome described = calls_.run([&] { return fstat(file.get(), &info); });
        if (described.failed() || info.st_dev != open_file.st_dev || info.st_ino != open_file.st_ino)
            return false;
        content.resize(static_cast<size_t>(open_file.st_size) + 1);  // one more shows a file that grew
        size_t filled = 0;
        for (;;) {
            if (filled == content.size()) content.resize(content.size() * 2);
            const Outcome got = calls_.run([&] {
                return pread(file.get(), &content[filled], content.size() - filled,
                             static_cast<off_t>(filled));
            });
            if (got.failed()) return false;
            if (got.result == 0) break;
            filled += static_cast<size_t>(got.result);
        }
        content.resize(filled);
        return true;
    }

    // Writes the old content back over a rewrite that failed part-way. Best effort: the failure
    // that brought it here is the one the save reports.
    static void put_back(int fd, const std::string& old_content) noexcept {
        write_range(fd, old_content.data(), 0, old_content.size(), true);
        retrying([&] { return ftruncate(fd, static_cast<off_t>(old_content.size())); });
        retrying([&] { return fsync(fd); });
    }

    // Makes sure the new content fits before the old one changes: within the file-size limit,
    // and with the blocks allocated. Where the file system cannot allocate ahead and the file
    // grows, the part beyond the old end is to be written first (`tail_first`): if it does not
    // fit, cutting the file back to its old length leaves it as it was.
    int reserve_space(int fd, size_t old_size, bool& tail_first) {
        rlimit limit;
        if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
            size_ > limit.rlim_cur) {
            return EFBIG;  // what the write would meet part-way
        }
        const Outcome reserved = calls_.run(
            [&] { return size_ ? fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size_)) : 0; });
        if (!reserved.failed()) return 0;
        if (reserved.error != EOPNOTSUPP && reserved.error != ENOSYS) return reserved.error;
        tail_first = size_ > old_size;
        return 0;
    }

    // 0 or the errno of `call`, made again while a signal interrupts it.
    template <class Call> static int retrying(Call&& call) noexcept {
        while (call() != 0) {
            if (errno != EINTR) return errno;
        }
        return 0;
    }

    // Takes off what was written beyond the old end. Signals wait: the handlers run once the
    // file is as it was (the interpreter still has them pending).
    static void cut_back(int fd, size_t old_size) noexcept {
        while (ftruncate(fd, static_cast<off_t>(old_size)) != 0 && errno == EINTR) {}
    }

    SystemCalls calls_;
    const std::string path_;  // as given
    std::string target_;      // where the links lead
    const char* data_;
    size_t size_;
};

}  // namespace

void replace_file_text(nb::handle path, nb::handle content) {
    nb::object file_name = require(PyOS_FSPath(path.ptr()));
    PyObject* encoded_path = nullptr;
    if (!PyUnicode_FSConverter(file_name.ptr(), static_cast<void*>(&encoded_path))) throw nb::python_error();
    nb::object encoded = nb::steal(encoded_path);
    char* bytes = nullptr;
    Py_ssize_t length = 0;
    require_status(PyBytes_AsStringAndSize(encoded.ptr(), &bytes, &length));
    if (length == 0) raise_os_error(ENOENT, file_name);

    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(content.ptr(), &size);
    if (!data) throw nb::python_error();

    // `content` and `encoded` outlive the save, so the buffers stay valid while it runs.
    Save save(std::string(bytes, static_cast<size_t>(length)), data, static_cast<size_t>(size));
    const int error = save.run();
    save.raise_deferred();
    if (error) raise_os_error(error, file_name);
}

}  // namespace quillkit
